// Writes out the states that a power cut during one command can leave on a
// disk image with the list in place torn (some of its sectors old, some new)
// while the last list sector holds a commit record for that list: the
// states that only a reader of the record reads right. The boot tests boot
// them.
//
// usage: crash_states OUTDIR IMAGE WORD...
// The command runs on IMAGE, which ends up holding its result. Each state
// is written to OUTDIR/torn-N.img, and its path is printed on a line.
#include "common.h"
#include "fixture.h"
#include "layout.h"
#include "replay.h"

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

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: crash_states OUTDIR IMAGE WORD...\n");
        return 2;
    }
    const std::string out = argv[1], image = argv[2];
    Recording rec;
    std::string err;
    try {
        if (record_command(image, std::vector<std::string>(argv + 3, argv + argc), image, &rec, &err)) {
            fprintf(stderr, "the command fails: %s", err.c_str());
            return 1;
        }
    } catch (const std::exception &e) {
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
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
