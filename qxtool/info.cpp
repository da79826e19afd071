// The info command: the header, the boot record's settings, the format
// options that rebuild the layout, every file with its place, and the free
// ranges and free space of the data areas. It changes nothing.
#include "commands.h"
#include "common.h"
#include "disk.h"
#include "extents.h"
#include "layout.h"

#include <cstdio>
#include <ctime>

namespace {

// A free range from sector c up to (not including) sector s; a range that
// crosses the primary data size is shown as its two parts.
void print_range(uint32_t c, uint32_t s, uint32_t p) {
    if (c < p && p < s) {
        printf("  0*   0x%lx 0x%lx\n", (unsigned long)c, (unsigned long)(p - c));
        printf("  1*   0x%lx 0x%lx\n", (unsigned long)p, (unsigned long)(s - p));
    } else {
        // An unsorted list gives a negative length, shown as its unsigned
        // 32-bit value.
        printf("  %d*   0x%lx 0x%lx\n", c >= p ? 1 : 0, (unsigned long)c, (unsigned long)uint32_t(s - c));
    }
}

const char *bpb_status(const uint8_t *br) {
    if (br[bpb::SEC_PER_CLUS]) return "copy";  // a copied BPB
    if (br[bpb::SEC_PER_TRK]) return "init";   // the template's low byte
    return "zero";
}

}  // namespace

void print_info(xd_t *xd, int, char **) {
    uint8_t *h = global_buffer;
    const uint8_t *br = global_buffer + SECTOR;  // the boot record as read_header read it
    seek_disk(xd, qx_boot_base + 1);             // sector 0 of an archive
    read_disk(xd, h, 1);

    const uint32_t pri = get16(h + hdr::PRI_SIZE);
    const uint32_t ext = get32(h + hdr::EXT_SIZE);
    const uint32_t list_sectors = get16(h + hdr::LIST_SECTORS);
    const char *status = bpb_status(br);

    printf("version: %d.%d\n", h[hdr::VER_MAJOR], h[hdr::VER_MINOR]);
    if (!qx_ar_mode) {
        printf("base boot sector: %lu\n", (unsigned long)qx_boot_base);
        printf("boot code size: %u\n", unsigned(get16(h + hdr::BOOT_SIZE)));
        printf("primary data size: %u\n", unsigned(pri));
        printf("extended data size: %lu\n", (unsigned long)ext);
        printf("debug version: %s\n", br[0x1A8] ? "yes" : "no");
        printf("bpb status: %s\n", status);
    } else {
        printf("file list size: %lu\n", (unsigned long)qx_list_sectors);
        printf("original primary data size: %u\n", unsigned(pri));
        printf("original extended data size: %lu\n", (unsigned long)ext);
        printf("total sectors: %lu\n", (unsigned long)qx_ar_size);
    }

    printf("format options:");
    if (!qx_ar_mode) {
        const uint8_t ms = br[mbr::MAX_SECTORS];
        if (ms & 0x80) printf(" --chs");
        // 63 is what format writes without --max-sectors.
        if ((ms & 0x7F) != 63) printf(" --max-sectors %d", ms & 0x7F);
        if (status[0] != 'c' && br[bpb::BOOT_SIG] == 0x29) printf(" --zip");
    }
    if (pri != 16128) printf(" --primary %u", unsigned(pri));
    if (ext != 0) printf(" --extended %lu", (unsigned long)ext);
    if (list_sectors * 510 != 456960) printf(" --list-size %lu", (unsigned long)list_sectors * 510);
    printf("\n");

    printf("file list size: %lu\n", (unsigned long)list_sectors);
    printf("file list used: %u\n", unsigned(get16(h + hdr::LIST_USED)));
    printf("files:\n");

    // Files in list order, each after the free range that ends at it. For a
    // sound list these ranges are the free runs; a damaged one shows the
    // distance from the previous file's end as it is, wrapped if negative.
    const uint32_t p = qx_pri_size;
    const store_extents ext_model = store_extents::of_memory();
    uint32_t c = ext_model.list_end;
    for (const extent &x : ext_model.items) {
        const uint8_t *it = qx_list + x.ofs;
        const uint8_t flags = it[item::FLAGS];
        if (x.start != c) print_range(c, x.start, p);

        time_t t = time_t(get32(it + item::TIME));
        struct tm tm = {};
        if (const struct tm *lt = localtime(&t)) tm = *lt;
        printf("  %d%c%c  \"%s\" 0x%lx %lu (%d-%02d-%02d %02d:%02d:%02d)\n", x.area,
               (flags & item::F_EXTENDED) ? 'e' : ' ', (flags & item::F_SYSLINUX) ? 's' : ' ',
               reinterpret_cast<const char *>(it + item::NAME), (unsigned long)x.start, (unsigned long)x.size,
               tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        c = x.start + x.count;
    }

    if (qx_ar_mode) {
        flush_stdout();
        return;
    }
    if (c != qx_total_size) print_range(c, qx_total_size, p);
    // Each area less the sectors its files occupy, each counted once.
    const int64_t pri_free = (int64_t(p) - int64_t(ext_model.list_end) - int64_t(ext_model.used_sectors(0))) * 510;
    printf("primary area free space: %lld\n", (long long)pri_free);
    // The free sector count is a 32-bit number before it becomes bytes.
    const uint64_t ext_free = uint64_t(uint32_t(ext - uint32_t(ext_model.used_sectors(1)))) * 512;
    printf("extended area free space: %llu\n", (unsigned long long)ext_free);
    flush_stdout();
}
