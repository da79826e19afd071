#include "harness.h"

#include "commands.h"
#include "common.h"
#include "layout.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <unistd.h>

// Durability does not change what is read or written; answering the sync
// calls at once keeps the runs fast on a disk-backed scratch directory.
extern "C" int __wrap_fdatasync(int) { return 0; }
extern "C" int __wrap_fsync(int) { return 0; }

namespace fz {

namespace {

std::string scratch_dir;

int remove_entry(const char *p, const struct stat *, int, struct FTW *) { return remove(p); }

void remove_scratch() {
    if (!scratch_dir.empty()) nftw(scratch_dir.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
}

// Captured streams: fopencookie streams that append to strings (bounded, so
// that a command printing without end cannot eat the memory).
constexpr size_t CAPTURE_MAX = 1 << 16;

ssize_t capture_write(void *cookie, const char *buf, size_t n) {
    auto *s = static_cast<std::string *>(cookie);
    if (s->size() < CAPTURE_MAX) s->append(buf, std::min(n, CAPTURE_MAX - s->size()));
    return ssize_t(n);
}
ssize_t empty_read(void *, char *, size_t) { return 0; }

std::string cap_out, cap_err;
FILE *out_stream, *err_stream, *in_stream;

void setup_streams() {
    cookie_io_functions_t w{};
    w.write = capture_write;
    out_stream = fopencookie(&cap_out, "w", w);
    err_stream = fopencookie(&cap_err, "w", w);
    cookie_io_functions_t r{};
    r.read = empty_read;
    in_stream = fopencookie(nullptr, "r", r);
    if (!out_stream || !err_stream || !in_stream) abort();
}

}  // namespace

const std::string &scratch() {
    if (scratch_dir.empty()) {
        const char *t = getenv("TMPDIR");
        std::string tmpl = std::string(t && *t ? t : "/tmp") + "/qxfuzz.XXXXXX";
        if (!mkdtemp(&tmpl[0])) abort();
        scratch_dir = tmpl;
        atexit(remove_scratch);
        // No command may grow a file without bound: a write past 32 MiB
        // fails like a full disk, which the tool must report as an error.
        struct rlimit rl = {32u << 20, 32u << 20};
        setrlimit(RLIMIT_FSIZE, &rl);
        signal(SIGXFSZ, SIG_IGN);
        setup_streams();
    }
    return scratch_dir;
}

std::string path(const char *name) { return scratch() + "/" + name; }

// A fresh file each time: ext4 flushes a file that was cut to length 0 when
// it is closed, which would make every run wait for the disk, while the
// pages of a removed file are simply dropped.
static int fresh_file(const std::string &file) {
    unlink(file.c_str());
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) abort();
    return fd;
}

void put_file(const std::string &file, const uint8_t *data, size_t n, uint32_t min_sectors) {
    int fd = fresh_file(file);
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, data + done, n - done);
        if (w <= 0) abort();
        done += size_t(w);
    }
    if (uint64_t(min_sectors) * 512 > n && ftruncate(fd, off_t(min_sectors) * 512) != 0) abort();
    close(fd);
}

bytes get_file(const std::string &file, size_t limit) {
    bytes b;
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return b;
    uint8_t buf[65536];
    ssize_t r;
    while (b.size() < limit && (r = read(fd, buf, std::min(sizeof buf, limit - b.size()))) > 0)
        b.insert(b.end(), buf, buf + r);
    close(fd);
    return b;
}

void put_chunks(const std::string &file, const uint8_t *data, size_t n) {
    int fd = fresh_file(file);
    size_t i = 0;
    while (i + 6 <= n) {
        uint32_t sector = get32(data + i);
        size_t len = get16(data + i + 4);
        i += 6;
        if (len > n - i) len = n - i;
        // Places beyond the file size limit simply stay unwritten.
        if (pwrite(fd, data + i, len, off_t(sector) * 512) < 0 && errno != EFBIG && errno != EINVAL) abort();
        i += len;
    }
    close(fd);
}

bool device_word(const std::string &w) {
    if (!w.empty() && w[0] == '(') return true;
    return w.compare(0, 5, "/dev/") == 0 || w == "/dev";
}

std::string safe_word(const uint8_t *data, size_t n) {
    std::string w;
    for (size_t i = 0; i < n; i++)
        if (data[i] && data[i] != '/') w += char(data[i]);
    if (!w.empty() && w[0] == '(') w[0] = '_';
    return w;
}

result run(const std::vector<std::string> &words) {
    scratch();
    std::vector<std::string> all{"qxtool"};
    for (const std::string &w : words) {
        if (device_word(w)) {
            fprintf(stderr, "fuzz harness: refusing device word %s\n", w.c_str());
            abort();
        }
        all.push_back(w);
    }
    std::vector<char *> argv;
    for (std::string &w : all) argv.push_back(&w[0]);
    argv.push_back(nullptr);

    // libFuzzer catches this signal itself; a write past the size limit
    // must fail like a full disk instead.
    signal(SIGXFSZ, SIG_IGN);
    cap_out.clear();
    cap_err.clear();
    FILE *so = stdout, *se = stderr, *si = stdin;
    stdout = out_stream;
    stderr = err_stream;
    stdin = in_stream;
    clearerr(in_stream);
    result r;
    r.status = qxtool_main(int(all.size()), argv.data());
    fflush(out_stream);
    fflush(err_stream);
    stdout = so;
    stderr = se;
    stdin = si;
    r.out = cap_out;
    r.err = cap_err;

    static const char prefix[] = "qxtool: error: ";
    bool ok;
    if (r.status == 0) ok = r.err.empty();
    else if (r.status == 1)
        ok = r.err.compare(0, sizeof prefix - 1, prefix) == 0 && r.err.find(prefix, 1) == std::string::npos &&
             r.err.size() > sizeof prefix - 1 && r.err.back() == '\n';
    else ok = false;
    if (!ok) {
        fprintf(stderr, "fuzz harness: status %d, error output:\n%s\n", r.status, r.err.c_str());
        abort();
    }
    return r;
}

bool not_built(const result &r) {
    return r.status == 1 && r.err.find("not available in this build") != std::string::npos;
}

uint32_t disk_sectors(const geometry &g) { return g.pri + g.ext + g.tail; }

bytes small_disk(const geometry &g) {
    const uint32_t n = (MBR_IMAGE_SIZE - 3) / 510;
    bytes d(size_t(disk_sectors(g)) * 512, 0);
    // Boot record and its copies, the data partition after the extended area.
    uint8_t rec[512];
    memcpy(rec, qx_mbr_rel, 512);
    put16(rec + mbr::BOOT_BASE, g.base);
    uint32_t start = g.pri + g.ext;
    uint8_t *e = rec + mbr::PART_TABLE;
    e[pte::BOOT] = 0x80;
    e[pte::TYPE] = 0x0E;
    put32(e + pte::START, start);
    put32(e + pte::COUNT, g.tail);
    for (uint32_t i = 0; i <= g.base; i++) {
        put16(rec + mbr::COPY_NO, i);
        put32(e + pte::START, start - i);
        lba2chs(start - i, e + pte::CHS_START);
        lba2chs(start - i + g.tail - 1, e + pte::CHS_END);
        memcpy(&d[size_t(i) * 512], rec, 512);
    }
    // Header and boot code.
    uint8_t boot[4 * 512] = {};
    memcpy(boot, qx_mbr_rel + 512, MBR_IMAGE_SIZE - 512);
    put16(boot + hdr::BOOT_SIZE, n);
    put16(boot + hdr::LIST_USED, 1);
    put16(boot + hdr::LIST_SECTORS, g.list);
    put16(boot + hdr::PRI_SIZE, g.pri);
    put32(boot + hdr::EXT_SIZE, g.ext);
    add_mark(boot, n, g.base + 1, MBR_IMAGE_SIZE - 512);
    memcpy(&d[size_t(g.base + 1) * 512], boot, sizeof boot);
    // The empty list and the primary area: zero sectors with their marks.
    for (uint32_t s = g.base + 1 + n; s < g.pri; s++) put16(&d[size_t(s) * 512 + 510], s);
    // The data partition: a pattern that no command of the file store may touch.
    for (uint32_t s = start; s < start + g.tail; s++)
        for (uint32_t k = 0; k < 512; k++) d[size_t(s) * 512 + k] = uint8_t(s * 7 + k);
    return d;
}

bytes archive(const std::vector<ar_item> &items, uint32_t list_sectors, uint16_t pri, uint32_t ext) {
    bytes list(size_t(list_sectors) * 512, 0);
    bytes data;
    size_t ofs = 0;
    uint32_t next = list_sectors + 1;
    for (const ar_item &it : items) {
        size_t len = it.name.size() + 15;
        if (len > 255 || ofs + len >= size_t(list_sectors) * 510) abort();
        uint8_t *p = &list[ofs];
        p[item::LEN] = uint8_t(len - 2);
        p[item::FLAGS] = it.flags;
        put32(p + item::START, next);
        put32(p + item::SIZE, uint32_t(it.data.size()));
        put32(p + item::TIME, 1284692509u);
        memcpy(p + item::NAME, it.name.c_str(), it.name.size() + 1);
        ofs += len;
        data.insert(data.end(), it.data.begin(), it.data.end());
        data.resize((data.size() + 511) / 512 * 512, 0);
        next = list_sectors + 1 + uint32_t(data.size() / 512);
    }
    add_mark(list.data(), list_sectors, 1, uint32_t(ofs) + 1);
    bytes ar(512, 0);
    memcpy(&ar[0], "QXAR", 4);
    ar[hdr::VER_MAJOR] = qx_mbr_rel[0x204];
    ar[hdr::VER_MINOR] = qx_mbr_rel[0x205];
    put16(&ar[hdr::LIST_USED], uint32_t(ofs / 510 + 1));
    put16(&ar[hdr::LIST_SECTORS], list_sectors);
    put16(&ar[hdr::PRI_SIZE], pri);
    put32(&ar[hdr::EXT_SIZE], ext);
    ar.insert(ar.end(), list.begin(), list.end());
    ar.insert(ar.end(), data.begin(), data.end());
    return ar;
}

}  // namespace fz
