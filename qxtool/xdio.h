// The device layer: the only place that knows how disks, floppies and image
// files are named, opened and transferred on this platform. Everything above
// it sees whole 512-byte sectors at 32-bit sector positions.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

struct xd_t;

enum : uint32_t {
    XD_OPEN = 1,    // the handle holds an open operating-system handle
    XD_DEVICE = 2,  // the target was named as a device (or is a block device)
};

// State of the partition walk behind "(hdN,P)".
struct xd_enum_state {
    uint8_t index = 255;   // partition found last; 255 before the first call
    uint8_t wanted = 255;  // partition asked for; 255 means "the next one"
    uint8_t type = 0;
    uint32_t start = 0;
    uint32_t size = 0;
    uint32_t ext_base = 0;
    std::vector<uint32_t> seen;  // extended records visited: a chain that comes back is a loop
};

xd_t *xd_open(const char *name, int write);
// Why the last xd_open returned nothing, when the device layer can say more
// than that the open failed (a target in use, a sector size the layout
// cannot take): one message naming the target; nullptr otherwise.
const char *xd_open_error();
int xd_seek(xd_t *xd, uint32_t sector);
int xd_read(xd_t *xd, void *buf, uint32_t count);
int xd_write(xd_t *xd, const void *buf, uint32_t count);
uint32_t xd_size(xd_t *xd);
void xd_close(xd_t *xd);
int xd_lock(xd_t *xd);
void xd_unlock();
int xd_enum(xd_t *xd, xd_enum_state *st);

// Durability: returns once everything written so far is on the medium.
int xd_sync(xd_t *xd);
// Cuts an image file at its current position (archives shrink this way).
int xd_truncate(xd_t *xd);

uint32_t xd_flags(const xd_t *xd);
uint32_t xd_cur(const xd_t *xd);

// Name of the N-th whole disk of the system, as "(hdN)" stands for it; an
// empty string when there is none.
const char *xd_disk_path(int n);

// Puts standard input and output in binary mode where the platform has a
// text mode, so that file contents pass through them unchanged.
void xd_binary_stdio();

// Flushes a host file written through stdio and returns once its bytes are
// on the medium (archives and exported files); 0 on success.
int xd_file_sync(FILE *f);

// Sets a host file's length to size bytes; 0 on success.
int xd_file_truncate(FILE *f, uint64_t size);
// Gives the host file f the permissions of the file at path, where the
// platform has them; 0 on success.
int xd_file_mode_like(FILE *f, const char *path);
// Puts the closed host file from in the place of the file at to (replacing
// it in one step) and returns once the new name is on the medium; 0 on
// success.
int xd_file_replace(const char *from, const char *to);

// True when the host file f is the file or device the target is, however
// either is named: the same file through another path or link, a loop
// device that shows the target file (or the file a target loop device
// shows), or a partition of the target disk.
bool xd_is_file(xd_t *xd, FILE *f);

// Claims the target for this run: shared for a run that only reads it,
// exclusive for one that writes it. Returns 0 once claimed, 1 when another
// run holds a claim that conflicts. The claim ends with xd_close.
int xd_claim(xd_t *xd, int exclusive);
// The same for a host file that a run reads (shared) or writes (exclusive);
// the claim ends when f is closed.
int xd_file_claim(FILE *f, int exclusive);

// A hook for tests: when set, it is asked before every write and a true
// answer makes that write fail as a device error would.
extern bool (*xd_write_fault)(uint32_t sector, uint32_t count);

// A hook for tests: when set, the POSIX layer tells it of every change it
// made to a target, right after it succeeded, so that a test can rebuild what a
// power cut at any instant could have left. path is the name the target
// was opened by (a host file flushed by xd_file_sync: the path its
// descriptor resolves to). A write gives its first sector, its sector
// count and its bytes; a truncation gives the new size in sectors; a
// flush gives neither.
enum xd_event { XD_EV_WRITE, XD_EV_SYNC, XD_EV_TRUNCATE, XD_EV_FILE_SYNC };
extern void (*xd_record)(xd_event ev, const char *path, uint32_t sector, uint32_t count, const void *data);
