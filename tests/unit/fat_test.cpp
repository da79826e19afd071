// The FAT formatter: cluster size, FAT size, alignment, the checks and their
// messages, and the sectors it writes (and does not write).
#include "common.h"
#include "disk.h"
#include "fat.h"
#include "fixture.h"
#include "xdio.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Plans a volume and returns the refusal message, or "" when it is accepted.
std::string plan(fat_plan *p, bool fat32, uint32_t hidden, uint32_t size, uint32_t unit, int align) {
    try {
        if (fat32) plan_fat32(p, hidden, size, unit, align);
        else plan_fat16(p, hidden, size, unit, align);
    } catch (const Fatal &e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(FatPlan, GeometryTable) {
    // Expected values worked out by hand from the size tables and the FAT
    // size formula F = ceil((size - R - root) / (256 * spc + 2)), halved
    // divisor for FAT32.
    struct Case {
        bool fat32;
        uint32_t hidden, size, unit;
        int align;
        uint32_t spc, reserved, root_entries, fat_size;
        uint8_t media;
        const char *type;
    } cases[] = {
        // The two diskette geometries ignore any unit size.
        {false, 0, 2880, 0, 0, 1, 1, 240, 9, 0xF0, "FAT12   "},
        {false, 7, 5760, 16, 1, 2, 1, 240, 9, 0xF0, "FAT12   "},
        // FAT12 form: a small size with a unit size, F = ceil(3984 / 1026).
        {false, 0, 4000, 4, 0, 4, 1, 240, 4, 0xF0, "FAT12   "},
        // 8401 sectors: 2 per cluster; root entries follow the first
        // sector's parity; F = ceil(8369 / 514) and ceil(8368 / 514).
        {false, 16128, 8401, 0, 0, 2, 1, 496, 17, 0xF8, "FAT16   "},
        {false, 16129, 8401, 0, 0, 2, 1, 512, 17, 0xF8, "FAT16   "},
        // Just below the FAT16 upper limit: 64 per cluster, F = ceil(4193599 / 16386).
        {false, 0, 4193631, 0, 0, 64, 1, 496, 256, 0xF8, "FAT16   "},
        // Align with 4 per cluster, odd start: F = ceil(32657 / 1026) = 32;
        // data at 40001 + 1 + 64 + 32 = 40098, next multiple of 4 is 40100,
        // gap 2, each FAT grows by 1.
        {false, 40001, 32690, 0, 1, 4, 1, 512, 33, 0xF8, "FAT16   "},
        // The formula counts no entries for the two reserved ones: at these
        // sizes it gives a FAT one sector short, which grows by one. 64 MiB:
        // F = 114912 / 1026 = 112 exactly, 256 * 112 entries for 28672
        // clusters + 2.
        {false, 16128, 114944, 0, 0, 4, 1, 496, 113, 0xF8, "FAT16   "},
        {false, 0, 8768, 0, 0, 2, 1, 496, 18, 0xF8, "FAT16   "},
        {false, 16128, 2048271, 64, 0, 64, 1, 496, 126, 0xF8, "FAT16   "},
        // With align the growth keeps the boundary: 184 -> 185 -> 186.
        {false, 221184, 188814, 0, 1, 4, 1, 496, 186, 0xF8, "FAT16   "},
        // FAT32 just above the FAT16 range: 8 per cluster, F = ceil(1048545 / 1025).
        {true, 16128, 1048577, 0, 0, 8, 32, 0, 1023, 0xF8, "FAT32   "},
        // Odd first sector: 33 reserved sectors.
        {true, 16129, 1048577, 0, 0, 8, 33, 0, 1023, 0xF8, "FAT32   "},
        // The smallest table size and 1 per cluster: align changes nothing.
        {true, 101, 66601, 0, 1, 1, 33, 0, 517, 0xF8, "FAT32   "},
        // The layout of the front end's 4 GB stick: F = ceil(7610336 / 1025)
        // = 7425; data at 221184 + 32 + 14850 = 236066, next multiple of 8
        // is 236072, gap 6, F + 3.
        {true, 221184, 7610368, 0, 0, 8, 32, 0, 7425, 0xF8, "FAT32   "},
        {true, 221184, 7610368, 0, 1, 8, 32, 0, 7428, 0xF8, "FAT32   "},
        // Above 64 GiB-class sizes: 64 per cluster.
        {true, 2048, 134217728, 0, 0, 64, 32, 0, 16382, 0xF8, "FAT32   "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.fat32 ? "fat32 " : "fat16 ") << c.hidden << "+" << c.size);
        fat_plan p;
        ASSERT_EQ(plan(&p, c.fat32, c.hidden, c.size, c.unit, c.align), "");
        const uint8_t *b = p.boot;
        EXPECT_EQ(b[0x0D], c.spc);
        EXPECT_EQ(get16(b + 0x0E), c.reserved);
        EXPECT_EQ(get16(b + 0x11), c.root_entries);
        EXPECT_EQ(c.fat32 ? get32(b + 0x24) : get16(b + 0x16), c.fat_size);
        EXPECT_EQ(b[0x15], c.media);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(b) + (c.fat32 ? 0x52 : 0x36), 8), c.type);
        EXPECT_EQ(get32(b + 0x1C), c.hidden);
        const uint32_t bits = c.fat32 ? 32 : c.size <= 8400 ? 12 : 16;
        EXPECT_GE(uint64_t(c.fat_size) * 512 * 8 / bits, uint64_t(p.clusters) + 2);
        if (c.align && c.spc % 2 == 0 && c.size != 5760) {
            // The data region starts on a cluster boundary (the diskette
            // geometries keep their fixed FAT size).
            uint32_t data = c.hidden + c.reserved + 2 * c.fat_size + c.root_entries / 16;
            EXPECT_EQ(data % c.spc, 0u);
        }
    }
}

TEST(FatPlan, Refusals) {
    struct Case {
        bool fat32;
        uint32_t hidden, size, unit;
        int align;
        const char *msg;
    } cases[] = {
        {false, 0, 4000, 0, 0, "invalid size of fat16"},
        {false, 0, 8400, 0, 0, "invalid size of fat16"},
        {false, 0, 4194305, 0, 0, "invalid size of fat16"},
        // 64 per cluster leaves 65536 clusters, FATs included.
        {false, 0, 4194304, 0, 0, "unit size 64 invalid for fat16"},
        {false, 1, 4193632 + 1, 0, 0, "unit size 64 invalid for fat16"},
        {false, 0, 4193632, 0, 0, "unit size 64 invalid for fat16"},
        {true, 0, 66600, 0, 0, "invalid size for fat32\n"},
        {true, 0, 2880, 0, 0, "invalid size for fat32\n"},
        {true, 0, 100000, 4, 0, "unit size 4 invalid for fat32"},
        // A cluster is a power of two of 1 to 128 sectors, whatever the size.
        {false, 0, 100000, 3, 0, "invalid unit size 3, use a power of two from 1 to 128"},
        {true, 0, 1048577, 6, 0, "invalid unit size 6, use a power of two from 1 to 128"},
        {false, 0, 2880, 3, 0, "invalid unit size 3, use a power of two from 1 to 128"},
        {false, 0, 100000, 256, 0, "invalid unit size 256, use a power of two from 1 to 128"},
        {false, 0, 100000, 257, 0, "invalid unit size 257, use a power of two from 1 to 128"},
        {true, 0, 1048577, 129, 0, "invalid unit size 129, use a power of two from 1 to 128"},
        // Too small for reserved sectors, root directory and one sector
        // per FAT.
        {false, 0, 17, 1, 0, "partition of 17 sectors too small for fat12"},
        {true, 0, 33, 1, 0, "unit size 1 invalid for fat32"},
        // Alignment would grow the FATs past the end of the volume.
        {false, 0, 200, 128, 1, "partition of 200 sectors too small for fat12"},
        // Cluster counts that contradict the FAT type written: a FAT12-form
        // volume with a FAT16 count, a FAT16 one with a FAT12 count, a
        // FAT32 one with a FAT16 count once its FATs are taken away, and one
        // with more clusters than a 28-bit entry can number.
        {false, 0, 8000, 1, 0, "unit size 1 invalid for fat12"},
        {false, 0, 100000, 64, 0, "unit size 64 invalid for fat16"},
        {true, 0, 66000, 1, 0, "unit size 1 invalid for fat32"},
        {true, 0, 0xFFFFFFFFu, 1, 0, "unit size 1 invalid for fat32"},
    };
    for (const Case &c : cases) {
        fat_plan p;
        EXPECT_EQ(plan(&p, c.fat32, c.hidden, c.size, c.unit, c.align), c.msg)
            << c.size << " unit " << c.unit;
    }
    // The same sizes are accepted at the edges of each rule.
    fat_plan p;
    EXPECT_EQ(plan(&p, false, 0, 200, 128, 0), "");
    EXPECT_EQ(p.clusters, 1u);
    EXPECT_EQ(plan(&p, false, 0, 257, 128, 0), "");
    EXPECT_EQ(p.spc, 128u);
    EXPECT_EQ(plan(&p, false, 0, 4193631, 0, 0), "");
    EXPECT_EQ(plan(&p, true, 0, 66601, 0, 0), "");
}

TEST(FatPlan, TotalSectorFields) {
    struct Case { uint32_t size; uint32_t tot16, tot32; } cases[] = {
        {65535, 65535, 0},
        {65536, 0, 65536},
    };
    for (const Case &c : cases) {
        fat_plan p;
        ASSERT_EQ(plan(&p, false, 0, c.size, 0, 0), "");
        EXPECT_EQ(get16(p.boot + 0x13), c.tot16);
        EXPECT_EQ(get32(p.boot + 0x20), c.tot32);
    }
}

namespace {

// A sparse file whose first sectors are filled with 0xEE, so that every
// byte the formatter writes there, zeros included, shows.
struct Volume {
    TempDir t;
    std::string img = t.path("v.img");
    Volume(uint32_t sectors, uint32_t filled) {
        make_blank(img, sectors);
        write_sectors(img, 0, std::vector<uint8_t>(size_t(filled) * 512, 0xEE));
    }
    std::vector<uint8_t> sec(uint32_t s, uint32_t n = 1) const { return read_sectors(img, s, n); }
};

bool all_bytes(const std::vector<uint8_t> &v, uint8_t b) {
    for (uint8_t x : v)
        if (x != b) return false;
    return true;
}

}  // namespace

TEST(FatWrite, Fat16Sectors) {
    const uint32_t hidden = 3, size = 9000;
    Volume v(hidden + size + 8, hidden + size + 8);
    xd_t *xd = xd_open(v.img.c_str(), 1);
    ASSERT_NE(xd, nullptr);
    seek_disk(xd, hidden);
    format_fat16(xd, size, 0, 0);
    // 2 per cluster, odd start: 512 root entries (32 sectors),
    // F = ceil((9000 - 33) / 514) = 18.
    const uint32_t f = 18, root = 32;
    EXPECT_EQ(xd_cur(xd), hidden + 1 + 2 * f + root);
    xd_close(xd);

    std::vector<uint8_t> b = v.sec(hidden);
    struct Field { uint32_t ofs, width, value; } fields[] = {
        {0x00, 1, 0xEB}, {0x01, 1, 0x3C}, {0x02, 1, 0x90}, {0x0B, 2, 512}, {0x0D, 1, 2},
        {0x0E, 2, 1},    {0x10, 1, 2},    {0x11, 2, 512},  {0x13, 2, 9000}, {0x15, 1, 0xF8},
        {0x16, 2, f},    {0x18, 2, 63},   {0x1A, 2, 255},  {0x1C, 4, hidden}, {0x20, 4, 0},
        {0x24, 1, 0x80}, {0x26, 1, 0x29}, {0x27, 4, 0},    {0x1FE, 2, 0xAA55},
    };
    for (const Field &fl : fields) {
        uint32_t got = fl.width == 1 ? b[fl.ofs] : fl.width == 2 ? get16(&b[fl.ofs]) : get32(&b[fl.ofs]);
        EXPECT_EQ(got, fl.value) << "offset " << fl.ofs;
    }
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&b[3]), 8), "MSWIN4.1");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&b[0x2B]), 11), "NO NAME    ");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&b[0x36]), 8), "FAT16   ");
    EXPECT_TRUE(all_bytes(std::vector<uint8_t>(b.begin() + 0x3E, b.begin() + 0x1FE), 0)) << "no boot code";

    for (uint32_t k = 0; k < 2; k++) {
        std::vector<uint8_t> fat = v.sec(hidden + 1 + k * f, f);
        EXPECT_EQ(hex(std::vector<uint8_t>(fat.begin(), fat.begin() + 5)), "F8 FF FF FF 00") << k;
        EXPECT_TRUE(all_bytes(std::vector<uint8_t>(fat.begin() + 4, fat.end()), 0)) << k;
    }
    EXPECT_TRUE(all_bytes(v.sec(hidden + 1 + 2 * f, root), 0));
    // Nothing before the volume and nothing after the root directory.
    EXPECT_TRUE(all_bytes(v.sec(0, hidden), 0xEE));
    EXPECT_TRUE(all_bytes(v.sec(hidden + 1 + 2 * f + root, 8), 0xEE));
}

TEST(FatWrite, DisketteGeometry) {
    Volume v(2880, 2880);
    xd_t *xd = xd_open(v.img.c_str(), 1);
    ASSERT_NE(xd, nullptr);
    format_fat16(xd, 2880, 0, 1);
    EXPECT_EQ(xd_cur(xd), 1u + 18 + 15);
    xd_close(xd);
    std::vector<uint8_t> b = v.sec(0);
    EXPECT_EQ(get16(&b[0x18]), 18);
    EXPECT_EQ(get16(&b[0x1A]), 2);
    EXPECT_EQ(get16(&b[0x16]), 9);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&b[0x36]), 8), "FAT12   ");
    EXPECT_EQ(hex(v.sec(1)).substr(0, 12), "F0 FF FF 00 ");
    EXPECT_EQ(hex(v.sec(10)).substr(0, 12), "F0 FF FF 00 ");
}

TEST(FatWrite, Fat32Sectors) {
    const uint32_t hidden = 2048, size = 1048577;
    Volume v(hidden + size, hidden + 32 + 2 * 1024 + 8 + 8);
    xd_t *xd = xd_open(v.img.c_str(), 1);
    ASSERT_NE(xd, nullptr);
    seek_disk(xd, hidden);
    format_fat32(xd, size, 0, 1);
    // 8 per cluster, R = 32, F = ceil(1048545 / 1025) = 1023; data at
    // 2048 + 32 + 2046 = 4126, next multiple of 8 is 4128: F + 1.
    const uint32_t r = 32, f = 1024, spc = 8;
    EXPECT_EQ(xd_cur(xd), hidden + r + 2 * f + spc);
    xd_close(xd);

    std::vector<uint8_t> boot = v.sec(hidden, 3);
    const uint8_t *b = boot.data();
    struct Field { uint32_t ofs, width, value; } fields[] = {
        {0x00, 1, 0xEB}, {0x01, 1, 0x58}, {0x02, 1, 0x90}, {0x0B, 2, 512}, {0x0D, 1, spc},
        {0x0E, 2, r},    {0x10, 1, 2},    {0x11, 2, 0},    {0x13, 2, 0},   {0x15, 1, 0xF8},
        {0x16, 2, 0},    {0x18, 2, 63},   {0x1A, 2, 255},  {0x1C, 4, hidden}, {0x20, 4, size},
        {0x24, 4, f},    {0x28, 2, 0},    {0x2A, 2, 0},    {0x2C, 4, 2},   {0x30, 2, 1},
        {0x32, 2, 6},    {0x40, 1, 0x80}, {0x42, 1, 0x29}, {0x43, 4, 0},   {0x1FE, 2, 0xAA55},
        // FSInfo
        {512 + 0x000, 4, 0x41615252}, {512 + 0x1E4, 4, 0x61417272}, {512 + 0x1E8, 4, 0xFFFFFFFF},
        {512 + 0x1EC, 4, 0xFFFFFFFF}, {512 + 0x1FC, 4, 0xAA550000},
        // third boot sector
        {1024 + 0x1FC, 4, 0xAA550000},
    };
    for (const Field &fl : fields) {
        uint32_t got = fl.width == 1 ? b[fl.ofs] : fl.width == 2 ? get16(&b[fl.ofs]) : get32(&b[fl.ofs]);
        EXPECT_EQ(got, fl.value) << "offset " << fl.ofs;
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(b + 0x47), 11), "NO NAME    ");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(b + 0x52), 8), "FAT32   ");
    EXPECT_TRUE(all_bytes(std::vector<uint8_t>(b + 0x5A, b + 0x1FE), 0)) << "no boot code";
    EXPECT_TRUE(all_bytes(std::vector<uint8_t>(b + 512 + 4, b + 512 + 0x1E4), 0));
    EXPECT_TRUE(all_bytes(std::vector<uint8_t>(b + 1024, b + 1024 + 0x1FE), 0));

    EXPECT_EQ(v.sec(hidden + 6, 3), boot) << "backup boot sectors";
    EXPECT_TRUE(all_bytes(v.sec(hidden + 3, 3), 0));
    EXPECT_TRUE(all_bytes(v.sec(hidden + 9, r - 9), 0));
    for (uint32_t k = 0; k < 2; k++) {
        std::vector<uint8_t> fat = v.sec(hidden + r + k * f, f);
        EXPECT_EQ(hex(std::vector<uint8_t>(fat.begin(), fat.begin() + 13)),
                  "F8 FF FF 0F FF FF FF 0F FF FF FF 0F 00") << k;
        EXPECT_TRUE(all_bytes(std::vector<uint8_t>(fat.begin() + 12, fat.end()), 0)) << k;
    }
    EXPECT_TRUE(all_bytes(v.sec(hidden + r + 2 * f, spc), 0)) << "root directory cluster";
    EXPECT_TRUE(all_bytes(v.sec(hidden + r + 2 * f + spc, 8), 0xEE)) << "nothing after the root cluster";
    EXPECT_TRUE(all_bytes(v.sec(0, hidden), 0xEE));
}

TEST(FatWrite, RefusedVolumeIsLeftUntouched) {
    Volume v(4000, 4000);
    std::vector<uint8_t> before = read_file(v.img);
    xd_t *xd = xd_open(v.img.c_str(), 1);
    ASSERT_NE(xd, nullptr);
    std::string msg;
    try {
        format_fat16(xd, 4000, 0, 0);
    } catch (const Fatal &e) {
        msg = e.what();
    }
    xd_close(xd);
    EXPECT_EQ(msg, "invalid size of fat16");
    EXPECT_EQ(read_file(v.img), before);
}
