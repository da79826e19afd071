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
// Tests one free run [b, e): true and *start when a file of size bytes fits.
bool check_space(uint32_t b, uint32_t e, uint32_t size, bool extended, uint32_t *start);

// Allocates item name of size bytes and writes its data: the first
// src_bytes bytes come from the file at src_start, the rest is fill.
uint8_t *cpy_file(xd_t *xd, const char *name, uint32_t size, uint32_t src_start, uint32_t src_bytes,
                  bool extended, uint8_t fill, uint32_t time);

// Stores size bytes from memory as item name (an existing item of that name
// is replaced). The buffer is only read, and only its size bytes.
uint8_t *save_buff(xd_t *xd, const char *name, const uint8_t *buf, uint32_t size, bool extended);
// Reads a whole file of at most LOAD_BUFF_MAX bytes into buf (LOAD_BUFF_ROOM
// bytes) and puts a zero byte after it; "file %s not found" / "file %s too
// large" otherwise.
uint32_t load_buff(xd_t *xd, const char *name, uint8_t *buf);

// Item data to and from host files. progress > 0: own progress dots over
// the item; < 0: adds to dots the caller started; 0: none.
void save_file_data(xd_t *xd, uint8_t *item, FILE *in, int progress);
void load_file_data(xd_t *xd, const uint8_t *item, FILE *out, int progress);

// Sets a host file's stdio buffering for transfers of whole runs; call it
// right after opening.
void host_buffering(FILE *f);

// Item fields and the sectors an item occupies (510-byte units below
// qx_pri_size, 512-byte units from there on).
uint32_t item_start(const uint8_t *it);
uint32_t item_size(const uint8_t *it);
uint32_t item_sectors(uint32_t start, uint32_t size);
// Offset of the item after the one at ofs.
inline int next_item(const uint8_t *list, int ofs) { return ofs + list[ofs] + 2; }

// Guarding the items that the list on the disk names. store_begin notes
// the list as it is on the disk (call it when a command starts changing
// the list); store_commit stores the in-memory list mid-command, after
// which the sectors it no longer names may be reused. Placement never
// writes over sectors that the stored list still names while another
// place exists.
void store_begin(xd_t *xd);
void store_commit(xd_t *xd);
// Names the target that mid-command stores go to, without noting the list.
void store_use(xd_t *xd);
// True when sectors [start, start + count) hold data of an item that the
// list on the disk names.
bool store_protected(uint32_t start, uint32_t count);

// Program-wide state of the file store back to its start values.
void reset_filestore();
