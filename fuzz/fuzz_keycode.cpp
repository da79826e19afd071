// Key names and colour names: get_keycode on arbitrary text and the way
// back through get_keyname; get_color_value and get_color_name likewise.
#include "harness.h"

#include "common.h"
#include "keytab.h"
#include "menu.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(strlen(text.c_str()));
    std::string work = text;
    uint16_t code = get_keycode(&work[0]);
    // The name of any code is a key name that gives the code back.
    uint16_t probe = size >= 2 ? get16(data) : code;
    for (uint16_t c : {code, probe}) {
        if (c == 0 || c == 0xFFFF) continue;
        std::string name = get_keyname(c);
        if (get_keycode(&name[0]) != c) {
            fprintf(stderr, "code 0x%x is named %s, which gives 0x%x\n", c, name.c_str(),
                    get_keycode(&name[0]));
            abort();
        }
    }
    // Colour names: any text is refused or gives an attribute; the name of
    // every attribute gives the attribute back.
    try {
        get_color_value(text.c_str());
    } catch (const Fatal &) {
    }
    if (size) {
        std::string name = get_color_name(data[0]);
        if (get_color_value(name.c_str()) != data[0]) abort();
    }
    return 0;
}
