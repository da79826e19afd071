// The extents model on lists built in memory: a store whose list ends at
// sector 10, whose primary area runs to 100 and extended area to 200.
#include "common.h"
#include "extents.h"
#include "filestore.h"
#include "fixture.h"
#include "layout.h"
#include "xdio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t LIST_END = 10, PRI = 100, TOTAL = 200;

struct It {
    uint32_t start, size;
    std::string name;
};

std::vector<uint8_t> list_bytes(const std::vector<It> &items) {
    std::vector<uint8_t> l;
    for (const It &i : items) {
        std::vector<uint8_t> b(15 + i.name.size(), 0);
        b[item::LEN] = uint8_t(b.size() - 2);
        put32(&b[item::START], i.start);
        put32(&b[item::SIZE], i.size);
        memcpy(&b[item::NAME], i.name.data(), i.name.size());
        l.insert(l.end(), b.begin(), b.end());
    }
    l.push_back(0);
    return l;
}

struct Model {
    std::vector<uint8_t> bytes;
    store_extents x;
    explicit Model(const std::vector<It> &items)
        : bytes(list_bytes(items)), x(bytes.data(), LIST_END, PRI, TOTAL) {}
    // List offset of the n-th item, or of the terminator for n = size.
    int ofs(size_t n) const { return n < x.items.size() ? x.items[n].ofs : x.tail; }
};

uint32_t P(uint32_t sectors) { return sectors * 510; }  // bytes of k primary sectors
uint32_t E(uint32_t sectors) { return sectors * 512; }  // bytes of k extended sectors

// A run as (begin, end, area, index of the item after it).
struct RunAt {
    uint32_t b, e;
    int area;
    size_t next;
};

}  // namespace

TEST(Extents, RunsFaultsAndUsedSectorsOfEachKindOfList) {
    const std::vector<It> gaps = {{20, P(10), "a"}, {50, P(1), "b"}, {120, E(30), "c"}};
    struct Case {
        const char *what;
        std::vector<It> items;
        std::vector<RunAt> runs;
        std::string fault;
        uint64_t used0, used1, end;
    } cases[] = {
        {"empty", {}, {{10, 100, 0, 0}, {100, 200, 1, 0}}, "", 0, 0, 10},
        {"full", {{10, P(90), "p"}, {100, E(100), "e"}},
         {{10, 10, 0, 0}, {100, 100, 1, 1}, {200, 200, 1, 2}}, "", 90, 100, 200},
        {"gaps in both areas", gaps,
         {{10, 20, 0, 0}, {30, 50, 0, 1}, {51, 100, 0, 2}, {100, 120, 1, 2}, {150, 200, 1, 3}}, "", 11, 30, 150},
        // Units: 511 bytes take two primary sectors, 513 two extended ones.
        {"partial sectors", {{10, 511, "p"}, {100, 513, "e"}},
         {{10, 10, 0, 0}, {12, 100, 0, 1}, {102, 200, 1, 2}}, "", 2, 2, 102},
        // 0-byte items take no sector but split the run they stand in.
        {"zero-size items", {{10, 0, "z"}, {10, P(1), "a"}, {11, 0, "y"}, {200, 0, "t"}},
         {{10, 10, 0, 0}, {10, 10, 0, 1}, {11, 11, 0, 2}, {11, 100, 0, 3}, {100, 200, 1, 3}, {200, 200, 1, 4}}, "",
         1, 0, 200},
        // A primary item reaching past the primary size: its marked sectors
        // would lie in the plain area.
        {"item crossing into the extended area", {{95, P(10), "x"}},
         {{10, 95, 0, 0}, {105, 200, 1, 1}}, "file x lies outside its data area", 5, 5, 105},
        // Damaged lists: the runs skip every sector an item names.
        {"out of order", {{60, P(1), "late"}, {30, P(1), "early"}},
         {{10, 30, 0, 1}, {31, 60, 0, 0}, {61, 100, 0, 2}, {100, 200, 1, 2}}, "file early is out of order", 2, 0, 61},
        {"overlapping", {{20, P(10), "a"}, {25, P(1), "b"}},
         {{10, 20, 0, 0}, {30, 30, 0, 1}, {30, 100, 0, 2}, {100, 200, 1, 2}}, "file b overlaps the file before it", 10,
         0, 30},
        {"a 0-byte item inside another", {{20, P(10), "a"}, {25, 0, "z"}},
         {{10, 20, 0, 0}, {30, 30, 0, 1}, {30, 100, 0, 2}, {100, 200, 1, 2}}, "file z overlaps the file before it",
         10, 0, 30},
        {"past the end", {{190, E(20), "e"}},
         {{10, 100, 0, 0}, {100, 190, 1, 0}, {200, 200, 1, 1}}, "file e lies outside its data area", 0, 10, 210},
        {"0-byte item past the end", {{201, 0, "z"}},
         {{10, 100, 0, 0}, {100, 200, 1, 0}, {200, 200, 1, 1}}, "file z lies outside its data area", 0, 0, 201},
        {"start inside the list area", {{5, P(10), "l"}},
         {{10, 10, 0, 0}, {15, 100, 0, 1}, {100, 200, 1, 1}}, "file l lies outside its data area", 5, 0, 15},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Model m(c.items);
        EXPECT_EQ(m.x.fault, c.fault);
        std::vector<free_run> runs = m.x.free_runs();
        ASSERT_EQ(runs.size(), c.runs.size());
        for (size_t i = 0; i < runs.size(); i++) {
            EXPECT_EQ(runs[i].begin, c.runs[i].b) << i;
            EXPECT_EQ(runs[i].end, c.runs[i].e) << i;
            EXPECT_EQ(runs[i].area, c.runs[i].area) << i;
            EXPECT_EQ(runs[i].pos, m.ofs(c.runs[i].next)) << i;
        }
        // No run holds a sector any item names.
        for (const free_run &r : runs)
            for (const extent &x : m.x.items)
                if (x.count && r.end > r.begin) {
                    EXPECT_TRUE(x.end() <= r.begin || x.start >= r.end) << r.begin << ".." << r.end;
                }
        EXPECT_EQ(m.x.used_sectors(0), c.used0);
        EXPECT_EQ(m.x.used_sectors(1), c.used1);
        EXPECT_EQ(m.x.end(), c.end);
        const std::string want = c.fault.empty() ? "" : "invalid file list: " + c.fault;
        EXPECT_EQ(error_of([&] { m.x.require_sound(); }), want);
    }
}

TEST(Extents, FirstFitPlacement) {
    // Runs: 10..20, 30..50, 51..100 primary; 100..120, 150..200 extended.
    Model gaps({{20, P(10), "a"}, {50, P(1), "b"}, {120, E(30), "c"}});
    Model empty({});
    Model full({{10, P(90), "p"}, {100, E(100), "e"}});
    Model unsorted({{60, P(1), "late"}, {30, P(1), "early"}});
    Model noext({});
    noext.x.total = PRI;
    struct Case {
        const char *what;
        const Model &m;
        place_request req;
        uint32_t start;
        size_t next;
        uint32_t run_end;
        std::string err;
    } cases[] = {
        {"lowest run that holds it", gaps, {P(10), false}, 10, 0, 20, ""},
        {"skips a run too small", gaps, {P(11), false}, 30, 1, 50, ""},
        {"last primary run", gaps, {P(49), false}, 51, 2, 100, ""},
        {"more than any primary run: overflows past the small extended run", gaps, {P(50), false}, 150, 3, 200, ""},
        {"extended only", gaps, {1, true}, 100, 2, 120, ""},
        {"extended, larger than the first extended run", gaps, {E(21), true}, 150, 3, 200, ""},
        {"nothing holds it", gaps, {E(51), false}, 0, 0, 0, "not enough space"},
        {"empty store, whole primary area", empty, {P(90), false}, 10, 0, 100, ""},
        {"empty store, one byte more: overflows to P", empty, {P(90) + 1, false}, 100, 0, 200, ""},
        {"empty store, whole extended area", empty, {E(100), true}, 100, 0, 200, ""},
        {"empty store, one byte more", empty, {E(100) + 1, true}, 0, 0, 0, "not enough space"},
        {"extended with no extended area", noext, {1, true}, 0, 0, 0, "not enough space"},
        {"0 bytes into a full store: the first, empty run", full, {0, false}, 10, 0, 10, ""},
        {"0 bytes, extended only", full, {0, true}, 100, 1, 100, ""},
        {"1 byte into a full store", full, {1, false}, 0, 0, 0, "not enough space"},
        // A damaged list: its runs skip both items; the new item goes
        // before the first item above its run.
        {"damaged list, below both items", unsorted, {P(20), false}, 10, 1, 30, ""},
        {"damaged list, between them", unsorted, {P(21), false}, 31, 0, 60, ""},
        // Data copied sector by sector stays in its area.
        {"kept in the primary area", empty, {P(91), false, 0}, 0, 0, 0, "not enough space"},
        {"kept in the extended area", gaps, {E(20), true, 1}, 100, 2, 120, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        store_place p{};
        std::string err = error_of([&] { p = c.m.x.place(c.req); });
        EXPECT_EQ(err, c.err);
        if (!c.err.empty()) continue;
        EXPECT_EQ(p.start, c.start);
        EXPECT_EQ(p.pos, c.m.ofs(c.next));
        EXPECT_EQ(p.run_end, c.run_end);
    }
}

TEST(Extents, PlacementKeepsClearOfTheListOnTheDisk) {
    // On the disk: a at 10..15 and b at 40..100; in memory a was removed.
    Model disk({{10, P(5), "a"}, {40, P(60), "b"}});
    Model mem({{40, P(60), "b"}});
    struct Case {
        const char *what;
        place_request req;
        uint32_t start;
        std::string err;
    } cases[] = {
        {"first fit clashes: the first place clear of it", {P(20), false, -1, &disk.x}, 15, ""},
        {"the in-place source may be rewritten where it lies", {P(20), false, 0, &disk.x, 10}, 10, ""},
        {"an in-place source elsewhere does not count", {P(20), false, 0, &disk.x, 40}, 15, ""},
        {"no room clear of it in the primary area: overflows", {P(26), false, -1, &disk.x}, 100, ""},
        {"kept in the primary area, the room is only over the old data", {P(26), false, 0, &disk.x}, 0,
         "not enough space to keep the old data while it is replaced"},
        {"0 bytes never clash", {0, false, -1, &disk.x}, 10, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        store_place p{};
        std::string err = error_of([&] { p = mem.x.place(c.req); });
        EXPECT_EQ(err, c.err);
        if (c.err.empty()) {
            EXPECT_EQ(p.start, c.start);
        }
    }
    // Unused sectors: neither list's, within a range.
    struct Unused { uint32_t count, lo, hi; bool found; uint32_t start; } unused[] = {
        {25, 10, 100, true, 15}, {26, 10, 100, false, 0}, {5, 100, 200, true, 100},
        {100, 100, 200, true, 100}, {101, 100, 200, false, 0},
    };
    for (const Unused &u : unused) {
        uint32_t s = 0;
        EXPECT_EQ(mem.x.find_unused(u.count, u.lo, u.hi, &disk.x, &s), u.found) << u.count;
        if (u.found) {
            EXPECT_EQ(s, u.start) << u.count;
        }
    }
    const std::pair<uint32_t, uint32_t> hits[] = {{9, 2}, {14, 1}, {40, 1}, {99, 1}};
    for (const auto &h : hits) EXPECT_TRUE(disk.x.overlaps(h.first, h.second)) << h.first;
    const std::pair<uint32_t, uint32_t> misses[] = {{15, 25}, {100, 1}, {5, 5}, {12, 0}};
    for (const auto &h : misses) EXPECT_FALSE(disk.x.overlaps(h.first, h.second)) << h.first;
}

namespace {

// A disk with its list at 68..71, the primary area up to 16128 and an
// extended area of 1000 sectors, whose list holds the given items.
std::string damaged_disk(const TempDir &t, const std::vector<It> &items) {
    const std::string img = t.path("d.img");
    QxGeometry g;
    g.total = 20000;
    g.list = 4;
    g.ext = 1000;
    build_qx_image(img, g);
    std::vector<uint8_t> list = list_bytes(items);
    const uint32_t n = uint32_t(list.size());
    list.resize(4 * 512, 0);
    add_mark(list.data(), 4, 68, n);
    write_sectors(img, 68, list);
    return img;
}

}  // namespace

// Damaged lists through the tool: new data keeps clear of every sector an
// item names, info never shows negative free space, and pack names the
// fault and changes nothing.
TEST(Extents, DamagedListsLoseNoFile) {
    const uint32_t full = (16128 - 72) * 510;
    struct Case {
        const char *what;
        std::vector<It> items;
        bool ext;
        uint32_t add_size;
        uint32_t placed_at;
        std::string info_free, pack_err;
    } cases[] = {
        // The run below "late" once counted as free up to it, over "early".
        {"out of order", {{200, 510, "late"}, {100, 510, "early"}}, false, 50 * 510, 101,
         "primary area free space: " + std::to_string((16128 - 72 - 2) * 510), "file early is out of order"},
        // Counting both items once gave -510 bytes of free space.
        {"overlapping", {{72, full, "all"}, {100, 510, "b"}}, false, 1, 16128, "primary area free space: 0",
         "file b overlaps the file before it"},
        {"past the end", {{17100, 100 * 512, "far"}}, true, 30 * 512, 16128, "extended area free space: " +
         std::to_string((1000 - 28) * 512), "file far lies outside its data area"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir t;
        const std::string img = damaged_disk(t, c.items), in = t.path("in");
        write_file(in, pattern_bytes(c.add_size, 7));
        const std::vector<uint8_t> before = read_file(img);

        RunResult r = run_tool({img, "pack"});
        EXPECT_EQ(r.err, "qxtool: error: invalid file list: " + c.pack_err + "\n");
        EXPECT_TRUE(read_file(img) == before);
        r = run_tool({img, "info"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(c.info_free + "\n"), std::string::npos) << r.out;

        r = run_tool(c.ext ? std::vector<std::string>{img, "add", "-e", "new", in}
                           : std::vector<std::string>{img, "add", "new", in});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<uint8_t> after = read_file(img);
        // Every sector the damaged list names is as it was.
        for (const It &i : c.items) {
            const uint32_t count = i.start < 16128 ? (i.size + 509) / 510 : (i.size + 511) / 512;
            for (uint32_t s = i.start; s < i.start + count && s < 20000; s++)
                EXPECT_EQ(0, memcmp(&before[size_t(s) * 512], &after[size_t(s) * 512], 512)) << i.name << " " << s;
        }
        r = run_tool({img, "export", "new", t.path("out")});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(t.path("out")), pattern_bytes(c.add_size, 7));
        reset_globals();
        xd_t *xd = xd_open(img.c_str(), 0);
        ASSERT_NE(xd, nullptr);
        open_store(xd, 0, true);
        const uint8_t *it = find_file("new");
        ASSERT_NE(it, nullptr);
        EXPECT_EQ(get32(it + item::START), c.placed_at);
        xd_close(xd);
    }
}
