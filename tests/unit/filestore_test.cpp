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

// Reads the list back through open_store, as a fresh run would.
std::vector<Item> list_of(const std::string &img) {
    std::vector<Item> out;
    reset_globals();
    xd_t *xd = xd_open(img.c_str(), 1);
    EXPECT_NE(xd, nullptr);
    if (!xd) return out;
    try {
        open_store(xd, 1, true);
        for (int ofs = 0; qx_list[ofs]; ofs = next_item(qx_list, ofs)) {
            const uint8_t *it = qx_list + ofs;
            out.push_back({it[item::FLAGS], get32(it + item::START), get32(it + item::SIZE),
                           get32(it + item::TIME), reinterpret_cast<const char *>(it + item::NAME)});
        }
    } catch (const Fatal &e) {
        ADD_FAILURE() << "open_store: " << e.what();
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

TEST(Placement, FirstFitAndOverflowIntoExtended) {
    // Primary data area of 10 sectors after the list, extended of 100.
    Disk d(1, 63 + 1 + 4 + 1 + 10, 100);
    const uint32_t s0 = d.data_start(), p = d.g.pri;
    std::string f3 = d.file("f3", pattern_bytes(3 * 510, 1));
    std::string f5 = d.file("f5", pattern_bytes(5 * 510, 2));
    ASSERT_EQ(d.run({"add", "a", f3}).status, 0);
    ASSERT_EQ(d.run({"add", "b", f5}).status, 0);
    ASSERT_EQ(d.run({"add", "c", f3}).status, 0);   // 2 primary sectors left: overflows to P
    ASSERT_EQ(d.run({"remove", "a"}).status, 0);
    ASSERT_EQ(d.run({"add", "d", d.file("f2", pattern_bytes(2 * 510, 3))}).status, 0);  // first fit: a's old run
    ASSERT_EQ(d.run({"add", "-e", "e", f3}).status, 0);
    std::vector<Item> l = list_of(d.img);
    ASSERT_EQ(l.size(), 4u);
    const std::pair<std::string, uint32_t> want[] = {{"d", s0}, {"b", s0 + 3}, {"c", p}, {"e", p + 3}};
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(l[i].name, want[i].first);
        EXPECT_EQ(l[i].start, want[i].second) << want[i].first;
    }
    EXPECT_EQ(exported(d, "c"), pattern_bytes(3 * 510, 1));
    // Nothing holds 200 sectors; an extended-only file on a disk without
    // an extended area has no room either.
    EXPECT_EQ(d.run({"add", "big", d.file("big", pattern_bytes(200 * 512, 4))}).err, "qxtool: error: not enough space\n");
    Disk noext;
    EXPECT_EQ(noext.run({"add", "-e", "x", noext.file("x", {1})}).err, "qxtool: error: not enough space\n");
}

TEST(List, ItemSizeAndListCapacity) {
    Disk d(1);  // one list sector: 510 bytes, items up to 509
    std::string f = d.file("f", {7});
    EXPECT_EQ(d.run({"add", std::string(240, 'n'), f}).status, 0);              // 255-byte item
    EXPECT_EQ(d.run({"add", std::string(241, 'm'), f}).err, "qxtool: error: file item too long\n");
    // 255 + 239 = 494; a 15-byte item would bring the tail to 509: fits;
    // one more byte of name would leave no room for the terminator.
    EXPECT_EQ(d.run({"add", std::string(224, 'a'), f}).status, 0);
    EXPECT_EQ(d.run({"add", "b", f}).err, "qxtool: error: file item too long\n");
    EXPECT_EQ(list_of(d.img).size(), 2u);
    reset_globals();
    xd_t *xd = xd_open(d.img.c_str(), 1);
    open_store(xd, 1, true);
    EXPECT_EQ(qx_list_tail, 494);
    xd_close(xd);
}

TEST(List, ReplaceNeedsRoomBesideTheOldDataAndClearEmptiesTheList) {
    // A primary area that holds exactly one 4-sector file: the new data
    // could only go over the old, so the old file stays as it is.
    Disk d(1, 63 + 1 + 4 + 1 + 4);
    std::vector<uint8_t> v1 = pattern_bytes(4 * 510, 1), v2 = pattern_bytes(4 * 510, 2);
    ASSERT_EQ(d.run({"add", "f", d.file("1", v1)}).status, 0);
    EXPECT_EQ(d.run({"add", "F", d.file("2", v2)}).err,
              "qxtool: error: not enough space to keep the old data while it is replaced\n");
    std::vector<Item> l = list_of(d.img);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].name, "f");
    EXPECT_EQ(exported(d, "f"), v1);
    // A 3-sector file fits beside it and replaces it.
    ASSERT_EQ(d.run({"remove", "f"}).status, 0);
    ASSERT_EQ(d.run({"add", "f", d.file("3", pattern_bytes(510, 3))}).status, 0);
    ASSERT_EQ(d.run({"add", "F", d.file("4", pattern_bytes(3 * 510, 4))}).status, 0);
    l = list_of(d.img);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].name, "F");
    EXPECT_EQ(exported(d, "f"), pattern_bytes(3 * 510, 4));
    ASSERT_EQ(d.run({"clear"}).status, 0);
    EXPECT_TRUE(list_of(d.img).empty());
    std::vector<uint8_t> hsec = read_sectors(d.img, d.g.base + 1, 1);
    EXPECT_EQ(get16(&hsec[hdr::LIST_USED]), 1);
    EXPECT_EQ(read_sectors(d.img, d.data_start() - 1, 1)[0], 0);
}

TEST(List, ReplacingKeepsTheStoredItemWhenThereIsRoomElsewhere) {
    Disk d;
    std::vector<uint8_t> v1 = pattern_bytes(3000, 1), v2 = pattern_bytes(3000, 2);
    ASSERT_EQ(d.run({"add", "f", d.file("1", v1)}).status, 0);
    uint32_t old_start = list_of(d.img)[0].start;
    ASSERT_EQ(d.run({"add", "f", d.file("2", v2)}).status, 0);
    // The new data went past the old item, whose sectors stay as they were
    // until the new list is stored.
    EXPECT_EQ(list_of(d.img)[0].start, old_start + 6);
    std::vector<uint8_t> old = read_sectors(d.img, old_start, 1);
    EXPECT_EQ(0, memcmp(old.data(), v1.data(), 510));
    EXPECT_EQ(exported(d, "f"), v2);
}

TEST(AddExport, StdinLongerThanItsReadAheadLandsWhereTheSameFileWould) {
    // Free runs of 1.5 MiB, then 3 MiB, then the rest of the primary area,
    // and an extended area of 8 MiB. Input past the first megabyte streams;
    // it must end where the same bytes given as a file are placed.
    Disk base(4, 16128, 16384);
    const size_t MiB = 1 << 20;
    ASSERT_EQ(base.run({"add", "g1", base.file("g1", pattern_bytes(MiB + MiB / 2, 1))}).status, 0);
    ASSERT_EQ(base.run({"add", "x", base.file("x", {1})}).status, 0);
    ASSERT_EQ(base.run({"add", "g2", base.file("g2", pattern_bytes(3 * MiB, 2))}).status, 0);
    ASSERT_EQ(base.run({"add", "y", base.file("y", {2})}).status, 0);
    ASSERT_EQ(base.run({"remove", "g1"}).status, 0);
    ASSERT_EQ(base.run({"remove", "g2"}).status, 0);
    struct Case { std::vector<std::string> opts; size_t size; } cases[] = {
        {{}, MiB + 1000},          // the first run holds it
        {{}, 2 * MiB},             // moves on to the second run
        {{}, 4 * MiB},             // and on to the third
        {{"-e"}, 2 * MiB + 3},     // extended area only
        {{}, 6 * MiB},             // more than any primary run: overflows
        {{}, MiB},                 // exactly the read-ahead: stored whole
        {{"-e"}, 9 * MiB},         // more than any run: refused, x kept
    };
    for (const Case &c : cases) {
        const std::vector<uint8_t> v = pattern_bytes(c.size, uint32_t(c.size));
        std::vector<uint8_t> img = read_file(base.img);
        Disk by_file, by_stdin;
        write_file(by_file.img, img);
        write_file(by_stdin.img, img);
        std::vector<std::string> w = c.opts;
        w.insert(w.begin(), "add");
        w.push_back("x");  // replaces x
        std::vector<std::string> wf = w;
        wf.push_back(by_file.file("in", v));
        RunResult rf = by_file.run(wf);
        std::string in(v.begin(), v.end());
        RunResult r = by_stdin.run(w, &in);
        EXPECT_EQ(r.err, rf.err) << c.size;
        ASSERT_EQ(r.status, rf.status) << c.size;
        std::vector<Item> lf = list_of(by_file.img), ls = list_of(by_stdin.img);
        ASSERT_EQ(lf.size(), ls.size());
        for (size_t i = 0; i < lf.size(); i++) {
            EXPECT_EQ(ls[i].name, lf[i].name) << c.size;
            EXPECT_EQ(ls[i].start, lf[i].start) << c.size;
            EXPECT_EQ(ls[i].size, lf[i].size) << c.size;
        }
        EXPECT_EQ(exported(by_stdin, "x"), rf.status ? std::vector<uint8_t>{1} : v) << c.size;
        EXPECT_EQ(by_stdin.run({"check"}).status, 0) << c.size;
    }
}

TEST(AddExport, StdinIntoAnArchiveHoleLeavesTheArchiveItsLength) {
    // The stream goes past the archive's end, then moves down into the
    // hole first fit picks; the file keeps the length it had.
    TempDir t;
    const std::string ar = t.path("a.qxa");
    const size_t MiB = 1 << 20;
    ASSERT_EQ(run_tool({ar, "create", "-l", "510"}).status, 0);
    write_file(t.path("g"), pattern_bytes(3 * MiB, 1));
    write_file(t.path("y"), {2});
    ASSERT_EQ(run_tool({ar, "add", "g", t.path("g")}).status, 0);
    ASSERT_EQ(run_tool({ar, "add", "y", t.path("y")}).status, 0);
    ASSERT_EQ(run_tool({ar, "remove", "g"}).status, 0);
    const size_t before = read_file(ar).size();
    const std::vector<uint8_t> v = pattern_bytes(2 * MiB + 5, 3);
    const std::string in(v.begin(), v.end());
    RunResult r = run_tool({ar, "add", "x"}, &in);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(ar).size(), before);
    std::vector<Item> l = list_of(ar);
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].name, "x");
    EXPECT_EQ(l[0].start, 2u);
    ASSERT_EQ(run_tool({ar, "export", "x", t.path("out")}).status, 0);
    EXPECT_EQ(read_file(t.path("out")), v);
}

TEST(AddExport, TimesStdinAndErrors) {
    Disk d(4, 16128, 100);
    std::string f = d.file("f", pattern_bytes(100, 1));
    struct utimbuf t = {1284692509, 1284692509};
    ASSERT_EQ(utime(f.c_str(), &t), 0);
    ASSERT_EQ(d.run({"add", "f", f}).status, 0);
    EXPECT_EQ(list_of(d.img)[0].time, 1284692509u);

    std::string in = "from standard input";
    uint32_t before = uint32_t(time(nullptr));
    RunResult r = d.run({"add", "-e", "s"}, &in);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Item> l = list_of(d.img);
    ASSERT_EQ(l.size(), 2u);
    EXPECT_GE(l[1].time, before);
    EXPECT_EQ(l[1].start, 16128u);
    EXPECT_EQ(l[1].flags, item::F_EXTENDED);
    EXPECT_EQ(exported(d, "s"), std::vector<uint8_t>(in.begin(), in.end()));

    // -s places by the extended-only rule even without -e (and then
    // refuses this file as a loader; the list is not stored).
    EXPECT_EQ(d.run({"add", "-s", "l", f}).err, "qxtool: error: invalid size for ldlinux.bin\n");
    EXPECT_EQ(list_of(d.img).size(), 2u);

    std::string empty, none = d.dir.path("none");
    write_file(d.dir.path("z"), {});
    struct Case { std::vector<std::string> words; const std::string *in; std::string err; } cases[] = {
        {{"add"}, nullptr, "not enough parameters"},
        {{"add", "-x", "a", f}, nullptr, "invalid option -x for add"},
        {{"add", "-name", f}, nullptr, "invalid option -name for add"},
        {{"add", "a"}, &empty, "no input"},
        {{"add", "a", d.dir.path("z")}, nullptr, "empty file " + d.dir.path("z")},
        {{"add", "a", none}, nullptr, "can't open file " + none},
        {{"add", "a", d.dir.dir()}, nullptr, "can't open file " + d.dir.dir()},
        {{"export"}, nullptr, "not enough parameters"},
        {{"export", "nope", none}, nullptr, "file nope not found"},
        {{"export", "F", "/proc/nope/x"}, nullptr, "can't write to file /proc/nope/x"},
        {{"remove", "nope"}, nullptr, "file nope not found"},
        {{"cat", "nope"}, nullptr, "file nope not found"},
    };
    for (const Case &c : cases) {
        RunResult rr = d.run(c.words, c.in);
        EXPECT_EQ(rr.status, 1) << c.err;
        EXPECT_EQ(rr.err, "qxtool: error: " + c.err + "\n");
    }
    EXPECT_EQ(list_of(d.img).size(), 2u);
}

TEST(AddExport, HostFileOf4GiBIsRefusedBeforeAnythingIsWritten) {
    Disk d(4, 16128, 100);
    std::string big = d.dir.path("big");
    make_blank(big, 8388608);  // 4 GiB, sparse
    std::vector<uint8_t> before = read_file(d.img);
    EXPECT_EQ(d.run({"add", "-e", "big", big}).err, "qxtool: error: file " + big + " too large\n");
    EXPECT_TRUE(read_file(d.img) == before);
}

TEST(AddExport, ExportToStdoutAndIntoNewDirectories) {
    Disk d;
    std::vector<uint8_t> data = pattern_bytes(70000, 9);
    ASSERT_EQ(d.run({"add", "f", d.file("f", data)}).status, 0);
    RunResult r = d.run({"export", "f"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(data.begin(), data.end()));
    EXPECT_EQ(r.err, "");
    std::string deep = d.dir.path("a/b/c.bin");
    ASSERT_EQ(d.run({"export", "f", deep}).status, 0) << deep;
    EXPECT_EQ(read_file(deep), data);
}

TEST(Resize, ShrinkGrowCreateAndFill) {
    Disk d(4, 16128, 100);
    std::vector<uint8_t> v = pattern_bytes(1000, 3);
    ASSERT_EQ(d.run({"add", "f", d.file("f", v)}).status, 0);
    uint32_t s0 = d.data_start();
    ASSERT_EQ(d.run({"resize", "f", "100"}).status, 0);
    std::vector<Item> l = list_of(d.img);
    EXPECT_EQ(l[0].size, 100u);
    EXPECT_EQ(l[0].start, s0);
    ASSERT_EQ(d.run({"resize", "f", "100"}).status, 0);
    ASSERT_EQ(d.run({"resize", "-f", "0x41", "f", "1100"}).status, 0);
    std::vector<uint8_t> want(v.begin(), v.begin() + 100);
    want.resize(1100, 'A');
    EXPECT_EQ(exported(d, "f"), want);
    // Fill forms: one character, a number, a number with a leading 0.
    struct Case { const char *fill; uint8_t byte; } fills[] = {{"0", '0'}, {"00", 0}, {"0x41", 'A'}, {"9", '9'}, {"65", 'A'}};
    for (const Case &c : fills) {
        ASSERT_EQ(d.run({"resize", "--fill", c.fill, "n", "1021"}).status, 0);
        EXPECT_EQ(exported(d, "n"), std::vector<uint8_t>(1021, c.byte)) << c.fill;
        ASSERT_EQ(d.run({"remove", "n"}).status, 0);
    }
    // A new 1,021-byte primary item takes 3 sectors with their marks.
    ASSERT_EQ(d.run({"resize", "n", "1021"}).status, 0);
    l = list_of(d.img);
    ASSERT_EQ(l.size(), 2u);
    std::vector<uint8_t> secs = read_sectors(d.img, l[1].start, 3);
    for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(get16(&secs[i * 512 + 510]), l[1].start + i);
    ASSERT_EQ(d.run({"resize", "-e", "x", "600"}).status, 0);
    EXPECT_EQ(list_of(d.img)[2].start, 16128u);

    struct Err { std::vector<std::string> w; std::string err; } errs[] = {
        {{"resize", "f"}, "not enough parameters"},
        {{"resize", "f", "0"}, "invalid size"},
        {{"resize", "f", "abc"}, "invalid size"},
        {{"resize", "-f"}, "no parameter for -f"},
        {{"resize", "-q", "f", "1"}, "invalid option -q for resize"},
    };
    for (const Err &e : errs) EXPECT_EQ(d.run(e.w).err, "qxtool: error: " + e.err + "\n");
}

TEST(Resize, GrowingStaysInItsArea) {
    // 4 primary sectors, all used by a and b; the extended area has room.
    Disk d(1, 63 + 1 + 4 + 1 + 4, 100);
    ASSERT_EQ(d.run({"resize", "a", "1020"}).status, 0);
    ASSERT_EQ(d.run({"resize", "b", "1020"}).status, 0);
    EXPECT_EQ(d.run({"resize", "a", "1021"}).err, "qxtool: error: not enough space\n");
    // Growing b to 3 sectors fits only over its own old sectors: refused,
    // b keeps its data. Once a is gone it grows from a's old place.
    ASSERT_EQ(d.run({"remove", "a"}).status, 0);
    EXPECT_EQ(d.run({"resize", "-f", "B", "b", "1530"}).err,
              "qxtool: error: not enough space to keep the old data while it is replaced\n");
    EXPECT_EQ(exported(d, "b"), std::vector<uint8_t>(1020, 0));
    ASSERT_EQ(d.run({"resize", "b", "510"}).status, 0);
    ASSERT_EQ(d.run({"pack"}).status, 0);
    ASSERT_EQ(d.run({"resize", "-f", "B", "b", "1530"}).status, 0);
    std::vector<Item> l = list_of(d.img);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].start, d.data_start());  // grown in place after the pack
    std::vector<uint8_t> want(510, 0);
    want.resize(1530, 'B');
    EXPECT_EQ(exported(d, "b"), want);
}

TEST(CopyMove, CopyKeepsTimeMoveRenamesInPlace) {
    Disk d;
    std::string f = d.file("f", pattern_bytes(2000, 1));
    struct utimbuf t = {1000000, 1000000};
    utime(f.c_str(), &t);
    ASSERT_EQ(d.run({"add", "a", f}).status, 0);
    ASSERT_EQ(d.run({"add", "z", d.file("g", {1, 2})}).status, 0);
    ASSERT_EQ(d.run({"copy", "a", "b"}).status, 0);
    std::vector<Item> l = list_of(d.img);
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[2].name, "b");
    EXPECT_EQ(l[2].time, 1000000u);
    EXPECT_EQ(exported(d, "b"), pattern_bytes(2000, 1));
    // copy A A and move A a remove NEW first, then miss OLD: nothing stored.
    std::vector<uint8_t> before = read_file(d.img);
    EXPECT_EQ(d.run({"copy", "a", "a"}).err, "qxtool: error: file a not found\n");
    EXPECT_EQ(d.run({"move", "a", "A"}).err, "qxtool: error: file a not found\n");
    EXPECT_TRUE(read_file(d.img) == before);
    // A longer name moves the items after it within the list.
    ASSERT_EQ(d.run({"move", "/a", "a-much-longer-name"}).status, 0);
    l = list_of(d.img);
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].name, "a-much-longer-name");
    EXPECT_EQ(l[0].time, 1000000u);
    EXPECT_EQ(l[1].name, "z");
    EXPECT_EQ(exported(d, "z"), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(exported(d, "a-much-longer-name"), pattern_bytes(2000, 1));
    // Names starting with '-' are names here.
    ASSERT_EQ(d.run({"move", "z", "-z"}).status, 0);
    EXPECT_EQ(d.run({"cat", "-z"}).status, 0);
    EXPECT_EQ(d.run({"move", "-z"}).err, "qxtool: error: not enough parameters\n");
    EXPECT_EQ(d.run({"copy", "-z"}).err, "qxtool: error: not enough parameters\n");
    EXPECT_EQ(d.run({"move", "-z", std::string(241, 'x')}).err, "qxtool: error: file item too long\n");
}

TEST(Cat, TextUpToTheFirstZeroByteAndSizeLimit) {
    Disk d(4, 16128, 200);
    std::string s = "title x\0hidden";
    ASSERT_EQ(d.run({"add", "t", d.file("t", std::vector<uint8_t>(s.begin(), s.begin() + 14))}).status, 0);
    RunResult r = d.run({"cat", "T"});
    EXPECT_EQ(r.out, "title x\n");
    // 32,768 bytes is the limit, in either area.
    for (bool ext : {false, true}) {
        std::vector<uint8_t> v(32768, 'q');
        std::vector<std::string> w = {"add", "m", d.file("m", v)};
        if (ext) w.insert(w.begin() + 1, "-e");
        ASSERT_EQ(d.run(w).status, 0);
        r = d.run({"cat", "m"});
        EXPECT_EQ(r.out, std::string(32768, 'q') + "\n") << ext;
        v.push_back('q');
        w.back() = d.file("m", v);
        ASSERT_EQ(d.run(w).status, 0);
        EXPECT_EQ(d.run({"cat", "m"}).err, "qxtool: error: file m too large\n");
    }
}

TEST(SaveBuff, StoresFromMemoryAndLoadBuffReadsBack) {
    Disk d(4, 16128, 100);
    for (bool ext : {false, true})
        for (uint32_t size : {1u, 510u, 511u, 32768u}) {
            std::vector<uint8_t> v = pattern_bytes(size, size), copy = v;
            reset_globals();
            xd_t *xd = xd_open(d.img.c_str(), 1);
            open_store(xd, 1, true);
            uint8_t *it = save_buff(xd, "m", v.data(), size, ext);
            EXPECT_EQ(get32(it + item::START) >= 16128, ext);
            EXPECT_EQ(v, copy);  // the caller's buffer is left as it was
            static uint8_t buf[LOAD_BUFF_ROOM];
            ASSERT_EQ(load_buff(xd, "/M", buf), size);
            EXPECT_EQ(0, memcmp(buf, v.data(), size)) << size << ext;
            EXPECT_EQ(buf[size], 0);
            write_header(xd);
            xd_close(xd);
            EXPECT_EQ(exported(d, "m"), v);
        }
}
