// The format, restore, sync and info commands through the command line,
// in-process, on image files.
#include "common.h"
#include "fixture.h"
#include "layout.h"
#include "xdio.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

RunResult qx(const std::string &img, const std::vector<std::string> &words) {
    std::vector<std::string> args = {img};
    args.insert(args.end(), words.begin(), words.end());
    return run_tool(args);
}

void ok(const std::string &img, const std::vector<std::string> &words) {
    RunResult r = qx(img, words);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.err, "");
}

std::vector<uint8_t> sector(const std::string &img, uint32_t s) { return read_sectors(img, s, 1); }

uint32_t slot0(const std::vector<uint8_t> &sec, uint32_t field) { return get32(&sec[mbr::PART_TABLE + field]); }

// An image whose every byte is a pattern, except an empty partition table.
void make_pattern_disk(const std::string &img, uint32_t sectors) {
    std::vector<uint8_t> data = pattern_bytes(size_t(sectors) * 512, sectors);
    memset(&data[mbr::PART_TABLE], 0, 64);
    write_file(img, data);
}

// Counts the writes that reach the device layer while it is installed.
uint32_t write_count = 0;
bool count_writes(uint32_t, uint32_t) {
    write_count++;
    return false;
}
struct WriteCounter {
    WriteCounter() {
        write_count = 0;
        xd_write_fault = count_writes;
    }
    ~WriteCounter() { xd_write_fault = nullptr; }
};

// What a QX disk made by format holds, checked sector by sector.
struct Layout {
    uint32_t base = 63, pri = 16128, ext = 0, list = 896, start = 16128, size = 0;
    uint8_t type = 0x0E, max_sectors = 63;
};

void check_layout(const std::string &img, const Layout &l) {
    const uint8_t *code = qx_mbr_rel;
    std::vector<uint8_t> s0 = sector(img, 0);
    // Sector 0: the variant's jump, BPB template and code; the settings;
    // the magic; slot 0 describing the data partition.
    EXPECT_EQ(0, memcmp(s0.data(), code, mbr::MAX_SECTORS)) << "boot code";
    EXPECT_EQ(s0[mbr::MAX_SECTORS], l.max_sectors);
    EXPECT_EQ(get16(&s0[mbr::COPY_NO]), 0);
    EXPECT_EQ(s0[mbr::SPT], 63);
    EXPECT_EQ(s0[mbr::HEADS], 255);
    EXPECT_EQ(get16(&s0[mbr::BOOT_BASE]), l.base);
    EXPECT_EQ(0, memcmp(&s0[mbr::MAGIC], "QXBF", 4));
    EXPECT_EQ(s0[mbr::PART_TABLE + pte::BOOT], 0x80);
    EXPECT_EQ(s0[mbr::PART_TABLE + pte::TYPE], l.type);
    EXPECT_EQ(slot0(s0, pte::START), l.start);
    EXPECT_EQ(slot0(s0, pte::COUNT), l.size);
    EXPECT_EQ(hex(std::vector<uint8_t>(s0.begin() + mbr::PART_TABLE + 16, s0.begin() + 0x1FE)),
              hex(std::vector<uint8_t>(48, 0)));
    EXPECT_EQ(get16(&s0[mbr::SIGNATURE]), 0xAA55);
    // Copies: the same but for the copy number and the moved partition.
    std::vector<uint8_t> copies = read_sectors(img, 0, l.base + 1);
    for (uint32_t i = 1; i <= l.base; i++) {
        std::vector<uint8_t> want = s0;
        put16(&want[mbr::COPY_NO], i);
        uint8_t *e = &want[mbr::PART_TABLE];
        put32(e + pte::START, l.start - i);
        lba2chs(l.start - i, e + pte::CHS_START);
        lba2chs(l.start - i + l.size - 1, e + pte::CHS_END);
        ASSERT_EQ(0, memcmp(&copies[size_t(i) * 512], want.data(), 512)) << "copy " << i;
    }
    // Header and boot code: the variant's bytes from its second sector on,
    // with the header fields, in marked sectors.
    const uint32_t n = 4;
    std::vector<uint8_t> boot = read_sectors(img, l.base + 1, n);
    for (uint32_t i = 0; i < n; i++) EXPECT_EQ(get16(&boot[i * 512 + 510]), (l.base + 1 + i) & 0xFFFF);
    remove_mark(boot.data(), n);
    EXPECT_EQ(get16(&boot[hdr::BOOT_SIZE]), n);
    EXPECT_EQ(boot[hdr::VER_MAJOR], 1);
    EXPECT_EQ(boot[hdr::VER_MINOR], 6);
    EXPECT_EQ(get16(&boot[hdr::LIST_USED]), 1);
    EXPECT_EQ(get16(&boot[hdr::LIST_SECTORS]), l.list);
    EXPECT_EQ(get16(&boot[hdr::PRI_SIZE]), l.pri);
    EXPECT_EQ(get32(&boot[hdr::EXT_SIZE]), l.ext);
    EXPECT_EQ(0, memcmp(&boot[hdr::SIZE], code + 512 + hdr::SIZE, MBR_IMAGE_SIZE - 512 - hdr::SIZE));
    // The list and the primary area: zero sectors carrying their marks.
    const uint32_t first = l.base + 1 + n;
    std::vector<uint8_t> rest = read_sectors(img, first, l.pri - first);
    for (uint32_t s = first; s < l.pri; s++) {
        const uint8_t *p = &rest[size_t(s - first) * 512];
        ASSERT_EQ(get16(p + 510), s & 0xFFFF) << s;
        for (int k = 0; k < 510; k++) ASSERT_EQ(p[k], 0) << s;
    }
    // The data partition's boot sector.
    std::vector<uint8_t> vol = sector(img, l.start);
    EXPECT_EQ(get16(&vol[0x1FE]), 0xAA55);
    EXPECT_EQ(get32(&vol[0x1C]), l.start);
    EXPECT_EQ(l.size < 65536 ? get16(&vol[0x13]) : get32(&vol[0x20]), l.size);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&vol[l.type == 0x0C ? 0x52 : 0x36]), 5),
              l.type == 0x0C ? "FAT32" : l.size <= 8400 ? "FAT12" : "FAT16");
}

}  // namespace

TEST(Format, Errors) {
    TempDir t;
    const std::string img = t.path("d.img");
    make_pattern_disk(img, 17000);  // room for a data partition of 872 sectors
    const std::vector<uint8_t> before = read_file(img);
    const std::string missing = t.path("missing.qxa");
    struct Case { std::vector<std::string> words; std::string msg; } cases[] = {
        {{"format", "--bogus"}, "invalid option --bogus for format"},
        {{"format", "-d"}, "invalid option -d for format"},
        {{"format", "--nalign"}, "no parameter for --nalign"},
        {{"format", "-f", "--archive"}, "no parameter for --archive"},
        {{"format", "-n", "255"}, "invalid alignment value"},
        {{"format", "-n", "384"}, "invalid alignment value"},
        {{"format", "--nalign", "0"}, "invalid alignment value"},
        {{"format", "-p", "16127"}, "primary data size too small"},
        {{"format", "-p", "64k"}, "primary data size too small"},
        {{"format", "-p", "0x80000000"}, "primary data size too small"},
        {{"format", "--primary", "65536"}, "primary data size too large"},
        {{"format", "--max-sectors", "128"}, "invalid max sectors value"},
        {{"format", "--list-size", "456961"}, "list too large"},
        {{"format", "-s", "1.5m"}, "invalid subfix .5m"},
        {{"format", "-e", "2048g"}, "number too large 2048g"},
        {{"format", "-u", "0x100000000"}, "number too large 0x100000000"},
        {{"format", "-e", "0xFFFFFFFF"}, "the disk is too small"},
        {{"format", "-e", "8m"}, "the disk is too small"},
        {{"format", "-b", "15228"}, "base boot sector too large"},
        {{"format", "--raw"}, "--raw would destroy existing partiiton layout,\nuse --force if you want to continue."},
        {{"format", "-r", "-f", "--archive", missing}, "--archive can't be used with --raw"},
        {{"format", "--archive", missing}, "can't open file " + missing},
        // The FAT formatter's refusals come before the boot record is
        // written: this disk has no used partition entry, so format goes
        // on as with --force.
        {{"format"}, "invalid size of fat16"},
        {{"format", "-f", "-u", "256"}, "invalid unit size 256, use a power of two from 1 to 128"},
        {{"format", "-f", "-u", "3"}, "invalid unit size 3, use a power of two from 1 to 128"},
        {{"format", "-f", "--fat32"}, "invalid size for fat32\n"},
        {{"format", "-r", "-f", "-b", "0", "--fat32"}, "invalid size for fat32\n"},
    };
    for (const Case &c : cases) {
        RunResult r = qx(img, c.words);
        EXPECT_EQ(r.status, 1) << c.msg;
        EXPECT_EQ(r.err, "qxtool: error: " + c.msg + "\n");
        EXPECT_EQ(r.out, "");
        ASSERT_TRUE(read_file(img) == before) << "image changed by: " << c.msg;
    }

    // FAT16 asked for where its cluster count refuses the size.
    const std::string top = t.path("top.img");
    make_blank(top, 1064703);
    RunResult r = qx(top, {"format", "--fat16"});
    EXPECT_EQ(r.err, "qxtool: error: unit size 16 invalid for fat16\n");
    EXPECT_EQ(sector(top, 0), std::vector<uint8_t>(512, 0));

    // One sector less than the hidden area and the data partition need.
    const std::string small = t.path("small.img");
    make_blank(small, 16128);
    r = qx(small, {"format"});
    EXPECT_EQ(r.err, "qxtool: error: the disk is too small\n");
    EXPECT_EQ(read_file(small), std::vector<uint8_t>(16128 * 512, 0));

    // An existing partition inside the primary and extended areas.
    const std::string part = t.path("part.img");
    make_pattern_disk(part, 20000);
    std::vector<uint8_t> s0 = sector(part, 0);
    s0[mbr::PART_TABLE + pte::TYPE] = 0x0B;
    put32(&s0[mbr::PART_TABLE + pte::START], 2048);
    put32(&s0[mbr::PART_TABLE + pte::COUNT], 17952);
    s0[510] = 0x55;
    s0[511] = 0xAA;
    write_sectors(part, 0, s0);
    const std::vector<uint8_t> part_before = read_file(part);
    r = qx(part, {"format"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qxtool: error: offset of data partition too small,\nuse --force to recreate disk layout\n");
    EXPECT_TRUE(read_file(part) == part_before);
}

// An archive file named as the target is refused unless the user asks for
// the format with --force or --raw; then it is formatted like any disk.
TEST(Format, ArchiveMagicInSectorZero) {
    TempDir t;
    struct Case {
        std::vector<std::string> words;
        const char *err;  // nullptr: formatted
    } cases[] = {
        {{"format"}, "qxtool: error: this command can't work with archive\n"},
        {{"format", "--align"}, "qxtool: error: this command can't work with archive\n"},
        {{"format", "--force"}, nullptr},
        {{"format", "-f", "--align", "--zip"}, nullptr},
        {{"format", "--raw", "--force"}, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.words));
        const std::string ar = t.path("a.qxa");
        make_blank(ar, 40000);
        std::vector<uint8_t> head(512, 0);
        memcpy(head.data(), "QXAR\x01\x06\x01\x00\x01\x00", 10);
        write_sectors(ar, 0, head);
        const std::vector<uint8_t> before = read_file(ar);
        RunResult r = qx(ar, c.words);
        if (c.err) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, c.err);
            EXPECT_TRUE(read_file(ar) == before);
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        const bool raw = c.words[1] == "--raw";
        const uint32_t start = raw ? 63 : 16128;
        EXPECT_EQ(slot0(sector(ar, 0), pte::START), start);
        EXPECT_EQ(get32(&sector(ar, start)[0x1C]), start);  // the FAT volume's hidden sectors
        if (!raw) {
            EXPECT_EQ(qx(ar, {"info"}).status, 0);
        }
    }
}

TEST(Format, LayoutsAndOptions) {
    TempDir t;
    struct Case {
        uint64_t disk;
        std::vector<std::string> words;
        Layout l;
    } cases[] = {
        // Without options on an empty disk: as with --force, P = 16,128,
        // S = 16,128; FAT16 below 1,048,576 sectors, FAT32 from there on.
        {1064544, {"format"}, [] { Layout l; l.size = 1048416; return l; }()},
        {1064704, {"format"}, [] { Layout l; l.size = 1048576; l.type = 0x0C; return l; }()},
        // Sizes at the top of a FAT16 size class are refused by FAT16's
        // cluster count (FATs included): the automatic choice takes FAT32.
        {1064703, {"format"}, [] { Layout l; l.size = 1048575; l.type = 0x0C; return l; }()},
        {16128 + 262144, {"format"}, [] { Layout l; l.size = 262144; l.type = 0x0C; return l; }()},
        // NAND alignment moves S to a multiple of 2,048.
        {100000, {"format", "--nalign", "2048"}, [] { Layout l; l.start = 16384; l.size = 83616; return l; }()},
        // --size gives the partition's size, or all the room when larger.
        {2000000, {"format", "-s", "1000000"}, [] { Layout l; l.size = 1000000; return l; }()},
        {2000000, {"format", "-s", "3000000"}, [] { Layout l; l.size = 1983872; l.type = 0x0C; return l; }()},
        // The later of --fat16 and --fat32 counts.
        {616128, {"format", "--fat16", "--fat32"}, [] { Layout l; l.size = 600000; l.type = 0x0C; return l; }()},
        {616128, {"format", "--fat32", "--fat16"}, [] { Layout l; l.size = 600000; return l; }()},
        // List size in bytes, rounded up to sectors: 510 bytes is one.
        {100000, {"format", "--list-size", "510"}, [] { Layout l; l.list = 1; l.size = 83872; return l; }()},
        // max_sectors: 0 keeps 63; 127 with --chs gives 0xFF.
        {100000, {"format", "--max-sectors", "0"}, [] { Layout l; l.size = 83872; return l; }()},
        {100000, {"format", "--max-sectors", "127", "--chs"},
         [] { Layout l; l.size = 83872; l.max_sectors = 0xFF; return l; }()},
        // Primary and extended sizes, and a smaller base boot sector.
        {300000, {"format", "-f", "-a", "-p", "8m", "-e", "100m", "-b", "32"},
         [] { Layout l; l.base = 32; l.pri = 16384; l.ext = 204800; l.start = 221184; l.size = 78816; return l; }()},
        // The largest primary data size.
        {100000, {"format", "-p", "65535"}, [] { Layout l; l.pri = 65535; l.start = 65536; l.size = 34464; return l; }()},
        // The FAT12 form on a small partition with a unit size.
        {16384 + 4000, {"format", "-p", "8m", "-u", "4"},
         [] { Layout l; l.pri = 16384; l.start = 16384; l.size = 4000; return l; }()},
    };
    for (const Case &c : cases) {
        std::string words;
        for (const std::string &w : c.words) words += w + " ";
        SCOPED_TRACE(words + "on " + std::to_string(c.disk));
        const std::string img = t.path("d.img");
        make_blank(img, c.disk);
        ok(img, c.words);
        check_layout(img, c.l);
        unlink(img.c_str());
    }
}

TEST(Format, KeepsAnExistingPartitionWithoutForce) {
    TempDir t;
    const std::string img = t.path("d.img");
    make_blank(img, 300000);
    ok(img, {"format", "--force", "--primary", "8m", "--extended", "100m"});
    const std::vector<uint8_t> s0 = sector(img, 0);
    // Data in the partition, in the list, in the primary and extended areas.
    const std::vector<uint8_t> data = pattern_bytes(512, 1), junk = pattern_bytes(512, 2);
    write_sectors(img, 221184 + 5000, data);
    write_sectors(img, 68, junk);
    write_sectors(img, 1000, junk);
    write_sectors(img, 20000, junk);
    const std::vector<uint8_t> volume = read_sectors(img, 221184, 200);

    // The extended area reaches up to the existing partition.
    ok(img, {"format", "--primary", "8m"});
    Layout l;
    l.pri = 16384;
    l.ext = 204800;
    l.start = 221184;
    l.size = 78816;
    check_layout(img, l);
    EXPECT_EQ(sector(img, 0), s0);
    EXPECT_EQ(sector(img, 221184 + 5000), data);
    EXPECT_EQ(sector(img, 20000), junk) << "the extended area is not written";
    EXPECT_EQ(read_sectors(img, 221184, 200), volume);

    // Entries in a sector without the 55 AA signature are no partition
    // table: format lays the disk out anew.
    std::vector<uint8_t> stale = sector(img, 0);
    stale[511] = 0;
    put32(&stale[mbr::PART_TABLE + pte::START], 2048);
    const std::string other = t.path("other.img");
    make_blank(other, 300000);
    write_sectors(other, 0, stale);
    ok(other, {"format", "--primary", "8m"});
    l.ext = 0;
    l.start = 16384;
    l.size = 300000 - 16384;
    check_layout(other, l);
    l.ext = 204800;
    l.start = 221184;
    l.size = 78816;

    // Defaults: P = 16,128 and the extended area fills the room.
    ok(img, {"format"});
    l.pri = 16128;
    l.ext = 221184 - 16128;
    check_layout(img, l);
    EXPECT_EQ(sector(img, 221184 + 5000), data);
}

TEST(Format, RawLayouts) {
    TempDir t;
    const std::string img = t.path("d.img");
    make_pattern_disk(img, 100000);
    ok(img, {"format", "--raw", "--force"});
    std::vector<uint8_t> s0 = sector(img, 0);
    std::vector<uint8_t> want(512, 0);
    uint8_t *e = &want[mbr::PART_TABLE];
    e[pte::BOOT] = 0x80;
    lba2chs(63, e + pte::CHS_START);
    e[pte::TYPE] = 0x0E;
    lba2chs(99999, e + pte::CHS_END);
    put32(e + pte::START, 63);
    put32(e + pte::COUNT, 99937);
    want[510] = 0x55;
    want[511] = 0xAA;
    EXPECT_EQ(hex(s0), hex(want));
    EXPECT_EQ(read_sectors(img, 1, 62), std::vector<uint8_t>(62 * 512, 0));
    std::vector<uint8_t> vol = sector(img, 63);
    EXPECT_EQ(get32(&vol[0x1C]), 63u);
    EXPECT_EQ(get32(&vol[0x20]), 99937u);
    RunResult r = qx(img, {"info"});
    EXPECT_EQ(r.err, "qxtool: error: qx mbr not initialized\n");

    // Base 0: one FAT volume over the whole disk, no partition table.
    ok(img, {"format", "-r", "-f", "-b", "0"});
    vol = sector(img, 0);
    EXPECT_EQ(get32(&vol[0x1C]), 0u);
    EXPECT_EQ(get32(&vol[0x20]), 100000u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&vol[0x36]), 5), "FAT16");
}

TEST(Format, PartitionWalkFindsTheDataPartition) {
    TempDir t;
    const std::string img = t.path("d.img");
    make_blank(img, 300000);
    ok(img, {"format", "-f", "-p", "8m", "-e", "100m"});
    xd_t *xd = xd_open(img.c_str(), 1);
    ASSERT_NE(xd, nullptr);
    xd_enum_state st;
    st.wanted = 0;
    ASSERT_EQ(xd_enum(xd, &st), 0);
    EXPECT_EQ(st.type, 0x0E);
    EXPECT_EQ(st.start, 221184u);
    EXPECT_EQ(st.size, 78816u);
    xd_enum_state next;
    next.wanted = 1;
    EXPECT_EQ(xd_enum(xd, &next), 1);
    xd_close(xd);
}

TEST(Format, DebugVariantAndUpdate) {
    // A disk formatted with one variant, then updated to the other: every
    // copy of the boot record carries the variant's code, and info tells
    // the variants apart by what their sector-0 code leaves at 0x1A8.
    struct Variant {
        std::vector<std::string> opts;
        const uint8_t *code;
        const char *shown;
    };
    const Variant rel{{}, qx_mbr_rel, "debug version: no\n"};
    const Variant dbg{{"-d"}, qx_mbr_dbg, "debug version: yes\n"};
    auto run = [](const Variant &v, const std::string &img, const char *cmd) {
        std::vector<std::string> args = v.opts;
        args.push_back(img);
        args.push_back(cmd);
        RunResult r = run_tool(args);
        ASSERT_EQ(r.status, 0) << cmd << ": " << r.err;
    };
    auto check = [](const Variant &v, const std::string &img, const char *when) {
        // The jump and the code from its target on; update keeps the BPB
        // area before the target as it was.
        const uint32_t code_at = 2 + v.code[1];
        std::vector<uint8_t> copies = read_sectors(img, 0, 64);
        for (uint32_t i = 0; i < 64; i++) {
            const uint8_t *s = &copies[i * 512];
            ASSERT_EQ(s[1], v.code[1]) << when << ", copy " << i;
            ASSERT_EQ(0, memcmp(s + code_at, v.code + code_at, mbr::MAX_SECTORS - code_at)) << when << ", copy " << i;
        }
        RunResult r = qx(img, {"info"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(v.shown), std::string::npos) << when << ":\n" << r.out;
    };
    struct Case { const char *name; const Variant &formatted, &updated; } cases[] = {
        {"release, then debug", rel, dbg}, {"debug, then release", dbg, rel}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir t;
        const std::string img = t.path("d.img");
        make_blank(img, 100000);
        run(c.formatted, img, "format");
        check(c.formatted, img, "after format");
        run(c.updated, img, "update");
        check(c.updated, img, "after update");
    }
}

// ---------------------------------------------------------------- restore

TEST(Restore, IntactDiskWritesNothing) {
    TempDir t;
    const std::string img = t.path("d.img");
    make_blank(img, 100000);
    ok(img, {"format"});
    WriteCounter wc;
    ok(img, {"restore"});
    EXPECT_EQ(write_count, 0u);
}

TEST(Restore, RepairsSectorZero) {
    TempDir t;
    const std::string img = t.path("d.img");
    make_blank(img, 100000);
    ok(img, {"format", "--zip", "--max-sectors", "20"});
    const std::vector<uint8_t> good = read_sectors(img, 0, 64);

    // Zeroed: sector 0 had no table left to keep, so the copy's table is
    // moved back and the disk is whole again.
    write_sectors(img, 0, std::vector<uint8_t>(512, 0));
    ok(img, {"restore"});
    EXPECT_EQ(read_sectors(img, 0, 64), good);

    // Replaced by another boot record with the same partition table.
    std::vector<uint8_t> other = pattern_bytes(512, 5);
    memcpy(&other[mbr::DISK_SIG], &good[mbr::DISK_SIG], 512 - mbr::DISK_SIG);
    write_sectors(img, 0, other);
    ok(img, {"restore"});
    EXPECT_EQ(read_sectors(img, 0, 64), good);

    // Sectors 0 to 2 damaged, and another program moved the partition in
    // sector 0: copies 0 to 2 get the new table, copies 3 on stay.
    other = pattern_bytes(512, 6);
    memcpy(&other[mbr::DISK_SIG], &good[mbr::DISK_SIG], 512 - mbr::DISK_SIG);
    put32(&other[mbr::DISK_SIG], 0x12345678);
    put32(&other[mbr::PART_TABLE + pte::START], 20000);
    put32(&other[mbr::PART_TABLE + pte::COUNT], 80000);
    write_sectors(img, 0, other);
    write_sectors(img, 1, pattern_bytes(1024, 7));
    ok(img, {"restore"});
    std::vector<uint8_t> now = read_sectors(img, 0, 64);
    for (uint32_t i = 0; i < 3; i++) {
        const uint8_t *s = &now[i * 512];
        EXPECT_EQ(0, memcmp(s, &good[3 * 512], mbr::COPY_NO)) << i;
        EXPECT_EQ(get16(s + mbr::COPY_NO), i);
        EXPECT_EQ(get32(s + mbr::DISK_SIG), 0x12345678u);
        EXPECT_EQ(get32(s + mbr::PART_TABLE + pte::START), 20000 - i);
        EXPECT_EQ(get32(s + mbr::PART_TABLE + pte::COUNT), 80000u);
        EXPECT_EQ(get16(s + mbr::SIGNATURE), 0xAA55);
    }
    EXPECT_EQ(0, memcmp(&now[3 * 512], &good[3 * 512], 61 * 512));
}

TEST(Restore, NoCopyFound) {
    TempDir t;
    struct Case { uint32_t sectors; } cases[] = {{100}, {10}, {0}};
    for (const Case &c : cases) {
        const std::string img = t.path("d" + std::to_string(c.sectors) + ".img");
        make_blank(img, c.sectors);
        RunResult r = qx(img, {"restore"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "qxtool: error: can't find qx mbr\n") << c.sectors;
    }
}

// ------------------------------------------------------------------- sync

namespace {

struct SyncDisk {
    TempDir t;
    std::string img = t.path("d.img");
    SyncDisk(const std::vector<std::string> &format_words, uint32_t sectors = 100000) {
        make_blank(img, sectors);
        std::vector<std::string> w = {"format"};
        w.insert(w.end(), format_words.begin(), format_words.end());
        ok(img, w);
    }
    std::string info() {
        RunResult r = qx(img, {"info"});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
};

}  // namespace

TEST(Sync, KeepsSettingsAndTheChsBit) {
    SyncDisk d({"--chs", "--max-sectors", "32"});
    EXPECT_EQ(sector(d.img, 0)[mbr::MAX_SECTORS], 0xA0);
    const std::vector<uint8_t> before = read_sectors(d.img, 0, 64);
    ok(d.img, {"sync"});
    std::vector<uint8_t> after = read_sectors(d.img, 0, 64);
    for (uint32_t i = 0; i < 64; i++) {
        EXPECT_EQ(after[i * 512 + mbr::MAX_SECTORS], 0x20) << i;
        after[i * 512 + mbr::MAX_SECTORS] = 0xA0;
    }
    EXPECT_EQ(after, before) << "nothing else changes";
    ok(d.img, {"sync", "--chs", "--max-sectors", "0x7f"});
    EXPECT_EQ(sector(d.img, 63)[mbr::MAX_SECTORS], 0xFF);
}

TEST(Sync, CopyBpb) {
    SyncDisk d({});
    // The data partition at 16,128, given 4 reserved sectors.
    std::vector<uint8_t> part = sector(d.img, 16128);
    put16(&part[0x0E], 4);
    write_sectors(d.img, 16128, part);
    ok(d.img, {"sync", "--copy-bpb", "--zip"});
    std::vector<uint8_t> s = read_sectors(d.img, 0, 64);
    for (uint32_t i = 0; i <= 63; i++) {
        const uint8_t *b = &s[i * 512];
        // Reserved sectors counted from the sector the copy stands for.
        EXPECT_EQ(get16(b + 0x0E), 16132 - i) << i;
        EXPECT_EQ(get32(b + 0x1C), 0u);
        EXPECT_EQ(get16(b + 0x13), 0);
        EXPECT_EQ(get32(b + 0x20), 100000u - i);  // 83,872 + 16,128, from sector i on
        for (uint32_t k = 2; k < 0x60; k++) {
            if ((k >= 0x0E && k < 0x10) || (k >= 0x13 && k < 0x15) || (k >= 0x1C && k < 0x24)) continue;
            ASSERT_EQ(b[k], part[k]) << i << " offset " << k;
        }
        EXPECT_EQ(0, memcmp(b + 0x60, qx_mbr_rel + 0x60, mbr::MAX_SECTORS - 0x60));
    }
    std::string info = d.info();
    EXPECT_NE(info.find("bpb status: copy\n"), std::string::npos);
    EXPECT_NE(info.find("format options:\n"), std::string::npos) << "--zip is never shown with a copied bpb";

    // Only offsets 2 to 35 taken; 36 to the end of the BPB area cleared.
    ok(d.img, {"sync", "--copy-bpb", "--bpb-size", "36"});
    s = sector(d.img, 0);
    EXPECT_EQ(s[0x0D], part[0x0D]);
    EXPECT_EQ(hex(std::vector<uint8_t>(s.begin() + 36, s.begin() + 0x60)), hex(std::vector<uint8_t>(0x60 - 36, 0)));
}

// Every copy's BPB describes the data partition's volume as seen from the
// copy's own sector: it ends where the volume ends. A FAT32 BPB is copied
// whole, or, where the boot record's BPB area is too short for it (the
// debug variant), refused with nothing written.
TEST(Sync, CopiedBpbFromEveryCopy) {
    struct Case {
        std::vector<std::string> global, format;
        const char *refusal;
    } cases[] = {
        {{}, {"format"}, nullptr},
        {{"-d"}, {"format"}, nullptr},
        {{}, {"format", "--fat32"}, nullptr},
        {{"-d"}, {"format", "--fat32"},
         "qxtool: error: can't copy bpb: a fat32 bpb takes offsets 2 to 0x59, the boot record's bpb area ends at 0x27\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.global) + testing::PrintToString(c.format));
        TempDir t;
        const std::string img = t.path("d.img");
        make_blank(img, 100000);
        std::vector<std::string> args = c.global;
        args.push_back(img);
        std::vector<std::string> fmt = args;
        fmt.insert(fmt.end(), c.format.begin(), c.format.end());
        ASSERT_EQ(run_tool(fmt).status, 0);
        const std::vector<uint8_t> part = sector(img, 16128), before = read_sectors(img, 0, 64);
        args.insert(args.end(), {"sync", "--copy-bpb"});
        RunResult r = run_tool(args);
        if (c.refusal) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, c.refusal);
            EXPECT_TRUE(read_sectors(img, 0, 64) == before);
            continue;
        }
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<uint8_t> s = read_sectors(img, 0, 64);
        const uint32_t area_end = 2 + s[1];
        for (uint32_t i = 0; i <= 63; i++) {
            const uint8_t *b = &s[i * 512];
            const uint32_t total = get16(b + bpb::TOT_SEC16) ? get16(b + bpb::TOT_SEC16) : get32(b + bpb::TOT_SEC32);
            EXPECT_EQ(i + total, 100000u) << "copy " << i;
            EXPECT_EQ(i + get16(b + bpb::RSVD_SEC_CNT), 16128u + get16(&part[bpb::RSVD_SEC_CNT])) << "copy " << i;
            if (area_end >= bpb::FAT32_END) {
                // The fields past the total count, FAT32's included, as the
                // partition's boot sector has them; FAT32's FSInfo sector
                // is the partition's, counted from the copy's sector.
                EXPECT_EQ(0, memcmp(b + bpb::FAT_SZ16, part.data() + bpb::FAT_SZ16, bpb::HIDD_SEC - bpb::FAT_SZ16));
                EXPECT_EQ(0, memcmp(b + 0x24, part.data() + 0x24, bpb::FS_INFO - 0x24)) << "copy " << i;
                EXPECT_EQ(0, memcmp(b + bpb::BK_BOOT_SEC, part.data() + bpb::BK_BOOT_SEC, bpb::FAT32_END - bpb::BK_BOOT_SEC));
                const bool fat32 = get16(&part[bpb::FAT_SZ16]) == 0;
                EXPECT_EQ(get16(b + bpb::FS_INFO), fat32 ? 16128 + 1 - i : get16(&part[bpb::FS_INFO])) << "copy " << i;
            }
        }
    }
}

TEST(Sync, ResetAndClear) {
    SyncDisk d({});
    ok(d.img, {"sync", "--reset-bpb", "--zip"});
    std::string info = d.info();
    EXPECT_NE(info.find("bpb status: init\n"), std::string::npos);
    EXPECT_NE(info.find("format options: --zip\n"), std::string::npos);
    std::vector<uint8_t> s = sector(d.img, 17);
    EXPECT_EQ(get16(&s[0x0E]), 0) << "the reserved count is not adjusted in the copies";
    EXPECT_EQ(s[0x10], 2);
    EXPECT_EQ(s[0x18], 63);
    EXPECT_EQ(s[0x1A], 255);
    EXPECT_EQ(s[0x24], 0x80);
    EXPECT_EQ(s[0x26], 0x29);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&s[3]), 9), std::string("MSWIN4.1", 9));

    ok(d.img, {"sync", "--clear-bpb"});
    EXPECT_NE(d.info().find("bpb status: zero\n"), std::string::npos);
    s = sector(d.img, 0);
    EXPECT_EQ(hex(std::vector<uint8_t>(s.begin() + 2, s.begin() + 0x60)), hex(std::vector<uint8_t>(0x5E, 0)));
}

TEST(Sync, Errors) {
    SyncDisk far({"-p", "8m", "-e", "100m"}, 300000);
    SyncDisk d({});
    // A disk without a data partition: sync works except in copy mode.
    SyncDisk bare({});
    std::vector<uint8_t> s0 = sector(bare.img, 0);
    memset(&s0[mbr::PART_TABLE], 0, 16);
    write_sectors(bare.img, 0, s0);

    TempDir t;
    const std::string ar = t.path("a.qxa");
    std::vector<uint8_t> arch(3 * 512, 0);
    memcpy(arch.data(), "QXAR\x01\x06\x01\x00\x01\x00", 10);
    put16(&arch[1022], 1);
    write_file(ar, arch);

    struct Case { std::string img; std::vector<std::string> words; std::string msg; } cases[] = {
        {d.img, {"sync", "--bogus"}, "invalid option --bogus for sync"},
        {d.img, {"sync", "-c"}, "invalid option -c for sync"},
        {d.img, {"sync", "--max-sectors", "128"}, "invalid max sectors value"},
        {d.img, {"sync", "--max-sectors"}, "no parameter for --max-sectors"},
        {d.img, {"sync", "--copy-bpb", "--bpb-size"}, "no parameter for --bpb-size"},
        {d.img, {"sync", "--bpb-size", "1"}, "invalid bpb size value"},
        {ar, {"sync", "--copy-bpb"}, "this command can't work with archive"},
        {ar, {"update"}, "this command can't work with archive"},
        {bare.img, {"sync", "--copy-bpb"}, "no data partition to copy bpb from"},
        // The front end's layout: 221,184 sectors before the partition do
        // not fit the 16-bit reserved count.
        {far.img, {"sync", "--copy-bpb"},
         "can't copy bpb: data partition at sector 221184 needs 221185 reserved sectors, more than 65535"},
    };
    for (const Case &c : cases) {
        const std::vector<uint8_t> before = read_sectors(c.img, 0, 3);
        RunResult r = qx(c.img, c.words);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "qxtool: error: " + c.msg + "\n");
        EXPECT_EQ(read_sectors(c.img, 0, 3), before) << c.msg;
    }
    ok(bare.img, {"sync", "--chs"});
    EXPECT_EQ(sector(bare.img, 5)[mbr::MAX_SECTORS], 0xBF);  // the count 63 kept, the CHS bit set
}

// ------------------------------------------------------------------- info

namespace {

struct Item {
    uint8_t flags;
    uint32_t start, size, time;
    std::string name;
};

std::vector<uint8_t> list_bytes(const std::vector<Item> &items) {
    std::vector<uint8_t> out;
    for (const Item &it : items) {
        std::vector<uint8_t> b(14, 0);
        b[0] = uint8_t(12 + it.name.size() + 1);
        b[1] = it.flags;
        put32(&b[2], it.start);
        put32(&b[6], it.size);
        put32(&b[10], it.time);
        b.insert(b.end(), it.name.begin(), it.name.end());
        b.push_back(0);
        out.insert(out.end(), b.begin(), b.end());
    }
    out.push_back(0);
    return out;
}

// Stores the list in its marked sectors from first on.
void store_list(const std::string &img, uint32_t first, uint32_t sectors, const std::vector<Item> &items) {
    std::vector<uint8_t> bytes = list_bytes(items);
    std::vector<uint8_t> buf(size_t(sectors) * 512, 0);
    memcpy(buf.data(), bytes.data(), bytes.size());
    add_mark(buf.data(), sectors, first, uint32_t(bytes.size()));
    write_sectors(img, first, buf);
}

struct UtcZone {
    std::string old;
    bool had;
    UtcZone() {
        const char *tz = getenv("TZ");
        had = tz != nullptr;
        if (had) old = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~UtcZone() {
        if (had) setenv("TZ", old.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
};

}  // namespace

TEST(Info, DefaultsPrintNoFormatOptions) {
    TempDir t;
    const std::string img = t.path("d.img");
    make_blank(img, 100000);
    ok(img, {"format"});
    RunResult r = qx(img, {"info"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "version: 1.6\n"
              "base boot sector: 63\n"
              "boot code size: 4\n"
              "primary data size: 16128\n"
              "extended data size: 0\n"
              "debug version: no\n"
              "bpb status: init\n"
              "format options:\n"
              "file list size: 896\n"
              "file list used: 1\n"
              "files:\n"
              "  0*   0x3c4 0x3b3c\n"
              "primary area free space: 7733640\n"
              "extended area free space: 0\n");
}

// The format options name --max-sectors only when the count is not 63,
// the one format writes by default, and --chs before it.
TEST(Info, MaxSectorsInFormatOptions) {
    TempDir t;
    const std::string img = t.path("d.img");
    const struct {
        std::vector<std::string> words;
        const char *shown;
    } cases[] = {
        {{"format"}, ""},
        {{"format", "--max-sectors", "0"}, ""},
        {{"format", "--max-sectors", "63"}, ""},
        {{"format", "--max-sectors", "127"}, " --max-sectors 127"},
        {{"format", "--chs"}, " --chs"},
        {{"format", "--max-sectors", "1", "--chs"}, " --chs --max-sectors 1"},
    };
    for (const auto &c : cases) {
        make_blank(img, 40000);
        ok(img, c.words);
        RunResult r = qx(img, {"info"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(std::string("\nformat options:") + c.shown + "\n"), std::string::npos)
            << c.shown << ":\n" << r.out;
    }
}

TEST(Info, FilesAndFreeRanges) {
    UtcZone utc;
    TempDir t;
    const std::string img = t.path("d.img");
    make_blank(img, 40000);
    ok(img, {"format", "--list-size", "1020", "-e", "1000", "--chs", "--max-sectors", "9"});
    // The list takes sectors 68 and 69; P = 16,128, P + E = 17,128.
    store_list(img, 68, 2,
               {
                   {0, 70, 1020, 0, "a"},                   // right after the list: no gap
                   {2, 100, 511, 1700000000, "menu.lst"},   // after a gap, two 510-byte units
                   {1, 16128, 1024, 86399, "at-p"},         // exactly at P after a gap
                   {3, 16200, 1, 951782400, "both"},        // extended, both flags
               });
    RunResult r = qx(img, {"info"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "version: 1.6\n"
              "base boot sector: 63\n"
              "boot code size: 4\n"
              "primary data size: 16128\n"
              "extended data size: 1000\n"
              "debug version: no\n"
              "bpb status: init\n"
              "format options: --chs --max-sectors 9 --extended 1000 --list-size 1020\n"
              "file list size: 2\n"
              "file list used: 1\n"
              "files:\n"
              "  0    \"a\" 0x46 1020 (1970-01-01 00:00:00)\n"
              "  0*   0x48 0x1c\n"
              "  0 s  \"menu.lst\" 0x64 511 (2023-11-14 22:13:20)\n"
              "  0*   0x66 0x3e9a\n"
              "  1e   \"at-p\" 0x3f00 1024 (1970-01-01 23:59:59)\n"
              "  1*   0x3f02 0x46\n"
              "  1es  \"both\" 0x3f48 1 (2000-02-29 00:00:00)\n"
              "  1*   0x3f49 0x39f\n"
              "primary area free space: 8187540\n"
              "extended area free space: 510464\n");
}

TEST(Info, UnsortedListShowsTheWrappedLength) {
    UtcZone utc;
    TempDir t;
    const std::string img = t.path("d.img");
    make_blank(img, 40000);
    ok(img, {"format", "--list-size", "1020"});
    store_list(img, 68, 2, {{0, 200, 510, 0, "late"}, {0, 100, 510, 0, "early"}});
    RunResult r = qx(img, {"info"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string files = r.out.substr(r.out.find("files:\n"));
    EXPECT_EQ(files,
              "files:\n"
              "  0*   0x46 0x82\n"
              "  0    \"late\" 0xc8 510 (1970-01-01 00:00:00)\n"
              "  0*   0xc9 0xffffff9b\n"
              "  0    \"early\" 0x64 510 (1970-01-01 00:00:00)\n"
              "  0*   0x65 0x3e9b\n"
              "primary area free space: 8188560\n"
              "extended area free space: 0\n");
}

TEST(Info, Archive) {
    UtcZone utc;
    TempDir t;
    const std::string ar = t.path("a.qxa");
    std::vector<uint8_t> head(512, 0);
    memcpy(head.data(), "QXAR\x01\x06", 6);
    put16(&head[hdr::LIST_USED], 1);
    put16(&head[hdr::LIST_SECTORS], 2);
    put16(&head[hdr::PRI_SIZE], 16384);
    put32(&head[hdr::EXT_SIZE], 204800);
    head.resize(5 * 512, 0);
    write_file(ar, head);
    store_list(ar, 1, 2, {{0, 3, 600, 0, "x"}});
    RunResult r = qx(ar, {"info"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "version: 1.6\n"
              "file list size: 2\n"
              "original primary data size: 16384\n"
              "original extended data size: 204800\n"
              "total sectors: 5\n"
              "format options: --primary 16384 --extended 204800 --list-size 1020\n"
              "file list size: 2\n"
              "file list used: 1\n"
              "files:\n"
              "  1    \"x\" 0x3 600 (1970-01-01 00:00:00)\n");
}

// ---------------------------------------------------------------- archive

TEST(Format, FromArchive) {
    TempDir t;
    const std::string ar = t.path("a.qxa"), img = t.path("d.img"), data = t.path("data.bin");
    const std::vector<uint8_t> content = pattern_bytes(3000, 11);
    write_file(data, content);
    ok(ar, {"create", "-p", "8m", "-e", "1m", "-l", "1020"});
    ok(ar, {"add", "boot.bin", data});

    // Sizes not given come from the archive (P, list); --extended given
    // on the command line wins. The archive's items are loaded.
    make_blank(img, 100000);
    ok(img, {"format", "--archive", ar, "--extended", "4m"});
    std::vector<uint8_t> head = sector(img, 64);
    EXPECT_EQ(get16(&head[hdr::PRI_SIZE]), 16384);
    EXPECT_EQ(get32(&head[hdr::EXT_SIZE]), 8192u);
    EXPECT_EQ(get16(&head[hdr::LIST_SECTORS]), 2);
    EXPECT_EQ(slot0(sector(img, 0), pte::START), 24576u);
    ok(img, {"export", "boot.bin", t.path("out.bin")});
    EXPECT_EQ(read_file(t.path("out.bin")), content);

    // Archives that are not usable stop format before it writes.
    std::vector<uint8_t> bad = read_file(ar);
    bad[5] = 7;
    write_file(t.path("v17.qxa"), bad);
    write_file(t.path("plain.qxa"), pattern_bytes(2048, 3));
    const std::string blank = t.path("blank.img");
    make_blank(blank, 100000);
    struct Case { std::string file, msg; } cases[] = {
        {t.path("v17.qxa"), "version number not match"},
        {t.path("plain.qxa"), "invalid archive file"},
    };
    for (const Case &c : cases) {
        RunResult r = qx(blank, {"format", "--archive", c.file});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "qxtool: error: " + c.msg + "\n");
        EXPECT_EQ(read_sectors(blank, 0, 64), std::vector<uint8_t>(64 * 512, 0)) << c.msg;
    }
}
