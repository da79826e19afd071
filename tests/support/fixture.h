// Shared test support: temporary directories, running the command line
// in-process or as the real binary, and small QX images built directly.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    const std::string &dir() const { return dir_; }

private:
    std::string dir_;
};

// Runs qxtool_main in this process with the given words (progname first is
// added), capturing standard output and standard error. stdin_data, when
// given, is what the command reads from standard input.
RunResult run_tool(const std::vector<std::string> &args, const std::string *stdin_data = nullptr);

// Runs a shell command line, capturing both streams.
RunResult run_shell(const std::string &cmd, const std::string *stdin_data = nullptr);

std::vector<uint8_t> read_file(const std::string &path);
void write_file(const std::string &path, const std::vector<uint8_t> &data);
std::vector<uint8_t> read_sectors(const std::string &path, uint32_t first, uint32_t count);
void write_sectors(const std::string &path, uint32_t first, const std::vector<uint8_t> &data);
// A sparse file of the given number of sectors.
void make_blank(const std::string &path, uint64_t sectors);
// Deterministic pseudo-random bytes.
std::vector<uint8_t> pattern_bytes(size_t n, uint32_t seed);

// Lays out a QX disk image directly (boot record and copies, header, boot
// code, empty marked list and marked primary area) without the format
// command: a fixture for commands that need a QX disk.
struct QxGeometry {
    uint64_t total = 65536;   // image size in sectors
    uint32_t base = 63;       // B
    uint32_t list = 896;      // L
    uint32_t pri = 16128;     // P
    uint32_t ext = 0;         // E
    bool debug = false;       // debug boot code variant
    // The boot record program of another build (MBR_IMAGE_SIZE bytes), in
    // place of the variant: the disk as a tool carrying it lays it out.
    const uint8_t *program = nullptr;
};
void build_qx_image(const std::string &path, const QxGeometry &g);

// Stores items the way an earlier build could leave them, by writing the
// sectors directly: each item's data (at most 510 bytes) in one marked
// sector of the primary area, the first right after the list area, and the
// list over the list area, its last sector included when the items need
// it; the header's list_used to match.
struct RawItem {
    std::string name;
    std::vector<uint8_t> data;
};
void write_raw_list(const std::string &path, const QxGeometry &g, const std::vector<RawItem> &items);

// Words of a file item in the list of an image, read back through the tool.
std::string hex(const std::vector<uint8_t> &data);

// The message of the Fatal that f ends with, or "" when it returns.
std::string error_of(const std::function<void()> &f);
