// "pack" closes the free runs of each data area by moving items down, and
// "check" verifies the numbers that the sectors below qx_pri_size carry.
//
// pack works from a plan: the items by start, each with the place it moves
// to. A move never writes over sectors that the list on the disk names:
// before one would, the list as it stands (every move so far, items in start
// order) is committed. An item whose new place overlaps its own old place
// first goes to a free run that neither list uses, which is committed, and
// then down; with no such run pack stops and names the item. Every list it
// stores is a whole store in start order whose files have their bytes.
#include "commands.h"
#include "common.h"
#include "disk.h"
#include "extents.h"
#include "filestore.h"
#include "layout.h"
#include "syslinux.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct planned {
    std::vector<uint8_t> bytes;  // the item as the list holds it
    uint32_t count;              // sectors it occupies
    uint32_t start() const { return get32(bytes.data() + item::START); }
    void move_to(uint32_t s) { put32(bytes.data() + item::START, s); }
    const char *name() const { return reinterpret_cast<const char *>(bytes.data() + item::NAME); }
};

// The list in memory from the plan, in start order (stable, so items of one
// start keep their order).
void store_plan(std::vector<planned> plan) {
    std::stable_sort(plan.begin(), plan.end(),
                     [](const planned &a, const planned &b) { return a.start() < b.start(); });
    int ofs = 0;
    for (const planned &p : plan) {
        memcpy(qx_list + ofs, p.bytes.data(), p.bytes.size());
        ofs += int(p.bytes.size());
    }
    qx_list[ofs] = 0;
    qx_list_tail = ofs;
}

void commit_plan(xd_t *xd, const std::vector<planned> &plan) {
    store_plan(plan);
    store_commit(xd);
}

void move_data(xd_t *xd, planned &p, uint32_t to) {
    copy_disk(xd, to, p.start(), p.count);
    p.move_to(to);
}

}  // namespace

void pack_disk(xd_t *xd, int, char **) {
    store_begin(xd);
    const uint32_t pri = qx_pri_size, list_end = qx_list_start + qx_list_sectors;
    // Moves go down in start order: only a sound list gives a plan that
    // keeps every file whole.
    const store_extents mem = store_extents::of_memory();
    mem.require_sound();
    std::vector<planned> plan;
    for (const extent &x : mem.items) {
        const uint8_t *it = qx_list + x.ofs;
        plan.push_back({std::vector<uint8_t>(it, it + it[0] + 2), x.count});
    }

    uint32_t next = list_end;
    bool changed = false;
    for (size_t i = 0; i < plan.size(); i++) {
        planned &p = plan[i];
        const uint32_t start = p.start();
        const bool ext = start >= pri;
        if (ext && next < pri) next = pri;
        if (start != next) {
            changed = true;
            if (!p.count) {
                p.move_to(next);
            } else {
                if (next + p.count > start) {
                    // The new place overlaps the old one: through a free run
                    // first, so the list on the disk never names half-moved
                    // data.
                    uint32_t temp;
                    const uint32_t lo = ext ? pri : list_end, hi = ext ? qx_total_size : pri;
                    store_plan(plan);
                    if (!store_find_unused_in(p.count, lo, hi, &temp))
                        quit("can't move file %s down: its new place overlaps its old one and no free run of "
                             "%u sectors is left to move it through",
                             p.name(), p.count);
                    move_data(xd, p, temp);
                    commit_plan(xd, plan);
                }
                if (store_protected(next, p.count)) commit_plan(xd, plan);
                move_data(xd, p, next);
                // A loader records its own place: patched again there.
                if ((p.bytes[item::FLAGS] & item::F_SYSLINUX) && ext) syslinux_patch(xd, p.bytes.data());
            }
        }
        next = p.start() + p.count;
    }
    if (changed) store_plan(plan);
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
