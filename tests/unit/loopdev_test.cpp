// The block-device path on a loop device that the test attaches itself.
// Skipped, visibly, where loop devices cannot be attached.
#include "common.h"
#include "fixture.h"
#include "layout.h"
#include "xdio.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A loop device over an image file of our own, detached at the end.
class LoopDevice {
public:
    explicit LoopDevice(const std::string &image) {
        RunResult r = run_shell("losetup -f --show '" + image + "'");
        if (r.status == 0 && r.out.size() > 1) dev_ = r.out.substr(0, r.out.find('\n'));
    }
    ~LoopDevice() {
        if (!dev_.empty()) run_shell("losetup -d '" + dev_ + "'");
    }
    const std::string &dev() const { return dev_; }

private:
    std::string dev_;
};

}  // namespace

TEST(LoopDevice, OpensAsADeviceAndLocks) {
    if (access("/dev/loop-control", W_OK) != 0) GTEST_SKIP() << "no usable /dev/loop-control";
    TempDir t;
    make_blank(t.path("disk.img"), 8192);
    LoopDevice loop(t.path("disk.img"));
    if (loop.dev().empty()) GTEST_SKIP() << "losetup could not attach a loop device";

    xd_t *xd = xd_open(loop.dev().c_str(), 1);
    ASSERT_NE(xd, nullptr);
    EXPECT_NE(xd_flags(xd) & XD_DEVICE, 0u);
    EXPECT_EQ(xd_size(xd), 8192u);
    std::vector<uint8_t> data = pattern_bytes(1024, 9);
    alignas(4096) static uint8_t buf[1024];
    memcpy(buf, data.data(), 1024);
    ASSERT_EQ(xd_seek(xd, 100), 0);
    ASSERT_EQ(xd_write(xd, buf, 2), 0);
    ASSERT_EQ(xd_sync(xd), 0);

    // Free disk: the lock is taken and released.
    EXPECT_EQ(xd_lock(xd), 0);
    xd_unlock();

    // Another holder with exclusive use: the lock is refused.
    int holder = open(loop.dev().c_str(), O_RDONLY | O_EXCL);
    ASSERT_GE(holder, 0);
    EXPECT_EQ(xd_lock(xd), 1);
    xd_unlock();
    uint8_t image[512] = {};
    std::string msg;
    try {
        sync_mbr(xd, image, 3, 0, 1);
    } catch (const Fatal &e) {
        msg = e.what();
    }
    EXPECT_EQ(msg, "can't lock disk");
    close(holder);
    xd_close(xd);
    EXPECT_EQ(read_sectors(t.path("disk.img"), 100, 2), data);
    // Nothing was written by the refused sync.
    EXPECT_EQ(read_sectors(t.path("disk.img"), 0, 1), std::vector<uint8_t>(512, 0));
}

// A stick whose sector 0 holds an archive header is formatted by the front
// end's command, and by a plain format too: a device is a disk whatever its
// sector 0 holds.
TEST(LoopDevice, FormatsWhateverSectorZeroHolds) {
    const bool ci = getenv("CI") && !strcmp(getenv("CI"), "true");
    if (access("/dev/loop-control", W_OK) != 0) {
        if (ci) FAIL() << "no usable /dev/loop-control";
        GTEST_SKIP() << "no usable /dev/loop-control";
    }
    struct Case {
        std::vector<std::string> words;
        uint32_t start;
    } cases[] = {
        {{"format", "--extended", "100m", "--force", "--align", "--primary", "8m"}, 221184},
        {{"format"}, 16128},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.words));
        TempDir t;
        const std::string img = t.path("stick.img");
        make_blank(img, 300000);
        std::vector<uint8_t> head(512, 0);
        memcpy(head.data(), "QXAR\x01\x06\x01\x00\x01\x00", 10);
        write_sectors(img, 0, head);
        LoopDevice loop(img);
        if (loop.dev().empty()) {
            if (ci) FAIL() << "losetup could not attach a loop device";
            GTEST_SKIP() << "losetup could not attach a loop device";
        }
        std::vector<std::string> args = {loop.dev()};
        args.insert(args.end(), c.words.begin(), c.words.end());
        RunResult r = run_tool(args);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::vector<uint8_t> s0 = read_sectors(img, 0, 1);
        EXPECT_EQ(memcmp(&s0[mbr::MAGIC], "QXBF", 4), 0);
        EXPECT_EQ(get32(&s0[mbr::PART_TABLE + pte::START]), c.start);
        EXPECT_EQ(get32(&read_sectors(img, c.start, 1)[0x1C]), c.start);
    }
}
