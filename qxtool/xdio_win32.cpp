// Win32 device layer: physical drives, floppies, drive letters and image
// files through CreateFileA/ReadFile/WriteFile, unbuffered and write-through.
// Unbuffered handles accept only sector-aligned buffers: every transfer goes
// through an aligned bounce buffer unless the caller's buffer is aligned.
#include "xdio.h"
#include "xdio_common.h"
#include "common.h"

#include <windows.h>
#include <winioctl.h>

#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cstdio>
#include <cstring>

struct xd_t {
    uint32_t flags = 0;
    HANDLE handle = INVALID_HANDLE_VALUE;
    uint32_t cur = 0;
};

uint32_t xd_flags(const xd_t *xd) { return xd->flags; }
uint32_t xd_cur(const xd_t *xd) { return xd->cur; }

const char *xd_disk_path(int n) {
    static char path[32];
    snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%d", n);
    return path;
}

static HANDLE open_raw(const char *path, int write, DWORD disposition) {
    return CreateFileA(path, write ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                       FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING, nullptr);
}

static bool device_number(HANDLE h, STORAGE_DEVICE_NUMBER *sdn) {
    DWORD got = 0;
    return DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, sdn, sizeof *sdn, &got,
                           nullptr) != 0;
}

// The physical disk that holds the volume of a drive letter.
static HANDLE get_disk(char letter, int write) {
    char vol[8];
    snprintf(vol, sizeof vol, "\\\\.\\%c:", letter);
    HANDLE hv = CreateFileA(vol, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    if (hv == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    STORAGE_DEVICE_NUMBER want;
    bool ok = device_number(hv, &want);
    CloseHandle(hv);
    if (!ok) return INVALID_HANDLE_VALUE;
    for (int i = 0; i < 20; i++) {
        HANDLE hd = open_raw(xd_disk_path(i), write, OPEN_EXISTING);
        if (hd == INVALID_HANDLE_VALUE) continue;
        STORAGE_DEVICE_NUMBER got;
        if (device_number(hd, &got) && got.DeviceType == want.DeviceType &&
            got.DeviceNumber == want.DeviceNumber)
            return hd;
        CloseHandle(hd);
    }
    return INVALID_HANDLE_VALUE;
}

xd_t *xd_open(const char *name, int write) {
    HANDLE h = INVALID_HANDLE_VALUE;
    uint32_t flags = XD_OPEN;
    int part = -1;
    if (name[0] == '(') {
        dev_name dn;
        if (!parse_dev_name(name, &dn)) return nullptr;
        char path[32];
        if (dn.kind == 'h') snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%d", dn.num);
        else snprintf(path, sizeof path, "\\\\.\\%c:", 'A' + dn.num);
        h = open_raw(path, write, OPEN_EXISTING);
        flags |= XD_DEVICE;
        part = dn.part;
    } else if (name[0] && name[1] && !name[2] && isalpha((unsigned char)name[0])) {
        h = get_disk(char(toupper((unsigned char)name[0])), write);
        if (h != INVALID_HANDLE_VALUE) flags |= XD_DEVICE;
    }
    if (h == INVALID_HANDLE_VALUE && !(flags & XD_DEVICE)) {
        if (!name[0]) return nullptr;
        h = open_raw(name, write, write ? OPEN_ALWAYS : OPEN_EXISTING);
    }
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    xd_t *xd = new xd_t;
    xd->handle = h;
    xd->flags = flags;
    if (part >= 0) {
        xd_enum_state st;
        st.wanted = uint8_t(part);
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
    // Unbuffered write-through handles have nothing cached; flushing is a
    // cheap extra guarantee for media with their own write cache.
    if (!(xd->flags & XD_OPEN)) return 0;
    FlushFileBuffers(xd->handle);
    return 0;
}

int xd_truncate(xd_t *xd) { return SetEndOfFile(xd->handle) ? 0 : 1; }

void xd_close(xd_t *xd) {
    if (!xd) return;
    if (xd->flags & XD_OPEN) CloseHandle(xd->handle);
    delete xd;
}

static HANDLE locked_volumes[24];

int xd_lock(xd_t *xd) {
    if (!(xd->flags & XD_DEVICE)) return 0;
    STORAGE_DEVICE_NUMBER disk;
    if (!device_number(xd->handle, &disk)) return 0;
    for (int i = 0; i < 24; i++) {
        char vol[8];
        snprintf(vol, sizeof vol, "\\\\.\\%c:", 'C' + i);
        HANDLE hv = CreateFileA(vol, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
        if (hv == INVALID_HANDLE_VALUE) continue;
        STORAGE_DEVICE_NUMBER sdn;
        if (!device_number(hv, &sdn) || sdn.DeviceType != disk.DeviceType ||
            sdn.DeviceNumber != disk.DeviceNumber) {
            CloseHandle(hv);
            continue;
        }
        DWORD got = 0;
        if (!DeviceIoControl(hv, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr)) {
            CloseHandle(hv);
            return 1;
        }
        locked_volumes[i] = hv;
    }
    return 0;
}

void xd_unlock() {
    for (HANDLE &hv : locked_volumes) {
        if (!hv) continue;
        DWORD got = 0;
        DeviceIoControl(hv, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &got, nullptr);
        DeviceIoControl(hv, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr);
        CloseHandle(hv);
        hv = nullptr;
    }
}

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

int xd_file_truncate(FILE *f, uint64_t size) { return _chsize_s(_fileno(f), int64_t(size)) == 0 ? 0 : 1; }

// Windows files carry no permission bits that a new file would lack.
int xd_file_mode_like(FILE *, const char *) { return 0; }

int xd_file_replace(const char *from, const char *to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : 1;
}
