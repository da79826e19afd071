#include "fixture.h"

#include "commands.h"
#include "common.h"
#include "layout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

TempDir::TempDir() {
    char tmpl[] = "/tmp/qxtest.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir_.c_str());
}

static std::string slurp_fd(int fd) {
    std::string s;
    lseek(fd, 0, SEEK_SET);
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, size_t(n));
    return s;
}

static int temp_fd() {
    char tmpl[] = "/tmp/qxcap.XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    unlink(tmpl);
    return fd;
}

RunResult run_tool(const std::vector<std::string> &args, const std::string *stdin_data) {
    std::vector<std::string> words;
    words.push_back("qxtool");
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);

    fflush(stdout);
    fflush(stderr);
    int out = temp_fd(), err = temp_fd(), in = -1;
    int saved_out = dup(1), saved_err = dup(2), saved_in = -1;
    if (stdin_data) {
        in = temp_fd();
        if (write(in, stdin_data->data(), stdin_data->size()) != ssize_t(stdin_data->size()))
            throw std::runtime_error("stdin write failed");
        lseek(in, 0, SEEK_SET);
        saved_in = dup(0);
        dup2(in, 0);
        clearerr(stdin);
    }
    dup2(out, 1);
    dup2(err, 2);
    RunResult r;
    r.status = qxtool_main(int(words.size()), argv.data());
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    if (stdin_data) {
        dup2(saved_in, 0);
        close(saved_in);
        close(in);
        clearerr(stdin);
    }
    r.out = slurp_fd(out);
    r.err = slurp_fd(err);
    close(out);
    close(err);
    return r;
}

RunResult run_shell(const std::string &cmd, const std::string *stdin_data) {
    int out = temp_fd(), err = temp_fd(), in = temp_fd();
    if (stdin_data && write(in, stdin_data->data(), stdin_data->size()) != ssize_t(stdin_data->size()))
        throw std::runtime_error("stdin write failed");
    lseek(in, 0, SEEK_SET);
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), (char *)nullptr);
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    RunResult r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = slurp_fd(out);
    r.err = slurp_fd(err);
    close(out);
    close(err);
    close(in);
    return r;
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::vector<uint8_t> data;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot open " + path);
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    fclose(f);
    return data;
}

void write_file(const std::string &path, const std::vector<uint8_t> &data) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path);
    if (!data.empty() && fwrite(data.data(), 1, data.size(), f) != data.size())
        throw std::runtime_error("short write " + path);
    fclose(f);
}

std::vector<uint8_t> read_sectors(const std::string &path, uint32_t first, uint32_t count) {
    std::vector<uint8_t> data(size_t(count) * 512);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    ssize_t n = pread(fd, data.data(), data.size(), off_t(first) * 512);
    close(fd);
    if (n != ssize_t(data.size())) throw std::runtime_error("short read " + path);
    return data;
}

void write_sectors(const std::string &path, uint32_t first, const std::vector<uint8_t> &data) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    ssize_t n = pwrite(fd, data.data(), data.size(), off_t(first) * 512);
    close(fd);
    if (n != ssize_t(data.size())) throw std::runtime_error("short write " + path);
}

void make_blank(const std::string &path, uint64_t sectors) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, off_t(sectors * 512)) != 0) throw std::runtime_error("cannot make " + path);
    close(fd);
}

std::vector<uint8_t> pattern_bytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v[i] = uint8_t(x >> 7);
    }
    return v;
}

void build_qx_image(const std::string &path, const QxGeometry &g) {
    make_blank(path, g.total);
    const uint8_t *code = g.program ? g.program : g.debug ? qx_mbr_dbg : qx_mbr_rel;
    // Sector 0 and its copies, with one FAT32 partition from P + E on.
    std::vector<uint8_t> image(code, code + 512);
    put16(&image[mbr::BOOT_BASE], g.base);
    uint8_t *e = &image[mbr::PART_TABLE];
    uint32_t start = g.pri + g.ext;
    e[pte::TYPE] = 0x0C;
    put32(e + pte::START, start);
    put32(e + pte::COUNT, uint32_t(g.total - start));
    lba2chs(start, e + pte::CHS_START);
    lba2chs(uint32_t(g.total - 1), e + pte::CHS_END);
    std::vector<uint8_t> copies;
    for (uint32_t i = 0; i <= g.base; i++) {
        std::vector<uint8_t> c = image;
        put16(&c[mbr::COPY_NO], i);
        put32(&c[mbr::PART_TABLE + pte::START], start - i);
        lba2chs(start - i, &c[mbr::PART_TABLE + pte::CHS_START]);
        lba2chs(uint32_t(g.total - 1 - i), &c[mbr::PART_TABLE + pte::CHS_END]);
        copies.insert(copies.end(), c.begin(), c.end());
    }
    write_sectors(path, 0, copies);
    // Header and boot code: a 510-byte stream from the image's offset 512.
    const uint32_t n = (MBR_IMAGE_SIZE - 3) / 510;
    std::vector<uint8_t> boot(size_t(n) * 512, 0);
    memcpy(boot.data(), code + 512, MBR_IMAGE_SIZE - 512);
    put16(&boot[hdr::BOOT_SIZE], n);
    put16(&boot[hdr::LIST_USED], 1);
    put16(&boot[hdr::LIST_SECTORS], g.list);
    put16(&boot[hdr::PRI_SIZE], g.pri);
    put32(&boot[hdr::EXT_SIZE], g.ext);
    add_mark(boot.data(), n, g.base + 1, MBR_IMAGE_SIZE - 512);
    write_sectors(path, g.base + 1, boot);
    // Every further sector below P is marked; list and primary area are empty.
    uint32_t first = g.base + 1 + n;
    std::vector<uint8_t> rest(size_t(g.pri - first) * 512, 0);
    for (uint32_t s = first; s < g.pri; s++) put16(&rest[size_t(s - first) * 512 + 510], s & 0xFFFF);
    write_sectors(path, first, rest);
}

void write_raw_list(const std::string &path, const QxGeometry &g, const std::vector<RawItem> &items) {
    const uint32_t n = (MBR_IMAGE_SIZE - 3) / 510;
    const uint32_t list_start = g.base + 1 + n;
    std::vector<uint8_t> list(size_t(g.list) * 512, 0);
    size_t tail = 0;
    uint32_t sector = list_start + g.list;
    for (const RawItem &it : items) {
        const size_t isz = it.name.size() + 15;
        if (it.data.empty() || it.data.size() > 510 || isz > 255 || tail + isz >= size_t(g.list) * 510)
            throw std::runtime_error("write_raw_list: item does not fit");
        uint8_t *p = &list[tail];
        p[item::LEN] = uint8_t(isz - 2);
        put32(p + item::START, sector);
        put32(p + item::SIZE, uint32_t(it.data.size()));
        put32(p + item::TIME, 0x60000000u);
        memcpy(p + item::NAME, it.name.c_str(), it.name.size() + 1);
        tail += isz;
        std::vector<uint8_t> data(512, 0);
        memcpy(data.data(), it.data.data(), it.data.size());
        put16(&data[510], sector & 0xFFFF);
        write_sectors(path, sector++, data);
    }
    add_mark(list.data(), g.list, list_start, uint32_t(tail) + 1);
    write_sectors(path, list_start, list);
    std::vector<uint8_t> header = read_sectors(path, g.base + 1, 1);
    put16(&header[hdr::LIST_USED], uint32_t(tail / 510 + 1));
    write_sectors(path, g.base + 1, header);
}

std::string hex(const std::vector<uint8_t> &data) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < data.size(); i++) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
        s += b;
    }
    return s;
}

std::string error_of(const std::function<void()> &f) {
    try {
        f();
    } catch (const Fatal &e) {
        return e.what();
    }
    return "";
}
