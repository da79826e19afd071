#include "disk.h"
#include "common.h"
#include "layout.h"
#include "xdio.h"

void read_disk(xd_t *xd, void *buf, uint32_t count) {
    if (xd_read(xd, buf, count)) quit("xd_read fails at offset %u, size %u", xd_cur(xd), count);
}

namespace {
bool unflushed = false;  // a write since the last flush
}

bool disk_unflushed() { return unflushed; }

void write_disk(xd_t *xd, const void *buf, uint32_t count) {
    unflushed = true;
    if (xd_write(xd, buf, count)) quit("xd_write fails at offset %u, size %u", xd_cur(xd), count);
}

void seek_disk(xd_t *xd, uint32_t sector) {
    if (xd_seek(xd, sector)) quit("xd_seek fails at offset %u", sector);
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
