// Fatal-on-error sector transfers that every command uses.
#pragma once

#include <cstdint>

struct xd_t;

void read_disk(xd_t *xd, void *buf, uint32_t count);
void write_disk(xd_t *xd, const void *buf, uint32_t count);
void seek_disk(xd_t *xd, uint32_t sector);
// Where the store lies on the target: sector numbers given to seek_disk
// count from this sector (0 but for an archive read through at the place
// where a save that a power cut interrupted left its new image).
void set_disk_base(uint32_t sector);
uint32_t disk_base();
// Writes count zero sectors from the current position; the caller has
// cleared the first min(count, 64) sectors of global_buffer.
void zero_disk(xd_t *xd, uint32_t count);
// Returns once everything written so far is on the medium.
void flush_disk(xd_t *xd);
// True when something was written since the last flush.
bool disk_unflushed();
// Copies count sectors upwards in runs of 64, re-marking sectors that land
// below qx_pri_size.
void copy_disk(xd_t *xd, uint32_t dst, uint32_t src, uint32_t count);
