// The loader patch on small synthetic version-3 and version-4 loaders, in
// memory and through add -s, load, resize and pack.
#include "common.h"
#include "filestore.h"
#include "fixture.h"
#include "layout.h"
#include "syslinux.h"
#include "xdio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t SIG = 0x3EB202FE;

// A loader image: "SYSLINUX" at 514, the version digit at 523, the
// signature at sig_at; version 4 gets a pointer table at 512 + 0x40 whose
// entries name the offsets p0 and p1.
std::vector<uint8_t> loader(uint32_t size, char version, uint32_t sig_at = 528, uint32_t p0 = 700,
                            uint32_t p1 = 704) {
    std::vector<uint8_t> v = pattern_bytes(size, size + uint32_t(version));
    memcpy(&v[514], "SYSLINUX", 8);
    v[523] = uint8_t(version);
    for (uint32_t o = 512; o <= 1020 && o + 4 <= size; o += 4)
        if (get32(&v[o]) == SIG) put32(&v[o], 0);
    if (sig_at + 4 <= size) put32(&v[sig_at], SIG);
    if (version == '4' && sig_at + 24 <= size) {
        put16(&v[sig_at + 22], 0x40);
        put16(&v[512 + 0x40 + 14], p0);
        put16(&v[512 + 0x40 + 16], p1);
    }
    return v;
}

uint32_t word_sum(const std::vector<uint8_t> &v, uint32_t size) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < (size - 512) / 4; i++) sum += get32(&v[512 + 4 * i]);
    return sum;
}

std::string patch_error(std::vector<uint8_t> v, uint32_t size) {
    v.resize(64 * 512);
    try {
        syslinux_patch_image(v.data(), size, 1);
    } catch (const Fatal &e) {
        return e.what();
    }
    return "";
}

struct Disk {
    TempDir dir;
    std::string img;
    QxGeometry g;
    Disk(uint32_t ext = 1000, uint64_t total = 0) {
        img = dir.path("d.img");
        g.list = 4;
        g.ext = ext;
        g.total = total ? total : 16128 + ext + 100;
        build_qx_image(img, g);
    }
    RunResult run(std::vector<std::string> w) {
        w.insert(w.begin(), img);
        return run_tool(w);
    }
    std::string file(const std::vector<uint8_t> &v) {
        std::string p = dir.path("ldlinux.bin");
        write_file(p, v);
        return p;
    }
    // Start sector and the stored bytes of the first item named name.
    std::pair<uint32_t, std::vector<uint8_t>> stored(const std::string &name, uint32_t size) {
        reset_globals();
        xd_t *xd = xd_open(img.c_str(), 1);
        open_store(xd, 1, true);
        uint8_t *it = find_file(name.c_str());
        EXPECT_NE(it, nullptr);
        uint32_t start = it ? item_start(it) : 0;
        uint8_t flags = it ? it[item::FLAGS] : 0;
        xd_close(xd);
        EXPECT_TRUE(flags & item::F_SYSLINUX);
        std::vector<uint8_t> v = read_sectors(img, start, (size + 511) / 512);
        v.resize(size);
        return {start, v};
    }
};

}  // namespace

TEST(Syslinux, Version3And4FieldsAndChecksum) {
    for (char ver : {'3', '4'}) {
        const uint32_t size = 5000;
        std::vector<uint8_t> v = loader(size, ver, 600);
        std::vector<uint8_t> buf = v;
        buf.resize(10 * 512);
        ASSERT_EQ(syslinux_patch_image(buf.data(), size, 0xFFFCD621), 2u);
        const uint32_t d = (size - 512) / 4;
        if (ver == '3') {
            EXPECT_EQ(get32(&buf[504]), 0xFFFCD621u);
            EXPECT_EQ(get16(&buf[510]), 0xAA55);
            EXPECT_EQ(get16(&buf[600 + 8]), d);
            EXPECT_EQ(get16(&buf[600 + 10]), 0);
        } else {
            EXPECT_EQ(get32(&buf[700]), 0xFFFCD621u);
            EXPECT_EQ(get32(&buf[704]), 0xFFFFFFFFu);
            EXPECT_EQ(get16(&buf[600 + 12]), d);
            EXPECT_EQ(get16(&buf[600 + 8]), 1);
            EXPECT_EQ(get32(&buf[504]), get32(&v[504]));  // untouched in version 4
        }
        EXPECT_EQ(word_sum(buf, size), SIG) << ver;
        // Nothing past the first two sectors changes; patching again gives
        // the same bytes.
        EXPECT_EQ(0, memcmp(&buf[1024], &v[1024], size - 1024));
        std::vector<uint8_t> again = buf;
        syslinux_patch_image(again.data(), size, 0xFFFCD621);
        EXPECT_EQ(again, buf) << ver;
    }
}

TEST(Syslinux, RefusedLoaders) {
    std::vector<uint8_t> bad_magic = loader(2000, '3');
    bad_magic[514] = 'X';
    struct Case { std::vector<uint8_t> v; std::string msg; } cases[] = {
        {bad_magic, "not a valid ldlinux.bin"},
        {loader(2000, '3', 1024), "syslinux signature not found"},
        {loader(2000, '5'), "invalid ldlinux.bin version 5"},
        {loader(2000, '/'), "invalid ldlinux.bin version -1"},
        // version 4: patch area, pointer table or pointers past byte 1023
        {loader(2000, '4', 1004), "not a valid ldlinux.bin"},
        {loader(2000, '4', 600, 1021), "not a valid ldlinux.bin"},
        {loader(2000, '4', 600, 700, 65535), "not a valid ldlinux.bin"},
    };
    for (const Case &c : cases) EXPECT_EQ(patch_error(c.v, 2000), c.msg);
    std::vector<uint8_t> far_table = loader(2000, '4', 600);
    put16(&far_table[600 + 22], 0xFFF0);
    EXPECT_EQ(patch_error(far_table, 2000), "not a valid ldlinux.bin");
    // The signature at 1020 is found; a version-3 patch area that reaches
    // into the third sector writes that sector back too.
    std::vector<uint8_t> at1020 = loader(2000, '3', 1020);
    at1020.resize(4 * 512);
    EXPECT_EQ(syslinux_patch_image(at1020.data(), 2000, 7), 3u);
    EXPECT_EQ(word_sum(at1020, 2000), SIG);
}

TEST(Syslinux, AddPatchesAtItsPlaceBeforeThePartition) {
    // Item at sector 20,000, first partition at 227,328 (sparse image).
    Disk d(227328 - 16128, 227328 + 100);
    ASSERT_EQ(d.run({"resize", "-e", "filler", std::to_string((20000 - 16128) * 512)}).status, 0);
    std::vector<uint8_t> v = loader(3000, '3');
    RunResult r = d.run({"add", "-s", "ldlinux.bin", d.file(v)});
    ASSERT_EQ(r.status, 0) << r.err;
    auto s = d.stored("ldlinux.bin", 3000);
    EXPECT_EQ(s.first, 20000u);
    EXPECT_EQ(get32(&s.second[504]), 0xFFFCD621u);
    EXPECT_EQ(word_sum(s.second, 3000), SIG);
}

TEST(Syslinux, SizeLimitsAndFailedAddsStoreNothing) {
    Disk d;
    struct Case { uint32_t size; char ver; std::string err; } cases[] = {
        {1024, '3', "qxtool: error: invalid size for ldlinux.bin\n"},
        {32769, '3', "qxtool: error: invalid size for ldlinux.bin\n"},
        {2000, '5', "qxtool: error: invalid ldlinux.bin version 5\n"},
        {1025, '3', ""},
        {32768, '4', ""},
    };
    for (const Case &c : cases) {
        RunResult r = d.run({"add", "-s", "l" + std::to_string(c.size), d.file(loader(c.size, c.ver))});
        EXPECT_EQ(r.err, c.err) << c.size;
        if (c.err.empty()) {
            auto s = d.stored("l" + std::to_string(c.size), c.size);
            EXPECT_EQ(word_sum(s.second, c.size), SIG) << c.size;
        } else {
            reset_globals();
            EXPECT_EQ(d.run({"export", "l" + std::to_string(c.size)}).status, 1) << c.size;
        }
    }
}

TEST(Syslinux, LoadResizeAndPackPatchAgainAtTheNewPlace) {
    Disk d;
    std::vector<uint8_t> v = loader(4000, '4');
    // An archive item with the syslinux flag but without the extended flag
    // is placed in the extended area and patched there.
    TempDir adir;
    std::string ar = adir.path("a.qxa");
    ASSERT_EQ(run_tool({ar, "create", "-l", "510"}).status, 0);
    ASSERT_EQ(run_tool({ar, "add", "-s", "ld", d.file(v)}).status, 0);
    std::vector<uint8_t> list = read_sectors(ar, 1, 1);
    EXPECT_EQ(list[1], item::F_EXTENDED | item::F_SYSLINUX);
    list[1] = item::F_SYSLINUX;
    write_sectors(ar, 1, list);
    ASSERT_EQ(d.run({"resize", "-e", "gap", "3000"}).status, 0);
    RunResult r = d.run({"load", ar});
    ASSERT_EQ(r.status, 0) << r.err;
    auto s = d.stored("ld", 4000);
    EXPECT_EQ(s.first, 16128u + 6);
    EXPECT_EQ(get32(&s.second[700]), s.first + 1 - 17128);
    EXPECT_EQ(word_sum(s.second, 4000), SIG);
    // pack moves it down: patched at the new place.
    ASSERT_EQ(d.run({"remove", "gap"}).status, 0);
    ASSERT_EQ(d.run({"pack"}).status, 0);
    s = d.stored("ld", 4000);
    EXPECT_EQ(s.first, 16128u);
    EXPECT_EQ(get32(&s.second[700]), 16129u - 17128);
    EXPECT_EQ(word_sum(s.second, 4000), SIG);
    // resize keeps the flag and patches for the new size.
    ASSERT_EQ(d.run({"resize", "ld", "6000"}).status, 0);
    s = d.stored("ld", 6000);
    EXPECT_EQ(word_sum(s.second, 6000), SIG);
    EXPECT_EQ(d.run({"resize", "ld", "1000"}).err, "qxtool: error: invalid size for ldlinux.bin\n");
}

TEST(Syslinux, ResizeWritesTheLoaderToSectorsTheStoredListLeavesFree) {
    // The patch rewrites a loader's first sectors, which the stored list
    // names: a resized loader, smaller or larger, is written and patched
    // where that list names nothing, and refused when there is no such room.
    Disk d(16);
    const uint32_t part = 16128 + 16;
    std::vector<uint8_t> v = loader(4000, '3');
    ASSERT_EQ(d.run({"add", "-s", "ld", d.file(v)}).status, 0);
    ASSERT_EQ(d.stored("ld", 4000).first, 16128u);
    const std::vector<uint8_t> before = read_file(d.img);
    reset_globals();
    EXPECT_EQ(d.run({"resize", "ld", "4500"}).err,
              "qxtool: error: not enough space to keep the old data while it is replaced\n");
    EXPECT_EQ(read_file(d.img), before);
    struct Step { uint32_t size, start; } steps[] = {{3000, 16136}, {4000, 16128}};
    for (const Step &st : steps) {
        reset_globals();
        RunResult r = d.run({"resize", "ld", std::to_string(st.size)});
        ASSERT_EQ(r.status, 0) << r.err;
        auto s = d.stored("ld", st.size);
        EXPECT_EQ(s.first, st.start) << st.size;
        EXPECT_EQ(get32(&s.second[504]), st.start + 1 - part) << st.size;
        EXPECT_EQ(word_sum(s.second, st.size), SIG) << st.size;
        // The loader's own bytes after the patched sectors, and zeros where
        // it grew.
        const uint32_t kept = std::min<uint32_t>(st.size, 3000);
        EXPECT_EQ(0, memcmp(&s.second[1024], &v[1024], kept - 1024)) << st.size;
        EXPECT_EQ(std::vector<uint8_t>(s.second.begin() + kept, s.second.end()),
                  std::vector<uint8_t>(st.size - kept, 0)) << st.size;
    }
}
