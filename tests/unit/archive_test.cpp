// Archive files: save, load and create, archive mode on the archive file
// itself, and archives built by hand to show damaged or unusual lists.
#include "commands.h"
#include "common.h"
#include "filestore.h"
#include "fixture.h"
#include "layout.h"
#include "xdio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <unistd.h>
#include <string>
#include <sys/stat.h>

namespace {

std::string err(const std::string &m) { return "qxtool: error: " + m + "\n"; }

RunResult tool(const std::string &target, std::vector<std::string> w, const std::string *in = nullptr) {
    w.insert(w.begin(), target);
    return run_tool(w, in);
}

uint64_t file_size(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

struct ArItem {
    std::string name;
    uint8_t flags;
    std::vector<uint8_t> data;
    uint32_t start;  // 0: next free sector after the previous item
};

// Writes an archive by hand: header, n marked list sectors, data.
void make_archive(const std::string &path, uint32_t n, const std::vector<ArItem> &items, uint8_t major = 1,
                  uint8_t minor = 6, bool terminate = true) {
    std::vector<uint8_t> list(size_t(n) * 512, 0);
    size_t ofs = 0;
    uint32_t next = n + 1;
    std::vector<std::pair<uint32_t, const std::vector<uint8_t> *>> data;
    for (const ArItem &it : items) {
        uint32_t start = it.start ? it.start : next;
        list[ofs] = uint8_t(it.name.size() + 13);
        list[ofs + 1] = it.flags;
        put32(&list[ofs + 2], start);
        put32(&list[ofs + 6], uint32_t(it.data.size()));
        put32(&list[ofs + 10], 1234567);
        memcpy(&list[ofs + 14], it.name.c_str(), it.name.size() + 1);
        ofs += it.name.size() + 15;
        data.emplace_back(start, &it.data);
        next = start + uint32_t((it.data.size() + 511) / 512);
    }
    if (!terminate) {
        // Items of 255 bytes up to the very end: no room for a terminator.
        while (ofs < size_t(n) * 510) {
            size_t len = std::min<size_t>(255, size_t(n) * 510 - ofs);
            list[ofs] = uint8_t(len - 2);
            memset(&list[ofs + 14], 'z', len - 15);
            list[ofs + len - 1] = 0;
            ofs += len;
        }
    }
    if (n) add_mark(list.data(), n, 1, uint32_t(std::min(ofs, size_t(n) * 510)));
    std::vector<uint8_t> hdr(512, 0);
    memcpy(hdr.data(), "QXAR", 4);
    hdr[4] = major;
    hdr[5] = minor;
    put16(&hdr[6], 1);
    put16(&hdr[8], n);
    put16(&hdr[10], 16384);
    put32(&hdr[12], 204800);
    hdr.insert(hdr.end(), list.begin(), list.end());
    write_file(path, hdr);
    for (auto &d : data)
        if (!d.second->empty()) write_sectors(path, d.first, *d.second);
}

struct Entry {
    uint8_t flags;
    uint32_t start, size;
    std::string name;
};

std::vector<Entry> entries(const std::string &target) {
    std::vector<Entry> out;
    reset_globals();
    xd_t *xd = xd_open(target.c_str(), 1);
    try {
        open_store(xd, 1, true);
        for (int o = 0; qx_list[o]; o = next_item(qx_list, o))
            out.push_back({qx_list[o + 1], get32(qx_list + o + 2), get32(qx_list + o + 6),
                           reinterpret_cast<const char *>(qx_list + o + 14)});
    } catch (const Fatal &e) {
        ADD_FAILURE() << e.what();
    }
    xd_close(xd);
    return out;
}

std::vector<uint8_t> export_of(const std::string &target, const std::string &name, const TempDir &dir) {
    std::string out = dir.path("exp.bin");
    RunResult r = tool(target, {"export", name, out});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    return r.status == 0 ? read_file(out) : std::vector<uint8_t>{};
}

// A disk with a primary area and a 2,000-sector extended area.
std::string make_disk(const TempDir &dir, const std::string &name, uint32_t list = 896) {
    QxGeometry g;
    g.list = list;
    g.ext = 2000;
    g.total = 16128 + 2000 + 100;
    std::string p = dir.path(name);
    build_qx_image(p, g);
    return p;
}

}  // namespace

TEST(Archive, SaveLaysOutHeaderListAndPaddedData) {
    TempDir dir;
    std::string disk = make_disk(dir, "d.img");
    std::vector<uint8_t> a = pattern_bytes(1, 1), b = pattern_bytes(512, 2), c = pattern_bytes(1021, 3);
    write_file(dir.path("a"), a);
    write_file(dir.path("b"), b);
    write_file(dir.path("c"), c);
    ASSERT_EQ(tool(disk, {"add", "a", dir.path("a")}).status, 0);
    ASSERT_EQ(tool(disk, {"add", "-e", "b", dir.path("b")}).status, 0);
    ASSERT_EQ(tool(disk, {"add", "c", dir.path("c")}).status, 0);  // primary: 510-byte units
    std::string ar = dir.path("x.qxa");
    RunResult r = tool(disk, {"save", "-l", "1000", ar});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    // Header: magic, version, list used 1, 2 list sectors, the disk's sizes.
    std::vector<uint8_t> h = read_sectors(ar, 0, 1);
    EXPECT_EQ(hex(std::vector<uint8_t>(h.begin(), h.begin() + 16)), "51 58 41 52 01 06 01 00 02 00 00 3F D0 07 00 00");
    EXPECT_TRUE(std::all_of(h.begin() + 16, h.end(), [](uint8_t x) { return x == 0; }));
    // Items in list order, back to back from sector 3, each padded.
    std::vector<Entry> e = entries(ar);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].name, "a");
    EXPECT_EQ(e[0].start, 3u);
    EXPECT_EQ(e[1].name, "c");
    EXPECT_EQ(e[1].start, 4u);
    EXPECT_EQ(e[2].name, "b");
    EXPECT_EQ(e[2].start, 6u);
    EXPECT_EQ(e[2].flags, item::F_EXTENDED);
    EXPECT_EQ(file_size(ar), 7u * 512);
    std::vector<uint8_t> s = read_sectors(ar, 3, 3);
    EXPECT_EQ(s[0], a[0]);
    EXPECT_TRUE(std::all_of(s.begin() + 1, s.begin() + 512, [](uint8_t x) { return x == 0; }));
    EXPECT_EQ(0, memcmp(&s[512], c.data(), 1021));  // same bytes, now in 512-byte units
    EXPECT_TRUE(std::all_of(s.begin() + 512 + 1021, s.end(), [](uint8_t x) { return x == 0; }));
    std::vector<uint8_t> sb = read_sectors(ar, 6, 1);
    EXPECT_EQ(sb, b);

    // An empty store: header and list only.
    std::string empty_disk = make_disk(dir, "e.img");
    ASSERT_EQ(tool(empty_disk, {"save", dir.path("e.qxa")}).status, 0);
    EXPECT_EQ(file_size(dir.path("e.qxa")), 897u * 512);
    EXPECT_EQ(get16(&read_sectors(dir.path("e.qxa"), 0, 1)[6]), 1);
}

TEST(Archive, SaveThenLoadOntoAnotherDisk) {
    TempDir dir;
    std::string src = make_disk(dir, "s.img"), dst = make_disk(dir, "t.img");
    std::vector<std::vector<uint8_t>> data = {pattern_bytes(3000, 1), pattern_bytes(700, 2), pattern_bytes(9000, 3)};
    for (size_t i = 0; i < data.size(); i++) write_file(dir.path("f" + std::to_string(i)), data[i]);
    ASSERT_EQ(tool(src, {"add", "one", dir.path("f0")}).status, 0);
    ASSERT_EQ(tool(src, {"add", "-e", "two", dir.path("f1")}).status, 0);
    ASSERT_EQ(tool(src, {"add", "three", dir.path("f2")}).status, 0);
    ASSERT_EQ(tool(src, {"save", dir.path("a.qxa")}).status, 0);
    // The target holds ONE (replaced, any case) and keep (stays).
    std::vector<uint8_t> keep = pattern_bytes(100, 9);
    write_file(dir.path("k"), keep);
    ASSERT_EQ(tool(dst, {"add", "ONE", dir.path("k")}).status, 0);
    ASSERT_EQ(tool(dst, {"add", "keep", dir.path("k")}).status, 0);
    RunResult r = tool(dst, {"load", dir.path("a.qxa")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Entry> e = entries(dst);
    ASSERT_EQ(e.size(), 4u);
    for (const Entry &x : e) {
        if (x.name == "two") {
            EXPECT_GE(x.start, 16128u);  // extended flag: extended area only
            EXPECT_EQ(x.flags, item::F_EXTENDED);
        } else {
            EXPECT_LT(x.start, 16128u) << x.name;
        }
    }
    EXPECT_EQ(export_of(dst, "one", dir), data[0]);
    EXPECT_EQ(export_of(dst, "two", dir), data[1]);
    EXPECT_EQ(export_of(dst, "three", dir), data[2]);
    EXPECT_EQ(export_of(dst, "keep", dir), keep);

    // An item without the extended flag that fits no primary run goes to
    // the extended area.
    QxGeometry g;
    g.list = 4;
    g.pri = 63 + 1 + 4 + 4 + 8;
    g.ext = 100;
    g.total = 2000;
    std::string small = dir.path("small.img");
    build_qx_image(small, g);
    ASSERT_EQ(tool(small, {"load", dir.path("a.qxa")}).status, 0);
    e = entries(small);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].name, "one");
    EXPECT_EQ(e[0].start, 72u);
    EXPECT_EQ(e[1].name, "three");
    EXPECT_EQ(e[1].start, g.pri);  // the run that spans P: from P exactly
    EXPECT_EQ(export_of(small, "three", dir), data[2]);
}

TEST(Archive, ArchiveModeOnTheArchiveFile) {
    TempDir dir;
    std::string ar = dir.path("a.qxa");
    RunResult r = tool(ar, {"create", "-l", "1020", "-e", "100m", "-p", "8m"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file_size(ar), 3u * 512);
    std::vector<uint8_t> h = read_sectors(ar, 0, 1);
    EXPECT_EQ(hex(std::vector<uint8_t>(h.begin(), h.begin() + 16)), "51 58 41 52 01 06 01 00 02 00 00 40 00 20 03 00");
    std::vector<uint8_t> a = pattern_bytes(1500, 1), b = pattern_bytes(600, 2);
    write_file(dir.path("a"), a);
    write_file(dir.path("b"), b);
    ASSERT_EQ(tool(ar, {"add", "a", dir.path("a")}).status, 0);
    ASSERT_EQ(tool(ar, {"add", "b", dir.path("b")}).status, 0);
    std::vector<Entry> e = entries(ar);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].start, 3u);  // plain sectors right after the list
    EXPECT_EQ(e[1].start, 6u);
    EXPECT_EQ(file_size(ar), 8u * 512);
    EXPECT_EQ(export_of(ar, "a", dir), a);
    ASSERT_EQ(tool(ar, {"copy", "a", "c"}).status, 0);
    ASSERT_EQ(tool(ar, {"resize", "c", "100"}).status, 0);
    EXPECT_EQ(export_of(ar, "c", dir), std::vector<uint8_t>(a.begin(), a.begin() + 100));
    // Removing the last item shortens the file; one in the middle does not.
    uint64_t len = file_size(ar);
    ASSERT_EQ(tool(ar, {"remove", "b"}).status, 0);
    EXPECT_EQ(file_size(ar), len);
    ASSERT_EQ(tool(ar, {"remove", "c"}).status, 0);
    EXPECT_EQ(file_size(ar), 6u * 512);
    EXPECT_EQ(tool(ar, {"check"}).err, err("this command can't work with archive"));

    // Saving an archive keeps the sizes its header records for disks, and
    // saving onto the archive being read keeps it whole.
    ASSERT_EQ(tool(ar, {"save", ar}).status, 0);
    h = read_sectors(ar, 0, 1);
    EXPECT_EQ(hex(std::vector<uint8_t>(h.begin() + 8, h.begin() + 16)), "02 00 00 40 00 20 03 00");
    EXPECT_EQ(export_of(ar, "a", dir), a);
    EXPECT_EQ(file_size(ar), 6u * 512);
}

TEST(Archive, CreateOptionsAndSizes) {
    TempDir dir;
    std::string ar = dir.path("c.qxa");
    write_file(ar, pattern_bytes(600000, 1));
    ASSERT_EQ(tool(ar, {"create"}).status, 0);
    EXPECT_EQ(file_size(ar), 459264u);
    std::vector<uint8_t> h = read_sectors(ar, 0, 1);
    EXPECT_EQ(hex(std::vector<uint8_t>(h.begin(), h.begin() + 16)), "51 58 41 52 01 06 01 00 80 03 00 3F 00 00 00 00");
    std::vector<uint8_t> l = read_sectors(ar, 1, 896);
    for (uint32_t i = 0; i < 896; i++) {
        ASSERT_EQ(get16(&l[i * 512 + 510]), i + 1);
        ASSERT_TRUE(std::all_of(&l[i * 512], &l[i * 512 + 510], [](uint8_t x) { return x == 0; }));
    }
    struct Case { std::vector<std::string> w; std::string msg; } cases[] = {
        {{"create", "-p", "16127"}, "primary data size too small"},
        {{"create", "-p", "65536"}, "primary data size too large"},
        {{"create", "-l", "456961"}, "list too large"},
        {{"create", "-l", "0"}, "list too small"},
        {{"create", "-l", "0xFFFFFFFF"}, "list too large"},
        {{"create", "-e"}, "no parameter for -e"},
        {{"create", "-x"}, "invalid option -x for create"},
        {{"create", "-p", "1x"}, "invalid subfix x"},
    };
    for (const Case &c : cases) EXPECT_EQ(tool(dir.path("n.qxa"), c.w).err, err(c.msg)) << c.msg;
}

TEST(Archive, SaveAndLoadErrors) {
    TempDir dir;
    std::string disk = make_disk(dir, "d.img", 3);
    std::string f = dir.path("f");
    write_file(f, {1});
    // Three items of 15 + 200 bytes take more than one list sector.
    for (char c : std::string("abc")) ASSERT_EQ(tool(disk, {"add", std::string(200, c), f}).status, 0);
    std::string none = dir.path("none/x.qxa");
    struct Case { std::vector<std::string> w; std::string msg; } cases[] = {
        {{"save", "-l", "510", dir.path("o.qxa")}, "not enough space for file list"},
        {{"save", "-l", "33422851", dir.path("o.qxa")}, "list too large"},  // 65,536 sectors
        {{"save", "-l"}, "no parameter for -l"},
        {{"save", "-q", "x"}, "invalid option -q for save"},
        {{"save"}, "not enough parameters"},
        {{"save", none}, "can't write to file " + none},
        {{"load"}, "not enough parameters"},
        {{"load", none}, "can't open file " + none},
        {{"load", f}, "file read fails"},
        {{"load", disk}, "can't read the archive " + disk + ": it is the target"},
    };
    for (const Case &c : cases) EXPECT_EQ(tool(disk, c.w).err, err(c.msg)) << c.msg;
    EXPECT_FALSE(std::filesystem::exists(dir.path("o.qxa")));
    // A failed save leaves an existing file as it was.
    write_file(dir.path("keep.qxa"), {9, 9, 9});
    EXPECT_EQ(tool(disk, {"save", "-l", "510", dir.path("keep.qxa")}).status, 1);
    EXPECT_EQ(read_file(dir.path("keep.qxa")), (std::vector<uint8_t>{9, 9, 9}));
    // The largest list that fits the header's field is accepted.
    ASSERT_EQ(tool(disk, {"save", "-l", "33422850", dir.path("big.qxa")}).status, 0);
    EXPECT_EQ(get16(&read_sectors(dir.path("big.qxa"), 0, 1)[8]), 65535);
}

TEST(Archive, DamagedArchivesAreRefusedBeforeTheTargetChanges) {
    TempDir dir;
    std::string disk = make_disk(dir, "d.img");
    std::vector<uint8_t> x = pattern_bytes(2000, 4);
    std::string ar = dir.path("a.qxa");
    struct Case { std::string msg; std::function<void()> make; } cases[] = {
        {"version number not match", [&] { make_archive(ar, 1, {{"x", 0, x, 0}}, 1, 5); }},
        {"invalid file list", [&] { make_archive(ar, 2, {}, 1, 6, false); }},
        {"invalid archive file", [&] { make_archive(ar, 0, {}); }},
        // data past the end of the file, and data inside the list
        {"invalid archive file", [&] { make_archive(ar, 1, {{"x", 0, x, 0}}); truncate(ar.c_str(), 1024 + 1500); }},
        {"invalid archive file", [&] { make_archive(ar, 2, {{"x", 0, x, 2}}); }},
        {"empty file name", [&] { make_archive(ar, 1, {{"ok", 0, x, 0}, {"/", 0, x, 0}}); }},
    };
    std::vector<uint8_t> before = read_file(disk);
    for (const Case &c : cases) {
        c.make();
        EXPECT_EQ(tool(disk, {"load", ar}).err, err(c.msg)) << c.msg;
        EXPECT_TRUE(read_file(disk) == before) << c.msg;
    }
}

TEST(Archive, FarOffsetsAndZeroByteItems) {
    TempDir dir;
    std::string disk = make_disk(dir, "d.img");
    std::string ar = dir.path("far.qxa");
    // An item whose data lies beyond 4 GiB in a sparse archive, and an
    // empty item.
    std::vector<uint8_t> x = pattern_bytes(3000, 5);
    make_archive(ar, 1, {{"empty", 0, {}, 0}, {"far", 0, x, 9000000}});
    RunResult r = tool(disk, {"load", ar});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(export_of(disk, "far", dir), x);
    std::vector<Entry> e = entries(disk);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].name, "empty");
    EXPECT_EQ(e[0].size, 0u);
    EXPECT_EQ(e[0].start, 68u + 896);
    EXPECT_EQ(e[1].start, 68u + 896);
    EXPECT_TRUE(export_of(disk, "empty", dir).empty());
}
