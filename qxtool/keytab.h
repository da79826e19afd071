// Key names of hotkeys. A hotkey is the 16-bit code the PC BIOS keyboard
// service returns for a key: scan code in the high byte, character code in
// the low byte. Users name keys as text ("F1", "shift-a", "ALT-KEY-+") or
// give the code as a "0x" number.
#pragma once

#include <cstdint>

// One key: its code alone and with Shift, Ctrl and Alt (0 where the key has
// no code in that column), and its upper-case name.
struct key_entry {
    uint16_t code[4];
    const char *name;
};

// The 80 keys in a fixed order, ended by an entry whose name is null. The
// order decides which name get_keyname gives a code that occurs twice.
extern const key_entry key_table[];

// Upper-cases the letters a-z of text in place and returns text.
char *str_upcase(char *text);
// The code of a key name (1 to 0xFFFE), or 0 when the text names no key.
// Upper-cases text in place unless it is a "0x" number.
uint16_t get_keycode(char *text);
// The name of a code: "shift-"/"ctrl-"/"alt-" and the key's name, or "0x%x"
// when no key has that code. The text lives in a buffer the next call
// overwrites.
const char *get_keyname(uint16_t code);
