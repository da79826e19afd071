// POSIX device layer: image files and block devices (/dev/sdX, /dev/loopN).
// "(hdN)" is the N-th whole disk of the system in name order, "(fdN)" is
// /dev/fdN. Durability comes from fsync/fdatasync at the points the callers
// ask for (xd_sync), not from O_SYNC on every write.
#include "xdio.h"
#include "xdio_common.h"
#include "common.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

struct xd_t {
    uint32_t flags = 0;
    int fd = -1;
    uint32_t cur = 0;
    bool block = false;
    std::string path;
    int backing = -1;  // the file a loop device shows, claimed with it
};

uint32_t xd_flags(const xd_t *xd) { return xd->flags; }
uint32_t xd_cur(const xd_t *xd) { return xd->cur; }

// Root of the sysfs tree that lists the disks; tests point it at a fake tree.
const char *xd_sysfs_root = "/sys/block";
const char *xd_dev_root = "/dev";

static bool counted_disk(const std::string &n) {
    static const char *skip[] = {"loop", "ram", "zram", "dm-", "md", "sr", "nbd", "fd"};
    for (const char *s : skip)
        if (n.compare(0, strlen(s), s) == 0) return false;
    return true;
}

// Whole disks in name order: sda, sdb, ..., vda, nvme0n1, mmcblk0.
static std::vector<std::string> list_disks() {
    std::vector<std::string> out;
    DIR *d = opendir(xd_sysfs_root);
    if (!d) return out;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        if (counted_disk(n)) out.push_back(n);
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const std::string &a, const std::string &b) {
        // sdb before sdaa: shorter names first within the same prefix
        if (a.size() != b.size() && a.compare(0, 2, b, 0, 2) == 0) return a.size() < b.size();
        return a < b;
    });
    return out;
}

const char *xd_disk_path(int n) {
    static std::string path;
    std::vector<std::string> disks = list_disks();
    if (n < 0 || size_t(n) >= disks.size()) return "";
    path = std::string(xd_dev_root) + "/" + disks[n];
    return path.c_str();
}

static xd_t *open_path(const std::string &path, int write, bool must_exist, bool device) {
    int mode = write ? O_RDWR : O_RDONLY;
    if (write && !must_exist) mode |= O_CREAT;
    int fd = open(path.c_str(), mode | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    // A read-only disk (a loop device attached read-only, a write-protected
    // card) may open for writing and refuse every write: it is refused here.
    int ro = 0;
    if (write && S_ISBLK(st.st_mode) && ioctl(fd, BLKROGET, &ro) == 0 && ro) {
        close(fd);
        errno = EROFS;
        return nullptr;
    }
    xd_t *xd = new xd_t;
    xd->fd = fd;
    xd->flags = XD_OPEN;
    xd->block = S_ISBLK(st.st_mode);
    if (device || xd->block) xd->flags |= XD_DEVICE;
    xd->path = path;
    return xd;
}

xd_t *xd_open(const char *name, int write) {
    xd_t *xd = nullptr;
    dev_name dn;
    if (name[0] == '(') {
        if (!parse_dev_name(name, &dn)) return nullptr;
        std::string path;
        if (dn.kind == 'h') path = xd_disk_path(dn.num);
        else path = std::string(xd_dev_root) + "/fd" + std::to_string(dn.num);
        if (path.empty()) return nullptr;
        xd = open_path(path, write, true, true);
        if (!xd) return nullptr;
        if (dn.part >= 0) {
            xd_enum_state st;
            st.wanted = uint8_t(dn.part);
            if (xd_enum(xd, &st) || xd_seek(xd, st.start)) {
                xd_close(xd);
                return nullptr;
            }
        } else {
            xd_seek(xd, 0);
        }
        return xd;
    }
    // A two-character drive letter names no disk on this system; it is
    // opened as a path like any other name.
    if (name[0] == 0) return nullptr;
    return open_path(name, write, false, false);
}

// Transfers use pread/pwrite at the handle's own position, so positioning
// only checks that the position can be reached.
int xd_seek(xd_t *xd, uint32_t sector) {
    if ((xd->flags & XD_OPEN) && lseek(xd->fd, off_t(sector) * SECTOR, SEEK_SET) == off_t(-1)) return 1;
    xd->cur = sector;
    return 0;
}

int xd_read(xd_t *xd, void *buf, uint32_t count) {
    size_t want = size_t(count) * SECTOR;
    size_t got = 0;
    uint8_t *p = static_cast<uint8_t *>(buf);
    while (got < want) {
        ssize_t r = pread(xd->fd, p + got, want - got, off_t(xd->cur) * SECTOR + off_t(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 1;
        got += size_t(r);
    }
    xd->cur += count;
    return 0;
}

int xd_write(xd_t *xd, const void *buf, uint32_t count) {
    if (xd_write_fault && xd_write_fault(xd->cur, count)) return 1;
    size_t want = size_t(count) * SECTOR;
    size_t done = 0;
    const uint8_t *p = static_cast<const uint8_t *>(buf);
    while (done < want) {
        ssize_t r = pwrite(xd->fd, p + done, want - done, off_t(xd->cur) * SECTOR + off_t(done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 1;
        done += size_t(r);
    }
    if (xd_record) xd_record(XD_EV_WRITE, xd->path.c_str(), xd->cur, count, buf);
    xd->cur += count;
    return 0;
}

uint32_t xd_size(xd_t *xd) {
    uint64_t bytes = 0;
    if (xd->block) {
        if (ioctl(xd->fd, BLKGETSIZE64, &bytes) != 0) return 0xFFFFFFFFu;
    } else {
        struct stat st;
        if (fstat(xd->fd, &st) != 0) return 0xFFFFFFFFu;
        bytes = uint64_t(st.st_size);
    }
    // Sector numbers are 32-bit: a larger disk is used up to the last sector
    // they can name rather than wrapping to a small size.
    uint64_t sectors = bytes / SECTOR;
    return sectors > 0xFFFFFFFEu ? 0xFFFFFFFEu : uint32_t(sectors);
}

int xd_sync(xd_t *xd) {
    if (!(xd->flags & XD_OPEN)) return 0;
    if (fdatasync(xd->fd) != 0) return 1;
    if (xd_record) xd_record(XD_EV_SYNC, xd->path.c_str(), 0, 0, nullptr);
    return 0;
}

int xd_truncate(xd_t *xd) {
    if (xd->block) return 1;
    if (ftruncate(xd->fd, off_t(xd->cur) * SECTOR) != 0) return 1;
    if (xd_record) xd_record(XD_EV_TRUNCATE, xd->path.c_str(), xd->cur, 0, nullptr);
    return 0;
}

void xd_close(xd_t *xd) {
    if (!xd) return;
    if (xd->flags & XD_OPEN) close(xd->fd);
    if (xd->backing >= 0) close(xd->backing);
    delete xd;
}

// Locking: every partition of the disk is opened with O_EXCL, which the
// kernel refuses while a partition is mounted or held by another process.
// The whole disk itself is checked the same way through a second handle.
static std::vector<int> locked_fds;
static std::string locked_disk;

int xd_lock(xd_t *xd) {
    if (!(xd->flags & XD_DEVICE) || !xd->block) return 0;
    struct stat st;
    if (fstat(xd->fd, &st) != 0) return 0;
    char sys[128];
    snprintf(sys, sizeof sys, "/sys/dev/block/%u:%u", major(st.st_rdev), minor(st.st_rdev));
    char real[4096];
    if (!realpath(sys, real)) return 0;
    std::string base = real;
    std::string disk = base.substr(base.rfind('/') + 1);
    std::vector<std::string> parts;
    if (DIR *d = opendir(base.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.compare(0, disk.size(), disk) == 0 && n.size() > disk.size()) parts.push_back(n);
        }
        closedir(d);
    }
    int whole = open(xd->path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (whole < 0) return 1;
    locked_fds.push_back(whole);
    for (const std::string &p : parts) {
        std::string path = std::string(xd_dev_root) + "/" + p;
        int fd = open(path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT) continue;
            return 1;
        }
        locked_fds.push_back(fd);
    }
    locked_disk = xd->path;
    return 0;
}

void xd_unlock() {
    for (int fd : locked_fds) close(fd);
    locked_fds.clear();
    if (!locked_disk.empty()) {
        int fd = open(locked_disk.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ioctl(fd, BLKRRPART);
            close(fd);
        }
        locked_disk.clear();
    }
}

void xd_binary_stdio() {}

int xd_file_sync(FILE *f) {
    if (fflush(f) != 0) return 1;
    if (fsync(fileno(f)) != 0) return 1;
    if (xd_record) {
        char link[64], path[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(f));
        ssize_t n = readlink(link, path, sizeof path - 1);
        path[n > 0 ? n : 0] = 0;
        xd_record(XD_EV_FILE_SYNC, path, 0, 0, nullptr);
    }
    return 0;
}

namespace {

// What a file descriptor stands for: an ordinary file by its device and
// inode, a disk by its device number. A partition stands for its whole
// disk and a loop device for the file it shows, so that every name of the
// same bytes compares equal.
struct identity {
    bool disk = false;
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const identity &o) const { return disk == o.disk && dev == o.dev && ino == o.ino; }
};

std::string sys_text(const std::string &path) {
    std::string out;
    if (FILE *f = fopen(path.c_str(), "re")) {
        char line[4096];
        if (fgets(line, sizeof line, f)) out = line;
        fclose(f);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// The whole disk of a disk or partition device, and the file it shows when
// it is a loop device ("" for none).
dev_t whole_disk(dev_t dev, std::string *backing) {
    backing->clear();
    char sys[128];
    snprintf(sys, sizeof sys, "/sys/dev/block/%u:%u", major(dev), minor(dev));
    char real[4096];
    if (!realpath(sys, real)) return dev;
    std::string base = real;
    unsigned ma, mi;
    if (!sys_text(base + "/partition").empty() &&
        sscanf(sys_text(base.substr(0, base.rfind('/')) + "/dev").c_str(), "%u:%u", &ma, &mi) == 2) {
        dev = makedev(ma, mi);
        base = base.substr(0, base.rfind('/'));
    }
    *backing = sys_text(base + "/loop/backing_file");
    return dev;
}

bool identity_of_stat(const struct stat &st, identity *id, int depth) {
    if (!S_ISBLK(st.st_mode)) {
        id->dev = st.st_dev;
        id->ino = st.st_ino;
        return true;
    }
    std::string backing;
    const dev_t whole = whole_disk(st.st_rdev, &backing);
    struct stat b;
    if (!backing.empty() && depth < 8 && stat(backing.c_str(), &b) == 0) return identity_of_stat(b, id, depth + 1);
    id->disk = true;
    id->dev = whole;
    return true;
}

bool identity_of(int fd, identity *id) {
    struct stat st;
    return fstat(fd, &st) == 0 && identity_of_stat(st, id, 0);
}

int claim_fd(int fd, int exclusive) {
    const int op = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    struct stat st;
    const bool block = fstat(fd, &st) == 0 && S_ISBLK(st.st_mode);
    // The device manager takes a shared claim on a disk for a moment while
    // it looks at it: a disk gets a few seconds to become free.
    for (int tries = block ? 60 : 1;; ) {
        if (flock(fd, op) == 0) return 0;
        if (errno == EINTR) continue;
        // A file system that keeps no locks leaves the target unclaimed.
        if (errno != EWOULDBLOCK || --tries <= 0) return errno == EWOULDBLOCK ? 1 : 0;
        usleep(50000);
    }
}

}  // namespace

bool xd_is_file(xd_t *xd, FILE *f) {
    identity a, b;
    if (!xd || !identity_of(xd->fd, &a) || !identity_of(fileno(f), &b)) return false;
    return a == b;
}

int xd_claim(xd_t *xd, int exclusive) {
    if (claim_fd(xd->fd, exclusive)) return 1;
    // A loop device and the file it shows are one target: a run on the file
    // meets the claim of a run on the device.
    struct stat st;
    std::string backing;
    if (xd->backing < 0 && fstat(xd->fd, &st) == 0 && S_ISBLK(st.st_mode)) {
        whole_disk(st.st_rdev, &backing);
        if (!backing.empty()) xd->backing = open(backing.c_str(), O_RDONLY | O_CLOEXEC);
    }
    return xd->backing >= 0 ? claim_fd(xd->backing, exclusive) : 0;
}

int xd_file_claim(FILE *f, int exclusive) { return claim_fd(fileno(f), exclusive); }

int xd_file_truncate(FILE *f, uint64_t size) { return ftruncate(fileno(f), off_t(size)) == 0 ? 0 : 1; }

int xd_file_mode_like(FILE *f, const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    return fchmod(fileno(f), st.st_mode & 07777) == 0 ? 0 : 1;
}

int xd_file_replace(const char *from, const char *to) {
    if (rename(from, to) != 0) return 1;
    // The new name is durable once its directory is.
    std::string dir = to;
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 1;
    const int bad = fsync(fd);
    close(fd);
    return bad ? 1 : 0;
}
