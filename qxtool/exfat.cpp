// exFAT formatter of the data partition.
//
// The cluster size follows the volume's size as the common formatters
// choose it (4 KiB up to 256 MiB, 32 KiB up to 32 GiB, 128 KiB above), and
// the FAT and the cluster heap start on 1 MiB boundaries of the disk, so a
// flash medium's erase blocks and the clusters line up. Only the smallest
// volumes, where 1 MiB boundaries leave no room, fall back to smaller ones.
// The FAT holds an entry for every cluster the volume could have and ends on
// a cluster boundary. Bitmap, up-case table and root directory take the
// first clusters in that order, each chained in the FAT.
#include "exfat.h"

#include "common.h"
#include "disk.h"
#include "layout.h"
#include "xdio.h"

#include <cstring>
#include <functional>

namespace {

constexpr uint32_t BOUNDARY = 2048;              // 1 MiB in sectors
constexpr uint32_t SMALL_VOLUME = 524288;        // up to 256 MiB: 4 KiB clusters
constexpr uint32_t MEDIUM_VOLUME = 67108864;     // up to 32 GiB: 32 KiB clusters
constexpr uint32_t MAX_SPC = 65536;              // 32 MiB clusters

uint32_t default_spc(uint32_t size) {
    if (size <= SMALL_VOLUME) return 8;
    if (size <= MEDIUM_VOLUME) return 64;
    return 256;
}

uint64_t round_up(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

uint32_t shift_of(uint32_t power) {
    uint32_t s = 0;
    while ((1u << s) < power) s++;
    return s;
}

uint32_t upcase_bytes() { return exfat_upcase_words * 2; }

uint32_t upcase_checksum() {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < exfat_upcase_words; i++) {
        const uint8_t b[2] = {uint8_t(exfat_upcase[i]), uint8_t(exfat_upcase[i] >> 8)};
        for (uint8_t byte : b) sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + byte;
    }
    return sum;
}

enum fit { FITS, NO_ROOM, TOO_MANY_CLUSTERS };

// Lays the volume out with the FAT and the heap on boundary sectors of the
// disk. The volume must keep at least one free cluster after its bitmap,
// up-case table and root directory.
fit lay_out(exfat_plan *p, uint32_t boundary) {
    p->boundary = boundary;
    const uint64_t cluster_bytes = uint64_t(p->spc) * SECTOR;
    const uint64_t fat_offset = round_up(uint64_t(p->hidden) + exfat::REGION_SECTORS * 2, boundary) - p->hidden;
    uint64_t fat_length = round_up(uint64_t(p->size / p->spc) * 4, cluster_bytes) / SECTOR;
    for (;;) {
        const uint64_t heap = round_up(uint64_t(p->hidden) + fat_offset + fat_length, boundary) - p->hidden;
        if (heap + p->spc > p->size) return NO_ROOM;
        const uint64_t clusters = (p->size - heap) / p->spc;
        if (clusters > exfat::MAX_CLUSTERS) return TOO_MANY_CLUSTERS;
        // With the largest clusters the heap's own clusters can leave the
        // FAT short of the two reserved entries: one cluster more then.
        if ((clusters + 2) * 4 > fat_length * SECTOR) {
            fat_length += p->spc;
            continue;
        }
        p->fat_offset = uint32_t(fat_offset);
        p->fat_length = uint32_t(fat_length);
        p->heap_offset = uint32_t(heap);
        p->clusters = uint32_t(clusters);
        break;
    }
    p->bitmap_bytes = uint32_t((uint64_t(p->clusters) + 7) / 8);
    p->bitmap_clusters = uint32_t(round_up(p->bitmap_bytes, cluster_bytes) / cluster_bytes);
    p->upcase_clusters = uint32_t(round_up(upcase_bytes(), cluster_bytes) / cluster_bytes);
    const uint64_t used = uint64_t(p->bitmap_clusters) + p->upcase_clusters + 1;
    if (used >= p->clusters) return NO_ROOM;
    p->root_cluster = exfat::FIRST_CLUSTER + p->bitmap_clusters + p->upcase_clusters;
    return FITS;
}

uint32_t used_clusters(const exfat_plan *p) { return p->bitmap_clusters + p->upcase_clusters + 1; }

// The FAT entry of cluster c: entries 0 and 1 are the media and end marks;
// bitmap, up-case table and root directory are chains of consecutive
// clusters, each ending with the end-of-chain mark.
uint32_t fat_entry(const exfat_plan *p, uint64_t c) {
    if (c == 0) return 0xFFFFFFF8u;
    if (c == 1) return 0xFFFFFFFFu;
    const uint64_t bitmap_end = exfat::FIRST_CLUSTER + p->bitmap_clusters;
    const uint64_t upcase_end = bitmap_end + p->upcase_clusters;
    if (c > p->root_cluster) return 0;
    if (c + 1 == bitmap_end || c + 1 == upcase_end || c == p->root_cluster) return 0xFFFFFFFFu;
    return uint32_t(c + 1);
}

void build_boot_region(exfat_plan *p, uint32_t serial) {
    uint8_t *b = p->boot;
    b[exfat::JUMP_BOOT] = 0xEB;
    b[exfat::JUMP_BOOT + 1] = 0x76;
    b[exfat::JUMP_BOOT + 2] = 0x90;
    memcpy(b + exfat::FS_NAME, "EXFAT   ", 8);
    put32(b + exfat::PARTITION_OFFSET, p->hidden);
    put32(b + exfat::VOLUME_LENGTH, p->size);
    put32(b + exfat::FAT_OFFSET, p->fat_offset);
    put32(b + exfat::FAT_LENGTH, p->fat_length);
    put32(b + exfat::CLUSTER_HEAP_OFFSET, p->heap_offset);
    put32(b + exfat::CLUSTER_COUNT, p->clusters);
    put32(b + exfat::ROOT_CLUSTER, p->root_cluster);
    put32(b + exfat::VOLUME_SERIAL, serial);
    put16(b + exfat::FS_REVISION, 0x0100);
    b[exfat::BYTES_PER_SECTOR_SHIFT] = 9;
    b[exfat::SECTORS_PER_CLUSTER_SHIFT] = uint8_t(shift_of(p->spc));
    b[exfat::NUMBER_OF_FATS] = 1;
    b[exfat::DRIVE_SELECT] = 0x80;
    b[exfat::PERCENT_IN_USE] = uint8_t(uint64_t(used_clusters(p)) * 100 / p->clusters);
    // No boot code: a machine that starts the volume halts.
    memset(b + exfat::BOOT_CODE, 0xF4, exfat::BOOT_CODE_LEN);
    put_signature(b);
    // The eight extended boot sectors carry only their signature; the OEM
    // parameters and the reserved sector stay zero.
    for (uint32_t i = 1; i <= 8; i++) put32(b + i * SECTOR + 508, 0xAA550000u);
    const uint32_t sum = exfat_boot_checksum(b);
    for (uint32_t i = 0; i < SECTOR; i += 4) put32(b + exfat::CHECKSUM_SECTOR * SECTOR + i, sum);
}

}  // namespace

bool is_exfat_boot(const uint8_t *sector) { return !memcmp(sector + exfat::FS_NAME, "EXFAT   ", 8); }

uint32_t exfat_boot_checksum(const uint8_t *region) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < exfat::CHECKSUM_SECTOR * SECTOR; i++) {
        if (i == exfat::VOLUME_FLAGS || i == exfat::VOLUME_FLAGS + 1 || i == exfat::PERCENT_IN_USE) continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
    }
    return sum;
}

void plan_exfat(exfat_plan *p, uint32_t hidden, uint32_t size, uint32_t unit_size, int align, uint32_t serial) {
    *p = exfat_plan();
    p->hidden = hidden;
    p->size = size;
    if (unit_size > MAX_SPC || (unit_size & (unit_size - 1)))
        quit("invalid unit size %u for exfat, use a power of two from 1 to %u", unit_size, MAX_SPC);
    if (size < exfat::MIN_SECTORS) quit("partition of %u sectors too small for exfat", size);
    p->spc = unit_size ? unit_size : default_spc(size);
    // With align the heap must also start on a cluster boundary of the disk.
    const uint32_t least = align ? p->spc : 1;
    fit f = NO_ROOM;
    for (uint32_t b = align && p->spc > BOUNDARY ? p->spc : BOUNDARY; b >= least; b /= 2) {
        f = lay_out(p, b);
        if (f != NO_ROOM) break;
    }
    if (f == TOO_MANY_CLUSTERS) quit("unit size %u invalid for exfat: more than %u clusters", p->spc, exfat::MAX_CLUSTERS);
    if (f == NO_ROOM) quit("partition of %u sectors too small for exfat with %u sectors per cluster", size, p->spc);
    p->upcase_checksum = upcase_checksum();
    build_boot_region(p, serial);
}

namespace {

// Writes count sectors, filled a buffer at a time: fill gets the buffer, the
// index of its first sector among the count, and the number of sectors in
// it, all zero before the call. Leaves the buffer zero for zero_disk.
void write_filled(xd_t *xd, uint64_t count, const std::function<void(uint8_t *, uint64_t, uint32_t)> &fill) {
    for (uint64_t done = 0; done < count;) {
        const uint32_t n = count - done < GLOBAL_SECTORS ? uint32_t(count - done) : GLOBAL_SECTORS;
        fill(global_buffer, done, n);
        write_disk(xd, global_buffer, n);
        memset(global_buffer, 0, size_t(n) * SECTOR);
        done += n;
    }
}

}  // namespace

void write_exfat(xd_t *xd, const exfat_plan *p) {
    uint8_t *gb = global_buffer;
    memset(gb, 0, GLOBAL_BUFFER_SIZE);
    const uint32_t region = exfat::REGION_SECTORS;
    for (int copy = 0; copy < 2; copy++)
        write_filled(xd, region, [&](uint8_t *buf, uint64_t, uint32_t) { memcpy(buf, p->boot, sizeof p->boot); });
    zero_disk(xd, p->fat_offset - 2 * region);

    // The FAT: its first sectors hold the chains, the rest is zero.
    const uint64_t chain_sectors = ((uint64_t(p->root_cluster) + 1) * 4 + SECTOR - 1) / SECTOR;
    write_filled(xd, chain_sectors, [&](uint8_t *buf, uint64_t first, uint32_t n) {
        for (uint32_t i = 0; i < n * SECTOR / 4; i++) put32(buf + 4 * i, fat_entry(p, first * SECTOR / 4 + i));
    });
    zero_disk(xd, uint32_t(p->fat_length - chain_sectors));
    zero_disk(xd, p->heap_offset - p->fat_offset - p->fat_length);

    // The bitmap: a bit for each cluster from cluster 2 on, set for the
    // clusters of the bitmap itself, the up-case table and the root.
    const uint32_t used = used_clusters(p);
    write_filled(xd, uint64_t(p->bitmap_clusters) * p->spc, [&](uint8_t *buf, uint64_t first, uint32_t n) {
        const uint64_t from = first * SECTOR * 8;  // first bit in this buffer
        for (uint64_t bit = from; bit < used && bit < from + n * SECTOR * 8; bit++)
            buf[(bit - from) / 8] |= uint8_t(1u << (bit % 8));
    });

    // The up-case table, then the root directory's cluster.
    const uint32_t table = upcase_bytes();
    write_filled(xd, uint64_t(p->upcase_clusters) * p->spc, [&](uint8_t *buf, uint64_t first, uint32_t n) {
        for (uint64_t at = first * SECTOR; at < table && at < (first + n) * SECTOR; at += 2)
            put16(buf + (at - first * SECTOR), exfat_upcase[at / 2]);
    });
    write_filled(xd, p->spc, [&](uint8_t *buf, uint64_t first, uint32_t) {
        if (first) return;
        uint8_t *e = buf;
        e[0] = exfat::ENTRY_LABEL;  // no label: character count 0
        e += exfat::ENTRY;
        e[0] = exfat::ENTRY_BITMAP;
        put32(e + exfat::ENTRY_FIRST_CLUSTER, exfat::FIRST_CLUSTER);
        put32(e + exfat::ENTRY_DATA_LENGTH, p->bitmap_bytes);
        e += exfat::ENTRY;
        e[0] = exfat::ENTRY_UPCASE;
        put32(e + exfat::ENTRY_CHECKSUM, p->upcase_checksum);
        put32(e + exfat::ENTRY_FIRST_CLUSTER, exfat::FIRST_CLUSTER + p->bitmap_clusters);
        put32(e + exfat::ENTRY_DATA_LENGTH, table);
    });
}
