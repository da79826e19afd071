// "volume-id N" through the real binary on formatted QX images: exactly the
// ID's bytes change (cmp lists every byte that differs), exFAT's checksums
// follow, and every refusal leaves the image as it was.
#include "common.h"
#include "exfat.h"
#include "fixture.h"
#include "layout.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

namespace {

const std::string bin = QXTOOL_BIN;
constexpr uint32_t DATA = 16128;  // the data partition's first sector with format's defaults

RunResult qx(const std::string &args) { return run_shell(bin + " " + args); }

// A fresh image of the given size formatted with the given words.
std::string formatted(const TempDir &t, const std::string &name, uint64_t sectors, const std::string &words) {
    const std::string img = t.path(name);
    make_blank(img, sectors);
    RunResult r = qx(img + " format " + words);
    EXPECT_EQ(r.status, 0) << r.err;
    return img;
}

// Every byte in which two files differ, by offset, as cmp lists them.
std::map<uint64_t, uint8_t> differences(const std::string &a, const std::string &b) {
    RunResult r = run_shell("cmp -l '" + a + "' '" + b + "'");
    EXPECT_NE(r.status, 2) << r.err;
    std::map<uint64_t, uint8_t> out;
    std::istringstream in(r.out);
    unsigned long long at;
    unsigned was, now;
    while (in >> at >> std::oct >> was >> now >> std::dec) out[at - 1] = uint8_t(now);
    return out;
}

std::string copy_of(const std::string &img) {
    const std::string c = img + ".before";
    EXPECT_EQ(run_shell("cp --sparse=always '" + img + "' '" + c + "'").status, 0);
    return c;
}

// The new ID's four bytes at an offset, as the expected differences (a byte
// that already held its new value is no difference).
void expect_id_at(std::map<uint64_t, uint8_t> &want, const std::vector<uint8_t> &before, uint64_t at,
                  uint64_t base, uint32_t id) {
    for (int i = 0; i < 4; i++) {
        const uint8_t v = uint8_t(id >> (8 * i));
        if (before[at - base + i] != v) want[at + i] = v;
    }
}

}  // namespace

TEST(VolumeIdCli, OnlyTheIdChanges) {
    struct Case {
        const char *name;
        uint64_t sectors;
        const char *words;
        const char *id;
        uint32_t value;
    } cases[] = {
        {"fat16", 100000, "--force", "0x1A2B3C4D", 0x1A2B3C4D},
        {"fat32 (and its backup)", 1100000, "--force --fat32", "305419896", 0x12345678},
        {"fat32 on the front end's layout", 1400000, "--extended 100m --force --align --primary 8m", "0xFFFFFFFF",
         0xFFFFFFFF},
        {"exfat (both boot regions)", 300000, "--force --exfat", "0xCAFEBABE", 0xCAFEBABE},
        {"fat16, id 0 again", 100000, "--force --volume-id 7", "0", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir t;
        const std::string img = formatted(t, "disk.img", c.sectors, c.words);
        const uint32_t start = get32(read_sectors(img, 0, 1).data() + mbr::PART_TABLE + pte::START);
        const std::vector<uint8_t> vol = read_sectors(img, start, 24);
        const std::string before = copy_of(img);

        RunResult r = qx(img + " volume-id " + c.id);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");

        const uint64_t base = uint64_t(start) * SECTOR;
        std::map<uint64_t, uint8_t> want;
        if (is_exfat_boot(vol.data())) {
            // Each region's serial and the checksum over its changed bytes.
            for (uint32_t region : {0u, exfat::REGION_SECTORS}) {
                std::vector<uint8_t> b(vol.begin() + region * SECTOR,
                                       vol.begin() + (region + exfat::REGION_SECTORS) * SECTOR);
                const uint64_t at = base + uint64_t(region) * SECTOR;
                expect_id_at(want, vol, at + exfat::VOLUME_SERIAL, base, c.value);
                put32(b.data() + exfat::VOLUME_SERIAL, c.value);
                const uint32_t sum = exfat_boot_checksum(b.data());
                for (uint32_t i = 0; i < SECTOR; i += 4)
                    expect_id_at(want, vol, at + exfat::CHECKSUM_SECTOR * SECTOR + i, base, sum);
            }
        } else if (get16(vol.data() + bpb::FAT_SZ16) == 0) {
            expect_id_at(want, vol, base + bpb::VOL_ID32, base, c.value);
            expect_id_at(want, vol, base + 6 * SECTOR + bpb::VOL_ID32, base, c.value);
        } else {
            expect_id_at(want, vol, base + bpb::VOL_ID, base, c.value);
        }
        EXPECT_EQ(differences(before, img), want);
    }
}

TEST(VolumeIdCli, RefusalsLeaveTheImageAsItWas) {
    // Each case damages a fresh image (FAT16, FAT32 or exFAT) and expects
    // the one message; the image after the refusal must be the damaged one.
    struct Case {
        const char *name;
        uint64_t sectors;
        const char *words;  // format's; "" for a blank image
        std::function<void(const std::string &)> damage;
        std::string args;
        std::string message;
    };
    auto patch = [](uint32_t sector, uint32_t at, std::vector<uint8_t> bytes) {
        return [=](const std::string &img) {
            std::vector<uint8_t> s = read_sectors(img, sector, 1);
            std::copy(bytes.begin(), bytes.end(), s.begin() + at);
            write_sectors(img, sector, s);
        };
    };
    auto nothing = [](const std::string &) {};
    const uint32_t slot0 = mbr::PART_TABLE;
    const Case cases[] = {
        {"no id", 100000, "--force", nothing, "", "not enough parameters"},
        {"two ids", 100000, "--force", nothing, "1 2", "too many parameters"},
        {"not a number", 100000, "--force", nothing, "0x12G", "invalid volume id 0x12G"},
        {"empty", 100000, "--force", nothing, "''", "invalid volume id "},
        {"negative", 100000, "--force", nothing, "-5", "invalid number -5"},
        {"too large", 100000, "--force", nothing, "4294967296", "number too large 4294967296"},
        {"no qx layout", 100000, "", nothing, "1", "qx mbr not initialized"},
        {"empty slot 0", 100000, "--force", patch(0, slot0, std::vector<uint8_t>(16, 0)), "1",
         "no data partition"},
        {"partition past the end", 100000, "--force", patch(0, slot0 + pte::COUNT, {0xFF, 0xFF, 0x01, 0x00}), "1",
         "data partition at sector 16128 reaches past the end of the disk"},
        {"no volume in the partition", 100000, "--force", patch(DATA, 510, {0, 0}), "1",
         "data partition holds no fat or exfat volume"},
        {"another file system (no fats)", 100000, "--force",
         patch(DATA, 3, {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' ', 0x00, 0x02, 0x08, 0, 0, 0}), "1",
         "data partition holds no fat or exfat volume"},
        {"sector size", 100000, "--force", patch(DATA, bpb::BYTS_PER_SEC, {0x00, 0x04}), "1",
         "boot sector of the data partition is damaged (bytes per sector)"},
        {"cluster size", 100000, "--force", patch(DATA, bpb::SEC_PER_CLUS, {3}), "1",
         "boot sector of the data partition is damaged (sectors per cluster)"},
        {"volume larger than the partition", 100000, "--force", patch(DATA, bpb::TOT_SEC32, {0xFF, 0xFF, 0x01, 0}),
         "1", "boot sector of the data partition is damaged (total sectors)"},
        {"no id field", 100000, "--force", patch(DATA, bpb::BOOT_SIG, {0}), "1",
         "boot sector of the data partition has no volume id field"},
        {"fat32 backup of another volume", 1100000, "--force --fat32",
         patch(DATA + 6, bpb::SEC_PER_CLUS, {64}), "1",
         "backup boot sector of the data partition differs from its boot sector"},
        {"fat32 backup inside the fat", 1100000, "--force --fat32", patch(DATA, bpb::BK_BOOT_SEC, {40, 0}), "1",
         "boot sector of the data partition is damaged (backup boot sector)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir t;
        std::string img = t.path("disk.img");
        if (*c.words) {
            img = formatted(t, "disk.img", c.sectors, c.words);
        } else {
            make_blank(img, c.sectors);
        }
        c.damage(img);
        const std::string before = copy_of(img);
        RunResult r = qx(img + " volume-id " + c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "qxtool: error: " + c.message + "\n");
        EXPECT_EQ(run_shell("cmp '" + before + "' '" + img + "'").status, 0);
    }
}

TEST(VolumeIdCli, ExfatRegionsMustBeSound) {
    struct Case {
        uint32_t sector;  // in the volume, whose checksum breaks
        std::string message;
    } cases[] = {
        {3, "boot region of the exfat data partition is damaged (checksum)"},
        {12 + 11, "backup boot region of the exfat data partition is damaged (checksum)"},
    };
    TempDir t;
    const std::string clean = formatted(t, "clean.img", 300000, "--force --exfat");
    const uint32_t start = get32(read_sectors(clean, 0, 1).data() + mbr::PART_TABLE + pte::START);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        const std::string img = t.path("disk.img");
        ASSERT_EQ(run_shell("cp --sparse=always '" + clean + "' '" + img + "'").status, 0);
        std::vector<uint8_t> s = read_sectors(img, start + c.sector, 1);
        s[100] ^= 1;
        write_sectors(img, start + c.sector, s);
        const std::string before = copy_of(img);
        RunResult r = qx(img + " volume-id 1");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "qxtool: error: " + c.message + "\n");
        EXPECT_EQ(run_shell("cmp '" + before + "' '" + img + "'").status, 0);
    }
}

TEST(VolumeIdCli, AnArchiveHasNoDataPartition) {
    TempDir t;
    const std::string ar = t.path("a.qxa");
    RunResult r = qx(ar + " create");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string before = copy_of(ar);
    r = qx(ar + " volume-id 1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qxtool: error: this command can't work with archive\n");
    EXPECT_EQ(run_shell("cmp '" + before + "' '" + ar + "'").status, 0);
}
