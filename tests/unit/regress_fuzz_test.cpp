// Hostile disks found by fuzzing: each case is a small image that once made
// a command write where it must not; now the command refuses it.
#include "common.h"
#include "fixture.h"
#include "layout.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

QxGeometry small() {
    QxGeometry g;
    g.total = 20000;
    g.list = 4;  // list at 68..71, primary area up to 16128, no extended area
    return g;
}

// Writes the items {name, start, size} as the list of an image of small().
void put_list(const std::string &img, const std::vector<std::tuple<std::string, uint32_t, uint32_t>> &items) {
    std::vector<uint8_t> list(4 * 512, 0);
    size_t ofs = 0;
    for (const auto &[name, start, size] : items) {
        uint8_t *p = &list[ofs];
        p[item::LEN] = uint8_t(name.size() + 13);
        put32(p + item::START, start);
        put32(p + item::SIZE, size);
        memcpy(p + item::NAME, name.c_str(), name.size() + 1);
        ofs += name.size() + 15;
    }
    add_mark(list.data(), 4, 68, uint32_t(ofs) + 1);
    write_sectors(img, 68, list);
}

}  // namespace

// A header whose boot code count is 0 puts the list on the header sector:
// storing the list would overwrite the header. Reading it is refused and
// the header stays as it was.
TEST(FuzzFindings, BootCodeSizeZeroIsRefused) {
    TempDir t;
    const std::string img = t.path("d.img");
    build_qx_image(img, small());
    std::vector<uint8_t> h = read_sectors(img, 64, 1);
    put16(&h[hdr::BOOT_SIZE], 0);
    write_sectors(img, 64, h);
    for (const char *cmd : {"clear", "info"}) {
        RunResult r = run_tool({img, cmd});
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_EQ(r.err, "qxtool: error: invalid boot code size\n") << cmd;
    }
    EXPECT_EQ(read_sectors(img, 64, 1), h);
}

// A list whose items claim sectors past the data areas (the primary area is
// full, two items lie inside the data partition) once made the gap between
// those items a free run: new data went into the data partition. Free runs
// now end at the end of the data areas.
TEST(FuzzFindings, NoPlacementPastTheDataAreas) {
    const std::vector<std::vector<std::string>> commands = {
        {"add", "x", "IN"}, {"add", "-e", "x", "IN"}, {"copy", "far2", "y"}, {"resize", "far2", "2000"}};
    for (const auto &words : commands) {
        TempDir t;
        const std::string img = t.path("d.img"), in = t.path("in.bin");
        build_qx_image(img, small());
        write_file(in, pattern_bytes(700, 1));
        put_list(img, {{"full", 72, (16128 - 72) * 510}, {"far1", 17000, 10 * 512}, {"far2", 18000, 512}});
        const std::vector<uint8_t> partition = read_sectors(img, 16128, 20000 - 16128);
        std::vector<std::string> args{img};
        for (const std::string &w : words) args.push_back(w == "IN" ? in : w);
        RunResult r = run_tool(args);
        EXPECT_EQ(r.status, 1) << words[0];
        EXPECT_EQ(r.err, "qxtool: error: not enough space\n") << words[0];
        EXPECT_TRUE(read_sectors(img, 16128, 20000 - 16128) == partition) << words[0] << " wrote past the data areas";
    }
}

// Without --force, format keeps the disk's partition table and lets the
// extended area fill the room up to its first partition. A table naming a
// start past the end of the disk once gave a header whose extended area
// reached far beyond the disk; the area now ends with the disk at the
// latest. The archive brings an extended-area file, which must land inside.
TEST(FuzzFindings, ExtendedAreaFromTableEndsWithTheDisk) {
    constexpr uint32_t total = 28672, primary = 16128;
    const struct {
        uint32_t first;        // start of the existing partition
        uint32_t ext;          // extended data size the header must get
    } cases[] = {
        {17408, 17408 - primary},      // a partition on the disk: room up to it
        {total, total - primary},      // right at the end
        {0x40000000, total - primary}, // far past the end
    };
    for (const auto &c : cases) {
        TempDir t;
        const std::string img = t.path("d.img"), ar = t.path("a.qxa"), in = t.path("in.bin");
        write_file(in, pattern_bytes(3000, 5));
        ASSERT_EQ(run_tool({ar, "create", "-e", "16"}).status, 0);
        ASSERT_EQ(run_tool({ar, "add", "-e", "big", in}).status, 0);
        // The archive asks for no extended size of its own.
        std::vector<uint8_t> h = read_sectors(ar, 0, 1);
        put32(&h[hdr::EXT_SIZE], 0);
        write_sectors(ar, 0, h);

        make_blank(img, total);
        std::vector<uint8_t> mbr(512, 0);
        mbr[mbr::PART_TABLE + pte::TYPE] = 0x0E;
        put32(&mbr[mbr::PART_TABLE + pte::START], c.first);
        put32(&mbr[mbr::PART_TABLE + pte::COUNT], 1024);
        mbr[mbr::SIGNATURE] = 0x55;
        mbr[mbr::SIGNATURE + 1] = 0xAA;
        write_sectors(img, 0, mbr);

        RunResult r = run_tool({img, "format", "--archive", ar});
        ASSERT_EQ(r.status, 0) << c.first << ": " << r.err;
        EXPECT_EQ(read_file(img).size(), size_t(total) * 512) << c.first;
        EXPECT_EQ(get32(&read_sectors(img, 64, 1)[hdr::EXT_SIZE]), c.ext) << c.first;
        EXPECT_EQ(read_sectors(img, 0, 1)[mbr::PART_TABLE + pte::START], mbr[mbr::PART_TABLE + pte::START])
            << c.first << ": the existing table stays";
        RunResult x = run_tool({img, "export", "big", t.path("out.bin")});
        ASSERT_EQ(x.status, 0) << c.first << ": " << x.err;
        EXPECT_EQ(read_file(t.path("out.bin")), read_file(in)) << c.first;
    }
}

// A table whose data partition starts among the sectors that the copies of
// the boot record (restore, sync) or the boot code (update) take once made
// those commands write over the partition's first sectors. They now refuse,
// and the partition stays as it was.
TEST(FuzzFindings, CopiesAndBootCodeNeverOverwriteThePartition) {
    const struct {
        std::vector<std::string> words;
        uint32_t first;  // where sector 0's table puts the partition
        bool broken_sector0;
        const char *err;
    } cases[] = {
        {{"sync"}, 40, false, "copies of the boot record would overwrite the partition at sector 40"},
        {{"sync", "--copy-bpb"}, 63, false, "copies of the boot record would overwrite the partition at sector 63"},
        {{"update"}, 64, false, "boot code would overwrite the partition at sector 64"},
        {{"update"}, 67, false, "boot code would overwrite the partition at sector 67"},
        // Copies 1..29 are lost, copy 30 is intact: rebuilding 0..29 would
        // cover a partition at 10.
        {{"restore"}, 10, true, "copies of the boot record would overwrite the partition at sector 10"},
    };
    for (const auto &c : cases) {
        TempDir t;
        const std::string img = t.path("d.img");
        build_qx_image(img, small());
        std::vector<uint8_t> s0 = read_sectors(img, 0, 1);
        put32(&s0[mbr::PART_TABLE + pte::START], c.first);
        if (c.broken_sector0) {
            memset(&s0[mbr::MAGIC], 0, 4);
            write_sectors(img, 1, std::vector<uint8_t>(29 * 512, 0));
        }
        write_sectors(img, 0, s0);
        // Old boot code, which update would rewrite.
        if (c.words[0] == "update") write_sectors(img, 65, std::vector<uint8_t>(3 * 512, 0));
        const std::vector<uint8_t> disk = read_file(img);

        std::vector<std::string> args{img};
        args.insert(args.end(), c.words.begin(), c.words.end());
        RunResult r = run_tool(args);
        EXPECT_EQ(r.status, 1) << c.words[0] << " " << c.first;
        EXPECT_EQ(r.err, std::string("qxtool: error: ") + c.err + "\n") << c.words[0] << " " << c.first;
        EXPECT_TRUE(read_file(img) == disk) << c.words[0] << " " << c.first << " changed the disk";
    }
    // The partition right after the boot code is fine.
    TempDir t;
    const std::string img = t.path("d.img");
    build_qx_image(img, small());
    std::vector<uint8_t> s0 = read_sectors(img, 0, 1);
    put32(&s0[mbr::PART_TABLE + pte::START], 68);
    write_sectors(img, 0, s0);
    for (const char *cmd : {"sync", "update"}) {
        RunResult r = run_tool({img, cmd});
        EXPECT_EQ(r.status, 0) << cmd << ": " << r.err;
    }
}
