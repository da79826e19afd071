// The file commands on arbitrary disk images and archives: the first input
// byte picks the command, the rest is the target from sector 0 on (made
// 4 MiB long with zeros). Whatever the list claims, no file command writes
// to the boot record, its copies, the header (but its list_used) or the
// boot code; and a command that succeeds leaves a target whose header and
// list still read back ("info").
#include "harness.h"

#include "common.h"
#include "layout.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static const std::string img = fz::path("disk.img");
    static const std::string out = fz::path("out.bin");
    static const std::string in = fz::path("in.bin");
    static const std::string ar = fz::path("out.qxa");
    static bool once = [] {
        fz::put_file(in, fz::bytes(700, 'x'));
        return true;
    }();
    (void)once;
    const std::vector<std::vector<std::string>> commands = {
        {"cat", "a.txt"},         {"export", "a.txt", out}, {"check"},
        {"pack"},                 {"remove", "a.txt"},      {"copy", "a.txt", "b"},
        {"move", "a.txt", "b"},   {"resize", "a.txt", "3000"}, {"clear"},
        {"save", ar},             {"cat-menu", "qx.cfg"},   {"add", "x", in},
        {"add", "-e", "x", in},   {"resize", "-e", "-f", "0x41", "big", "100"},
    };
    const std::vector<std::string> &cmd = commands[data[0] % commands.size()];
    fz::put_file(img, data + 1, size - 1, 8192);
    std::vector<std::string> words{img};
    words.insert(words.end(), cmd.begin(), cmd.end());
    const fz::bytes before(data + 1, data + size);
    fz::result r = fz::run(words);

    // The fixed sectors as the input lays them out: sector 0 and the copies
    // up to B, the header B+1 and the boot code up to B+N; in an archive the
    // header, sector 0.
    size_t fixed = 0, hdr_at = 0;
    if (before.size() >= 512 && !memcmp(&before[mbr::MAGIC], "QXBF", 4)) {
        const uint32_t b = get16(&before[mbr::BOOT_BASE]);
        hdr_at = size_t(b + 1) * 512;
        const uint32_t n = hdr_at + 2 <= before.size() ? get16(&before[hdr_at]) : 0;
        fixed = size_t(b + 1 + n) * 512;
        if (n == 0) fixed = hdr_at + 512;
    } else if (before.size() >= 4 && !memcmp(before.data(), "QXAR", 4)) {
        fixed = 512;
    }
    fixed = std::min<size_t>(fixed, 8192 * 512);
    if (fixed) {
        const fz::bytes after = fz::get_file(img, fixed);
        for (size_t i = 0; i < fixed; i++) {
            const uint8_t was = i < before.size() ? before[i] : 0, is = i < after.size() ? after[i] : 0;
            if (was != is && !(i >= hdr_at + hdr::LIST_USED && i < hdr_at + hdr::LIST_USED + 2)) {
                fprintf(stderr, "%s changed byte %zu of the boot area\n", cmd[0].c_str(), i);
                abort();
            }
        }
    }
    if (r.status == 0) {
        fz::result i = fz::run({img, "info"});
        if (i.status != 0) {
            fprintf(stderr, "after a successful %s the target does not read back: %s", cmd[0].c_str(),
                    i.err.c_str());
            abort();
        }
    }
    return 0;
}
