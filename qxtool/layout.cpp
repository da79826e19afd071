// Boot record, copies, header and marks: reading and writing the fixed
// structures of the hidden area.
#include "layout.h"
#include "common.h"
#include "disk.h"
#include "extents.h"
#include "filestore.h"
#include "xdio.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

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

namespace {

// Sector i of the boot record or a copy with the boot code of the variant in
// use: its bytes from the jump target up to max_sectors and the jump's
// displacement; all else stays.
void put_boot_code(uint8_t *sec) {
    const uint8_t d = qx_mbr_data[1];
    memcpy(sec + 2 + d, qx_mbr_data + 2 + d, mbr::MAX_SECTORS - 2 - d);
    sec[1] = d;
}

// The variant's boot code sectors behind the 16 header bytes in hdr16, marked
// for the n sectors from first on.
std::vector<uint8_t> boot_code_sectors(const uint8_t *hdr16, uint32_t n, uint32_t first) {
    std::vector<uint8_t> v(size_t(n) * SECTOR, 0);
    memcpy(v.data(), hdr16, hdr::SIZE);
    memcpy(v.data() + hdr::SIZE, qx_mbr_data + 0x210, size_t(qx_mbr_size) - 0x210);
    add_mark(v.data(), n, first, uint32_t(qx_mbr_size) - 512);
    return v;
}

// A boot record of the QX layout whose copy number is the sector it lies in.
bool is_copy(const uint8_t *sec, uint32_t i) {
    return sec[mbr::SIGNATURE] == 0x55 && sec[mbr::SIGNATURE + 1] == 0xAA &&
           !memcmp(sec + mbr::MAGIC, qx_mbr_data + mbr::MAGIC, 4) && get16(sec + mbr::COPY_NO) == (i & 0xFFFF);
}

void write_at(xd_t *xd, uint32_t sector, const uint8_t *buf, uint32_t count) {
    seek_disk(xd, sector);
    write_disk(xd, buf, count);
}

std::vector<uint8_t> read_at(xd_t *xd, uint32_t sector, uint32_t count) {
    std::vector<uint8_t> v(size_t(count) * SECTOR);
    seek_disk(xd, sector);
    read_disk(xd, v.data(), count);
    return v;
}

}  // namespace

// Sector 0 and stage 2 call each other's routines by address, and stage 2
// spans several sectors: overwritten in place, a power cut could leave code
// of two builds side by side, or stage 2 half old, half new, and the disk
// would no longer boot. So when stage 2 changes, the new program is first
// staged on the last N copies, B - N + 1 to B, as a complete boot code area
// whose header reaches the list where it is (boot_size grows by N; the boot
// program loads only its own sectors of it). Then, with a flush after each
// step that the next one relies on:
//   1. the staged header and stage 2 at B - N + 1;
//   2. sector 0 with the new code and boot_base B - N (one sector);
//   3. copies 1 to B - N likewise;
//   4. the new stage 2 at B + 1, behind the header as it was;
//   5. sector 0 with boot_base B again;
//   6. copies 1 to B - N, then the copies the staging took.
// Sector 0, and every copy that is left, always names a stage 2 of its own
// build. The copies B - N + 1 to B are missing from step 1 to step 6, and
// a disk left so is taken up again by the next update: a header whose
// boot_size reaches over a second header of the same list, N sectors on,
// is a staged one, and a sector where a copy belongs that holds none is
// made again from the copy before it. The result is the disk the same
// command gets by rewriting every sector in place.
void update_header(xd_t *xd) {
    const uint32_t n = uint32_t(qx_mbr_size - 3) / 510;
    uint32_t b = qx_boot_base;
    bool resumed = false;
    {
        const std::vector<uint8_t> h = read_at(xd, b + 1, 1);
        const uint32_t size = get16(h.data() + hdr::BOOT_SIZE);
        if (size > n && uint64_t(b) + 1 + n < qx_list_start && uint64_t(b) + n <= 0xFFFF) {
            const std::vector<uint8_t> o = read_at(xd, b + 1 + n, 1);
            resumed = get16(o.data() + 510) == ((b + 1 + n) & 0xFFFF) &&
                      get16(o.data() + hdr::BOOT_SIZE) == size - n &&
                      !memcmp(o.data() + 2, h.data() + 2, hdr::SIZE - 2);
        }
        if (resumed) qx_boot_base = b = b + n;
    }
    if (qx_list_start < b + 1 + n) quit("not enough space, you need to use format command");
    // The copies and the boot code lie before the data partition; a disk
    // whose header puts them on it would lose the partition's first
    // sectors.
    std::vector<uint8_t> s0 = read_at(xd, 0, 1);
    const uint32_t first = get_part_ofs(s0.data());
    if (first != 0xFFFFFFFFu && uint64_t(b) + n >= first)
        quit("boot code would overwrite the partition at sector %u", first);

    const std::vector<uint8_t> old_code = read_at(xd, b + 1, n);
    const std::vector<uint8_t> code = boot_code_sectors(old_code.data(), n, b + 1);
    put_boot_code(s0.data());
    put16(s0.data() + mbr::BOOT_BASE, b);
    // Whether the copies carry a BPB with reserved counts lowered copy by
    // copy, as sync can write them: copies made again follow suit.
    bool adjusted = false;
    if (b >= 1) {
        const std::vector<uint8_t> c1 = read_at(xd, 1, 1);
        adjusted = is_copy(c1.data(), 1) &&
                   uint16_t(get16(s0.data() + bpb::RSVD_SEC_CNT) - get16(c1.data() + bpb::RSVD_SEC_CNT)) == 1;
    }
    // Copy i as it ends up, from sector i as it lies and copy i - 1 as it
    // ends up.
    auto final_copy = [&](std::vector<uint8_t> &sec, const std::vector<uint8_t> &prev, uint32_t i) {
        if (!is_copy(sec.data(), i)) {
            sec = prev;
            shift_copy(sec.data(), adjusted);
            put16(sec.data() + mbr::COPY_NO, i);
        }
        put_boot_code(sec.data());
        put16(sec.data() + mbr::BOOT_BASE, b);
    };
    const uint64_t staged_size = uint64_t(qx_list_start) - (b + 1 - n);

    if ((code == old_code && !resumed) || b < n || staged_size > 0xFFFF) {
        // Stage 2 stays as it is (the variants share it): each sector 0 or
        // copy, old or new, goes with it, and each is written alone. With
        // fewer copies than boot code sectors there is no room to stage the
        // new program, and it is written in place.
        std::vector<uint8_t> prev = s0, sec;
        if (read_at(xd, 0, 1) != s0) write_at(xd, 0, s0.data(), 1);
        for (uint32_t i = 1; i <= b; i++) {
            sec = read_at(xd, i, 1);
            const std::vector<uint8_t> was = sec;
            // A copy made again goes where staged boot code may still lie
            // that the copies before it name.
            if (!is_copy(sec.data(), i)) flush_disk(xd);
            final_copy(sec, prev, i);
            if (sec != was) write_at(xd, i, sec.data(), 1);
            prev = sec;
        }
        if (code != old_code) write_at(xd, b + 1, code.data(), n);
        return;
    }

    const uint32_t sb = b - n;  // the staged boot_base
    std::vector<uint8_t> sec, prev = s0;
    for (uint32_t i = 1; i <= sb; i++) {
        sec = read_at(xd, i, 1);
        final_copy(sec, prev, i);
        prev = sec;
    }
    // The copies the staging takes, as they end up.
    std::vector<uint8_t> taken = read_at(xd, sb + 1, n);
    for (uint32_t k = 0; k < n; k++) {
        sec.assign(taken.begin() + size_t(k) * SECTOR, taken.begin() + size_t(k + 1) * SECTOR);
        final_copy(sec, prev, sb + 1 + k);
        std::copy(sec.begin(), sec.end(), taken.begin() + size_t(k) * SECTOR);
        prev = sec;
    }

    uint8_t staged_hdr[hdr::SIZE];
    memcpy(staged_hdr, old_code.data(), hdr::SIZE);
    put16(staged_hdr + hdr::BOOT_SIZE, uint32_t(staged_size));
    const std::vector<uint8_t> staged = boot_code_sectors(staged_hdr, n, sb + 1);
    write_at(xd, sb + 1, staged.data(), n);
    flush_disk(xd);

    sec = s0;
    put16(sec.data() + mbr::BOOT_BASE, sb);
    write_at(xd, 0, sec.data(), 1);
    flush_disk(xd);

    prev = s0;
    for (uint32_t i = 1; i <= sb; i++) {
        sec = read_at(xd, i, 1);
        final_copy(sec, prev, i);
        prev = sec;
        put16(sec.data() + mbr::BOOT_BASE, sb);
        write_at(xd, i, sec.data(), 1);
    }
    flush_disk(xd);

    write_at(xd, b + 1, code.data(), n);
    flush_disk(xd);

    write_at(xd, 0, s0.data(), 1);
    flush_disk(xd);

    for (uint32_t i = 1; i <= sb; i++) {
        sec = read_at(xd, i, 1);
        put16(sec.data() + mbr::BOOT_BASE, b);
        write_at(xd, i, sec.data(), 1);
    }
    flush_disk(xd);
    write_at(xd, sb + 1, taken.data(), n);
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

void shift_copy(uint8_t *image, int adjust_reserved) {
    for (int k = 0; k < 4; k++) {
        uint8_t *e = image + mbr::PART_TABLE + k * pte::SIZE;
        if (!e[pte::TYPE]) continue;
        uint32_t start = get32(e + pte::START) - 1;
        put32(e + pte::START, start);
        lba2chs(start, e + pte::CHS_START);
        lba2chs(start + get32(e + pte::COUNT) - 1, e + pte::CHS_END);
    }
    if (adjust_reserved) {
        // Copy i describes the disk as seen from sector i: the volume's
        // reserved sectors and its total count both lose the i sectors
        // before that, so the volume still ends where it does.
        put16(image + bpb::RSVD_SEC_CNT, get16(image + bpb::RSVD_SEC_CNT) - 1u);
        if (get16(image + bpb::TOT_SEC16)) put16(image + bpb::TOT_SEC16, get16(image + bpb::TOT_SEC16) - 1u);
        else put32(image + bpb::TOT_SEC32, get32(image + bpb::TOT_SEC32) - 1u);
        // A FAT32 BPB's FSInfo sector lies in the reserved area too.
        const bool fat32 = 2u + image[1] >= bpb::FAT32_END && get16(image + bpb::FAT_SZ16) == 0;
        if (fat32 && get16(image + bpb::FS_INFO))
            put16(image + bpb::FS_INFO, get16(image + bpb::FS_INFO) - 1u);
    }
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
        if (i > 0) shift_copy(image, adjust_reserved);
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
