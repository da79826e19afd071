// The QX layout: boot record and its copies, the header, marked sectors,
// the boot code variants and the layout values every command works with.
#pragma once

#include <cstdint>

struct xd_t;

// Boot record (sector 0 and its copies).
namespace mbr {
constexpr uint32_t JUMP = 0x000;         // EB d
constexpr uint32_t BPB = 0x002;          // BPB area up to 2+d (fields: namespace bpb)
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

// Puts the 55 AA signature at the end of a boot sector.
inline void put_signature(uint8_t *sector) {
    sector[mbr::SIGNATURE] = 0x55;
    sector[mbr::SIGNATURE + 1] = 0xAA;
}

// FAT boot sector fields (the BIOS parameter block and what follows it),
// as the data partition's first sector holds them and as the boot record's
// BPB area copies them.
namespace bpb {
constexpr uint32_t JMP_BOOT = 0x000;     // 3 bytes
constexpr uint32_t OEM_NAME = 0x003;     // 8 bytes
constexpr uint32_t BYTS_PER_SEC = 0x00B; // u16
constexpr uint32_t SEC_PER_CLUS = 0x00D; // u8
constexpr uint32_t RSVD_SEC_CNT = 0x00E; // u16
constexpr uint32_t NUM_FATS = 0x010;     // u8
constexpr uint32_t ROOT_ENT_CNT = 0x011; // u16
constexpr uint32_t TOT_SEC16 = 0x013;    // u16, 0 when TOT_SEC32 holds the count
constexpr uint32_t MEDIA = 0x015;        // u8
constexpr uint32_t FAT_SZ16 = 0x016;     // u16, 0 on FAT32
constexpr uint32_t SEC_PER_TRK = 0x018;  // u16
constexpr uint32_t NUM_HEADS = 0x01A;    // u16
constexpr uint32_t HIDD_SEC = 0x01C;     // u32
constexpr uint32_t TOT_SEC32 = 0x020;    // u32
// FAT12 and FAT16 from here on.
constexpr uint32_t DRV_NUM = 0x024;      // u8
constexpr uint32_t BOOT_SIG = 0x026;     // u8, 0x29
constexpr uint32_t VOL_ID = 0x027;       // u32
constexpr uint32_t VOL_LAB = 0x02B;      // 11 bytes
constexpr uint32_t FIL_SYS_TYPE = 0x036; // 8 bytes
// FAT32 from here on.
constexpr uint32_t FAT_SZ32 = 0x024;     // u32
constexpr uint32_t EXT_FLAGS = 0x028;    // u16
constexpr uint32_t FS_VER = 0x02A;       // u16
constexpr uint32_t ROOT_CLUS = 0x02C;    // u32
constexpr uint32_t FS_INFO = 0x030;      // u16
constexpr uint32_t BK_BOOT_SEC = 0x032;  // u16
constexpr uint32_t DRV_NUM32 = 0x040;    // u8
constexpr uint32_t BOOT_SIG32 = 0x042;   // u8, 0x29
constexpr uint32_t VOL_ID32 = 0x043;     // u32
constexpr uint32_t VOL_LAB32 = 0x047;    // 11 bytes
constexpr uint32_t FIL_SYS_TYPE32 = 0x052;  // 8 bytes
constexpr uint32_t FAT32_END = 0x05A;    // the first byte after a FAT32 BPB
// FSInfo sector.
constexpr uint32_t FSI_LEAD_SIG = 0x000;    // u32 0x41615252
constexpr uint32_t FSI_STRUC_SIG = 0x1E4;   // u32 0x61417272
constexpr uint32_t FSI_FREE_COUNT = 0x1E8;  // u32
constexpr uint32_t FSI_NXT_FREE = 0x1EC;    // u32
}  // namespace bpb

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

// Layout values of the open target, set by read_header and open_store.
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

// Reads the boot record (or an archive's header) and the list sectors as
// they lie, marks and all, into qx_list, and sets the layout values; the
// list itself is taken up by open_store (filestore.h).
void read_header(xd_t *xd, int allow_archive);
void write_header(xd_t *xd);
void update_header(xd_t *xd);
void config_mbr(uint32_t max_sectors, int chs, int zip);
uint32_t get_part_ofs(const uint8_t *image);
void sync_mbr(xd_t *xd, uint8_t *image, uint32_t base, int adjust_reserved, int lock);
// Turns the boot record image of copy i - 1 into copy i's (all but copy_no):
// partition starts one sector lower, and with adjust_reserved the BPB's
// reserved and total counts too.
void shift_copy(uint8_t *image, int adjust_reserved);
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
