// Program-wide helpers of the disk tool: the one error path, messages,
// memory helpers, little-endian field access and the working buffer.
#pragma once

#include <cstdint>
#include <cstddef>
#include <stdexcept>
#include <string>

// Every error of the tool ends up here: `quit` throws a Fatal carrying the
// formatted message; `main` prints "qxtool: error: <message>" and returns 1.
struct Fatal : std::runtime_error {
    explicit Fatal(const std::string &msg) : std::runtime_error(msg) {}
};

[[noreturn]] void quit(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void info(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

extern const char *progname;
extern int verbosity;

void *xmalloc(size_t size);
void *xrealloc(void *block, size_t size);

// Little-endian field access: all on-disk numbers go through these.
inline uint16_t get16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t get32(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void put16(uint8_t *p, uint32_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void put32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}

constexpr uint32_t SECTOR = 512;
constexpr uint32_t GLOBAL_SECTORS = 64;
constexpr uint32_t GLOBAL_BUFFER_SIZE = GLOBAL_SECTORS * SECTOR;

// The one 32 KiB working buffer shared by every command. Aligned so that it
// can be handed to unbuffered raw-device transfers as it is.
extern uint8_t global_buffer[GLOBAL_BUFFER_SIZE];

// Flushes standard output at the end of a command whose result goes there;
// output that could not be written all is an error ("file write fails").
void flush_stdout();

// Progress dots for long transfers.
void dot_init(uint64_t total);
void dot_print(uint32_t bytes);
void dot_fini();

// Numbers on the command line. `get_sector_size` reads a size with an
// optional k/m/g unit and returns sectors; `get_number` reads a plain
// unsigned number with automatic base and ignores what follows it.
uint32_t get_sector_size(const char *text);
uint32_t get_number(const char *text);

// Resets every program-wide value to its start state, so that the command
// line can run more than once in one process (tests, fuzzers).
void reset_globals();
