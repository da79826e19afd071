// Patching a stored SYSLINUX loader for its place on the disk: the loader
// finds the rest of itself through the sector number of its second sector,
// and checks a sum over its own words.
#include "syslinux.h"
#include "common.h"
#include "disk.h"
#include "filestore.h"
#include "layout.h"

#include <cstring>

namespace {
constexpr uint32_t SIGNATURE = 0x3EB202FE;
// The first two sectors are written back; a version-4 loader whose fields
// lie beyond them is refused.
constexpr uint32_t PATCH_END = 1024;
}  // namespace

uint32_t syslinux_patch_image(uint8_t *buf, uint32_t size, uint32_t second) {
    if (memcmp(buf + 514, "SYSLINUX", 8) != 0) quit("not a valid ldlinux.bin");
    uint32_t s = 0;
    for (uint32_t o = 512; o <= 1020; o += 4)
        if (get32(buf + o) == SIGNATURE) {
            s = o;
            break;
        }
    if (!s) quit("syslinux signature not found");

    const int version = int(buf[523]) - '0';
    uint32_t words_at, count_at, sum_at, count_value, end = PATCH_END;
    if (version == 3) {
        // The fields may reach into the third sector, which is then
        // written back as well.
        if (s + 16 > end) end = s + 16;
        put32(buf + 504, second);
        put16(buf + 510, 0xAA55);
        words_at = s + 8;
        count_at = s + 10;
        sum_at = s + 12;
        count_value = 0;
    } else if (version == 4) {
        if (s + 24 > PATCH_END) quit("not a valid ldlinux.bin");
        uint32_t table = 512 + uint32_t(get16(buf + s + 22));
        if (table + 18 > PATCH_END) quit("not a valid ldlinux.bin");
        uint32_t p0 = get16(buf + table + 14), p1 = get16(buf + table + 16);
        if (p0 + 4 > PATCH_END || p1 + 4 > PATCH_END) quit("not a valid ldlinux.bin");
        put32(buf + p0, second);
        put32(buf + p1, 0xFFFFFFFFu);
        words_at = s + 12;
        count_at = s + 8;
        sum_at = s + 16;
        count_value = 1;
    } else {
        quit("invalid ldlinux.bin version %d", version);
    }
    const uint32_t d = (size - 512) / 4;
    put16(buf + words_at, d);
    put16(buf + count_at, count_value);
    put32(buf + sum_at, 0);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < d; i++) sum += get32(buf + 512 + 4 * i);
    put32(buf + sum_at, SIGNATURE - sum);
    return (end + 511) / 512;
}

void syslinux_patch(xd_t *xd, uint8_t *it) {
    it[item::FLAGS] |= item::F_SYSLINUX;
    const uint32_t size = item_size(it), start = item_start(it);
    const uint32_t k = uint32_t((uint64_t(size) + 511) / 512);
    if (k <= 2 || k > GLOBAL_SECTORS) quit("invalid size for ldlinux.bin");
    // The patch sees the file as plain 512-byte sectors.
    if (start < qx_pri_size) quit("ldlinux.bin is not in the extended data area");
    seek_disk(xd, start);
    read_disk(xd, global_buffer, k);
    uint32_t n = syslinux_patch_image(global_buffer, size, start + 1 - qx_part_ofs);
    // Sectors that the list on the disk names change with the next commit.
    store_write_file_sectors(xd, start, global_buffer, n);
}
