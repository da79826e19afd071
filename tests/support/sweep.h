// Support for the format sweeps: thousands of layouts planned on one image
// whose size changes, nothing written, each plan or refusal checked.
#pragma once

#include "fixture.h"
#include "format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The image the sweep resizes: in memory (/dev/shm) where there is one,
// since resizing a file on disk costs a metadata write each time. stem
// names the file there.
struct sweep_target {
    TempDir t;
    std::string img;
    explicit sweep_target(const std::string &stem);
    ~sweep_target();
    sweep_target(const sweep_target &) = delete;
    sweep_target &operator=(const sweep_target &) = delete;
};

// Resizes img to d sectors and plans format with words (the command word
// first, as typed); returns the refusal message, or "" with the plan set.
std::string plan_one(const std::string &img, uint64_t d, const std::vector<std::string> &words, format_plan *plan);

// Sizes on both sides of each bound: from reach sectors below to reach
// above in steps of step, and every size within 3 sectors of the bound.
std::vector<uint64_t> sizes_around(const std::vector<uint64_t> &bounds, int64_t reach, int64_t step);

// Adds an option set to sets: the words typed and what they ask for.
template <class Options, class Tweak>
void add_option_set(std::vector<Options> &sets, std::vector<std::string> words, Tweak tweak) {
    Options o;
    o.words = std::move(words);
    tweak(o);
    sets.push_back(o);
}

// Where an option set puts the data partition: after the primary and
// extended areas, rounded up to the alignment; in the raw layout at the
// base sector.
template <class Options>
uint64_t expected_start(const Options &o) {
    return o.raw ? o.base : (uint64_t(o.primary) + o.extended + o.nalign - 1) / o.nalign * o.nalign;
}

struct sweep_counts {
    size_t planned = 0, refused = 0;
};

// Plans every option set on every size z > 0 whose disk, disk_of(o, z)
// sectors, is at most max_disk. A refusal must pass refusal_ok(o, d, msg);
// a plan must give no problems from check(o, d, plan). Twenty faults are
// enough to see one: the sweep stops there.
template <class Options, class DiskOf, class RefusalOk, class Check>
void sweep_plans(const std::string &stem, const std::vector<Options> &sets, const std::vector<uint64_t> &zs,
                 uint64_t max_disk, DiskOf disk_of, RefusalOk refusal_ok, Check check, sweep_counts *n) {
    sweep_target tgt(stem);
    int failures = 0;
    for (const Options &o : sets) {
        for (uint64_t z : zs) {
            const uint64_t d = disk_of(o, z);
            if (z < 1 || d > max_disk) continue;
            auto plan = std::make_unique<format_plan>();
            const std::string msg = plan_one(tgt.img, d, o.words, plan.get());
            if (!msg.empty()) {
                ++n->refused;
                const bool allowed = refusal_ok(o, d, msg);
                EXPECT_TRUE(allowed) << testing::PrintToString(o.words) << " on " << d << " sectors: " << msg;
                if (!allowed && ++failures == 20) return;
                continue;
            }
            ++n->planned;
            const std::string bad = check(o, d, *plan);
            EXPECT_EQ(bad, "") << testing::PrintToString(o.words) << " on " << d << " sectors";
            if (!bad.empty() && ++failures == 20) return;
        }
    }
}
