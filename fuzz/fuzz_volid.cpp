// "volume-id N" on a small QX disk whose boot record, partition table and
// data partition the input rewrites: the boot sectors it reads are the
// untrusted bytes. A refused run leaves the disk exactly as it was; a run
// that succeeds changes at most four sectors (FAT32's two boot sectors, or
// exFAT's two boot and two checksum sectors), all inside the data partition
// that slot 0 names, and never the disk's length.
//
// Input: a u32 ID, then patches of the disk, each {u16 sector, u16 byte
// offset, u16 length, bytes} (the sector taken modulo the disk's, the
// offset modulo 512; a patch cut short by the end of the input keeps what
// is there).
#include "harness.h"

#include "common.h"
#include "layout.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using fz::bytes;

// A data partition large enough for an exFAT volume's two boot regions.
fz::geometry volid_geometry() {
    fz::geometry g;
    g.tail = 32;
    return g;
}

void patch(bytes &disk, uint32_t sectors, const uint8_t *p, size_t n) {
    size_t i = 0;
    while (i + 6 <= n) {
        size_t at = size_t(get16(p + i) % sectors) * 512 + get16(p + i + 2) % 512;
        size_t len = get16(p + i + 4);
        i += 6;
        len = std::min({len, n - i, disk.size() - at});
        memcpy(&disk[at], p + i, len);
        i += len;
    }
}

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "volume-id: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const fz::geometry g = volid_geometry();
    static const bytes qx_disk = fz::small_disk(g);
    static const std::string img = fz::path("disk.img");
    if (size < 4) return 0;
    const uint32_t id = get32(data);
    bytes before = qx_disk;
    const uint32_t sectors = fz::disk_sectors(g);
    patch(before, sectors, data + 4, size - 4);
    fz::put_file(img, before);
    fz::result r = fz::run({img, "volume-id", std::to_string(id)});

    const bytes after = fz::get_file(img);
    if (after.size() != before.size()) fail("the disk's length changed");
    if (r.status != 0) {
        if (after != before) fail("a refused run changed the disk");
        return 0;
    }
    const uint8_t *e = &before[mbr::PART_TABLE];
    const uint64_t start = get32(e + pte::START), end = start + get32(e + pte::COUNT);
    int changed = 0;
    for (uint32_t s = 0; s < sectors; s++) {
        if (!memcmp(&after[size_t(s) * 512], &before[size_t(s) * 512], 512)) continue;
        if (s < start || s >= end) fail("wrote outside the data partition");
        changed++;
    }
    if (changed > 4) fail("changed more than the sectors that hold the volume id");
    return 0;
}
