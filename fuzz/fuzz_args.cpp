// Size and number arguments: get_sector_size and get_number on every word,
// and the commands that take numbers run with arbitrary words. The first
// input byte picks the command and the global options; the rest is the
// words, one per line. Words are made safe (fz::safe_word): any file they
// name lies in the scratch directory, which is the working directory here.
#include "harness.h"

#include "common.h"

#include <cstdlib>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (chdir(fz::scratch().c_str()) != 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static const char *const commands[] = {"create", "resize", "save", "format", "sync", "copy", "add-menu", "export"};
    const uint8_t sel = data[0];
    const char *cmd = commands[sel % 8];
    std::vector<std::string> words;
    for (size_t i = 1, b = 1; i <= size; i++)
        if (i == size || data[i] == '\n') {
            words.push_back(fz::safe_word(data + b, i - b));
            b = i + 1;
        }
    if (words.size() > 64) return 0;

    for (const std::string &w : words) {
        try {
            get_sector_size(w.c_str());
        } catch (const Fatal &) {
        }
        try {
            get_number(w.c_str());
        } catch (const Fatal &) {
        }
    }

    // format and sync work on a QX disk, the others on an archive with
    // one item "a" in it.
    static const fz::geometry g;
    static const fz::bytes disk = fz::small_disk(g);
    static const fz::bytes ar = fz::archive({{"a", fz::bytes(700, 'x')}}, 2);
    const bool on_disk = (sel % 8) == 3 || (sel % 8) == 4;
    const std::string target = fz::path(on_disk ? "disk.img" : "target.qxa");
    fz::put_file(target, on_disk ? disk : ar);

    std::vector<std::string> argv;
    if (sel & 0x40) argv.push_back("-d");
    if (sel & 0x80) argv.push_back("-v");
    argv.push_back(target);
    argv.push_back(cmd);
    argv.insert(argv.end(), words.begin(), words.end());
    fz::run(argv);
    return 0;
}
