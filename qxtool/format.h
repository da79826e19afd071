// The format command in its two halves: a plan that computes and checks
// everything before the first write, and the writer that lays the plan out.
#pragma once

#include "exfat.h"
#include "fat.h"

#include <cstdint>

struct xd_t;

struct format_options {
    bool raw = false, force = false, zip = false, align = false, chs = false;
    int fat = 0;  // 16, 32, EXFAT, or 0 for automatic
    static constexpr int EXFAT = 1;
    uint32_t nalign = 256, unit_size = 0, base = 63, size = 0;
    uint32_t primary = 0, extended = 0, list_bytes = 0, max_sectors = 0;
    const char *archive = nullptr;
    // The new volume's ID; written only when given (the volume otherwise
    // gets ID 0).
    bool volume_id_given = false;
    uint32_t volume_id = 0;
    // With --exfat: the EFI system partition after the data partition, in
    // sectors; 0 for none.
    bool esp_size_given = false;
    uint32_t esp_size = 0;
};

struct format_plan {
    format_options opt;
    uint32_t primary = 0;       // P
    uint32_t extended = 0;      // E
    uint32_t list_sectors = 0;  // L
    uint32_t boot_sectors = 0;  // N: header and boot code
    uint32_t start = 0;         // S: the data partition's first sector
    uint32_t size = 0;          // Z: its size
    // A new partition table and FAT volume; off when the existing table
    // and data partition stay.
    bool new_volume = false;
    // Sector 0 as it is written: the boot record (QX layout) or the plain
    // partition table (raw layout with a base).
    uint8_t sector0[512] = {};
    fat_plan fat;  // the data partition's volume when new_volume is on: FAT,
    exfat_plan exfat;  // or exFAT with --exfat
    // The EFI system partition of an exFAT disk (slot 1 of the partition
    // table), a FAT volume; esp_size 0 when there is none.
    uint32_t esp_start = 0, esp_size = 0;
    fat_plan esp;
};

// Reads the options (the words after "format") and the target's size and
// sector 0, and computes the layout; every refusal comes from here.
void plan_format(xd_t *xd, int argc, char **argv, format_plan *plan);

// Writes a planned layout, and loads the archive when one was named.
void write_format(xd_t *xd, const format_plan *plan);
