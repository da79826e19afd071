#include "disk.h"
#include "common.h"
#include "layout.h"
#include "xdio.h"

void read_disk(xd_t *xd, void *buf, uint32_t count) {
    if (xd_read(xd, buf, count)) quit("xd_read fails at offset %u, size %u", xd_cur(xd), count);
}

namespace {
bool unflushed = false;  // a write since the last flush
uint32_t base = 0;
}

void set_disk_base(uint32_t sector) { base = sector; }
uint32_t disk_base() { return base; }

bool disk_unflushed() { return unflushed; }

void write_disk(xd_t *xd, const void *buf, uint32_t count) {
    unflushed = true;
    if (xd_write(xd, buf, count)) quit("xd_write fails at offset %u, size %u", xd_cur(xd), count);
}

void seek_disk(xd_t *xd, uint32_t sector) {
    if (uint64_t(base) + sector > 0xFFFFFFFFu || xd_seek(xd, base + sector)) quit("xd_seek fails at offset %u", sector);
}

void flush_disk(xd_t *xd) {
    if (xd_sync(xd)) quit("xd_sync fails: written data may not have reached the disk");
    unflushed = false;
}

void zero_disk(xd_t *xd, uint32_t count) {
    while (count) {
        uint32_t n = count < GLOBAL_SECTORS ? count : GLOBAL_SECTORS;
        write_disk(xd, global_buffer, n);
        count -= n;
    }
}

void copy_disk(xd_t *xd, uint32_t dst, uint32_t src, uint32_t count) {
    while (count) {
        uint32_t n = count < GLOBAL_SECTORS ? count : GLOBAL_SECTORS;
        seek_disk(xd, src);
        read_disk(xd, global_buffer, n);
        if (dst < qx_pri_size)
            for (uint32_t i = 0; i < n; i++) put16(global_buffer + i * SECTOR + 510, (dst + i) & 0xFFFF);
        seek_disk(xd, dst);
        write_disk(xd, global_buffer, n);
        src += n;
        dst += n;
        count -= n;
    }
}
