// Archive files that an in-place save may have left behind, read through the
// real binary: a save cut off after its descriptor and image reached the
// medium reads as the new archive, is completed by the next run that changes
// the archive and left as it lies by every run that only reads it, and a
// last sector that is not such a descriptor (random bytes, a garbled or
// stale one) changes nothing. The
// descriptor's checksums come from Python's zlib, not from the tool.
#include "fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string q(const std::string &s) { return "'" + s + "'"; }
std::string tool() { return QXTOOL_BIN; }

typedef std::vector<uint8_t> Bytes;

void put32le(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
void put64le(uint8_t *p, uint64_t v) {
    put32le(p, v);
    put32le(p + 4, v >> 32);
}

// CRC-32 (zlib's) of bytes.
uint32_t zlib_crc(const TempDir &dir, const Bytes &b) {
    std::string f = dir.path("crc.in");
    write_file(f, b);
    RunResult r = run_shell("python3 -c 'import sys, zlib; print(zlib.crc32(open(sys.argv[1], \"rb\").read()))' " + q(f));
    EXPECT_EQ(r.status, 0) << r.err;
    return uint32_t(std::stoul(r.out));
}

// The descriptor of an in-place save: the image of `bytes` bytes at `at`.
Bytes descriptor(const TempDir &dir, uint64_t at, uint64_t bytes, uint32_t image_crc) {
    Bytes d(512, 0);
    memcpy(d.data(), "QXARSAVE", 8);
    put64le(&d[8], at);
    put64le(&d[16], bytes);
    put32le(&d[24], image_crc);
    put32le(&d[508], zlib_crc(dir, Bytes(d.begin(), d.begin() + 508)));
    return d;
}

// old, padded with zeros to at, the image there, then its descriptor.
Bytes pending(const TempDir &dir, const Bytes &old, uint64_t at, const Bytes &image) {
    Bytes f = old;
    f.resize(at, 0);
    f.insert(f.end(), image.begin(), image.end());
    Bytes d = descriptor(dir, at, image.size(), zlib_crc(dir, image));
    f.insert(f.end(), d.begin(), d.end());
    return f;
}

// An archive saved from a disk holding items of the given sizes.
Bytes saved_archive(const TempDir &dir, const std::string &name, const std::vector<size_t> &sizes) {
    QxGeometry g;
    g.total = 16128 + 64;
    std::string img = dir.path(name + ".img"), ar = dir.path(name + ".qxa");
    build_qx_image(img, g);
    for (size_t i = 0; i < sizes.size(); i++) {
        std::string in = dir.path("in");
        write_file(in, pattern_bytes(sizes[i], uint32_t(i * 31 + sizes.size())));
        EXPECT_EQ(run_shell(tool() + " " + q(img) + " add " + name + std::to_string(i) + " " + q(in)).status, 0);
    }
    EXPECT_EQ(run_shell(tool() + " " + q(img) + " save " + q(ar)).status, 0);
    return read_file(ar);
}

// What the tool reads from an archive file: info and every item's bytes.
std::string contents(const std::string &path) {
    RunResult r = run_shell(tool() + " " + q(path) + " info");
    std::string s = r.out + r.err;
    for (const char *name : {"a0", "a1", "b0", "b1", "b2"}) {
        RunResult e = run_shell(tool() + " " + q(path) + " export " + std::string(name));
        s += std::string(name) + ":" + std::to_string(e.status) + ":" + std::to_string(std::hash<std::string>()(e.out)) + "\n";
    }
    return s;
}

}  // namespace

TEST(ArchiveCli, LastSectorIsADescriptorOnlyWhenWhole) {
    TempDir dir;
    const Bytes a = saved_archive(dir, "a", {3000, 700});
    const Bytes b = saved_archive(dir, "b", {9000, 20000, 1500});
    ASSERT_GT(b.size(), a.size());
    const std::string ref = dir.path("ref.qxa");
    write_file(ref, a);
    const std::string as_a = contents(ref);
    write_file(ref, b);
    const std::string as_b = contents(ref);
    ASSERT_NE(as_a, as_b);

    const uint64_t at = b.size();  // past both archives
    const Bytes whole = pending(dir, a, at, b);
    Bytes torn = whole;  // the copy cut off: b's first sectors over a
    std::copy(b.begin(), b.begin() + 3 * 512, torn.begin());
    memset(&torn[5 * 512], 0xEE, 512);
    Bytes garbled = whole;  // one image byte differs from the checksum
    garbled[at + 2000] ^= 1;
    Bytes self_sum = whole;  // the descriptor's own checksum fails
    self_sum[whole.size() - 512 + 30] = 1;
    Bytes stale = whole;  // something follows the descriptor
    stale.insert(stale.end(), 512, 0);
    Bytes random = a;  // a last sector of random bytes
    Bytes noise = pattern_bytes(512, 77);
    random.insert(random.end(), noise.begin(), noise.end());
    Bytes magic_only = a;  // the magic and nothing else right
    Bytes m(512, 0);
    memcpy(m.data(), "QXARSAVE", 8);
    magic_only.insert(magic_only.end(), m.begin(), m.end());
    // Checksums that hold, but an image that reaches below its own length:
    // copying it would read sectors it had already written.
    Bytes overlap = a;
    overlap.resize(b.size() - 1024, 0);
    ASSERT_GE(overlap.size(), a.size());
    overlap.insert(overlap.end(), b.begin(), b.end());
    Bytes od = descriptor(dir, b.size() - 1024, b.size(), zlib_crc(dir, b));
    overlap.insert(overlap.end(), od.begin(), od.end());

    struct Case {
        const char *name;
        Bytes file;
        bool reads_b;  // else it reads as a, and the file stays as it is
    } cases[] = {
        {"descriptor and image whole, copy not begun", whole, true},
        {"descriptor and image whole, copy cut off", torn, true},
        {"image garbled", garbled, false},
        {"descriptor checksum fails", self_sum, false},
        {"descriptor followed by a sector", stale, false},
        {"random last sector", random, false},
        {"magic alone", magic_only, false},
        {"image below its own length", overlap, false},
    };
    for (const Case &c : cases) {
        const std::string f = dir.path("t.qxa");
        write_file(f, c.file);
        EXPECT_EQ(contents(f), c.reads_b ? as_b : as_a) << c.name;
        EXPECT_TRUE(read_file(f) == c.file) << c.name << ": the file after reading it";
        // A change that leaves the list as it is: the save is completed first.
        RunResult r = run_shell(tool() + " " + q(f) + " resize " + (c.reads_b ? "b1 20000" : "a1 700"));
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_TRUE(read_file(f) == (c.reads_b ? b : c.file)) << c.name << ": the file after changing it";
    }
}

TEST(ArchiveCli, LoadReadsAPendingSave) {
    // A source archive in which a save is pending: load and format
    // --archive read the image where it lies and leave the file alone,
    // writable or not.
    TempDir dir;
    const Bytes a = saved_archive(dir, "a", {3000, 700});
    const Bytes b = saved_archive(dir, "b", {9000, 20000, 1500});
    Bytes torn = pending(dir, a, b.size() + 4096, b);
    std::copy(b.begin(), b.begin() + 2 * 512, torn.begin());
    const std::string src = dir.path("src.qxa");
    chmod(dir.dir().c_str(), 0755);
    std::string as_user = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    const size_t sizes[] = {9000, 20000, 1500};
    for (bool writable : {false, true}) {
        write_file(src, torn);
        chmod(src.c_str(), writable ? 0666 : 0444);
        // format --archive onto a blank image, and load onto a QX disk.
        const std::string fimg = dir.path("f.img"), img = dir.path("d.img");
        make_blank(fimg, 40000);
        QxGeometry g;
        g.total = 16128 + 64;
        build_qx_image(img, g);
        chmod(fimg.c_str(), 0666);
        chmod(img.c_str(), 0666);
        for (const std::string &cmd : {q(fimg) + " format --archive " + q(src), q(img) + " load " + q(src)}) {
            RunResult r = run_shell(as_user + tool() + " " + cmd);
            ASSERT_EQ(r.status, 0) << cmd << ": " << r.err;
        }
        for (const std::string &target : {fimg, img})
            for (int i = 0; i < 3; i++) {
                std::string name = "b" + std::to_string(i), out = dir.path("out");
                ASSERT_EQ(run_shell(tool() + " " + q(target) + " export " + name + " " + q(out)).status, 0) << name;
                EXPECT_TRUE(read_file(out) == pattern_bytes(sizes[i], uint32_t(i * 31 + 3))) << writable << " " << name;
            }
        EXPECT_TRUE(read_file(src) == torn) << writable;
    }
}

TEST(ArchiveCli, AnInPlaceSaveThatFailsLeavesTheOldArchive) {
    // The destination has another hard link, so it is rewritten where it
    // lies, and the new archive's image goes past the old and the new
    // length; a file size limit halfway through the image makes its writes
    // fail part-way.
    TempDir dir;
    const Bytes a = saved_archive(dir, "a", {3000, 700});
    const Bytes b = saved_archive(dir, "b", {200000});
    const std::string dest = dir.path("dest.qxa");
    write_file(dest, a);
    ASSERT_EQ(link(dest.c_str(), dir.path("other").c_str()), 0);
    const std::string limit = std::to_string((std::max(a.size(), b.size()) + b.size() / 2) / 1024);
    RunResult r = run_shell("bash -c \"trap '' XFSZ; ulimit -f " + limit + "; exec " + tool() + " " +
                            q(dir.path("b.img")) + " save " + q(dest) + "\"");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qxtool: error: file write fails\n");
    EXPECT_TRUE(read_file(dest) == a) << "the destination is " << read_file(dest).size() << " bytes";
}
