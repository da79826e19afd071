// The options of a command: the words that begin with "-" before the first
// word that does not. Each command lists what it accepts in one table;
// every option is matched whole and case-sensitive against its long and
// short form, and acts at once, in the order given, so a later occurrence
// overrides an earlier one.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>

struct cmd_option {
    const char *name;   // long form
    const char *alias;  // one-letter form, or nullptr
    // Exactly one of these is set: set for an option without a value, take
    // for one that consumes the next word.
    std::function<void()> set;
    std::function<void(const char *value)> take;
};

// Table entries for the common kinds of option.
cmd_option flag(const char *name, const char *alias, bool &target);          // sets target
cmd_option number(const char *name, const char *alias, uint32_t &target);    // plain unsigned number
cmd_option sectors(const char *name, const char *alias, uint32_t &target);   // size with k/m/g unit, in sectors
cmd_option text(const char *name, const char *alias, const char *&target);   // the word itself
cmd_option action(const char *name, const char *alias, std::function<void()> set);
cmd_option with_value(const char *name, const char *alias, std::function<void(const char *)> take);

// The boot record's max_sectors count as format and sync take it: 0 to
// 127, compared as a signed number; 0 keeps the present count.
uint32_t get_max_sectors(const char *text);

// Reads the options of the named command from the words and returns the
// index of the first word that is not an option. An unknown option stops
// with "invalid option %s for <command>", an option whose value is missing
// with "no parameter for %s".
int read_options(const char *command, int argc, char **argv, std::initializer_list<cmd_option> table);
