// The device layer on image files: names, sizes, transfers and the
// partition walk behind "(hdN,P)".
#include "common.h"
#include "fixture.h"
#include "layout.h"
#include "xdio.h"
#include "xdio_common.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

extern const char *xd_sysfs_root;
extern const char *xd_dev_root;

TEST(DeviceNames, Parse) {
    struct Case { const char *name; bool ok; char kind; int num; int part; } cases[] = {
        {"(hd0)", true, 'h', 0, -1},   {"(hd0x13)", true, 'h', 19, -1}, {"(hd019)", false, 0, 0, 0},
        {"(hd010)", true, 'h', 8, -1}, {"(hd1,4)", true, 'h', 1, 4},    {"(hd1,29)", true, 'h', 1, 29},
        {"(fd1)", true, 'f', 1, -1},   {"(fd0,1)", true, 'f', 0, 1},    {"(hd20)", false, 0, 0, 0},
        {"(hd-1)", false, 0, 0, 0},    {"(hd0", false, 0, 0, 0},        {"(hd0)x", false, 0, 0, 0},
        {"(hd0,30)", false, 0, 0, 0},  {"(sd0)", false, 0, 0, 0},       {"(fd2)", false, 0, 0, 0},
        {"(hd)", false, 0, 0, 0},      {"(hd0,)", false, 0, 0, 0},      {"(hd99999999999999999999)", false, 0, 0, 0},
        {"(", false, 0, 0, 0},         {"(hd0,-1)", false, 0, 0, 0},
    };
    for (const Case &c : cases) {
        dev_name d;
        bool ok = parse_dev_name(c.name, &d);
        EXPECT_EQ(ok, c.ok) << c.name;
        if (ok && c.ok) {
            EXPECT_EQ(d.kind, c.kind) << c.name;
            EXPECT_EQ(d.num, c.num) << c.name;
            EXPECT_EQ(d.part, c.part) << c.name;
        }
    }
}

TEST(ImageFiles, SizeCountsWholeSectorsAndNewFilesAreEmpty) {
    TempDir t;
    write_file(t.path("a.img"), std::vector<uint8_t>(1000, 1));
    xd_t *xd = xd_open(t.path("a.img").c_str(), 1);
    ASSERT_NE(xd, nullptr);
    EXPECT_EQ(xd_size(xd), 1u);
    EXPECT_EQ(xd_flags(xd) & XD_DEVICE, 0u);
    alignas(512) uint8_t buf[1024];
    EXPECT_EQ(xd_read(xd, buf, 1), 0);
    EXPECT_EQ(xd_cur(xd), 1u);
    // The partial second sector is not a sector: the read fails, cur stays.
    EXPECT_EQ(xd_read(xd, buf, 1), 1);
    EXPECT_EQ(xd_cur(xd), 1u);
    xd_close(xd);

    xd = xd_open(t.path("new.img").c_str(), 1);
    ASSERT_NE(xd, nullptr);
    EXPECT_EQ(xd_size(xd), 0u);
    xd_close(xd);
    EXPECT_EQ(xd_open(t.path("missing/x.img").c_str(), 1), nullptr);
    EXPECT_EQ(xd_open(t.dir().c_str(), 1), nullptr);  // a directory is no image
}

TEST(ImageFiles, PositionsPast4GiB) {
    TempDir t;
    make_blank(t.path("big.img"), 9ull << 21);  // 9 GiB, sparse
    xd_t *xd = xd_open(t.path("big.img").c_str(), 1);
    ASSERT_NE(xd, nullptr);
    EXPECT_EQ(xd_size(xd), 9u << 21);
    std::vector<uint8_t> data = pattern_bytes(512, 3), back(512);
    const uint32_t far = (8u << 21) + 7;  // beyond 4 GiB in bytes
    ASSERT_EQ(xd_seek(xd, far), 0);
    ASSERT_EQ(xd_write(xd, data.data(), 1), 0);
    xd_close(xd);
    EXPECT_EQ(read_sectors(t.path("big.img"), far, 1), data);
}

namespace {

// A partition-table builder for the walk tests.
struct Table {
    std::vector<uint8_t> disk = std::vector<uint8_t>(4096 * 512, 0);
    uint8_t *sec(uint32_t s) { return &disk[size_t(s) * 512]; }
    void entry(uint32_t s, int slot, uint8_t type, uint32_t start, uint32_t size) {
        uint8_t *e = sec(s) + mbr::PART_TABLE + slot * 16;
        e[pte::TYPE] = type;
        put32(e + pte::START, start);
        put32(e + pte::COUNT, size);
        sec(s)[510] = 0x55;
        sec(s)[511] = 0xAA;
    }
};

// Every partition the walk yields with "wanted" = 255, as (index, start).
std::vector<std::pair<int, uint32_t>> walk_all(xd_t *xd) {
    std::vector<std::pair<int, uint32_t>> out;
    xd_enum_state st;
    while (xd_enum(xd, &st) == 0 && out.size() < 64) out.push_back({st.index, st.start});
    return out;
}

int find_part(xd_t *xd, int wanted, uint32_t *start) {
    xd_enum_state st;
    st.wanted = uint8_t(wanted);
    int r = xd_enum(xd, &st);
    *start = st.start;
    return r;
}

}  // namespace

TEST(PartitionWalk, PrimaryAndLogicalPartitions) {
    TempDir t;
    Table tb;
    tb.entry(0, 0, 0x0C, 100, 100);
    tb.entry(0, 2, 0x05, 1000, 3000);  // extended, slot 1 empty
    tb.entry(1000, 0, 0x83, 10, 90);   // first logical at 1010
    tb.entry(1000, 1, 0x05, 200, 300);
    tb.entry(1200, 0, 0x00, 0, 0);     // an empty record takes no number
    tb.entry(1200, 1, 0x05, 500, 300);
    tb.entry(1500, 0, 0x83, 20, 80);   // second logical at 1520
    write_file(t.path("d.img"), tb.disk);
    xd_t *xd = xd_open(t.path("d.img").c_str(), 1);
    ASSERT_NE(xd, nullptr);

    std::vector<std::pair<int, uint32_t>> want = {{0, 100}, {2, 1000}, {4, 1010}, {5, 1520}};
    EXPECT_EQ(walk_all(xd), want);
    uint32_t start;
    struct Case { int wanted; int result; uint32_t start; } cases[] = {
        {0, 0, 100}, {1, 1, 0}, {2, 0, 1000}, {3, 1, 0}, {4, 0, 1010}, {5, 0, 1520}, {6, 1, 0},
    };
    for (const Case &c : cases) {
        int r = find_part(xd, c.wanted, &start);
        EXPECT_EQ(r, c.result) << c.wanted;
        if (r == 0) {
            EXPECT_EQ(start, c.start) << c.wanted;
        }
    }
    xd_close(xd);
}

TEST(PartitionWalk, BadTablesFindNothing) {
    struct Case { const char *what; void (*make)(Table &); } cases[] = {
        {"overlap", [](Table &tb) { tb.entry(0, 0, 0x0C, 100, 200); tb.entry(0, 1, 0x0C, 250, 10); }},
        {"size 0", [](Table &tb) { tb.entry(0, 0, 0x0C, 100, 200); tb.entry(0, 1, 0x0C, 400, 0); }},
        {"start 0", [](Table &tb) { tb.entry(0, 0, 0x0C, 0, 200); }},
        {"no signature", [](Table &tb) { tb.entry(0, 0, 0x0C, 100, 200); tb.sec(0)[511] = 0; }},
        {"empty", [](Table &tb) { tb.sec(0)[510] = 0x55; tb.sec(0)[511] = 0xAA; }},
    };
    for (const Case &c : cases) {
        TempDir t;
        Table tb;
        c.make(tb);
        write_file(t.path("d.img"), tb.disk);
        xd_t *xd = xd_open(t.path("d.img").c_str(), 1);
        ASSERT_NE(xd, nullptr);
        EXPECT_TRUE(walk_all(xd).empty()) << c.what;
        uint32_t start;
        EXPECT_EQ(find_part(xd, 0, &start), 1) << c.what;
        xd_close(xd);
    }
}

TEST(PartitionWalk, LoopingChainsEnd) {
    struct Case { const char *what; void (*make)(Table &); } cases[] = {
        {"second entry points back", [](Table &tb) {
             tb.entry(0, 0, 0x0F, 1000, 3000);
             tb.entry(1000, 0, 0x83, 10, 50);
             tb.entry(1000, 1, 0x05, 100, 300);
             tb.entry(1100, 0, 0x83, 10, 50);
             tb.entry(1100, 1, 0x05, 100, 300);  // 1100 again
         }},
        {"first entry points at itself", [](Table &tb) {
             tb.entry(0, 0, 0x0F, 1000, 3000);
             tb.entry(1000, 0, 0x05, 0x200, 10);
             tb.entry(1512, 0, 0x05, 0x200, 10);  // 1512 again
         }},
    };
    for (const Case &c : cases) {
        TempDir t;
        Table tb;
        c.make(tb);
        write_file(t.path("d.img"), tb.disk);
        xd_t *xd = xd_open(t.path("d.img").c_str(), 1);
        ASSERT_NE(xd, nullptr);
        xd_enum_state st;
        int found = 0;
        while (xd_enum(xd, &st) == 0) ASSERT_LT(++found, 300) << c.what;
        uint32_t start;
        EXPECT_EQ(find_part(xd, 29, &start), 1) << c.what;
        xd_close(xd);
    }
}

namespace {

// A fake system: a sysfs-like folder naming the disks and a /dev-like
// folder holding them as image files, in place of the machine's own while
// the object lives.
class FakeSystem {
public:
    FakeSystem() : sys_(t_.path("sys")), dev_(t_.path("dev")) {
        mkdir(sys_.c_str(), 0755);
        mkdir(dev_.c_str(), 0755);
        old_sys_ = xd_sysfs_root;
        old_dev_ = xd_dev_root;
        xd_sysfs_root = sys_.c_str();
        xd_dev_root = dev_.c_str();
    }
    ~FakeSystem() {
        xd_sysfs_root = old_sys_;
        xd_dev_root = old_dev_;
    }
    // Declares a disk and returns the path of its image.
    std::string disk(const std::string &name) {
        mkdir((sys_ + "/" + name).c_str(), 0755);
        return dev_ + "/" + name;
    }
    const std::string &dev() const { return dev_; }

private:
    TempDir t_;
    std::string sys_, dev_;
    const char *old_sys_, *old_dev_;
};

}  // namespace

TEST(WholeDisks, HdNumbersFollowTheSystemDiskNamesInOrder) {
    FakeSystem fs;
    const char *names[] = {"sdb", "loop0", "vda", "sda", "ram0", "nvme0n1", "zram0", "mmcblk0", "sr0", "sdaa"};
    for (const char *n : names) write_file(fs.disk(n), std::vector<uint8_t>(512, uint8_t(n[0])));
    const char *order[] = {"mmcblk0", "nvme0n1", "sda", "sdb", "sdaa", "vda"};
    for (int i = 0; i < 6; i++) EXPECT_EQ(std::string(xd_disk_path(i)), fs.dev() + "/" + order[i]) << i;
    EXPECT_EQ(std::string(xd_disk_path(6)), "");
    xd_t *xd = xd_open("(hd2)", 1);
    ASSERT_NE(xd, nullptr);
    EXPECT_NE(xd_flags(xd) & XD_DEVICE, 0u);
    xd_close(xd);
    EXPECT_EQ(xd_open("(hd6)", 1), nullptr);
}

TEST(WholeDisks, PartitionSuffixPositionsAtThePartition) {
    FakeSystem fs;
    Table tb;
    tb.entry(0, 0, 0x0C, 100, 100);
    tb.entry(0, 1, 0x05, 1000, 3000);
    tb.entry(1000, 0, 0x83, 10, 90);
    write_file(fs.disk("sda"), tb.disk);
    xd_t *xd = xd_open("(hd0,4)", 1);
    ASSERT_NE(xd, nullptr);
    EXPECT_EQ(xd_cur(xd), 1010u);
    xd_close(xd);
    EXPECT_EQ(xd_open("(hd0,5)", 1), nullptr);
    EXPECT_EQ(xd_open("(hd0,2)", 1), nullptr);
}

TEST(WholeDisks, ListShowsSizesAndMarksQxDisks) {
    FakeSystem fs;
    // sda: a 4,009,754,624-byte stick in the QX layout; sdb: 100 MiB, plain;
    // sdc: a QX boot record copy (copy number 1) is not a QX disk.
    struct Disk { const char *name; uint64_t sectors; bool qx; uint16_t copy; } disks[] = {
        {"sda", 7831552, true, 0}, {"sdb", 204800, false, 0}, {"sdc", 3145728, true, 1},
    };
    for (const Disk &d : disks) {
        std::string p = fs.disk(d.name);
        make_blank(p, d.sectors);
        std::vector<uint8_t> s0(qx_mbr_rel, qx_mbr_rel + 512);
        put16(&s0[mbr::COPY_NO], d.copy);
        if (!d.qx) s0.assign(512, 0);
        write_sectors(p, 0, s0);
    }
    RunResult r = run_tool({"--list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "(hd0): 7831552 (4g) *\n(hd1): 204800 (100m)\n(hd2): 3145728 (2g)\n");
    EXPECT_EQ(r.err, "");
}

TEST(ImageFiles, SizesPast2TiBStopAtTheLastSectorNumber) {
    TempDir t;
    make_blank(t.path("huge.img"), (1ull << 32) + 2048);  // 2 TiB + 1 MiB, sparse
    xd_t *xd = xd_open(t.path("huge.img").c_str(), 1);
    ASSERT_NE(xd, nullptr);
    EXPECT_EQ(xd_size(xd), 0xFFFFFFFEu);
    xd_close(xd);
}
