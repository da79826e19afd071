// Commands whose result goes to standard output report a result that could
// not be written: one message and status 1, never a silent success.
#include "fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string q(const std::string &s) { return "'" + s + "'"; }

}  // namespace

TEST(OutputCli, UnwritableStandardOutputIsAnError) {
    TempDir dir;
    const std::string img = dir.path("d.img"), ar = dir.path("a.qxa");
    build_qx_image(img, QxGeometry());
    const std::string tool = std::string(QXTOOL_BIN) + " ";
    const std::string text = "some text\n";
    ASSERT_EQ(run_shell(tool + q(img) + " add t", &text).status, 0);
    ASSERT_EQ(run_shell(tool + q(img) + " add-menu -s qx.cfg 'menu F2 chain t'").status, 0);
    ASSERT_EQ(run_shell(tool + q(img) + " save " + q(ar)).status, 0);
    const std::string cases[] = {
        q(img) + " info", q(ar) + " info", q(img) + " cat t", q(img) + " cat-menu qx.cfg", q(img) + " export t",
    };
    for (const std::string &c : cases) {
        RunResult r = run_shell(tool + c + " >/dev/null");
        EXPECT_EQ(r.status, 0) << c << ": " << r.err;
        EXPECT_EQ(r.err, "") << c;
        r = run_shell(tool + c + " >/dev/full");
        EXPECT_EQ(r.status, 1) << c;
        EXPECT_EQ(r.err, "qxtool: error: file write fails\n") << c;
    }
}
