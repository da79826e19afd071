// The key-name table and the conversions between key names and codes.
#include "keytab.h"

#include <cstdio>
#include <cstring>

namespace {

// A letter with scan code s: lower case alone, upper case with Shift, the
// control character with Ctrl, no character with Alt.
constexpr key_entry letter(unsigned scan, char upper, const char *name) {
    return {{uint16_t(scan << 8 | (upper + 0x20)), uint16_t(scan << 8 | upper), uint16_t(scan << 8 | (upper - 0x40)),
             uint16_t(scan << 8)},
            name};
}

// Function keys F1-F10 have consecutive scan codes in each column.
constexpr key_entry fkey(unsigned n, const char *name) {
    return {{uint16_t((0x3A + n) << 8), uint16_t((0x53 + n) << 8), uint16_t((0x5D + n) << 8),
             uint16_t((0x67 + n) << 8)},
            name};
}

const char *const prefixes[4] = {"", "shift-", "ctrl-", "alt-"};

char keyname_buf[32];

}  // namespace

const key_entry key_table[] = {
    letter(0x1E, 'A', "A"), letter(0x30, 'B', "B"), letter(0x2E, 'C', "C"), letter(0x20, 'D', "D"),
    letter(0x12, 'E', "E"), letter(0x21, 'F', "F"), letter(0x22, 'G', "G"), letter(0x23, 'H', "H"),
    letter(0x17, 'I', "I"), letter(0x24, 'J', "J"), letter(0x25, 'K', "K"), letter(0x26, 'L', "L"),
    letter(0x32, 'M', "M"), letter(0x31, 'N', "N"), letter(0x18, 'O', "O"), letter(0x19, 'P', "P"),
    letter(0x10, 'Q', "Q"), letter(0x13, 'R', "R"), letter(0x1F, 'S', "S"), letter(0x14, 'T', "T"),
    letter(0x16, 'U', "U"), letter(0x2F, 'V', "V"), letter(0x11, 'W', "W"), letter(0x2D, 'X', "X"),
    letter(0x15, 'Y', "Y"), letter(0x2C, 'Z', "Z"),

    {{0x0231, 0x0221, 0x0000, 0x7800}, "1"},
    {{0x0332, 0x0340, 0x0300, 0x7900}, "2"},
    {{0x0433, 0x0423, 0x0000, 0x7A00}, "3"},
    {{0x0534, 0x0524, 0x0000, 0x7B00}, "4"},
    {{0x0635, 0x0625, 0x0000, 0x7C00}, "5"},
    {{0x0736, 0x075E, 0x071E, 0x7D00}, "6"},
    {{0x0837, 0x0826, 0x0000, 0x7E00}, "7"},
    {{0x0938, 0x092A, 0x0000, 0x7F00}, "8"},
    {{0x0A39, 0x0A28, 0x0000, 0x8000}, "9"},
    {{0x0B30, 0x0B29, 0x0000, 0x8100}, "0"},
    {{0x0C2D, 0x0C5F, 0x0C1F, 0x8200}, "-"},
    {{0x0D3D, 0x0D2B, 0x0000, 0x8300}, "="},
    {{0x1A5B, 0x1A7B, 0x1A1B, 0x1A00}, "["},
    {{0x1B5D, 0x1B7D, 0x1B1D, 0x1B00}, "]"},
    {{0x273B, 0x273A, 0x0000, 0x2700}, ";"},
    {{0x2827, 0x2822, 0x0000, 0x0000}, "'"},
    {{0x2960, 0x297E, 0x0000, 0x0000}, "`"},
    // Alt with the backslash key gives its own scan code 0x2B, as the other
    // columns of this key do; it must not alias Alt-L (0x2600).
    {{0x2B5C, 0x2B7C, 0x2B1C, 0x2B00}, "\\"},
    {{0x332C, 0x333C, 0x0000, 0x0000}, ","},
    {{0x342E, 0x343E, 0x0000, 0x0000}, "."},
    {{0x352F, 0x353F, 0x0000, 0x0000}, "/"},

    fkey(1, "F1"), fkey(2, "F2"), fkey(3, "F3"), fkey(4, "F4"), fkey(5, "F5"),
    fkey(6, "F6"), fkey(7, "F7"), fkey(8, "F8"), fkey(9, "F9"), fkey(10, "F10"),
    {{0x8500, 0x8700, 0x8900, 0x8B00}, "F11"},
    {{0x8600, 0x8800, 0x8A00, 0x8C00}, "F12"},

    {{0x0E08, 0x0E08, 0x0E7F, 0x0E00}, "BACKSPACE"},
    {{0x5300, 0x532E, 0x9300, 0xA300}, "DEL"},
    {{0x5000, 0x5032, 0x9100, 0xA000}, "DOWN"},
    {{0x4F00, 0x4F31, 0x7500, 0x9F00}, "END"},
    {{0x1C0D, 0x1C0D, 0x1C0A, 0xA600}, "ENTER"},
    {{0x011B, 0x011B, 0x011B, 0x0100}, "ESC"},
    {{0x4700, 0x4737, 0x7700, 0x9700}, "HOME"},
    {{0x5200, 0x5230, 0x9200, 0xA200}, "INS"},
    {{0x0000, 0x4C35, 0x8F00, 0x0000}, "KEY-5"},
    {{0x372A, 0x0000, 0x9600, 0x3700}, "KEY-*"},
    {{0x4A2D, 0x4A2D, 0x8E00, 0x4A00}, "KEY--"},
    {{0x4E2B, 0x4E2B, 0x0000, 0x4E00}, "KEY-+"},
    {{0x352F, 0x352F, 0x9500, 0xA400}, "KEY-/"},
    {{0x4B00, 0x4B34, 0x7300, 0x9B00}, "LEFT"},
    {{0x5100, 0x5133, 0x7600, 0xA100}, "PGDN"},
    {{0x4900, 0x4939, 0x8400, 0x9900}, "PGUP"},
    {{0x0000, 0x0000, 0x7200, 0x0000}, "PRTSC"},
    {{0x4D00, 0x4D36, 0x7400, 0x9D00}, "RIGHT"},
    {{0x3920, 0x3920, 0x3920, 0x3920}, "SPACE"},
    {{0x0F09, 0x0F00, 0x9400, 0xA500}, "TAB"},
    {{0x4800, 0x4838, 0x8D00, 0x9800}, "UP"},

    {{0, 0, 0, 0}, nullptr},
};

char *str_upcase(char *text) {
    for (char *p = text; *p; p++)
        if (*p >= 'a' && *p <= 'z') *p = char(*p - 'a' + 'A');
    return text;
}

uint16_t get_keycode(char *text) {
    if (text[0] == '0' && text[1] == 'x') {
        // A raw code in hexadecimal; reading stops at the first non-digit.
        // Anything above 0xFFFF saturates so that it stays out of range.
        uint32_t v = 0;
        for (const char *p = text + 2;; p++) {
            int d;
            if (*p >= '0' && *p <= '9') d = *p - '0';
            else if (*p >= 'a' && *p <= 'f') d = *p - 'a' + 10;
            else if (*p >= 'A' && *p <= 'F') d = *p - 'A' + 10;
            else break;
            v = v > 0xFFFFF ? 0x1000000 : v * 16 + uint32_t(d);
        }
        return v >= 1 && v <= 0xFFFE ? uint16_t(v) : 0;
    }
    str_upcase(text);
    int col = 0;
    const char *rest = text;
    if (!strncmp(text, "SHIFT-", 6)) {
        col = 1;
        rest += 6;
    } else if (!strncmp(text, "CTRL-", 5)) {
        col = 2;
        rest += 5;
    } else if (!strncmp(text, "ALT-", 4)) {
        col = 3;
        rest += 4;
    }
    for (const key_entry *k = key_table; k->name; k++)
        if (!strcmp(k->name, rest)) return k->code[col];
    return 0;
}

const char *get_keyname(uint16_t code) {
    // A 0 in the table means "no code", so it never names the value 0.
    for (const key_entry *k = key_table; code && k->name; k++)
        for (int col = 0; col < 4; col++)
            if (k->code[col] == code) {
                snprintf(keyname_buf, sizeof keyname_buf, "%s%s", prefixes[col], k->name);
                return keyname_buf;
            }
    snprintf(keyname_buf, sizeof keyname_buf, "0x%x", unsigned(code));
    return keyname_buf;
}
