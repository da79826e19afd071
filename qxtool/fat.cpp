// FAT12/FAT16/FAT32 formatter of the data partition.
//
// The volume gets fixed geometry values (63 sectors per track, 255 heads),
// no boot code, no volume label entry and no files. The cluster size comes
// from the size tables below unless the caller asks for one; the FAT size is
// the usual conservative formula; with align the two FATs grow so that the
// data region starts on a cluster boundary.
#include "fat.h"

#include "common.h"
#include "disk.h"
#include "layout.h"
#include "xdio.h"

#include <cstring>

namespace {

struct size_row {
    uint32_t bound;  // volume size in sectors up to which the row applies
    uint32_t spc;    // sectors per cluster; 0 = size refused
};

const size_row fat16_table[] = {
    {8400, 0},      {32680, 2},     {262144, 4},    {524288, 8},
    {1048576, 16},  {2097152, 32},  {4194304, 64},  {0xFFFFFFFFu, 0},
};

const size_row fat32_table[] = {
    {66600, 0},       {532480, 1},      {16777216, 8},
    {33554432, 16},   {67108864, 32},   {0xFFFFFFFFu, 64},
};

uint32_t table_spc(const size_row *t, size_t n, uint32_t size) {
    for (size_t i = 0; i < n; i++)
        if (t[i].bound >= size) return t[i].spc;
    return 0;
}

// Largest cluster count whose cluster numbers a FAT32 entry can hold
// (28 bits, the top values reserved for bad-cluster and end-of-chain marks).
constexpr uint64_t FAT32_MAX_CLUSTERS = 0x0FFFFFF5;
// A FAT type is recognised by its cluster count alone: below 4085 clusters
// a volume is FAT12, below 65525 FAT16, from there on FAT32.
constexpr uint64_t FAT12_MAX_CLUSTERS = 4084;
constexpr uint64_t FAT16_MIN_CLUSTERS = 4085;
constexpr uint64_t FAT16_MAX_CLUSTERS = 65524;
constexpr uint64_t FAT32_MIN_CLUSTERS = 65525;

// Cluster size asked for, or 0 when the table decides. A cluster is a
// power of two of sectors, at most 128 (64 KiB): the boot sector's field is
// 8 bits wide, and systems refuse any other cluster size.
uint32_t unit_spc(uint32_t unit_size) {
    if (unit_size > 128 || (unit_size & (unit_size - 1)))
        quit("invalid unit size %u, use a power of two from 1 to 128", unit_size);
    return unit_size;
}

// Entries a FAT of the given number of sectors holds, each bits wide.
uint64_t fat_entries(uint32_t fat_sectors, uint32_t bits) { return uint64_t(fat_sectors) * SECTOR * 8 / bits; }

// The FATs, the root directory (or FAT32's root cluster) and at least one
// data cluster must lie inside the volume: nothing may be written past its
// end. Sets the data cluster count.
void count_clusters(fat_plan *p, const char *name) {
    uint64_t meta = uint64_t(p->reserved) + 2 * uint64_t(p->fat_size) + p->root_sectors;
    if (meta + p->spc > p->size) quit("partition of %u sectors too small for %s", p->size, name);
    p->clusters = uint32_t((p->size - meta) / p->spc);
}

// The FAT size: the usual formula, then the enlargement for alignment, then
// as many sectors more as it takes for each FAT to hold an entry for every
// data cluster and the two reserved entries. The formula leaves those two
// entries out, so at some sizes it comes out a sector short. Each sector
// added takes clusters away, so the growth ends within a few steps, and with
// align every step keeps the data region on its cluster boundary. name is
// the FAT type as messages call it, bits its entry width. Sets the FAT size
// and the cluster count.
void size_fats(fat_plan *p, uint32_t tmp_val2, int align, const char *name, uint32_t bits) {
    // The volume must hold its reserved sectors, the root directory and at
    // least one sector of each FAT before any size formula makes sense.
    if (uint64_t(p->size) < uint64_t(p->reserved) + p->root_sectors + 2)
        quit("partition of %u sectors too small for %s", p->size, name);
    uint64_t tmp_val1 = uint64_t(p->size) - p->reserved - p->root_sectors;
    uint64_t fat = (tmp_val1 + tmp_val2 - 1) / tmp_val2;
    for (;;) {
        if (align) {
            uint64_t data_start = uint64_t(p->hidden) + p->reserved + 2 * fat + p->root_sectors;
            uint64_t next = (data_start + p->spc - 1) / p->spc * p->spc;
            fat += (next - data_start) / 2;
        }
        p->fat_size = uint32_t(fat);
        count_clusters(p, name);
        if (fat_entries(p->fat_size, bits) >= uint64_t(p->clusters) + 2) return;
        fat++;
    }
}

void put_text(uint8_t *dst, const char *text) { memcpy(dst, text, strlen(text)); }

// The fields both boot sector forms share: the jump to the code at 2+disp,
// the OEM name, 512-byte sectors, the cluster size, the reserved count and
// two FATs.
void put_boot_start(uint8_t *b, uint8_t disp, const fat_plan *p) {
    b[bpb::JMP_BOOT] = 0xEB;
    b[bpb::JMP_BOOT + 1] = disp;
    b[bpb::JMP_BOOT + 2] = 0x90;
    put_text(b + bpb::OEM_NAME, "MSWIN4.1");
    put16(b + bpb::BYTS_PER_SEC, 512);
    b[bpb::SEC_PER_CLUS] = uint8_t(p->spc);
    put16(b + bpb::RSVD_SEC_CNT, p->reserved);
    b[bpb::NUM_FATS] = 2;
}

}  // namespace

void plan_fat16(fat_plan *p, uint32_t hidden, uint32_t size, uint32_t unit_size, int align) {
    *p = fat_plan();
    p->hidden = hidden;
    p->size = size;
    p->reserved = 1;
    const bool small = size <= 8400;  // the FAT12 form
    uint32_t root_entries = small ? 240 : (hidden & 1) ? 512 : 496;
    p->root_sectors = (root_entries * 32 + 511) / 512;
    uint32_t spt = 63, heads = 255;
    const uint32_t asked = unit_spc(unit_size);

    if (size == 2880 || size == 5760) {
        // The two diskette geometries: fixed values, no formula, no checks.
        p->spc = size == 2880 ? 1 : 2;
        p->fat_size = 9;
        spt = size == 2880 ? 18 : 36;
        heads = 2;
        p->clusters = (size - p->reserved - 2 * p->fat_size - p->root_sectors) / p->spc;
    } else {
        p->spc = asked;
        if (!p->spc) {
            p->spc = table_spc(fat16_table, sizeof fat16_table / sizeof *fat16_table, size);
            if (!p->spc) quit("invalid size of fat16");
        }
        // Sectors after the reserved area and root directory, FATs included.
        if (size > p->reserved + p->root_sectors &&
            (size - p->reserved - p->root_sectors) / p->spc > FAT16_MAX_CLUSTERS)
            quit("unit size %u invalid for fat16", p->spc);
        size_fats(p, 256 * p->spc + 2, align, small ? "fat12" : "fat16", small ? 12 : 16);
        // The cluster count must also agree with the FAT type the volume
        // is written as, or a driver reads its FAT entries with the wrong
        // width.
        if (small && p->clusters > FAT12_MAX_CLUSTERS) quit("unit size %u invalid for fat12", p->spc);
        if (!small && p->clusters < FAT16_MIN_CLUSTERS) quit("unit size %u invalid for fat16", p->spc);
    }

    uint8_t *b = p->boot;
    put_boot_start(b, 0x3C, p);
    put16(b + bpb::ROOT_ENT_CNT, root_entries);
    put16(b + bpb::TOT_SEC16, size < 65536 ? size : 0);
    b[bpb::MEDIA] = small ? 0xF0 : 0xF8;
    put16(b + bpb::FAT_SZ16, p->fat_size);
    put16(b + bpb::SEC_PER_TRK, spt);
    put16(b + bpb::NUM_HEADS, heads);
    put32(b + bpb::HIDD_SEC, hidden);
    put32(b + bpb::TOT_SEC32, size >= 65536 ? size : 0);
    b[bpb::DRV_NUM] = 0x80;
    b[bpb::BOOT_SIG] = 0x29;
    put_text(b + bpb::VOL_LAB, "NO NAME    ");
    put_text(b + bpb::FIL_SYS_TYPE, small ? "FAT12   " : "FAT16   ");
    put_signature(b);

    if (small) {
        const uint8_t head[] = {0xF0, 0xFF, 0xFF};
        memcpy(p->fat_head, head, sizeof head);
        p->fat_head_len = sizeof head;
    } else {
        const uint8_t head[] = {0xF8, 0xFF, 0xFF, 0xFF};
        memcpy(p->fat_head, head, sizeof head);
        p->fat_head_len = sizeof head;
    }
}

void plan_fat32(fat_plan *p, uint32_t hidden, uint32_t size, uint32_t unit_size, int align) {
    *p = fat_plan();
    p->fat32 = 1;
    p->hidden = hidden;
    p->size = size;
    // The reserved count follows the parity of the first sector so that,
    // with two FATs of equal size, the data region starts on an even sector.
    p->reserved = (hidden & 1) ? 33 : 32;
    p->root_sectors = 0;

    p->spc = unit_spc(unit_size);
    if (!p->spc) {
        p->spc = table_spc(fat32_table, sizeof fat32_table / sizeof *fat32_table, size);
        if (!p->spc) quit("invalid size for fat32\n");
    }
    // Sectors after the reserved area, FATs included.
    if (size <= p->reserved || (size - p->reserved) / p->spc < FAT32_MIN_CLUSTERS)
        quit("unit size %u invalid for fat32", p->spc);
    size_fats(p, (256 * p->spc + 2) / 2, align, "fat32", 32);
    // A cluster count outside FAT32's range makes a volume that drivers
    // read as another FAT type, or whose cluster numbers do not fit an entry.
    if (p->clusters < FAT32_MIN_CLUSTERS || p->clusters > FAT32_MAX_CLUSTERS) quit("unit size %u invalid for fat32", p->spc);

    uint8_t *b = p->boot;
    put_boot_start(b, 0x58, p);
    b[bpb::MEDIA] = 0xF8;
    put16(b + bpb::SEC_PER_TRK, 63);
    put16(b + bpb::NUM_HEADS, 255);
    put32(b + bpb::HIDD_SEC, hidden);
    put32(b + bpb::TOT_SEC32, size);
    put32(b + bpb::FAT_SZ32, p->fat_size);
    put32(b + bpb::ROOT_CLUS, 2);
    put16(b + bpb::FS_INFO, 1);
    put16(b + bpb::BK_BOOT_SEC, 6);
    b[bpb::DRV_NUM32] = 0x80;
    b[bpb::BOOT_SIG32] = 0x29;
    put_text(b + bpb::VOL_LAB32, "NO NAME    ");
    put_text(b + bpb::FIL_SYS_TYPE32, "FAT32   ");
    put_signature(b);

    uint8_t *fsinfo = b + 512;
    put32(fsinfo + bpb::FSI_LEAD_SIG, 0x41615252);
    put32(fsinfo + bpb::FSI_STRUC_SIG, 0x61417272);
    put32(fsinfo + bpb::FSI_FREE_COUNT, 0xFFFFFFFF);  // not computed
    put32(fsinfo + bpb::FSI_NXT_FREE, 0xFFFFFFFF);   // no hint
    put_signature(fsinfo);

    uint8_t *third = b + 1024;
    put_signature(third);

    // Entries 0 and 1, and entry 2, the root directory's single cluster.
    const uint8_t head[] = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
    memcpy(p->fat_head, head, sizeof head);
    p->fat_head_len = sizeof head;
}

void set_volume_id(fat_plan *p, uint32_t id) { put32(p->boot + (p->fat32 ? bpb::VOL_ID32 : bpb::VOL_ID), id); }

namespace {

// Writes count sectors of bytes from the start of global_buffer, then clears
// them again so that zero_disk finds the buffer zero.
void write_from_buffer(xd_t *xd, const uint8_t *bytes, uint32_t len, uint32_t count) {
    memcpy(global_buffer, bytes, len);
    write_disk(xd, global_buffer, count);
    memset(global_buffer, 0, size_t(count) * SECTOR);
}

void write_fats(xd_t *xd, const fat_plan *p) {
    for (int i = 0; i < 2; i++) {
        write_from_buffer(xd, p->fat_head, p->fat_head_len, 1);
        zero_disk(xd, p->fat_size - 1);
    }
}

}  // namespace

void write_fat(xd_t *xd, const fat_plan *p) {
    memset(global_buffer, 0, GLOBAL_BUFFER_SIZE);
    if (p->fat32) {
        const uint32_t backup = 6;
        write_from_buffer(xd, p->boot, 3 * SECTOR, 3);
        zero_disk(xd, backup - 3);
        write_from_buffer(xd, p->boot, 3 * SECTOR, 3);
        zero_disk(xd, p->reserved - backup - 3);
        write_fats(xd, p);
        zero_disk(xd, p->spc);  // the root directory's cluster
    } else {
        write_from_buffer(xd, p->boot, SECTOR, 1);
        zero_disk(xd, p->reserved - 1);
        write_fats(xd, p);
        zero_disk(xd, p->root_sectors);
    }
}

void format_fat16(xd_t *xd, uint32_t size, uint32_t unit_size, int align) {
    fat_plan p;
    plan_fat16(&p, xd_cur(xd), size, unit_size, align);
    write_fat(xd, &p);
}

void format_fat32(xd_t *xd, uint32_t size, uint32_t unit_size, int align) {
    fat_plan p;
    plan_fat32(&p, xd_cur(xd), size, unit_size, align);
    write_fat(xd, &p);
}
