// The format command: lays a disk out as a QX boot disk (boot record and
// copies, header and boot code, empty file list and primary data area, and
// a FAT data partition), or, with --raw, as a plain partitioned FAT disk.
//
// The command plans first and writes after: every check, the FAT
// formatter's included, runs while planning, so a refused format leaves the
// disk exactly as it was.
#include "archive.h"
#include "commands.h"
#include "common.h"
#include "disk.h"
#include "fat.h"
#include "filestore.h"
#include "format.h"
#include "layout.h"
#include "options.h"
#include "xdio.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t DEFAULT_PRIMARY = 16128;      // 63 * 256 sectors
constexpr uint32_t MAX_PRIMARY = 65535;          // the header field is 16 bits
constexpr uint32_t DEFAULT_LIST_BYTES = 456960;  // 896 sectors of 510 bytes
constexpr uint32_t MAX_LIST_SECTORS = 896;
constexpr uint32_t FAT32_FROM = 1048576;         // sectors: 512 MiB and more get FAT32
// An exFAT disk's EFI system partition: room for the UEFI loaders, the
// signed chain and the tools they start.
constexpr uint32_t DEFAULT_ESP = 131072;         // 64 MiB
constexpr uint8_t ESP_TYPE = 0xEF;
constexpr uint32_t MAX_FAT12_ESP = 8400;

void check_primary(uint32_t p) {
    // The limits are compared as signed numbers.
    if (int32_t(p) < int32_t(DEFAULT_PRIMARY)) quit("primary data size too small");
    if (int32_t(p) > int32_t(MAX_PRIMARY)) quit("primary data size too large");
}

format_options read_format_options(int argc, char **argv) {
    format_options o;
    read_options("format", argc, argv,
                 {
                     flag("--raw", "-r", o.raw),
                     flag("--force", "-f", o.force),
                     flag("--zip", "-z", o.zip),
                     action("--fat16", nullptr, [&] { o.fat = 16; }),
                     action("--fat32", nullptr, [&] { o.fat = 32; }),
                     action("--exfat", nullptr, [&] { o.fat = format_options::EXFAT; }),
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
                     with_value("--volume-id", nullptr,
                                [&](const char *v) {
                                    o.volume_id = get_number(v);
                                    o.volume_id_given = true;
                                }),
                     with_value("--esp-size", nullptr,
                                [&](const char *v) {
                                    o.esp_size = get_sector_size(v);
                                    o.esp_size_given = true;
                                }),
                 });
    return o;
}

// Sizes that were not given on the command line come from the archive's
// header: primary and extended data size and the list size.
void take_archive_defaults(xd_t *xd, format_options &o) {
    archive_source src(o.archive);
    open_source(src, xd, o.archive);
    free(get_ar_header(src.f));
    const uint8_t *h = global_buffer;
    if (!o.primary) {
        o.primary = get16(h + hdr::PRI_SIZE);
        // An archive's size must make a layout the command line could make.
        if (o.primary) check_primary(o.primary);
    }
    if (!o.extended) o.extended = get32(h + hdr::EXT_SIZE);
    if (!o.list_bytes) o.list_bytes = get16(h + hdr::LIST_SECTORS) * 510u;
}

// A slot of the partition table in the image: slot 0 is the data partition
// (the active one), slot 1 an exFAT disk's EFI system partition.
void set_slot(uint8_t *image, int slot, uint32_t start, uint32_t size, uint8_t type) {
    uint8_t *e = image + mbr::PART_TABLE + slot * pte::SIZE;
    e[pte::BOOT] = slot == 0 ? 0x80 : 0;
    lba2chs(start, e + pte::CHS_START);
    e[pte::TYPE] = type;
    lba2chs(start + size - 1, e + pte::CHS_END);
    put32(e + pte::START, start);
    put32(e + pte::COUNT, size);
}

// Plans the data partition's volume; returns its partition type byte.
// --exfat asks for exFAT; without --fat16/--fat32 the size decides. FAT16's cluster-count check
// counts the FAT sectors as clusters, so it refuses the sizes at the top of
// each class of its size table (for example 1,048,432 to 1,048,575
// sectors); when the cluster size was not given, such a partition gets
// FAT32 instead of a refusal.
uint8_t plan_fat_volume(fat_plan *plan, uint32_t start, uint32_t size, const format_options &o) {
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
    if (o.volume_id_given) set_volume_id(plan, o.volume_id);
    return plan->fat32 ? 0x0C : 0x0E;
}

uint8_t plan_volume(format_plan *fp, uint32_t start, uint32_t size, const format_options &o) {
    if (o.fat == format_options::EXFAT) {
        plan_exfat(&fp->exfat, start, size, o.unit_size, o.align, o.volume_id);
        return 0x07;
    }
    return plan_fat_volume(&fp->fat, start, size, o);
}

// The EFI system partition: FAT as its size asks (the size table and the
// data partition's --align; cluster size and volume ID are the data
// partition's business).
void plan_esp(format_plan *plan) {
    format_options esp_opt;
    esp_opt.align = plan->opt.align;
    plan_fat_volume(&plan->esp, plan->esp_start, plan->esp_size, esp_opt);
}

// The raw layout: a partition table with the one FAT partition at the base
// sector, or, with base 0, a FAT volume over the whole disk.
void plan_raw(format_plan *plan) {
    const format_options &o = plan->opt;
    if (!o.force) quit("--raw would destroy existing partiiton layout,\nuse --force if you want to continue.");
    plan->new_volume = true;
    const uint8_t type = plan_volume(plan, plan->start, plan->size, o);
    if (o.base) {
        set_slot(plan->sector0, 0, plan->start, plan->size, type);
        put_signature(plan->sector0);
    }
}

// The QX layout. Without --force an existing partition table stays when
// its partitions leave room for the hidden area: the extended area then
// reaches up to the first partition unless its size was given. sector0 is
// the disk's present sector 0.
void plan_qx(format_plan *plan, const uint8_t *sector0, uint32_t disk_size) {
    const format_options &o = plan->opt;
    uint8_t *image = global_buffer;  // config_mbr works on it there
    memcpy(image, sector0, SECTOR);
    plan->new_volume = o.force;
    if (!plan->new_volume) {
        // A sector without the 55 AA signature holds no partition table,
        // whatever its bytes at the table's place look like.
        const bool table = image[mbr::SIGNATURE] == 0x55 && image[mbr::SIGNATURE + 1] == 0xAA;
        const uint32_t first = table ? get_part_ofs(image) : 0xFFFFFFFFu;
        if (first == 0xFFFFFFFFu) {
            plan->new_volume = true;
        } else {
            if (first < uint64_t(plan->primary) + plan->extended)
                quit("offset of data partition too small,\nuse --force to recreate disk layout");
            // Never past the end of the disk: a table naming a start beyond
            // it would make the header promise sectors that are not there.
            if (plan->extended == 0) plan->extended = (first < disk_size ? first : disk_size) - plan->primary;
        }
    }
    if (plan->new_volume) {
        const uint8_t type = plan_volume(plan, plan->start, plan->size, o);
        memset(image, 0, SECTOR);
        set_slot(image, 0, plan->start, plan->size, type);
        if (plan->esp_size) {
            plan_esp(plan);
            set_slot(image, 1, plan->esp_start, plan->esp_size, ESP_TYPE);
        }
    }
    // The variant's jump, BPB template and boot code over the table and
    // disk signature that stay.
    memcpy(image, qx_mbr_data, mbr::DISK_SIG);
    put_signature(image);
    put16(image + mbr::BOOT_BASE, o.base);
    config_mbr(o.max_sectors, o.chs, o.zip);
    memcpy(plan->sector0, image, SECTOR);
}

// Writes the planned data partition's volume from the handle's position.
void write_volume(xd_t *xd, const format_plan *plan) {
    if (plan->opt.fat == format_options::EXFAT) write_exfat(xd, &plan->exfat);
    else write_fat(xd, &plan->fat);
}

void write_raw(xd_t *xd, const format_plan *plan) {
    if (xd_lock(xd)) quit("can't lock disk");
    seek_disk(xd, 0);
    if (plan->opt.base) {
        // Transfers go through the working buffer, which raw devices accept.
        memcpy(global_buffer, plan->sector0, SECTOR);
        write_disk(xd, global_buffer, 1);
        memset(global_buffer, 0, GLOBAL_BUFFER_SIZE);
        if (plan->opt.base > 1) zero_disk(xd, plan->opt.base - 1);
    }
    write_volume(xd, plan);
}

void write_qx(xd_t *xd, const format_plan *plan) {
    const uint32_t b = plan->opt.base, n = plan->boot_sectors, p = plan->primary;
    uint8_t *gb = global_buffer;

    // Boot record and its copies.
    memcpy(gb, plan->sector0, SECTOR);
    sync_mbr(xd, gb, b, 0, plan->new_volume);

    // Header and boot code: the variant's bytes from its second sector on,
    // as a marked stream.
    uint8_t *boot = gb + SECTOR;
    const uint32_t boot_bytes = uint32_t(qx_mbr_size) - SECTOR;
    memcpy(boot, qx_mbr_data + SECTOR, boot_bytes);
    add_mark(boot, n, b + 1, boot_bytes);
    put16(boot + hdr::BOOT_SIZE, n);
    put16(boot + hdr::LIST_USED, 1);
    put16(boot + hdr::LIST_SECTORS, plan->list_sectors);
    put16(boot + hdr::PRI_SIZE, p & 0xFFFF);
    put32(boot + hdr::EXT_SIZE, plan->extended);
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

    if (plan->new_volume) {
        seek_disk(xd, plan->start);
        write_volume(xd, plan);
        if (plan->esp_size) {
            seek_disk(xd, plan->esp_start);
            write_fat(xd, &plan->esp);
        }
    }

    if (plan->opt.archive) {
        seek_disk(xd, 0);
        open_store(xd, 0, true);
        char *words[] = {const_cast<char *>(plan->opt.archive), nullptr};
        load_archive(xd, 1, words);
        write_header(xd);
    }
}

}  // namespace

void plan_format(xd_t *xd, int argc, char **argv, format_plan *plan) {
    *plan = format_plan();
    format_options &o = plan->opt;
    o = read_format_options(argc, argv);
    // The raw layout has no file store an archive could be loaded into.
    if (o.raw && o.archive) quit("--archive can't be used with --raw");
    if (o.archive) take_archive_defaults(xd, o);

    plan->primary = o.primary ? o.primary : DEFAULT_PRIMARY;
    plan->extended = o.extended;
    const uint64_t list_bytes = o.list_bytes ? o.list_bytes : DEFAULT_LIST_BYTES;
    const uint64_t l = (list_bytes + 509) / 510;
    if (l > MAX_LIST_SECTORS) quit("list too large");
    plan->list_sectors = uint32_t(l);
    plan->boot_sectors = uint32_t(qx_mbr_size - 3) / 510;
    // Copies of the boot record, boot code and list must all lie below the
    // primary data size: past it they would land in the extended area or
    // the data partition.
    if (!o.raw && uint64_t(o.base) + 1 + plan->boot_sectors + l > plan->primary) quit("base boot sector too large");

    const uint32_t d = xd_size(xd);
    if (d == 0xFFFFFFFFu) quit("can't get size");
    uint8_t sector0[SECTOR] = {};
    if (d > 0) {
        seek_disk(xd, 0);
        read_disk(xd, global_buffer, 1);  // raw devices take this buffer as it is
        memcpy(sector0, global_buffer, SECTOR);
        seek_disk(xd, 0);
    }
    // An archive file named as the target is no disk: formatting it, which
    // destroys it, takes --force or --raw. A device is a disk whatever its
    // sector 0 holds.
    if (!memcmp(sector0, "QXAR", 4) && !(xd_flags(xd) & XD_DEVICE) && !o.force && !o.raw)
        quit("this command can't work with archive");

    const uint64_t mask = uint64_t(o.nalign) - 1;
    const uint64_t s = o.raw ? o.base : (uint64_t(plan->primary) + plan->extended + mask) & ~mask;
    if (d <= s) quit("the disk is too small");
    plan->start = uint32_t(s);
    // An exFAT disk in the QX layout gets an EFI system partition at its
    // end, on the alignment: the data partition stays the first and the
    // lowest, where every command looks for it.
    if (o.esp_size_given && o.fat != format_options::EXFAT) quit("--esp-size needs --exfat");
    if (o.esp_size_given && o.raw) quit("--esp-size can't be used with --raw");
    uint64_t room_end = d;
    if (o.fat == format_options::EXFAT && !o.raw) {
        plan->esp_size = o.esp_size_given ? o.esp_size : DEFAULT_ESP;
        // Below this the FAT formatter's size table has no FAT16 volume.
        if (plan->esp_size && plan->esp_size <= MAX_FAT12_ESP)
            quit("efi system partition of %u sectors too small, it needs at least %u", plan->esp_size, MAX_FAT12_ESP + 1);
        if (plan->esp_size) {
            room_end = d > plan->esp_size ? (d - plan->esp_size) & ~mask : 0;
            if (room_end <= s)
                quit("the disk is too small for an efi system partition of %u sectors", plan->esp_size);
        }
    }
    plan->size = uint32_t(room_end - s);
    if (o.size && o.size <= plan->size) plan->size = o.size;
    if (plan->esp_size) plan->esp_start = uint32_t((uint64_t(plan->start) + plan->size + mask) & ~mask);

    if (o.raw) plan_raw(plan);
    else plan_qx(plan, sector0, d);
    // A volume ID belongs to a new volume; the partition that stays keeps
    // its own.
    if (o.volume_id_given && !plan->new_volume) quit("--volume-id needs a new data partition, use --force");
    if (o.esp_size_given && !plan->new_volume) quit("--esp-size needs a new data partition, use --force");
    if (!plan->new_volume) plan->esp_size = 0;
    if (o.archive)
        check_archive_load(xd, o.archive, o.base + 1 + plan->boot_sectors, plan->list_sectors, plan->primary,
                           plan->primary + plan->extended);
}

void write_format(xd_t *xd, const format_plan *plan) {
    // A store already on the disk is emptied on the medium before any of the
    // data it names is overwritten.
    retire_store(xd);
    if (plan->opt.raw) write_raw(xd, plan);
    else write_qx(xd, plan);
}

void format_disk(xd_t *xd, int argc, char **argv) {
    format_plan plan;
    plan_format(xd, argc, argv, &plan);
    write_format(xd, &plan);
}
