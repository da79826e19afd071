// The menu compiler (add-menu) and printer (cat-menu).
#include "menu.h"

#include "commands.h"
#include "common.h"
#include "filestore.h"
#include "keytab.h"
#include "options.h"

#include <cctype>
#include <cstring>

const char *const color_list[16] = {
    "black",     "blue",       "green",       "cyan",       "red",       "magenta",       "brown",  "light-gray",
    "dark-gray", "light-blue", "light-green", "light-cyan", "light-red", "light-magenta", "yellow", "white",
};

namespace {

// Room for the longest pair, "light-magenta/light-magenta", and its NUL.
char color_name[28];

// The word array of parse_line; it grows by 10 entries when full.
char **line_words = nullptr;
int line_words_cap = 0;

// The buffer menus are compiled into and loaded into: the largest file
// load_buff may fill, with the room its whole-sector reads need.
alignas(4096) uint8_t menu_buffer[LOAD_BUFF_ROOM];

struct sys_type {
    const char *name;
    uint8_t value;
};
const sys_type sys_types[] = {
    {"grldr", SYS_GRLDR}, {"syslinux", SYS_SYSLINUX}, {"msdos", SYS_MSDOS},
    {"freedos", SYS_FREEDOS}, {"chain", SYS_CHAIN}, {"linux", SYS_LINUX},
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Colour index of the first len bytes of text, or -1.
int color_index(const char *text, size_t len) {
    for (int i = 0; i < 16; i++)
        if (strlen(color_list[i]) == len && !memcmp(color_list[i], text, len)) return i;
    return -1;
}

// An unsigned 32-bit number as the C library's strtoul reads it with base
// 0: leading blanks, one sign, "0x"/"0X" hexadecimal, leading "0" octal,
// digits up to the first that does not fit. A minus negates modulo 2^32;
// a value too large for 32 bits reads as 0xFFFFFFFF.
uint32_t read_value(const char *p) {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    bool minus = false;
    if (*p == '+' || *p == '-') minus = *p++ == '-';
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && isxdigit((unsigned char)p[2])) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    uint64_t v = 0;
    bool over = false;
    for (;; p++) {
        unsigned d;
        if (*p >= '0' && *p <= '9') d = unsigned(*p - '0');
        else if (*p >= 'a' && *p <= 'z') d = unsigned(*p - 'a' + 10);
        else if (*p >= 'A' && *p <= 'Z') d = unsigned(*p - 'A' + 10);
        else break;
        if (d >= base) break;
        v = v * base + d;
        if (v > 0xFFFFFFFFu) {
            over = true;
            v = 0;
        }
    }
    if (over) return 0xFFFFFFFFu;
    return minus ? uint32_t(0 - uint32_t(v)) : uint32_t(v);
}

// The next NUL-terminated string of a record body in [*p, end); a string
// without its NUL inside the record makes the menu invalid.
const char *take_string(const uint8_t **p, const uint8_t *end) {
    const uint8_t *nul = static_cast<const uint8_t *>(memchr(*p, 0, size_t(end - *p)));
    if (!nul) quit("invalid menu");
    const char *s = reinterpret_cast<const char *>(*p);
    *p = nul + 1;
    return s;
}

// Closes a menu source file however the compile ends.
struct source_file {
    FILE *f;
    ~source_file() {
        if (f) fclose(f);
    }
};

}  // namespace

int name2color(const char *name) { return color_index(name, strlen(name)); }

uint8_t get_color_value(const char *text) {
    if (!strcmp(text, "normal")) return 7;
    const char *slash = strchr(text, '/');
    size_t fg_len = slash ? size_t(slash - text) : strlen(text);
    int bg = 0;
    if (slash) {
        bg = name2color(slash + 1);
        if (bg < 0) quit("invalid background color %s", slash + 1);
    }
    int fg = color_index(text, fg_len);
    if (fg < 0) quit("invalid foreground color %.*s", int(fg_len), text);
    return uint8_t(bg * 16 + fg);
}

const char *get_color_name(uint8_t value) {
    if (value == 7) return "normal";
    if (value < 16) return color_list[value];
    snprintf(color_name, sizeof color_name, "%s/%s", color_list[value & 15], color_list[value >> 4]);
    return color_name;
}

int parse_line(char *line, char ***words) {
    int n = 0;
    char *p = line;
    for (;;) {
        while (is_blank(*p)) p++;
        if (!*p) break;
        char *word;
        if (*p == '"') {
            // A quoted word runs to the next quote, blanks and all; the
            // next word may start right after the closing quote.
            word = ++p;
            char *close = strchr(p, '"');
            if (!close) quit("unterminated quote");
            *close = 0;
            p = close + 1;
        } else {
            word = p;
            while (*p && !is_blank(*p)) p++;
            if (*p) *p++ = 0;
        }
        if (n == line_words_cap) {
            line_words_cap += 10;
            line_words = static_cast<char **>(xrealloc(line_words, sizeof(char *) * size_t(line_words_cap)));
        }
        line_words[n++] = word;
    }
    *words = line_words;
    return n;
}

uint32_t add_item_menu(uint8_t *buf, uint32_t offset, int argc, char **argv) {
    if (argc < 2) quit("not enough parameters");
    const sys_type *type = nullptr;
    for (const sys_type &t : sys_types)
        if (!strcmp(t.name, argv[1])) type = &t;
    if (!type) quit("invalid system type %s", argv[1]);
    if (argc < 3) quit("not enough parameters");

    const char *file = get_name(argv[2]);
    if (!*file) quit("empty file name");
    // The kernel's initrd and command line are kept exactly as written.
    const char *strings[3] = {file, "", ""};
    int count = 1;
    if (type->value == SYS_LINUX) {
        if (argc > 3) strings[1] = argv[3];
        if (argc > 4) strings[2] = argv[4];
        count = 3;
    }
    size_t size = 5;
    for (int i = 0; i < count; i++) size += strlen(strings[i]) + 1;
    if (size > MENU_RECORD_MAX || offset + size > MENU_LIMIT) quit("menu item too long");

    uint16_t key = get_keycode(argv[0]);
    if (!key) quit("invalid hotkey %s", argv[0]);

    uint8_t *p = buf + offset;
    p[0] = uint8_t(size - 2);
    p[1] = MENU_ITEM;
    put16(p + 2, key);
    p[4] = type->value;
    p += 5;
    for (int i = 0; i < count; i++) {
        size_t len = strlen(strings[i]) + 1;
        memcpy(p, strings[i], len);
        p += len;
    }
    return offset + uint32_t(size);
}

uint32_t add_item_text(uint8_t *buf, uint32_t offset, int argc, char **argv) {
    bool crlf = true;
    if (argc > 0 && !strcmp(argv[0], "-n")) {
        crlf = false;
        argc--;
        argv++;
    }
    // The words joined by single blanks; the body always holds the NUL,
    // also when there is no word at all.
    size_t text = 0;
    for (int i = 0; i < argc; i++) text += strlen(argv[i]) + 1;
    if (argc > 0) text--;
    size_t size = 2 + text + (crlf ? 2 : 0) + 1;
    if (size > MENU_RECORD_MAX || offset + size > MENU_LIMIT) quit("text item too long");

    uint8_t *p = buf + offset;
    p[0] = uint8_t(size - 2);
    p[1] = MENU_TEXT;
    p += 2;
    for (int i = 0; i < argc; i++) {
        if (i) *p++ = ' ';
        size_t len = strlen(argv[i]);
        memcpy(p, argv[i], len);
        p += len;
    }
    if (crlf) {
        *p++ = '\r';
        *p++ = '\n';
    }
    *p = 0;
    return offset + uint32_t(size);
}

uint32_t add_item_timeout(uint8_t *buf, uint32_t offset, int argc, char **argv, uint8_t type) {
    if (argc < 1) quit("not enough parameters");
    if (offset + 3 > MENU_LIMIT) quit("menu item too long");
    // Only the low byte of a timeout or default is kept: 256 stores 0.
    uint8_t value = type == MENU_COLOR ? get_color_value(argv[0]) : uint8_t(read_value(argv[0]));
    buf[offset] = 1;
    buf[offset + 1] = type;
    buf[offset + 2] = value;
    return offset + 3;
}

uint32_t add_menu_line(uint8_t *buf, uint32_t offset, char *line) {
    // Only a '#' in the very first column makes a comment.
    if (line[0] == '#') return offset;
    char **w;
    int n = parse_line(line, &w);
    if (n == 0) return offset;
    if (!strcmp(w[0], "menu")) return add_item_menu(buf, offset, n - 1, w + 1);
    if (!strcmp(w[0], "text")) return add_item_text(buf, offset, n - 1, w + 1);
    if (!strcmp(w[0], "timeout")) return add_item_timeout(buf, offset, n - 1, w + 1, MENU_TIMEOUT);
    if (!strcmp(w[0], "default")) return add_item_timeout(buf, offset, n - 1, w + 1, MENU_DEFAULT);
    if (!strcmp(w[0], "color")) return add_item_timeout(buf, offset, n - 1, w + 1, MENU_COLOR);
    quit("unknown menu command");
}

uint32_t add_menu_file(uint8_t *buf, uint32_t offset, FILE *file) {
    // One more byte than a line may hold, so that a CR before the LF of a
    // full-length line still fits; one for the NUL.
    char line[MENU_LINE_MAX + 2];
    for (;;) {
        size_t len = 0, total = 0;
        int c;
        while ((c = getc(file)) != EOF && c != '\n') {
            // A zero byte would end the line early and lose the rest of it.
            if (c == 0) quit("zero byte in menu line");
            if (len < sizeof line - 1) line[len++] = char(c);
            total++;
        }
        if (ferror(file)) quit("file read fails");
        if (c == EOF && total == 0) break;
        if (total > MENU_LINE_MAX + 1 || (total == MENU_LINE_MAX + 1 && line[MENU_LINE_MAX] != '\r'))
            quit("menu line too long");
        line[len] = 0;
        offset = add_menu_line(buf, offset, line);
        if (c == EOF) break;
    }
    return offset;
}

uint32_t menu_end(const uint8_t *buf, uint32_t size) {
    if (size == 0) return 0;
    uint32_t offset = 0;
    while (buf[offset]) {
        offset += buf[offset] + 2u;
        if (offset >= size) quit("invalid menu");
    }
    return offset;
}

void print_menu(const uint8_t *buf, uint32_t size, FILE *out) {
    uint32_t offset = 0;
    for (;;) {
        if (offset >= size) quit("invalid menu");
        uint32_t len = buf[offset];
        if (!len) break;
        // The whole record must lie inside the file before it is read.
        if (offset + 2 + len > size) quit("invalid menu");
        uint8_t type = buf[offset + 1];
        const uint8_t *body = buf + offset + 2, *end = body + len;
        switch (type) {
        case MENU_ITEM: {
            if (len < 3) quit("invalid menu");
            uint8_t sys = body[2];
            if (sys < SYS_GRLDR || sys > SYS_CHAIN) quit("invalid system type %d", sys);
            // All strings are checked before anything of the line is printed.
            const uint8_t *p = body + 3;
            const char *file = take_string(&p, end);
            if (sys == SYS_LINUX) {
                const char *initrd = take_string(&p, end);
                const char *cmdline = take_string(&p, end);
                fprintf(out, "menu %s ", get_keyname(get16(body)));
                fprintf(out, "linux \"%s\" \"%s\" \"%s\"\n", file, initrd, cmdline);
            } else {
                const char *name = "";
                for (const sys_type &t : sys_types)
                    if (t.value == sys) name = t.name;
                fprintf(out, "menu %s ", get_keyname(get16(body)));
                fprintf(out, "%s \"%s\"\n", name, file);
            }
            break;
        }
        case MENU_TEXT: {
            const uint8_t *p = body;
            const char *text = take_string(&p, end);
            size_t n = strlen(text);
            const char *flag = "-n ";
            if (n > 1 && text[n - 2] == '\r' && text[n - 1] == '\n') {
                flag = "";
                n -= 2;
            }
            fprintf(out, "text %s\"%.*s\"\n", flag, int(n), text);
            break;
        }
        case MENU_TIMEOUT:
        case MENU_DEFAULT:
            fprintf(out, "%s %d\n", type == MENU_TIMEOUT ? "timeout" : "default", body[0]);
            break;
        case MENU_COLOR:
            fprintf(out, "color %s\n", get_color_name(body[0]));
            break;
        default:
            quit("invalid menu type %d", type);
        }
        offset += len + 2;
    }
}

void add_menu(xd_t *xd, int argc, char **argv) {
    bool append = false, string = false;
    const int i = read_options("add-menu", argc, argv, {flag("--append", "-a", append), flag("--string", "-s", string)});
    if (argc - i < 2) quit("not enough parameters");
    const char *name = argv[i];

    uint8_t *buf = menu_buffer;
    uint32_t offset = 0;
    if (append && find_file(name)) offset = menu_end(buf, load_buff(xd, name, buf));

    if (string) {
        for (int j = i + 1; j < argc; j++) offset = add_menu_line(buf, offset, argv[j]);
    } else {
        // Binary mode: line ends are blanks to the parser anyway, and a
        // Ctrl-Z byte must not end the file early on any system.
        source_file src{fopen(argv[i + 1], "rb")};
        if (!src.f) quit("can't open file %s", argv[i + 1]);
        offset = add_menu_file(buf, offset, src.f);
    }
    buf[offset] = 0;
    // Whole-sector writes read past the terminator: keep that tail clean.
    memset(buf + offset + 1, 0, SECTOR);
    save_buff(xd, name, buf, offset + 1, false);
}

void cat_menu(xd_t *xd, int argc, char **argv) {
    if (argc < 1) quit("not enough parameters");
    uint32_t size = load_buff(xd, argv[0], menu_buffer);
    print_menu(menu_buffer, size, stdout);
    flush_stdout();
}
