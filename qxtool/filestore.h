// The file store: the in-memory file list, placement of file data in the
// primary (marked, 510-byte units) and extended (plain, 512-byte units)
// data areas, and the transfers between host files and file items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "extents.h"

struct xd_t;

// Room a caller must give load_buff: whole-sector reads of a 32 KiB file in
// the primary area reach 65 * 510 + 2 bytes, plus a terminator.
constexpr size_t LOAD_BUFF_ROOM = 65 * 512 + 512;
constexpr uint32_t LOAD_BUFF_MAX = 32768;
// Plain sectors of file data move in runs of up to this many sectors
// (1 MiB), one request each.
constexpr uint32_t PLAIN_RUN = 2048;

const char *get_name(const char *name);
uint8_t *find_file(const char *name);
bool del_file(const char *name);
uint8_t *alloc_file(const char *name, uint32_t *start, uint32_t size, bool extended, uint32_t time);

// The list on the disk as the extents model sees it: the sectors new data
// keeps clear of until the next commit.
const store_extents &disk_extents();
// A request for new data of size bytes that keeps clear of the list on the
// disk.
place_request data_request(uint32_t size, bool extended);
// The first steps of alloc_file: strips the name, removes any item of that
// name and makes sure the list has room for the new item ("file item too
// long"). Returns the stripped name.
const char *prepare_item(const char *name);
// Inserts the item at a place the extents model gave for the list as it is.
uint8_t *insert_item(const char *name, const store_place &at, uint32_t size, bool extended, uint32_t time);

// Allocates item name of size bytes and writes its data: the first
// src_bytes bytes come from the file at src_start, the rest is fill. With
// reuse_source a file grown from its own removed item may stay where it
// lies; without it, the new data goes where the stored list names nothing.
uint8_t *cpy_file(xd_t *xd, const char *name, uint32_t size, uint32_t src_start, uint32_t src_bytes,
                  bool extended, uint8_t fill, uint32_t time, bool reuse_source = true);

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

// The list on the disk and the commit of the list in memory (storecommit.cpp
// holds the protocol and its invariants).
//
// store_begin names the target of a command that changes the store.
// store_committed notes the list in memory as the one on the disk (after
// open_store and after every commit). store_protected is true when sectors
// [start, start + count) hold data of an item that the list on the disk
// names: nothing but a commit record may write there.
void store_begin(xd_t *xd);
void store_use(xd_t *xd);
// Refuses a header whose data areas reach into the first partition or past
// the end of the disk (store_begin and store_use check it once per run).
void check_areas(xd_t *xd);
void store_committed();
bool store_protected(uint32_t start, uint32_t count);
// A run of count sectors that no item of either list uses.
bool store_find_unused(uint32_t count, uint32_t *start);
// The same within sectors [lo, hi).
bool store_find_unused_in(uint32_t count, uint32_t lo, uint32_t hi, uint32_t *start);
// Stores the list in memory mid-command (pack): afterwards the sectors it
// no longer names may be reused.
void store_commit(xd_t *xd);

// Opens the store of the target for a command: reads the header and the
// list (read_header) and takes up what a power cut interrupted. A run that
// writes (writes true) completes an interrupted change where it lies: a
// save into an archive file, then a commit of its list. A run that only
// reads leaves the target as it is and reads such a change through: the
// archive where its new image lies, the list from the commit record.
// Archives are refused unless allow_archive.
void open_store(xd_t *xd, int allow_archive, bool writes);

// The commit itself: stores the list in memory so that a power cut at any
// instant leaves the old or the new store, to the tool and to the boot
// program. open_store calls recover_list with the list sectors as read: it
// takes up a whole commit record (completing it on the medium when
// complete is true) and returns true, or returns false.
void commit_list(xd_t *xd);
// more_follows: the command goes on writing, possibly over sectors that
// only the old list named.
void commit_list(xd_t *xd, bool more_follows);
bool recover_list(xd_t *xd, const uint8_t *raw_marked, bool complete);
// Notes the list sectors as read from the disk (marked form).
void store_noted(const uint8_t *raw_marked);
// Tail of the list as it is on the disk.
int store_disk_tail();
// Bytes of the list that items and the terminator may use: every list
// sector, the last one included (a commit record stands there only while
// the list in place is being rewritten).
int list_room();
// Writes count sectors of a stored file (a loader's patch). Sectors that the
// list on the disk names are never rewritten: "not enough space to keep the
// old data while it is replaced".
void store_write_file_sectors(xd_t *xd, uint32_t sector, const uint8_t *data, uint32_t count);
void reset_store_commit();
// Before a format: empties the list of a store found on the target (a disk
// or an archive), retires its commit record and flushes, so no list names
// data that the format goes on to overwrite.
void retire_store(xd_t *xd);
// CRC-32 of n bytes; crc, the CRC of the bytes before them, continues it.
uint32_t store_crc32(const uint8_t *p, size_t n, uint32_t crc = 0);

// Program-wide state of the file store back to its start values.
void reset_filestore();
