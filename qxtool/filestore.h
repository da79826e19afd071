// The file store: the in-memory file list, placement of file data in the
// primary (marked, 510-byte units) and extended (plain, 512-byte units)
// data areas, and the transfers between host files and file items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct xd_t;

// Room a caller must give load_buff: whole-sector reads of a 32 KiB file in
// the primary area reach 65 * 510 + 2 bytes, plus a terminator.
constexpr size_t LOAD_BUFF_ROOM = 65 * 512 + 512;
constexpr uint32_t LOAD_BUFF_MAX = 32768;

const char *get_name(const char *name);
uint8_t *find_file(const char *name);
bool del_file(const char *name);
uint8_t *alloc_file(const char *name, uint32_t *start, uint32_t size, bool extended, uint32_t time);
int find_space(uint32_t *start, uint32_t size, bool extended);

// Stores size bytes from memory as item name (an existing item of that name
// is replaced); the buffer must hold 512 readable bytes past size.
uint8_t *save_buff(xd_t *xd, const char *name, const uint8_t *buf, uint32_t size, bool extended);
// Reads a whole file of at most LOAD_BUFF_MAX bytes into buf (LOAD_BUFF_ROOM
// bytes); "file %s not found" / "file %s too large" otherwise.
uint32_t load_buff(xd_t *xd, const char *name, uint8_t *buf);
