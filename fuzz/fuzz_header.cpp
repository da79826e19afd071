// open_store and the list walk on arbitrary disk images and archives:
// sector 0, the header, the list. The image is the input from sector 0 on,
// made 4 MiB long with zeros so that reads past the input still succeed.
#include "harness.h"

#include "common.h"
#include "filestore.h"
#include "layout.h"
#include "xdio.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string img = fz::path("disk.img");
    fz::put_file(img, data, size, 8192);
    for (int allow = 0; allow < 2; allow++) {
        reset_globals();
        xd_t *xd = xd_open(img.c_str(), 1);
        if (!xd) abort();
        try {
            open_store(xd, allow, true);
            // What every command relies on after a successful read: the
            // list lies in its buffer and ends with a zero byte there.
            if (qx_list_size <= 0 || qx_list_tail < 0 || qx_list_tail >= qx_list_size ||
                uint32_t(qx_list_size) != qx_list_sectors * 510 || qx_list[qx_list_tail] != 0)
                abort();
            if (qx_ar_mode && !allow) abort();
            get_ar_size();
            find_file("qx.cfg");
        } catch (const Fatal &) {
        }
        xd_close(xd);
    }
    return 0;
}
