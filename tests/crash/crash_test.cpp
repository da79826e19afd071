// Every command that changes a store, cut off by a power failure at every
// instant that matters: each state the disk or archive can be left in must
// read as the old store or the new one, with every file intact and the data
// partition untouched. QX_CRASH_SCALE=10 checks ten times as many states;
// QX_CRASH_SEED picks other random orders.
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

    Disk(uint32_t list, uint32_t pri_data, uint32_t ext) {
        img = dir.path("disk.img");
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
        std::string s;
        for (const std::string &x : res.samples) s += "\n  " + x;
        for (const std::string &x : res.boot_samples) printf("crash: boot view: %s\n", x.c_str());
        EXPECT_EQ(res.broken, 0u) << r.label << ": " << res.broken << " of " << res.states << " states broken:" << s;
        EXPECT_GE(res.states, 2u) << r.label << ": the command left nothing to cut";
    }
}

ReplayOptions mid_lists() {
    ReplayOptions o;
    o.mid_lists = true;
    return o;
}

}  // namespace

TEST(Crash, AddNewReplaceAndExtended) {
    for (int large = 0; large < 2; large++) {
        Disk d(4, 300, 120);
        large ? fill_large(d) : fill_small(d);
        std::string k = large ? "add (2-sector list) " : "add (1-sector list) ";
        std::string old = large ? long_name(3) : "b.bin";
        expect_intact(d.img, {
            {k + "new", {"add", "new.bin", d.file(pattern_bytes(2600, 1))}, {}},
            {k + "replace", {"add", old, d.file(pattern_bytes(2000, 2))}, {}},
            {k + "extended", {"add", "-e", "ext.bin", d.file(pattern_bytes(1800, 3))}, {}},
        });
    }
}

TEST(Crash, RemoveMoveCopyResizeClearAndMenus) {
    for (int large = 0; large < 2; large++) {
        Disk d(4, 300, 120);
        large ? fill_large(d) : fill_small(d);
        std::string k = large ? " (2-sector list)" : " (1-sector list)";
        std::string a = large ? long_name(2) : "a.bin", b = large ? long_name(9) : "b.bin";
        std::string e = large ? long_name(4) : "c.bin";
        std::string menu = d.dir.path("menu.txt");
        write_file(menu, {'d', 'e', 'f', 'a', 'u', 'l', 't', ' ', '0', '\n'});
        expect_intact(d.img, {
            {"remove" + k, {"remove", a}, {}},
            {"move" + k, {"move", b, "renamed.bin"}, {}},
            {"copy" + k, {"copy", a, "copied.bin"}, {}},
            {"copy over an item" + k, {"copy", b, a}, {}},
            {"resize grow" + k, {"resize", b, "5000"}, {}},
            {"resize shrink" + k, {"resize", a, "300"}, {}},
            {"resize extended" + k, {"resize", "-e", e, "4000"}, {}},
            {"clear" + k, {"clear"}, {}},
            {"add-menu" + k, {"add-menu", "qx.cfg", menu}, {}},
        });
    }
}
