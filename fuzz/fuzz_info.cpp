// "info" on arbitrary disk images and archives (the input from sector 0 on,
// made 4 MiB long with zeros).
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string img = fz::path("disk.img");
    fz::put_file(img, data, size, 8192);
    fz::run({img, "info"});
    return 0;
}
