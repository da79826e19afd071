// The file list and placement, the file commands and their transfers, on
// small QX images the tests lay out directly.
#include "commands.h"
#include "common.h"
#include "filestore.h"
#include "fixture.h"
#include "layout.h"
#include "xdio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <utime.h>

namespace {

// Default small disk: B = 63, N = 4, list 68..(68+L-1), primary to P.
struct Disk {
    TempDir dir;
    std::string img;
    QxGeometry g;
    explicit Disk(uint32_t list = 4, uint32_t pri = 16128, uint32_t ext = 0, uint64_t total = 0) {
        img = dir.path("d.img");
        g.list = list;
        g.pri = pri;
        g.ext = ext;
        g.total = total ? total : uint64_t(pri) + ext + 2048;
        build_qx_image(img, g);
    }
    uint32_t data_start() const { return g.base + 1 + 4 + g.list; }
    RunResult run(std::vector<std::string> words, const std::string *in = nullptr) {
        words.insert(words.begin(), img);
        return run_tool(words, in);
    }
    std::string file(const std::string &name, const std::vector<uint8_t> &data) {
        std::string p = dir.path(name);
        write_file(p, data);
        return p;
    }
};

// One item as the list on the disk holds it.
struct Item {
    uint8_t flags;
    uint32_t start, size, time;
    std::string name;
};

// Reads the list back through read_header, as a fresh run would.
std::vector<Item> list_of(const std::string &img) {
    std::vector<Item> out;
    reset_globals();
    xd_t *xd = xd_open(img.c_str(), 1);
    EXPECT_NE(xd, nullptr);
    if (!xd) return out;
    try {
        read_header(xd, 1);
        for (int ofs = 0; qx_list[ofs]; ofs = next_item(qx_list, ofs)) {
            const uint8_t *it = qx_list + ofs;
            out.push_back({it[item::FLAGS], get32(it + item::START), get32(it + item::SIZE),
                           get32(it + item::TIME), reinterpret_cast<const char *>(it + item::NAME)});
        }
    } catch (const Fatal &e) {
        ADD_FAILURE() << "read_header: " << e.what();
    }
    xd_close(xd);
    return out;
}

std::vector<uint8_t> exported(Disk &d, const std::string &name) {
    std::string out = d.dir.path("export.bin");
    RunResult r = d.run({"export", name, out});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? read_file(out) : std::vector<uint8_t>{};
}


}  // namespace

TEST(Names, LeadingSlashesAndCaseFolding) {
    Disk d;
    std::string f = d.file("a", {'x'});
    ASSERT_EQ(d.run({"add", "/Boot.ini", f}).status, 0);
    std::vector<Item> l = list_of(d.img);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].name, "Boot.ini");
    for (const char *n : {"boot.ini", "/BOOT.INI", "//boot.ini"}) EXPECT_EQ(exported(d, n), std::vector<uint8_t>{'x'}) << n;
    // Only ASCII letters fold: other bytes compare exactly.
    EXPECT_EQ(d.run({"export", "boot.inI\xc3\xa9", d.dir.path("o")}).err, "qxtool: error: file boot.inI\xc3\xa9 not found\n");
    EXPECT_EQ(d.run({"add", "//", f}).err, "qxtool: error: empty file name\n");
}

TEST(AddExport, RoundTripInBothAreas) {
    // Sizes around the 510 and 512 units, in the primary and extended area.
    Disk d(4, 16128, 4096);
    struct Case { uint32_t size; bool ext; uint32_t sectors; } cases[] = {
        {1, false, 1}, {510, false, 1}, {511, false, 2}, {1021, false, 3}, {70000, false, 138},
        {1, true, 1},  {512, true, 1},  {513, true, 2},  {70000, true, 137},
    };
    int k = 0;
    for (const Case &c : cases) {
        std::vector<uint8_t> data = pattern_bytes(c.size, 100 + k);
        std::string name = "f" + std::to_string(k++);
        std::string f = d.file(name, data);
        std::vector<std::string> w = {"add"};
        if (c.ext) w.push_back("-e");
        w.push_back(name);
        w.push_back(f);
        RunResult r = d.run(w);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(exported(d, name), data) << c.size;
    }
    // Items stand in start order, back to back, each in its area.
    std::vector<Item> l = list_of(d.img);
    ASSERT_EQ(l.size(), 9u);
    uint32_t pri = d.data_start(), ext = 16128;
    for (size_t i = 0; i < l.size(); i++) {
        uint32_t &next = cases[i].ext ? ext : pri;
        EXPECT_EQ(l[i].start, next) << i;
        EXPECT_EQ(l[i].flags, cases[i].ext ? item::F_EXTENDED : 0) << i;
        next += cases[i].sectors;
    }
}

TEST(AddExport, PrimarySectorsCarryTheirMarks) {
    Disk d;
    std::vector<uint8_t> data = pattern_bytes(1021, 5);
    ASSERT_EQ(d.run({"add", "f", d.file("f", data)}).status, 0);
    uint32_t s = d.data_start();
    std::vector<uint8_t> secs = read_sectors(d.img, s, 3);
    for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(get16(&secs[i * 512 + 510]), s + i);
    EXPECT_EQ(0, memcmp(&secs[0], &data[0], 510));
    EXPECT_EQ(0, memcmp(&secs[512], &data[510], 510));
    EXPECT_EQ(secs[1024], data[1020]);
}
