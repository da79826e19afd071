// The file commands on arbitrary disk images and archives: the first input
// byte picks the command, the rest is the target from sector 0 on (made
// 4 MiB long with zeros). A command that succeeds must leave a target whose
// header and list still read back ("info").
#include "harness.h"

#include <cstdio>
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
    fz::result r = fz::run(words);
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
