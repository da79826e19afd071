// Platform-neutral parts of the device layer: device-name parsing and the
// partition walk over the primary table and the extended-partition chain.
#include "xdio.h"
#include "xdio_common.h"
#include "common.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

bool (*xd_write_fault)(uint32_t, uint32_t) = nullptr;
void (*xd_record)(xd_event, const char *, uint32_t, uint32_t, const void *) = nullptr;

static std::string open_error;

void xd_set_open_error(const char *msg) { open_error = msg ? msg : ""; }

const char *xd_open_error() { return open_error.empty() ? nullptr : open_error.c_str(); }

// A signed number with automatic base, as strtol reads it; false when no
// digit was read or it does not fit.
static bool read_signed(const char *&p, long *out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(p, &end, 0);
    if (end == p || errno == ERANGE) return false;
    p = end;
    *out = v;
    return true;
}

bool parse_dev_name(const char *name, dev_name *out) {
    if (name[0] != '(') return false;
    const char *p = name + 1;
    if (strncmp(p, "hd", 2) == 0) out->kind = 'h';
    else if (strncmp(p, "fd", 2) == 0) out->kind = 'f';
    else return false;
    p += 2;
    long n;
    if (!read_signed(p, &n) || n < 0 || n > 19) return false;
    out->num = int(n);
    out->part = -1;
    if (*p == ',') {
        ++p;
        long part;
        if (!read_signed(p, &part) || part < 0 || part > 29) return false;
        out->part = int(part);
    }
    if (p[0] != ')' || p[1] != 0) return false;
    if (out->kind == 'f' && out->num > 1) return false;
    return true;
}

namespace {

constexpr uint32_t PT_OFS = 0x1BE;
// A chain of extended boot records longer than this is taken as a loop.
constexpr uint32_t MAX_CHAIN = 1024;

bool read_record(xd_t *xd, uint32_t sector, uint8_t *buf) {
    if (xd_seek(xd, sector) || xd_read(xd, buf, 1)) return false;
    return buf[510] == 0x55 && buf[511] == 0xAA;
}

bool is_ext(uint8_t type) { return type == 0x05 || type == 0x0F; }

}  // namespace

int xd_enum(xd_t *xd, xd_enum_state *st) {
    alignas(4096) static uint8_t ebuf[SECTOR];
    // The sector-0 table, kept between calls so that the chain walk can find
    // the extended partition again.
    static uint8_t mbr[SECTOR];

    if (st->index == 255) {
        if (!read_record(xd, 0, ebuf)) return 1;
        memcpy(mbr, ebuf, SECTOR);
        struct ent { uint32_t start, size; };
        ent used[4];
        int n = 0;
        for (int i = 0; i < 4; i++) {
            const uint8_t *e = mbr + PT_OFS + i * 16;
            if (e[4] == 0) continue;
            if (get32(e + 12) == 0) return 1;
            used[n++] = {get32(e + 8), get32(e + 12)};
        }
        if (n == 0) return 1;
        for (int i = 1; i < n; i++)  // at most four entries: insertion sort
            for (int j = i; j > 0 && used[j].start < used[j - 1].start; j--) std::swap(used[j], used[j - 1]);
        if (used[0].start == 0) return 1;
        for (int i = 0; i + 1 < n; i++)
            if (uint64_t(used[i].start) + used[i].size > used[i + 1].start) return 1;
        st->index = 0;
        st->seen.clear();
    } else {
        st->index++;
    }

    if (st->wanted != 255 && st->wanted < st->index) return 1;

    if (st->index < 4) {
        if (st->wanted < 4) {
            const uint8_t *e = mbr + PT_OFS + st->wanted * 16;
            if (e[4] == 0) return 1;
            st->index = st->wanted;
            st->type = e[4];
            st->start = get32(e + 8);
            st->size = get32(e + 12);
            return 0;
        }
        if (st->wanted == 255) {
            for (int i = st->index; i < 4; i++) {
                const uint8_t *e = mbr + PT_OFS + i * 16;
                if (e[4] == 0) continue;
                st->index = uint8_t(i);
                st->type = e[4];
                st->start = get32(e + 8);
                st->size = get32(e + 12);
                return 0;
            }
        }
        st->index = 4;
        st->ext_base = 0;  // the walk of the chain starts afresh
    }

    // Partition numbers are bytes: a chain long enough to reach 254 is no
    // real disk's and ends the walk before the number could wrap.
    if (st->index >= 254) return 1;

    // Position of the next extended boot record.
    uint32_t rec;
    if (st->ext_base == 0) {
        int i;
        for (i = 0; i < 4; i++)
            if (is_ext(mbr[PT_OFS + i * 16 + 4])) break;
        if (i == 4) return 1;
        st->ext_base = get32(mbr + PT_OFS + i * 16 + 8);
        if (st->ext_base == 0) return 1;
        rec = st->ext_base;
    } else {
        const uint8_t *e2 = ebuf + PT_OFS + 16;
        if (!is_ext(e2[4]) || get32(e2 + 8) == 0) return 1;
        uint64_t next = uint64_t(get32(e2 + 8)) + st->ext_base;
        if (next > 0xFFFFFFFFu) return 1;
        rec = uint32_t(next);
    }

    for (;;) {
        for (uint32_t s : st->seen)
            if (s == rec) return 1;
        if (st->seen.size() >= MAX_CHAIN) return 1;
        st->seen.push_back(rec);
        if (!read_record(xd, rec, ebuf)) return 1;
        const uint8_t *e1 = ebuf + PT_OFS;
        if (is_ext(e1[4])) {
            uint32_t s = get32(e1 + 8);
            if (s == 0) return 1;
            uint64_t next = uint64_t(s) + st->ext_base;
            if (next > 0xFFFFFFFFu) return 1;
            rec = uint32_t(next);
            continue;
        }
        if (e1[4] == 0) {
            // An empty record yields no partition and takes no number.
            const uint8_t *e2 = ebuf + PT_OFS + 16;
            if (!is_ext(e2[4]) || get32(e2 + 8) == 0) return 1;
            uint64_t next = uint64_t(get32(e2 + 8)) + st->ext_base;
            if (next > 0xFFFFFFFFu) return 1;
            rec = uint32_t(next);
            continue;
        }
        uint64_t start = uint64_t(get32(e1 + 8)) + rec;
        if (start > 0xFFFFFFFFu) return 1;
        if (st->wanted == 255 || st->wanted == st->index) {
            st->type = e1[4];
            st->start = uint32_t(start);
            st->size = get32(e1 + 12);
            return 0;
        }
        // Not the one asked for: count it and go on along the chain.
        if (++st->index >= 254) return 1;
        const uint8_t *e2 = ebuf + PT_OFS + 16;
        if (!is_ext(e2[4]) || get32(e2 + 8) == 0) return 1;
        uint64_t next = uint64_t(get32(e2 + 8)) + st->ext_base;
        if (next > 0xFFFFFFFFu) return 1;
        rec = uint32_t(next);
    }
}
