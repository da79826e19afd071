#include "sweep.h"

#include "common.h"
#include "xdio.h"

#include <cstdlib>
#include <unistd.h>

sweep_target::sweep_target(const std::string &stem) {
    std::string shm = "/dev/shm/" + stem + ".XXXXXX";
    const int fd = mkstemp(&shm[0]);
    if (fd >= 0) {
        close(fd);
        img = shm;
    } else {
        img = t.path("d.img");
        make_blank(img, 1);
    }
}

sweep_target::~sweep_target() { unlink(img.c_str()); }

std::string plan_one(const std::string &img, uint64_t d, const std::vector<std::string> &words, format_plan *plan) {
    if (truncate(img.c_str(), off_t(d) * 512) != 0) return "truncate failed";
    xd_t *xd = xd_open(img.c_str(), 1);
    if (!xd) return "open failed";
    std::vector<std::string> args(words.begin() + 1, words.end());
    std::vector<char *> argv;
    for (std::string &w : args) argv.push_back(&w[0]);
    std::string msg;
    try {
        plan_format(xd, int(argv.size()), argv.data(), plan);
    } catch (const Fatal &e) {
        msg = e.what();
    }
    xd_close(xd);
    return msg;
}

std::vector<uint64_t> sizes_around(const std::vector<uint64_t> &bounds, int64_t reach, int64_t step) {
    std::vector<uint64_t> sizes;
    for (uint64_t s : bounds)
        for (int64_t k = -reach; k <= reach; k += (k > -4 && k < 4) ? 1 : step) sizes.push_back(s + k);
    return sizes;
}
