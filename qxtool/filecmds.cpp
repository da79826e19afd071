// Commands on single file items (add, resize, copy, move, export, remove,
// cat) and the transfers between host files or memory and a file's sectors.
#define _FILE_OFFSET_BITS 64
#include "filestore.h"
#include "commands.h"
#include "common.h"
#include "disk.h"
#include "layout.h"
#include "options.h"
#include "syslinux.h"
#include "xdio.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>
#include <algorithm>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

uint32_t now() { return uint32_t(time(nullptr)); }

// Fills the k sectors of a run in global_buffer that start at sector first
// with their marks (primary area).
void mark_run(uint32_t first, uint32_t k) {
    for (uint32_t s = 0; s < k; s++) put16(global_buffer + s * SECTOR + 510, (first + s) & 0xFFFF);
}

// Bytes to a file's sectors from a given sector on, in runs of up to 64
// sectors: marked 510-byte units in the primary area, plain sectors beyond.
class sector_writer {
public:
    sector_writer(xd_t *xd, uint32_t start)
        : xd_(xd), sector_(start), unit_(start < qx_pri_size ? 510 : 512), buf_(GLOBAL_SECTORS * SECTOR) {}
    void put(const uint8_t *p, size_t n) {
        const size_t cap = size_t(GLOBAL_SECTORS) * unit_;
        while (n) {
            if (unit_ == SECTOR && fill_ == 0 && n >= SECTOR) {
                // Whole plain sectors go straight from the caller's bytes.
                const uint32_t k = uint32_t(std::min<size_t>(n / SECTOR, PLAIN_RUN));
                seek_disk(xd_, sector_);
                write_disk(xd_, p, k);
                sector_ += k;
                p += size_t(k) * SECTOR;
                n -= size_t(k) * SECTOR;
                continue;
            }
            size_t k = std::min(n, cap - fill_);
            memcpy(buf_.data() + fill_, p, k);
            fill_ += k;
            p += k;
            n -= k;
            if (fill_ == cap) write_run();
        }
    }
    void finish() {
        if (fill_) write_run();
    }

private:
    void write_run() {
        const uint32_t k = uint32_t((fill_ + unit_ - 1) / unit_);
        if (unit_ == 510) add_mark(buf_.data(), k, sector_, uint32_t(fill_));
        else memset(buf_.data() + fill_, 0, size_t(k) * SECTOR - fill_);
        seek_disk(xd_, sector_);
        write_disk(xd_, buf_.data(), k);
        sector_ += k;
        fill_ = 0;
    }
    xd_t *xd_;
    uint32_t sector_;
    uint32_t unit_;
    std::vector<uint8_t> buf_;
    size_t fill_ = 0;
};

// Feeds the first bytes bytes stored from sector from (either area) to w.
void read_back(xd_t *xd, uint32_t from, uint64_t bytes, sector_writer &w) {
    const uint32_t unit = from < qx_pri_size ? 510 : 512;
    while (bytes) {
        const uint64_t run = std::min<uint64_t>(bytes, uint64_t(GLOBAL_SECTORS) * unit);
        const uint32_t k = uint32_t((run + unit - 1) / unit);
        seek_disk(xd, from);
        read_disk(xd, global_buffer, k);
        if (unit == 510) remove_mark(global_buffer, k);
        w.put(global_buffer, size_t(run));
        from += k;
        bytes -= run;
    }
}

// Standard input, whose size is known only at its end. The first megabyte
// is read ahead: a shorter input is stored like a buffer. A longer one
// streams into the largest free run that no list names, which is where
// first fit puts a large file, so its data is written once. When first fit
// gives the whole size a lower place (a run before it holds it too), the
// data moves there once at the end.
uint8_t *save_stdin(xd_t *xd, const char *name, bool extended) {
    constexpr size_t AHEAD = size_t(1) << 20;
    std::vector<uint8_t> chunk(AHEAD);
    auto read_chunk = [&]() {
        size_t n = 0;
        while (n < AHEAD) {
            size_t k = fread(chunk.data() + n, 1, AHEAD - n, stdin);
            if (!k) break;
            n += k;
        }
        if (ferror(stdin)) quit("read stdin fails");
        return n;
    };
    size_t n = read_chunk();
    if (!n) quit("no input");
    if (n < AHEAD) return save_buff(xd, name, chunk.data(), uint32_t(n), extended);

    store_use(xd);
    name = prepare_item(name);
    const store_extents mem = store_extents::of_memory();
    place_request req = data_request(uint32_t(n), extended);
    uint64_t room;
    const store_place run = mem.largest_run(req, &room);
    const uint32_t file_end = qx_ar_mode && !(xd_flags(xd) & XD_DEVICE) ? xd_size(xd) : NO_SECTOR;
    sector_writer w(xd, run.start);
    uint64_t total = 0;
    for (; n; n = read_chunk()) {
        // The size field of an item is 32 bits wide.
        if (total + n > 0xFFFFFFFFu) quit("input too large");
        if (total + n > room) {
            // No run holds it: placement says why.
            req.size = uint32_t(total + n);
            mem.place(req);
            quit("not enough space");
        }
        w.put(chunk.data(), n);
        total += n;
    }
    w.finish();
    req.size = uint32_t(total);
    const store_place at = mem.place(req);
    if (at.start != run.start) {
        // A lower run, which never overlaps the one streamed into.
        sector_writer to(xd, at.start);
        read_back(xd, run.start, total, to);
        to.finish();
        // An archive file streamed into past its end gets its length back.
        if (file_end != NO_SECTOR && run.start >= std::max(file_end, qx_ar_size)) {
            seek_disk(xd, run.start);
            if (xd_truncate(xd)) quit("xd_write fails at offset %u, size %d", run.start, 0);
        }
    }
    return insert_item(name, at, uint32_t(total), extended, now());
}

uint8_t *save_file(xd_t *xd, const char *name, const char *path, bool extended) {
    if (!path) return save_stdin(xd, name, extended);
    FILE *f = fopen(path, "rb");
    if (!f) quit("can't open file %s", path);
    host_buffering(f);
    struct stat st;
    if (fstat(fileno(f), &st) != 0) {
        fclose(f);
        quit("can't get file stat");
    }
    if (S_ISDIR(st.st_mode)) {
        fclose(f);
        quit("can't open file %s", path);
    }
    // The target's own bytes would change under the read.
    if (xd_is_file(xd, f)) {
        fclose(f);
        quit("can't read file %s: it is the target", path);
    }
    if (st.st_size == 0) {
        fclose(f);
        quit("empty file %s", path);
    }
    // The size field is 32 bits wide: such a file cannot be stored whole.
    if (uint64_t(st.st_size) > 0xFFFFFFFFu) {
        fclose(f);
        quit("file %s too large", path);
    }
    uint8_t *it;
    try {
        uint32_t start;
        it = alloc_file(name, &start, uint32_t(st.st_size), extended, uint32_t(st.st_mtime));
        save_file_data(xd, it, f, 1);
    } catch (...) {
        fclose(f);
        throw;
    }
    fclose(f);
    return it;
}

void create_dir(const char *path) {
    std::string p = path;
    size_t from = p[0] == '/' ? 1 : 0;
    for (size_t k = from; k < p.size(); k++) {
        if (p[k] != '/' && p[k] != '\\') continue;
        std::error_code ec;
        std::filesystem::create_directory(p.substr(0, k), ec);
    }
}

void load_file(xd_t *xd, const char *name, const char *path) {
    const uint8_t *it = find_file(name);
    if (!it) quit("file %s not found", name);
    if (!path) {
        load_file_data(xd, it, stdout, 0);
        flush_stdout();
        return;
    }
    create_dir(path);
    // Opened without cutting it first: a file that is the target itself
    // (under any name) or that another run holds is refused as it is.
    FILE *f = fopen(path, "r+b");
    if (!f) f = fopen(path, "wb");
    if (!f) quit("can't write to file %s", path);
    host_buffering(f);
    try {
        if (xd_is_file(xd, f)) quit("can't write to file %s: it is the target", path);
        if (xd_file_claim(f, 1)) quit("%s is in use by another run", path);
        struct stat st;
        if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && xd_file_truncate(f, 0)) quit("file write fails");
        load_file_data(xd, it, f, 1);
    } catch (...) {
        fclose(f);
        throw;
    }
    int bad = xd_file_sync(f);
    if (fclose(f) != 0 || bad) quit("file write fails");
}

}  // namespace

void host_buffering(FILE *f) {
    // Data moves in runs of up to 32 KiB, read or written in one request
    // each, so the stream needs no buffer of its own.
    setvbuf(f, nullptr, _IONBF, 0);
}

void save_file_data(xd_t *xd, uint8_t *it, FILE *in, int progress) {
    const uint32_t start = item_start(it);
    uint32_t remaining = item_size(it);
    const bool primary = start < qx_pri_size;
    const uint32_t unit = primary ? 510 : 512;
    if (progress > 0) dot_init(remaining);
    seek_disk(xd, start);
    uint32_t sector = start;
    while (remaining) {
        uint32_t run = remaining < GLOBAL_SECTORS * unit ? remaining : GLOBAL_SECTORS * unit;
        uint32_t k = (run + unit - 1) / unit;
        if (primary) {
            // One read of the whole run, then spread into marked sectors in place.
            if (fread(global_buffer, 1, run, in) != run) quit("file read fails");
            add_mark(global_buffer, k, sector, run);
        } else {
            if (fread(global_buffer, 1, run, in) != run) quit("file read fails");
            memset(global_buffer + run, 0, k * SECTOR - run);
        }
        write_disk(xd, global_buffer, k);
        if (progress) dot_print(run);
        sector += k;
        remaining -= run;
    }
    if (progress > 0) dot_fini();
}

void load_file_data(xd_t *xd, const uint8_t *it, FILE *out, int progress) {
    const uint32_t start = item_start(it);
    uint32_t remaining = item_size(it);
    const bool primary = start < qx_pri_size;
    const uint32_t unit = primary ? 510 : 512;
    if (progress > 0) dot_init(remaining);
    seek_disk(xd, start);
    // Plain sectors move in runs of 1 MiB, a few requests per file; marked
    // ones go through the global buffer to lose their marks.
    static std::vector<uint8_t> plain;
    if (!primary && plain.empty()) plain.resize(PLAIN_RUN * SECTOR);
    uint8_t *const buf = primary ? global_buffer : plain.data();
    const uint32_t most = (primary ? GLOBAL_SECTORS : PLAIN_RUN) * unit;
    while (remaining) {
        uint32_t run = remaining < most ? remaining : most;
        uint32_t k = (run + unit - 1) / unit;
        read_disk(xd, buf, k);
        if (primary) remove_mark(buf, k);
        if (fwrite(buf, 1, run, out) != run) quit("file write fails");
        if (progress) dot_print(run);
        remaining -= run;
    }
    if (progress > 0) dot_fini();
}

uint8_t *save_buff(xd_t *xd, const char *name, const uint8_t *buf, uint32_t size, bool extended) {
    store_use(xd);
    uint32_t start;
    uint8_t *it = alloc_file(name, &start, size, extended, now());
    const bool primary = start < qx_pri_size;
    const uint32_t unit = primary ? 510 : 512;
    seek_disk(xd, start);
    uint32_t done = 0, sector = start;
    if (!primary) {
        // Whole plain sectors go straight from the caller's buffer.
        while (size - done >= SECTOR) {
            uint32_t k = (size - done) / SECTOR;
            if (k > PLAIN_RUN) k = PLAIN_RUN;
            write_disk(xd, buf + done, k);
            done += k * SECTOR;
            sector += k;
        }
    }
    while (done < size) {
        uint32_t run = size - done < GLOBAL_SECTORS * unit ? size - done : GLOBAL_SECTORS * unit;
        uint32_t k = (run + unit - 1) / unit;
        memset(global_buffer, 0, size_t(k) * SECTOR);
        if (primary) {
            for (uint32_t s = 0; s < k; s++) {
                uint32_t n = s + 1 < k ? 510 : run - s * 510;
                memcpy(global_buffer + s * SECTOR, buf + done + s * 510, n);
            }
            mark_run(sector, k);
        } else {
            memcpy(global_buffer, buf + done, run);
        }
        write_disk(xd, global_buffer, k);
        done += run;
        sector += k;
    }
    return it;
}

uint32_t load_buff(xd_t *xd, const char *name, uint8_t *buf) {
    const uint8_t *it = find_file(name);
    if (!it) quit("file %s not found", name);
    uint32_t size = item_size(it);
    if (size > LOAD_BUFF_MAX) quit("file %s too large", name);
    uint32_t start = item_start(it);
    uint32_t k = item_sectors(start, size);
    seek_disk(xd, start);
    if (start < qx_pri_size) {
        // Each sector lands 510 bytes after the previous one, so its data
        // covers the previous sector's mark.
        for (uint32_t s = 0; s < k; s++) read_disk(xd, buf + size_t(s) * 510, 1);
    } else if (k) {
        read_disk(xd, buf, k);
    }
    buf[size] = 0;
    return size;
}

void add_file(xd_t *xd, int argc, char **argv) {
    bool extended = false, syslinux = false;
    const int i = read_options("add", argc, argv,
                               {
                                   flag("--extended", "-e", extended),
                                   action("--syslinux", "-s", [&] { extended = syslinux = true; }),
                               });
    if (argc - i < 1) quit("not enough parameters");
    store_begin(xd);
    uint8_t *it = save_file(xd, argv[i], argc - i > 1 ? argv[i + 1] : nullptr, extended);
    if (syslinux) syslinux_patch(xd, it);
}

void resize_file(xd_t *xd, int argc, char **argv) {
    bool extended = false;
    uint8_t fill = 0;
    const int i = read_options("resize", argc, argv,
                               {
                                   flag("--extended", "-e", extended),
                                   with_value("--fill", "-f",
                                              [&](const char *v) {
                                                  fill = strlen(v) == 1 ? uint8_t(v[0]) : uint8_t(get_number(v));
                                              }),
                               });
    if (argc - i < 2) quit("not enough parameters");
    const char *name = argv[i];
    uint32_t size = get_number(argv[i + 1]);
    if (!size) quit("invalid size");
    store_begin(xd);
    uint8_t *it = find_file(name);
    if (it && (it[item::FLAGS] & item::F_SYSLINUX)) {
        // A loader holds its own place and size, patched into its first
        // sectors, which the stored list names: its new form is written
        // where that list names nothing and patched there, so the old loader
        // stays whole until the new list names the new one.
        if (item_size(it) == size) return;
        const uint32_t old_start = item_start(it), old_size = item_size(it);
        const uint32_t time = old_size > size ? get32(it + item::TIME) : now();
        const uint8_t flags = it[item::FLAGS];
        del_file(name);
        it = cpy_file(xd, name, size, old_start, std::min(old_size, size), old_start >= qx_pri_size, fill, time,
                      false);
        it[item::FLAGS] = flags;
        syslinux_patch(xd, it);
        return;
    }
    if (it && item_size(it) >= size) {
        put32(it + item::SIZE, size);
        return;
    }
    if (it) {
        uint32_t old_start = item_start(it), old_size = item_size(it);
        del_file(name);
        cpy_file(xd, name, size, old_start, old_size, old_start >= qx_pri_size, fill, now());
        return;
    }
    cpy_file(xd, name, size, 0, 0, extended, fill, now());
}

void copy_file(xd_t *xd, int argc, char **argv) {
    if (argc < 2) quit("not enough parameters");
    store_begin(xd);
    del_file(argv[1]);
    const uint8_t *old = find_file(argv[0]);
    if (!old) quit("file %s not found", argv[0]);
    uint32_t start = item_start(old), size = item_size(old), time = get32(old + item::TIME);
    cpy_file(xd, argv[1], size, start, size, start >= qx_pri_size, 0, time);
}

void move_file(xd_t *xd, int argc, char **argv) {
    if (argc < 2) quit("not enough parameters");
    store_begin(xd);
    del_file(argv[1]);
    uint8_t *it = find_file(argv[0]);
    if (!it) quit("file %s not found", argv[0]);
    const char *name = get_name(argv[1]);
    int nlen = int(strlen(name));
    int new_size = nlen + 15, old_size = it[item::LEN] + 2;
    if (new_size > 255 || qx_list_tail + new_size - old_size >= list_room()) quit("file item too long");
    int ofs = int(it - qx_list);
    if (new_size != old_size) {
        memmove(it + new_size, it + old_size, size_t(qx_list_tail - ofs - old_size));
        qx_list_tail += new_size - old_size;
        qx_list[qx_list_tail] = 0;
        it[item::LEN] = uint8_t(new_size - 2);
    }
    memcpy(it + item::NAME, name, size_t(nlen) + 1);
}

void export_file(xd_t *xd, int argc, char **argv) {
    if (argc < 1) quit("not enough parameters");
    load_file(xd, argv[0], argc > 1 ? argv[1] : nullptr);
}

void remove_file(xd_t *, int argc, char **argv) {
    if (argc < 1) quit("not enough parameters");
    if (!del_file(argv[0])) quit("file %s not found", argv[0]);
}

void cat_file(xd_t *xd, int argc, char **argv) {
    if (argc < 1) quit("not enough parameters");
    static uint8_t buf[LOAD_BUFF_ROOM];
    uint32_t size = load_buff(xd, argv[0], buf);
    buf[size] = 0;
    printf("%s\n", reinterpret_cast<const char *>(buf));
    flush_stdout();
}
