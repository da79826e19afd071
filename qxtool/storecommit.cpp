// How a change to the file store reaches the disk, and how a change that a
// power cut interrupted is completed by the next run.
//
// The list is rewritten in place: the boot program reads it there, and
// existing disks and archives keep their form. An in-place write of several
// sectors is no commit point, since a power cut may leave any mix of old and
// new sectors. The commit point is the commit record: a descriptor in the
// last sector of the list area (D = qx_list_start + qx_list_sectors - 1),
// naming a payload that holds the new list bytes as marked sectors. Two
// readers use it: open_store, which checks the descriptor's and the
// payload's checksums and completes the change (a run that only reads takes
// the payload's list and leaves the medium alone), and the boot program,
// which checks only the descriptor's magic and list start and then reads
// list_used sectors from the payload's place instead of the list in place.
//
// Invariants, which every change of the store keeps:
//  I1  Data is never written over sectors that the list on the disk names:
//      new data goes to sectors that list leaves free (placement keeps clear
//      of them, see filelist.cpp), so every file that list names keeps its
//      old bytes until the list stops naming them. A loader patched for a
//      new size goes to new sectors as well (resize), so no change rewrites
//      a stored file in place and a record carries nothing but a list.
//  I2  The list on the disk is rewritten in place only while a whole commit
//      record for it is on the medium. The payload is flushed, with the data
//      it names, before the descriptor is written; so a descriptor that is
//      on the medium always names a whole payload, and its magic alone tells
//      the boot program so.
//  I3  open_store completes a whole commit record before anything reads the
//      list: it writes the payload's list in place, flushes, and only then
//      retires the descriptor. Doing this twice changes nothing. A run that
//      may not write reads the payload's list and changes nothing.
//  I4  A record is retired only after the list it holds is on the medium in
//      place, so a stale record always holds the list that is in place. A
//      commit that writes no record (one list sector changed) flushes before
//      its write.
//  I5  The payload lies in sectors that neither the old nor the new list uses:
//      the tail of the list area past both lists when it has room, otherwise
//      a free run of the data areas (past the data end in an archive). Its
//      place holds as many sectors as the header's list_used can name while
//      the record stands (the larger of the old and the new count), since
//      the boot program reads that many from it.
//  I6  The header's list_used never falls short of the list in place: a
//      growing count is on the medium before the list, a shrinking one
//      follows it.
//  I7  A list may fill every sector of its area, D included (lists written by
//      earlier builds and by save do). While a record stands, D holds the
//      descriptor and the in-place rewrite leaves D alone; retiring the
//      record writes D's sector of the new list (zeros when the new list
//      ends before D) in one sector write, which both ends the record and
//      completes the list in place. A list in D is covered by the
//      descriptor only after the payload is on the medium.
//  I8  A descriptor is retired (zeroed and flushed) before any sector of its
//      payload is zeroed or reused, so that no reader ever meets a whole
//      descriptor naming a payload that is no longer whole.
//
// A one-sector list has no room for a record: its in-place write is one
// sector and is its own commit point.
#include "filestore.h"
#include "common.h"
#include "disk.h"
#include "layout.h"
#include "xdio.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const uint8_t MAGIC[8] = {'Q', 'X', 'C', 'O', 'M', 'M', 'I', 'T'};

// Descriptor fields (within the sector's 510 data bytes).
namespace rec {
constexpr uint32_t MAGIC = 0;          // 8 bytes
constexpr uint32_t LIST_START = 8;     // u32
constexpr uint32_t LIST_SECTORS = 12;  // u32
constexpr uint32_t PAYLOAD = 16;       // u32 first payload sector
constexpr uint32_t BYTES = 20;         // u32 payload bytes
constexpr uint32_t PAYLOAD_SUM = 24;   // u32
constexpr uint32_t TAIL = 28;          // u32 list tail
constexpr uint32_t PATCHES = 32;       // u32 sectors after the list, always 0
constexpr uint32_t END = 36;           // u32 archive size after the change, 0 on a disk
constexpr uint32_t SUM = 504;          // u32 over bytes 0 to 503
}  // namespace rec

// CRC-32 (the polynomial of zlib and Ethernet), eight bytes per step: the
// checksum of an in-place save covers the whole archive.
uint32_t crc_table[8][256];

uint32_t crc32(const uint8_t *p, size_t n, uint32_t crc = 0) {
    if (!crc_table[0][1]) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            crc_table[0][i] = c;
        }
        for (int t = 1; t < 8; t++)
            for (uint32_t i = 0; i < 256; i++)
                crc_table[t][i] = (crc_table[t - 1][i] >> 8) ^ crc_table[0][crc_table[t - 1][i] & 0xFF];
    }
    crc = ~crc;
    for (; n >= 8; p += 8, n -= 8) {
        const uint32_t lo = crc ^ get32(p), hi = get32(p + 4);
        crc = crc_table[7][lo & 0xFF] ^ crc_table[6][(lo >> 8) & 0xFF] ^ crc_table[5][(lo >> 16) & 0xFF] ^
              crc_table[4][lo >> 24] ^ crc_table[3][hi & 0xFF] ^ crc_table[2][(hi >> 8) & 0xFF] ^
              crc_table[1][(hi >> 16) & 0xFF] ^ crc_table[0][hi >> 24];
    }
    for (; n; p++, n--) crc = crc_table[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t used_of(int tail) { return uint32_t(tail) / 510 + 1; }
uint32_t record_sector() { return qx_list_start + qx_list_sectors - 1; }
uint32_t header_sector() { return qx_ar_mode ? 0 : qx_boot_base + 1; }

// The list as the disk holds it in place: marked sectors.
std::vector<uint8_t> disk_image;

std::vector<uint8_t> marked_list(const uint8_t *list, int tail) {
    std::vector<uint8_t> img(size_t(qx_list_sectors) * SECTOR);
    memcpy(img.data(), list, size_t(tail) + 1);
    add_mark(img.data(), qx_list_sectors, qx_list_start, uint32_t(tail) + 1);
    return img;
}

void write_at(xd_t *xd, uint32_t sector, const uint8_t *p, uint32_t count) {
    seek_disk(xd, sector);
    write_disk(xd, p, count);
}

// Marked sectors from sector first, carrying bytes (zero-padded).
void write_marked(xd_t *xd, uint32_t first, const std::vector<uint8_t> &bytes) {
    const uint32_t n = uint32_t((bytes.size() + 509) / 510);
    std::vector<uint8_t> img(size_t(n) * SECTOR);
    memcpy(img.data(), bytes.data(), bytes.size());
    add_mark(img.data(), n, first, uint32_t(bytes.size()));
    write_at(xd, first, img.data(), n);
}

void set_list_used(xd_t *xd, uint32_t used) {
    uint8_t h[SECTOR];
    seek_disk(xd, header_sector());
    read_disk(xd, h, 1);
    if (get16(h + hdr::LIST_USED) == used) return;
    put16(h + hdr::LIST_USED, used);
    write_at(xd, header_sector(), h, 1);
}

uint32_t header_used(xd_t *xd) {
    uint8_t h[SECTOR];
    seek_disk(xd, header_sector());
    read_disk(xd, h, 1);
    return get16(h + hdr::LIST_USED);
}

// Writes the list sectors that differ from the ones in place.
// With a record on the medium its sector stays untouched until it is retired.
void write_in_place(xd_t *xd, const std::vector<uint8_t> &img, bool keep_record) {
    for (uint32_t i = 0; i < qx_list_sectors; i++) {
        if (keep_record && i == qx_list_sectors - 1) continue;
        const size_t o = size_t(i) * SECTOR;
        if (disk_image.size() == img.size() && !memcmp(&disk_image[o], &img[o], SECTOR)) continue;
        write_at(xd, qx_list_start + i, &img[o], 1);
        memcpy(&disk_image[o], &img[o], SECTOR);
    }
}

void zero_list_sector(xd_t *xd, uint32_t s) {
    uint8_t z[SECTOR] = {};
    put16(z + 510, s & 0xFFFF);
    write_at(xd, s, z, 1);
    const size_t o = size_t(s - qx_list_start) * SECTOR;
    if (o + SECTOR <= disk_image.size()) memcpy(&disk_image[o], z, SECTOR);
}

// Retires the record once the rest of the list it holds is on the medium in
// place: D gets its sector of the new list (img), and that, with a
// list_used that shrinks to used (0: unchanged), is on the medium before
// any payload sector changes.
void retire_record(xd_t *xd, const std::vector<uint8_t> &img, uint32_t payload, uint32_t payload_sectors,
                   uint32_t used) {
    const uint32_t d = record_sector();
    const size_t o = size_t(qx_list_sectors - 1) * SECTOR;
    write_at(xd, d, &img[o], 1);
    if (o + SECTOR <= disk_image.size()) memcpy(&disk_image[o], &img[o], SECTOR);
    if (used) set_list_used(xd, used);
    flush_disk(xd);
    // A payload in the list area is part of the zero bytes after the list.
    if (payload >= qx_list_start && payload < d)
        for (uint32_t s = payload; s < payload + payload_sectors && s < d; s++) zero_list_sector(xd, s);
}

void cut_archive(xd_t *xd, uint32_t end) {
    if (!qx_ar_mode || (xd_flags(xd) & XD_DEVICE)) return;
    const uint32_t size = xd_size(xd);
    if (size == 0xFFFFFFFFu || size <= end) return;
    seek_disk(xd, end);
    if (xd_truncate(xd)) quit("xd_write fails at offset %u, size %d", end, 0);
}

// The first sector of a run of count sectors (the payload and the room the
// boot program may read after it) that neither the list on the disk nor the
// list in memory uses: the end of the list area, else a data area (I5).
uint32_t payload_place(xd_t *xd, uint32_t count, uint32_t new_end) {
    const uint32_t d = record_sector();
    const uint32_t lo = qx_list_start + std::max(used_of(qx_list_tail), used_of(store_disk_tail()));
    if (qx_list_sectors >= 2 && uint64_t(lo) + count <= d) return d - count;
    if (qx_ar_mode && !(xd_flags(xd) & XD_DEVICE)) {
        const uint32_t size = xd_size(xd);
        return std::max(size == 0xFFFFFFFFu ? 0u : size, std::max(new_end, qx_ar_size));
    }
    uint32_t at;
    if (store_find_unused(count, &at)) return at;
    quit("not enough space to store the file list safely");
}

}  // namespace

uint32_t store_crc32(const uint8_t *p, size_t n, uint32_t crc) { return crc32(p, n, crc); }

int store_disk_tail() {
    if (disk_image.empty()) return qx_list_tail;
    std::vector<uint8_t> bytes(disk_image);
    remove_mark(bytes.data(), qx_list_sectors);
    int tail = 0;
    const int size = int(qx_list_sectors * 510);
    while (tail < size && bytes[size_t(tail)]) tail += bytes[size_t(tail)] + 2;
    return tail < size ? tail : size - 1;
}

int list_room() { return int(qx_list_sectors * 510); }

void store_write_file_sectors(xd_t *xd, uint32_t sector, const uint8_t *data, uint32_t count) {
    if (store_protected(sector, count)) quit("not enough space to keep the old data while it is replaced");
    write_at(xd, sector, data, count);
}

void store_noted(const uint8_t *raw_marked) {
    disk_image.assign(raw_marked, raw_marked + size_t(qx_list_sectors) * SECTOR);
}

void reset_store_commit() { disk_image.clear(); }

void commit_list(xd_t *xd) { commit_list(xd, false); }

void commit_list(xd_t *xd, bool more_follows) {
    const uint32_t new_end = qx_ar_mode ? get_ar_size() : 0;
    const uint32_t used = used_of(qx_list_tail);
    std::vector<uint8_t> img = marked_list(qx_list, qx_list_tail);
    uint32_t changed = 0;
    for (uint32_t i = 0; i < qx_list_sectors; i++)
        if (disk_image.size() != img.size() ||
            memcmp(&disk_image[size_t(i) * SECTOR], &img[size_t(i) * SECTOR], SECTOR))
            changed++;
    const uint32_t hused = header_used(xd);

    if (changed <= 1 && (used == hused || qx_list_sectors == 1)) {
        // One sector changes: its write is atomic and needs no record. File
        // data goes first.
        if (disk_unflushed()) flush_disk(xd);
        if (disk_image.size() != img.size()) disk_image.assign(img.size(), 0xFF);
        write_in_place(xd, img, false);
        if (used != hused) set_list_used(xd, used);
        // The command goes on to reuse sectors the old list named.
        if (more_follows) flush_disk(xd);
        if (qx_ar_mode && new_end < qx_ar_size) {
            flush_disk(xd);
            cut_archive(xd, new_end);
            qx_ar_size = new_end;
        }
        store_committed();
        return;
    }

    // The record: the list bytes, in a place that holds list_used sectors
    // for as long as the record stands (I5).
    std::vector<uint8_t> payload(size_t(used) * 510, 0);
    memcpy(payload.data(), qx_list, size_t(qx_list_tail) + 1);
    const uint32_t psectors = used;
    const uint32_t at = payload_place(xd, std::max(used, hused), new_end);
    uint32_t final_end = 0;
    if (qx_ar_mode) {
        const uint32_t size = xd_size(xd);
        final_end = new_end < qx_ar_size ? new_end : std::max(new_end, size == 0xFFFFFFFFu ? new_end : size);
    }

    uint8_t desc[SECTOR] = {};
    memcpy(desc + rec::MAGIC, MAGIC, 8);
    put32(desc + rec::LIST_START, qx_list_start);
    put32(desc + rec::LIST_SECTORS, qx_list_sectors);
    put32(desc + rec::PAYLOAD, at);
    put32(desc + rec::BYTES, uint32_t(payload.size()));
    put32(desc + rec::PAYLOAD_SUM, crc32(payload.data(), payload.size()));
    put32(desc + rec::TAIL, uint32_t(qx_list_tail));
    put32(desc + rec::PATCHES, 0);
    put32(desc + rec::END, final_end);
    put32(desc + rec::SUM, crc32(desc, rec::SUM));
    put16(desc + 510, record_sector() & 0xFFFF);

    // The payload, after the file data it names, and a growing list_used
    // (I6); all of it on the medium before the descriptor (I2).
    if (used > hused) set_list_used(xd, used);
    write_marked(xd, at, payload);
    flush_disk(xd);
    write_at(xd, record_sector(), desc, 1);
    flush_disk(xd);

    // The list in place, then the record retired (I4, I8).
    if (disk_image.size() != img.size()) disk_image.assign(img.size(), 0xFF);
    write_in_place(xd, img, true);
    flush_disk(xd);
    retire_record(xd, img, at, psectors, used < hused ? used : 0);
    if (qx_ar_mode) {
        cut_archive(xd, final_end);
        qx_ar_size = new_end;
    }
    store_committed();
}

bool recover_list(xd_t *xd, const uint8_t *raw_marked, bool complete) {
    if (qx_list_sectors < 2) return false;
    const uint32_t d = record_sector();
    const uint8_t *desc = raw_marked + size_t(qx_list_sectors - 1) * SECTOR;
    if (memcmp(desc + rec::MAGIC, MAGIC, 8) != 0) return false;
    if (get32(desc + rec::SUM) != crc32(desc, rec::SUM)) return false;
    if (get32(desc + rec::LIST_START) != qx_list_start || get32(desc + rec::LIST_SECTORS) != qx_list_sectors)
        return false;
    const uint32_t at = get32(desc + rec::PAYLOAD), bytes = get32(desc + rec::BYTES);
    const uint32_t tail = get32(desc + rec::TAIL);
    if (tail >= qx_list_sectors * 510 || get32(desc + rec::PATCHES) || used_of(int(tail)) * 510 != bytes)
        return false;
    const uint32_t psectors = bytes / 510;
    if (uint64_t(at) + psectors > 0xFFFFFFFFu || (at <= d && at + psectors > d && at >= qx_list_start))
        return false;

    std::vector<uint8_t> payload(size_t(psectors) * SECTOR);
    if (xd_seek(xd, disk_base() + at) || xd_read(xd, payload.data(), psectors)) return false;
    remove_mark(payload.data(), psectors);
    payload.resize(bytes);
    if (crc32(payload.data(), payload.size()) != get32(desc + rec::PAYLOAD_SUM)) return false;
    memset(qx_list, 0, size_t(qx_list_sectors) * SECTOR);
    memcpy(qx_list, payload.data(), size_t(tail) + 1);
    if (walk_list(qx_list, int(qx_list_sectors * 510)) != int(tail)) return false;

    disk_image.assign(raw_marked, raw_marked + size_t(qx_list_sectors) * SECTOR);
    qx_list_tail = int(tail);
    if (!complete) return true;

    // Complete the change: the list in place, then retire the record.
    std::vector<uint8_t> img = marked_list(qx_list, qx_list_tail);
    const uint32_t hused = header_used(xd), used = used_of(qx_list_tail);
    if (used > hused) set_list_used(xd, used);
    write_in_place(xd, img, true);
    flush_disk(xd);
    retire_record(xd, img, at, psectors, used < hused ? used : 0);
    if (qx_ar_mode && get32(desc + rec::END)) cut_archive(xd, get32(desc + rec::END));
    return true;
}

void retire_store(xd_t *xd) {
    uint8_t sec[SECTOR];
    if (xd_size(xd) == 0 || xd_seek(xd, 0) || xd_read(xd, sec, 1)) return;
    uint32_t list_start;
    if (!memcmp(sec + mbr::MAGIC, "QXBF", 4)) {
        const uint32_t hsec = get16(sec + mbr::BOOT_BASE) + 1u;
        if (xd_seek(xd, hsec) || xd_read(xd, sec, 1) || !get16(sec + hdr::BOOT_SIZE)) return;
        list_start = hsec + get16(sec + hdr::BOOT_SIZE);
    } else if (!memcmp(sec, "QXAR", 4)) {
        list_start = 1;
    } else {
        return;
    }
    const uint32_t sectors = get16(sec + hdr::LIST_SECTORS);
    if (!sectors) return;
    uint8_t z[SECTOR] = {};
    put16(z + 510, list_start & 0xFFFF);
    write_at(xd, list_start, z, 1);
    if (sectors > 1) {
        const uint32_t d = list_start + sectors - 1;
        put16(z + 510, d & 0xFFFF);
        write_at(xd, d, z, 1);
    }
    flush_disk(xd);
}
