// The decisions of the Win32 device layer, apart from the Win32 calls they
// make: how a name is read, how a target is opened and shared, when a flush
// counts as failed, which volumes sit on a disk and in which order they are
// locked, dismounted and released. The calls themselves come through
// win_system, which xdio_win32.cpp binds to the real ones; this file knows
// no Windows header, so that the same code runs against a fake anywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace win {

// Stands for a HANDLE; no_handle is INVALID_HANDLE_VALUE.
using handle = uintptr_t;
constexpr handle no_handle = ~uintptr_t(0);

// What a name given on the command line stands for.
enum class target_kind {
    invalid,       // begins with '(' but is no device form: never opens
    image,         // anything else: an image or archive file
    disk,          // "(hdN)", "(hdN,P)", "\\.\PhysicalDriveN"
    floppy,        // "(fdN)", "(fdN,P)": the volume A: or B: itself
    drive_letter,  // "G:": the whole disk that holds volume G:
};

struct target_name {
    target_kind kind = target_kind::invalid;
    int number = 0;     // disk or floppy number
    int part = -1;      // partition asked for by ",P"; -1 when none
    char letter = 0;    // 'A' to 'Z' for a drive letter
    std::string path;   // what CreateFileA opens (for a drive letter: its volume)
};

target_name parse_target_name(const char *name);

// How CreateFileA is asked to open something.
struct open_request {
    std::string path;
    bool write = false;        // GENERIC_WRITE besides GENERIC_READ
    bool share_write = false;  // FILE_SHARE_WRITE besides FILE_SHARE_READ
    bool create = false;       // OPEN_ALWAYS rather than OPEN_EXISTING
    bool raw = false;          // FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH
    bool query = false;        // no access at all: for device queries only
};

// IOCTL_STORAGE_GET_DEVICE_NUMBER's answer.
struct device_number {
    uint32_t type = 0;
    uint32_t number = 0;
};

// The Win32 calls the device layer makes, one member for each.
class win_system {
public:
    virtual ~win_system() = default;
    // CreateFileA; no_handle on failure, and then in_use() tells whether
    // another open handle's sharing refused it (ERROR_SHARING_VIOLATION).
    virtual handle open(const open_request &req) = 0;
    virtual bool in_use() = 0;
    virtual void close(handle h) = 0;                             // CloseHandle
    virtual bool flush(handle h) = 0;                             // FlushFileBuffers
    virtual bool get_device_number(handle h, device_number *out) = 0;  // IOCTL_STORAGE_GET_DEVICE_NUMBER
    // IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: the bytes per sector.
    virtual bool sector_size(handle h, uint32_t *bytes) = 0;
    // IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: the disk number of every extent.
    virtual bool volume_disks(handle volume, std::vector<uint32_t> *disks) = 0;
    // FindFirstVolumeA/FindNextVolumeA: every volume's name as CreateFileA
    // opens it ("\\?\Volume{...}", no trailing backslash).
    virtual bool list_volumes(std::vector<std::string> *names) = 0;
    virtual bool lock_volume(handle volume) = 0;        // FSCTL_LOCK_VOLUME
    virtual bool dismount_volume(handle volume) = 0;    // FSCTL_DISMOUNT_VOLUME
    virtual bool unlock_volume(handle volume) = 0;      // FSCTL_UNLOCK_VOLUME
    virtual bool update_properties(handle disk) = 0;    // IOCTL_DISK_UPDATE_PROPERTIES
    virtual void sleep_ms(unsigned ms) = 0;             // Sleep
};

// Every sector position above the device layer counts 512-byte sectors.
constexpr uint32_t layout_sector = 512;

// Highest disk number that "(hdN)" and a drive letter's disk search reach.
constexpr int max_disk = 19;

// FSCTL_LOCK_VOLUME fails while another program (Explorer, an indexer, an
// antivirus scanner) briefly holds a file of the volume open: try this many
// times, this far apart.
constexpr int lock_tries = 10;
constexpr unsigned lock_wait_ms = 200;

// An open target: the handle and what was learnt opening it.
struct open_target {
    handle h = no_handle;
    bool device = false;  // named in a device form: a disk or a floppy
    bool volume = false;  // the handle is a volume (a floppy), not a disk
    bool write = false;
    int part = -1;
    std::string error;    // why the open failed, when more is known than that it did
};

// Opens what name stands for. A disk or drive letter is shared with the
// volumes mounted on it (their locks protect it while it is re-laid out); an
// image file opened for writing admits no other writer, and one opened for
// reading admits readers only. A disk whose sectors are not 512 bytes is
// refused. On failure h is no_handle and nothing stays open.
open_target open_target_name(win_system &sys, const char *name, bool write);

// The disk that holds the volume of a drive letter, opened like a disk
// target; no_handle when there is none.
handle find_letter_disk(win_system &sys, char letter, bool write);

// Returns true once everything written through the target is on the
// medium. A target opened for reading has nothing to flush.
bool flush_target(win_system &sys, const open_target &t);

// The volumes of one disk, held locked and dismounted while the disk is
// re-laid out. The order is the one Windows documents: lock each volume,
// dismount it, write the disk, ask the disk to re-read its partition table
// (on the disk's handle, before it is closed), then release the locks.
class volume_locks {
public:
    // Locks and dismounts every volume on the target's disk, however it is
    // named (with a drive letter or none). On failure the volumes taken so
    // far are released and false is returned.
    bool lock(win_system &sys, const open_target &t);
    // Called before the target's handle closes, on every path: asks the
    // disk to re-read its partition table and releases the volumes.
    void finish(win_system &sys, const open_target &t);
    // Releases the volumes without a re-read (nothing of the disk changed).
    void release(win_system &sys);
    bool holding(const open_target &t) const { return owner == t.h && owner != no_handle; }

private:
    handle owner = no_handle;      // the disk handle the locks were taken for
    std::vector<handle> volumes;   // locked and dismounted, in locking order
    bool own_handle_locked = false;  // a floppy: its own handle is the volume
    bool take(win_system &sys, handle v);
};

// Closes the target: the disk re-reads its partition table and its volumes
// are released first when they were locked for it, whether the run succeeded
// or stopped on an error.
void close_target(win_system &sys, volume_locks &locks, open_target &t);

}  // namespace win
