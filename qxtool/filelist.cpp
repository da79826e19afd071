// The file list and the placement of file data: names, lookup, removal,
// first-fit allocation over the free runs of the two data areas, copying a
// file's data into a new allocation, and the "clear" command.
//
// The list in memory (qx_list) holds the items back to back in ascending
// order of start sector, then a zero byte. Items below qx_pri_size use
// marked sectors (510 data bytes each), the others plain sectors.
//
// Until a command stores the list, the list on the disk still names the
// sectors of items that the command removed, shrank or replaced. New data
// goes only to sectors that list does not name, so every file it names keeps
// its bytes whatever instant the command stops; a replacement that finds no
// such room is refused rather than written over the data it replaces.
#include "filestore.h"
#include "commands.h"
#include "common.h"
#include "disk.h"
#include "layout.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t NONE = 0xFFFFFFFFu;

bool areas_checked = false;                         // check_areas ran for this target
bool disk_known = false;                            // disk_ext reflects the stored list
std::vector<std::pair<uint32_t, uint32_t>> disk_ext;  // [start, end) of stored items
uint32_t inplace_start = NONE;  // cpy_file: the source, which may be rewritten in place
int area_lock = -1;             // cpy_file: the area the data must stay in (0/1)

uint32_t sat_add(uint32_t a, uint64_t b) {
    uint64_t v = uint64_t(a) + b;
    return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v);
}

void snapshot() {
    disk_ext.clear();
    for (int ofs = 0; qx_list && qx_list[ofs]; ofs = next_item(qx_list, ofs)) {
        uint32_t s = item_start(qx_list + ofs);
        uint32_t n = item_sectors(s, item_size(qx_list + ofs));
        if (n) disk_ext.emplace_back(s, sat_add(s, n));
    }
    std::sort(disk_ext.begin(), disk_ext.end());
    disk_known = true;
}

void ensure_snapshot() {
    if (!disk_known) snapshot();
}

// Visits the free runs [b, e) in ascending order with the list position of
// the item that follows each run; stops when f returns true. A damaged list
// (items out of order or overlapping, or lying past the data areas) gives
// empty runs, never wrapped ones and never runs past qx_total_size.
template <class F>
bool for_each_run(F f) {
    uint32_t b = qx_list_start + qx_list_sectors;
    int ofs = 0;
    for (; qx_list[ofs]; ofs = next_item(qx_list, ofs)) {
        const uint8_t *it = qx_list + ofs;
        uint32_t s = std::min(item_start(it), qx_total_size);
        if (f(b, s < b ? b : s, ofs)) return true;
        uint32_t end = sat_add(s, item_sectors(s, item_size(it)));
        if (end > b) b = end;
    }
    return f(b, qx_total_size < b ? b : qx_total_size, ofs);
}

// True when [start, start + count) meets a stored item. Growing a file in
// place rewrites its source's sectors with their own bytes, so the source
// does not count when the new place starts where it starts.
bool clashes(uint32_t start, uint32_t count) {
    if (!count) return false;
    uint32_t end = sat_add(start, count);
    for (const auto &x : disk_ext) {
        if (start == inplace_start && x.first == inplace_start) continue;
        if (x.first < end && x.second > start) return true;
    }
    return false;
}

int area_of(uint32_t start) { return start >= qx_pri_size ? 1 : 0; }

// First fit that also keeps clear of the sectors the stored list names;
// *end (when given) gets the end of the run the place lies in.
bool find_safe(uint32_t *start, uint32_t size, bool extended, int *pos, uint32_t *end = nullptr) {
    return for_each_run([&](uint32_t b, uint32_t e, int ofs) {
        uint32_t cur = b;
        auto try_sub = [&](uint32_t sb, uint32_t se) {
            uint32_t s;
            if (se <= sb || !check_space(sb, se, size, extended, &s)) return false;
            if (area_lock >= 0 && area_of(s) != area_lock) return false;
            *start = s;
            *pos = ofs;
            if (end) *end = s < qx_pri_size && se > qx_pri_size ? qx_pri_size : se;
            return true;
        };
        for (const auto &x : disk_ext) {
            if (x.second <= cur) continue;
            if (x.first >= e) break;
            if (x.first > cur && try_sub(cur, x.first)) return true;
            cur = x.second;
            if (cur >= e) return false;
        }
        return try_sub(cur, e);
    });
}

// Chooses the place of a new item: first fit over the free runs; when that
// place holds data the stored list still names, the first place that does
// not. When there is none, the room exists only by giving up the old data of
// the items being replaced before the new data is whole: refused.
int place(uint32_t *start, uint32_t size, bool extended) {
    int pos = find_space(start, size, extended);
    uint32_t count = item_sectors(*start, size);
    if (area_lock >= 0 && area_of(*start) != area_lock) quit("not enough space");
    if (!clashes(*start, count)) return pos;
    uint32_t s;
    int p;
    if (find_safe(&s, size, extended, &p)) {
        *start = s;
        return p;
    }
    quit("not enough space to keep the old data while it is replaced");
}

int name_cmp(const char *a, const char *b) {
    for (;; a++, b++) {
        unsigned char x = uint8_t(*a), y = uint8_t(*b);
        if (x >= 'A' && x <= 'Z') x = uint8_t(x + 32);
        if (y >= 'A' && y <= 'Z') y = uint8_t(y + 32);
        if (x != y) return 1;
        if (!x) return 0;
    }
}

}  // namespace

uint32_t item_start(const uint8_t *it) { return get32(it + item::START); }
uint32_t item_size(const uint8_t *it) { return get32(it + item::SIZE); }

uint32_t item_sectors(uint32_t start, uint32_t size) {
    uint32_t unit = start < qx_pri_size ? 510 : 512;
    return uint32_t((uint64_t(size) + unit - 1) / unit);
}

void store_begin(xd_t *xd) {
    if (!areas_checked) check_areas(xd);
    areas_checked = true;
    ensure_snapshot();
}

void store_use(xd_t *xd) { store_begin(xd); }

void store_committed() { snapshot(); }

void store_commit(xd_t *xd) { commit_list(xd, true); }

bool store_find_unused_in(uint32_t count, uint32_t lo, uint32_t hi, uint32_t *start) {
    ensure_snapshot();
    std::vector<std::pair<uint32_t, uint32_t>> used = disk_ext;
    for (int ofs = 0; qx_list[ofs]; ofs = next_item(qx_list, ofs)) {
        uint32_t s = item_start(qx_list + ofs), n = item_sectors(s, item_size(qx_list + ofs));
        if (n) used.emplace_back(s, sat_add(s, n));
    }
    std::sort(used.begin(), used.end());
    uint32_t b = lo;
    for (const auto &u : used) {
        if (u.first >= hi) break;
        if (u.first > b && u.first - b >= count) break;
        if (u.second > b) b = u.second;
    }
    if (b >= hi || hi - b < count) return false;
    *start = b;
    return true;
}

bool store_find_unused(uint32_t count, uint32_t *start) {
    return store_find_unused_in(count, qx_list_start + qx_list_sectors, qx_total_size, start);
}

bool store_protected(uint32_t start, uint32_t count) {
    if (!count) return false;
    ensure_snapshot();
    uint32_t end = sat_add(start, count);
    for (const auto &x : disk_ext)
        if (x.first < end && x.second > start) return true;
    return false;
}

void reset_filestore() {
    areas_checked = false;
    disk_known = false;
    disk_ext.clear();
    reset_store_commit();
    inplace_start = NONE;
    area_lock = -1;
}

const char *get_name(const char *name) {
    while (*name == '/') name++;
    if (!*name) quit("empty file name");
    return name;
}

uint8_t *find_file(const char *name) {
    name = get_name(name);
    if (!qx_list) return nullptr;
    for (int ofs = 0; qx_list[ofs]; ofs = next_item(qx_list, ofs))
        if (!name_cmp(reinterpret_cast<const char *>(qx_list + ofs + item::NAME), name)) return qx_list + ofs;
    return nullptr;
}

bool del_file(const char *name) {
    uint8_t *it = find_file(name);
    if (!it) return false;
    ensure_snapshot();
    int ofs = int(it - qx_list);
    int len = it[0] + 2;
    memmove(it, it + len, size_t(qx_list_tail - ofs - len));
    qx_list_tail -= len;
    qx_list[qx_list_tail] = 0;
    return true;
}

bool find_stream_place(uint32_t size, bool extended, uint32_t *start, uint32_t *end) {
    ensure_snapshot();
    int pos;
    return find_safe(start, size, extended, &pos, end);
}

uint8_t *alloc_file(const char *name, uint32_t *start, uint32_t size, bool extended, uint32_t time) {
    return alloc_file_at(name, start, size, extended, time, false);
}

uint8_t *alloc_file_at(const char *name, uint32_t *start, uint32_t size, bool extended, uint32_t time, bool given) {
    name = get_name(name);
    ensure_snapshot();
    del_file(name);
    size_t nlen = strlen(name);
    size_t isz = nlen + 15;
    if (isz > 255 || size_t(qx_list_tail) + isz >= size_t(list_room())) quit("file item too long");
    int pos = 0;
    if (given) {
        // The list position of a place chosen beforehand: before the first
        // item that starts above it.
        while (qx_list[pos] && item_start(qx_list + pos) <= *start) pos = next_item(qx_list, pos);
    } else {
        pos = place(start, size, extended);
    }
    uint8_t *it = qx_list + pos;
    memmove(it + isz, it, size_t(qx_list_tail - pos) + 1);
    it[item::LEN] = uint8_t(isz - 2);
    it[item::FLAGS] = extended ? item::F_EXTENDED : 0;
    put32(it + item::START, *start);
    put32(it + item::SIZE, size);
    put32(it + item::TIME, time);
    memcpy(it + item::NAME, name, nlen + 1);
    qx_list_tail += int(isz);
    return it;
}

bool check_space(uint32_t b, uint32_t e, uint32_t size, bool extended, uint32_t *start) {
    const uint32_t p = qx_pri_size;
    const uint64_t c510 = (uint64_t(size) + 509) / 510;
    const uint64_t c512 = (uint64_t(size) + 511) / 512;
    if (e < b) e = b;
    if (b < p && p < e) {
        if (!extended && p - b >= c510) {
            *start = b;
            return true;
        }
        if (e - p >= c512) {
            *start = p;
            return true;
        }
        return false;
    }
    if (b < p) {
        if (extended || e - b < c510) return false;
        *start = b;
        return true;
    }
    if (e - b < c512) return false;
    *start = b;
    return true;
}

int find_space(uint32_t *start, uint32_t size, bool extended) {
    int pos = -1;
    for_each_run([&](uint32_t b, uint32_t e, int ofs) {
        if (!check_space(b, e, size, extended, start)) return false;
        pos = ofs;
        return true;
    });
    if (pos < 0) quit("not enough space");
    return pos;
}

uint8_t *cpy_file(xd_t *xd, const char *name, uint32_t size, uint32_t src_start, uint32_t src_bytes,
                  bool extended, uint8_t fill, uint32_t time) {
    store_use(xd);
    uint32_t start;
    // Data copied sector by sector must stay in the area of its source.
    area_lock = src_bytes ? (extended ? 1 : 0) : -1;
    inplace_start = src_bytes ? src_start : NONE;
    uint8_t *it;
    try {
        it = alloc_file(name, &start, size, extended, time);
    } catch (...) {
        area_lock = -1;
        inplace_start = NONE;
        throw;
    }
    area_lock = -1;
    inplace_start = NONE;
    const uint32_t p = qx_pri_size;
    if (!src_bytes) extended = start >= p;
    else if ((start >= p) != extended) quit("not enough space");

    const uint32_t unit = extended ? 512 : 510;
    uint32_t count = item_sectors(start, size);
    if (src_bytes) {
        uint32_t whole = src_bytes / unit;
        if (start != src_start) copy_disk(xd, start, src_start, whole);
        start += whole;
        src_start += whole;
        count -= whole;
        uint32_t part = src_bytes % unit;
        if (part) {
            seek_disk(xd, src_start);
            read_disk(xd, global_buffer, 1);
            memset(global_buffer + part, fill, unit - part);
            if (!extended) put16(global_buffer + 510, start & 0xFFFF);
            seek_disk(xd, start);
            write_disk(xd, global_buffer, 1);
            start++;
            count--;
        }
    }
    if (count) {
        memset(global_buffer, fill, GLOBAL_BUFFER_SIZE);
        seek_disk(xd, start);
        while (count) {
            uint32_t n = count < GLOBAL_SECTORS ? count : GLOBAL_SECTORS;
            if (!extended)
                for (uint32_t i = 0; i < n; i++) put16(global_buffer + i * SECTOR + 510, (start + i) & 0xFFFF);
            write_disk(xd, global_buffer, n);
            start += n;
            count -= n;
        }
    }
    return it;
}

void clear_menu(xd_t *, int, char **) {
    ensure_snapshot();
    qx_list_tail = 0;
    qx_list[0] = 0;
}
