// The syslinux boot file patch on arbitrary file bytes: the patch of an
// image in memory (exactly the bytes of the file's sectors, so that any
// access past them is caught), and "add --syslinux" of the same bytes onto
// a small QX disk.
#include "harness.h"

#include "common.h"
#include "syslinux.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The in-memory patch takes the sizes that the stored-file patch lets
// through: 3 to 64 sectors. The buffer holds exactly those sectors.
void patch_in_memory(const uint8_t *data, size_t size, uint32_t second) {
    if (size <= 1024 || size > 32768) return;
    size_t k = (size + 511) / 512;
    uint8_t *buf = static_cast<uint8_t *>(malloc(k ? k * 512 : 1));
    memset(buf, 0, k * 512);
    memcpy(buf, data, size);
    try {
        uint32_t n = syslinux_patch_image(buf, uint32_t(size), second);
        // Only the sectors it reports changed, and at most three; in a file
        // long enough to cover every field, the words that the checksum
        // covers add up to the signature.
        if (n < 2 || n > 3 || (n * 512 < size && memcmp(buf + n * 512, data + n * 512, size - n * 512) != 0)) {
            fprintf(stderr, "the patch changed bytes past the %u sectors it reports\n", n);
            abort();
        }
        uint32_t d = uint32_t(size - 512) / 4, sum = 0;
        for (uint32_t i = 0; i < d; i++) sum += get32(buf + 512 + 4 * i);
        if (size >= 1536 && sum != 0x3EB202FEu) {
            fprintf(stderr, "checksum words add up to 0x%08x\n", sum);
            abort();
        }
    } catch (const Fatal &) {
    }
    free(buf);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const uint32_t second = get32(data);
    data += 4;
    size -= 4;
    patch_in_memory(data, size, second);

    static const fz::geometry g;
    static const fz::bytes disk = fz::small_disk(g);
    static const std::string img = fz::path("disk.img");
    static const std::string file = fz::path("ldlinux.bin");
    fz::put_file(img, disk);
    fz::put_file(file, data, size);
    fz::run({img, "add", "--syslinux", "ldlinux.bin", file});
    return 0;
}
