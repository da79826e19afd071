// A sweep of format over disk sizes and the options that change the data
// partition's geometry. Each volume's boot sector and the partition table
// are checked against what the FAT rules themselves demand, computed here
// from the written fields alone: the cluster count, room in each FAT for
// every cluster and the two reserved entries, the FAT type that the count
// implies, the partition size against the volume's total, the hidden
// sectors against the partition start. Every FAT size-class boundary is
// swept, then a seeded sample of sizes; QX_SWEEP_SIZES widens the sample.
//
// The sweep plans the layout (the same bytes format writes, computed with
// nothing written), so thousands of sizes take seconds; the sizes that once
// went wrong are formatted for real and checked from the image.
#include "common.h"
#include "fixture.h"
#include "format.h"
#include "layout.h"
#include "sweep.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t PRIMARY = 16128;

// What one format run asks for, as the sweep sees it.
struct option_set {
    std::vector<std::string> words;
    bool raw = false;
    uint32_t base = 63;       // raw mode: the partition's start
    uint32_t primary = PRIMARY, extended = 0, nalign = 256;
    bool align = false;
    int fat = 0;              // 16 or 32 when forced
    uint32_t unit = 0;
};

bool power_of_two(uint32_t v) { return v && !(v & (v - 1)); }

// Checks a FAT boot sector against the rules a FAT driver applies, and
// against the partition it lies in (start and size, from the partition
// table or, without one, the whole disk). Returns the problems found.
std::string check_volume(const uint8_t *bs, uint64_t part_start, uint64_t part_size, const option_set &o) {
    std::ostringstream bad;
    const uint32_t bytes = get16(bs + 0x0B), spc = bs[0x0D], rsvd = get16(bs + 0x0E), fats = bs[0x10];
    const uint32_t root_ent = get16(bs + 0x11), tot16 = get16(bs + 0x13), fat16sz = get16(bs + 0x16);
    const uint32_t hidden = get32(bs + 0x1C), tot32 = get32(bs + 0x20);
    const bool fat32_form = fat16sz == 0;
    const uint32_t fat_sz = fat32_form ? get32(bs + 0x24) : fat16sz;
    const uint64_t total = tot16 ? tot16 : tot32;
    if (bs[0x1FE] != 0x55 || bs[0x1FF] != 0xAA) bad << " no 55AA;";
    if (bytes != 512) bad << " bytes per sector " << bytes << ";";
    if (fats != 2) bad << " " << fats << " FATs;";
    if (!power_of_two(spc) || spc > 128) bad << " cluster size " << spc << ";";
    if (o.unit && spc != o.unit && part_size != 2880 && part_size != 5760) bad << " cluster size " << spc << " asked " << o.unit << ";";
    if (rsvd == 0) bad << " no reserved sector;";
    if ((root_ent * 32) % 512) bad << " root entries " << root_ent << ";";
    if (tot16 && tot32) bad << " both total fields;";
    if ((tot16 != 0) != (total < 65536 && !fat32_form)) bad << " total in the wrong field;";
    if (total != part_size) bad << " total " << total << " but partition " << part_size << ";";
    if (hidden != part_start) bad << " hidden " << hidden << " but partition at " << part_start << ";";
    if (!spc || bad.tellp() > 0) return bad.str();

    const uint64_t root_secs = (root_ent * 32 + 511) / 512;
    const uint64_t meta = rsvd + 2ull * fat_sz + root_secs;
    if (meta >= total) return bad.str() + " no data region;";
    const uint64_t clusters = (total - meta) / spc;
    const int type = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
    const char *type_text = reinterpret_cast<const char *>(bs) + (fat32_form ? 0x52 : 0x36);
    char want[9];
    snprintf(want, sizeof want, "FAT%d   ", type);
    if (memcmp(type_text, want, 8)) bad << " " << clusters << " clusters make FAT" << type << ", written " << std::string(type_text, 8) << ";";
    if ((type == 32) != fat32_form) bad << " FAT" << type << " in the wrong BPB form;";
    if (uint64_t(fat_sz) * 512 * 8 / type < clusters + 2)
        bad << " FAT of " << fat_sz << " sectors short for " << clusters << " clusters;";
    if (type == 32 && clusters > 0x0FFFFFF5) bad << " " << clusters << " clusters;";
    if (o.fat && type != o.fat && !(o.fat == 16 && type == 12)) bad << " FAT" << type << " asked FAT" << o.fat << ";";
    if (type == 32 && (get32(bs + 0x2C) != 2 || get16(bs + 0x30) != 1 || get16(bs + 0x32) != 6))
        bad << " FAT32 root, FSInfo or backup fields;";
    // Aligned data regions start on a cluster boundary. The two FATs grow
    // together, so the gap must be even: the root directory's (FAT16) or the
    // reserved area's (FAT32) size follows the start's parity to make it so.
    // The small FAT12 form has a fixed root directory, and an odd start
    // leaves it one sector short.
    const uint64_t data = part_start + meta;
    if (o.align && part_size > 8400 && data % spc) bad << " data at " << data << " not on a cluster boundary;";
    return bad.str();
}

// Checks a planned or written layout: sector 0 (partition table) and the
// volume's boot sector, on a disk of d sectors.
std::string check_layout(const uint8_t *sector0, const uint8_t *boot, uint64_t d, const option_set &o) {
    const uint64_t start = expected_start(o), size = d - start;
    std::ostringstream bad;
    if (o.raw && o.base == 0) return check_volume(boot, 0, d, o);
    const uint8_t *e = sector0 + mbr::PART_TABLE;
    if (get32(e + pte::START) != start) bad << " partition at " << get32(e + pte::START) << ", want " << start << ";";
    if (get32(e + pte::COUNT) != size) bad << " partition of " << get32(e + pte::COUNT) << ", want " << size << ";";
    if (uint64_t(get32(e + pte::START)) + get32(e + pte::COUNT) > d) bad << " partition past the disk's end;";
    const bool fat32 = get16(boot + 0x16) == 0;
    if (e[pte::TYPE] != (fat32 ? 0x0C : 0x0E)) bad << " type byte " << int(e[pte::TYPE]) << ";";
    return bad.str() + check_volume(boot, get32(e + pte::START), get32(e + pte::COUNT), o);
}

std::vector<option_set> option_sets() {
    std::vector<option_set> sets;
    auto add = [&](std::vector<std::string> words, auto tweak) { add_option_set(sets, words, tweak); };
    auto none = [](option_set &) {};
    add({"format"}, none);
    add({"format", "--align"}, [](option_set &o) { o.align = true; });
    add({"format", "-f", "--fat16"}, [](option_set &o) { o.fat = 16; });
    add({"format", "-f", "--fat32", "-a"}, [](option_set &o) { o.fat = 32, o.align = true; });
    add({"format", "-f", "--zip", "--nalign", "2048"}, [](option_set &o) { o.nalign = 2048; });
    add({"format", "-f", "-a", "-n", "4096", "-e", "1000"}, [](option_set &o) { o.align = true, o.nalign = 4096, o.extended = 1000; });
    add({"format", "--extended", "100m", "--force", "--align", "--primary", "8m"},
        [](option_set &o) { o.extended = 204800, o.primary = 16384, o.align = true; });
    add({"format", "-f", "-p", "65535", "-e", "7"}, [](option_set &o) { o.primary = 65535, o.extended = 7; });
    add({"format", "--raw", "--force"}, [](option_set &o) { o.raw = true; });
    add({"format", "-r", "-f", "-b", "0"}, [](option_set &o) { o.raw = true, o.base = 0; });
    add({"format", "-r", "-f", "-b", "1", "-a"}, [](option_set &o) { o.raw = true, o.base = 1, o.align = true; });
    add({"format", "-r", "-f", "-b", "2048", "--fat32"}, [](option_set &o) { o.raw = true, o.base = 2048, o.fat = 32; });
    for (uint32_t u = 1; u <= 128; u *= 2) {
        add({"format", "-f", "-u", std::to_string(u)}, [u](option_set &o) { o.unit = u; });
        add({"format", "-r", "-f", "-b", "63", "-a", "-u", std::to_string(u)},
            [u](option_set &o) { o.raw = true, o.align = true, o.unit = u; });
        add({"format", "-f", "--fat16", "-a", "-u", std::to_string(u)},
            [u](option_set &o) { o.fat = 16, o.align = true, o.unit = u; });
        add({"format", "-f", "--fat32", "-u", std::to_string(u)}, [u](option_set &o) { o.fat = 32, o.unit = u; });
    }
    return sets;
}

// Partition sizes at which the FAT rules change: the size tables' bounds,
// the diskette geometries, the FAT32 switch, and, for each cluster size,
// the sizes where the cluster count crosses a FAT type's limit.
std::vector<uint64_t> boundary_sizes() {
    std::vector<uint64_t> b = {2880, 5760, 8400, 32680, 66600, 262144, 524288, 532480, 1048576,
                               2097152, 4194304, 16777216, 33554432, 67108864, 0xFFFFFFFFull - 300000};
    for (uint64_t spc = 1; spc <= 128; spc *= 2)
        for (uint64_t count : {4085ull, 65525ull, 0x0FFFFFF5ull}) b.push_back(count * spc);
    return sizes_around(b, 300, 37);
}

// The refusals a size may meet when nothing about the cluster size was
// asked: the FAT16 table refuses up to 8400 sectors. Anything else without
// --fat16, --fat32 or --unit-size is a gap in what format can make.
bool refusal_allowed(const option_set &o, uint64_t z, const std::string &msg) {
    if (o.fat || o.unit) return msg.find("invalid") != std::string::npos || msg.find("too small") != std::string::npos;
    return z <= 8400 && z != 2880 && z != 5760 && msg == "invalid size of fat16";
}

void sweep(const std::vector<uint64_t> &zs, sweep_counts *n) {
    sweep_plans(
        "qxsweep", option_sets(), zs, 0xFFFFFFFFull,
        [](const option_set &o, uint64_t z) { return expected_start(o) + z; },
        [](const option_set &o, uint64_t d, const std::string &msg) { return refusal_allowed(o, d - expected_start(o), msg); },
        [](const option_set &o, uint64_t d, const format_plan &plan) {
            return plan.new_volume ? check_layout(plan.sector0, plan.fat.boot, d, o) : std::string(" no new volume;");
        },
        n);
}

}  // namespace

TEST(FatSweep, SizeClassBoundaries) {
    sweep_counts n;
    sweep(boundary_sizes(), &n);
    EXPECT_GT(n.planned, 10000u);  // the sweep really reached volumes
    RecordProperty("planned", int(n.planned));
    RecordProperty("refused", int(n.refused));
}

TEST(FatSweep, SeededSample) {
    const char *env = getenv("QX_SWEEP_SIZES");
    const size_t n = env ? strtoul(env, nullptr, 10) : 2000;
    std::mt19937_64 rng(20261210);
    std::vector<uint64_t> zs;
    for (size_t i = 0; i < n; i++) {
        // Half in the FAT16 range, where the FATs have the least slack, half
        // spread over every size up to 2 TiB (uniform in the exponent).
        if (i % 2 == 0) {
            zs.push_back(8401 + rng() % (4194304 - 8401));
        } else {
            const double e = std::uniform_real_distribution<double>(11.0, 32.0)(rng);
            zs.push_back(uint64_t(std::pow(2.0, e)));
        }
    }
    sweep_counts counts;
    sweep(zs, &counts);
    EXPECT_GT(counts.planned, n);
}

// The sizes at which the FATs once came out short, formatted for real and
// checked from the image: a 64 MiB image, plain format on three sizes, the
// raw layout from sector 0, the front end's command, FAT16 with 64 sectors
// per cluster.
TEST(FatSweep, WrittenVolumesHoldEveryCluster) {
    struct Case {
        uint64_t bytes;
        option_set o;
    } cases[] = {
        {67108864, {{"format", "--force"}}},
        {68157440, {{"format"}}},
        {96000000, {{"format"}}},
        {12746752, {{"format"}}},
        {4489216, {{"format", "--raw", "--force", "--base", "0"}, true, 0}},
        {209918976, {{"format", "--extended", "100m", "--force", "--align", "--primary", "8m"}, false, 63, 16384, 204800, 256, true}},
        {1056972288, {{"format", "--force", "--fat16", "--unit-size", "64"}, false, 63, PRIMARY, 0, 256, false, 16, 64}},
    };
    TempDir t;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << testing::PrintToString(c.o.words) << " on " << c.bytes << " bytes");
        const std::string img = t.path("d.img");
        make_blank(img, c.bytes / 512);
        std::vector<std::string> args = {img};
        args.insert(args.end(), c.o.words.begin(), c.o.words.end());
        RunResult r = run_tool(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<uint8_t> s0 = read_sectors(img, 0, 1);
        const uint32_t start = c.o.raw && c.o.base == 0 ? 0 : get32(&s0[mbr::PART_TABLE + pte::START]);
        const std::vector<uint8_t> boot = read_sectors(img, start, 1);
        EXPECT_EQ(check_layout(s0.data(), boot.data(), c.bytes / 512, c.o), "");
        // The first FAT sector and the FAT's last sector lie where the boot
        // sector says, and the second FAT starts with the same bytes.
        const uint32_t fat_sz = get16(&boot[0x16]), rsvd = get16(&boot[0x0E]);
        EXPECT_EQ(read_sectors(img, start + rsvd, 1), read_sectors(img, start + rsvd + fat_sz, 1));
        unlink(img.c_str());
    }
}
