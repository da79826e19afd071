// Shared ground of the fuzz targets: a private scratch directory, files
// written from fuzz input, small QX disks and archives built in memory, and
// one in-process run of the command line whose outcome is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fz {

using bytes = std::vector<uint8_t>;

// A file in this process's own scratch directory (made on first use under
// $TMPDIR or /tmp, removed at exit).
std::string path(const char *name);
const std::string &scratch();

// Writes data as the whole file; with min_sectors the file is then made at
// least that long (sparse zeros), so that reads past the data succeed.
void put_file(const std::string &file, const uint8_t *data, size_t n, uint32_t min_sectors = 0);
inline void put_file(const std::string &file, const bytes &b, uint32_t min_sectors = 0) {
    put_file(file, b.data(), b.size(), min_sectors);
}
// The file's bytes, or its first `limit` bytes.
bytes get_file(const std::string &file, size_t limit = SIZE_MAX);

// Writes a sparse image from chunks: repeated {u32 sector, u16 length,
// length bytes}; a chunk cut short by the end of the input keeps what is
// there. Lets a small input place records anywhere on a large disk.
void put_chunks(const std::string &file, const uint8_t *data, size_t n);

// True for a word that names a device rather than a file of ours: "(hdN)",
// "(fdN)" and the like, or anything under /dev.
bool device_word(const std::string &w);
// A command word made from fuzz bytes that can name nothing outside the
// scratch directory: no NUL, no '/', never beginning with '('.
std::string safe_word(const uint8_t *data, size_t n);

struct result {
    int status = -1;
    std::string out, err;
};
// Runs the command line in this process ("qxtool" and the words), with
// standard output and error captured and standard input empty. Aborts, so
// that the fuzzer records the input, when a word names a device, when the
// status is neither 0 nor 1, or when a failure is not exactly one
// "qxtool: error: " message (a success prints no error at all).
result run(const std::vector<std::string> &words);
// True when a run failed only because its command is not built yet.
bool not_built(const result &r);

// A small QX disk built the way format lays one out: boot record and its
// copies 1..base, header and boot code, an empty marked list, a marked
// primary area and a plain extended area, then `tail` sectors of a data
// partition filled with a pattern.
struct geometry {
    uint32_t base = 7, list = 2, pri = 160, ext = 256, tail = 8;
};
bytes small_disk(const geometry &g);
uint32_t disk_sectors(const geometry &g);

// An archive built in memory: header, n list sectors with marks, and the
// items' data back to back after the list.
struct ar_item {
    std::string name;
    bytes data;
    uint8_t flags = 0;
};
bytes archive(const std::vector<ar_item> &items, uint32_t list_sectors = 1, uint16_t pri = 16128,
              uint32_t ext = 0);
}  // namespace fz
