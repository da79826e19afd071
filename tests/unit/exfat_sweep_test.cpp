// A sweep of format --exfat over disk sizes and the options that change the
// volume's geometry. Each planned volume's boot region is checked against
// the rules an exFAT driver applies, computed here from the written fields
// alone: the FAT and the cluster heap inside the volume and apart, a FAT
// entry for every cluster, the cluster count the heap gives, the cluster
// size the volume's size class asks for, the 1 MiB and (with --align)
// cluster alignment on the disk, the partition table against the volume,
// and the boot checksum. fsck.exfat, mkfs.exfat and exfat-fuse check
// written volumes in tests/exfat.
#include "common.h"
#include "exfat.h"
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

struct option_set {
    std::vector<std::string> words;
    bool raw = false;
    uint32_t base = 63, primary = 16128, extended = 0, nalign = 256;
    bool align = false;
    uint32_t unit = 0;
    uint32_t esp = 0;  // the EFI system partition's size, 0 for none
};

uint64_t u64(const uint8_t *p) { return get32(p) | uint64_t(get32(p + 4)) << 32; }

// The cluster size a volume of z sectors gets when none is asked for.
uint32_t class_spc(uint64_t z) { return z <= 524288 ? 8 : z <= 67108864 ? 64 : 256; }

std::string check_volume(const uint8_t *b, uint64_t start, uint64_t z, const option_set &o) {
    std::ostringstream bad;
    if (memcmp(b, "\xEB\x76\x90" "EXFAT   ", 11)) bad << " jump or name;";
    for (int i = 11; i < 64; i++)
        if (b[i]) {
            bad << " byte " << i << " of the FAT BPB area not zero;";
            break;
        }
    if (b[510] != 0x55 || b[511] != 0xAA) bad << " no 55AA;";
    const uint64_t offset = u64(b + 64), length = u64(b + 72);
    const uint64_t fat_off = get32(b + 80), fat_len = get32(b + 84), heap = get32(b + 88), count = get32(b + 92);
    const uint64_t root = get32(b + 96);
    if (offset != start) bad << " partition offset " << offset << ", partition at " << start << ";";
    if (length != z) bad << " volume length " << length << ", partition " << z << ";";
    if (length < 2048) bad << " volume below 1 MiB;";
    if (get16(b + 104) != 0x0100 || b[108] != 9 || b[110] != 1) bad << " revision, sector shift or FAT count;";
    if (b[109] > 16) return bad.str() + " cluster shift " + std::to_string(b[109]) + ";";
    const uint64_t spc = 1u << b[109];
    const uint64_t want_spc = o.unit ? o.unit : class_spc(z);
    if (spc != want_spc) bad << " " << spc << " sectors per cluster, want " << want_spc << ";";
    if (fat_off < 24) bad << " FAT at " << fat_off << ", inside the boot regions;";
    if (fat_off + fat_len > heap) bad << " FAT reaches into the heap;";
    if (heap + count * spc > length) bad << " heap past the volume;";
    if (count != (length - heap) / spc) bad << " " << count << " clusters, the heap holds " << (length - heap) / spc << ";";
    if (count > 0xFFFFFFF5u) bad << " " << count << " clusters;";
    if (fat_len * 512 / 4 < count + 2) bad << " FAT of " << fat_len << " sectors short for " << count << " clusters;";
    if (root < 2 || root >= count + 2) bad << " root cluster " << root << ";";
    // The bitmap, the up-case table and the root come first in the heap.
    const uint64_t bitmap_clusters = ((count + 7) / 8 + spc * 512 - 1) / (spc * 512);
    if (root < 2 + bitmap_clusters + 1) bad << " root cluster " << root << " inside the bitmap or up-case table;";
    // 1 MiB boundaries on every volume with room for them: from 4 MiB and
    // 64 clusters on.
    const bool roomy = z >= 8192 && z >= 64 * spc;
    if (roomy && (start + heap) % 2048) bad << " heap at disk sector " << start + heap << ";";
    if (roomy && (start + fat_off) % 2048) bad << " FAT at disk sector " << start + fat_off << ";";
    if (o.align && (start + heap) % spc) bad << " --align, heap at disk sector " << start + heap << ";";
    // The boot checksum, over the first eleven sectors without the volume
    // flags and the percentage in use, repeated through sector 11.
    uint32_t sum = 0;
    for (uint32_t i = 0; i < 11 * 512; i++)
        if (i != 106 && i != 107 && i != 112) sum = (sum >> 1 | sum << 31) + b[i];
    for (uint32_t i = 0; i < 512; i += 4)
        if (get32(b + 11 * 512 + i) != sum) {
            bad << " boot checksum;";
            break;
        }
    for (int s = 1; s <= 8; s++)
        if (get32(b + s * 512 + 508) != 0xAA550000u) bad << " extended boot sector " << s << " signature;";
    return bad.str();
}

// The data partition reaches to the disk's end, or, with an EFI system
// partition, to the last alignment boundary that leaves room for it there.
uint64_t expected_size(const option_set &o, uint64_t d) {
    const uint64_t start = expected_start(o);
    if (!o.esp) return d - start;
    const uint64_t end = (d - o.esp) / o.nalign * o.nalign;
    return end > start ? end - start : 0;
}

std::string check_layout(const format_plan &plan, uint64_t d, const option_set &o) {
    const uint64_t start = expected_start(o), size = expected_size(o, d);
    const uint8_t *boot = plan.exfat.boot;
    if (o.raw && o.base == 0) return check_volume(boot, 0, d, o);
    std::ostringstream bad;
    const uint8_t *e = plan.sector0 + mbr::PART_TABLE;
    if (get32(e + pte::START) != start || get32(e + pte::COUNT) != size)
        bad << " partition " << get32(e + pte::START) << "+" << get32(e + pte::COUNT) << ", want " << start << "+" << size << ";";
    if (e[pte::TYPE] != 0x07 || e[pte::BOOT] != 0x80) bad << " slot 0 type or boot flag;";
    // Slot 1: the EFI system partition on the next boundary, inside the
    // disk, with a FAT volume of its size; or nothing.
    e += pte::SIZE;
    if (o.esp) {
        const uint64_t esp_start = get32(e + pte::START), esp_size = get32(e + pte::COUNT);
        if (e[pte::TYPE] != 0xEF || e[pte::BOOT] != 0) bad << " slot 1 type or boot flag;";
        if (esp_start % o.nalign || esp_start < start + size || esp_start >= start + size + o.nalign)
            bad << " EFI system partition at " << esp_start << ";";
        if (esp_size != o.esp || esp_start + esp_size > d) bad << " EFI system partition of " << esp_size << ";";
        const uint8_t *fb = plan.esp.boot;
        if (get32(fb + bpb::HIDD_SEC) != esp_start || (get16(fb + bpb::TOT_SEC16) ? get16(fb + bpb::TOT_SEC16) : get32(fb + bpb::TOT_SEC32)) != esp_size)
            bad << " EFI system partition's FAT volume does not fill it;";
    } else if (e[pte::TYPE]) {
        bad << " slot 1 used;";
    }
    return bad.str() + check_volume(boot, start, size, o);
}

std::vector<option_set> option_sets() {
    std::vector<option_set> sets;
    auto add = [&](std::vector<std::string> words, auto tweak) { add_option_set(sets, words, tweak); };
    auto none = [](option_set &) {};
    auto esp = [](option_set &o) { o.esp = 131072; };
    add({"format", "--exfat"}, esp);
    add({"format", "--exfat", "--align"}, [](option_set &o) { o.align = true, o.esp = 131072; });
    add({"format", "--exfat", "--esp-size", "0"}, none);
    add({"format", "--exfat", "--esp-size", "8401", "-a"}, [](option_set &o) { o.align = true, o.esp = 8401; });
    add({"format", "-f", "--fat32", "--exfat", "-n", "4096", "-e", "1000", "-a", "--esp-size", "1g"},
        [](option_set &o) { o.align = true, o.nalign = 4096, o.extended = 1000, o.esp = 2097152; });
    add({"format", "--extended", "100m", "--force", "--align", "--primary", "8m", "--exfat"},
        [](option_set &o) { o.extended = 204800, o.primary = 16384, o.align = true, o.esp = 131072; });
    add({"format", "-r", "-f", "-b", "0", "--exfat"}, [](option_set &o) { o.raw = true, o.base = 0; });
    add({"format", "-r", "-f", "-b", "63", "--exfat"}, [](option_set &o) { o.raw = true; });
    add({"format", "-r", "-f", "-b", "1", "--exfat", "-a"}, [](option_set &o) { o.raw = true, o.base = 1, o.align = true; });
    for (uint32_t u = 1; u <= 65536; u *= 4) {
        add({"format", "-f", "--exfat", "-u", std::to_string(u)}, [u](option_set &o) { o.unit = u, o.esp = 131072; });
        add({"format", "-r", "-f", "-b", "63", "--exfat", "-a", "-u", std::to_string(u)},
            [u](option_set &o) { o.raw = true, o.align = true, o.unit = u; });
    }
    return sets;
}

// Volume sizes where the rules change: the smallest volume, the sizes where
// the 1 MiB boundaries stop fitting, the cluster-size classes, FAT lengths
// that end on a cluster, and the largest disk.
std::vector<uint64_t> boundary_sizes() {
    std::vector<uint64_t> b = {2048, 4096, 6144, 8192, 8208, 524288, 67108864, 134217728, 0xFFFFFFFEull - 300000};
    for (uint64_t spc : {8, 64, 256})
        for (uint64_t k : {1, 2, 1024}) b.push_back(k * 1024 * spc);  // a FAT of k clusters
    return sizes_around(b, 200, 49);
}

// A disk without room for the EFI system partition after the data
// partition's start is refused, a volume below 1 MiB too, and so is one too
// small for the metadata at the cluster size asked for. Anything else is a
// gap in what format makes.
bool refusal_allowed(const option_set &o, uint64_t z, const std::string &msg) {
    if (o.esp && z == 0) return msg == "the disk is too small for an efi system partition of " + std::to_string(o.esp) + " sectors";
    if (z < 2048) return msg == "partition of " + std::to_string(z) + " sectors too small for exfat";
    return o.unit > 8 && msg.find("too small for exfat with") != std::string::npos;
}

// Each disk has room for the data partition of z sectors and the EFI
// system partition after it.
void sweep(const std::vector<uint64_t> &zs, sweep_counts *n) {
    sweep_plans(
        "qxexsweep", option_sets(), zs, 0xFFFFFFFEull,
        [](const option_set &o, uint64_t z) { return expected_start(o) + z + o.esp; },
        [](const option_set &o, uint64_t d, const std::string &msg) { return refusal_allowed(o, expected_size(o, d), msg); },
        [](const option_set &o, uint64_t d, const format_plan &plan) {
            const uint64_t data = expected_size(o, d);
            const std::string small = data >= 2048 ? "" : " planned a volume of " + std::to_string(data) + " sectors;";
            return small + check_layout(plan, d, o);
        },
        n);
}

}  // namespace

TEST(ExfatSweep, SizeClassBoundaries) {
    sweep_counts n;
    sweep(boundary_sizes(), &n);
    EXPECT_GT(n.planned, 2000u);
    EXPECT_GT(n.refused, 0u);  // the sizes below 1 MiB were reached
    RecordProperty("planned", int(n.planned));
    RecordProperty("refused", int(n.refused));
}

TEST(ExfatSweep, SeededSample) {
    const char *env = getenv("QX_SWEEP_SIZES");
    const size_t n = env ? strtoul(env, nullptr, 10) : 1000;
    std::mt19937_64 rng(20261211);
    std::vector<uint64_t> zs;
    for (size_t i = 0; i < n; i++) {
        const double e = std::uniform_real_distribution<double>(11.0, 32.0)(rng);
        zs.push_back(uint64_t(std::pow(2.0, e)));
    }
    sweep_counts counts;
    sweep(zs, &counts);
    EXPECT_GT(counts.planned, n);
}
