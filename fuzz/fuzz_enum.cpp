// xd_enum on arbitrary partition tables and chains of extended boot
// records, loops included. The input places sectors anywhere on a sparse
// disk (see fz::put_chunks).
#include "harness.h"

#include "xdio.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Every walk must end: partition numbers are bytes and rise with each find.
void walk(xd_t *xd) {
    xd_enum_state st;
    int last = -1;
    for (int calls = 0;; calls++) {
        if (calls > 260) {
            fprintf(stderr, "partition walk does not end\n");
            abort();
        }
        if (xd_enum(xd, &st)) break;
        if (int(st.index) <= last || st.index == 255) {
            fprintf(stderr, "partition %d found after %d\n", st.index, last);
            abort();
        }
        last = st.index;
    }
}

void find(xd_t *xd, uint8_t wanted) {
    xd_enum_state st;
    st.wanted = wanted;
    if (xd_enum(xd, &st) == 0 && st.index != wanted) {
        fprintf(stderr, "asked for partition %d, got %d\n", wanted, st.index);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string img = fz::path("parts.img");
    fz::put_chunks(img, data, size);
    xd_t *xd = xd_open(img.c_str(), 0);
    if (!xd) abort();
    walk(xd);
    static const uint8_t wanted[] = {0, 1, 2, 3, 4, 5, 6, 9, 29, 253, 254};
    for (uint8_t w : wanted) find(xd, w);
    xd_close(xd);
    return 0;
}
