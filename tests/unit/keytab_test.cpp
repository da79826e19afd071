// Key names: the table, name -> code, code -> name.
#include "keytab.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

static uint16_t code_of(std::string name) { return get_keycode(&name[0]); }

TEST(KeyTable, EightyUniqueUpperCaseNamesInGroupOrder) {
    int n = 0;
    std::set<std::string> names;
    for (const key_entry *k = key_table; k->name; k++, n++) {
        std::string s = k->name;
        EXPECT_TRUE(names.insert(s).second) << s;
        for (char c : s) EXPECT_FALSE(c >= 'a' && c <= 'z') << s;
    }
    EXPECT_EQ(n, 80);
    // Group boundaries: letters, one-character keys, function keys, named keys.
    EXPECT_STREQ(key_table[0].name, "A");
    EXPECT_STREQ(key_table[25].name, "Z");
    EXPECT_STREQ(key_table[26].name, "1");
    EXPECT_STREQ(key_table[46].name, "/");
    EXPECT_STREQ(key_table[47].name, "F1");
    EXPECT_STREQ(key_table[58].name, "F12");
    EXPECT_STREQ(key_table[59].name, "BACKSPACE");
    EXPECT_STREQ(key_table[79].name, "UP");
}

TEST(KeyTable, StrUpcaseChangesOnlyAsciiLetters) {
    std::string s = "aZ-m{`}\xe9\x7fz0";
    EXPECT_EQ(std::string(str_upcase(&s[0])), "AZ-M{`}\xe9\x7fZ0");
    std::string e;
    EXPECT_EQ(std::string(str_upcase(&e[0])), "");
}

TEST(KeyTable, GetKeycode) {
    struct Case {
        const char *name;
        uint16_t code;
    } cases[] = {
        // Case does not matter for names and prefixes.
        {"F1", 0x3B00}, {"f1", 0x3B00}, {"0x3b00", 0x3B00}, {"0x3B00", 0x3B00},
        {"a", 0x1E61}, {"shift-a", 0x1E41}, {"CTRL-A", 0x1E01}, {"Alt-A", 0x1E00},
        {"z", 0x2C7A}, {"ctrl-z", 0x2C1A}, {"Q", 0x1071}, {"shift-m", 0x324D},
        // Digits and punctuation, including codes only some columns have.
        {"1", 0x0231}, {"shift-1", 0x0221}, {"ctrl-1", 0}, {"alt-1", 0x7800},
        {"ctrl-2", 0x0300}, {"shift-2", 0x0340}, {"ctrl-6", 0x071E}, {"alt-0", 0x8100},
        {"-", 0x0C2D}, {"shift--", 0x0C5F}, {"alt--", 0x8200}, {"=", 0x0D3D},
        {"[", 0x1A5B}, {"ctrl-]", 0x1B1D}, {"alt-;", 0x2700}, {"'", 0x2827},
        {"shift-'", 0x2822}, {"alt-'", 0}, {"`", 0x2960}, {"shift-`", 0x297E},
        {"\\", 0x2B5C}, {"shift-\\", 0x2B7C}, {"ctrl-\\", 0x2B1C}, {"alt-\\", 0x2B00},
        {",", 0x332C}, {".", 0x342E}, {"/", 0x352F}, {"shift-/", 0x353F}, {"alt-/", 0},
        // Function keys in all four columns.
        {"F10", 0x4400}, {"shift-F1", 0x5400}, {"shift-F10", 0x5D00}, {"ctrl-F1", 0x5E00},
        {"ctrl-f10", 0x6700}, {"alt-F1", 0x6800}, {"alt-F10", 0x7100},
        {"F11", 0x8500}, {"shift-F11", 0x8700}, {"ctrl-F11", 0x8900}, {"alt-F11", 0x8B00},
        {"f12", 0x8600}, {"alt-f12", 0x8C00},
        // Named keys.
        {"ALT-KEY-+", 0x4E00}, {"KEY--", 0x4A2D}, {"key-5", 0}, {"shift-key-5", 0x4C35},
        {"KEY-*", 0x372A}, {"shift-KEY-*", 0}, {"ctrl-KEY-/", 0x9500}, {"PRTSC", 0},
        {"ctrl-prtsc", 0x7200}, {"enter", 0x1C0D}, {"ctrl-enter", 0x1C0A}, {"alt-Enter", 0xA600},
        {"esc", 0x011B}, {"alt-esc", 0x0100}, {"space", 0x3920}, {"alt-space", 0x3920},
        {"tab", 0x0F09}, {"shift-tab", 0x0F00}, {"up", 0x4800}, {"alt-up", 0x9800},
        {"del", 0x5300}, {"backspace", 0x0E08}, {"ctrl-backspace", 0x0E7F}, {"pgdn", 0x5100},
        {"alt-L", 0x2600},
        // Only one prefix is taken, and names must match whole.
        {"SHIFT-CTRL-A", 0}, {"shift-", 0}, {"ctrl-", 0}, {"alt-", 0}, {"", 0},
        {"F13", 0}, {"F", 0x2166}, {"F1 ", 0}, {"ENTERX", 0}, {"shift_a", 0}, {"-a", 0},
        // Raw codes: lower-case "0x" only, 1 to 0xFFFE, digits up to the first other character.
        {"0X3B00", 0}, {"0x0", 0}, {"0xffff", 0}, {"0xfffe", 0xFFFE}, {"0x1", 1},
        {"0x3b00zz", 0x3B00}, {"0x", 0}, {"0xg1", 0}, {"0x13b00", 0}, {"0x100000000003b00", 0},
        {"0x0003b00", 0x3B00}, {"0x-1", 0},
    };
    for (const Case &c : cases) EXPECT_EQ(code_of(c.name), c.code) << c.name;
}

TEST(KeyTable, GetKeycodeUpcasesNamesInPlaceButNotNumbers) {
    std::string name = "ctrl-1", number = "0xabcd";
    EXPECT_EQ(get_keycode(&name[0]), 0);
    EXPECT_EQ(name, "CTRL-1");
    EXPECT_EQ(get_keycode(&number[0]), 0xABCD);
    EXPECT_EQ(number, "0xabcd");
}

TEST(KeyTable, GetKeyname) {
    struct Case {
        uint16_t code;
        const char *name;
    } cases[] = {
        {0x3B00, "F1"}, {0x1E41, "shift-A"}, {0x1E61, "A"}, {0x1E01, "ctrl-A"}, {0x1E00, "alt-A"},
        // Codes held more than once print under their first place in the table.
        {0x1C0D, "ENTER"}, {0x352F, "/"}, {0x3920, "SPACE"}, {0x011B, "ESC"}, {0x0E08, "BACKSPACE"},
        {0x4A2D, "KEY--"}, {0x4E2B, "KEY-+"}, {0x2600, "alt-L"}, {0x2B00, "alt-\\"},
        {0x0F00, "shift-TAB"}, {0x4C35, "shift-KEY-5"}, {0x7200, "ctrl-PRTSC"}, {0x8C00, "alt-F12"},
        // Codes no key has: lower-case hexadecimal without leading zeros.
        {0x1234, "0x1234"}, {0x0ABC, "0xabc"}, {0xFFFF, "0xffff"}, {0x0001, "0x1"},
        // A 0 in the table means "no code"; it never names the value 0.
        {0x0000, "0x0"},
    };
    for (const Case &c : cases) EXPECT_STREQ(get_keyname(c.code), c.name) << std::hex << c.code;
}

// Every code prints as a name or number that reads back as the same code.
TEST(KeyTable, EveryCodeRoundTripsThroughItsName) {
    for (uint32_t c = 1; c <= 0xFFFE; c++) {
        std::string name = get_keyname(uint16_t(c));
        ASSERT_EQ(code_of(name), c) << name;
    }
}
