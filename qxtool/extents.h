// Where the items of a file list lie: their sectors, the free runs between
// them, and the first-fit placement of new data. Allocation, pack, info,
// the archive's end and the commit's scratch space all read a list through
// this one model.
//
// A list this tool stores keeps three rules: its items stand in ascending
// order of start sector, no two share a sector (a 0-byte item occupies none,
// but still starts at or after the end of the item before it), and every
// item lies wholly inside its own data area (the primary area from the end
// of the list up to qx_pri_size in 510-byte units, the extended area from
// there up to qx_total_size in 512-byte units). The model checks them once,
// when it is built, and keeps the first rule a list breaks as its fault.
//
// A damaged list is treated one way everywhere: it is never trusted to say
// where free room is. Its free runs, and every search for unused sectors,
// skip each sector that any of its items names, in whatever order the items
// stand and however far they reach; placement works in those runs as on a
// sound list (a new item goes before the first item above its run), so no
// data is written over a file and a list grows no more damaged than it was.
// Only pack, which moves items down in list order and so needs them in
// start order without overlap, refuses a damaged list: it stops with
// "invalid file list: " and the fault, which names the item. Everything
// else reads and edits such a list by name as usual: info shows it (the
// free ranges between files in list order, with the documented wrapped
// lengths), and remove, move or clear can repair it.
//
// The free space info prints is each area less the sectors its items
// occupy, each sector counted once: for a sound list that is the area less
// its items' sector counts, and it is never negative.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t NO_SECTOR = 0xFFFFFFFFu;

// Sectors that size bytes take in an area (0 primary: 510-byte units,
// 1 extended: 512-byte units).
uint32_t sectors_in_area(uint32_t size, int area);

// One item as the model sees it.
struct extent {
    uint32_t start;  // first sector
    uint32_t count;  // sectors it occupies in its area
    uint32_t size;   // bytes
    int area;        // 0 primary, 1 extended (start >= the primary size)
    int ofs;         // offset of the item in its list
    uint64_t end() const { return uint64_t(start) + count; }
};

// A free run [begin, end) that lies in one area, and the list offset of
// the item that follows it (the list's tail for the last run). The run the
// rules of the list call one run is split at the primary size.
struct free_run {
    uint32_t begin, end;
    int area;
    int pos;
};

struct store_extents;

// What a new item needs: its size and placement rule, and what it must
// keep clear of.
struct place_request {
    uint32_t size = 0;
    bool extended = false;                  // the extended-only rule
    int keep_area = -1;                     // 0 or 1: data copied sector by sector stays in its area
    const store_extents *avoid = nullptr;   // another list (the one on the disk) whose sectors stay as they are
    uint32_t in_place = NO_SECTOR;          // start of a source that may be rewritten where it lies
};

// Where it goes: its start, the list offset to insert it at, and the end of
// the free run it lies in.
struct store_place {
    uint32_t start;
    int pos;
    uint32_t run_end;
};

struct store_extents {
    // An empty model: no items, no room.
    store_extents() = default;
    // The items of the list bytes (up to its terminator) in a store whose
    // data areas are [list_end, pri) and [pri, total).
    store_extents(const uint8_t *list, uint32_t list_end, uint32_t pri, uint32_t total);
    // The list in memory with the layout values of the open target.
    static store_extents of_memory();

    uint32_t list_end = 0, pri = 0, total = 0;
    std::vector<extent> items;        // in list order
    int tail = 0;                     // offset of the list's terminator
    std::vector<size_t> by_start;     // indexes into items, ascending start (stable)
    std::string fault;                // the first rule the list breaks, or empty

    // Stops with "invalid file list: " and the fault when there is one.
    void require_sound() const;
    // Free runs in ascending order, each within one area; empty runs
    // included. For a sound list these are the gaps between its items.
    std::vector<free_run> free_runs() const;
    // Sectors of an area that items occupy (each counted once).
    uint64_t used_sectors(int area) const;
    // The sector after the highest item, or list_end for an empty list.
    uint64_t end() const;
    // True when some item occupies a sector of [start, start + count).
    bool overlaps(uint32_t start, uint32_t count) const;
    // The same, not counting items that start at except.
    bool overlaps_except(uint32_t start, uint32_t count, uint32_t except) const;
    // The lowest run of count sectors within [lo, hi) that no item of this
    // list or of other occupies.
    bool find_unused(uint32_t count, uint32_t lo, uint32_t hi, const store_extents *other, uint32_t *start) const;

    // The place of a new item: first fit over the free runs, the lowest sector first. When that place holds sectors of
    // the list to avoid (other than an in-place source at the same start),
    // the first place that does not. Stops with "not enough space", or,
    // when the only room is over sectors to avoid, "not enough space to
    // keep the old data while it is replaced".
    store_place place(const place_request &req) const;
    // First fit over the given runs; false when none holds the request.
    static bool first_fit(const std::vector<free_run> &runs, const place_request &req, store_place *out);
    // The free runs less the sectors another list occupies.
    std::vector<free_run> runs_avoiding(const store_extents *other) const;
    // The largest run the request's area rules allow that the list to avoid
    // leaves free, with its room in bytes (0 when there is none): where data
    // of a size not yet known is streamed.
    store_place largest_run(const place_request &req, uint64_t *room) const;

    // [begin, end) of the sectors the items occupy, merged, ascending.
    std::vector<std::pair<uint64_t, uint64_t>> spans;
};
