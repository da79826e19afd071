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
