// Failures at every write: for each k, the k-th write of a command fails
// (as a device error or a killed process would stop it there). Afterwards
// a fresh run must read the list on the disk, that list must be the old
// one or the new one, and every item it names must hold its right bytes.
#include "common.h"
#include "filestore.h"
#include "fixture.h"
#include "layout.h"
#include "xdio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>

namespace {

int fault_at = 0, writes = 0;
bool fail_kth(uint32_t, uint32_t) { return ++writes == fault_at; }

struct Entry {
    std::string name;
    uint32_t size;
    uint8_t flags;
    bool operator==(const Entry &o) const { return name == o.name && size == o.size && flags == o.flags; }
};
using Contents = std::map<std::string, std::vector<uint8_t>>;

// The items the list on the disk names, in list order, and their bytes.
bool read_store(const std::string &img, std::vector<Entry> *list, Contents *data, std::string *why) {
    reset_globals();
    xd_t *xd = xd_open(img.c_str(), 1);
    if (!xd) return *why = "open fails", false;
    try {
        open_store(xd, 1, true);
        for (int o = 0; qx_list[o]; o = next_item(qx_list, o)) {
            const uint8_t *it = qx_list + o;
            list->push_back({reinterpret_cast<const char *>(it + item::NAME), item_size(it), it[item::FLAGS]});
        }
    } catch (const Fatal &e) {
        xd_close(xd);
        return *why = e.what(), false;
    }
    xd_close(xd);
    TempDir dir;
    for (const Entry &e : *list) {
        RunResult r = run_tool({img, "export", e.name, dir.path("x")});
        if (r.status) return *why = r.err, false;
        (*data)[e.name] = read_file(dir.path("x"));
    }
    return true;
}

struct Disk {
    TempDir dir;
    std::string img;
    QxGeometry g;
    Disk(uint32_t pri, uint32_t ext) {
        img = dir.path("base.img");
        g.list = 2;
        g.pri = pri;
        g.ext = ext;
        g.total = uint64_t(pri) + ext + 16;
        build_qx_image(img, g);
    }
    std::string file(const std::string &name, const std::vector<uint8_t> &v) {
        write_file(dir.path(name), v);
        return dir.path(name);
    }
    void run(std::vector<std::string> w) {
        w.insert(w.begin(), img);
        RunResult r = run_tool(w);
        ASSERT_EQ(r.status, 0) << r.err;
    }
};

// Runs the command on copies of the image with the k-th write failing,
// for k = 1, 2, ... until it completes, and checks every outcome.
// same_set: a command that only moves data (pack) may store lists between
// the old and the new one; they must name the same items.
void sweep(Disk &d, const std::vector<std::string> &words, bool same_set = false) {
    std::vector<Entry> old_list, new_list;
    Contents old_data, new_data;
    std::string why;
    ASSERT_TRUE(read_store(d.img, &old_list, &old_data, &why)) << why;
    std::string work = d.dir.path("work.img");
    write_file(work, read_file(d.img));
    std::vector<std::string> w = words;
    w.insert(w.begin(), work);
    ASSERT_EQ(run_tool(w).status, 0);
    ASSERT_TRUE(read_store(work, &new_list, &new_data, &why)) << why;
    ASSERT_FALSE(old_list == new_list && !same_set) << "the command changes nothing";

    int completed = 0;
    for (int k = 1; k < 10000 && !completed; k++) {
        write_file(work, read_file(d.img));
        fault_at = k;
        writes = 0;
        xd_write_fault = fail_kth;
        RunResult r = run_tool(w);
        xd_write_fault = nullptr;
        if (writes < k) {
            ASSERT_EQ(r.status, 0) << r.err;
            completed = k;
        } else {
            ASSERT_EQ(r.status, 1) << "k=" << k;
        }
        std::vector<Entry> list;
        Contents data;
        ASSERT_TRUE(read_store(work, &list, &data, &why)) << "k=" << k << ": " << why;
        const Contents *want = nullptr;
        if (list == old_list) want = &old_data;
        else if (list == new_list) want = &new_data;
        else if (same_set) want = &old_data;
        ASSERT_NE(want, nullptr) << "k=" << k << ": the stored list is neither the old nor the new one";
        for (const Entry &e : list) EXPECT_EQ(data[e.name], want->at(e.name)) << "k=" << k << " " << e.name;
        if (same_set) {
            std::vector<std::string> a, b;
            for (const Entry &e : list) a.push_back(e.name);
            for (const Entry &e : old_list) b.push_back(e.name);
            std::sort(a.begin(), a.end());
            std::sort(b.begin(), b.end());
            EXPECT_EQ(a, b) << "k=" << k;
        }
    }
    EXPECT_GT(completed, 1) << "the command wrote nothing to test";
}

}  // namespace

TEST(Durability, AddNewAndReplacing) {
    Disk d(300, 200);
    d.run({"add", "keep", d.file("k", pattern_bytes(3000, 1))});
    d.run({"add", "f", d.file("f1", pattern_bytes(40000, 2))});
    sweep(d, {"add", "new", d.file("n", pattern_bytes(50000, 3))});
    sweep(d, {"add", "F", d.file("f2", pattern_bytes(45000, 4))});
    sweep(d, {"add", "-e", "f", d.file("f3", pattern_bytes(45000, 5))});
}

TEST(Durability, ResizeAndCopy) {
    Disk d(300, 200);
    d.run({"add", "a", d.file("a", pattern_bytes(20000, 1))});
    d.run({"add", "b", d.file("b", pattern_bytes(5000, 2))});
    d.run({"add", "-e", "c", d.file("c", pattern_bytes(7000, 3))});
    sweep(d, {"resize", "a", "40000"});      // moves past b
    sweep(d, {"resize", "-f", "x", "c", "60000"});  // grows in place at the end
    sweep(d, {"resize", "a", "100"});
    sweep(d, {"copy", "a", "b"});           // replaces b
    sweep(d, {"copy", "c", "d"});
}

TEST(Durability, Load) {
    Disk d(300, 200);
    TempDir adir;
    std::string ar = adir.path("a.qxa");
    ASSERT_EQ(run_tool({ar, "create", "-l", "1020"}).status, 0);
    ASSERT_EQ(run_tool({ar, "add", "one", d.file("1", pattern_bytes(30000, 1))}).status, 0);
    ASSERT_EQ(run_tool({ar, "add", "two", d.file("2", pattern_bytes(600, 2))}).status, 0);
    ASSERT_EQ(run_tool({ar, "add", "three", d.file("3", pattern_bytes(70000, 3))}).status, 0);
    d.run({"add", "ONE", d.file("o", pattern_bytes(30000, 4))});
    d.run({"add", "other", d.file("x", pattern_bytes(1000, 5))});
    sweep(d, {"load", ar});
}

TEST(Durability, PackWithOverlappingMoves) {
    Disk d(300, 300);
    std::vector<std::string> gone;
    for (int i = 0; i < 4; i++) {
        d.run({"add", "gap" + std::to_string(i), d.file("g", pattern_bytes(1500, 10 + i))});
        d.run({"add", "f" + std::to_string(i), d.file("f", pattern_bytes(9000 + 1000 * i, i))});
        d.run({"add", "-e", "egap" + std::to_string(i), d.file("g", pattern_bytes(600, 20 + i))});
        d.run({"add", "-e", "e" + std::to_string(i), d.file("e", pattern_bytes(5000, 30 + i))});
    }
    for (int i = 0; i < 4; i++) {
        d.run({"remove", "gap" + std::to_string(i)});
        d.run({"remove", "egap" + std::to_string(i)});
    }
    sweep(d, {"pack"}, true);
}

TEST(Durability, PackIntoPlacesTheStoredListStillNames) {
    // Small and large items after large and small gaps: an item's new
    // place covers the old place of the item moved before it.
    Disk d(300, 0);
    for (int i = 0; i < 4; i++) {
        d.run({"add", "gap" + std::to_string(i), d.file("g", pattern_bytes(i % 2 ? 1500 : 9000, 10 + i))});
        d.run({"add", "f" + std::to_string(i), d.file("f", pattern_bytes(i % 2 ? 9000 : 1500, i))});
    }
    for (int i = 0; i < 4; i++) d.run({"remove", "gap" + std::to_string(i)});
    sweep(d, {"pack"}, true);
}

TEST(Durability, ReplacingInAFullDiskKeepsTheOldFile) {
    // The only room for the new data is the old item's: the command is
    // refused before it writes anything, and the old file stays whole.
    Disk d(63 + 1 + 4 + 2 + 20, 0);
    d.run({"add", "f", d.file("a", pattern_bytes(20 * 510, 1))});
    const std::vector<uint8_t> before = read_file(d.img);
    RunResult r = run_tool({d.img, "add", "f", d.file("b", pattern_bytes(20 * 510, 2))});
    EXPECT_EQ(r.err, "qxtool: error: not enough space to keep the old data while it is replaced\n");
    EXPECT_EQ(read_file(d.img), before);
}
