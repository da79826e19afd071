// Boot record, copies, header and marks.
#include "common.h"
#include "fixture.h"
#include "layout.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Lba2Chs, Table) {
    struct Case { uint32_t lba; uint8_t h, s, c; } cases[] = {
        {0, 0, 1, 0},           {63, 1, 1, 0},         {16064, 254, 63, 0},
        {221184, 0xC3, 0x37, 0x0D}, {7831551, 0x7D, 0x56, 0xE7}, {16450560, 0, 1, 0},
    };
    for (const Case &c : cases) {
        uint8_t out[3];
        lba2chs(c.lba, out);
        EXPECT_EQ(out[0], c.h) << c.lba;
        EXPECT_EQ(out[1], c.s) << c.lba;
        EXPECT_EQ(out[2], c.c) << c.lba;
    }
}

TEST(Marks, AddThenRemoveGivesTheStreamBack) {
    std::vector<uint8_t> stream = pattern_bytes(1648, 7);
    std::vector<uint8_t> buf(4 * 512, 0xEE);
    memcpy(buf.data(), stream.data(), stream.size());
    add_mark(buf.data(), 4, 1000, 1648);
    for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(get16(&buf[i * 512 + 510]), 1000 + i);
    // Sector 3 holds 118 stream bytes, then zeros up to its mark.
    EXPECT_EQ(0, memcmp(&buf[3 * 512], &stream[3 * 510], 118));
    for (uint32_t k = 118; k < 510; k++) ASSERT_EQ(buf[3 * 512 + k], 0) << k;
    remove_mark(buf.data(), 4);
    EXPECT_EQ(0, memcmp(buf.data(), stream.data(), stream.size()));
}

TEST(Marks, MarkWrapsAt65536) {
    std::vector<uint8_t> buf(2 * 512, 0);
    add_mark(buf.data(), 2, 0xFFFF, 0);
    EXPECT_EQ(get16(&buf[510]), 0xFFFF);
    EXPECT_EQ(get16(&buf[1022]), 0);
}

TEST(MemCopy, OverlapsBothWays) {
    uint8_t a[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    mem_copy(a + 2, a, 6);
    const uint8_t up[10] = {0, 1, 0, 1, 2, 3, 4, 5, 8, 9};
    EXPECT_EQ(0, memcmp(a, up, 10));
    uint8_t b[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    mem_copy(b, b + 2, 6);
    const uint8_t down[10] = {2, 3, 4, 5, 6, 7, 6, 7, 8, 9};
    EXPECT_EQ(0, memcmp(b, down, 10));
}

TEST(BootCode, VariantsHaveTheCarriedLayout) {
    struct V { const uint8_t *img; uint8_t jump; } vs[] = {{qx_mbr_rel, 0x5E}, {qx_mbr_dbg, 0x26}};
    for (const V &v : vs) {
        const uint8_t *p = v.img;
        EXPECT_EQ(p[0], 0xEB);
        EXPECT_EQ(p[1], v.jump);
        EXPECT_EQ(p[0x10], 2);
        EXPECT_EQ(get16(p + 0x18), 63);
        EXPECT_EQ(get16(p + 0x1A), 255);
        EXPECT_EQ(p[0x24], 0x80);
        for (uint32_t i = 2; i < 2u + v.jump; i++) {
            if (i != 0x10 && i != 0x18 && i != 0x1A && i != 0x24) {
                ASSERT_EQ(p[i], 0) << i;
            }
        }
        EXPECT_EQ(p[mbr::MAX_SECTORS], 63);
        EXPECT_EQ(get16(p + mbr::COPY_NO), 0);
        EXPECT_EQ(p[mbr::SPT], 63);
        EXPECT_EQ(p[mbr::HEADS], 255);
        EXPECT_EQ(get16(p + mbr::BOOT_BASE), 0);
        EXPECT_EQ(0, memcmp(p + mbr::MAGIC, "QXBF", 4));
        for (uint32_t i = 0x1B8; i < 0x1FE; i++) ASSERT_EQ(p[i], 0) << i;
        EXPECT_EQ(p[0x1FE], 0x55);
        EXPECT_EQ(p[0x1FF], 0xAA);
        const uint8_t header[16] = {0, 0, 0, 0, 1, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(0, memcmp(p + 0x200, header, 16));
    }
    // The variants differ only in sector 0.
    EXPECT_EQ(0, memcmp(qx_mbr_rel + 512, qx_mbr_dbg + 512, MBR_IMAGE_SIZE - 512));
}

TEST(BootCode, OnlyTheDebugCodeReachesByte0x1A8) {
    // info reports the debug variant by a non-zero byte 0x1A8: the release
    // code must end before it, leaving 0x1A8 up to max_sectors zero.
    for (uint32_t i = 0x1A8; i < mbr::MAX_SECTORS; i++) EXPECT_EQ(qx_mbr_rel[i], 0) << std::hex << i;
    EXPECT_NE(qx_mbr_dbg[0x1A8], 0);
}

TEST(GetPartOfs, LowestNonZeroStartOfUsedEntries) {
    uint8_t img[512] = {};
    EXPECT_EQ(get_part_ofs(img), 0xFFFFFFFFu);
    auto set = [&](int slot, uint8_t type, uint32_t start) {
        img[mbr::PART_TABLE + slot * 16 + pte::TYPE] = type;
        put32(img + mbr::PART_TABLE + slot * 16 + pte::START, start);
    };
    set(0, 0x0C, 0x90000000u);  // compared unsigned
    set(1, 0x00, 5);            // unused slot: ignored
    set(2, 0x06, 0);            // start 0: ignored
    set(3, 0x0B, 16128);
    EXPECT_EQ(get_part_ofs(img), 16128u);
}
