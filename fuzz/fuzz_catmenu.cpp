// "cat-menu" on arbitrary menu files: the input is the content of the file
// item "m" of a small archive.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string ar = fz::path("menu.qxa");
    fz::put_file(ar, fz::archive({{"m", fz::bytes(data, data + size)}}));
    fz::run({ar, "cat-menu", "m"});
    return 0;
}
