// add-menu and cat-menu through the real binary, on small QX images and an
// archive: what is stored, what is printed, and that a failing command
// leaves the target exactly as it was.
#include "fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string quote(const std::string &w) {
    std::string q = "'";
    for (char c : w) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct Disk {
    TempDir dir;
    std::string img = dir.path("d.img");
    QxGeometry g;
    Disk() {
        g.list = 4;
        g.pri = 2048;
        g.total = 4096;
        build_qx_image(img, g);
    }
    RunResult run(const std::vector<std::string> &words) {
        std::string cmd = std::string(QXTOOL_BIN) + " " + quote(img);
        for (const std::string &w : words) cmd += " " + quote(w);
        return run_shell(cmd);
    }
    std::string file(const std::string &name, const std::string &text) {
        write_file(dir.path(name), std::vector<uint8_t>(text.begin(), text.end()));
        return dir.path(name);
    }
    // The stored bytes of a file item, or "" with the error when it fails.
    std::string exported(const std::string &name) {
        std::string out = dir.path("export.bin");
        RunResult r = run({"export", name, out});
        if (r.status != 0) return r.err;
        std::vector<uint8_t> b = read_file(out);
        return hex(b);
    }
};

const char example_src[] =
    "default 0\ntimeout 1\ncolor yellow\ntext Booting From USB Device\nmenu F1 grldr grldr\n";
const char example_out[] =
    "default 0\ntimeout 1\ncolor yellow\ntext \"Booting From USB Device\"\nmenu F1 grldr \"grldr\"\n";
const char example_hex[] =
    "01 04 00 01 03 01 01 05 0E "
    "1A 02 42 6F 6F 74 69 6E 67 20 46 72 6F 6D 20 55 53 42 20 44 65 76 69 63 65 0D 0A 00 "
    "09 01 00 3B 02 67 72 6C 64 72 00 00";

}  // namespace

TEST(MenuCli, WorkedExampleStoredAndPrinted) {
    Disk d;
    RunResult r = d.run({"add-menu", "qx.cfg", d.file("menu.txt", example_src)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(d.exported("qx.cfg"), example_hex);
    r = d.run({"cat-menu", "/QX.CFG"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, example_out);
    EXPECT_EQ(r.err, "");
    // Printed lines compile back to the same file.
    ASSERT_EQ(d.run({"add-menu", "again", d.file("again.txt", r.out)}).status, 0);
    EXPECT_EQ(d.exported("again"), example_hex);
}

TEST(MenuCli, StringModeAppendAndReplace) {
    Disk d;
    ASSERT_EQ(d.run({"add-menu", "qx.cfg", d.file("menu.txt", example_src)}).status, 0);
    // Appending overwrites the old terminator: 48 + 7 + 1 bytes.
    RunResult r = d.run({"add-menu", "--append", "-s", "qx.cfg", "menu F2 chain x"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string appended = std::string(example_hex, sizeof example_hex - 3) + "05 01 00 3C 07 78 00 00";
    EXPECT_EQ(d.exported("qx.cfg"), appended);
    EXPECT_EQ(d.run({"cat-menu", "qx.cfg"}).out, std::string(example_out) + "menu F2 chain \"x\"\n");
    // Appending from a file works the same way.
    ASSERT_EQ(d.run({"add-menu", "-a", "qx.cfg", d.file("more.txt", "# more\ntimeout 9\n")}).status, 0);
    EXPECT_EQ(d.exported("qx.cfg"), appended.substr(0, appended.size() - 2) + "01 03 09 00");
    // String mode compiles each argument as a line, like a two-line file.
    ASSERT_EQ(d.run({"add-menu", "-s", "s.cfg", "timeout 5", "menu F1 chain x"}).status, 0);
    ASSERT_EQ(d.run({"add-menu", "f.cfg", d.file("two.txt", "timeout 5\nmenu F1 chain x\n")}).status, 0);
    EXPECT_EQ(d.exported("s.cfg"), "01 03 05 05 01 00 3B 07 78 00 00");
    EXPECT_EQ(d.exported("f.cfg"), d.exported("s.cfg"));
    // Appending to a name that does not exist is a fresh compile.
    ASSERT_EQ(d.run({"add-menu", "-a", "-s", "new.cfg", "timeout 5", "menu F1 chain x"}).status, 0);
    EXPECT_EQ(d.exported("new.cfg"), d.exported("s.cfg"));
    // Without --append the item is replaced, whatever the case of its name.
    ASSERT_EQ(d.run({"add-menu", "-s", "QX.cfg", "default 1"}).status, 0);
    EXPECT_EQ(d.exported("qx.cfg"), "01 04 01 00");
    // A menu file with only comments and blank lines is the terminator alone.
    ASSERT_EQ(d.run({"add-menu", "empty", d.file("c.txt", "# a\n\n   \n")}).status, 0);
    EXPECT_EQ(d.exported("empty"), "00");
    RunResult e = d.run({"cat-menu", "empty"});
    EXPECT_EQ(e.status, 0);
    EXPECT_EQ(e.out + e.err, "");
}

// A file item of size 0 has no terminator to overwrite: appending treats it
// as an empty menu, while cat-menu calls it invalid.
TEST(MenuCli, AppendToAnEmptyItem) {
    Disk d;
    const uint32_t list = d.g.base + 1 + 4;
    std::vector<uint8_t> sec = read_sectors(d.img, list, 1);
    const char name[] = "zero";
    sec[0] = uint8_t(15 + 4 - 2);
    sec[1] = 0;
    uint8_t *it = &sec[2];
    uint32_t start = list + d.g.list;
    for (int i = 0; i < 4; i++) it[i] = uint8_t(start >> (8 * i));
    memset(it + 4, 0, 8);  // size 0, time 0
    memcpy(&sec[14], name, 5);
    sec[19] = 0;
    write_sectors(d.img, list, sec);
    ASSERT_EQ(d.exported("zero"), "");

    RunResult c = d.run({"cat-menu", "zero"});
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.err, "qxtool: error: invalid menu\n");
    RunResult r = d.run({"add-menu", "-a", "-s", "zero", "timeout 3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(d.exported("zero"), "01 03 03 00");
}

TEST(MenuCli, ArchiveTarget) {
    TempDir t;
    std::string ar = t.path("a.qxa");
    std::string bin = QXTOOL_BIN;
    ASSERT_EQ(run_shell(bin + " " + ar + " create").status, 0);
    RunResult r = run_shell(bin + " " + ar + " add-menu -s qx.cfg 'timeout 2' 'menu alt-\\ linux /k /i \"a=b c\"'");
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_shell(bin + " " + ar + " cat-menu qx.cfg");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "timeout 2\nmenu alt-\\ linux \"k\" \"/i\" \"a=b c\"\n");
}

// Every failure: one message, status 1, and the image byte for byte as before.
TEST(MenuCli, FailuresStoreNothing) {
    Disk d;
    ASSERT_EQ(d.run({"add-menu", "qx.cfg", d.file("menu.txt", example_src)}).status, 0);
    std::vector<uint8_t> junk = pattern_bytes(3000, 9);
    junk[100] = 0;
    write_file(d.dir.path("junk.bin"), junk);
    ASSERT_EQ(d.run({"add", "junk", d.dir.path("junk.bin")}).status, 0);
    write_file(d.dir.path("big.bin"), pattern_bytes(40000, 3));
    ASSERT_EQ(d.run({"add", "big", d.dir.path("big.bin")}).status, 0);
    std::string many;
    for (int i = 0; i < 800; i++) many += "text " + std::string(40, 'x') + "\n";

    struct Case {
        std::vector<std::string> args;
        std::string error;  // "" means any one-line message
    } cases[] = {
        {{"add-menu"}, "not enough parameters"},
        {{"add-menu", "m"}, "not enough parameters"},
        {{"add-menu", "-s", "m"}, "not enough parameters"},
        {{"add-menu", "-x", "m", "f"}, "invalid option -x for add-menu"},
        {{"add-menu", "--strings", "m", "f"}, "invalid option --strings for add-menu"},
        {{"add-menu", "m", d.dir.path("missing.txt")}, "can't open file " + d.dir.path("missing.txt")},
        {{"add-menu", "qx.cfg", d.file("u.txt", "timeout 5\nboot F1 grldr x\n")}, "unknown menu command"},
        {{"add-menu", "qx.cfg", d.file("q.txt", "text \"no end\nmenu F1 grldr x\n")}, "unterminated quote"},
        {{"add-menu", "qx.cfg", d.file("l.txt", "#" + std::string(511, '-') + "\n")}, "menu line too long"},
        {{"add-menu", "qx.cfg", d.file("n.txt", std::string("timeout 1\0\n", 11))}, "zero byte in menu line"},
        {{"add-menu", "qx.cfg", d.file("t.txt", many)}, "text item too long"},
        {{"add-menu", "-s", "qx.cfg", "timeout 1", "menu ctrl-1 grldr x"}, "invalid hotkey CTRL-1"},
        {{"add-menu", "-s", "qx.cfg", "menu F1 linux"}, "not enough parameters"},
        {{"add-menu", "-s", "qx.cfg", "menu F1 grldr //"}, "empty file name"},
        {{"add-menu", "-s", "qx.cfg", "color normal/blue"}, "invalid foreground color normal"},
        {{"add-menu", "-s", "qx.cfg", "text " + std::string(300, 'y')}, "text item too long"},
        {{"add-menu", "-s", "//", "timeout 1"}, "empty file name"},
        {{"add-menu", "-a", "-s", "junk", "timeout 1"}, "invalid menu"},
        {{"add-menu", "-a", "-s", "big", "timeout 1"}, "file big too large"},
        {{"add-menu", "qx.cfg", d.dir.path("junk.bin")}, ""},
        {{"cat-menu"}, "not enough parameters"},
        {{"cat-menu", "nope"}, "file nope not found"},
        {{"cat-menu", "big"}, "file big too large"},
        {{"cat-menu", "junk"}, ""},
    };
    const std::vector<uint8_t> before = read_file(d.img);
    for (const Case &c : cases) {
        std::string what = c.args[0] + " " + c.args.back().substr(0, 30);
        RunResult r = d.run(c.args);
        EXPECT_EQ(r.status, 1) << what;
        if (!c.error.empty()) {
            EXPECT_EQ(r.err, "qxtool: error: " + c.error + "\n") << what;
        } else {
            EXPECT_EQ(r.err.rfind("qxtool: error: ", 0), 0u) << what << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << what << r.err;
        }
        if (c.args[0] == "add-menu") {
            EXPECT_EQ(r.out, "") << what;
        }
        ASSERT_TRUE(read_file(d.img) == before) << what;
    }
    EXPECT_EQ(d.run({"cat-menu", "qx.cfg"}).out, example_out);
}
