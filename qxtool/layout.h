// The QX layout: boot record and its copies, the header, marked sectors,
// the boot code variants and the layout values every command works with.
#pragma once

#include <cstdint>

struct xd_t;

// Boot record (sector 0 and its copies).
namespace mbr {
constexpr uint32_t JUMP = 0x000;         // EB d
constexpr uint32_t BPB = 0x002;          // BPB area up to 2+d
constexpr uint32_t BPB_RESERVED = 0x0E;  // u16 reserved sectors inside the BPB
constexpr uint32_t MAX_SECTORS = 0x1AD;  // u8, bit 7 = CHS only
constexpr uint32_t COPY_NO = 0x1AE;      // u16
constexpr uint32_t SPT = 0x1B0;          // u8
constexpr uint32_t HEADS = 0x1B1;        // u8
constexpr uint32_t BOOT_BASE = 0x1B2;    // u16
constexpr uint32_t MAGIC = 0x1B4;        // "QXBF"
constexpr uint32_t DISK_SIG = 0x1B8;     // 6 bytes
constexpr uint32_t PART_TABLE = 0x1BE;   // 4 x 16 bytes
constexpr uint32_t SIGNATURE = 0x1FE;    // 55 AA
}  // namespace mbr

// Partition table entry.
namespace pte {
constexpr uint32_t SIZE = 16;
constexpr uint32_t BOOT = 0;
constexpr uint32_t CHS_START = 1;
constexpr uint32_t TYPE = 4;
constexpr uint32_t CHS_END = 5;
constexpr uint32_t START = 8;
constexpr uint32_t COUNT = 12;
}  // namespace pte

// Header: first 16 bytes of sector B+1 (and, with its magic in front, of an
// archive's sector 0).
namespace hdr {
constexpr uint32_t BOOT_SIZE = 0x00;     // u16 N
constexpr uint32_t AR_MAGIC = 0x00;      // "QXAR" in an archive
constexpr uint32_t VER_MAJOR = 0x04;     // u8
constexpr uint32_t VER_MINOR = 0x05;     // u8
constexpr uint32_t LIST_USED = 0x06;     // u16
constexpr uint32_t LIST_SECTORS = 0x08;  // u16 L
constexpr uint32_t PRI_SIZE = 0x0A;      // u16 P
constexpr uint32_t EXT_SIZE = 0x0C;      // u32 E
constexpr uint32_t SIZE = 0x10;
}  // namespace hdr

// File item of the list.
namespace item {
constexpr uint32_t LEN = 0;    // u8: item size - 2
constexpr uint32_t FLAGS = 1;  // u8
constexpr uint32_t START = 2;  // u32
constexpr uint32_t SIZE = 6;   // u32
constexpr uint32_t TIME = 10;  // u32
constexpr uint32_t NAME = 14;  // zero-terminated
constexpr uint8_t F_EXTENDED = 0x01;
constexpr uint8_t F_SYSLINUX = 0x02;
}  // namespace item

// The boot record program: sector 0 and the four marked boot code sectors
// it fills (512 + 4 * 510 bytes).
constexpr uint32_t MBR_IMAGE_SIZE = 2552;
constexpr uint32_t AR_NONE = 0xFFFFFFFFu;  // qx_boot_base in an archive

extern const uint8_t qx_mbr_rel[MBR_IMAGE_SIZE];
extern const uint8_t qx_mbr_dbg[MBR_IMAGE_SIZE];
extern const uint8_t *qx_mbr_data;
extern int qx_mbr_size;

// Layout values of the open target, set by read_header.
extern uint32_t qx_boot_base;
extern uint32_t qx_part_ofs;
extern uint32_t qx_list_start;
extern uint32_t qx_list_sectors;
extern uint32_t qx_pri_size;
extern uint32_t qx_total_size;
extern int qx_ar_mode;
extern uint32_t qx_ar_size;
extern uint8_t *qx_list;   // qx_list_sectors * 512 bytes
extern int qx_list_size;   // qx_list_sectors * 510
extern int qx_list_tail;   // offset of the list's terminating zero byte

void read_header(xd_t *xd, int allow_archive);
void write_header(xd_t *xd);
void update_header(xd_t *xd);
void config_mbr(uint32_t max_sectors, int chs, int zip);
uint32_t get_part_ofs(const uint8_t *image);
void sync_mbr(xd_t *xd, uint8_t *image, uint32_t base, int adjust_reserved, int lock);
void lba2chs(uint32_t sector, uint8_t *out);
void add_mark(uint8_t *buf, uint32_t count, uint32_t first, uint32_t bytes);
void remove_mark(uint8_t *buf, uint32_t count);
void mem_copy(uint8_t *dst, const uint8_t *src, uint32_t bytes);

// The end of the file store: the sector after the highest item, or the
// sector after the list when it is empty.
uint32_t get_ar_size();

// Walks the in-memory list and returns the offset of its terminator, or
// quits with "invalid file list" when the walk leaves the list.
int walk_list(const uint8_t *list, int size);

void reset_layout();
