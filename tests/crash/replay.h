// Crash replay: records every write, flush and truncation a command makes
// to one target, rebuilds the contents a power cut at any instant could
// leave on it, and checks each of them with the tool itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A directory for state images in memory-backed storage when there is one:
// the checks open, flush and rewrite them thousands of times.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

// One item as a list names it.
struct Entry {
    std::string name;
    uint32_t size = 0;
    uint8_t flags = 0;
    uint32_t start = 0;
    bool operator==(const Entry &o) const {
        return name == o.name && size == o.size && flags == o.flags && start == o.start;
    }
};

// A store as the tool reads it: its items in list order and their bytes.
struct Store {
    std::vector<Entry> items;
    std::map<std::string, std::vector<uint8_t>> data;
};

// Reads the store of a disk image or an archive through the tool; returns
// "" or the reason it cannot be read. scratch names a file it may write.
std::string read_store(const std::string &path, Store *out, const std::string &scratch);

// A change to the target, one sector at a time: a multi-sector write is
// torn into its sectors, all carrying the number of the write they came
// from (1 for the command's first write). A truncation sets the size.
struct SectorOp {
    uint32_t sector = 0;  // the new size in sectors for a truncation
    bool truncate = false;
    uint32_t write_no = 0;
    std::vector<uint8_t> data;
};

// Changes between two flushes: any of them may be on the medium after a
// cut, in any order, but each sector holds one of the versions written to
// it. ordered: the program order of the changes is known (host files
// written through stdio are seen only as the difference at each flush);
// atomic: only none or all of them can be seen (a file renamed into
// place).
struct Epoch {
    std::vector<SectorOp> ops;
    bool ordered = true;
    bool atomic = false;
};

struct Recording {
    std::vector<uint8_t> before, after;
    std::vector<Epoch> epochs;
    uint32_t writes = 0;  // writes seen on the target
    uint32_t flushes = 0;
};

// Runs the command words with the target image first (after any global
// options) and records what reaches watched (usually the target itself;
// the archive for save). Returns the tool's exit status and fills *rec;
// *err gets its messages. input, when given, is what the command reads
// from standard input.
int record_command(const std::string &target, const std::vector<std::string> &words, const std::string &watched,
                   Recording *rec, std::string *err, const std::string *input = nullptr);

struct ReplayOptions {
    // The command may store lists between the old and the new one (pack, a
    // replace in a full area): a state may name any item of either, but an
    // item both name never disappears.
    bool mid_lists = false;
    // The command rewrites the data partition (format).
    bool partition_changes = false;
    // States checked at scale 1 (QX_CRASH_SCALE multiplies it).
    size_t budget = 200;
    // The watched file has a second hard link (so that it is rewritten
    // where it lies rather than replaced).
    bool linked = false;
    // The watched file lies in a directory that takes no new file, and the
    // file itself is writable. As root, whom no mode stops, the command runs
    // with an unprivileged file-system user so that the directory's mode
    // holds.
    bool readonly_dir = false;
    // What the command reads from standard input, when it reads it.
    bool has_input = false;
    std::string input;
    // The command replaces the boot record program: the builds (program
    // images of MBR_IMAGE_SIZE bytes) the disk may hold code of. Sector 0
    // and every copy must then name a stage 2 of their own build, and each
    // state must pass "check" but for the copies the new program is staged
    // on, which are missing while sector 0 names the base they belong to.
    std::vector<std::vector<uint8_t>> programs;
    // Words of a command that, run again on any state (the target put in
    // as for the command), must leave exactly the command's result.
    std::vector<std::string> redo;
};

struct ReplayResult {
    size_t states = 0;       // distinct states checked
    size_t broken = 0;       // states the tool reads wrongly
    size_t boot_broken = 0;  // states the boot program reads as neither old nor new
    uint32_t seed = 0;
    std::vector<std::string> samples;       // first broken states, reproducible
    std::vector<std::string> boot_samples;  // first states the boot program would misread
};

// The scale of the run: QX_CRASH_SCALE, 1 when unset.
size_t crash_scale();

// Records the command on a copy of the image at target (an image or an
// archive; watched is the file the command writes, "" for target itself),
// rebuilds the states a cut can leave and checks each one. label names the
// case in the printed summary and in the descriptions of broken states.
ReplayResult replay(const std::string &label, const std::string &target, const std::vector<std::string> &words,
                    const ReplayOptions &opt = ReplayOptions(), const std::string &watched = "");

// The part of replay after the recording: rebuilds the states and checks
// them against the stores before (o) and after (n) the command.
ReplayResult replay_recording(const std::string &label, const Recording &rec, const Store &o, const Store &n,
                              const ReplayOptions &opt = ReplayOptions());

// What the boot record program of the image would run: "" when sector 0 and
// every intact copy hold the code of one of the programs and name, at
// boot_base + 1, a header and stage 2 of that same program; else what does
// not fit. The program's own sectors are compared (boot_size may reach
// further).
std::string boot_code_view(const std::vector<uint8_t> &img, const std::vector<std::vector<uint8_t>> &programs);

// Checks one state image against the stores before and after the command:
// "" when the tool reads it as a valid store, else what is wrong. *boot
// gets "" or what the boot program would misread (disks only: it boots no
// archive).
std::string check_state(const std::string &state, const std::vector<uint8_t> &before, const Store &old_store,
                        const Store &new_store, const ReplayOptions &opt, const std::string &scratch,
                        std::string *boot);
