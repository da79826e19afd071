// The file commands through the real binary: standard streams, progress
// dots, and 100 MiB files and archives moving with exact bytes.
#include "fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string q(const std::string &s) { return "'" + s + "'"; }
std::string tool() { return QXTOOL_BIN; }

// A disk with a small primary area and a 230,000-sector extended area,
// sparse.
std::string big_disk(const TempDir &dir, const std::string &name) {
    QxGeometry g;
    g.ext = 230000;
    g.total = 16128 + 230000 + 64;
    std::string p = dir.path(name);
    build_qx_image(p, g);
    return p;
}

}  // namespace

TEST(FilesCli, StandardInputAndOutputCarryRawBytes) {
    TempDir dir;
    std::string img = big_disk(dir, "d.img");
    std::string data("a\r\nb\0\x1a\xff\n", 9);
    RunResult r = run_shell(tool() + " " + q(img) + " add raw", &data);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    r = run_shell(tool() + " " + q(img) + " export raw");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, data);
    EXPECT_EQ(r.err, "");
    r = run_shell(tool() + " " + q(img) + " add empty </dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qxtool: error: no input\n");
    r = run_shell(tool() + " " + q(img) + " cat raw");
    EXPECT_EQ(r.out, std::string("a\r\nb\n"));
}

TEST(FilesCli, ProgressDotsFromTwentyMiBOn) {
    TempDir dir;
    std::string img = big_disk(dir, "d.img");
    struct Case { uint32_t size; std::string dots; } cases[] = {{20971519, ""}, {20971520, std::string(20, '.') + "\n"}};
    for (const Case &c : cases) {
        std::string f = dir.path("f");
        make_blank(f, 0);
        ASSERT_EQ(truncate(f.c_str(), c.size), 0);
        RunResult r = run_shell(tool() + " " + q(img) + " add -e f " + q(f));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.dots) << c.size;
        r = run_shell(tool() + " " + q(img) + " export f " + q(dir.path("o")));
        EXPECT_EQ(r.out, c.dots) << c.size;
        // Standard output gets the bytes and nothing else.
        r = run_shell(tool() + " " + q(img) + " export f | wc -c");
        EXPECT_EQ(r.out, std::to_string(c.size) + "\n");
    }
}

TEST(FilesCli, HundredMiBThroughAddExportSaveAndLoad) {
    TempDir dir;
    std::string a = big_disk(dir, "a.img"), b = big_disk(dir, "b.img");
    std::string f = dir.path("big"), ar = dir.path("big.qxa");
    // 100 MiB of pseudo-random bytes, with one small file beside it.
    ASSERT_EQ(run_shell("head -c 104857600 /dev/urandom > " + q(f)).status, 0);
    ASSERT_EQ(run_shell("head -c 1000 /dev/urandom > " + q(dir.path("small"))).status, 0);
    const std::string dots = std::string(20, '.') + "\n";
    struct Step { std::string cmd; std::string out; } steps[] = {
        {q(a) + " add big " + q(f), dots},
        {q(a) + " add small " + q(dir.path("small")), ""},
        {q(a) + " export big " + q(dir.path("e1")), dots},
        {q(a) + " save " + q(ar), dots},
        {q(b) + " load " + q(ar), dots},
        {q(b) + " export big " + q(dir.path("e2")), dots},
        {q(b) + " export small " + q(dir.path("e3")), ""},
        {q(ar) + " export big " + q(dir.path("e4")), dots},
    };
    for (const Step &s : steps) {
        RunResult r = run_shell(tool() + " " + s.cmd);
        ASSERT_EQ(r.status, 0) << s.cmd << ": " << r.err;
        EXPECT_EQ(r.out, s.out) << s.cmd;
    }
    for (const char *e : {"e1", "e2", "e4"}) EXPECT_EQ(run_shell("cmp " + q(f) + " " + q(dir.path(e))).status, 0) << e;
    EXPECT_EQ(run_shell("cmp " + q(dir.path("small")) + " " + q(dir.path("e3"))).status, 0);
}

TEST(FilesCli, SaveKeepsTheDestinationsIdentity) {
    TempDir dir;
    QxGeometry g;
    g.total = 16128 + 64;
    std::string img = dir.path("d.img");
    build_qx_image(img, g);
    write_file(dir.path("f"), pattern_bytes(5000, 1));
    ASSERT_EQ(run_shell(tool() + " " + q(img) + " add f " + q(dir.path("f"))).status, 0);
    ASSERT_EQ(run_shell(tool() + " " + q(img) + " save " + q(dir.path("want.qxa"))).status, 0);
    const std::vector<uint8_t> want = read_file(dir.path("want.qxa"));
    const std::vector<uint8_t> old(20 * 512, 0x5A);  // longer than the new archive

    // Permissions survive; other hard links see the new archive too, also
    // when the archive is saved onto itself.
    std::string moded = dir.path("moded.qxa"), linked = dir.path("linked.qxa"), other = dir.path("other");
    write_file(moded, old);
    chmod(moded.c_str(), 0640);
    write_file(linked, old);
    chmod(linked.c_str(), 0604);
    ASSERT_EQ(link(linked.c_str(), other.c_str()), 0);
    struct Case {
        std::string source, dest;
    } cases[] = {{img, moded}, {img, linked}, {linked, linked}};
    for (const Case &c : cases) {
        struct stat before, after;
        ASSERT_EQ(stat(c.dest.c_str(), &before), 0);
        RunResult r = run_shell(tool() + " " + q(c.source) + " save " + q(c.dest));
        ASSERT_EQ(r.status, 0) << c.dest << ": " << r.err;
        EXPECT_EQ(read_file(c.dest), want) << c.dest;
        ASSERT_EQ(stat(c.dest.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode) << c.dest;
        EXPECT_EQ(after.st_nlink, before.st_nlink) << c.dest;
        if (before.st_nlink > 1) {
            EXPECT_EQ(after.st_ino, before.st_ino) << c.dest;
        }
    }
    struct stat a, b;
    ASSERT_EQ(stat(linked.c_str(), &a), 0);
    ASSERT_EQ(stat(other.c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(read_file(other), want);

    // A writable archive in a directory that takes no new files: written in
    // place. Root may write anything, so as root the tool runs as an
    // unprivileged user.
    std::string ro = dir.path("ro");
    mkdir(ro.c_str(), 0755);
    std::string dest = ro + "/a.qxa";
    write_file(dest, old);
    chmod(dest.c_str(), 0666);
    chmod(img.c_str(), 0666);
    chmod(ro.c_str(), 0555);
    chmod(dir.dir().c_str(), 0755);
    std::string as_user = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    ASSERT_EQ(stat(dest.c_str(), &a), 0);
    RunResult r = run_shell(as_user + tool() + " " + q(img) + " save " + q(dest));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dest), want);
    ASSERT_EQ(stat(dest.c_str(), &b), 0);
    EXPECT_EQ(b.st_ino, a.st_ino);
    EXPECT_EQ(b.st_mode, a.st_mode);
    chmod(ro.c_str(), 0755);
}

TEST(FilesCli, AddFromStandardInputStreams) {
    // 64 MiB through a pipe into the extended area: peak memory stays far
    // below the input's size, and the bytes arrive whole.
    TempDir dir;
    std::string img = big_disk(dir, "d.img");
    std::string src = dir.path("src");
    write_file(src, pattern_bytes(64u << 20, 7));
    RunResult r = run_shell("/usr/bin/time -f %M -o " + q(dir.path("rss")) + " sh -c \"exec " + tool() + " " +
                            q(img) + " add -e piped <" + q(src) + "\"");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> rss = read_file(dir.path("rss"));
    long kib = atol(std::string(rss.begin(), rss.end()).c_str());
    EXPECT_GT(kib, 0);
    EXPECT_LT(kib, 16 * 1024) << "peak resident KiB";
    r = run_shell(tool() + " " + q(img) + " export piped " + q(dir.path("out")));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.path("out")) == read_file(src));
}
