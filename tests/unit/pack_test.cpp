// pack and check on small QX images and on an archive.
#include "common.h"
#include "filestore.h"
#include "fixture.h"
#include "layout.h"
#include "xdio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

struct Disk {
    TempDir dir;
    std::string img;
    QxGeometry g;
    Disk(uint32_t pri, uint32_t ext) {
        img = dir.path("d.img");
        g.list = 2;
        g.pri = pri;
        g.ext = ext;
        g.total = uint64_t(pri) + ext + 64;
        build_qx_image(img, g);
    }
    uint32_t data_start() const { return 63 + 1 + 4 + g.list; }
    RunResult run(std::vector<std::string> w) {
        w.insert(w.begin(), img);
        return run_tool(w);
    }
    void add(const std::string &name, const std::vector<uint8_t> &v, bool ext = false) {
        std::string p = dir.path("in");
        write_file(p, v);
        std::vector<std::string> w = {"add", name, p};
        if (ext) w.insert(w.begin() + 1, "-e");
        RunResult r = run(w);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    std::vector<uint8_t> get(const std::string &name) {
        std::string p = dir.path("out");
        RunResult r = run({"export", name, p});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.status ? std::vector<uint8_t>{} : read_file(p);
    }
    std::vector<std::pair<std::string, uint32_t>> starts() {
        std::vector<std::pair<std::string, uint32_t>> out;
        reset_globals();
        xd_t *xd = xd_open(img.c_str(), 1);
        open_store(xd, 1, true);
        for (int o = 0; qx_list[o]; o = next_item(qx_list, o))
            out.emplace_back(reinterpret_cast<const char *>(qx_list + o + item::NAME), item_start(qx_list + o));
        xd_close(xd);
        return out;
    }
};

using Starts = std::vector<std::pair<std::string, uint32_t>>;

}  // namespace

TEST(Pack, NothingToMoveLeavesTheDiskAsItWas) {
    Disk d(200, 100);
    d.add("a", pattern_bytes(1000, 1));
    d.add("b", pattern_bytes(3000, 2), true);
    std::vector<uint8_t> before = read_file(d.img);
    ASSERT_EQ(d.run({"pack"}).status, 0);
    EXPECT_TRUE(read_file(d.img) == before);
}

TEST(Pack, ClosesGapsInEachAreaAndRemarks) {
    Disk d(200, 100);
    const uint32_t s0 = d.data_start();
    std::vector<std::vector<uint8_t>> v;
    for (uint32_t i = 0; i < 5; i++) v.push_back(pattern_bytes(700 + 900 * i, i));
    d.add("gap1", v[0]);
    d.add("a", v[1]);          // 4 sectors
    d.add("gap2", v[2]);
    d.add("b", v[3]);          // 6 sectors
    d.add("ext-gap", v[4], true);
    d.add("c", v[2], true);
    ASSERT_EQ(d.run({"remove", "gap1"}).status, 0);
    ASSERT_EQ(d.run({"remove", "gap2"}).status, 0);
    ASSERT_EQ(d.run({"remove", "ext-gap"}).status, 0);
    ASSERT_EQ(d.run({"pack"}).status, 0);
    // Primary items back to back after the list; the extended item at P
    // exactly, although primary items end far below P.
    EXPECT_EQ(d.starts(), (Starts{{"a", s0}, {"b", s0 + 4}, {"c", 200}}));
    EXPECT_EQ(d.get("a"), v[1]);
    EXPECT_EQ(d.get("b"), v[3]);
    EXPECT_EQ(d.get("c"), v[2]);
    std::vector<uint8_t> secs = read_sectors(d.img, s0, 10);
    for (uint32_t i = 0; i < 10; i++) EXPECT_EQ(get16(&secs[i * 512 + 510]), s0 + i);
    EXPECT_EQ(d.run({"check"}).status, 0);
}

TEST(Pack, AnItemOverlappingItsOwnPlaceGoesThroughAFreePlace) {
    // a (10 sectors) one sector above its packed place; room above it.
    Disk d(200, 0);
    const uint32_t s0 = d.data_start();
    std::vector<uint8_t> a = pattern_bytes(10 * 510, 3);
    d.add("x", {1});
    d.add("a", a);
    ASSERT_EQ(d.run({"remove", "x"}).status, 0);
    ASSERT_EQ(d.run({"pack"}).status, 0);
    EXPECT_EQ(d.starts(), (Starts{{"a", s0}}));
    EXPECT_EQ(d.get("a"), a);
    EXPECT_EQ(d.run({"check"}).status, 0);
    // With no free place to move through, pack names the item it could
    // not move, and the item stays where it is, whole.
    Disk full(63 + 1 + 4 + 2 + 11, 0);
    full.add("x", {1});
    full.add("a", a);
    ASSERT_EQ(full.run({"remove", "x"}).status, 0);
    EXPECT_EQ(full.run({"pack"}).err,
              "qxtool: error: can't move file a down: its new place overlaps its old one and no free run of 10 "
              "sectors is left to move it through\n");
    EXPECT_EQ(full.starts(), (Starts{{"a", s0 + 1}}));
    EXPECT_EQ(full.get("a"), a);
}

TEST(Pack, ArchiveClosesUpAndShrinks) {
    TempDir dir;
    std::string ar = dir.path("a.qxa");
    ASSERT_EQ(run_tool({ar, "create", "-l", "510"}).status, 0);
    std::vector<uint8_t> a = pattern_bytes(1500, 1), b = pattern_bytes(2000, 2);
    write_file(dir.path("a"), a);
    write_file(dir.path("b"), b);
    ASSERT_EQ(run_tool({ar, "add", "x", dir.path("b")}).status, 0);
    ASSERT_EQ(run_tool({ar, "add", "a", dir.path("a")}).status, 0);
    ASSERT_EQ(run_tool({ar, "add", "y", dir.path("b")}).status, 0);
    ASSERT_EQ(run_tool({ar, "add", "b", dir.path("b")}).status, 0);
    ASSERT_EQ(run_tool({ar, "remove", "x"}).status, 0);
    ASSERT_EQ(run_tool({ar, "remove", "y"}).status, 0);
    ASSERT_EQ(run_tool({ar, "pack"}).status, 0);
    struct stat st;
    ASSERT_EQ(stat(ar.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, (2 + 3 + 4) * 512);
    std::string out = dir.path("o");
    ASSERT_EQ(run_tool({ar, "export", "a", out}).status, 0);
    EXPECT_EQ(read_file(out), a);
    ASSERT_EQ(run_tool({ar, "export", "b", out}).status, 0);
    EXPECT_EQ(read_file(out), b);
}

TEST(Check, FindsTheFirstWrongSector) {
    Disk d(300, 10);
    ASSERT_EQ(d.run({"check"}).status, 0);
    struct Case { uint32_t sector; uint32_t offset; uint16_t value; } cases[] = {
        {250, 510, 0x1234},  // a primary sector's mark
        {d.data_start(), 510, 0},  // a list sector's mark
        {64, 510, 0},        // the header sector's mark
        {63, 510, 0x55AA},   // a copy without 55 AA
        {17, 0x1AE, 18},     // a copy with the wrong copy number
        {0, 0x1AE, 1},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> s = read_sectors(d.img, c.sector, 1);
        std::vector<uint8_t> saved = s;
        put16(&s[c.offset], c.value);
        write_sectors(d.img, c.sector, s);
        EXPECT_EQ(d.run({"check"}).err, "qxtool: error: check fail at sector " + std::to_string(c.sector) + "\n");
        write_sectors(d.img, c.sector, saved);
    }
    // The extended area carries nothing to check.
    write_sectors(d.img, 305, std::vector<uint8_t>(512, 0xEE));
    EXPECT_EQ(d.run({"check"}).status, 0);
}
