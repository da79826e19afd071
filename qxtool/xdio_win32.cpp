// Win32 device layer: physical drives, floppies, drive letters and image
// files through CreateFileA/ReadFile/WriteFile, unbuffered and write-through.
// Unbuffered handles accept only sector-aligned buffers: every transfer goes
// through an aligned bounce buffer unless the caller's buffer is aligned.
#include "xdio.h"
#include "xdio_common.h"
#include "common.h"
#include "xdio_win32_logic.h"

#include <windows.h>
#include <winioctl.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

namespace {

// The Win32 calls behind the device layer's decisions.
class system_calls final : public win::win_system {
public:
    win::handle open(const win::open_request &r) override {
        const DWORD access = r.query ? 0 : r.write ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
        HANDLE h = CreateFileA(r.path.c_str(), access,
                               FILE_SHARE_READ | (r.share_write ? FILE_SHARE_WRITE : 0), nullptr,
                               r.create ? OPEN_ALWAYS : OPEN_EXISTING,
                               r.raw ? (FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING) : 0, nullptr);
        last_error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        return to_id(h);
    }
    bool in_use() override { return last_error == ERROR_SHARING_VIOLATION; }
    void close(win::handle h) override { CloseHandle(of(h)); }
    bool flush(win::handle h) override { return FlushFileBuffers(of(h)) != 0; }
    bool get_device_number(win::handle h, win::device_number *out) override {
        STORAGE_DEVICE_NUMBER sdn;
        if (!ioctl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, &sdn, sizeof sdn)) return false;
        out->type = sdn.DeviceType;
        out->number = sdn.DeviceNumber;
        return true;
    }
    bool sector_size(win::handle h, uint32_t *bytes) override {
        DISK_GEOMETRY_EX gx;
        if (!ioctl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, &gx, sizeof gx)) return false;
        *bytes = gx.Geometry.BytesPerSector;
        return true;
    }
    bool volume_disks(win::handle v, std::vector<uint32_t> *disks) override {
        // Room for a volume spread over many disks.
        union {
            VOLUME_DISK_EXTENTS head;
            uint8_t room[sizeof(VOLUME_DISK_EXTENTS) + 63 * sizeof(DISK_EXTENT)];
        } ext;
        if (!ioctl(v, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, &ext, sizeof ext)) return false;
        disks->clear();
        for (DWORD i = 0; i < ext.head.NumberOfDiskExtents && i < 64; i++)
            disks->push_back(ext.head.Extents[i].DiskNumber);
        return true;
    }
    bool list_volumes(std::vector<std::string> *names) override {
        names->clear();
        char name[MAX_PATH + 1];
        HANDLE f = FindFirstVolumeA(name, MAX_PATH);
        if (f == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_NO_MORE_FILES;
        bool ok;
        for (;;) {
            // CreateFileA opens a volume by its name without the trailing
            // backslash (with it, the volume's root directory).
            std::string n = name;
            if (!n.empty() && n.back() == '\\') n.pop_back();
            names->push_back(n);
            if (!FindNextVolumeA(f, name, MAX_PATH)) {
                ok = GetLastError() == ERROR_NO_MORE_FILES;
                break;
            }
        }
        FindVolumeClose(f);
        return ok;
    }
    bool lock_volume(win::handle v) override { return ioctl(v, FSCTL_LOCK_VOLUME, nullptr, 0); }
    bool dismount_volume(win::handle v) override { return ioctl(v, FSCTL_DISMOUNT_VOLUME, nullptr, 0); }
    bool unlock_volume(win::handle v) override { return ioctl(v, FSCTL_UNLOCK_VOLUME, nullptr, 0); }
    bool update_properties(win::handle d) override { return ioctl(d, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0); }
    void sleep_ms(unsigned ms) override { Sleep(ms); }

private:
    DWORD last_error = 0;
    static HANDLE of(win::handle h) { return reinterpret_cast<HANDLE>(h); }
    static win::handle to_id(HANDLE h) { return reinterpret_cast<win::handle>(h); }
    static bool ioctl(win::handle h, DWORD code, void *out, DWORD size) {
        DWORD got = 0;
        return DeviceIoControl(of(h), code, nullptr, 0, out, size, &got, nullptr) != 0;
    }
};

system_calls calls;
// The volumes held while the target disk is re-laid out.
win::volume_locks locks;

}  // namespace

struct xd_t {
    uint32_t flags = 0;
    HANDLE handle = INVALID_HANDLE_VALUE;
    uint32_t cur = 0;
    win::open_target target;
    int claim = -1;  // -1 none, 0 shared, 1 exclusive (xd_claim)
};

uint32_t xd_flags(const xd_t *xd) { return xd->flags; }
uint32_t xd_cur(const xd_t *xd) { return xd->cur; }

const char *xd_disk_path(int n) {
    static char path[32];
    snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%d", n);
    return path;
}

xd_t *xd_open(const char *name, int write) {
    xd_set_open_error(nullptr);
    win::open_target t = win::open_target_name(calls, name, write != 0);
    if (t.h == win::no_handle) {
        if (!t.error.empty()) xd_set_open_error(t.error.c_str());
        return nullptr;
    }
    xd_t *xd = new xd_t;
    xd->handle = reinterpret_cast<HANDLE>(t.h);
    xd->flags = XD_OPEN | (t.device ? uint32_t(XD_DEVICE) : 0u);
    xd->target = t;
    if (t.part >= 0) {
        xd_enum_state st;
        st.wanted = uint8_t(t.part);
        if (xd_enum(xd, &st) || xd_seek(xd, st.start)) {
            xd_close(xd);
            return nullptr;
        }
    } else {
        xd_seek(xd, 0);
    }
    return xd;
}

int xd_seek(xd_t *xd, uint32_t sector) {
    if (xd->flags & XD_OPEN) {
        uint64_t pos = uint64_t(sector) * SECTOR;
        LONG high = LONG(pos >> 32);
        DWORD r = SetFilePointer(xd->handle, LONG(pos & 0xFFFFFFFFu), &high, FILE_BEGIN);
        if (r == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return 1;
    }
    xd->cur = sector;
    return 0;
}

// Sector-aligned bounce buffer for callers whose buffer is not aligned.
alignas(4096) static uint8_t bounce[GLOBAL_BUFFER_SIZE];

static bool aligned(const void *p) { return (reinterpret_cast<uintptr_t>(p) & (SECTOR - 1)) == 0; }

int xd_read(xd_t *xd, void *buf, uint32_t count) {
    uint8_t *p = static_cast<uint8_t *>(buf);
    uint32_t start = xd->cur;
    uint32_t done = 0;
    while (done < count) {
        uint32_t n = count - done;
        uint8_t *dst = p + size_t(done) * SECTOR;
        bool direct = aligned(dst);
        if (!direct && n > GLOBAL_SECTORS) n = GLOBAL_SECTORS;
        if (n > 0x7FFFFFu / SECTOR) n = 0x7FFFFFu / SECTOR;
        DWORD want = n * SECTOR, got = 0;
        if (!ReadFile(xd->handle, direct ? dst : bounce, want, &got, nullptr) || got != want) {
            xd_seek(xd, start);
            return 1;
        }
        if (!direct) memcpy(dst, bounce, want);
        done += n;
    }
    xd->cur = start + count;
    return 0;
}

int xd_write(xd_t *xd, const void *buf, uint32_t count) {
    if (xd_write_fault && xd_write_fault(xd->cur, count)) return 1;
    const uint8_t *p = static_cast<const uint8_t *>(buf);
    uint32_t start = xd->cur;
    uint32_t done = 0;
    while (done < count) {
        uint32_t n = count - done;
        const uint8_t *src = p + size_t(done) * SECTOR;
        bool direct = aligned(src);
        if (!direct && n > GLOBAL_SECTORS) n = GLOBAL_SECTORS;
        if (n > 0x7FFFFFu / SECTOR) n = 0x7FFFFFu / SECTOR;
        DWORD want = n * SECTOR, put = 0;
        if (!direct) memcpy(bounce, src, want);
        if (!WriteFile(xd->handle, direct ? src : bounce, want, &put, nullptr) || put != want) {
            xd_seek(xd, start);
            return 1;
        }
        done += n;
    }
    xd->cur = start + count;
    return 0;
}

// Sector numbers are 32-bit: a larger disk is used up to the last sector
// they can name rather than wrapping to a small size.
static uint32_t clamp_sectors(uint64_t n) { return n > 0xFFFFFFFEu ? 0xFFFFFFFEu : uint32_t(n); }

uint32_t xd_size(xd_t *xd) {
    if (xd->flags & XD_DEVICE) {
        DISK_GEOMETRY_EX gx;
        DWORD got = 0;
        if (DeviceIoControl(xd->handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &gx, sizeof gx,
                            &got, nullptr))
            return clamp_sectors(uint64_t(gx.DiskSize.QuadPart) / SECTOR);
        DISK_GEOMETRY g;
        if (DeviceIoControl(xd->handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &got,
                            nullptr))
            return clamp_sectors(uint64_t(g.Cylinders.QuadPart) * g.TracksPerCylinder * g.SectorsPerTrack);
        return 0xFFFFFFFFu;
    }
    DWORD high = 0;
    DWORD low = GetFileSize(xd->handle, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0xFFFFFFFFu;
    return clamp_sectors(((uint64_t(high) << 32) | low) / SECTOR);
}

int xd_sync(xd_t *xd) {
    if (!(xd->flags & XD_OPEN)) return 0;
    return win::flush_target(calls, xd->target) ? 0 : 1;
}

int xd_truncate(xd_t *xd) { return SetEndOfFile(xd->handle) ? 0 : 1; }

// The disk re-reads its partition table and its volumes are released
// before its handle closes, on the error path as on success.
void xd_close(xd_t *xd) {
    if (!xd) return;
    win::close_target(calls, locks, xd->target);
    delete xd;
}

int xd_lock(xd_t *xd) { return locks.lock(calls, xd->target) ? 0 : 1; }

// xd_close has released the volumes of the disk it closed; whatever is
// still held goes now.
void xd_unlock() { locks.release(calls); }

void xd_binary_stdio() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

int xd_file_sync(FILE *f) {
    if (fflush(f) != 0) return 1;
    return _commit(_fileno(f)) == 0 ? 0 : 1;
}

bool xd_is_file(xd_t *xd, FILE *f) {
    BY_HANDLE_FILE_INFORMATION a, b;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    if (!xd || !GetFileInformationByHandle(xd->handle, &a) || !GetFileInformationByHandle(h, &b)) return false;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// Runs claim image files and host files with a byte-range lock on one
// byte far past any data, which no transfer ever touches: shared for a run
// that reads, exclusive for one that writes. An image target is moreover
// opened with a share mode that keeps out whoever else would change it (a
// writer alone, readers together); a disk is guarded by the locks of its
// volumes (xd_lock) instead. A file system without byte-range locks leaves
// the file unclaimed, as on other platforms.
static int lock_claim(HANDLE h, int exclusive) {
    OVERLAPPED ov = {};
    ov.OffsetHigh = 0x7FFFFF00u;
    const DWORD how = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(h, how, 0, 1, 0, &ov)) return 0;
    return GetLastError() == ERROR_LOCK_VIOLATION ? 1 : 0;
}

static void drop_claim(HANDLE h) {
    OVERLAPPED ov = {};
    ov.OffsetHigh = 0x7FFFFF00u;
    UnlockFileEx(h, 0, 1, 0, &ov);
}

int xd_claim(xd_t *xd, int exclusive) {
    if (xd->flags & XD_DEVICE) return 0;
    if (xd->claim > (exclusive ? 0 : -1)) return 0;  // held already, as strong or stronger
    if (xd->claim == 0) {
        // From shared to exclusive: the shared claim goes first, and comes
        // back when another run holds the file too.
        drop_claim(xd->handle);
        xd->claim = -1;
        if (lock_claim(xd->handle, 1)) {
            if (lock_claim(xd->handle, 0) == 0) xd->claim = 0;
            return 1;
        }
        xd->claim = 1;
        return 0;
    }
    if (lock_claim(xd->handle, exclusive)) return 1;
    xd->claim = exclusive ? 1 : 0;
    return 0;
}

int xd_file_claim(FILE *f, int exclusive) {
    return lock_claim(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))), exclusive);
}

int xd_file_truncate(FILE *f, uint64_t size) { return _chsize_s(_fileno(f), int64_t(size)) == 0 ? 0 : 1; }

// Windows files carry no permission bits that a new file would lack.
int xd_file_mode_like(FILE *, const char *) { return 0; }

int xd_file_replace(const char *from, const char *to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : 1;
}
