#include "replay.h"

#include "common.h"
#include "filestore.h"
#include "fixture.h"
#include "layout.h"
#include "xdio.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <stdexcept>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

ScratchDir::ScratchDir() {
    struct stat st;
    std::string tmpl = (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) ? "/dev/shm/qxcrash.XXXXXX"
                                                                            : "/tmp/qxcrash.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = buf.data();
}

ScratchDir::~ScratchDir() {
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir_.c_str());
}

size_t crash_scale() {
    const char *s = getenv("QX_CRASH_SCALE");
    long v = s ? strtol(s, nullptr, 10) : 1;
    return v > 0 ? size_t(v) : 1;
}

namespace {

std::string real(const std::string &p) {
    char buf[PATH_MAX];
    return realpath(p.c_str(), buf) ? std::string(buf) : p;
}

bool exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

std::vector<uint8_t> read_or_empty(const std::string &p) { return exists(p) ? read_file(p) : std::vector<uint8_t>(); }

void apply_op(std::vector<uint8_t> &img, const SectorOp &op) {
    size_t at = size_t(op.sector) * SECTOR;
    if (op.truncate) {
        img.resize(at);
        return;
    }
    if (img.size() < at + SECTOR) img.resize(at + SECTOR);
    memcpy(img.data() + at, op.data.data(), SECTOR);
}

// The sectors in which content differs from view, as writes numbered from
// *write_no on (one number per run of neighbouring sectors), and a
// truncation when content is shorter.
void diff_ops(const std::vector<uint8_t> &view, const std::vector<uint8_t> &content, uint32_t *write_no,
              std::vector<SectorOp> *ops) {
    size_t sectors = (content.size() + SECTOR - 1) / SECTOR;
    bool in_run = false;
    for (size_t s = 0; s < sectors; s++) {
        std::vector<uint8_t> now(SECTOR, 0), was(SECTOR, 0);
        size_t at = s * SECTOR;
        memcpy(now.data(), content.data() + at, std::min<size_t>(SECTOR, content.size() - at));
        if (at < view.size()) memcpy(was.data(), view.data() + at, std::min<size_t>(SECTOR, view.size() - at));
        bool differs = now != was || at + SECTOR > view.size();
        if (!differs) {
            in_run = false;
            continue;
        }
        if (!in_run) ++*write_no;
        in_run = true;
        SectorOp op;
        op.sector = uint32_t(s);
        op.write_no = *write_no;
        op.data = now;
        ops->push_back(op);
    }
    if (content.size() < view.size()) {
        SectorOp op;
        op.truncate = true;
        op.sector = uint32_t(sectors);
        op.write_no = ++*write_no;
        ops->push_back(op);
    }
}

// What the hook collects while a command runs.
struct Recorder {
    std::string watched;
    Recording *rec = nullptr;
    std::vector<uint8_t> view;  // the target as the program has written it so far
    Epoch cur;
    uint32_t write_no = 0;
    std::map<std::string, std::vector<uint8_t>> other_syncs;  // other host files at their last flush

    void close_epoch() {
        if (!cur.ops.empty()) rec->epochs.push_back(cur);
        cur = Epoch();
    }
};
Recorder *recorder = nullptr;

void on_event(xd_event ev, const char *path, uint32_t sector, uint32_t count, const void *data) {
    Recorder &r = *recorder;
    std::string p = real(path);
    if (p != r.watched) {
        if (ev == XD_EV_FILE_SYNC) r.other_syncs[p] = read_or_empty(p);
        return;
    }
    switch (ev) {
    case XD_EV_WRITE: {
        ++r.write_no;
        r.rec->writes++;
        const uint8_t *b = static_cast<const uint8_t *>(data);
        for (uint32_t i = 0; i < count; i++) {
            SectorOp op;
            op.sector = sector + i;
            op.write_no = r.write_no;
            op.data.assign(b + size_t(i) * SECTOR, b + size_t(i + 1) * SECTOR);
            apply_op(r.view, op);
            r.cur.ops.push_back(std::move(op));
        }
        break;
    }
    case XD_EV_TRUNCATE: {
        SectorOp op;
        op.truncate = true;
        op.sector = sector;
        op.write_no = ++r.write_no;
        apply_op(r.view, op);
        r.cur.ops.push_back(op);
        break;
    }
    case XD_EV_FILE_SYNC: {
        std::vector<SectorOp> ops;
        std::vector<uint8_t> content = read_or_empty(p);
        diff_ops(r.view, content, &r.write_no, &ops);
        if (!ops.empty()) r.cur.ordered = false;
        for (SectorOp &op : ops) r.cur.ops.push_back(std::move(op));
        r.view = content;
        r.rec->flushes++;
        r.close_epoch();
        break;
    }
    case XD_EV_SYNC:
        r.rec->flushes++;
        r.close_epoch();
        break;
    }
}

ino_t inode_of(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace

int record_command(const std::string &target, const std::vector<std::string> &words, const std::string &watched,
                   Recording *rec, std::string *err, const std::string *input) {
    Recorder r;
    r.watched = real(watched);
    r.rec = rec;
    rec->before = read_or_empty(watched);
    r.view = rec->before;
    ino_t ino = inode_of(watched);
    std::vector<std::string> w = words;
    // Global options stand before the target.
    auto at = std::find_if(w.begin(), w.end(), [](const std::string &x) { return x.empty() || x[0] != '-'; });
    w.insert(at, target);
    recorder = &r;
    xd_record = on_event;
    RunResult res = run_tool(w, input);
    xd_record = nullptr;
    recorder = nullptr;
    *err = res.err;
    rec->after = read_or_empty(watched);
    r.watched = real(watched);
    if (ino && inode_of(watched) != ino) {
        // Put in place by a rename: the old file or the whole new one, as
        // long as the new one was flushed before; else anything of it.
        r.close_epoch();
        bool flushed = false;
        for (auto &kv : r.other_syncs) flushed |= kv.second == rec->after;
        r.cur.atomic = flushed;
        r.cur.ordered = false;
        std::vector<uint8_t> empty;
        SectorOp cut;
        cut.truncate = true;
        cut.write_no = ++r.write_no;
        r.cur.ops.push_back(cut);
        diff_ops(empty, rec->after, &r.write_no, &r.cur.ops);
        r.view = rec->after;
    } else if (r.view != rec->after) {
        // Written without passing through the device layer and not flushed.
        r.cur.ordered = false;
        diff_ops(r.view, rec->after, &r.write_no, &r.cur.ops);
        r.view = rec->after;
    }
    r.close_epoch();
    std::vector<uint8_t> check = rec->before;
    for (const Epoch &e : rec->epochs)
        for (const SectorOp &op : e.ops) apply_op(check, op);
    if (check != rec->after) throw std::runtime_error("the recording does not rebuild the command's result");
    return res.status;
}

std::string read_store(const std::string &path, Store *out, const std::string &scratch) {
    out->items.clear();
    out->data.clear();
    reset_globals();
    xd_t *xd = xd_open(path.c_str(), 1);
    if (!xd) return "open fails";
    try {
        open_store(xd, 1, true);
        for (int o = 0; qx_list[o]; o = next_item(qx_list, o)) {
            const uint8_t *it = qx_list + o;
            Entry e;
            e.name = reinterpret_cast<const char *>(it + item::NAME);
            e.size = item_size(it);
            e.flags = it[item::FLAGS];
            e.start = item_start(it);
            out->items.push_back(e);
        }
    } catch (const Fatal &e) {
        xd_close(xd);
        return std::string("open_store: ") + e.what();
    }
    xd_close(xd);
    for (const Entry &e : out->items) {
        RunResult r = run_tool({path, "export", e.name, scratch});
        if (r.status) return "export " + e.name + ": " + r.err;
        out->data[e.name] = read_file(scratch);
    }
    return "";
}

namespace {

// What sets list a apart from list b: items only a names (+), items only
// b names (-), items both name at other places or sizes (~).
std::string list_diff(const std::vector<Entry> &a, const std::vector<Entry> &b) {
    std::string s;
    int shown = 0;
    auto note = [&](char c, const Entry &e) {
        if (shown++ < 6) s += std::string(" ") + c + e.name;
    };
    for (const Entry &e : a) {
        auto it = std::find_if(b.begin(), b.end(), [&](const Entry &x) { return x.name == e.name; });
        if (it == b.end()) note('+', e);
        else if (!(*it == e)) note('~', e);
    }
    for (const Entry &e : b)
        if (std::none_of(a.begin(), a.end(), [&](const Entry &x) { return x.name == e.name; })) note('-', e);
    if (shown > 6) s += " ...";
    return s.empty() ? " (same items, other order)" : s;
}

// Whether items is a list the state may hold, and which sides' bytes its
// items may carry.
std::string judge_list(const std::vector<Entry> &items, const Store &o, const Store &n, bool mid, bool *is_old,
                       bool *is_new) {
    *is_old = items == o.items;
    *is_new = items == n.items;
    if (*is_old || *is_new) return "";
    if (!mid) return "the list (" + std::to_string(items.size()) + " items) is neither old nor new; against old:" +
                      list_diff(items, o.items) + "; against new:" + list_diff(items, n.items);
    std::set<std::string> seen;
    for (const Entry &e : items) {
        if (!o.data.count(e.name) && !n.data.count(e.name)) return "list names " + e.name + ", neither old nor new";
        seen.insert(e.name);
    }
    for (auto &kv : o.data)
        if (n.data.count(kv.first) && !seen.count(kv.first)) return "item " + kv.first + " disappeared";
    return "";
}

std::string judge_bytes(const Entry &e, const std::vector<uint8_t> &got, const Store &o, const Store &n, bool is_old,
                        bool is_new) {
    bool any = !is_old && !is_new;
    auto matches = [&](const Store &s) {
        auto it = s.data.find(e.name);
        return it != s.data.end() && it->second == got;
    };
    if ((is_old || any) && matches(o)) return "";
    if ((is_new || any) && matches(n)) return "";
    return "item " + e.name + " (" + std::to_string(e.size) + " bytes at " + std::to_string(e.start) + ") holds neither " +
           (is_old ? "its old bytes" : is_new ? "its new bytes" : "old nor new bytes");
}

// The list of a disk as the boot program reads it: list_used sectors (510
// bytes each, marks ignored) from the first list sector or, when the last
// sector of the list area starts with the record magic "QXCO" and names this
// list's first sector, from the payload sector the record names; nothing
// the tool may repair.
std::string boot_view(const std::vector<uint8_t> &img, std::vector<Entry> *items, uint32_t *pri) {
    if (img.size() < 2 * SECTOR) return "image too short";
    const uint32_t hdr_at = get16(img.data() + mbr::BOOT_BASE) + 1u;
    if (size_t(hdr_at + 1) * SECTOR > img.size()) return "no header sector";
    const uint8_t *h = img.data() + size_t(hdr_at) * SECTOR;
    const uint32_t list_start = hdr_at + get16(h + hdr::BOOT_SIZE);
    *pri = get16(h + hdr::PRI_SIZE);
    uint32_t used = get16(h + hdr::LIST_USED), sectors = get16(h + hdr::LIST_SECTORS);
    if (used == 0 || used > sectors) return "list_used " + std::to_string(used) + " of " + std::to_string(sectors);
    uint32_t from = list_start;
    const uint32_t record_at = (list_start + sectors - 1) & 0xFFFF;
    if (size_t(record_at + 1) * SECTOR <= img.size()) {
        const uint8_t *r = img.data() + size_t(record_at) * SECTOR;
        if (!memcmp(r, "QXCO", 4) && get32(r + 8) == list_start) from = get32(r + 16);
    }
    if ((size_t(from) + used) * SECTOR > img.size()) return "list past the end";
    std::vector<uint8_t> list;
    for (uint32_t i = 0; i < used; i++) {
        const uint8_t *s = img.data() + size_t(from + i) * SECTOR;
        list.insert(list.end(), s, s + 510);
    }
    size_t ofs = 0;
    while (ofs < list.size() && list[ofs]) {
        size_t len = size_t(list[ofs]) + 2;
        if (len < 16 || ofs + len > list.size() || list[ofs + len - 1] != 0)
            return "bad item at list offset " + std::to_string(ofs);
        const uint8_t *it = list.data() + ofs;
        Entry e;
        e.name = reinterpret_cast<const char *>(it + item::NAME);
        e.size = get32(it + item::SIZE);
        e.flags = it[item::FLAGS];
        e.start = get32(it + item::START);
        items->push_back(e);
        ofs += len;
    }
    if (ofs >= list.size()) return "no terminator within list_used sectors";
    return "";
}

std::vector<uint8_t> raw_bytes(const std::vector<uint8_t> &img, const Entry &e, uint32_t pri, bool *ok) {
    uint32_t unit = e.start < pri ? 510 : 512;
    std::vector<uint8_t> out;
    *ok = true;
    for (uint32_t k = 0; k < e.size; k += unit) {
        size_t at = (size_t(e.start) + k / unit) * SECTOR;
        uint32_t n = std::min(unit, e.size - k);
        if (at + n > img.size()) return *ok = false, out;
        out.insert(out.end(), img.begin() + at, img.begin() + at + n);
    }
    return out;
}

uint32_t partition_start(const std::vector<uint8_t> &img) {
    if (img.size() < SECTOR || !memcmp(img.data(), "QXAR", 4) || img[510] != 0x55 || img[511] != 0xAA) return 0;
    uint32_t first = 0;
    for (int i = 0; i < 4; i++) {
        const uint8_t *e = img.data() + mbr::PART_TABLE + i * pte::SIZE;
        uint32_t s = get32(e + pte::START);
        if (e[pte::TYPE] && s && (!first || s < first)) first = s;
    }
    return first;
}

}  // namespace

std::string boot_code_view(const std::vector<uint8_t> &img, const std::vector<std::vector<uint8_t>> &programs) {
    if (img.size() < SECTOR) return "image too short";
    const uint32_t last = get16(img.data() + mbr::BOOT_BASE);
    for (uint32_t i = 0; i <= last && size_t(i + 1) * SECTOR <= img.size(); i++) {
        const uint8_t *sec = img.data() + size_t(i) * SECTOR;
        // Sector 0 always; a copy only where one is left (the copies that
        // the update stages the new program on are gone for a while).
        const bool copy = sec[510] == 0x55 && sec[511] == 0xAA && !memcmp(sec + mbr::MAGIC, "QXBF", 4) &&
                          get16(sec + mbr::COPY_NO) == i;
        if (i && !copy) continue;
        const std::string what = i ? "copy " + std::to_string(i) : std::string("sector 0");
        const uint8_t d = sec[1];
        if (2u + d >= mbr::MAX_SECTORS) return what + ": jump displacement " + std::to_string(d);
        size_t p = 0;
        while (p < programs.size() && (programs[p][1] != d || memcmp(sec + 2 + d, programs[p].data() + 2 + d,
                                                                     mbr::MAX_SECTORS - 2u - d)))
            p++;
        if (p == programs.size()) return what + ": code of no known build";
        const std::vector<uint8_t> &prog = programs[p];
        const uint32_t n = uint32_t(prog.size() - 3) / 510, head = get16(sec + mbr::BOOT_BASE) + 1u;
        if (size_t(head + n) * SECTOR > img.size()) return what + ": stage 2 past the end";
        std::vector<uint8_t> code(img.begin() + size_t(head) * SECTOR, img.begin() + size_t(head + n) * SECTOR);
        if (get16(code.data() + hdr::BOOT_SIZE) < n)
            return what + ": boot_size " + std::to_string(get16(code.data() + hdr::BOOT_SIZE));
        remove_mark(code.data(), n);
        if (memcmp(code.data() + hdr::SIZE, prog.data() + 0x210, prog.size() - 0x210))
            return what + " (build " + std::to_string(p) + ") names a stage 2 of another build at sector " +
                   std::to_string(head);
    }
    return "";
}

std::string check_state(const std::string &state, const std::vector<uint8_t> &before, const Store &o,
                        const Store &n, const ReplayOptions &opt, const std::string &scratch, std::string *boot) {
    // What the boot program sees comes first: the tool may repair the list.
    std::vector<uint8_t> img = read_file(state);
    // The boot program reads disks; an archive is read by the tool alone.
    const bool archive = before.size() >= 4 && !memcmp(before.data(), "QXAR", 4);
    boot->clear();
    if (!archive) {
        std::vector<Entry> items;
        uint32_t pri = 0;
        bool is_old = false, is_new = false;
        *boot = boot_view(img, &items, &pri);
        if (boot->empty()) *boot = judge_list(items, o, n, opt.mid_lists, &is_old, &is_new);
        for (size_t i = 0; boot->empty() && i < items.size(); i++) {
            bool ok;
            std::vector<uint8_t> got = raw_bytes(img, items[i], pri, &ok);
            *boot = ok ? judge_bytes(items[i], got, o, n, is_old, is_new) : "item " + items[i].name + " past the end";
        }
    }
    if (!opt.programs.empty() && boot->empty()) *boot = boot_code_view(img, opt.programs);
    RunResult r = run_tool({state, "info"});
    if (r.status) return "info fails: " + r.err;
    if (r.out.find("free space: -") != std::string::npos) return "info shows negative free space";
    Store s;
    std::string why = read_store(state, &s, scratch);
    if (!why.empty()) return why;
    bool is_old, is_new;
    why = judge_list(s.items, o, n, opt.mid_lists, &is_old, &is_new);
    if (!why.empty()) return why;
    for (const Entry &e : s.items) {
        why = judge_bytes(e, s.data[e.name], o, n, is_old, is_new);
        if (!why.empty()) return why;
    }
    if (!opt.programs.empty()) {
        RunResult c = run_tool({state, "check"});
        unsigned at = 0;
        const uint32_t base = get16(img.data() + mbr::BOOT_BASE);
        const uint32_t staged = uint32_t(opt.programs[0].size() - 3) / 510;
        if (c.status && !(sscanf(c.err.c_str(), "qxtool: error: check fail at sector %u", &at) == 1 && at <= base &&
                          at + staged > base))
            return "check fails: " + c.err;
    }
    uint32_t part = opt.partition_changes ? 0 : partition_start(before);
    if (part) {
        size_t at = size_t(part) * SECTOR;
        if (img.size() < before.size() || !std::equal(before.begin() + at, before.end(), img.begin() + at))
            return "the data partition changed";
    }
    return "";
}

namespace {

// A hash of the whole image, eight bytes at a time: states that come out
// the same are checked once.
uint64_t image_hash(const std::vector<uint8_t> &v) {
    uint64_t h = 1469598103934665603ull ^ v.size();
    size_t i = 0;
    for (; i + 8 <= v.size(); i += 8) {
        uint64_t w;
        memcpy(&w, v.data() + i, 8);
        h = (h ^ w) * 0x100000001b3ull;
        h ^= h >> 29;
    }
    for (; i < v.size(); i++) h = (h ^ v[i]) * 1099511628211ull;
    return h;
}

// Picks at most cap of the values, spread evenly, keeping the first and last.
template <class T> std::vector<T> spread(const std::vector<T> &v, size_t cap) {
    if (v.size() <= cap || cap < 2) return v.size() <= cap ? v : std::vector<T>(v.begin(), v.begin() + cap);
    std::vector<T> out;
    for (size_t i = 0; i < cap; i++) out.push_back(v[i * (v.size() - 1) / (cap - 1)]);
    return out;
}

// Which writes of the epoch a state holds, for the description of a
// broken state: whole writes as wN, torn ones with the sectors that landed.
std::string describe(const Epoch &e, const std::vector<char> &mask) {
    std::string s;
    size_t i = 0;
    int listed = 0;
    while (i < e.ops.size()) {
        size_t j = i;
        while (j < e.ops.size() && e.ops[j].write_no == e.ops[i].write_no) j++;
        size_t landed = 0;
        for (size_t k = i; k < j; k++) landed += mask[k] != 0;
        if (landed && listed++ < 24) {
            s += " w" + std::to_string(e.ops[i].write_no);
            if (e.ops[i].truncate) s += "(truncate to " + std::to_string(e.ops[i].sector) + ")";
            else if (landed < j - i) {
                s += "(sectors";
                int shown = 0;
                for (size_t k = i; k < j; k++)
                    if (mask[k] && shown++ < 8) s += " " + std::to_string(e.ops[k].sector);
                s += " of " + std::to_string(e.ops[i].sector) + "-" + std::to_string(e.ops[j - 1].sector) + ")";
            } else if (j - i > 1) {
                s += "(" + std::to_string(e.ops[i].sector) + "-" + std::to_string(e.ops[j - 1].sector) + ")";
            } else {
                s += "(" + std::to_string(e.ops[i].sector) + ")";
            }
        }
        i = j;
    }
    if (listed > 24) s += " ... (" + std::to_string(listed) + " writes)";
    return s.empty() ? " none" : s;
}

struct Candidate {
    std::string kind;
    std::vector<char> mask;
};

// The states a cut inside epoch e can leave, about quota of them.
std::vector<Candidate> candidates(const Epoch &e, size_t quota, std::mt19937 &rng) {
    const size_t n = e.ops.size();
    std::vector<Candidate> out;
    auto add = [&](const std::string &kind, std::vector<char> m) { out.push_back({kind, std::move(m)}); };
    if (e.atomic) {
        add("none", std::vector<char>(n, 0));
        add("all", std::vector<char>(n, 1));
        return out;
    }
    // Write boundaries, and cuts inside multi-sector writes.
    std::vector<std::pair<size_t, size_t>> groups;
    for (size_t i = 0; i < n;) {
        size_t j = i;
        while (j < n && e.ops[j].write_no == e.ops[i].write_no) j++;
        groups.push_back({i, j});
        i = j;
    }
    std::vector<size_t> cuts{0};
    for (auto &g : groups) {
        size_t len = g.second - g.first;
        if (len > 1) {
            cuts.push_back(g.first + 1);
            if (len > 3) cuts.push_back(g.first + len / 2);
            if (len > 2) cuts.push_back(g.second - 1);
        }
        cuts.push_back(g.second);
    }
    const size_t q_prefix = std::max<size_t>(4, quota * 3 / 8), q_each = std::max<size_t>(2, quota / 8);
    for (size_t c : spread(cuts, q_prefix)) {
        std::vector<char> m(n, 0);
        std::fill(m.begin(), m.begin() + c, 1);
        add("prefix " + std::to_string(c) + "/" + std::to_string(n), m);
    }
    if (groups.size() > 1) {
        std::vector<size_t> idx(groups.size());
        for (size_t i = 0; i < idx.size(); i++) idx[i] = i;
        for (size_t g : spread(idx, q_each)) {
            std::vector<char> m(n, 0);
            std::fill(m.begin() + groups[g].first, m.begin() + groups[g].second, 1);
            add("write " + std::to_string(e.ops[groups[g].first].write_no) + " alone", m);
        }
        for (size_t g : spread(idx, q_each)) {
            std::vector<char> m(n, 1);
            std::fill(m.begin() + groups[g].first, m.begin() + groups[g].second, 0);
            add("all but write " + std::to_string(e.ops[groups[g].first].write_no), m);
        }
    }
    size_t randoms = quota > out.size() ? quota - out.size() : 2;
    std::vector<size_t> perm(n);
    for (size_t i = 0; i < n; i++) perm[i] = i;
    for (size_t r = 0; r < randoms; r++) {
        std::shuffle(perm.begin(), perm.end(), rng);
        size_t c = std::uniform_int_distribution<size_t>(1, n)(rng);
        std::vector<char> m(n, 0);
        for (size_t i = 0; i < c; i++) m[perm[i]] = 1;
        add("random order #" + std::to_string(r) + " cut " + std::to_string(c) + "/" + std::to_string(n), m);
    }
    return out;
}

uint32_t seed_for(const std::string &label) {
    uint32_t base = 20261210;
    if (const char *s = getenv("QX_CRASH_SEED")) base = uint32_t(strtoul(s, nullptr, 0));
    uint32_t h = 2166136261u;
    for (char c : label) h = (h ^ uint8_t(c)) * 16777619u;
    return base ^ h;
}

}  // namespace

ReplayResult replay(const std::string &label, const std::string &target, const std::vector<std::string> &words,
                    const ReplayOptions &opt, const std::string &watched) {
    ScratchDir dir;
    // The command runs on copies; words naming the target or the watched
    // file name their copies.
    std::string work = dir.path("work.img"), wwork = work;
    write_file(work, read_file(target));
    std::vector<std::string> w = words;
    const std::string ro = dir.path("ro");
    if (!watched.empty() && watched != target) {
        if (opt.readonly_dir && mkdir(ro.c_str(), 0755) != 0) throw std::runtime_error(label + ": cannot make ro/");
        wwork = opt.readonly_dir ? ro + "/watched.img" : dir.path("watched.img");
        if (exists(watched)) write_file(wwork, read_file(watched));
    } else if (opt.readonly_dir) {
        throw std::runtime_error(label + ": a read-only directory needs a watched file apart from the target");
    }
    if (opt.linked && link(wwork.c_str(), (wwork + ".link").c_str()) != 0)
        throw std::runtime_error(label + ": cannot link the watched file");
    for (std::string &x : w) {
        if (x == target) x = work;
        else if (!watched.empty() && x == watched) x = wwork;
    }
    Store o, n;
    std::string why = exists(wwork) ? read_store(wwork, &o, dir.path("x")) : "";
    if (!why.empty()) throw std::runtime_error(label + ": the store before the command: " + why);
    Recording rec;
    std::string err;
    const ino_t ino = inode_of(wwork);
    int status;
    if (opt.readonly_dir) {
        // Everything the command opens is writable by anyone except ro/.
        chmod(dir.path("").c_str(), 0755);
        chmod(work.c_str(), 0666);
        chmod(wwork.c_str(), 0666);
        chmod(ro.c_str(), 0555);
        const bool root = geteuid() == 0;
        if (root) setfsuid(65534);
        try {
            status = record_command(work, w, wwork, &rec, &err, opt.has_input ? &opt.input : nullptr);
        } catch (...) {
            if (root) setfsuid(0);
            chmod(ro.c_str(), 0755);
            throw;
        }
        if (root) setfsuid(0);
        chmod(ro.c_str(), 0755);
    } else {
        status = record_command(work, w, wwork, &rec, &err, opt.has_input ? &opt.input : nullptr);
    }
    if (status) throw std::runtime_error(label + ": the command fails: " + err);
    if ((opt.linked || opt.readonly_dir) && (!ino || inode_of(wwork) != ino))
        throw std::runtime_error(label + ": the watched file was replaced instead of rewritten where it lies");
    why = read_store(wwork, &n, dir.path("x"));
    if (!why.empty()) throw std::runtime_error(label + ": the store after the command: " + why);
    return replay_recording(label, rec, o, n, opt);
}

ReplayResult replay_recording(const std::string &label, const Recording &rec, const Store &o, const Store &n,
                              const ReplayOptions &opt) {
    ReplayResult res;
    res.seed = seed_for(label);
    ScratchDir dir;
    if (getenv("QX_CRASH_TRACE")) {
        // The recording itself: each flush epoch and the writes in it.
        for (size_t k = 0; k < rec.epochs.size(); k++) {
            std::vector<char> all(rec.epochs[k].ops.size(), 1);
            printf("crash: %s epoch %zu:%s\n", label.c_str(), k + 1, describe(rec.epochs[k], all).c_str());
        }
    }
    const size_t scale = crash_scale();
    const size_t total = opt.budget * scale;
    const size_t quota = std::max<size_t>(8, total / std::max<size_t>(1, rec.epochs.size()));
    std::mt19937 rng(res.seed);
    std::set<uint64_t> seen;
    std::vector<uint8_t> base = rec.before;
    const std::string state = dir.path("state.img");
    for (size_t k = 0; k < rec.epochs.size(); k++) {
        const Epoch &e = rec.epochs[k];
        for (const Candidate &c : candidates(e, quota, rng)) {
            std::vector<uint8_t> img = base;
            for (size_t i = 0; i < e.ops.size(); i++)
                if (c.mask[i]) apply_op(img, e.ops[i]);
            if (!seen.insert(image_hash(img)).second) continue;
            write_file(state, img);
            res.states++;
            std::string boot;
            std::string bad = check_state(state, rec.before, o, n, opt, dir.path("x"), &boot);
            if (bad.empty() && !opt.redo.empty()) {
                std::vector<std::string> w = opt.redo;
                auto at = std::find_if(w.begin(), w.end(), [](const std::string &x) { return x.empty() || x[0] != '-'; });
                w.insert(at, state);
                RunResult r = run_tool(w);
                if (r.status) bad = "run again, the command fails: " + r.err;
                else if (read_file(state) != rec.after) bad = "run again, the command leaves another result";
            }
            std::string where = label + " seed=" + std::to_string(res.seed) + " flush epoch " + std::to_string(k + 1) +
                                "/" + std::to_string(rec.epochs.size()) + ", " + c.kind + ", landed:" + describe(e, c.mask);
            if (!bad.empty() && res.broken++ < 5) res.samples.push_back(where + ": " + bad);
            if (!boot.empty() && res.boot_broken++ < 3) res.boot_samples.push_back(where + ": " + boot);
        }
        for (const SectorOp &op : e.ops) apply_op(base, op);
    }
    printf("crash: %-34s seed %-10u writes %-5u flushes %-3u states %-5zu broken %-4zu boot-view broken %zu\n",
           label.c_str(), res.seed, rec.writes, rec.flushes, res.states, res.broken, res.boot_broken);
    fflush(stdout);
    return res;
}
