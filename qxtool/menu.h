// Boot menus: the compiled menu format, the compiler of the menu language
// and the printer that turns a compiled menu back into that language.
//
// A compiled menu is a run of records ended by a zero byte. Each record is
// a length byte (bytes after the two-byte head, never 0), a menu type and a
// body:
//   1 menu item: u16 hotkey, u8 system type, NUL-terminated strings
//   2 text item: the text and its NUL, with CR LF before the NUL unless -n
//   3 timeout, 4 default, 5 color: one value byte
// A record is at most 255 bytes and ends at or before MENU_LIMIT, so a menu
// file is at most MENU_LIMIT + 1 bytes.
#pragma once

#include <cstdint>
#include <cstdio>

struct xd_t;

enum : uint8_t {
    MENU_ITEM = 1,
    MENU_TEXT = 2,
    MENU_TIMEOUT = 3,
    MENU_DEFAULT = 4,
    MENU_COLOR = 5,
};

enum : uint8_t {
    SYS_GRLDR = 2,
    SYS_SYSLINUX = 3,
    SYS_LINUX = 4,
    SYS_MSDOS = 5,
    SYS_FREEDOS = 6,
    SYS_CHAIN = 7,
};

constexpr uint32_t MENU_LIMIT = 0x7DFF;
constexpr uint32_t MENU_RECORD_MAX = 255;
// Lines of a menu file hold at most this many characters (line end aside).
constexpr uint32_t MENU_LINE_MAX = 511;

// The 16 text-mode colours by attribute index.
extern const char *const color_list[16];

// Colour index 0-15 of a name (exact, case-sensitive), or -1.
int name2color(const char *name);
// Attribute byte of "normal", FG or FG/BG.
uint8_t get_color_value(const char *text);
// Name of an attribute byte: "normal" for 7, a colour name for 0-15, else
// "FG/BG". The text lives in a buffer the next call overwrites.
const char *get_color_name(uint8_t value);

// Splits line in place into words (blank-separated, or quoted); *words is
// set to an array the next call reuses. Returns the number of words.
int parse_line(char *line, char ***words);

// The compiler. Each takes the buffer the menu is built in (room for
// MENU_LIMIT + 1 bytes), the offset of the next record and the words after
// the command word, writes one record and returns the offset after it.
uint32_t add_item_menu(uint8_t *buf, uint32_t offset, int argc, char **argv);
uint32_t add_item_text(uint8_t *buf, uint32_t offset, int argc, char **argv);
uint32_t add_item_timeout(uint8_t *buf, uint32_t offset, int argc, char **argv, uint8_t type);
// Compiles one source line (changing it in place).
uint32_t add_menu_line(uint8_t *buf, uint32_t offset, char *line);
// Compiles every line of a menu source file.
uint32_t add_menu_file(uint8_t *buf, uint32_t offset, FILE *file);
// Offset of the terminator of the compiled menu in buf[0, size): where
// appended records go. An empty file counts as an empty menu.
uint32_t menu_end(const uint8_t *buf, uint32_t size);

// Prints the compiled menu buf[0, size) as menu-language lines. Stops with
// "invalid menu" when a record runs past the end or no terminator follows;
// nothing outside buf[0, size) is read.
void print_menu(const uint8_t *buf, uint32_t size, FILE *out);
