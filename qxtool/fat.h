// The FAT formatter of the data partition: an empty FAT16 (or, on the
// smallest partitions, FAT12) or FAT32 volume. It writes the boot sectors,
// the two FATs and an empty root directory, and nothing else.
#pragma once

#include <cstdint>

struct xd_t;

// Everything a volume needs, computed and checked before anything is
// written: the boot sector(s), the first bytes of each FAT and the sizes.
struct fat_plan {
    int fat32 = 0;
    uint32_t hidden = 0;        // absolute first sector of the volume
    uint32_t size = 0;          // sectors in the volume
    uint32_t spc = 0;           // sectors per cluster
    uint32_t reserved = 0;      // reserved sectors (boot sectors and, on FAT32, FSInfo and backups)
    uint32_t root_sectors = 0;  // fixed root directory (FAT12/FAT16); 0 on FAT32
    uint32_t fat_size = 0;      // sectors per FAT
    uint32_t clusters = 0;      // data clusters
    uint8_t boot[3 * 512] = {}; // FAT32: boot sector, FSInfo, third boot sector; FAT16: the first only
    uint8_t fat_head[12] = {};  // the first bytes of each FAT
    uint32_t fat_head_len = 0;
};

// Compute and check a volume of size sectors starting at absolute sector
// hidden. unit_size is the sectors per cluster asked for (0 = by the size
// table); align enlarges the FATs so that the data region starts on a
// cluster boundary. Every refusal quits before the caller writes anything.
void plan_fat16(fat_plan *p, uint32_t hidden, uint32_t size, uint32_t unit_size, int align);
void plan_fat32(fat_plan *p, uint32_t hidden, uint32_t size, uint32_t unit_size, int align);

// Sets the volume ID (serial number) of a planned volume, in its boot
// sector and so also in the FAT32 backup written from the same bytes.
void set_volume_id(fat_plan *p, uint32_t id);

// Writes a planned volume from the handle's current position, which must be
// the plan's first sector. On return the position is just after the last
// sector written. Uses and clears global_buffer.
void write_fat(xd_t *xd, const fat_plan *p);

// Plan and write in one step, the volume beginning at the current position.
void format_fat16(xd_t *xd, uint32_t size, uint32_t unit_size, int align);
void format_fat32(xd_t *xd, uint32_t size, uint32_t unit_size, int align);
