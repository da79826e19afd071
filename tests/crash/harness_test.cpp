// The crash checks themselves: states made by hand that a power cut could
// leave with a careless write order must be told apart from the old and
// the new store, and the recording must rebuild the command's result.
#include "common.h"
#include "fixture.h"
#include "layout.h"
#include "replay.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr uint32_t LIST = 63 + 1 + 4;  // first list sector of the fixture
constexpr uint32_t PRI = LIST + 4 + 300, EXT = 120;

std::string name_of(int i) { return "boot/images/loader-" + std::to_string(100 + i) + ".bin"; }

// A store of 18 items whose list takes two sectors, with a data partition
// of known bytes; in is a scratch file.
bool make_store(const std::string &img, const std::string &in) {
    QxGeometry g;
    g.list = 4;
    g.pri = PRI;
    g.ext = EXT;
    g.total = PRI + EXT + 64;
    build_qx_image(img, g);
    write_sectors(img, PRI + EXT, pattern_bytes(64 * 512, 99));
    for (int i = 0; i < 18; i++) {
        write_file(in, pattern_bytes(400 + 170 * size_t(i), uint32_t(i)));
        if (run_tool({img, "add", name_of(i), in}).status) return false;
    }
    return true;
}

}  // namespace

TEST(CrashHarness, HandMadeStatesAreJudged) {
    ScratchDir dir;
    std::string img = dir.path("old.img"), next = dir.path("new.img"), in = dir.path("in");
    ASSERT_TRUE(make_store(img, in));
    // The new store: the fourth item replaced, so both list sectors change.
    write_file(next, read_file(img));
    write_file(in, pattern_bytes(2000, 77));
    Recording rec;
    std::string err;
    ASSERT_EQ(record_command(next, {"add", name_of(3), in}, next, &rec, &err), 0) << err;
    EXPECT_EQ(rec.before, read_file(img));
    EXPECT_EQ(rec.after, read_file(next));
    ASSERT_GE(rec.epochs.size(), 1u);
    EXPECT_GE(rec.writes, 2u) << "data and list";

    Store o, n;
    ASSERT_EQ(read_store(img, &o, dir.path("x")), "");
    ASSERT_EQ(read_store(next, &n, dir.path("x")), "");
    ASSERT_EQ(o.items.size(), 18u);
    const std::vector<uint8_t> before = read_file(img), after = read_file(next);
    uint32_t first = o.items[0].start;

    // The commit's own record as recorded: the descriptor on D, the first
    // sector of the payload it names, and the state once it is on the medium.
    const uint32_t D = LIST + 3;
    std::vector<uint8_t> with_record = before, desc;
    for (const Epoch &e : rec.epochs) {
        if (!desc.empty()) break;
        for (const SectorOp &op : e.ops) {
            if (op.truncate) continue;
            std::copy(op.data.begin(), op.data.end(), with_record.begin() + size_t(op.sector) * 512);
            if (op.sector == D && !memcmp(op.data.data(), "QXCOMMIT", 8)) desc = op.data;
        }
    }
    ASSERT_FALSE(desc.empty()) << "no commit record written";
    const uint32_t payload = get32(&desc[16]);

    struct Case {
        const char *what;
        std::function<void(std::vector<uint8_t> &)> make;
        bool tool_ok, boot_ok;
    };
    auto copy_sector = [&](std::vector<uint8_t> &s, uint32_t sector) {
        std::copy(after.begin() + sector * 512, after.begin() + (sector + 1) * 512, s.begin() + sector * 512);
    };
    const Case cases[] = {
        {"the old store", [](std::vector<uint8_t> &) {}, true, true},
        {"the new store", [&](std::vector<uint8_t> &s) { s = after; }, true, true},
        {"new first list sector, old second", [&](std::vector<uint8_t> &s) { copy_sector(s, LIST); }, false, false},
        {"old first list sector, new second", [&](std::vector<uint8_t> &s) { copy_sector(s, LIST + 1); }, false, false},
        {"old list, first item's data overwritten",
         [&](std::vector<uint8_t> &s) { s[size_t(first) * 512 + 5] ^= 0x5A; }, false, false},
        {"list_used past the list sectors",
         [&](std::vector<uint8_t> &s) { put16(&s[size_t(64) * 512 + hdr::LIST_USED], 5); }, true, false},
        {"list_used cutting the list short",
         [&](std::vector<uint8_t> &s) { put16(&s[size_t(64) * 512 + hdr::LIST_USED], 1); }, true, false},
        {"a whole record on D, the list in place torn",
         [&](std::vector<uint8_t> &s) {
             s = with_record;
             copy_sector(s, LIST);
         },
         true, true},
        {"a record naming another list, the list in place torn",
         [&](std::vector<uint8_t> &s) {
             s = with_record;
             put32(&s[size_t(D) * 512 + 8], LIST + 1);
             copy_sector(s, LIST);
         },
         false, false},
        {"a record whose payload is not whole",
         [&](std::vector<uint8_t> &s) {
             s = with_record;
             std::copy(before.begin() + payload * 512, before.begin() + (payload + 1) * 512, s.begin() + payload * 512);
         },
         true, false},
        {"a byte of the data partition", [&](std::vector<uint8_t> &s) { s[size_t(PRI + EXT + 3) * 512] ^= 1; }, false,
         true},
    };
    ReplayOptions opt;
    std::string state = dir.path("state.img");
    for (const Case &c : cases) {
        std::vector<uint8_t> s = before;
        c.make(s);
        write_file(state, s);
        std::string boot;
        std::string bad = check_state(state, before, o, n, opt, dir.path("x"), &boot);
        EXPECT_EQ(bad.empty(), c.tool_ok) << c.what << ": " << bad;
        EXPECT_EQ(boot.empty(), c.boot_ok) << c.what << ": " << boot;
    }
}

TEST(CrashHarness, FlushesTakenOutOfARecordingShowBrokenStates) {
    // The same recording with every flush dropped, so that all its writes
    // may land in any order: a list rewritten over two sectors without an
    // ordering point must show states the tool cannot read as old or new.
    ScratchDir dir;
    std::string img = dir.path("d.img"), work = dir.path("w.img"), in = dir.path("in");
    ASSERT_TRUE(make_store(img, in));
    write_file(work, read_file(img));
    Recording rec;
    std::string err;
    ASSERT_EQ(record_command(work, {"remove", name_of(2)}, work, &rec, &err), 0) << err;
    Store o, n;
    ASSERT_EQ(read_store(img, &o, dir.path("x")), "");
    ASSERT_EQ(read_store(work, &n, dir.path("x")), "");

    ReplayResult kept = replay_recording("remove, as recorded", rec, o, n);
    EXPECT_EQ(kept.broken, 0u) << (kept.samples.empty() ? "" : kept.samples[0]);
    Recording flat = rec;
    flat.epochs.assign(1, Epoch());
    for (const Epoch &e : rec.epochs)
        flat.epochs[0].ops.insert(flat.epochs[0].ops.end(), e.ops.begin(), e.ops.end());
    ReplayResult dropped = replay_recording("remove, flushes dropped", flat, o, n);
    EXPECT_GT(dropped.broken, 0u) << "no state of " << dropped.states << " was found broken";
}
