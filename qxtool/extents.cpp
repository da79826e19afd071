// The extents of a file list: built once from the list bytes, checked once,
// then asked for free runs, unused sectors and places.
#include "extents.h"
#include "common.h"
#include "layout.h"

#include <algorithm>
#include <cstring>

uint32_t sectors_in_area(uint32_t size, int area) {
    const uint32_t unit = area ? 512 : 510;
    return uint32_t((uint64_t(size) + unit - 1) / unit);
}

store_extents::store_extents(const uint8_t *list, uint32_t list_end_, uint32_t pri_, uint32_t total_)
    : list_end(list_end_), pri(pri_), total(total_) {
    for (int ofs = 0; list[ofs]; ofs += list[ofs] + 2) {
        const uint8_t *it = list + ofs;
        extent x;
        x.start = get32(it + item::START);
        x.size = get32(it + item::SIZE);
        x.area = x.start >= pri ? 1 : 0;
        x.count = sectors_in_area(x.size, x.area);
        x.ofs = ofs;
        items.push_back(x);
        tail = ofs + list[ofs] + 2;
    }

    // The rules, in list order; the first one broken is the fault.
    uint32_t prev_start = 0;
    uint64_t prev_end = 0;
    for (const extent &x : items) {
        if (!fault.empty()) break;
        const char *name = reinterpret_cast<const char *>(list + x.ofs + item::NAME);
        const uint64_t lo = x.area ? pri : list_end, hi = x.area ? total : pri;
        if (x.start < prev_start) fault = std::string("file ") + name + " is out of order";
        else if (x.start < prev_end) fault = std::string("file ") + name + " overlaps the file before it";
        else if (x.start < lo || x.end() > hi) fault = std::string("file ") + name + " lies outside its data area";
        prev_start = x.start;
        prev_end = std::max(prev_end, x.end());
    }

    by_start.resize(items.size());
    for (size_t i = 0; i < items.size(); i++) by_start[i] = i;
    if (!fault.empty())
        std::stable_sort(by_start.begin(), by_start.end(),
                         [&](size_t a, size_t b) { return items[a].start < items[b].start; });

    // The sectors in use, merged.
    for (size_t i : by_start) {
        const extent &x = items[i];
        if (!x.count) continue;
        if (!spans.empty() && x.start <= spans.back().second) spans.back().second = std::max(spans.back().second, x.end());
        else spans.emplace_back(x.start, x.end());
    }
}

store_extents store_extents::of_memory() {
    return store_extents(qx_list, qx_list_start + qx_list_sectors, qx_pri_size, qx_total_size);
}

void store_extents::require_sound() const {
    if (!fault.empty()) quit("invalid file list: %s", fault.c_str());
}

std::vector<free_run> store_extents::free_runs() const {
    std::vector<free_run> runs;
    auto emit = [&](uint64_t b, uint64_t e, int pos) {
        if (b < pri && pri < e) {
            runs.push_back({uint32_t(b), pri, 0, pos});
            runs.push_back({pri, uint32_t(e), 1, pos});
        } else {
            runs.push_back({uint32_t(b), uint32_t(e), b >= pri ? 1 : 0, pos});
        }
    };
    // b never falls back, so a run never holds a sector an item before it
    // occupies, whatever the order; nor does one reach past total.
    uint64_t b = std::min<uint64_t>(list_end, total);
    for (size_t i : by_start) {
        const extent &x = items[i];
        const uint64_t s = std::min<uint64_t>(std::max<uint64_t>(x.start, b), total);
        emit(b, s, x.ofs);
        b = std::min<uint64_t>(std::max(b, x.end()), total);
    }
    emit(b, total, tail);
    return runs;
}

uint64_t store_extents::used_sectors(int area) const {
    const uint64_t lo = area ? pri : list_end, hi = area ? total : pri;
    uint64_t n = 0;
    for (const auto &s : spans) {
        const uint64_t b = std::max(s.first, lo), e = std::min(s.second, hi);
        if (b < e) n += e - b;
    }
    return n;
}

uint64_t store_extents::end() const {
    uint64_t e = list_end;
    for (const extent &x : items) e = std::max(e, x.end());
    return e;
}

bool store_extents::overlaps(uint32_t start, uint32_t count) const {
    if (!count) return false;
    const uint64_t end = uint64_t(start) + count;
    // The first span that ends after start.
    auto it = std::upper_bound(spans.begin(), spans.end(), uint64_t(start),
                               [](uint64_t v, const std::pair<uint64_t, uint64_t> &s) { return v < s.second; });
    return it != spans.end() && it->first < end;
}

bool store_extents::overlaps_except(uint32_t start, uint32_t count, uint32_t except) const {
    if (!count) return false;
    const uint64_t end = uint64_t(start) + count;
    for (const extent &x : items)
        if (x.count && x.start != except && x.start < end && x.end() > start) return true;
    return false;
}

bool store_extents::find_unused(uint32_t count, uint32_t lo, uint32_t hi, const store_extents *other,
                                uint32_t *start) const {
    std::vector<std::pair<uint64_t, uint64_t>> used = spans;
    if (other) {
        used.insert(used.end(), other->spans.begin(), other->spans.end());
        std::sort(used.begin(), used.end());
    }
    uint64_t b = lo;
    for (const auto &u : used) {
        if (u.first >= hi) break;
        if (u.first > b && u.first - b >= count) break;
        b = std::max(b, u.second);
    }
    if (b >= hi || hi - b < count) return false;
    *start = uint32_t(b);
    return true;
}

std::vector<free_run> store_extents::runs_avoiding(const store_extents *other) const {
    std::vector<free_run> out;
    for (const free_run &r : free_runs()) {
        uint64_t cur = r.begin;
        for (const auto &x : other->spans) {
            if (x.second <= cur) continue;
            if (x.first >= r.end) break;
            if (x.first > cur) out.push_back({uint32_t(cur), uint32_t(x.first), r.area, r.pos});
            cur = x.second;
            if (cur >= r.end) break;
        }
        if (cur < r.end) out.push_back({uint32_t(cur), r.end, r.area, r.pos});
    }
    return out;
}

bool store_extents::first_fit(const std::vector<free_run> &runs, const place_request &req, store_place *out) {
    for (const free_run &r : runs) {
        if (req.extended && r.area == 0) continue;
        if (req.keep_area >= 0 && r.area != req.keep_area) continue;
        if (r.end - r.begin < sectors_in_area(req.size, r.area)) continue;
        *out = {r.begin, r.pos, r.end};
        return true;
    }
    return false;
}

store_place store_extents::place(const place_request &req) const {
    const std::vector<free_run> runs = free_runs();
    store_place p;
    if (!first_fit(runs, req, &p)) quit("not enough space");
    if (!req.avoid) return p;
    const uint32_t count = sectors_in_area(req.size, p.start >= pri ? 1 : 0);
    // Growing a file where it lies rewrites its sectors with their own
    // bytes first, so its old place does not count there.
    const uint32_t except = p.start == req.in_place ? req.in_place : NO_SECTOR;
    if (!req.avoid->overlaps_except(p.start, count, except)) return p;
    if (first_fit(runs_avoiding(req.avoid), req, &p)) return p;
    quit("not enough space to keep the old data while it is replaced");
}

store_place store_extents::largest_run(const place_request &req, uint64_t *room) const {
    store_place best{};
    *room = 0;
    for (const free_run &r : runs_avoiding(req.avoid)) {
        if ((req.extended && r.area == 0) || (req.keep_area >= 0 && r.area != req.keep_area)) continue;
        const uint64_t bytes = uint64_t(r.end - r.begin) * (r.area ? 512 : 510);
        if (bytes > *room) {
            best = {r.begin, r.pos, r.end};
            *room = bytes;
        }
    }
    return best;
}
