// The exFAT formatter of the data partition: main and backup boot regions,
// one FAT, the allocation bitmap, the up-case table and a root directory
// that holds the volume label, bitmap and up-case table entries. Nothing
// else: no files, no boot code.
#pragma once

#include <cstdint>

struct xd_t;

// Boot sector fields of an exFAT volume.
namespace exfat {
constexpr uint32_t JUMP_BOOT = 0;              // EB 76 90
constexpr uint32_t FS_NAME = 3;                // "EXFAT   "
constexpr uint32_t MUST_BE_ZERO = 11;          // 53 bytes, where a FAT BPB would lie
constexpr uint32_t PARTITION_OFFSET = 64;      // u64
constexpr uint32_t VOLUME_LENGTH = 72;         // u64
constexpr uint32_t FAT_OFFSET = 80;            // u32
constexpr uint32_t FAT_LENGTH = 84;            // u32
constexpr uint32_t CLUSTER_HEAP_OFFSET = 88;   // u32
constexpr uint32_t CLUSTER_COUNT = 92;         // u32
constexpr uint32_t ROOT_CLUSTER = 96;          // u32
constexpr uint32_t VOLUME_SERIAL = 100;        // u32
constexpr uint32_t FS_REVISION = 104;          // u16, 1.00
constexpr uint32_t VOLUME_FLAGS = 106;         // u16, left out of the checksum
constexpr uint32_t BYTES_PER_SECTOR_SHIFT = 108;
constexpr uint32_t SECTORS_PER_CLUSTER_SHIFT = 109;
constexpr uint32_t NUMBER_OF_FATS = 110;
constexpr uint32_t DRIVE_SELECT = 111;
constexpr uint32_t PERCENT_IN_USE = 112;       // left out of the checksum
constexpr uint32_t BOOT_CODE = 120;            // 390 bytes
constexpr uint32_t BOOT_CODE_LEN = 390;
constexpr uint32_t REGION_SECTORS = 12;        // boot, 8 extended, OEM, reserved, checksum
constexpr uint32_t CHECKSUM_SECTOR = 11;
constexpr uint32_t MIN_SECTORS = 2048;         // a volume holds at least 1 MiB
constexpr uint32_t MAX_CLUSTERS = 0xFFFFFFF5u;
constexpr uint32_t FIRST_CLUSTER = 2;
// Directory entries: 32 bytes, the type byte first.
constexpr uint32_t ENTRY = 32;
constexpr uint8_t ENTRY_BITMAP = 0x81;
constexpr uint8_t ENTRY_UPCASE = 0x82;
constexpr uint8_t ENTRY_LABEL = 0x83;
constexpr uint32_t ENTRY_CHECKSUM = 4;         // up-case table checksum, u32
constexpr uint32_t ENTRY_FIRST_CLUSTER = 20;   // u32
constexpr uint32_t ENTRY_DATA_LENGTH = 24;     // u64
}  // namespace exfat

// The compressed up-case table (exfat_upcase.cpp): 0xFFFF followed by a
// count stands for that many characters that map to themselves.
extern const uint16_t exfat_upcase[];
extern const uint32_t exfat_upcase_words;

// A volume computed and checked before anything is written. Sector numbers
// are relative to the volume's first sector, hidden is its absolute start.
struct exfat_plan {
    uint32_t hidden = 0, size = 0;
    uint32_t spc = 0;                 // sectors per cluster
    uint32_t boundary = 0;            // sectors the FAT and the cluster heap are aligned to
    uint32_t fat_offset = 0, fat_length = 0;
    uint32_t heap_offset = 0, clusters = 0;
    uint32_t bitmap_bytes = 0, bitmap_clusters = 0, upcase_clusters = 0;
    uint32_t root_cluster = 0;        // the last of the clusters in use
    uint32_t upcase_checksum = 0;
    uint8_t boot[exfat::REGION_SECTORS * 512] = {};  // the boot region, checksum included
};

// True when a volume's first sector is an exFAT boot sector.
bool is_exfat_boot(const uint8_t *sector);

// The checksum of a boot region's first 11 sectors (VolumeFlags and
// PercentInUse left out).
uint32_t exfat_boot_checksum(const uint8_t *region);

// Compute and check a volume of size sectors beginning at absolute sector
// hidden. unit_size is the sectors per cluster asked for (0 = by the
// volume's size); align puts the cluster heap on a cluster boundary of the
// disk. Every refusal quits before the caller writes anything.
void plan_exfat(exfat_plan *p, uint32_t hidden, uint32_t size, uint32_t unit_size, int align, uint32_t serial);

// Writes a planned volume from the handle's current position, which must be
// the plan's first sector; memory stays the working buffer's whatever the
// size. Uses and clears global_buffer.
void write_exfat(xd_t *xd, const exfat_plan *p);
