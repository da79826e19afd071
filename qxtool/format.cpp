// The format command: lays a disk out as a QX boot disk (boot record and
// copies, header and boot code, empty file list and primary data area, and
// a FAT data partition), or, with --raw, as a plain partitioned FAT disk.
//
// Every check, including the FAT formatter's, runs before the first write,
// so a refused format leaves the disk exactly as it was.
#include "archive.h"
#include "commands.h"
#include "common.h"
#include "disk.h"
#include "fat.h"
#include "layout.h"
#include "options.h"
#include "xdio.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr uint32_t DEFAULT_PRIMARY = 16128;      // 63 * 256 sectors
constexpr uint32_t MAX_PRIMARY = 65535;          // the header field is 16 bits
constexpr uint32_t DEFAULT_LIST_BYTES = 456960;  // 896 sectors of 510 bytes
constexpr uint32_t MAX_LIST_SECTORS = 896;
constexpr uint32_t FAT32_FROM = 1048576;         // sectors: 512 MiB and more get FAT32

struct options {
    bool raw = false, force = false, zip = false, align = false, chs = false;
    int fat = 0;  // 16, 32, or 0 for automatic
    uint32_t nalign = 256, unit_size = 0, base = 63, size = 0;
    uint32_t primary = 0, extended = 0, list_bytes = 0, max_sectors = 0;
    const char *archive = nullptr;
};

void check_primary(uint32_t p) {
    // The limits are compared as signed numbers.
    if (int32_t(p) < int32_t(DEFAULT_PRIMARY)) quit("primary data size too small");
    if (int32_t(p) > int32_t(MAX_PRIMARY)) quit("primary data size too large");
}

options read_format_options(int argc, char **argv) {
    options o;
    read_options("format", argc, argv,
                 {
                     flag("--raw", "-r", o.raw),
                     flag("--force", "-f", o.force),
                     flag("--zip", "-z", o.zip),
                     action("--fat16", nullptr, [&] { o.fat = 16; }),
                     action("--fat32", nullptr, [&] { o.fat = 32; }),
                     flag("--align", "-a", o.align),
                     with_value("--nalign", "-n",
                                [&](const char *v) {
                                    o.nalign = get_number(v);
                                    if (o.nalign < 256 || (o.nalign & (o.nalign - 1))) quit("invalid alignment value");
                                }),
                     number("--unit-size", "-u", o.unit_size),
                     number("--base", "-b", o.base),
                     sectors("--size", "-s", o.size),
                     with_value("--primary", "-p",
                                [&](const char *v) {
                                    o.primary = get_sector_size(v);
                                    check_primary(o.primary);
                                }),
                     sectors("--extended", "-e", o.extended),
                     number("--list-size", "-l", o.list_bytes),
                     with_value("--max-sectors", nullptr, [&](const char *v) { o.max_sectors = get_max_sectors(v); }),
                     flag("--chs", nullptr, o.chs),
                     text("--archive", nullptr, o.archive),
                 });
    return o;
}

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

// Sizes that were not given on the command line come from the archive's
// header: primary and extended data size and the list size.
void take_archive_defaults(options &o) {
    std::unique_ptr<FILE, file_closer> f(fopen(o.archive, "rb"));
    if (!f) quit("can't open file %s", o.archive);
    free(get_ar_header(f.get()));
    const uint8_t *h = global_buffer;
    if (!o.primary) {
        o.primary = get16(h + hdr::PRI_SIZE);
        // An archive's size must make a layout the command line could make.
        if (o.primary) check_primary(o.primary);
    }
    if (!o.extended) o.extended = get32(h + hdr::EXT_SIZE);
    if (!o.list_bytes) o.list_bytes = get16(h + hdr::LIST_SECTORS) * 510u;
}

// Slot 0 of the partition table in the image: the one data partition.
void set_slot0(uint8_t *image, uint32_t start, uint32_t size, uint8_t type) {
    uint8_t *e = image + mbr::PART_TABLE;
    e[pte::BOOT] = 0x80;
    lba2chs(start, e + pte::CHS_START);
    e[pte::TYPE] = type;
    lba2chs(start + size - 1, e + pte::CHS_END);
    put32(e + pte::START, start);
    put32(e + pte::COUNT, size);
}

// Plans the data partition's volume; returns its partition type byte.
// Without --fat16/--fat32 the size decides. FAT16's cluster-count check
// counts the FAT sectors as clusters, so it refuses the sizes at the top of
// each class of its size table (for example 1,048,432 to 1,048,575
// sectors); when the cluster size was not given, such a partition gets
// FAT32 instead of a refusal.
uint8_t plan_volume(fat_plan *plan, uint32_t start, uint32_t size, const options &o) {
    if (o.fat == 32 || (!o.fat && size >= FAT32_FROM)) {
        plan_fat32(plan, start, size, o.unit_size, o.align);
    } else if (o.fat == 16 || o.unit_size) {
        plan_fat16(plan, start, size, o.unit_size, o.align);
    } else {
        try {
            plan_fat16(plan, start, size, 0, o.align);
        } catch (const Fatal &fat16_refusal) {
            fat_plan alt;
            try {
                plan_fat32(&alt, start, size, 0, o.align);
            } catch (const Fatal &) {
                throw fat16_refusal;  // FAT32 cannot take it either
            }
            *plan = alt;
        }
    }
    return plan->fat32 ? 0x0C : 0x0E;
}

void format_raw(xd_t *xd, const options &o, uint32_t z) {
    if (!o.force) quit("--raw would destroy existing partiiton layout,\nuse --force if you want to continue.");
    fat_plan plan;
    const uint8_t type = plan_volume(&plan, o.base, z, o);
    if (xd_lock(xd)) quit("can't lock disk");
    seek_disk(xd, 0);
    if (o.base) {
        memset(global_buffer, 0, GLOBAL_BUFFER_SIZE);
        set_slot0(global_buffer, o.base, z, type);
        global_buffer[mbr::SIGNATURE] = 0x55;
        global_buffer[mbr::SIGNATURE + 1] = 0xAA;
        write_disk(xd, global_buffer, 1);
        memset(global_buffer, 0, SECTOR);
        if (o.base > 1) zero_disk(xd, o.base - 1);
    }
    write_fat(xd, &plan);
}

}  // namespace

void format_disk(xd_t *xd, int argc, char **argv) {
    options o = read_format_options(argc, argv);
    // The raw layout has no file store an archive could be loaded into.
    if (o.raw && o.archive) quit("--archive can't be used with --raw");
    if (o.archive) take_archive_defaults(o);

    const uint32_t p = o.primary ? o.primary : DEFAULT_PRIMARY;
    uint32_t e = o.extended;
    const uint64_t list_bytes = o.list_bytes ? o.list_bytes : DEFAULT_LIST_BYTES;
    const uint64_t l = (list_bytes + 509) / 510;
    if (l > MAX_LIST_SECTORS) quit("list too large");
    const uint32_t n = uint32_t(qx_mbr_size - 3) / 510;
    const uint32_t b = o.base;
    // Copies of the boot record, boot code and list must all lie below the
    // primary data size: past it they would land in the extended area or
    // the data partition.
    if (!o.raw && uint64_t(b) + 1 + n + l > p) quit("base boot sector too large");

    const uint32_t d = xd_size(xd);
    if (d == 0xFFFFFFFFu) quit("can't get size");
    uint8_t *gb = global_buffer;
    if (d > 0) {
        // An archive file is no disk: formatting would destroy it.
        seek_disk(xd, 0);
        read_disk(xd, gb, 1);
        if (!memcmp(gb, "QXAR", 4)) quit("this command can't work with archive");
        seek_disk(xd, 0);
    }

    const uint64_t mask = uint64_t(o.nalign) - 1;
    const uint64_t s64 = o.raw ? b : (uint64_t(p) + e + mask) & ~mask;
    if (d <= s64) quit("the disk is too small");
    const uint32_t s = uint32_t(s64);
    uint32_t z = d - s;
    if (o.size && o.size <= z) z = o.size;

    if (o.raw) {
        format_raw(xd, o, z);
        return;
    }

    bool force = o.force;
    if (!force) {
        // Keep the existing partition table when its partitions leave room
        // for the hidden area; the extended area then reaches up to the
        // first partition unless its size was given.
        read_disk(xd, gb, 1);
        seek_disk(xd, 0);
        // A sector without the 55 AA signature holds no partition table,
        // whatever its bytes at the table's place look like.
        const bool table = gb[mbr::SIGNATURE] == 0x55 && gb[mbr::SIGNATURE + 1] == 0xAA;
        uint32_t first = table ? get_part_ofs(gb) : 0xFFFFFFFFu;
        if (first == 0xFFFFFFFFu) {
            force = true;
        } else {
            if (first < uint64_t(p) + e)
                quit("offset of data partition too small,\nuse --force to recreate disk layout");
            // The extended area fills the room up to the existing
            // partition, but never reaches past the end of the disk: a
            // table naming a start beyond it would make the header
            // promise sectors that are not there.
            if (e == 0) e = (first < d ? first : d) - p;
        }
    }

    fat_plan plan;
    if (force) {
        const uint8_t type = plan_volume(&plan, s, z, o);
        memset(gb, 0, SECTOR);
        set_slot0(gb, s, z, type);
    }

    // Boot record and its copies.
    memcpy(gb, qx_mbr_data, mbr::DISK_SIG);
    gb[mbr::SIGNATURE] = 0x55;
    gb[mbr::SIGNATURE + 1] = 0xAA;
    put16(gb + mbr::BOOT_BASE, b);
    config_mbr(o.max_sectors, o.chs, o.zip);
    sync_mbr(xd, gb, b, 0, force);

    // Header and boot code: the variant's bytes from its second sector on,
    // as a marked stream.
    uint8_t *boot = gb + SECTOR;
    const uint32_t boot_bytes = uint32_t(qx_mbr_size) - SECTOR;
    memcpy(boot, qx_mbr_data + SECTOR, boot_bytes);
    add_mark(boot, n, b + 1, boot_bytes);
    put16(boot + hdr::BOOT_SIZE, n);
    put16(boot + hdr::LIST_USED, 1);
    put16(boot + hdr::LIST_SECTORS, uint32_t(l));
    put16(boot + hdr::PRI_SIZE, p & 0xFFFF);
    put32(boot + hdr::EXT_SIZE, e);
    seek_disk(xd, b + 1);
    write_disk(xd, boot, n);

    // The empty file list and primary data area: zero sectors, each with
    // its mark.
    memset(gb, 0, GLOBAL_BUFFER_SIZE);
    for (uint32_t sec = b + 1 + n; sec < p;) {
        uint32_t k = p - sec < GLOBAL_SECTORS ? p - sec : GLOBAL_SECTORS;
        for (uint32_t i = 0; i < k; i++) put16(gb + i * SECTOR + 510, (sec + i) & 0xFFFF);
        write_disk(xd, gb, k);
        sec += k;
    }

    if (force) {
        seek_disk(xd, s);
        memset(gb, 0, GLOBAL_BUFFER_SIZE);
        write_fat(xd, &plan);
    }

    if (o.archive) {
        seek_disk(xd, 0);
        read_header(xd, 0);
        char *words[] = {const_cast<char *>(o.archive), nullptr};
        load_archive(xd, 1, words);
        write_header(xd);
    }
}
