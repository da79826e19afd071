// Commands that maintain the boot record of a QX disk without touching the
// file store: restore (sector 0 from its first intact copy) and sync
// (sector 0 and every copy rebuilt from sector 0, with the BPB area,
// max_sectors and the USB-ZIP fields set on the way).
#include "commands.h"
#include "common.h"
#include "disk.h"
#include "exfat.h"
#include "layout.h"
#include "options.h"
#include "xdio.h"

#include <cstring>

namespace {

// The copies searched for an intact boot record: sectors 0 to 63.
constexpr uint32_t COPIES_SEARCHED = 64;

bool has_signature(const uint8_t *sec) { return sec[mbr::SIGNATURE] == 0x55 && sec[mbr::SIGNATURE + 1] == 0xAA; }

// A boot record of the QX layout whose copy number is the sector it lies in.
bool intact_copy(const uint8_t *sec, uint32_t i) {
    return has_signature(sec) && !memcmp(sec + mbr::MAGIC, qx_mbr_data + mbr::MAGIC, 4) &&
           get16(sec + mbr::COPY_NO) == i;
}

}  // namespace

void restore_disk(xd_t *xd, int, char **) {
    uint8_t *image = global_buffer;
    uint8_t *sector0 = global_buffer + SECTOR;
    const uint32_t d = xd_size(xd);
    if (d == 0xFFFFFFFFu) quit("can't get size");
    const uint32_t last = d < COPIES_SEARCHED ? d : COPIES_SEARCHED;
    uint32_t i = 0;
    for (; i < last; i++) {
        seek_disk(xd, i);
        read_disk(xd, image, 1);
        if (intact_copy(image, i)) break;
    }
    if (i == last) quit("can't find qx mbr");
    if (i == 0) return;  // sector 0 is intact: nothing to write

    seek_disk(xd, 0);
    read_disk(xd, sector0, 1);
    if (has_signature(sector0)) {
        // Another program's boot record: its disk signature and partition
        // table are the disk's present ones and stay.
        memcpy(image + mbr::DISK_SIG, sector0 + mbr::DISK_SIG, SECTOR - mbr::DISK_SIG);
    } else {
        // Sector 0 holds no boot record at all, so it has no partition table
        // to keep: the copy's table, moved back to sector 0's view, is the
        // one the disk had.
        for (int k = 0; k < 4; k++) {
            uint8_t *e = image + mbr::PART_TABLE + k * pte::SIZE;
            if (!e[pte::TYPE]) continue;
            uint32_t start = get32(e + pte::START) + i;
            put32(e + pte::START, start);
            lba2chs(start, e + pte::CHS_START);
            lba2chs(start + get32(e + pte::COUNT) - 1, e + pte::CHS_END);
        }
    }
    sync_mbr(xd, image, i - 1, 0, 0);
}

namespace {

enum bpb_mode { BPB_KEEP, BPB_COPY, BPB_RESET, BPB_CLEAR };

}  // namespace

void sync_disk(xd_t *xd, int argc, char **argv) {
    bpb_mode mode = BPB_KEEP;
    uint32_t bpb_size = 0, max_sectors = 0;
    bool zip = false, chs = false;
    read_options("sync", argc, argv,
                 {
                     action("--copy-bpb", nullptr, [&] { mode = BPB_COPY; }),
                     action("--reset-bpb", nullptr, [&] { mode = BPB_RESET; }),
                     action("--clear-bpb", nullptr, [&] { mode = BPB_CLEAR; }),
                     with_value("--bpb-size", nullptr,
                                [&](const char *v) {
                                    bpb_size = get_number(v);
                                    // Offset 1 is the jump's displacement, not part of the BPB.
                                    if (bpb_size == 1) quit("invalid bpb size value");
                                }),
                     flag("--zip", "-z", zip),
                     with_value("--max-sectors", nullptr, [&](const char *v) { max_sectors = get_max_sectors(v); }),
                     flag("--chs", nullptr, chs),
                 });

    uint8_t *image = global_buffer;
    seek_disk(xd, 0);
    read_disk(xd, image, 1);
    const uint32_t d = image[1];
    uint8_t *area = image + mbr::BPB;  // the BPB area, d bytes: offsets 2 to 1 + d
    int adjust = 0;

    if (mode == BPB_COPY) {
        const uint32_t ofs = get_part_ofs(image);
        if (ofs == 0xFFFFFFFFu) quit("no data partition to copy bpb from");
        uint8_t *part = global_buffer + 2 * SECTOR;
        seek_disk(xd, ofs);
        read_disk(xd, part, 1);
        // An exFAT volume keeps its parameters after 53 zero bytes where a
        // BPB would lie: a copy would describe no volume at all.
        if (is_exfat_boot(part)) quit("can't copy bpb: the data partition is exfat, which has no bpb");
        // A FAT32 BPB runs past the debug variant's BPB area: cut there, its
        // root cluster and the fields after it would be boot code bytes.
        if (get16(part + bpb::FAT_SZ16) == 0 && 2 + d < bpb::FAT32_END)
            quit("can't copy bpb: a fat32 bpb takes offsets 2 to 0x%x, the boot record's bpb area ends at 0x%x",
                 bpb::FAT32_END - 1, 1 + d);
        // Seen from sector 0, every sector before the partition is a
        // reserved sector of the volume; both sums must fit their fields.
        const uint64_t reserved = uint64_t(get16(part + bpb::RSVD_SEC_CNT)) + ofs;
        if (reserved > 0xFFFF)
            quit("can't copy bpb: data partition at sector %u needs %llu reserved sectors, more than 65535", ofs,
                 (unsigned long long)reserved);
        uint64_t total = get16(part + bpb::TOT_SEC16);
        if (!total) total = get32(part + bpb::TOT_SEC32);
        total += ofs;
        if (total > 0xFFFFFFFFu) quit("can't copy bpb: total sectors exceed 4294967295");
        memcpy(area, part + mbr::BPB, d);
        put16(image + bpb::RSVD_SEC_CNT, uint32_t(reserved));
        put32(image + bpb::HIDD_SEC, 0);
        put16(image + bpb::TOT_SEC16, 0);
        put32(image + bpb::TOT_SEC32, 0);
        if (total <= 0xFFFF) put16(image + bpb::TOT_SEC16, uint32_t(total));
        else put32(image + bpb::TOT_SEC32, uint32_t(total));
        if (get16(part + bpb::FAT_SZ16) == 0) {
            // FAT32 counts its FSInfo sector from the volume's start: seen
            // from sector 0 it is the partition's, further on. The backup
            // boot sector field stays: it names copy 6 of this boot record,
            // which a checker finds different and leaves alone, where "no
            // backup" would make it write one there.
            const uint32_t fsinfo = get16(part + bpb::FS_INFO);
            put16(image + bpb::FS_INFO, fsinfo && fsinfo < get16(part + bpb::RSVD_SEC_CNT) ? fsinfo + ofs : 0);
        }
        zip = false;
        // Copy i stands for a disk that begins at sector i: its reserved
        // sectors and the volume end where sector 0's do, i sectors
        // earlier from its view.
        adjust = 1;
    } else if (mode == BPB_RESET || mode == BPB_CLEAR) {
        memset(area, 0, d);
        if (mode == BPB_RESET) {
            image[bpb::NUM_FATS] = 2;
            image[bpb::SEC_PER_TRK] = 63;
            image[bpb::NUM_HEADS] = 255;
            image[bpb::DRV_NUM] = 0x80;
        }
    }
    if (bpb_size && bpb_size < 2 + d) memset(image + bpb_size, 0, 2 + d - bpb_size);
    config_mbr(max_sectors, chs, zip);
    sync_mbr(xd, image, qx_boot_base, adjust, 0);
}
