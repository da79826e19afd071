// The file list and the placement of file data: names, lookup, removal,
// allocation at the place the extents model gives (extents.h), copying a
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
#include "extents.h"
#include "layout.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace {

bool areas_checked = false;  // check_areas ran for this target
bool disk_known = false;     // on_disk holds the list the disk holds
store_extents on_disk;

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

uint32_t item_sectors(uint32_t start, uint32_t size) { return sectors_in_area(size, start >= qx_pri_size ? 1 : 0); }

const store_extents &disk_extents() {
    if (!disk_known) store_committed();
    return on_disk;
}

place_request data_request(uint32_t size, bool extended) {
    place_request r;
    r.size = size;
    r.extended = extended;
    r.avoid = &disk_extents();
    return r;
}

void store_begin(xd_t *xd) {
    if (!areas_checked) check_areas(xd);
    areas_checked = true;
    disk_extents();
}

void store_use(xd_t *xd) { store_begin(xd); }

void store_committed() {
    on_disk = qx_list ? store_extents::of_memory() : store_extents();
    disk_known = true;
}

void store_commit(xd_t *xd) { commit_list(xd, true); }

bool store_find_unused_in(uint32_t count, uint32_t lo, uint32_t hi, uint32_t *start) {
    return store_extents::of_memory().find_unused(count, lo, hi, &disk_extents(), start);
}

bool store_find_unused(uint32_t count, uint32_t *start) {
    return store_find_unused_in(count, qx_list_start + qx_list_sectors, qx_total_size, start);
}

bool store_protected(uint32_t start, uint32_t count) { return disk_extents().overlaps(start, count); }

void reset_filestore() {
    areas_checked = false;
    disk_known = false;
    on_disk = store_extents();
    reset_store_commit();
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
    disk_extents();
    int ofs = int(it - qx_list);
    int len = it[0] + 2;
    memmove(it, it + len, size_t(qx_list_tail - ofs - len));
    qx_list_tail -= len;
    qx_list[qx_list_tail] = 0;
    return true;
}

const char *prepare_item(const char *name) {
    name = get_name(name);
    disk_extents();
    del_file(name);
    const size_t isz = strlen(name) + 15;
    if (isz > 255 || size_t(qx_list_tail) + isz >= size_t(list_room())) quit("file item too long");
    return name;
}

uint8_t *insert_item(const char *name, const store_place &at, uint32_t size, bool extended, uint32_t time) {
    const size_t nlen = strlen(name), isz = nlen + 15;
    uint8_t *it = qx_list + at.pos;
    memmove(it + isz, it, size_t(qx_list_tail - at.pos) + 1);
    it[item::LEN] = uint8_t(isz - 2);
    it[item::FLAGS] = extended ? item::F_EXTENDED : 0;
    put32(it + item::START, at.start);
    put32(it + item::SIZE, size);
    put32(it + item::TIME, time);
    memcpy(it + item::NAME, name, nlen + 1);
    qx_list_tail += int(isz);
    return it;
}

uint8_t *alloc_file(const char *name, uint32_t *start, uint32_t size, bool extended, uint32_t time) {
    name = prepare_item(name);
    const store_place at = store_extents::of_memory().place(data_request(size, extended));
    *start = at.start;
    return insert_item(name, at, size, extended, time);
}

uint8_t *cpy_file(xd_t *xd, const char *name, uint32_t size, uint32_t src_start, uint32_t src_bytes,
                  bool extended, uint8_t fill, uint32_t time, bool reuse_source) {
    store_use(xd);
    name = prepare_item(name);
    place_request req = data_request(size, extended);
    if (src_bytes) {
        // Data copied sector by sector stays in the area of its source,
        // which it may rewrite where it lies when the caller allows it.
        req.keep_area = extended ? 1 : 0;
        if (reuse_source) req.in_place = src_start;
    }
    const store_place at = store_extents::of_memory().place(req);
    uint32_t start = at.start;
    uint8_t *it = insert_item(name, at, size, extended, time);
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
    disk_extents();
    qx_list_tail = 0;
    qx_list[0] = 0;
}
