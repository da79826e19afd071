// Archive files: a header sector ("QXAR", version, list sizes, the data
// sizes a disk formatted from it gets), n marked list sectors, then every
// item's data in plain 512-byte sectors. save writes one from the open
// target, load adds its items to the target, create makes an empty one.
#define _FILE_OFFSET_BITS 64
#include "archive.h"
#include "commands.h"
#include "common.h"
#include "disk.h"
#include "filestore.h"
#include "layout.h"
#include "options.h"
#include "syslinux.h"
#include "xdio.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

const uint8_t QXAR[4] = {'Q', 'X', 'A', 'R'};
// The list-sector count of a header is a 16-bit field.
constexpr uint64_t MAX_LIST_SECTORS = 65535;
constexpr uint32_t CREATE_MAX_LIST = 896;

uint64_t list_sectors_for(uint64_t bytes) { return (bytes + 509) / 510; }

// Output of save. An archive is written beside the destination and put in
// its place when complete, with the destination's permissions: a failure or
// power cut at any instant leaves the old file or the new one, and a save
// onto the archive being read reads it whole first. Where that would cost
// the destination its identity (it has other hard links) or cannot be done
// (no new file can be made in its directory), the destination is rewritten
// where it lies through the commit of archivecommit.cpp, which keeps its
// links and mode and leaves the old archive or the new one at every
// instant. A destination that is no regular file (a device) is written
// straight from its start.
struct archive_out {
    std::string dest, temp;
    FILE *f = nullptr;
    FILE *held = nullptr;  // the destination as it was, claimed for this run
    bool existed = false;
    std::optional<in_place_save> in_place;

    archive_out(const char *path, xd_t *xd, uint64_t bytes) : dest(path) {
        // The destination as it is, under whatever name: the target itself
        // is written only when it is an archive, and a destination another
        // run holds is left alone.
        if ((held = fopen(path, "rb")) != nullptr) {
            if (!xd_is_file(xd, held)) {
                if (xd_file_claim(held, 1)) {
                    fclose(held);
                    quit("%s is in use by another run", path);
                }
            } else {
                fclose(held);
                held = nullptr;
                if (!qx_ar_mode) quit("can't write to file %s: it is the target", path);
                if (xd_claim(xd, 1)) quit("%s is in use by another run", path);
            }
        }
        try {
            open(path, xd, bytes);
        } catch (...) {
            if (held) fclose(held);
            throw;
        }
    }
    void open(const char *path, xd_t *xd, uint64_t bytes) {
        std::error_code ec;
        if (std::filesystem::is_symlink(std::filesystem::symlink_status(dest, ec)))
            dest = std::filesystem::canonical(dest, ec).string();
        struct stat st;
        const bool exists = stat(dest.c_str(), &st) == 0;
        const bool regular = !exists || S_ISREG(st.st_mode);
        existed = exists;
        if (regular && !(exists && st.st_nlink > 1)) {
            for (int k = 0; k < 1000 && temp.empty(); k++) {
                std::string t = dest + ".tmp" + std::to_string(k);
                if (!std::filesystem::exists(t, ec)) temp = t;
            }
            if (!temp.empty()) f = fopen(temp.c_str(), "wb");
            if (!f) temp.clear();
        }
        const bool direct = !f;
        if (direct) f = fopen(dest.c_str(), exists ? "r+b" : "wb");
        if (!f) quit("can't write to file %s", path);
        host_buffering(f);
        if (!direct || !exists) return;
        try {
            // The image goes past everything the target holds, so the
            // archive being read may be its own destination.
            if (regular) in_place.emplace(f, bytes);
            else if (xd_is_file(xd, f)) quit("can't save to the archive being read: %s", path);
        } catch (...) {
            fclose(f);
            throw;
        }
    }
    void write(const void *p, size_t n) {
        if (fwrite(p, 1, n, f) != n) quit("file write fails");
    }
    void finish() {
        int bad = 0;
        if (in_place) {
            in_place->commit();
        } else {
            if (!temp.empty() && existed) bad |= xd_file_mode_like(f, dest.c_str());
            bad |= xd_file_sync(f);
        }
        bad |= fclose(f);
        f = nullptr;
        if (bad) quit("file write fails");
        if (!temp.empty()) {
            if (xd_file_replace(temp.c_str(), dest.c_str())) quit("file write fails");
            temp.clear();
        }
    }
    ~archive_out() {
        in_place.reset();
        if (f) fclose(f);
        if (held) fclose(held);
        if (!temp.empty()) {
            std::error_code ec;
            std::filesystem::remove(temp, ec);
        }
    }
};

}  // namespace

archive_source::archive_source(const char *path) {
    f = fopen(path, "rb");
    if (!f) quit("can't open file %s", path);
    host_buffering(f);
    try {
        base = pending_save_of(f, &end);
        if (end != UINT64_MAX && fseeko(f, off_t(base), SEEK_SET) != 0) quit("file read fails");
    } catch (...) {
        fclose(f);
        throw;
    }
}

archive_source::~archive_source() { fclose(f); }

// Byte position of an archive sector; 64-bit, so every sector a list can
// name is reachable.
bool archive_source::seek(uint32_t sector) { return fseeko(f, off_t(base + uint64_t(sector) * SECTOR), SEEK_SET) == 0; }

uint8_t *get_ar_header(FILE *f) {
    if (fread(global_buffer, 1, SECTOR, f) != SECTOR) quit("file read fails");
    if (memcmp(global_buffer, QXAR, 4) != 0) quit("invalid archive file");
    if (global_buffer[hdr::VER_MAJOR] != qx_mbr_data[0x204] || global_buffer[hdr::VER_MINOR] != qx_mbr_data[0x205])
        quit("version number not match");
    uint32_t n = get16(global_buffer + hdr::LIST_SECTORS);
    if (!n) quit("invalid archive file");
    uint8_t *list = static_cast<uint8_t *>(xmalloc(size_t(n) * SECTOR));
    if (fread(list, 1, size_t(n) * SECTOR, f) != size_t(n) * SECTOR) {
        free(list);
        quit("file read fails");
    }
    remove_mark(list, n);
    try {
        // A list without its terminator is refused here, before anything
        // walks past its n * 510 bytes.
        walk_list(list, int(n * 510));
    } catch (...) {
        free(list);
        throw;
    }
    return list;
}

namespace {

struct free_list {
    uint8_t *p;
    ~free_list() { free(p); }
};

// Every item must lie after the list (n sectors) and within the file, and
// have a usable name, before anything is written to the target. Returns the
// total of the item sizes.
uint64_t check_items(const uint8_t *list, uint32_t n, const archive_source &in) {
    uint64_t total = 0;
    for (int ofs = 0; list[ofs]; ofs = next_item(list, ofs)) {
        const uint8_t *it = list + ofs;
        uint64_t from = in.base + uint64_t(item_start(it)) * SECTOR;
        if (item_size(it) && (item_start(it) <= n || (in.end != UINT64_MAX && from + item_size(it) > in.end)))
            quit("invalid archive file");
        if (strlen(get_name(reinterpret_cast<const char *>(it + item::NAME))) + 15 > 255)
            quit("file item too long");
        total += item_size(it);
    }
    return total;
}

}  // namespace

void open_source(archive_source &in, xd_t *xd, const char *path) {
    if (xd_is_file(xd, in.f)) quit("can't read the archive %s: it is the target", path);
    if (xd_file_claim(in.f, 0)) quit("%s is in use by another run", path);
}

void check_archive_load(xd_t *xd, const char *path, uint32_t list_start, uint32_t list_sectors, uint32_t pri,
                        uint32_t total) {
    archive_source in(path);
    open_source(in, xd, path);
    uint8_t *list = get_ar_header(in.f);
    free_list guard{list};
    const uint32_t n = get16(global_buffer + hdr::LIST_SECTORS);
    check_items(list, n, in);

    // The new store in memory, filled as load fills it: placement alone.
    free(qx_list);
    qx_list = static_cast<uint8_t *>(xmalloc(size_t(list_sectors) * SECTOR));
    memset(qx_list, 0, size_t(list_sectors) * SECTOR);
    qx_ar_mode = 0;
    qx_list_start = list_start;
    qx_list_sectors = list_sectors;
    qx_list_size = int(list_sectors * 510);
    qx_list_tail = 0;
    qx_pri_size = pri;
    qx_total_size = total;
    store_committed();
    for (int ofs = 0; list[ofs]; ofs = next_item(list, ofs)) {
        const uint8_t *src = list + ofs;
        uint8_t flags = src[item::FLAGS];
        if (flags & item::F_SYSLINUX) flags |= item::F_EXTENDED;
        uint32_t start;
        alloc_file(reinterpret_cast<const char *>(src + item::NAME), &start, item_size(src),
                   (flags & item::F_EXTENDED) != 0, get32(src + item::TIME));
    }
    free(qx_list);
    qx_list = nullptr;
    qx_list_tail = 0;
    reset_filestore();
}

void load_archive(xd_t *xd, int argc, char **argv) {
    if (argc < 1) quit("not enough parameters");
    archive_source in(argv[0]);
    open_source(in, xd, argv[0]);
    uint8_t *list = get_ar_header(in.f);
    free_list guard{list};
    const uint32_t n = get16(global_buffer + hdr::LIST_SECTORS);
    const uint64_t total = check_items(list, n, in);

    store_begin(xd);
    dot_init(total);
    for (int ofs = 0; list[ofs]; ofs = next_item(list, ofs)) {
        const uint8_t *src = list + ofs;
        uint8_t flags = src[item::FLAGS];
        // A loader to be patched must sit in plain sectors: the syslinux
        // flag places an item by the extended-only rule as well.
        if (flags & item::F_SYSLINUX) flags |= item::F_EXTENDED;
        uint32_t start;
        uint8_t *it = alloc_file(reinterpret_cast<const char *>(src + item::NAME), &start, item_size(src),
                                 (flags & item::F_EXTENDED) != 0, get32(src + item::TIME));
        if (!in.seek(item_start(src))) quit("file read fails");
        save_file_data(xd, it, in.f, -1);
        it[item::FLAGS] = flags;
        if (flags & item::F_SYSLINUX) syslinux_patch(xd, it);
    }
    dot_fini();
}

void save_archive(xd_t *xd, int argc, char **argv) {
    uint32_t list_bytes = 0;
    const int i = read_options("save", argc, argv, {number("--list-size", "-l", list_bytes)});
    if (i >= argc) quit("not enough parameters");
    const char *path = argv[i];
    if (!list_bytes) list_bytes = uint32_t(qx_list_size);
    const uint64_t n64 = list_sectors_for(list_bytes);
    if (n64 > MAX_LIST_SECTORS) quit("list too large");
    const uint32_t n = uint32_t(n64);

    uint8_t header[SECTOR] = {};
    memcpy(header, QXAR, 4);
    header[hdr::VER_MAJOR] = qx_mbr_data[0x204];
    header[hdr::VER_MINOR] = qx_mbr_data[0x205];
    put16(header + hdr::LIST_SECTORS, n);
    if (qx_ar_mode) {
        // An archive's own geometry is no disk's: carry over the data
        // sizes its header records for disks formatted from it.
        seek_disk(xd, 0);
        read_disk(xd, global_buffer, 1);
        put16(header + hdr::PRI_SIZE, get16(global_buffer + hdr::PRI_SIZE));
        put32(header + hdr::EXT_SIZE, get32(global_buffer + hdr::EXT_SIZE));
    } else {
        put16(header + hdr::PRI_SIZE, qx_pri_size);
        put32(header + hdr::EXT_SIZE, qx_total_size - qx_pri_size);
    }

    const size_t cap = size_t(n) * 510;
    uint8_t *list = static_cast<uint8_t *>(xmalloc(size_t(n) * SECTOR));
    free_list guard{list};
    memset(list, 0, size_t(n) * SECTOR);
    size_t out = 0;
    uint64_t next = uint64_t(n) + 1, total = 0;
    for (int ofs = 0; qx_list[ofs]; ofs = next_item(qx_list, ofs)) {
        const uint8_t *it = qx_list + ofs;
        size_t len = size_t(it[0]) + 2;
        if (out + len >= cap) quit("not enough space for file list");
        if (next > 0xFFFFFFFFu) quit("archive too large");
        memcpy(list + out, it, len);
        put32(list + out + item::START, uint32_t(next));
        next += sectors_in_area(item_size(it), 1);  // archive data lies in plain sectors
        total += item_size(it);
        out += len;
    }
    if (next - 1 > 0xFFFFFFFFu) quit("archive too large");
    put16(header + hdr::LIST_USED, uint32_t(out / 510 + 1));
    add_mark(list, n, 1, uint32_t(out));

    archive_out f(path, xd, next * SECTOR);
    f.write(header, SECTOR);
    f.write(list, size_t(n) * SECTOR);
    static const uint8_t zeros[SECTOR] = {};
    dot_init(total);
    for (int ofs = 0; qx_list[ofs]; ofs = next_item(qx_list, ofs)) {
        const uint8_t *it = qx_list + ofs;
        load_file_data(xd, it, f.f, -1);
        uint32_t tail = item_size(it) % SECTOR;
        if (tail) f.write(zeros, SECTOR - tail);
    }
    dot_fini();
    f.finish();
}

void create_archive(xd_t *xd, int argc, char **argv) {
    uint32_t pri = 0x3F00, ext = 0, list_bytes = 896 * 510;
    bool force = false;
    read_options("create", argc, argv,
                 {
                     flag("--force", "-f", force),
                     with_value("--primary", "-p",
                                [&](const char *v) {
                                    pri = get_sector_size(v);
                                    if (pri < 16128) quit("primary data size too small");
                                    if (pri > 65535) quit("primary data size too large");
                                }),
                     sectors("--extended", "-e", ext),
                     number("--list-size", "-l", list_bytes),
                 });
    const uint64_t n64 = list_sectors_for(list_bytes);
    if (n64 > CREATE_MAX_LIST) quit("list too large");
    // A list needs at least one sector to hold its terminator.
    if (n64 == 0) quit("list too small");
    const uint32_t n = uint32_t(n64);

    // A disk (a boot sector at the start: a QX disk, a partitioned or a FAT
    // disk) is not made an archive without --force, as format does not make
    // an archive a disk without it.
    if (!force && xd_size(xd) != 0xFFFFFFFFu && xd_size(xd) > 0) {
        uint8_t *s0 = global_buffer;
        seek_disk(xd, 0);
        read_disk(xd, s0, 1);
        if (s0[mbr::SIGNATURE] == 0x55 && s0[mbr::SIGNATURE + 1] == 0xAA)
            quit("create would destroy the disk in this target,\nuse --force if you want to continue.");
    }

    free(qx_list);
    qx_list = static_cast<uint8_t *>(xmalloc(size_t(n) * SECTOR));
    memset(qx_list, 0, size_t(n) * SECTOR);
    qx_ar_mode = 1;
    qx_boot_base = AR_NONE;
    qx_part_ofs = 0;
    qx_list_start = 1;
    qx_list_sectors = n;
    qx_pri_size = n + 1;
    qx_total_size = 0x7FFFFFFF;
    qx_list_size = int(n * 510);
    qx_list_tail = 0;
    qx_ar_size = n + 2;

    // An archive already at this place stays readable at every instant: its
    // list is emptied by one sector first (sector 1 starts every list), then
    // the new list's other sectors are cleared, then the header names the
    // new list, and only then is the file cut to its new length.
    std::vector<uint8_t> list(size_t(n) * SECTOR, 0);
    add_mark(list.data(), n, 1, 0);
    seek_disk(xd, 1);
    write_disk(xd, list.data(), 1);
    flush_disk(xd);
    if (n > 1) {
        write_disk(xd, list.data() + SECTOR, n - 1);
        flush_disk(xd);
    }
    uint8_t *h = global_buffer;
    memset(h, 0, SECTOR);
    memcpy(h, QXAR, 4);
    h[hdr::VER_MAJOR] = qx_mbr_data[0x204];
    h[hdr::VER_MINOR] = qx_mbr_data[0x205];
    put16(h + hdr::LIST_USED, 1);
    put16(h + hdr::LIST_SECTORS, n);
    put16(h + hdr::PRI_SIZE, pri);
    put32(h + hdr::EXT_SIZE, ext);
    seek_disk(xd, 0);
    write_disk(xd, h, 1);
    flush_disk(xd);
    if (!(xd_flags(xd) & XD_DEVICE)) {
        seek_disk(xd, n + 1);
        if (xd_truncate(xd)) quit("xd_write fails at offset %u, size %d", n + 1, 0);
    }
}
