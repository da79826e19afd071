// The option reader every command shares.
#include "common.h"
#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct parsed {
    bool a = false;
    uint32_t n = 0, s = 0;
    const char *t = nullptr;
    std::string order;  // the actions in the order they ran
    int first = -1;
};

parsed parse(std::vector<std::string> words) {
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    parsed p;
    p.first = read_options("cmd", int(argv.size()), argv.data(),
                           {
                               flag("--all", "-a", p.a),
                               number("--num", "-n", p.n),
                               sectors("--size", nullptr, p.s),
                               text("--text", "-t", p.t),
                               action("--x", nullptr, [&] { p.order += "x"; }),
                               action("--y", nullptr, [&] { p.order += "y"; }),
                           });
    if (p.t) p.order += std::string("t=") + p.t;  // words die with the vector
    p.t = nullptr;
    return p;
}

TEST(Options, ReadsTableInOrder) {
    struct Case {
        std::vector<std::string> words;
        bool a;
        uint32_t n, s;
        std::string order;
        int first;
    } cases[] = {
        {{}, false, 0, 0, "", 0},
        {{"name", "-a"}, false, 0, 0, "", 0},                       // the first other word ends the options
        {{"-a", "name", "--x"}, true, 0, 0, "", 1},
        {{"--num", "0x10", "-n", "010", "f"}, false, 8, 0, "", 4},  // the later one wins
        {{"--size", "4k", "-t", "-a"}, false, 0, 8, "t=-a", 4},     // a value may begin with '-'
        {{"--y", "--x", "--y"}, false, 0, 0, "yxy", 3},
        {{"-n", "7junk"}, false, 7, 0, "", 2},                      // what follows a number is ignored
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        parsed p = parse(c.words);
        EXPECT_EQ(p.a, c.a);
        EXPECT_EQ(p.n, c.n);
        EXPECT_EQ(p.s, c.s);
        EXPECT_EQ(p.order, c.order);
        EXPECT_EQ(p.first, c.first);
    }
}

TEST(Options, Refusals) {
    struct Case {
        std::vector<std::string> words;
        std::string msg;
    } cases[] = {
        {{"--al"}, "invalid option --al for cmd"},       // matched whole
        {{"--ALL"}, "invalid option --ALL for cmd"},     // and case-sensitive
        {{"-"}, "invalid option - for cmd"},
        {{"--x", "-q", "--bogus"}, "invalid option -q for cmd"},
        {{"-a", "--num"}, "no parameter for --num"},
        {{"-t"}, "no parameter for -t"},
        {{"--size", "3q"}, "invalid subfix q"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        try {
            parse(c.words);
            ADD_FAILURE() << "accepted";
        } catch (const Fatal &e) {
            EXPECT_EQ(e.what(), c.msg);
        }
    }
}

}  // namespace
