// The menu compiler and printer as functions over byte buffers: the
// language, the record bytes, the limits, the printer's output and its
// behaviour on hostile bytes.
#include "common.h"
#include "fixture.h"
#include "keytab.h"
#include "menu.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

std::string hexs(const uint8_t *p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

std::vector<uint8_t> unhex(const std::string &h) {
    std::vector<uint8_t> v;
    for (size_t i = 0; i < h.size();) {
        if (h[i] == ' ') {
            i++;
            continue;
        }
        v.push_back(uint8_t(strtoul(h.substr(i, 2).c_str(), nullptr, 16)));
        i += 2;
    }
    return v;
}

// A buffer as large as a menu may grow, with the compiler's result.
struct Compiled {
    std::vector<uint8_t> buf = std::vector<uint8_t>(MENU_LIMIT + 1 + 512, 0xEE);
    uint32_t end = 0;
    std::string error;
    // The menu file: records and terminator.
    std::vector<uint8_t> file() const {
        std::vector<uint8_t> f(buf.begin(), buf.begin() + end);
        f.push_back(0);
        return f;
    }
};

Compiled compile(const std::vector<std::string> &lines, uint32_t start = 0) {
    Compiled c;
    c.end = start;
    c.error = error_of([&] {
        for (std::string line : lines) c.end = add_menu_line(c.buf.data(), c.end, &line[0]);
    });
    return c;
}

Compiled compile_text(const std::string &text) {
    Compiled c;
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    if (text.empty()) f = fopen("/dev/null", "r");
    c.error = error_of([&] { c.end = add_menu_file(c.buf.data(), 0, f); });
    fclose(f);
    return c;
}

struct Printed {
    std::string out;
    std::string error;
};

Printed print(const std::vector<uint8_t> &menu) {
    Printed p;
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    p.error = error_of([&] { print_menu(menu.data(), uint32_t(menu.size()), f); });
    fclose(f);
    p.out.assign(text, len);
    free(text);
    return p;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t pos = 0, nl;
    while ((nl = text.find('\n', pos)) != std::string::npos) {
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

const std::vector<std::string> example_lines = {
    "default 0", "timeout 1", "color yellow", "text Booting From USB Device", "menu F1 grldr grldr",
};
const char example_hex[] =
    "01 04 00 01 03 01 01 05 0E "
    "1A 02 42 6F 6F 74 69 6E 67 20 46 72 6F 6D 20 55 53 42 20 44 65 76 69 63 65 0D 0A 00 "
    "09 01 00 3B 02 67 72 6C 64 72 00 00";
const char example_text[] =
    "default 0\ntimeout 1\ncolor yellow\ntext \"Booting From USB Device\"\nmenu F1 grldr \"grldr\"\n";

}  // namespace

TEST(Menu, WorkedExampleCompilesAndPrintsBack) {
    Compiled c = compile(example_lines);
    ASSERT_EQ(c.error, "");
    std::vector<uint8_t> f = c.file();
    EXPECT_EQ(f.size(), 49u);
    EXPECT_EQ(hexs(f.data(), f.size()), example_hex);
    Printed p = print(f);
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.out, example_text);
    // The same lines as a text file, with comments, blank lines and CR LF ends.
    Compiled t = compile_text("# boot menu\r\n\r\n" + std::string("default 0\r\ntimeout 1\ncolor yellow\n") +
                              "   \n#x\ntext Booting From USB Device\r\nmenu F1 grldr grldr");
    ASSERT_EQ(t.error, "");
    EXPECT_EQ(t.file(), f);
}

TEST(Menu, ParseLine) {
    struct Case {
        std::string line;
        std::vector<std::string> words;
    } cases[] = {
        {"", {}},
        {" \t\r\n", {}},
        {"a b", {"a", "b"}},
        {"  a\t\tb \r\n", {"a", "b"}},
        // A closing quote ends the word; the next starts right after it.
        {"\"grldr\"x", {"grldr", "x"}},
        {"x \"a\"\"b\"", {"x", "a", "b"}},
        {"\"a b\" c", {"a b", "c"}},
        {"\" \t a \"", {" \t a "}},
        {"\"\"", {""}},
        {"\"\" \"\"", {"", ""}},
        // A quote inside an unquoted word is an ordinary character.
        {"a\"b c\"", {"a\"b", "c\""}},
        {"#a b", {"#a", "b"}},
        // More words than the array first holds.
        {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "15", "16", "17", "18", "19",
          "20", "21", "22", "23", "24", "25"}},
    };
    for (Case &c : cases) {
        std::string line = c.line;
        char **w = nullptr;
        int n = parse_line(&line[0], &w);
        std::vector<std::string> got(w, w + n);
        EXPECT_EQ(got, c.words) << c.line;
    }
    for (std::string bad : {"\"abc", "text \"abc", "a \"b\" \"c"}) {
        std::string line = bad;
        char **w;
        EXPECT_EQ(error_of([&] { parse_line(&line[0], &w); }), "unterminated quote") << bad;
    }
}

TEST(Menu, LinesCompileToRecords) {
    const std::string a249(249, 'a'), a250(250, 'a'), a252(252, 'a');
    struct Case {
        std::string line;
        std::string record;  // hex of the record, "" for none
    } cases[] = {
        // Skipped lines.
        {"# comment", ""}, {"#", ""}, {"", ""}, {" \t \r", ""},
        // Menu items of every system type; slashes leave the file name only.
        {"menu f1 grldr /grldr", "09 01 00 3B 02 67 72 6C 64 72 00"},
        {"menu F1 syslinux x", "05 01 00 3B 03 78 00"},
        {"menu F1 msdos x", "05 01 00 3B 05 78 00"},
        {"menu F1 freedos x", "05 01 00 3B 06 78 00"},
        {"menu F1 chain x", "05 01 00 3B 07 78 00"},
        {"menu 0x1234 chain ///a/b", "07 01 34 12 07 61 2F 62 00"},
        {"menu shift-a grldr \"a b\" extra words", "07 01 41 1E 02 61 20 62 00"},
        {"  menu\tSPACE chain x", "05 01 20 39 07 78 00"},
        // Linux: the initrd keeps its slash; missing strings are empty.
        {"menu F1 linux /vmlinuz /initrd.img",
         "18 01 00 3B 04 76 6D 6C 69 6E 75 7A 00 2F 69 6E 69 74 72 64 2E 69 6D 67 00 00"},
        {"menu F2 linux k", "07 01 00 3C 04 6B 00 00 00"},
        {"menu F2 linux k \"\" \"ro q\" x", "0B 01 00 3C 04 6B 00 00 72 6F 20 71 00"},
        // The largest one-file item: 255 bytes.
        {"menu F1 chain " + a249, "FD 01 00 3B 07 " + hexs(reinterpret_cast<const uint8_t *>(a249.data()), 249) + " 00"},
        // Texts: words joined by one blank; quoted blanks survive; -n drops CR LF.
        {"text  a   b", "06 02 61 20 62 0D 0A 00"},
        {"text \"  a   b\"", "0A 02 20 20 61 20 20 20 62 0D 0A 00"},
        {"text -n x", "02 02 78 00"},
        {"text -n", "01 02 00"},
        {"text", "03 02 0D 0A 00"},
        {"text \"\"", "03 02 0D 0A 00"},
        {"text -n -n", "03 02 2D 6E 00"},
        {"text a -n", "07 02 61 20 2D 6E 0D 0A 00"},
        {"text #x \"q\"r", "09 02 23 78 20 71 20 72 0D 0A 00"},
        {"text " + a250, "FD 02 " + hexs(reinterpret_cast<const uint8_t *>(a250.data()), 250) + " 0D 0A 00"},
        {"text -n " + a252, "FD 02 " + hexs(reinterpret_cast<const uint8_t *>(a252.data()), 252) + " 00"},
        // Timeout and default: C number syntax, low byte kept.
        {"timeout 5", "01 03 05"},
        {"timeout 0x10", "01 03 10"},
        {"timeout 0X1f", "01 03 1F"},
        {"timeout 010", "01 03 08"},
        {"timeout 08", "01 03 00"},
        {"timeout 300", "01 03 2C"},
        {"timeout 256", "01 03 00"},
        {"timeout -1", "01 03 FF"},
        {"timeout -256", "01 03 00"},
        {"timeout x", "01 03 00"},
        {"timeout 0x", "01 03 00"},
        {"timeout 5s", "01 03 05"},
        {"timeout \" +7\"", "01 03 07"},
        {"timeout 4294967295", "01 03 FF"},
        {"timeout 4294967296", "01 03 FF"},
        {"timeout 255 9", "01 03 FF"},
        {"default 3", "01 04 03"},
        {"default 0x101", "01 04 01"},
        // Colours.
        {"color light-gray", "01 05 07"},
        {"color normal", "01 05 07"},
        {"color white/blue", "01 05 1F"},
        {"color yellow", "01 05 0E"},
        {"color black", "01 05 00"},
        {"color black/white", "01 05 F0"},
        {"color light-magenta/light-magenta", "01 05 DD"},
        {"color white/blue junk", "01 05 1F"},
    };
    for (const Case &c : cases) {
        Compiled r = compile({c.line});
        ASSERT_EQ(r.error, "") << c.line;
        EXPECT_EQ(hexs(r.buf.data(), r.end), c.record) << c.line;
    }
}

TEST(Menu, BadLinesStopWithTheirMessage) {
    const std::string a250(250, 'a'), a251(251, 'a'), a253(253, 'a');
    struct Case {
        std::string line;
        std::string error;
    } cases[] = {
        {"Menu F1 grldr x", "unknown menu command"},
        {"menus F1 grldr x", "unknown menu command"},
        {" # not a comment", "unknown menu command"},
        {"\"menu\" F1 grldr x", ""},  // a quoted command word is still the word
        {"menu", "not enough parameters"},
        {"menu F1", "not enough parameters"},
        {"menu F1 grldr", "not enough parameters"},
        {"menu F1 linux", "not enough parameters"},
        {"menu F1 boot x", "invalid system type boot"},
        {"menu F1 GRLDR x", "invalid system type GRLDR"},
        {"menu F1 grldr /", "empty file name"},
        {"menu F1 grldr ///", "empty file name"},
        {"menu F1 grldr \"\"", "empty file name"},
        {"menu ctrl-1 grldr x", "invalid hotkey CTRL-1"},
        {"menu f13 grldr x", "invalid hotkey F13"},
        {"menu 0X3B00 grldr x", "invalid hotkey 0X3B00"},
        {"menu 0xffff grldr x", "invalid hotkey 0xffff"},
        {"menu 0x0 grldr x", "invalid hotkey 0x0"},
        // The size is checked before the hotkey.
        {"menu nokey chain " + a250, "menu item too long"},
        {"menu F1 linux " + std::string(100, 'k') + " " + std::string(100, 'i') + " " + std::string(48, 'c'),
         "menu item too long"},
        {"text " + a251, "text item too long"},
        {"text -n " + a253, "text item too long"},
        {"text \"abc", "unterminated quote"},
        {"timeout", "not enough parameters"},
        {"default", "not enough parameters"},
        {"color", "not enough parameters"},
        {"color normal/blue", "invalid foreground color normal"},
        {"color white/pink", "invalid background color pink"},
        {"color pink/pink", "invalid background color pink"},
        {"color White", "invalid foreground color White"},
        {"color /blue", "invalid foreground color "},
        {"color white/", "invalid background color "},
        {"color white/blue/red", "invalid background color blue/red"},
    };
    for (const Case &c : cases) EXPECT_EQ(compile({c.line}).error, c.error) << c.line;
    // A linux item of exactly 255 bytes still fits.
    EXPECT_EQ(compile({"menu F1 linux " + std::string(100, 'k') + " " + std::string(100, 'i') + " " +
                       std::string(47, 'c')})
                  .error,
              "");
}

// Every record must end at or before 0x7DFF, where the terminator then lies.
TEST(Menu, RecordsEndAtTheLimitAtMost) {
    struct Case {
        std::string line;
        uint32_t size;
        const char *error;
    } cases[] = {
        {"timeout 1", 3, "menu item too long"},
        {"default 1", 3, "menu item too long"},
        {"color red", 3, "menu item too long"},
        {"menu F1 chain x", 7, "menu item too long"},
        {"menu F1 linux k", 9, "menu item too long"},
        {"text -n", 3, "text item too long"},
        {"text abc", 8, "text item too long"},
    };
    for (const Case &c : cases) {
        Compiled fits = compile({c.line}, MENU_LIMIT - c.size);
        EXPECT_EQ(fits.error, "") << c.line;
        EXPECT_EQ(fits.end, MENU_LIMIT) << c.line;
        EXPECT_EQ(compile({c.line}, MENU_LIMIT - c.size + 1).error, c.error) << c.line;
    }
    // A long menu built line by line stops at the first record that would cross.
    std::vector<std::string> lines(2000, "text " + std::string(40, 'x'));
    Compiled full = compile(lines);
    EXPECT_EQ(full.error, "text item too long");
    EXPECT_EQ(full.end, 0x7DFFu / 45 * 45);
}

TEST(Menu, MenuSourceFiles) {
    const std::string l511 = "timeout 5" + std::string(502, ' ');
    struct Case {
        std::string text;
        std::string file;  // hex of the compiled menu file
        std::string error;
    } cases[] = {
        {"", "00", ""},
        {"# only\n\n  \n#comments\r\n\t\n", "00", ""},
        {"timeout 5", "01 03 05 00", ""},
        {"timeout 5\r\ndefault 2\r\n", "01 03 05 01 04 02 00", ""},
        // 511 characters fit, with LF or CR LF after them.
        {l511 + "\ndefault 1\n", "01 03 05 01 04 01 00", ""},
        {l511 + "\r\ndefault 1\r\n", "01 03 05 01 04 01 00", ""},
        {l511, "01 03 05 00", ""},
        // Longer lines are refused whole, also when they are comments.
        {l511 + " \ndefault 1\n", "", "menu line too long"},
        {"#" + std::string(600, 'x') + "\n", "", "menu line too long"},
        {"text a\nmenu F1 grldr x" + std::string(600, ' ') + "text b\n", "", "menu line too long"},
        {std::string("timeout 5\0 junk\n", 16), "", "zero byte in menu line"},
        {"timeout 5\nbogus\n", "", "unknown menu command"},
        {"text \"open\nmenu F1 grldr x\"\n", "", "unterminated quote"},
    };
    for (const Case &c : cases) {
        Compiled r = compile_text(c.text);
        EXPECT_EQ(r.error, c.error) << c.text.substr(0, 40);
        if (c.error.empty()) {
            EXPECT_EQ(hexs(r.file().data(), r.end + 1), c.file) << c.text.substr(0, 40);
        }
    }
}

TEST(Menu, ColorNames) {
    struct Case {
        uint8_t value;
        const char *name;
    } cases[] = {
        {0x07, "normal"}, {0x0E, "yellow"}, {0x1F, "white/blue"}, {0x70, "black/light-gray"},
        {0x00, "black"}, {0x0F, "white"}, {0x17, "light-gray/blue"}, {0x87, "light-gray/dark-gray"},
        {0xDD, "light-magenta/light-magenta"}, {0xFF, "white/white"}, {0x10, "black/blue"},
    };
    for (const Case &c : cases) EXPECT_STREQ(get_color_name(c.value), c.name);
    // Every attribute name reads back as the same attribute.
    for (int v = 0; v < 256; v++) EXPECT_EQ(get_color_value(get_color_name(uint8_t(v))), v);
    EXPECT_EQ(name2color("light-red"), 12);
    EXPECT_EQ(name2color("normal"), -1);
    EXPECT_EQ(name2color("Black"), -1);
    EXPECT_EQ(name2color(""), -1);
}

TEST(Menu, PrintRecords) {
    struct Case {
        std::string hex;
        std::string out;
        std::string error;
    } cases[] = {
        {"00", "", ""},
        {"00 01 03 05", "", ""},  // bytes after the terminator are not looked at
        {"01 05 07 01 05 0E 01 05 1F 01 05 70 01 05 00 00",
         "color normal\ncolor yellow\ncolor white/blue\ncolor black/light-gray\ncolor black\n", ""},
        {"01 03 01 01 03 FF 01 04 07 00", "timeout 1\ntimeout 255\ndefault 7\n", ""},
        // Hotkeys by name, unknown codes as numbers, shared codes by first name.
        {"05 01 34 12 07 78 00 05 01 0D 1C 02 78 00 05 01 41 1E 03 78 00 00",
         "menu 0x1234 chain \"x\"\nmenu ENTER grldr \"x\"\nmenu shift-A syslinux \"x\"\n", ""},
        {"05 01 00 3B 05 78 00 05 01 00 3B 06 78 00 00", "menu F1 msdos \"x\"\nmenu F1 freedos \"x\"\n", ""},
        {"0C 01 00 3C 04 6B 00 2F 69 00 61 20 62 00 00", "menu F2 linux \"k\" \"/i\" \"a b\"\n", ""},
        {"07 01 00 3C 04 6B 00 00 00 00", "menu F2 linux \"k\" \"\" \"\"\n", ""},
        // Texts: CR LF at the end means a plain text line, else -n.
        {"03 02 0D 0A 00 00", "text \"\"\n", ""},
        {"01 02 00 00", "text -n \"\"\n", ""},
        {"02 02 0A 00 00", "text -n \"\n\"\n", ""},
        {"04 02 61 0D 0A 00 00", "text \"a\"\n", ""},
        {"03 02 61 0A 00 00", "text -n \"a\n\"\n", ""},
        {"05 02 61 0D 0A 00 7A 00", "text \"a\"\n", ""},  // bytes after the NUL are ignored
        // A file must hold its terminator.
        {"", "", "invalid menu"},
        {"01 03 05", "timeout 5\n", "invalid menu"},
        {"01 03 05 01", "timeout 5\n", "invalid menu"},
        {"01 03 05 03 02 0D 0A 00", "timeout 5\ntext \"\"\n", "invalid menu"},
        // Records that run past the end of the file are not read.
        {"05 02 61 00", "", "invalid menu"},
        {"01 03 05 02 01 00", "timeout 5\n", "invalid menu"},
        {"FF 02 61 62 63 00", "", "invalid menu"},
        // Types and system types out of range; lines before stay printed.
        {"01 03 01 01 06 00 00", "timeout 1\n", "invalid menu type 6"},
        {"01 00 00 00", "", "invalid menu type 0"},
        {"01 FF 00 00", "", "invalid menu type 255"},
        {"04 01 00 3B 01 00 00", "", "invalid system type 1"},
        {"04 01 00 3B 00 00 00", "", "invalid system type 0"},
        {"04 01 00 3B 08 00 00", "", "invalid system type 8"},
        {"04 01 00 3B FF 00 00", "", "invalid system type 255"},
        // Bodies too short for their strings.
        {"02 01 00 3B 00", "", "invalid menu"},
        {"04 01 00 3B 02 78 79 00 00", "", "invalid menu"},
        {"06 01 00 3B 04 6B 00 00 00", "", "invalid menu"},
        {"02 02 61 62 00 00", "", "invalid menu"},
    };
    for (const Case &c : cases) {
        Printed p = print(unhex(c.hex));
        EXPECT_EQ(p.out, c.out) << c.hex;
        EXPECT_EQ(p.error, c.error) << c.hex;
    }
}

TEST(Menu, MenuEndFindsTheTerminator) {
    struct Case {
        std::string hex;
        uint32_t end;
        std::string error;
    } cases[] = {
        {"", 0, ""},  // an empty file is an empty menu
        {"00", 0, ""},
        {"01 03 05 00", 3, ""},
        {"01 03 05 00 FF FF", 3, ""},
        {"01 03 05", 0, "invalid menu"},
        {"05 02 00", 0, "invalid menu"},
        {"FF", 0, "invalid menu"},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> b = unhex(c.hex);
        uint32_t end = 0;
        EXPECT_EQ(error_of([&] { end = menu_end(b.data(), uint32_t(b.size())); }), c.error) << c.hex;
        if (c.error.empty()) {
            EXPECT_EQ(end, c.end) << c.hex;
        }
    }
    std::vector<uint8_t> ex = unhex(example_hex);
    EXPECT_EQ(menu_end(ex.data(), uint32_t(ex.size())), 48u);
}

namespace {

// Random menus in the language: every record kind, quoted words, key names
// in every column and letter case, colour pairs and -n texts.
struct MenuGen {
    std::mt19937 rng;
    explicit MenuGen(uint32_t seed) : rng(seed) {}

    uint32_t pick(uint32_t n) { return uint32_t(rng() % n); }

    std::string word(size_t max_len, bool allow_blank) {
        static const char plain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./#=+:,;'`\\[]()!$%&*?";
        size_t len = pick(uint32_t(max_len)) + 1;
        std::string w;
        for (size_t i = 0; i < len; i++) {
            if (allow_blank && pick(6) == 0) w += pick(2) ? ' ' : '\t';
            else w += plain[pick(sizeof plain - 1)];
        }
        return w;
    }

    // A word as it may be written: quoted when it holds blanks or by chance.
    std::string spell(const std::string &w) {
        bool blank = w.find_first_of(" \t") != std::string::npos;
        if (blank || w.empty() || pick(4) == 0) return "\"" + w + "\"";
        return w;
    }

    std::string mixcase(std::string s) {
        for (char &c : s)
            if (pick(2)) c = char(c >= 'a' && c <= 'z' ? c - 32 : (c >= 'A' && c <= 'Z' ? c + 32 : c));
        return s;
    }

    std::string hotkey() {
        if (pick(5) == 0) {
            char b[16];
            snprintf(b, sizeof b, "0x%x", 1 + pick(0xFFFE));
            return b;
        }
        static const char *const prefix[4] = {"", "shift-", "ctrl-", "alt-"};
        for (;;) {
            const key_entry &k = key_table[pick(80)];
            int col = int(pick(4));
            if (k.code[col]) return mixcase(std::string(prefix[col]) + k.name);
        }
    }

    std::string number() {
        uint32_t v = rng();
        char b[24];
        switch (pick(5)) {
        case 0: snprintf(b, sizeof b, "%u", v % 256); break;
        case 1: snprintf(b, sizeof b, "0x%x", v); break;
        case 2: snprintf(b, sizeof b, "0%o", v % 4096); break;
        case 3: snprintf(b, sizeof b, "-%u", v % 1000); break;
        default: snprintf(b, sizeof b, "%u", v); break;
        }
        return b;
    }

    std::string color() {
        switch (pick(3)) {
        case 0: return "normal";
        case 1: return color_list[pick(16)];
        default: return std::string(color_list[pick(16)]) + "/" + color_list[pick(16)];
        }
    }

    std::string line() {
        static const char *const types[] = {"grldr", "syslinux", "msdos", "freedos", "chain", "linux"};
        std::string blank = pick(4) ? " " : " \t ";
        switch (pick(7)) {
        case 0: {
            std::string type = types[pick(6)];
            std::string l = "menu" + blank + hotkey() + blank + type + blank +
                            spell(std::string(pick(3), '/') + "f" + word(20, true));
            if (type == "linux") {
                int extra = int(pick(3));
                if (extra > 0) l += blank + spell(pick(3) ? word(20, false) : "");
                if (extra > 1) l += blank + spell(pick(4) ? word(40, true) : "");
            }
            return l;
        }
        case 1:
        case 2: {
            std::string l = "text";
            if (pick(3) == 0) l += " -n";
            for (uint32_t n = pick(6); n > 0; n--) l += blank + spell(word(12, true));
            return l;
        }
        case 3: return "timeout" + blank + number();
        case 4: return "default" + blank + number();
        case 5: return "color" + blank + color();
        default: return pick(2) ? "# " + word(30, true) : std::string(pick(3), ' ');
        }
    }
};

// A page of readable memory between two that are not: a read past either
// end of data placed against its edges faults at once.
struct GuardedPage {
    size_t page = size_t(sysconf(_SC_PAGESIZE));
    uint8_t *base = nullptr;
    GuardedPage() {
        void *p = mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
        base = static_cast<uint8_t *>(p);
        mprotect(base, page, PROT_NONE);
        mprotect(base + 2 * page, page, PROT_NONE);
    }
    ~GuardedPage() { munmap(base, 3 * page); }
    // Copies data to the end of the readable page and returns where it starts.
    const uint8_t *place(const std::vector<uint8_t> &data) {
        uint8_t *at = base + 2 * page - data.size();
        if (!data.empty()) memcpy(at, data.data(), data.size());
        return at;
    }
};

}  // namespace

// Compiling, printing and compiling again gives the same bytes.
TEST(Menu, CompilePrintCompileRoundTrip) {
    MenuGen gen(20240611);
    for (int round = 0; round < 3000; round++) {
        std::vector<std::string> lines;
        for (uint32_t n = gen.pick(16); n > 0; n--) lines.push_back(gen.line());
        Compiled first = compile(lines);
        ASSERT_EQ(first.error, "") << lines.size();
        Printed p = print(first.file());
        ASSERT_EQ(p.error, "");
        Compiled again = compile(split_lines(p.out));
        ASSERT_EQ(again.error, "") << p.out;
        ASSERT_EQ(hexs(again.buf.data(), again.end), hexs(first.buf.data(), first.end)) << p.out;
        EXPECT_EQ(print(again.file()).out, p.out);
    }
}

// Hostile bytes end in one of the printer's messages and are never read
// outside the file: random bytes and damaged real menus against a guard page.
TEST(Menu, PrinterStaysInsideHostileFiles) {
    GuardedPage guard;
    MenuGen gen(7);
    FILE *sink = fopen("/dev/null", "w");
    ASSERT_NE(sink, nullptr);
    int failures = 0;
    for (int round = 0; round < 20000; round++) {
        std::vector<uint8_t> data;
        if (round % 2) {
            data.resize(gen.pick(300));
            for (uint8_t &b : data) b = uint8_t(gen.pick(4) ? gen.pick(8) : gen.rng());
        } else {
            std::vector<std::string> lines;
            for (uint32_t n = gen.pick(8) + 1; n > 0; n--) lines.push_back(gen.line());
            data = compile(lines).file();
            for (uint32_t n = gen.pick(4); n > 0; n--) data[gen.pick(uint32_t(data.size()))] = uint8_t(gen.rng());
            data.resize(gen.pick(uint32_t(data.size()) + 1));
        }
        ASSERT_LE(data.size(), guard.page);
        const uint8_t *at = guard.place(data);
        std::string err = error_of([&] { print_menu(at, uint32_t(data.size()), sink); });
        if (err.empty()) continue;
        failures++;
        bool known = err == "invalid menu" || err.rfind("invalid menu type ", 0) == 0 ||
                     err.rfind("invalid system type ", 0) == 0;
        ASSERT_TRUE(known) << err;
    }
    fclose(sink);
    EXPECT_GT(failures, 1000);
}
