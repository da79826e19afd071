// Boot record, copies, header and marks: reading and writing the fixed
// structures of the hidden area.
#include "layout.h"
#include "common.h"
#include "disk.h"
#include "extents.h"
#include "filestore.h"
#include "xdio.h"

#include <cstdlib>
#include <cstring>

const uint8_t *qx_mbr_data = qx_mbr_rel;
int qx_mbr_size = int(MBR_IMAGE_SIZE);

uint32_t qx_boot_base = 0;
uint32_t qx_part_ofs = 0;
uint32_t qx_list_start = 0;
uint32_t qx_list_sectors = 0;
uint32_t qx_pri_size = 0;
uint32_t qx_total_size = 0;
int qx_ar_mode = 0;
uint32_t qx_ar_size = 0;
uint8_t *qx_list = nullptr;
int qx_list_size = 0;
int qx_list_tail = 0;

static const uint8_t QXBF[4] = {'Q', 'X', 'B', 'F'};
static const uint8_t QXAR[4] = {'Q', 'X', 'A', 'R'};

void reset_layout() {
    free(qx_list);
    qx_list = nullptr;
    qx_mbr_data = qx_mbr_rel;
    qx_mbr_size = int(MBR_IMAGE_SIZE);
    qx_boot_base = qx_part_ofs = qx_list_start = qx_list_sectors = 0;
    qx_pri_size = qx_total_size = 0;
    qx_ar_mode = 0;
    qx_ar_size = 0;
    qx_list_size = qx_list_tail = 0;
}

int walk_list(const uint8_t *list, int size) {
    int ofs = 0;
    if (size <= 0) quit("invalid file list");
    while (list[ofs]) {
        // Every item holds its fixed fields and a zero-terminated name
        // within its own length; anything else is a damaged list.
        int len = list[ofs] + 2;
        if (len < int(item::NAME) + 1 || ofs + len >= size) quit("invalid file list");
        if (!memchr(list + ofs + item::NAME, 0, size_t(len) - item::NAME)) quit("invalid file list");
        ofs += len;
    }
    return ofs;
}

uint32_t get_ar_size() {
    const uint64_t end = store_extents::of_memory().end();
    if (end > 0xFFFFFFFFu) quit("invalid file list");
    return uint32_t(end);
}

// The data areas the header names must lie before the first partition and
// within the disk: every write of file data lands in them.
void check_areas(xd_t *xd) {
    if (qx_ar_mode) return;
    if (qx_pri_size < uint64_t(qx_list_start) + qx_list_sectors) quit("invalid primary data size");
    uint8_t sec[SECTOR];
    seek_disk(xd, 0);
    read_disk(xd, sec, 1);
    const uint32_t first = get_part_ofs(sec);
    if (first != 0xFFFFFFFFu && qx_total_size > first)
        quit("data areas of the header reach into the partition at sector %u", first);
    const uint32_t size = xd_size(xd);
    if (size != 0xFFFFFFFFu && qx_total_size > size)
        quit("data areas of the header reach past the end of the disk (%u sectors)", size);
}

void read_header(xd_t *xd, int allow_archive) {
    uint8_t *gb = global_buffer;
    read_disk(xd, gb, 1);
    memcpy(gb + 512, gb, 512);

    if (memcmp(gb + mbr::MAGIC, qx_mbr_data + mbr::MAGIC, 4) == 0) {
        qx_ar_mode = 0;
        qx_boot_base = get16(gb + mbr::BOOT_BASE);
        qx_part_ofs = get32(gb + mbr::PART_TABLE + pte::START);
        seek_disk(xd, qx_boot_base + 1);
        read_disk(xd, gb, 1);
        // The header sector is the first of the boot code sectors: a count
        // of 0 would put the list on the header, and storing the list would
        // then overwrite it.
        if (get16(gb + hdr::BOOT_SIZE) == 0) quit("invalid boot code size");
        qx_list_start = get16(gb + hdr::BOOT_SIZE) + qx_boot_base + 1;
    } else if (memcmp(gb, QXAR, 4) == 0) {
        if (!allow_archive) quit("this command can't work with archive");
        qx_ar_mode = 1;
        qx_boot_base = AR_NONE;
        qx_list_start = 1;
    } else {
        seek_disk(xd, 63);
        // A disk too short to hold sector 63 cannot hold a copy either.
        if (xd_read(xd, gb, 1) == 0 && memcmp(gb + mbr::MAGIC, QXBF, 4) == 0) quit("qx mbr corrupted");
        quit("qx mbr not initialized");
    }

    uint8_t hbuf[hdr::SIZE];
    memcpy(hbuf, gb, hdr::SIZE);
    qx_list_sectors = get16(hbuf + hdr::LIST_SECTORS);
    if (qx_list_sectors == 0) quit("invalid file list");
    free(qx_list);
    qx_list = static_cast<uint8_t *>(xmalloc(size_t(qx_list_sectors) * SECTOR));
    seek_disk(xd, qx_list_start);
    read_disk(xd, qx_list, qx_list_sectors);

    if (hbuf[hdr::VER_MAJOR] != qx_mbr_data[0x204] || hbuf[hdr::VER_MINOR] != qx_mbr_data[0x205])
        quit("version number not match");

    if (qx_ar_mode) {
        qx_pri_size = qx_list_sectors + 1;
        qx_total_size = 0x7FFFFFFF;
    } else {
        qx_pri_size = get16(hbuf + hdr::PRI_SIZE);
        uint64_t total = uint64_t(qx_pri_size) + get32(hbuf + hdr::EXT_SIZE);
        qx_total_size = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(total);
    }

    qx_list_size = int(qx_list_sectors * 510);
    qx_ar_size = qx_ar_mode ? 0xFFFFFFFFu : 0;
}

void write_header(xd_t *xd) { commit_list(xd); }

void update_header(xd_t *xd) {
    const uint32_t n = uint32_t(qx_mbr_size - 3) / 510;
    if (qx_list_start < qx_boot_base + 1 + n) quit("not enough space, you need to use format command");
    const uint8_t d = qx_mbr_data[1];
    uint8_t *gb = global_buffer;
    // The copies and the boot code lie before the data partition; a disk
    // whose header puts them on it would lose the partition's first
    // sectors.
    seek_disk(xd, 0);
    read_disk(xd, gb, 1);
    const uint32_t first = get_part_ofs(gb);
    if (first != 0xFFFFFFFFu && uint64_t(qx_boot_base) + n >= first)
        quit("boot code would overwrite the partition at sector %u", first);
    for (uint32_t i = 0; i <= qx_boot_base; i++) {
        seek_disk(xd, i);
        read_disk(xd, gb, 1);
        memcpy(gb + 2 + d, qx_mbr_data + 2 + d, mbr::MAX_SECTORS - 2 - d);
        gb[1] = d;
        seek_disk(xd, i);
        write_disk(xd, gb, 1);
    }
    memset(gb, 0, GLOBAL_BUFFER_SIZE);
    seek_disk(xd, qx_boot_base + 1);
    read_disk(xd, gb, 1);
    memcpy(gb + hdr::SIZE, qx_mbr_data + 0x210, size_t(qx_mbr_size) - 0x210);
    add_mark(gb, n, qx_boot_base + 1, uint32_t(qx_mbr_size) - 512);
    seek_disk(xd, qx_boot_base + 1);
    write_disk(xd, gb, n);
}

void config_mbr(uint32_t max_sectors, int chs, int zip) {
    uint8_t *img = global_buffer;
    uint32_t v = max_sectors ? max_sectors : (img[mbr::MAX_SECTORS] & 0x7F);
    if (chs) v |= 0x80;
    img[mbr::MAX_SECTORS] = uint8_t(v);
    if (zip) {
        img[bpb::BOOT_SIG] = 0x29;
        memcpy(img + bpb::OEM_NAME, "MSWIN4.1", 9);
    }
}

uint32_t get_part_ofs(const uint8_t *image) {
    uint32_t best = 0xFFFFFFFFu;
    for (int i = 0; i < 4; i++) {
        const uint8_t *e = image + mbr::PART_TABLE + i * pte::SIZE;
        uint32_t s = get32(e + pte::START);
        if (e[pte::TYPE] && s && s < best) best = s;
    }
    return best;
}

void lba2chs(uint32_t sector, uint8_t *out) {
    uint32_t c = (sector / 16065) % 1024;
    uint32_t r = sector % 16065;
    out[0] = uint8_t(r / 63);
    out[1] = uint8_t((r % 63) + 1 + (c > 255 ? (c / 256) * 64 : 0));
    out[2] = uint8_t(c % 256);
}

void sync_mbr(xd_t *xd, uint8_t *image, uint32_t base, int adjust_reserved, int lock) {
    // Copies 1 to base must stay before the first partition, as seen from
    // sector 0: writing them over it would destroy the partition's data.
    const uint32_t first = get_part_ofs(image);
    if (first != 0xFFFFFFFFu && base >= first)
        quit("copies of the boot record would overwrite the partition at sector %u", first);
    if (lock && xd_lock(xd)) quit("can't lock disk");
    seek_disk(xd, 0);
    for (uint32_t i = 0; i <= base; i++) {
        put16(image + mbr::COPY_NO, i);
        if (i > 0) {
            for (int k = 0; k < 4; k++) {
                uint8_t *e = image + mbr::PART_TABLE + k * pte::SIZE;
                if (!e[pte::TYPE]) continue;
                uint32_t start = get32(e + pte::START) - 1;
                put32(e + pte::START, start);
                lba2chs(start, e + pte::CHS_START);
                lba2chs(start + get32(e + pte::COUNT) - 1, e + pte::CHS_END);
            }
            if (adjust_reserved) {
                // Copy i describes the disk as seen from sector i: the
                // volume's reserved sectors and its total count both lose
                // the i sectors before that, so the volume still ends where
                // it does.
                put16(image + bpb::RSVD_SEC_CNT, get16(image + bpb::RSVD_SEC_CNT) - 1u);
                if (get16(image + bpb::TOT_SEC16)) put16(image + bpb::TOT_SEC16, get16(image + bpb::TOT_SEC16) - 1u);
                else put32(image + bpb::TOT_SEC32, get32(image + bpb::TOT_SEC32) - 1u);
                // A FAT32 BPB's FSInfo sector lies in the reserved area too.
                const bool fat32 = 2u + image[1] >= bpb::FAT32_END && get16(image + bpb::FAT_SZ16) == 0;
                if (fat32 && get16(image + bpb::FS_INFO))
                    put16(image + bpb::FS_INFO, get16(image + bpb::FS_INFO) - 1u);
            }
        }
        write_disk(xd, image, 1);
    }
}

void add_mark(uint8_t *buf, uint32_t count, uint32_t first, uint32_t bytes) {
    memset(buf + bytes, 0, size_t(count) * SECTOR - bytes);
    for (uint32_t i = count; i-- > 0;) {
        mem_copy(buf + size_t(i) * 512, buf + size_t(i) * 510, 510);
        put16(buf + size_t(i) * 512 + 510, (first + i) & 0xFFFF);
    }
}

void remove_mark(uint8_t *buf, uint32_t count) {
    for (uint32_t i = 1; i < count; i++) mem_copy(buf + size_t(i) * 510, buf + size_t(i) * 512, 510);
}

void mem_copy(uint8_t *dst, const uint8_t *src, uint32_t bytes) {
    if (src < dst) {
        for (uint32_t i = bytes; i-- > 0;) dst[i] = src[i];
    } else {
        for (uint32_t i = 0; i < bytes; i++) dst[i] = src[i];
    }
}
