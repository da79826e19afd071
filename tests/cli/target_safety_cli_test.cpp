// Runs that must not destroy what another run, or their own arguments, hold,
// through the real binary: a second run on a target that a run is changing,
// a target named as its own output or source, lists that fill their whole
// area, read-only targets and half-done saves in files that are no archive
// being changed. Every case checks the message and exit status of the run
// under test and then that every stored file still exports its bytes from an
// image of the same size (and, where the run must change nothing, the same
// bytes).
#include "commands.h"
#include "fixture.h"
#include "xdio.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <fcntl.h>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

typedef std::vector<uint8_t> Bytes;
typedef std::map<std::string, Bytes> Files;

std::string q(const std::string &s) { return "'" + s + "'"; }
const std::string bin = QXTOOL_BIN;

bool ci() {
    const char *v = getenv("CI");
    return v && !strcmp(v, "true");
}

// Replaces every {key} in text.
std::string fill(std::string text, const std::map<std::string, std::string> &vars) {
    for (const auto &kv : vars)
        for (size_t at; (at = text.find("{" + kv.first + "}")) != std::string::npos;)
            text.replace(at, kv.first.size() + 2, kv.second);
    return text;
}

// A loop device over an image file of our own, detached at the end.
struct Loop {
    std::string dev;
    Loop(const std::string &image, bool read_only) {
        RunResult r = run_shell(std::string("losetup ") + (read_only ? "-r " : "") + "-f --show " + q(image));
        if (r.status == 0 && r.out.size() > 1) dev = r.out.substr(0, r.out.find('\n'));
    }
    ~Loop() {
        if (!dev.empty()) run_shell("losetup -d " + q(dev));
    }
};

// A command running in the background, its standard input and output tied
// to descriptors the test holds.
struct Background {
    pid_t pid = -1;
    Background(const std::string &cmd, int in, int out) {
        pid = fork();
        if (pid == 0) {
            if (in >= 0) dup2(in, 0);
            if (out >= 0) dup2(out, 1);
            execl("/bin/sh", "sh", "-c", cmd.c_str(), (char *)nullptr);
            _exit(127);
        }
    }
    int wait() {
        int st = 0;
        if (pid > 0 && waitpid(pid, &st, 0) == pid) {
            pid = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        return -1;
    }
    ~Background() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            wait();
        }
    }
};

// Waits until the kernel's table of file locks holds a lock of the given
// kind ("WRITE" or "READ") on the file: the background run has claimed its
// target. Polls a fact, so no timing can make it pass early.
bool wait_for_lock(const std::string &path, const char *kind) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    const std::string ino = ":" + std::to_string(st.st_ino) + " ";
    for (int i = 0; i < 6000; i++) {
        std::string locks;
        try {
            Bytes b = read_file("/proc/locks");
            locks.assign(b.begin(), b.end());
        } catch (...) {
            return false;
        }
        size_t from = 0;
        for (size_t nl; (nl = locks.find('\n', from)) != std::string::npos; from = nl + 1) {
            const std::string line = locks.substr(from, nl - from);
            if (line.find(ino) != std::string::npos && line.find(std::string(" ") + kind + " ") != std::string::npos)
                return true;
        }
        usleep(5000);
    }
    return false;
}

Bytes export_bytes(const std::string &img, const std::string &name, std::string *err) {
    RunResult r = run_shell(bin + " " + q(img) + " export " + q(name));
    if (r.status != 0) *err = r.err;
    return Bytes(r.out.begin(), r.out.end());
}

// Every file exports its bytes, and no other file is stored.
void expect_files(const std::string &label, const std::string &img, const Files &files) {
    for (const auto &f : files) {
        std::string err;
        EXPECT_TRUE(export_bytes(img, f.first, &err) == f.second) << label << ": " << f.first << " " << err;
    }
    RunResult r = run_shell(bin + " " + q(img) + " info");
    size_t listed = 0;
    for (size_t at = 0; (at = r.out.find("\" 0x", at)) != std::string::npos; at++) listed++;
    EXPECT_EQ(listed, files.size()) << label << ": files listed\n" << r.out;
}

enum Setup {
    STORE,          // a disk image holding a (primary area) and b (extended area)
    FULL,           // a list made the old way that fills all four list sectors
    PENDING,        // FULL with a removal of file-00 cut off after its commit record
    DESC_IN_DISK,   // STORE with a whole in-place-save descriptor at the end
};

enum Hold {
    NONE,
    WRITER,  // add -e x from a pipe that is written only after the case
    READER,  // export b to a pipe that is read only after the case
};

struct Case {
    const char *label;
    Setup setup;
    Hold hold;
    int loop;  // 0: none; 1: {dev} over the image; 2: the same, read-only
    bool as_user;  // as an unprivileged user, the image read-only to it
    std::string cmd;  // shell words after the binary's name
    int status;
    std::string err;  // "" or the one message
    bool unchanged;  // the image keeps every byte
    std::function<void(Files &)> effect;  // what the run does to the files
};

Files full_files() {
    Files f;
    for (int i = 0; i < 44; i++) {
        char name[64];
        snprintf(name, sizeof name, "file-%02d-abcdefghijklmnopqrstuv", i);
        f[name] = pattern_bytes(300, uint32_t(i + 100));
    }
    return f;
}

std::string full_name(int i) {
    char name[64];
    snprintf(name, sizeof name, "file-%02d-abcdefghijklmnopqrstuv", i);
    return name;
}

// The in-place rewrite of the list is cut off once the commit record's
// descriptor is on the disk: the list sectors before it fail.
uint32_t record_sector = 0;
bool record_written = false;
bool cut_after_record(uint32_t sector, uint32_t count) {
    if (sector <= record_sector && sector + count > record_sector) {
        record_written = true;
        return false;
    }
    return record_written && sector >= record_sector - 3 && sector < record_sector;
}

std::string descriptor(const TempDir &dir, uint64_t at, const Bytes &image) {
    // The descriptor of an in-place save of image at byte offset at, its
    // checksums computed by Python's zlib.
    std::string f = dir.path("image.bin");
    write_file(f, image);
    std::string py =
        "import struct, sys, zlib\n"
        "img = open(sys.argv[1], 'rb').read()\n"
        "d = b'QXARSAVE' + struct.pack('<QQI', int(sys.argv[2]), len(img), zlib.crc32(img))\n"
        "d = d + bytes(508 - len(d))\n"
        "sys.stdout.buffer.write(d + struct.pack('<I', zlib.crc32(d)))\n";
    write_file(dir.path("desc.py"), Bytes(py.begin(), py.end()));
    RunResult r = run_shell("python3 " + q(dir.path("desc.py")) + " " + q(f) + " " + std::to_string(at));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// Appends an in-place-save descriptor whose image is the archive ar.
void append_descriptor(const TempDir &dir, const std::string &path, const Bytes &ar) {
    Bytes b = read_file(path);
    const uint64_t at = std::max<uint64_t>(b.size(), ar.size());
    b.resize(at, 0);
    b.insert(b.end(), ar.begin(), ar.end());
    std::string d = descriptor(dir, at, ar);
    b.insert(b.end(), d.begin(), d.end());
    write_file(path, b);
}

}  // namespace

TEST(TargetSafetyCli, RunsKeepWhatOthersAndTheirOwnArgumentsHold) {
    const Bytes a = pattern_bytes(3000, 1), b = pattern_bytes(200000, 2), x = pattern_bytes(5000, 3),
                y = pattern_bytes(4000, 4);
    auto none = [](Files &) {};
    const Case cases[] = {
        // Two runs on one target.
        {"add while an add runs", STORE, WRITER, 0, false, "{img} add -e y {y}", 1, "{img} is in use by another run",
         true, none},
        {"pack while an add runs", STORE, WRITER, 0, false, "{img} pack", 1, "{img} is in use by another run", true,
         none},
        {"info while an add runs", STORE, WRITER, 0, false, "{img} info", 1, "{img} is in use by another run", true,
         none},
        {"add through a loop device of the image while an add runs", STORE, WRITER, 1, false, "{dev} add y {y}", 1,
         "{dev} is in use by another run", true, none},
        {"export to a file another run holds", STORE, WRITER, 0, false, "{img2} export a {img}", 1,
         "{img} is in use by another run", true, none},
        {"info while an export runs", STORE, READER, 0, false, "{img} info > /dev/null", 0, "", true, none},
        {"remove while an export runs", STORE, READER, 0, false, "{img} remove a", 1,
         "{img} is in use by another run", true, none},
        // The target as its own output or source.
        {"export onto the image", STORE, NONE, 0, false, "{img} export a {img}", 1,
         "can't write to file {img}: it is the target", true, none},
        {"export onto a symbolic link to the image", STORE, NONE, 0, false, "{img} export a {dir}/link.img", 1,
         "can't write to file {dir}/link.img: it is the target", true, none},
        {"export onto a hard link of the image", STORE, NONE, 0, false, "{img} export a {dir}/hard.img", 1,
         "can't write to file {dir}/hard.img: it is the target", true, none},
        {"export onto a relative path of the image", STORE, NONE, 0, false, "{img} export a ../{base}/d.img", 1,
         "can't write to file ../{base}/d.img: it is the target", true, none},
        {"export onto a loop device of the image", STORE, NONE, 1, false, "{img} export a {dev}", 1,
         "can't write to file {dev}: it is the target", true, none},
        {"export from a loop device onto its file", STORE, NONE, 1, false, "{dev} export a {img}", 1,
         "can't write to file {img}: it is the target", true, none},
        {"save onto the disk image", STORE, NONE, 0, false, "{img} save {img}", 1,
         "can't write to file {img}: it is the target", true, none},
        {"save onto a hard link of the disk image", STORE, NONE, 0, false, "{img} save {dir}/hard.img", 1,
         "can't write to file {dir}/hard.img: it is the target", true, none},
        {"create over a disk image", STORE, NONE, 0, false, "{img} create", 1,
         "create would destroy the disk in this target,\nuse --force if you want to continue.", true, none},
        {"format from the image as its own archive", STORE, NONE, 0, false, "{img} format --force --archive {img}",
         1, "can't read the archive {img}: it is the target", true, none},
        {"load the image into itself", STORE, NONE, 0, false, "{img} load {img}", 1,
         "can't read the archive {img}: it is the target", true, none},
        {"add the image to itself", STORE, NONE, 0, false, "{img} add c {dir}/hard.img", 1,
         "can't read file {dir}/hard.img: it is the target", true, none},
        // Lists that fill their whole area, the last sector included.
        {"remove from a full list", FULL, NONE, 0, false, "{img} remove " + full_name(5), 0, "", false,
         [](Files &f) { f.erase(full_name(5)); }},
        {"replace in a full list", FULL, NONE, 0, false, "{img} add " + full_name(7) + " {y}", 0, "", false,
         [&](Files &f) { f[full_name(7)] = y; }},
        {"add to a full list", FULL, NONE, 0, false, "{img} add n {y}", 0, "", false, [&](Files &f) { f["n"] = y; }},
        {"move in a full list", FULL, NONE, 0, false, "{img} move " + full_name(8) + " m", 0, "", false,
         [](Files &f) {
             f["m"] = f[full_name(8)];
             f.erase(full_name(8));
         }},
        {"copy in a full list", FULL, NONE, 0, false, "{img} copy " + full_name(9) + " c", 0, "", false,
         [](Files &f) { f["c"] = f[full_name(9)]; }},
        {"shrink in a full list", FULL, NONE, 0, false, "{img} resize " + full_name(10) + " 100", 0, "", false,
         [](Files &f) { f[full_name(10)].resize(100); }},
        {"grow in a full list", FULL, NONE, 0, false, "{img} resize " + full_name(11) + " 2000", 0, "", false,
         [](Files &f) { f[full_name(11)].resize(2000, 0); }},
        {"format from a full archive into a smaller list", STORE, NONE, 0, false,
         "{img} format --force --archive {full} -l 1530", 1, "file item too long", true, none},
        {"format from a full archive", STORE, NONE, 0, false, "{img} format --force --archive {full}", 0, "", false,
         [](Files &f) { f = full_files(); }},
        // Read-only targets.
        {"info on a read-only disk", STORE, NONE, 2, false, "{dev} info > /dev/null", 0, "", true, none},
        {"export from a read-only disk", STORE, NONE, 2, false, "{dev} export b {dir}/out.bin && cmp -s {dir}/out.bin {b}",
         0, "", true, none},
        {"check of a read-only disk", STORE, NONE, 2, false, "{dev} check", 0, "", true, none},
        {"add to a read-only disk", STORE, NONE, 2, false, "{dev} add c {y}", 1, "{dev} is read-only, add can't write to it",
         true, none},
        {"remove from a read-only disk", STORE, NONE, 2, false, "{dev} remove a", 1,
         "{dev} is read-only, remove can't write to it", true, none},
        {"export from a read-only image", STORE, NONE, 0, true, "{img} export a | cmp -s - {a}", 0, "", true, none},
        {"add to a read-only image", STORE, NONE, 0, true, "{img} add c {y}", 1,
         "{img} is read-only, add can't write to it", true, none},
        {"a pending commit read through on a read-only disk", PENDING, NONE, 2, false,
         "{dev} export " + full_name(0), 1, "file " + full_name(0) + " not found", true, none},
        {"a pending commit completed by a run that writes", PENDING, NONE, 0, false,
         "{img} resize " + full_name(1) + " 300", 0, "", false, none},
        // A disk image is never an archive.
        {"info on a disk image ending in a save descriptor", DESC_IN_DISK, NONE, 0, false,
         "{img} info | grep -q 'base boot sector: 63'", 0, "", true, none},
        {"add to a disk image ending in a save descriptor", DESC_IN_DISK, NONE, 0, false, "{img} add c {y}", 0, "",
         false, [&](Files &f) { f["c"] = y; }},
        {"load from a disk image ending in a save descriptor", STORE, NONE, 0, false, "{img} load {desc_disk}", 1,
         "invalid archive file", true, none},
    };

    std::vector<std::string> skipped;
    // One case; a setup that fails ends that case alone.
    auto run_case = [&](const Case &c) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const std::string img = dir.path("d.img");
        QxGeometry g;
        g.list = 4;
        g.ext = 2000;
        // Room for a data partition only where a format makes one.
        g.total = 16128 + 2000 + (c.cmd.find("format") != std::string::npos ? 20480 : 64);
        build_qx_image(img, g);
        Files files;
        std::map<std::string, std::string> vars = {{"img", img},
                                                   {"dir", dir.dir()},
                                                   {"base", dir.dir().substr(dir.dir().rfind('/') + 1)},
                                                   {"y", dir.path("y.bin")},
                                                   {"a", dir.path("a.bin")},
                                                   {"b", dir.path("b.bin")},
                                                   {"img2", dir.path("other.img")}};
        write_file(dir.path("a.bin"), a);
        write_file(dir.path("b.bin"), b);
        write_file(dir.path("y.bin"), y);
        if (c.setup == STORE || c.setup == DESC_IN_DISK) {
            ASSERT_EQ(run_shell(bin + " " + q(img) + " add a " + q(dir.path("a.bin"))).status, 0);
            ASSERT_EQ(run_shell(bin + " " + q(img) + " add -e b " + q(dir.path("b.bin"))).status, 0);
            files = {{"a", a}, {"b", b}};
        } else {
            std::vector<RawItem> items;
            for (const auto &f : full_files()) items.push_back({f.first, f.second});
            write_raw_list(img, g, items);
            files = full_files();
        }
        if (c.setup == PENDING) {
            record_sector = g.base + 1 + 4 + g.list - 1;
            record_written = false;
            xd_write_fault = cut_after_record;
            RunResult r = run_tool({img, "remove", full_name(0)});
            xd_write_fault = nullptr;
            ASSERT_EQ(r.status, 1);
            ASSERT_TRUE(record_written);
            files.erase(full_name(0));
        }
        if (c.setup == DESC_IN_DISK) {
            ASSERT_EQ(run_shell(bin + " " + q(img) + " save " + q(dir.path("s.qxa"))).status, 0);
            append_descriptor(dir, img, read_file(dir.path("s.qxa")));
        }
        // Other names of the image and the other files some cases use.
        ASSERT_EQ(symlink(img.c_str(), dir.path("link.img").c_str()), 0);
        ASSERT_EQ(link(img.c_str(), dir.path("hard.img").c_str()), 0);
        if (c.cmd.find("{full}") != std::string::npos) {
            const std::string full = dir.path("full.img");
            build_qx_image(full, g);
            std::vector<RawItem> items;
            for (const auto &f : full_files()) items.push_back({f.first, f.second});
            write_raw_list(full, g, items);
            vars["full"] = dir.path("full.qxa");
            RunResult r = run_shell(bin + " " + q(full) + " save -l 2040 " + q(vars["full"]));
            ASSERT_EQ(r.status, 0) << r.err;
        }
        if (c.cmd.find("{desc_disk}") != std::string::npos) {
            const std::string dd = dir.path("dd.img");
            build_qx_image(dd, g);
            ASSERT_EQ(run_shell(bin + " " + q(dd) + " add z " + q(dir.path("y.bin"))).status, 0);
            ASSERT_EQ(run_shell(bin + " " + q(dd) + " save " + q(dir.path("dd.qxa"))).status, 0);
            append_descriptor(dir, dd, read_file(dir.path("dd.qxa")));
            vars["desc_disk"] = dd;
            vars["desc_disk_bytes"] = std::to_string(read_file(dd).size());
        }
        if (c.cmd.find("{img2}") != std::string::npos) {
            build_qx_image(vars["img2"], g);
            ASSERT_EQ(run_shell(bin + " " + q(vars["img2"]) + " add a " + q(dir.path("a.bin"))).status, 0);
        }
        const Bytes desc_disk_before = vars.count("desc_disk") ? read_file(vars["desc_disk"]) : Bytes();

        std::unique_ptr<Loop> loop;
        if (c.loop) {
            loop.reset(new Loop(img, c.loop == 2));
            if (loop->dev.empty()) {
                skipped.push_back(c.label);
                return;
            }
            vars["dev"] = loop->dev;
        }

        // A run that holds the target while the case runs.
        std::unique_ptr<Background> holder;
        int hold_fd = -1;
        if (c.hold == WRITER) {
            const std::string fifo = dir.path("fifo");
            ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
            holder.reset(new Background("exec " + bin + " " + q(img) + " add -e x < " + q(fifo), -1, -1));
            hold_fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
            ASSERT_GE(hold_fd, 0);
            ASSERT_TRUE(wait_for_lock(img, "WRITE"));
        } else if (c.hold == READER) {
            int p[2];
            ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
            holder.reset(new Background("exec " + bin + " " + q(img) + " export b", -1, p[1]));
            close(p[1]);
            hold_fd = p[0];
            ASSERT_TRUE(wait_for_lock(img, "READ"));
        }

        const Bytes before = read_file(img);
        std::string cmd = fill(c.cmd, vars);
        if (c.as_user) {
            chmod(dir.dir().c_str(), 0755);
            chmod(img.c_str(), 0444);
            for (const char *f : {"a.bin", "y.bin"}) chmod(dir.path(f).c_str(), 0644);
            cmd = "setpriv --reuid=65534 --regid=65534 --clear-groups " + bin + " " + cmd;
        } else {
            cmd = bin + " " + cmd;
        }
        RunResult r = run_shell("cd " + q(dir.dir()) + " && " + cmd);
        EXPECT_EQ(r.status, c.status) << cmd << "\n" << r.err;
        EXPECT_EQ(r.err, c.err.empty() ? "" : "qxtool: error: " + fill(c.err, vars) + "\n") << cmd;
        if (c.unchanged) {
            EXPECT_TRUE(read_file(img) == before) << "the image changed";
        }
        EXPECT_EQ(read_file(img).size(), before.size()) << "the image's size changed";
        if (!desc_disk_before.empty()) {
            EXPECT_TRUE(read_file(vars["desc_disk"]) == desc_disk_before) << "the source changed";
        }
        c.effect(files);

        // The holder goes on and ends as if it had run alone.
        if (c.hold == WRITER) {
            ASSERT_EQ(write(hold_fd, x.data(), x.size()), ssize_t(x.size()));
            close(hold_fd);
            EXPECT_EQ(holder->wait(), 0);
            files["x"] = x;
        } else if (c.hold == READER) {
            Bytes got;
            uint8_t buf[65536];
            for (ssize_t n; (n = read(hold_fd, buf, sizeof buf)) > 0;) got.insert(got.end(), buf, buf + n);
            close(hold_fd);
            EXPECT_EQ(holder->wait(), 0);
            EXPECT_TRUE(got == b) << "the export that held the target";
        }
        loop.reset();
        expect_files(c.label, img, files);
    };
    for (const Case &c : cases) run_case(c);
    if (!skipped.empty()) {
        std::string s;
        for (const std::string &l : skipped) s += "\n  " + l;
        if (ci()) ADD_FAILURE() << "no loop device for:" << s;
        else std::cout << "[  SKIPPED ] no loop device for:" << s << std::endl;
    }
}
