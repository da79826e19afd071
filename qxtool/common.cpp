// Messages, memory helpers, progress dots and number parsing.
#include "common.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

const char *progname = "qxtool";
int verbosity = 0;
alignas(4096) uint8_t global_buffer[GLOBAL_BUFFER_SIZE];

static uint32_t dot_size = 0;
static uint32_t dot_remain = 0;

void quit(const char *fmt, ...) {
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    throw Fatal(msg);
}

void info(const char *fmt, ...) {
    if (verbosity <= 0) return;
    fprintf(stderr, "%s: info: ", progname);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    fflush(stderr);
}

void *xmalloc(size_t size) {
    void *p = malloc(size ? size : 1);
    if (!p) quit("not enough memory");
    return p;
}

void *xrealloc(void *block, size_t size) {
    void *p = realloc(block, size ? size : 1);
    if (!p) quit("not enough memory");
    return p;
}

void dot_init(uint64_t total) {
    dot_remain = 0;
    uint64_t s = total / 20;
    dot_size = s >= 1048576 ? uint32_t(s > 0xFFFFFFFFu ? 0xFFFFFFFFu : s) : 0;
}

void dot_print(uint32_t bytes) {
    if (!dot_size) return;
    dot_remain += bytes;
    while (dot_remain >= dot_size) {
        putchar('.');
        dot_remain -= dot_size;
    }
}

void dot_fini() {
    if (dot_size) putchar('\n');
}

// Reads the digits of an unsigned number with automatic base. Returns the
// position after them; a value that does not fit 32 bits is refused.
static const char *read_number(const char *text, uint32_t *out) {
    errno = 0;
    char *end = nullptr;
    // strtoull accepts a sign and leading blanks; a size never has them.
    if (*text == '-' || *text == '+' || *text == ' ' || *text == '\t') quit("invalid number %s", text);
    unsigned long long v = strtoull(text, &end, 0);
    if (errno == ERANGE || v > 0xFFFFFFFFull) quit("number too large %s", text);
    *out = uint32_t(v);
    return end;
}

uint32_t get_sector_size(const char *text) {
    uint32_t n;
    const char *p = read_number(text, &n);
    uint64_t mul;
    switch (*p) {
    case 0: mul = 1; break;
    case 'k': case 'K': mul = 2; break;
    case 'm': case 'M': mul = 2048; break;
    case 'g': case 'G': mul = 2097152; break;
    default: quit("invalid subfix %s", p);
    }
    uint64_t v = uint64_t(n) * mul;
    if (v > 0xFFFFFFFFull) quit("number too large %s", text);
    return uint32_t(v);
}

uint32_t get_number(const char *text) {
    uint32_t n;
    read_number(text, &n);
    return n;
}

void flush_stdout() {
    // The error flag catches a failure of a write that stdio made before
    // this flush, when its buffer filled.
    if (fflush(stdout) != 0 || ferror(stdout)) quit("file write fails");
}
