// format and info through the real binary on the front end's layout: a
// 4,009,754,624-byte stick formatted with
// "format --extended 100m --force --align --primary 8m", with and
// without --zip.
#include "common.h"
#include "fixture.h"
#include "layout.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

RunResult qx(const std::string &args) { return run_shell(std::string(QXTOOL_BIN) + " " + args); }

constexpr uint64_t STICK = 7831552;  // sectors
const uint32_t untouched[] = {16384, 100000, 221183, 236080, 7831551};

// A sparse stick with a pattern in sectors that format must not write.
std::string make_stick(const TempDir &t, const std::string &name) {
    const std::string img = t.path(name);
    make_blank(img, STICK);
    for (uint32_t s : untouched) write_sectors(img, s, pattern_bytes(512, s));
    return img;
}

std::vector<uint8_t> bytes_of(const char *hexbytes) {
    std::vector<uint8_t> v;
    for (const char *p = hexbytes; *p;) {
        if (*p == ' ') {
            p++;
            continue;
        }
        v.push_back(uint8_t(strtoul(std::string(p, 2).c_str(), nullptr, 16)));
        p += 2;
    }
    return v;
}

const char *const info_lines =
    "version: 1.6\n"
    "base boot sector: 63\n"
    "boot code size: 4\n"
    "primary data size: 16384\n"
    "extended data size: 204800\n"
    "debug version: no\n"
    "bpb status: init\n"
    "format options:%s --primary 16384 --extended 204800\n"
    "file list size: 896\n"
    "file list used: 1\n"
    "files:\n"
    "  0*   0x3c4 0x3c3c\n"
    "  1*   0x4000 0x32000\n"
    "primary area free space: 7864200\n"
    "extended area free space: 104857600\n";

std::string expected_info(bool zip) {
    char buf[1024];
    snprintf(buf, sizeof buf, info_lines, zip ? " --zip" : "");
    return buf;
}

}  // namespace

TEST(FormatCli, FrontEndLayoutByteForByte) {
    TempDir t;
    const std::string img = make_stick(t, "stick.img");
    RunResult r = qx(img + " format --extended 100m --force --align --primary 8m");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    // Sector 0: the release variant's jump, BPB template and code; the
    // fields from 0x1AD written out (max_sectors 63, copy 0, 63 sectors,
    // 255 heads, B = 63, "QXBF"); no disk signature, slot 0 as worked out
    // by hand, 55 AA.
    std::vector<uint8_t> want(qx_mbr_rel, qx_mbr_rel + 512);
    std::vector<uint8_t> fields = bytes_of("3F 00 00 3F FF 3F 00 51 58 42 46");
    memcpy(&want[mbr::MAX_SECTORS], fields.data(), fields.size());
    memset(&want[mbr::DISK_SIG], 0, 0x1FE - mbr::DISK_SIG);
    std::vector<uint8_t> slot = bytes_of("80 C3 37 0D 0C 7D 56 E7 00 60 03 00 00 20 74 00");
    memcpy(&want[mbr::PART_TABLE], slot.data(), 16);
    want[510] = 0x55;
    want[511] = 0xAA;
    std::vector<uint8_t> boot = read_sectors(img, 0, 64);
    EXPECT_EQ(hex(std::vector<uint8_t>(boot.begin(), boot.begin() + 512)), hex(want));
    // Copy 63: copy number 63, slot 0 starting at 221,121.
    put16(&want[mbr::COPY_NO], 63);
    slot = bytes_of("80 C2 37 0D 0C 7C 56 E7 C1 5F 03 00 00 20 74 00");
    memcpy(&want[mbr::PART_TABLE], slot.data(), 16);
    EXPECT_EQ(hex(std::vector<uint8_t>(boot.begin() + 63 * 512, boot.end())), hex(want));

    // Header: boot_size 4, 1.6, list_used 1, 896 list sectors, P 16,384,
    // E 204,800; then the boot code, marked 64 to 67.
    std::vector<uint8_t> head = read_sectors(img, 64, 4);
    EXPECT_EQ(hex(std::vector<uint8_t>(head.begin(), head.begin() + 16)),
              "04 00 00 00 01 06 01 00 80 03 00 40 00 20 03 00");
    for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(get16(&head[i * 512 + 510]), 64 + i);

    // List and primary area, 68 to 16,383: zeros and marks.
    std::vector<uint8_t> pri = read_sectors(img, 68, 16384 - 68);
    for (uint32_t s = 68; s < 16384; s++) {
        std::vector<uint8_t> z(512, 0);
        put16(&z[510], s);
        ASSERT_EQ(0, memcmp(&pri[size_t(s - 68) * 512], z.data(), 512)) << s;
    }

    // FAT32 at 221,184: 8 sectors per cluster, 32 reserved, FATs of 7,428
    // sectors so that the data region starts at 236,072, a multiple of 8.
    std::vector<uint8_t> vol = read_sectors(img, 221184, 9);
    std::vector<uint8_t> bs = bytes_of(
        "EB 58 90 4D 53 57 49 4E 34 2E 31 00 02 08 20 00 02 00 00 00 00 F8 00 00 3F 00 FF 00 00 60 03 00"
        "00 20 74 00 04 1D 00 00 00 00 00 00 02 00 00 00 01 00 06 00 00 00 00 00 00 00 00 00 00 00 00 00"
        "80 00 29 00 00 00 00 4E 4F 20 4E 41 4D 45 20 20 20 20 46 41 54 33 32 20 20 20");
    bs.resize(512, 0);
    bs[510] = 0x55;
    bs[511] = 0xAA;
    EXPECT_EQ(hex(std::vector<uint8_t>(vol.begin(), vol.begin() + 512)), hex(bs));
    EXPECT_EQ(std::vector<uint8_t>(vol.begin() + 6 * 512, vol.end()), std::vector<uint8_t>(vol.begin(), vol.begin() + 3 * 512));
    for (uint32_t fat : {221216u, 228644u})
        EXPECT_EQ(hex(read_sectors(img, fat, 1)).substr(0, 35), "F8 FF FF 0F FF FF FF 0F FF FF FF 0F") << fat;
    EXPECT_EQ(read_sectors(img, 236072, 8), std::vector<uint8_t>(8 * 512, 0));

    for (uint32_t s : untouched) EXPECT_EQ(read_sectors(img, s, 1), pattern_bytes(512, s)) << s;

    r = qx(img + " info");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected_info(false));
    EXPECT_EQ(r.err, "");

    // With --zip: every boot record sector gets 0x29 at 0x26 and
    // "MSWIN4.1" and a zero byte at 3 to 11; nothing else differs.
    const std::string zimg = make_stick(t, "zip.img");
    r = qx(zimg + " format --extended 100m --force --align --primary 8m --zip");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> zboot = read_sectors(zimg, 0, 64);
    for (uint32_t i = 0; i < 64; i++) {
        uint8_t *s = &boot[i * 512];
        s[0x26] = 0x29;
        memcpy(s + 3, "MSWIN4.1", 9);
    }
    EXPECT_EQ(zboot, boot);
    EXPECT_EQ(read_sectors(zimg, 64, 16384 - 64), read_sectors(img, 64, 16384 - 64));
    EXPECT_EQ(read_sectors(zimg, 221184, 236080 - 221184), read_sectors(img, 221184, 236080 - 221184));
    r = qx(zimg + " info");
    EXPECT_EQ(r.out, expected_info(true));
}

TEST(FormatCli, ErrorsAreOneLineAndStatus1) {
    TempDir t;
    const std::string img = t.path("d.img");
    make_blank(img, 20000);
    struct Case { std::string args, err; } cases[] = {
        {"format --primary", "qxtool: error: no parameter for --primary\n"},
        {"format -p 1m", "qxtool: error: primary data size too small\n"},
        {"format -e 1g", "qxtool: error: the disk is too small\n"},
        {"sync --frob", "qxtool: error: qx mbr not initialized\n"},
        {"restore", "qxtool: error: can't find qx mbr\n"},
        {"format --exfat", "qxtool: error: the disk is too small for an efi system partition of 131072 sectors\n"},
        {"format --exfat --esp-size 8400", "qxtool: error: efi system partition of 8400 sectors too small, it needs at least 8401\n"},
        {"format --esp-size 8m", "qxtool: error: --esp-size needs --exfat\n"},
        {"format --exfat --esp-size 0 --size 2047", "qxtool: error: partition of 2047 sectors too small for exfat\n"},
        {"format --exfat --esp-size 0 -u 3", "qxtool: error: invalid unit size 3 for exfat, use a power of two from 1 to 65536\n"},
        {"format --exfat --esp-size 0 -u 65536",
         "qxtool: error: partition of 3872 sectors too small for exfat with 65536 sectors per cluster\n"},
    };
    for (const Case &c : cases) {
        RunResult r = qx(img + " " + c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
    }
    EXPECT_EQ(read_file(img), std::vector<uint8_t>(20000 * 512, 0));
}

// An exFAT data partition: type 0x07 in slot 0, the EFI system partition
// (type 0xEF, not active) in slot 1 at the disk's end on the alignment, the
// file store around them as on a FAT disk, and "sync --copy-bpb" refused,
// since an exFAT boot sector has no BPB a boot record could take; the
// refusal writes nothing.
TEST(FormatCli, ExfatDataPartition) {
    TempDir t;
    const std::string img = t.path("d.img");
    make_blank(img, 200000);
    RunResult r = qx(img + " format --exfat");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<uint8_t> s0 = read_sectors(img, 0, 1);
    const uint8_t *e = &s0[mbr::PART_TABLE];
    EXPECT_EQ(e[pte::BOOT], 0x80);
    EXPECT_EQ(e[pte::TYPE], 0x07);
    EXPECT_EQ(get32(e + pte::START), 16128u);
    // (200000 - 131072) rounded down to 256 sectors.
    EXPECT_EQ(get32(e + pte::COUNT), 68864u - 16128);
    e += pte::SIZE;
    EXPECT_EQ(e[pte::BOOT], 0);
    EXPECT_EQ(e[pte::TYPE], 0xEF);
    EXPECT_EQ(get32(e + pte::START), 68864u);
    EXPECT_EQ(get32(e + pte::COUNT), 131072u);
    EXPECT_EQ(std::vector<uint8_t>(e + pte::SIZE, e + 3 * pte::SIZE), std::vector<uint8_t>(2 * pte::SIZE, 0));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&read_sectors(img, 16128, 1)[3]), 8), "EXFAT   ");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&read_sectors(img, 68864, 1)[bpb::FIL_SYS_TYPE]), 8), "FAT16   ");
    EXPECT_EQ(qx(img + " check").status, 0);

    const std::vector<uint8_t> before = read_file(img);
    r = qx(img + " sync --copy-bpb");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qxtool: error: can't copy bpb: the data partition is exfat, which has no bpb\n");
    EXPECT_EQ(read_file(img), before);
    // The other BPB modes do not read the partition and still work.
    r = qx(img + " sync --reset-bpb");
    EXPECT_EQ(r.status, 0) << r.err;
}
