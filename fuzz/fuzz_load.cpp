// Archive opening and "load" (get_ar_header and the item loop) from
// arbitrary archive bytes onto a small QX disk. A load that succeeds must
// leave a disk that "info" reads, and must not have touched anything but
// the file list, list_used and the data areas.
#include "harness.h"

#include "common.h"
#include "layout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const fz::geometry g;
    static const fz::bytes disk = fz::small_disk(g);
    static const std::string img = fz::path("disk.img");
    static const std::string ar = fz::path("in.qxa");
    fz::put_file(img, disk);
    fz::put_file(ar, data, size);
    fz::result r = fz::run({img, "load", ar});

    fz::bytes after = fz::get_file(img);
    if (after.size() != disk.size()) {
        fprintf(stderr, "load changed the disk's length from %zu to %zu\n", disk.size(), after.size());
        abort();
    }
    // Boot record, copies, header (but its list_used) and boot code.
    const size_t hdr_ofs = size_t(g.base + 1) * 512;
    const size_t boot_end = size_t(g.base + 5) * 512;
    for (size_t i = 0; i < boot_end; i++)
        if (after[i] != disk[i] && !(i >= hdr_ofs + hdr::LIST_USED && i < hdr_ofs + hdr::LIST_USED + 2)) {
            fprintf(stderr, "load changed byte %zu of the boot area\n", i);
            abort();
        }
    const size_t part = size_t(g.pri + g.ext) * 512;
    if (memcmp(&after[part], &disk[part], disk.size() - part) != 0) {
        fprintf(stderr, "load wrote into the data partition\n");
        abort();
    }
    fz::result i;
    if (r.status == 0 && (i = fz::run({img, "info"})).status != 0 && !fz::not_built(i)) {
        fprintf(stderr, "the disk after a load does not read back\n");
        abort();
    }
    return 0;
}
