// Every command that changes a store, cut off by a power failure at every
// instant that matters: each state the disk or archive can be left in must
// read as the old store or the new one, with every file intact and the data
// partition untouched, both to the tool and to the boot program (which reads
// the list without the tool's repairs). QX_CRASH_SCALE=10 checks ten times
// as many states; QX_CRASH_SEED picks other random orders; QX_CRASH_TRACE
// prints the recorded writes and flushes.
#include "common.h"
#include "fixture.h"
#include "layout.h"
#include "replay.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A QX image with a small list area, short primary and extended areas and
// a data partition full of known bytes, filled with items.
struct Disk {
    ScratchDir dir;
    std::string img;
    QxGeometry g;
    int files = 0;

    Disk(uint32_t list, uint32_t pri_data, uint32_t ext, bool debug = false, const uint8_t *program = nullptr) {
        img = dir.path("disk.img");
        g.debug = debug;
        g.program = program;
        g.list = list;
        g.pri = 63 + 1 + 4 + list + pri_data;
        g.ext = ext;
        g.total = uint64_t(g.pri) + ext + 64;
        build_qx_image(img, g);
        write_sectors(img, g.pri + ext, pattern_bytes(64 * 512, 99));
    }
    std::string file(const std::vector<uint8_t> &v) {
        std::string p = dir.path("in" + std::to_string(files++));
        write_file(p, v);
        return p;
    }
    void run(std::vector<std::string> w) {
        w.insert(w.begin(), img);
        RunResult r = run_tool(w);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    void add(const std::string &name, size_t size, bool extended = false) {
        if (extended) run({"add", "-e", name, file(pattern_bytes(size, uint32_t(files) + 7))});
        else run({"add", name, file(pattern_bytes(size, uint32_t(files) + 7))});
    }
};

// Names long enough that 18 items take two list sectors.
std::string long_name(int i) { return "boot/images/loader-" + std::to_string(100 + i) + ".bin"; }

// A store whose list fits one sector: four items, one of them extended.
void fill_small(Disk &d) {
    d.add("a.bin", 3000);
    d.add("b.bin", 700);
    d.add("c.bin", 1500, true);
    d.add("qx.cfg", 60);
}

// A store of 18 items whose list takes two sectors, in both areas.
void fill_large(Disk &d) {
    for (int i = 0; i < 18; i++) d.add(long_name(i), 400 + 170 * size_t(i), i % 5 == 4);
}

struct Row {
    std::string label;
    std::vector<std::string> words;
    ReplayOptions opt;
};

void expect_intact(const std::string &img, const std::vector<Row> &rows, const std::string &watched = "") {
    for (const Row &r : rows) {
        ReplayResult res = replay(r.label, img, r.words, r.opt, watched);
        std::string s, b;
        for (const std::string &x : res.samples) s += "\n  " + x;
        for (const std::string &x : res.boot_samples) b += "\n  " + x;
        EXPECT_EQ(res.broken, 0u) << r.label << ": " << res.broken << " of " << res.states << " states broken:" << s;
        EXPECT_EQ(res.boot_broken, 0u) << r.label << ": " << res.boot_broken << " of " << res.states
                                       << " states misread at boot:" << b;
        EXPECT_GE(res.states, 2u) << r.label << ": the command left nothing to cut";
    }
}

ReplayOptions mid_lists() {
    ReplayOptions o;
    o.mid_lists = true;
    return o;
}

// A command that reads n bytes from standard input.
ReplayOptions piped(size_t n) {
    ReplayOptions o;
    o.has_input = true;
    std::vector<uint8_t> v = pattern_bytes(n, 61);
    o.input.assign(v.begin(), v.end());
    return o;
}

// The file commands on a one-sector list and on a list of several.
std::vector<Row> file_rows(Disk &d, bool large, bool list_rewrites) {
    std::string k = large ? " (2-sector list)" : " (1-sector list)";
    std::string a = large ? long_name(2) : "a.bin", b = large ? long_name(9) : "b.bin";
    std::string e = large ? long_name(4) : "c.bin";
    std::string menu = d.dir.path("menu.txt");
    write_file(menu, {'d', 'e', 'f', 'a', 'u', 'l', 't', ' ', '0', '\n'});
    if (list_rewrites)
        return {
            {"add replace" + k, {"add", a, d.file(pattern_bytes(2000, 2))}, {}},
            {"remove" + k, {"remove", a}, {}},
            {"copy over an item" + k, {"copy", b, a}, {}},
            {"clear" + k, {"clear"}, {}},
        };
    return {
        {"add new" + k, {"add", "new.bin", d.file(pattern_bytes(2600, 1))}, {}},
        {"add extended" + k, {"add", "-e", "ext.bin", d.file(pattern_bytes(1800, 3))}, {}},
        {"move" + k, {"move", b, "renamed.bin"}, {}},
        {"copy" + k, {"copy", a, "copied.bin"}, {}},
        {"resize grow" + k, {"resize", b, "5000"}, {}},
        {"resize shrink" + k, {"resize", a, "300"}, {}},
        {"resize extended" + k, {"resize", "-e", e, "4000"}, {}},
        {"add-menu" + k, {"add-menu", "qx.cfg", menu}, {}},
        {"add from standard input" + k, {"add", "piped.bin"}, piped(5000)},
    };
}

}  // namespace

TEST(Crash, FileCommandsOnAOneSectorList) {
    Disk d(4, 300, 120);
    fill_small(d);
    std::vector<Row> rows = file_rows(d, false, false), more = file_rows(d, false, true);
    rows.insert(rows.end(), more.begin(), more.end());
    expect_intact(d.img, rows);
}

TEST(Crash, FileCommandsOnAListOfSeveralSectors) {
    Disk d(4, 300, 120);
    fill_large(d);
    expect_intact(d.img, file_rows(d, true, false));
}

TEST(Crash, ListRewritesOnAListOfSeveralSectors) {
    Disk d(4, 300, 120);
    fill_large(d);
    expect_intact(d.img, file_rows(d, true, true));
}

// A list area of eight sectors has room for the commit record's copy of a
// two-sector list after the list itself (with four it goes to a data area).
TEST(Crash, ListRewritesWithTheCopyInTheListArea) {
    Disk d(8, 300, 120);
    fill_large(d);
    expect_intact(d.img, file_rows(d, true, true));
}

// A list written the way earlier builds could leave it, filling all four
// sectors of its area, the commit record's sector included: every change
// goes through a record that covers the list's own last sector.
TEST(Crash, FileCommandsOnAListThatFillsItsArea) {
    Disk d(4, 300, 120);
    std::vector<RawItem> items;
    for (int i = 0; i < 44; i++)
        items.push_back({"file-" + std::to_string(100 + i) + "-abcdefghijklmnopqrstu", pattern_bytes(300, uint32_t(i))});
    write_raw_list(d.img, d.g, items);
    expect_intact(d.img, {
                             {"full list: remove", {"remove", items[5].name}, {}},
                             {"full list: add", {"add", "n", d.file(pattern_bytes(2600, 1))}, {}},
                             {"full list: move", {"move", items[8].name, "m"}, {}},
                             {"full list: copy", {"copy", items[9].name, "c"}, {}},
                             {"full list: resize", {"resize", items[0].name, "5000"}, {}},
                         });
}

namespace {

// Primary area of 40 sectors holding 36 of them; extended area of 30
// holding 12: a primary item of 20 sectors fits only in place of p2, an
// extended one of 30 only in place of e1.
struct FullDisk : Disk {
    FullDisk() : Disk(1, 40, 30) {
        add("p1", 510 * 20);
        add("p2", 510 * 16);
        add("e1", 512 * 12, true);
    }
};

}  // namespace

// The boot record program replaced: between the release and the debug
// variant (which share stage 2), and from another build whose sector 0 and
// stage 2 go with no other build's. Every state boots a program of one
// build, and the update run again from it ends at the same disk.
TEST(Crash, BootCodeUpdate) {
    const std::vector<uint8_t> shifted = read_file(QX_SHIFTED_BOOT);
    ReplayOptions o;
    o.programs = {std::vector<uint8_t>(qx_mbr_rel, qx_mbr_rel + MBR_IMAGE_SIZE),
                  std::vector<uint8_t>(qx_mbr_dbg, qx_mbr_dbg + MBR_IMAGE_SIZE), shifted};
    struct Case {
        const char *label;
        bool debug;
        const uint8_t *program;
        std::vector<std::string> words;
    } cases[] = {
        {"update release to debug", false, nullptr, {"--debug", "update"}},
        {"update debug to release", true, nullptr, {"update"}},
        {"update another build to release", false, shifted.data(), {"update"}},
        {"update another build to debug", false, shifted.data(), {"--debug", "update"}},
    };
    for (const Case &c : cases) {
        Disk d(4, 300, 120, c.debug, c.program);
        fill_large(d);
        o.redo = c.words;
        expect_intact(d.img, {{c.label, c.words, o}});
    }
}

TEST(Crash, OverflowIntoTheExtendedAreaAndFillingIt) {
    FullDisk d;
    expect_intact(d.img, {
        {"add overflowing into the extended area", {"add", "big", d.file(pattern_bytes(510 * 8, 1))}, {}},
        {"add filling the extended area", {"add", "-e", "e2", d.file(pattern_bytes(512 * 18, 3))}, {}},
    });
}

// Where the old item's place is the only room, no order of writes keeps
// either the old or the new bytes under the name: the replace is refused
// before it writes anything. With room beside the old item, the old item
// stays whole until the list names the new one.
TEST(Crash, ReplaceInAFullArea) {
    FullDisk d;
    const std::vector<uint8_t> before = read_file(d.img);
    const std::vector<std::vector<std::string>> refused = {
        {d.img, "add", "p2", d.file(pattern_bytes(510 * 20, 2))},
        {d.img, "add", "-e", "e1", d.file(pattern_bytes(512 * 30, 4))},
    };
    for (const auto &w : refused) {
        EXPECT_EQ(run_tool(w).err, "qxtool: error: not enough space to keep the old data while it is replaced\n");
        EXPECT_EQ(read_file(d.img), before);
    }
    expect_intact(d.img, {
        {"replace into the last free primary sectors", {"add", "p1", d.file(pattern_bytes(510 * 4, 5))}, {}},
        {"replace beside the old item in the extended area", {"add", "-e", "e1", d.file(pattern_bytes(512 * 18, 6))},
         {}},
    });
}

namespace {

// A version-3 loader: "SYSLINUX" at 514, its version at 523 and the
// signature its patch looks for at 528.
std::vector<uint8_t> loader(uint32_t size) {
    std::vector<uint8_t> v = pattern_bytes(size, size);
    memcpy(&v[514], "SYSLINUX", 8);
    v[523] = '3';
    for (uint32_t o = 512; o <= 1020; o += 4)
        if (get32(&v[o]) == 0x3EB202FE) put32(&v[o], 0);
    put32(&v[528], 0x3EB202FE);
    return v;
}

// A loader in the extended area between a gap and another item.
struct LoaderDisk : Disk {
    LoaderDisk() : Disk(4, 100, 200) {
        fill_small(*this);
        run({"add", "-s", "ldlinux.bin", file(loader(4000))});
        add("after.bin", 2000, true);
        run({"remove", "c.bin"});
    }
};

}  // namespace

TEST(Crash, Pack) {
    for (int large = 0; large < 2; large++) {
        Disk d(4, 300, 200);
        // Small and large items after large and small gaps, in both areas:
        // some new places cover the old places of items moved before them.
        int n = large ? 9 : 3;
        for (int i = 0; i < n; i++) {
            d.add("gap" + std::to_string(i), i % 2 ? 1500 : 6000);
            d.add(large ? long_name(i) : "f" + std::to_string(i), i % 2 ? 6000 : 1500);
            d.add("egap" + std::to_string(i), 600, true);
            d.add("e" + std::to_string(i), 2500 + 100 * size_t(i), true);
        }
        for (int i = 0; i < n; i++) {
            d.run({"remove", "gap" + std::to_string(i)});
            d.run({"remove", "egap" + std::to_string(i)});
        }
        ReplayOptions o = mid_lists();
        o.budget = 400;
        expect_intact(d.img, {{large ? "pack (2-sector list)" : "pack (1-sector list)", {"pack"}, o}});
    }
    LoaderDisk d;
    expect_intact(d.img, {{"pack moving a loader", {"pack"}, mid_lists()}});
}

TEST(Crash, Load) {
    ScratchDir a;
    Disk d(4, 300, 200);
    fill_large(d);
    std::string ar = a.path("a.qxa");
    ASSERT_EQ(run_tool({ar, "create", "-l", "1020"}).status, 0);
    for (int i = 0; i < 4; i++) {
        std::string name = i ? "new" + std::to_string(i) : long_name(5);
        ASSERT_EQ(run_tool({ar, "add", name, d.file(pattern_bytes(900 * size_t(i + 1), 40 + uint32_t(i)))}).status, 0);
    }
    expect_intact(d.img, {{"load (replacing one item)", {"load", ar}, {}}});
}

namespace {

// An archive saved from a store of 18 items (a two-sector list), and a
// small one made by create and add.
struct Archives {
    ScratchDir a;
    Disk d{4, 300, 200};
    std::string big = a.path("big.qxa"), small = a.path("small.qxa");
    Archives() {
        fill_large(d);
        EXPECT_EQ(run_tool({d.img, "save", big}).status, 0);
        EXPECT_EQ(run_tool({small, "create", "-l", "510"}).status, 0);
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(run_tool({small, "add", "s" + std::to_string(i), d.file(pattern_bytes(700 + 900 * size_t(i), 50 + uint32_t(i)))})
                          .status,
                      0);
    }
};

}  // namespace

TEST(Crash, AddToAnArchiveAndSaveOverOne) {
    Archives t;
    expect_intact(t.big, {{"archive: add", {"add", "added.bin", t.d.file(pattern_bytes(3000, 5))}, {}}});
    expect_intact(t.big, {{"archive: save over another archive", {"save", t.small}, {}}}, t.small);
    expect_intact(t.d.img, {{"save from a disk over an archive", {"save", t.small}, {}}}, t.small);
}

// An archive with another hard link, or in a directory that takes no new
// file, is rewritten where it lies: its links and mode stay. The new archive
// is larger than the old one, then smaller.
namespace {

void save_in_place(const ReplayOptions &o, const std::string &how) {
    Archives t;
    expect_intact(t.d.img, {{"save " + how, {"save", t.small}, o}}, t.small);
    expect_intact(t.small, {{"save a smaller archive " + how, {"save", t.big}, o}}, t.big);
}

}  // namespace

TEST(Crash, SaveInPlaceOverAHardLinkedArchive) {
    ReplayOptions o;
    o.linked = true;
    save_in_place(o, "over a hard-linked archive");
}

TEST(Crash, SaveInPlaceInAReadOnlyDirectory) {
    ReplayOptions o;
    o.readonly_dir = true;
    save_in_place(o, "in a read-only directory");
}

TEST(Crash, ArchiveListRewritesAndTruncation) {
    Archives t;
    expect_intact(t.big, {
        {"archive: replace", {"add", long_name(1), t.d.file(pattern_bytes(3000, 6))}, {}},
        {"archive: remove the last item", {"remove", long_name(14)}, {}},
        {"archive: clear", {"clear"}, {}},
    });
}

TEST(Crash, CreateOverAnArchive) {
    Archives t;
    expect_intact(t.big, {{"archive: create over it", {"create", "-l", "510"}, {}}});
}

TEST(Crash, FormatOverAStore) {
    ScratchDir s;
    std::string img = s.path("disk.img"), in = s.path("in");
    make_blank(img, 26000);
    ASSERT_EQ(run_tool({img, "format", "-l", "2040", "-e", "200"}).status, 0);
    for (int i = 0; i < 18; i++) {
        write_file(in, pattern_bytes(400 + 170 * size_t(i), uint32_t(i)));
        std::vector<std::string> w{img, "add", long_name(i), in};
        if (i % 5 == 4) w.insert(w.begin() + 2, "-e");
        ASSERT_EQ(run_tool(w).status, 0);
    }
    ReplayOptions o;
    o.partition_changes = true;
    o.budget = 60;
    expect_intact(img, {
        {"format over a store", {"format", "-l", "2040", "-e", "200"}, o},
        {"format over a store, other list size", {"format", "-l", "1020"}, o},
    });
}

TEST(Crash, SyslinuxLoaderAddedOrMovedByResize) {
    LoaderDisk d;
    expect_intact(d.img, {
        {"add a loader", {"add", "-s", "second.bin", d.file(loader(5000))}, {}},
        {"resize a loader", {"resize", "ldlinux.bin", "6000"}, {}},
    });
}

TEST(Crash, SyslinuxLoaderShrunk) {
    LoaderDisk d;
    expect_intact(d.img, {{"resize a loader smaller", {"resize", "ldlinux.bin", "3000"}, {}}});
}
