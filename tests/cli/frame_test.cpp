// The command line frame through the real binary: usage, version, global
// options, exit statuses and the frame's own messages.
#include "fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

static RunResult qx(const std::string &args) { return run_shell(std::string(QXTOOL_BIN) + " " + args); }

TEST(Frame, HelpPrintsUsageAndExits1WithoutOpening) {
    TempDir t;
    RunResult r = qx("-h " + t.path("never.img") + " info");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("Usage:\n\tqxtool [OPTIONS] DEVICE_OR_FILE COMMANDS [PARAMETERS]\n\nGlobal Options:\n", 0), 0u);
    EXPECT_NE(r.out.find("  --help,-h\t\tDisplay this message and exit\n"), std::string::npos);
    EXPECT_NE(r.out.find("  sync\t\t\tSynchronize disk information\n"), std::string::npos);
    EXPECT_NE(r.out.find("    --unit-size,-u NUM\tUnit size for FAT16/FAT32 in sectors\n"), std::string::npos);
    EXPECT_NE(r.out.find("    --reset-bpb\t\tReset bpb to inital state\n"), std::string::npos);
    const std::string last = "  create\t\tCreate archive file\n    --primary,-p NUM\tSet primary data size\n"
                             "    --extended,-e NUM\tSet extended data size\n    --list-size,-l NUM\tSet size of file list\n";
    ASSERT_GE(r.out.size(), last.size());
    EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last);
    EXPECT_EQ(r.out.find("bpb-size"), std::string::npos);
    struct stat st;
    EXPECT_NE(stat(t.path("never.img").c_str(), &st), 0);
    // 63 lines exactly.
    size_t lines = 0;
    for (char c : r.out) lines += c == '\n';
    EXPECT_EQ(lines, 63u);
}

TEST(Frame, VersionGoesToStderr) {
    RunResult r = qx("-V");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "qxtool version : 1.6 build 1\n");
}

TEST(Frame, Errors) {
    TempDir t;
    const std::string img = t.path("x.img");
    struct Case { std::string args; std::string err; } cases[] = {
        {"", "qxtool: error: no device name or command\n"},
        {img, "qxtool: error: no device name or command\n"},
        {"-x " + img + " info", "qxtool: error: invalid option -x\n"},
        {"--verbose=1 " + img + " info", "qxtool: error: invalid option --verbose=1\n"},
        {"'(hd20)' info", "qxtool: error: open (hd20) fails\n"},
        {"'(hd-1)' info", "qxtool: error: open (hd-1) fails\n"},
        {"'(hd0' info", "qxtool: error: open (hd0 fails\n"},
        {"'(hd0)x' info", "qxtool: error: open (hd0)x fails\n"},
        {"'(hd0,30)' info", "qxtool: error: open (hd0,30) fails\n"},
        {"'(sd0)' info", "qxtool: error: open (sd0) fails\n"},
        {"'(fd2)' info", "qxtool: error: open (fd2) fails\n"},
        {"'' info", "qxtool: error: open  fails\n"},
        {img + " info", "qxtool: error: xd_read fails at offset 0, size 1\n"},
        {img + " frobnicate", "qxtool: error: Invalid command frobnicate\n"},
        {img + " Info", "qxtool: error: Invalid command Info\n"},
    };
    for (const Case &c : cases) {
        RunResult r = qx(c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
    }
}

TEST(Frame, UnknownCommandStillCreatesTheTargetFirst) {
    TempDir t;
    RunResult r = qx(t.path("new.img") + " frobnicate");
    EXPECT_EQ(r.status, 1);
    struct stat st;
    ASSERT_EQ(stat(t.path("new.img").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST(Frame, ReadOnlyImageOpensOnlyForReading) {
    // A command that only reads opens a read-only image; one that writes
    // says it is read-only. Root may write anything, so as root the tool
    // runs as an unprivileged user.
    TempDir t;
    make_blank(t.path("ro.img"), 100);
    chmod(t.path("ro.img").c_str(), 0444);
    chmod(t.dir().c_str(), 0755);
    std::string as_user = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    RunResult r = run_shell(as_user + QXTOOL_BIN + " " + t.path("ro.img") + " info");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qxtool: error: qx mbr not initialized\n");
    r = run_shell(as_user + QXTOOL_BIN + " " + t.path("ro.img") + " format");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qxtool: error: " + t.path("ro.img") + " is read-only, format can't write to it\n");
}

TEST(Frame, OptionsEndAtTheFirstWord) {
    TempDir t;
    // "-d" after the device belongs to the command, not to the frame.
    RunResult r = qx(t.path("a.img") + " frobnicate -d");
    EXPECT_EQ(r.err, "qxtool: error: Invalid command frobnicate\n");
    // --list exits before the target is touched.
    r = qx("--list " + t.path("b.img") + " info");
    EXPECT_EQ(r.status, 0);
    struct stat st;
    EXPECT_NE(stat(t.path("b.img").c_str(), &st), 0);
}
