// The menu compiler ("add-menu") on arbitrary menu lines. The first input
// byte picks the mode: bit 0 appends to an existing menu, bit 1 passes the
// lines as words (--string), else they come from a source file; bit 2
// makes the rest of the input the existing menu file instead, and appends
// one line to it. Whatever add-menu stores must read back with cat-menu.
#include "harness.h"

#include <cstdio>
#include <cstdlib>

namespace {

// The compiled menu of the carried archive: default 0, timeout 1, color
// yellow, a text line and a menu item.
const fz::bytes example = {
    0x01, 0x04, 0x00, 0x01, 0x03, 0x01, 0x01, 0x05, 0x0E, 0x1A, 0x02, 'B', 'o', 'o', 't', 'i', 'n',
    'g', ' ', 'F', 'r', 'o', 'm', ' ', 'U', 'S', 'B', ' ', 'D', 'e', 'v', 'i', 'c', 'e', 0x0D,
    0x0A, 0x00, 0x09, 0x01, 0x00, 0x3B, 0x02, 'g', 'r', 'l', 'd', 'r', 0x00, 0x00};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static const std::string ar = fz::path("menu.qxa");
    static const std::string src = fz::path("menu.txt");
    const uint8_t mode = data[0];
    data++;
    size--;
    std::vector<std::string> words{ar, "add-menu"};
    // Whether the menu before the run reads back (always, but for a menu
    // from the input).
    bool valid_before = true;
    if (mode & 4) {
        fz::put_file(ar, fz::archive({{"m", fz::bytes(data, data + size)}}, 3));
        valid_before = fz::run({ar, "cat-menu", "m"}).status == 0;
        words.insert(words.end(), {"--append", "--string", "m", "text appended"});
    } else if (mode & 2) {
        fz::put_file(ar, fz::archive({{"m", example}}, 3));
        if (mode & 1) words.push_back("--append");
        words.push_back("--string");
        words.push_back("m");
        // One word per line; a word can hold no zero byte.
        std::string w;
        for (size_t i = 0; i <= size; i++) {
            if (i == size || data[i] == '\n') {
                // A line is never a file name, but a word that looks like
                // a device never reaches the command line.
                if (fz::device_word(w)) w[0] = '_';
                words.push_back(w);
                w.clear();
            } else if (data[i]) {
                w += char(data[i]);
            }
        }
        if (words.size() > 4000) return 0;
    } else {
        fz::put_file(ar, fz::archive({{"m", example}}, 3));
        if (mode & 1) words.push_back("--append");
        fz::put_file(src, data, size);
        words.push_back("m");
        words.push_back(src);
    }
    fz::result r = fz::run(words);
    if (r.status == 0 && valid_before) {
        fz::result c = fz::run({ar, "cat-menu", "m"});
        if (c.status != 0 && !fz::not_built(c)) {
            fprintf(stderr, "add-menu stored a menu that cat-menu refuses: %s", c.err.c_str());
            abort();
        }
    }
    return 0;
}
