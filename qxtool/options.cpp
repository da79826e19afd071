// The one way every command reads its options.
#include "options.h"

#include "common.h"

#include <cstring>

cmd_option flag(const char *name, const char *alias, bool &target) {
    return {name, alias, [&target] { target = true; }, nullptr};
}

cmd_option number(const char *name, const char *alias, uint32_t &target) {
    return {name, alias, nullptr, [&target](const char *v) { target = get_number(v); }};
}

cmd_option sectors(const char *name, const char *alias, uint32_t &target) {
    return {name, alias, nullptr, [&target](const char *v) { target = get_sector_size(v); }};
}

cmd_option text(const char *name, const char *alias, const char *&target) {
    return {name, alias, nullptr, [&target](const char *v) { target = v; }};
}

cmd_option action(const char *name, const char *alias, std::function<void()> set) {
    return {name, alias, std::move(set), nullptr};
}

cmd_option with_value(const char *name, const char *alias, std::function<void(const char *)> take) {
    return {name, alias, nullptr, std::move(take)};
}

uint32_t get_max_sectors(const char *text) {
    const uint32_t v = get_number(text);
    if (int32_t(v) < 0 || int32_t(v) > 127) quit("invalid max sectors value");
    return v;
}

int read_options(const char *command, int argc, char **argv, std::initializer_list<cmd_option> table) {
    int i = 0;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *word = argv[i];
        const cmd_option *opt = nullptr;
        for (const cmd_option &o : table)
            if (!strcmp(word, o.name) || (o.alias && !strcmp(word, o.alias))) {
                opt = &o;
                break;
            }
        if (!opt) quit("invalid option %s for %s", word, command);
        if (opt->take) {
            if (i + 1 >= argc) quit("no parameter for %s", word);
            opt->take(argv[++i]);
        } else {
            opt->set();
        }
    }
    return i;
}
