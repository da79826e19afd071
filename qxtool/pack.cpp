// "pack" closes the free runs of each data area by moving items down, and
// "check" verifies the numbers that the sectors below qx_pri_size carry.
//
// pack never writes over sectors that the list on the disk still names:
// before a move would, the in-memory list (holding every move done so far)
// is stored first. An item whose new place overlaps its own old place goes
// through a free place above it first, so a stop at any point leaves every
// item of the stored list whole.
#include "commands.h"
#include "common.h"
#include "disk.h"
#include "filestore.h"
#include "layout.h"
#include "syslinux.h"

namespace {

// The first free run above sector from, in the area of the item, that holds
// count sectors; false when there is none.
bool find_above(uint32_t from, uint32_t count, bool extended, uint32_t *out) {
    uint32_t b = qx_list_start + qx_list_sectors;
    const uint32_t area_end = extended ? qx_total_size : qx_pri_size;
    auto fits = [&](uint32_t rb, uint32_t re) {
        if (rb < from) rb = from;
        if (extended && rb < qx_pri_size) rb = qx_pri_size;
        if (re > area_end) re = area_end;
        if (re <= rb || re - rb < count) return false;
        *out = rb;
        return true;
    };
    for (int ofs = 0; qx_list[ofs]; ofs = next_item(qx_list, ofs)) {
        uint32_t s = item_start(qx_list + ofs);
        if (s > b && fits(b, s)) return true;
        uint64_t end = uint64_t(s) + item_sectors(s, item_size(qx_list + ofs));
        if (end > b) b = end > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(end);
    }
    return qx_total_size > b && fits(b, qx_total_size);
}

void move_item(xd_t *xd, uint8_t *it, uint32_t to, uint32_t count) {
    uint32_t from = item_start(it);
    if (store_protected(to, count)) store_commit(xd);
    copy_disk(xd, to, from, count);
    put32(it + item::START, to);
    // A syslinux loader records its own place: patch it again there.
    if ((it[item::FLAGS] & item::F_SYSLINUX) && to >= qx_pri_size) syslinux_patch(xd, it);
}

}  // namespace

void pack_disk(xd_t *xd, int, char **) {
    store_begin(xd);
    const uint32_t p = qx_pri_size;
    uint32_t next = qx_list_start + qx_list_sectors;
    for (int ofs = 0; qx_list[ofs]; ofs = next_item(qx_list, ofs)) {
        uint8_t *it = qx_list + ofs;
        uint32_t start = item_start(it);
        uint32_t count = item_sectors(start, item_size(it));
        if (next < p && start >= p) next = p;
        // Items only move down; a damaged list whose items overlap or stand
        // out of order leaves such items where they are.
        if (start > next) {
            if (count && uint64_t(next) + count > start) {
                // The new place overlaps the old one: go through a free
                // place above first, or leave the item where it is.
                uint32_t temp;
                if (store_protected(next, count)) store_commit(xd);
                if (!find_above(start + count, count, start >= p, &temp)) {
                    next = start + count;
                    continue;
                }
                move_item(xd, it, temp, count);
                store_commit(xd);
            }
            if (count) move_item(xd, it, next, count);
            else put32(it + item::START, next);
        }
        uint64_t end = uint64_t(item_start(it)) + count;
        if (end > next) next = end > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(end);
    }
}

void check_disk(xd_t *xd, int, char **) {
    const uint32_t p = qx_pri_size, b = qx_boot_base;
    seek_disk(xd, 0);
    for (uint32_t s = 0; s < p;) {
        uint32_t n = p - s < GLOBAL_SECTORS ? p - s : GLOBAL_SECTORS;
        read_disk(xd, global_buffer, n);
        for (uint32_t i = 0; i < n; i++, s++) {
            const uint8_t *sec = global_buffer + i * SECTOR;
            bool ok = s <= b ? get16(sec + 510) == 0xAA55 && get16(sec + mbr::COPY_NO) == s
                             : get16(sec + 510) == (s & 0xFFFF);
            if (!ok) quit("check fail at sector %u", s);
        }
    }
}
