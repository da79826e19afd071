// Reading and writing the header and list, and the "update" command, on
// images built directly by the fixture.
#include "common.h"
#include "filestore.h"
#include "fixture.h"
#include "layout.h"
#include "xdio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

QxGeometry small() {
    QxGeometry g;
    g.total = 20000;
    g.list = 4;
    return g;
}

// open_store on a fresh handle; returns the error message or "".
std::string try_read(const std::string &path, int allow_archive) {
    reset_globals();
    xd_t *xd = xd_open(path.c_str(), 1);
    if (!xd) return "open";
    std::string msg;
    try {
        open_store(xd, allow_archive, true);
    } catch (const Fatal &e) {
        msg = e.what();
    }
    xd_close(xd);
    return msg;
}

}  // namespace

TEST(ReadHeader, LayoutValuesOfADisk) {
    TempDir t;
    QxGeometry g = small();
    g.ext = 2000;
    build_qx_image(t.path("d.img"), g);
    ASSERT_EQ(try_read(t.path("d.img"), 0), "");
    EXPECT_EQ(qx_boot_base, 63u);
    EXPECT_EQ(qx_list_start, 68u);
    EXPECT_EQ(qx_list_sectors, 4u);
    EXPECT_EQ(qx_pri_size, 16128u);
    EXPECT_EQ(qx_total_size, 18128u);
    EXPECT_EQ(qx_part_ofs, 18128u);
    EXPECT_EQ(qx_list_size, 2040);
    EXPECT_EQ(qx_list_tail, 0);
    EXPECT_EQ(qx_ar_mode, 0);
    // The boot record as read stays at bytes 512..1023 of the working buffer.
    EXPECT_EQ(0, memcmp(global_buffer + 512 + mbr::MAGIC, "QXBF", 4));
}

TEST(ReadHeader, DamageIsNamedPrecisely) {
    struct Case {
        const char *what;
        uint32_t base;
        void (*damage)(const std::string &);
        int allow_archive;
        const char *msg;
    } cases[] = {
        {"sector 0 overwritten, copy 63 intact", 63,
         [](const std::string &p) { write_sectors(p, 0, std::vector<uint8_t>(512, 0x11)); }, 1, "qx mbr corrupted"},
        {"sector 0 overwritten, base below 63", 10,
         [](const std::string &p) { write_sectors(p, 0, std::vector<uint8_t>(512, 0x11)); }, 1,
         "qx mbr not initialized"},
        {"archive where a disk is needed", 63,
         [](const std::string &p) {
             std::vector<uint8_t> s(512, 0);
             memcpy(s.data(), "QXAR", 4);
             s[4] = 1, s[5] = 6, s[8] = 1;
             write_sectors(p, 0, s);
         },
         0, "this command can't work with archive"},
        {"header of another version", 63,
         [](const std::string &p) {
             std::vector<uint8_t> h = read_sectors(p, 64, 1);
             h[hdr::VER_MINOR] = 5;
             write_sectors(p, 64, h);
         },
         1, "version number not match"},
        {"list without terminator", 63,
         [](const std::string &p) {
             std::vector<uint8_t> l = read_sectors(p, 68, 4);
             for (int s = 0; s < 4; s++)
                 for (int i = 0; i < 510; i++) l[s * 512 + i] = 20;  // items of 22 bytes, forever
             write_sectors(p, 68, l);
         },
         1, "invalid file list"},
        {"item shorter than its fixed fields", 63,
         [](const std::string &p) {
             std::vector<uint8_t> l = read_sectors(p, 68, 1);
             l[0] = 3;
             write_sectors(p, 68, l);
         },
         1, "invalid file list"},
        {"list of 0 sectors", 63,
         [](const std::string &p) {
             std::vector<uint8_t> h = read_sectors(p, 64, 1);
             put16(&h[hdr::LIST_SECTORS], 0);
             write_sectors(p, 64, h);
         },
         1, "invalid file list"},
    };
    for (const Case &c : cases) {
        TempDir t;
        QxGeometry g = small();
        g.base = c.base;
        build_qx_image(t.path("d.img"), g);
        c.damage(t.path("d.img"));
        EXPECT_EQ(try_read(t.path("d.img"), c.allow_archive), c.msg) << c.what;
    }
}

TEST(ReadHeader, ShortTargets) {
    TempDir t;
    write_file(t.path("eight.img"), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(try_read(t.path("eight.img"), 1), "xd_read fails at offset 0, size 1");
    make_blank(t.path("blank.img"), 10);
    EXPECT_EQ(try_read(t.path("blank.img"), 1), "qx mbr not initialized");
    make_blank(t.path("zeros.img"), 100);
    EXPECT_EQ(try_read(t.path("zeros.img"), 1), "qx mbr not initialized");
}

TEST(WriteHeader, StoresListAndListUsedOnly) {
    TempDir t;
    build_qx_image(t.path("d.img"), small());
    ASSERT_EQ(try_read(t.path("d.img"), 0), "");
    // One item of 600 bytes worth of list: tail past the first sector.
    std::vector<uint8_t> before_header = read_sectors(t.path("d.img"), 64, 1);
    memset(qx_list, 0, 2040);
    const int n = 3;
    int ofs = 0;
    for (int i = 0; i < n; i++) {
        uint8_t *it = qx_list + ofs;
        it[item::LEN] = 13 + 200;
        memset(it + item::NAME, 'a' + i, 200);
        ofs += 215;
    }
    qx_list_tail = ofs;
    xd_t *xd = xd_open(t.path("d.img").c_str(), 1);
    write_header(xd);
    xd_close(xd);
    std::vector<uint8_t> h = read_sectors(t.path("d.img"), 64, 1);
    EXPECT_EQ(get16(&h[hdr::LIST_USED]), 645 / 510 + 1);
    put16(&h[hdr::LIST_USED], get16(&before_header[hdr::LIST_USED]));
    EXPECT_EQ(h, before_header);
    std::vector<uint8_t> l = read_sectors(t.path("d.img"), 68, 4);
    for (uint32_t s = 0; s < 4; s++) EXPECT_EQ(get16(&l[s * 512 + 510]), 68 + s);
    ASSERT_EQ(try_read(t.path("d.img"), 0), "");
    EXPECT_EQ(qx_list_tail, 645);
    EXPECT_EQ(qx_list[215 + item::NAME], 'b');
}

// From the debug variant only sector 0's code changes; from another build
// (its sector-0 routines elsewhere) stage 2 changes too, and the program is
// staged on the last copies first: either way the disk ends up the same.
TEST(UpdateCommand, RewritesBootCodeAndKeepsEverythingElse) {
    const std::vector<uint8_t> shifted = read_file(QX_SHIFTED_BOOT);
    ASSERT_EQ(shifted.size(), MBR_IMAGE_SIZE);
    ASSERT_NE(0, memcmp(shifted.data() + 0x210, qx_mbr_rel + 0x210, MBR_IMAGE_SIZE - 0x210));
    struct Case {
        const char *from;
        bool debug;
        const uint8_t *program;
    } cases[] = {{"debug variant", true, nullptr}, {"shifted build", false, shifted.data()}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.from);
        TempDir t;
        QxGeometry g = small();
        g.debug = c.debug;
        g.program = c.program;
        std::string img = t.path("d.img");
        build_qx_image(img, g);
        // Give the BPB area and the fields after the code recognisable bytes.
        std::vector<uint8_t> recs = read_sectors(img, 0, 64);
        for (uint32_t s = 0; s < 64; s++) {
            for (uint32_t i = 3; i < 0x28; i++) recs[s * 512 + i] = uint8_t(0xA0 + i);
            recs[s * 512 + mbr::DISK_SIG] = 0x5A;
        }
        write_sectors(img, 0, recs);
        const std::vector<uint8_t> before = read_file(img);
        RunResult r = run_tool({img, "update"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<uint8_t> after = read_file(img);
        for (uint32_t s = 0; s < 64; s++) {
            const uint8_t *a = &after[s * 512], *b = &recs[s * 512];
            ASSERT_EQ(a[0], 0xEB);
            ASSERT_EQ(a[1], 0x5E) << s;
            // The BPB area up to the old jump target keeps its bytes; the
            // bytes between the two jump targets keep theirs too.
            ASSERT_EQ(0, memcmp(a + 2, b + 2, 0x60 - 2)) << s;
            ASSERT_EQ(0, memcmp(a + 0x60, qx_mbr_rel + 0x60, 0x1AD - 0x60)) << s;
            ASSERT_EQ(0, memcmp(a + 0x1AD, b + 0x1AD, 512 - 0x1AD)) << s;
        }
        // Boot code sectors: the release stream, marked, behind the old
        // header; nothing after them changes.
        std::vector<uint8_t> code(after.begin() + 64 * 512, after.begin() + 68 * 512);
        for (uint32_t k = 0; k < 4; k++) EXPECT_EQ(get16(&code[k * 512 + 510]), 64 + k);
        remove_mark(code.data(), 4);
        EXPECT_EQ(0, memcmp(code.data(), &before[64 * 512], hdr::SIZE));
        EXPECT_EQ(0, memcmp(code.data() + 16, qx_mbr_rel + 0x210, MBR_IMAGE_SIZE - 0x210));
        EXPECT_TRUE(std::equal(after.begin() + 68 * 512, after.end(), before.begin() + 68 * 512));
    }
    // Back to debug with --debug.
    TempDir t;
    std::string img = t.path("d.img");
    build_qx_image(img, small());
    RunResult r = run_tool({"--debug", img, "update"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_sectors(img, 0, 1)[1], 0x26);
}

TEST(UpdateCommand, RefusesWhenTheCodeWouldReachTheList) {
    TempDir t;
    std::string img = t.path("d.img");
    build_qx_image(img, small());
    std::vector<uint8_t> h = read_sectors(img, 64, 1);
    put16(&h[hdr::BOOT_SIZE], 3);
    write_sectors(img, 64, h);
    // The list now starts in the last boot code sector: make it an empty list.
    std::vector<uint8_t> empty(512, 0);
    put16(&empty[510], 67);
    write_sectors(img, 67, empty);
    std::vector<uint8_t> before = read_file(img);
    RunResult r = run_tool({img, "update"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qxtool: error: not enough space, you need to use format command\n");
    EXPECT_EQ(read_file(img), before);
}

TEST(WriteHeader, ListUsedNeverCutsOffTheStoredList) {
    // Whatever write fails, list_used on the disk covers the list stored
    // there: a growing count goes first, a shrinking one last.
    struct Case { const char *what; int from_tail, to_tail; } cases[] = {
        {"growing", 0, 645}, {"shrinking", 645, 0},
    };
    for (const Case &c : cases) {
        for (int fail_at = 1; fail_at <= 3; fail_at++) {
            TempDir t;
            build_qx_image(t.path("d.img"), small());
            auto store = [&](int tail, int fail) {
                ASSERT_EQ(try_read(t.path("d.img"), 0), "");
                memset(qx_list, 0, 2040);
                for (int ofs = 0; ofs < tail; ofs += 215) {
                    qx_list[ofs + item::LEN] = 13 + 200;
                    memset(qx_list + ofs + item::NAME, 'a' + ofs / 215, 200);
                }
                qx_list_tail = tail;
                static int writes, fail_write;
                writes = 0;
                fail_write = fail;
                xd_write_fault = [](uint32_t, uint32_t) { return ++writes == fail_write; };
                xd_t *xd = xd_open(t.path("d.img").c_str(), 1);
                try {
                    write_header(xd);
                } catch (const Fatal &) {
                }
                xd_write_fault = nullptr;
                xd_close(xd);
            };
            store(c.from_tail, 0);
            store(c.to_tail, fail_at);
            ASSERT_EQ(try_read(t.path("d.img"), 0), "") << c.what << fail_at;
            EXPECT_TRUE(qx_list_tail == c.from_tail || qx_list_tail == c.to_tail) << c.what << fail_at;
            uint32_t used = get16(&read_sectors(t.path("d.img"), 64, 1)[hdr::LIST_USED]);
            EXPECT_GE(used, uint32_t(qx_list_tail) / 510 + 1) << c.what << " failing write " << fail_at;
        }
    }
}
