// Writes out the states that a power cut during one command can leave on a
// disk image, for the boot tests to boot.
//
// usage: crash_states OUTDIR IMAGE WORD...
//        crash_states --boot-code [--program FILE] OUTDIR IMAGE WORD...
// The command runs on IMAGE, which ends up holding its result. Each state
// is written to OUTDIR/NAME-N.img, and its path is printed on a line.
//
// By default the states are those with the list in place torn (some of its
// sectors old, some new) while the last list sector holds a commit record
// for that list: the states that only a reader of the record reads right.
//
// With --boot-code (a command that replaces the boot record program): one
// state for each different start of a boot, that is for each sector 0, the
// program sectors its boot_base names and the sector that the CHS geometry
// probe reads first. --program FILE first lays out IMAGE's boot record
// program as a build carrying the program image FILE would have written it.
#include "common.h"
#include "disk.h"
#include "fixture.h"
#include "layout.h"
#include "replay.h"
#include "xdio.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <set>
#include <string>
#include <vector>

namespace {

struct Geometry {
    uint32_t header = 0, list_start = 0, record = 0, used = 0;
};

// Where the list lies, and the sectors it uses before or after the command.
Geometry geometry(const std::vector<uint8_t> &before, const std::vector<uint8_t> &after) {
    Geometry g;
    g.header = get16(before.data() + mbr::BOOT_BASE) + 1u;
    const uint8_t *h = before.data() + size_t(g.header) * SECTOR;
    g.list_start = g.header + get16(h + hdr::BOOT_SIZE);
    g.record = g.list_start + get16(h + hdr::LIST_SECTORS) - 1;
    g.used = std::max(get16(h + hdr::LIST_USED), get16(after.data() + size_t(g.header) * SECTOR + hdr::LIST_USED));
    return g;
}

bool same_sectors(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, uint32_t first, uint32_t end) {
    return !memcmp(a.data() + size_t(first) * SECTOR, b.data() + size_t(first) * SECTOR,
                   size_t(end - first) * SECTOR);
}

// Which writes of an epoch land: every choice for a small epoch, every
// prefix of a larger one.
std::vector<std::vector<char>> masks_of(size_t n) {
    std::vector<std::vector<char>> out;
    if (n <= 10) {
        for (size_t m = 0; m < (size_t(1) << n); m++) {
            std::vector<char> v(n);
            for (size_t i = 0; i < n; i++) v[i] = char((m >> i) & 1);
            out.push_back(v);
        }
    } else {
        for (size_t c = 0; c <= n; c++) {
            std::vector<char> v(n, 0);
            std::fill(v.begin(), v.begin() + c, 1);
            out.push_back(v);
        }
    }
    return out;
}

// Puts the boot record program image at path on the disk image, as an
// update by a build carrying it would.
bool install_program(const std::string &image, const std::string &path) {
    const std::vector<uint8_t> prog = read_file(path);
    if (prog.size() != MBR_IMAGE_SIZE) return false;
    reset_globals();
    xd_t *xd = xd_open(image.c_str(), 1);
    if (!xd) return false;
    bool ok = true;
    try {
        read_header(xd, 0);
        qx_mbr_data = prog.data();
        update_header(xd);
        flush_disk(xd);
    } catch (const Fatal &e) {
        fprintf(stderr, "%s\n", e.what());
        ok = false;
    }
    xd_close(xd);
    reset_globals();
    return ok;
}

// One state per start of a boot: sector 0, the program's sectors from
// boot_base + 1 on, and the sector numbered spt.
int boot_code_states(const std::string &out, const Recording &rec) {
    const uint32_t n = (MBR_IMAGE_SIZE - 3) / 510;
    std::set<std::vector<uint8_t>> seen;
    std::vector<uint8_t> base = rec.before;
    int written = 0;
    auto emit = [&](const std::vector<uint8_t> &s) {
        const uint32_t head = get16(s.data() + mbr::BOOT_BASE) + 1u, probe = s[mbr::SPT];
        std::vector<uint8_t> key(s.begin(), s.begin() + SECTOR);
        key.insert(key.end(), s.begin() + size_t(head) * SECTOR, s.begin() + size_t(head + n) * SECTOR);
        key.insert(key.end(), s.begin() + size_t(probe) * SECTOR, s.begin() + size_t(probe + 1) * SECTOR);
        if (!seen.insert(key).second) return;
        const std::string path = out + "/boot-" + std::to_string(++written) + ".img";
        write_file(path, s);
        printf("%s\n", path.c_str());
    };
    emit(base);
    for (const Epoch &e : rec.epochs) {
        for (const std::vector<char> &mask : masks_of(e.ops.size())) {
            std::vector<uint8_t> s = base;
            for (size_t i = 0; i < e.ops.size(); i++)
                if (mask[i] && !e.ops[i].truncate)
                    memcpy(s.data() + size_t(e.ops[i].sector) * SECTOR, e.ops[i].data.data(), SECTOR);
            emit(s);
        }
        for (const SectorOp &op : e.ops)
            if (!op.truncate) memcpy(base.data() + size_t(op.sector) * SECTOR, op.data.data(), SECTOR);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    int a = 1;
    bool boot_code = false;
    std::string program;
    for (; a < argc && argv[a][0] == '-' && argv[a][1] == '-'; a++) {
        if (!strcmp(argv[a], "--boot-code")) boot_code = true;
        else if (!strcmp(argv[a], "--program") && a + 1 < argc) program = argv[++a];
        else break;
    }
    if (argc - a < 3) {
        fprintf(stderr, "usage: crash_states [--boot-code [--program FILE]] OUTDIR IMAGE WORD...\n");
        return 2;
    }
    const std::string out = argv[a], image = argv[a + 1];
    if (!program.empty() && !install_program(image, program)) {
        fprintf(stderr, "cannot lay out the program %s on %s\n", program.c_str(), image.c_str());
        return 1;
    }
    Recording rec;
    std::string err;
    try {
        if (record_command(image, std::vector<std::string>(argv + a + 2, argv + argc), image, &rec, &err)) {
            fprintf(stderr, "the command fails: %s", err.c_str());
            return 1;
        }
    } catch (const std::exception &e) {
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    if (boot_code) return boot_code_states(out, rec);
    const Geometry g = geometry(rec.before, rec.after);
    std::set<std::vector<uint8_t>> seen;
    std::vector<uint8_t> base = rec.before;
    int written = 0;
    for (const Epoch &e : rec.epochs) {
        for (const std::vector<char> &mask : masks_of(e.ops.size())) {
            std::vector<uint8_t> s = base;
            for (size_t i = 0; i < e.ops.size(); i++) {
                const SectorOp &op = e.ops[i];
                if (!mask[i] || op.truncate) continue;
                if (s.size() < size_t(op.sector + 1) * SECTOR) s.resize(size_t(op.sector + 1) * SECTOR);
                memcpy(s.data() + size_t(op.sector) * SECTOR, op.data.data(), SECTOR);
            }
            const uint8_t *r = s.data() + size_t(g.record) * SECTOR;
            const bool record = !memcmp(r, "QXCOMMIT", 8) && get32(r + 8) == g.list_start;
            const uint32_t end = g.list_start + g.used;
            const bool torn = !same_sectors(s, rec.before, g.list_start, end) &&
                              !same_sectors(s, rec.after, g.list_start, end);
            if (!record || !torn) continue;
            // The header and the list area tell the states apart.
            std::vector<uint8_t> key(s.begin() + size_t(g.header) * SECTOR, s.begin() + size_t(g.header + 1) * SECTOR);
            key.insert(key.end(), s.begin() + size_t(g.list_start) * SECTOR, s.begin() + size_t(g.record + 1) * SECTOR);
            if (!seen.insert(key).second) continue;
            const std::string path = out + "/torn-" + std::to_string(++written) + ".img";
            write_file(path, s);
            printf("%s\n", path.c_str());
        }
        for (const SectorOp &op : e.ops) {
            if (op.truncate) continue;
            memcpy(base.data() + size_t(op.sector) * SECTOR, op.data.data(), SECTOR);
        }
    }
    return 0;
}
