// The decisions of the Win32 device layer; the calls come through
// win_system (see xdio_win32_logic.h).
#include "xdio_win32_logic.h"
#include "xdio_common.h"

#include <cstdio>
#include <cstring>

namespace win {

namespace {

std::string disk_path(int n) { return "\\\\.\\PhysicalDrive" + std::to_string(n); }

std::string volume_path(char letter) { return std::string("\\\\.\\") + letter + ':'; }

bool ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

bool same_ignoring_case(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

// "\\.\PhysicalDriveN" as Windows names it: N in decimal without leading
// zeros. Any other spelling is no disk Windows knows, and is left to open
// (and fail) as a path.
bool physical_drive(const char *name, int *n) {
    static const char prefix[] = "\\\\.\\PhysicalDrive";
    const size_t len = sizeof prefix - 1;
    if (strlen(name) <= len || !same_ignoring_case(name, prefix, len)) return false;
    const char *p = name + len;
    if (p[0] == '0' && p[1]) return false;
    int v = 0;
    for (int digits = 0; *p; p++, digits++) {
        if (*p < '0' || *p > '9' || digits == 3) return false;
        v = v * 10 + (*p - '0');
    }
    *n = v;
    return true;
}

}  // namespace

target_name parse_target_name(const char *name) {
    target_name t;
    if (!name[0]) return t;
    if (name[0] == '(') {
        dev_name dn;
        if (!parse_dev_name(name, &dn)) return t;
        t.number = dn.num;
        t.part = dn.part;
        if (dn.kind == 'h') {
            t.kind = target_kind::disk;
            t.path = disk_path(dn.num);
        } else {
            t.kind = target_kind::floppy;
            t.path = volume_path(char('A' + dn.num));
        }
        return t;
    }
    if (ascii_letter(name[0]) && name[1] == ':' && !name[2]) {
        t.kind = target_kind::drive_letter;
        t.letter = upper(name[0]);
        t.path = volume_path(t.letter);
        return t;
    }
    int n;
    if (physical_drive(name, &n)) {
        t.kind = target_kind::disk;
        t.number = n;
        t.path = disk_path(n);
        return t;
    }
    t.kind = target_kind::image;
    t.path = name;
    return t;
}

static open_request device_request(const std::string &path, bool write) {
    open_request r;
    r.path = path;
    r.write = write;
    r.share_write = true;
    r.raw = true;
    return r;
}

handle find_letter_disk(win_system &sys, char letter, bool write) {
    open_request vr;
    vr.path = volume_path(letter);
    vr.share_write = true;
    const handle v = sys.open(vr);
    if (v == no_handle) return no_handle;
    device_number want;
    const bool known = sys.get_device_number(v, &want);
    sys.close(v);
    if (!known) return no_handle;
    for (int i = 0; i <= max_disk; i++) {
        const handle d = sys.open(device_request(disk_path(i), write));
        if (d == no_handle) continue;
        device_number got;
        if (sys.get_device_number(d, &got) && got.type == want.type && got.number == want.number) return d;
        sys.close(d);
    }
    return no_handle;
}

open_target open_target_name(win_system &sys, const char *name, bool write) {
    open_target t;
    t.write = write;
    const target_name tn = parse_target_name(name);
    t.part = tn.part;
    switch (tn.kind) {
    case target_kind::invalid:
        return t;
    case target_kind::image: {
        // Two runs that change one image at once corrupt it: a writer
        // shares with nobody who writes, and a reader keeps writers out
        // while it reads, but readers share with each other.
        open_request r;
        r.path = tn.path;
        r.write = write;
        r.create = write;
        r.raw = true;
        t.h = sys.open(r);
        if (t.h == no_handle && sys.in_use()) t.error = std::string(name) + " is in use by another run";
        return t;
    }
    case target_kind::disk:
    case target_kind::floppy:
        t.h = sys.open(device_request(tn.path, write));
        t.volume = tn.kind == target_kind::floppy;
        break;
    case target_kind::drive_letter:
        t.h = find_letter_disk(sys, tn.letter, write);
        break;
    }
    if (t.h == no_handle) return t;
    t.device = true;
    uint32_t bytes = 0;
    if (sys.sector_size(t.h, &bytes) && bytes != layout_sector) {
        sys.close(t.h);
        t.h = no_handle;
        t.device = false;
        char msg[64];
        snprintf(msg, sizeof msg, " has %u-byte sectors: only 512-byte sectors are supported", unsigned(bytes));
        t.error = name + std::string(msg);
    }
    return t;
}

bool flush_target(win_system &sys, const open_target &t) {
    if (t.h == no_handle || !t.write) return true;
    return sys.flush(t.h);
}

// A volume may span disks: it is the disk's when any extent lies on it.
// Volumes that report no extents (optical, floppy) are matched by their
// device number.
static bool on_disk(win_system &sys, handle v, const device_number &disk) {
    std::vector<uint32_t> disks;
    if (sys.volume_disks(v, &disks)) {
        for (uint32_t d : disks)
            if (d == disk.number) return true;
        return false;
    }
    device_number vn;
    return sys.get_device_number(v, &vn) && vn.type == disk.type && vn.number == disk.number;
}

bool volume_locks::take(win_system &sys, handle v) {
    for (int i = 1;; i++) {
        if (sys.lock_volume(v)) break;
        if (i == lock_tries) return false;
        sys.sleep_ms(lock_wait_ms);
    }
    // A volume locked but still mounted would keep serving its old file
    // system from the cache over the sectors about to be rewritten.
    if (!sys.dismount_volume(v)) {
        sys.unlock_volume(v);
        return false;
    }
    return true;
}

bool volume_locks::lock(win_system &sys, const open_target &t) {
    if (!t.device || t.h == no_handle) return true;
    if (holding(t)) return true;
    release(sys);
    owner = t.h;
    if (t.volume) {
        // A floppy's handle is its volume: lock that very handle (a second
        // handle's lock would fail on the first).
        own_handle_locked = take(sys, t.h);
        if (!own_handle_locked) owner = no_handle;
        return own_handle_locked;
    }
    device_number disk;
    std::vector<std::string> names;
    if (!sys.get_device_number(t.h, &disk) || !sys.list_volumes(&names)) {
        owner = no_handle;
        return false;
    }
    for (const std::string &name : names) {
        // Which disk a volume lies on is asked through a handle that
        // requests no access, which opens whatever else holds the volume;
        // only this disk's volumes are then opened for locking, and one of
        // them that will not open stops the re-layout.
        open_request q;
        q.path = name;
        q.share_write = true;
        q.query = true;
        handle v = sys.open(q);
        if (v == no_handle) continue;
        const bool ours = on_disk(sys, v, disk);
        sys.close(v);
        if (!ours) continue;
        open_request r;
        r.path = name;
        r.write = true;
        r.share_write = true;
        v = sys.open(r);
        if (v == no_handle || !take(sys, v)) {
            if (v != no_handle) sys.close(v);
            release(sys);
            return false;
        }
        volumes.push_back(v);
    }
    return true;
}

void volume_locks::finish(win_system &sys, const open_target &t) {
    if (!holding(t)) return;
    if (!t.volume) sys.update_properties(t.h);
    release(sys);
}

void volume_locks::release(win_system &sys) {
    for (handle v : volumes) {
        sys.unlock_volume(v);
        sys.close(v);
    }
    volumes.clear();
    if (own_handle_locked) sys.unlock_volume(owner);
    own_handle_locked = false;
    owner = no_handle;
}

void close_target(win_system &sys, volume_locks &locks, open_target &t) {
    locks.finish(sys, t);
    if (t.h != no_handle) sys.close(t.h);
    t.h = no_handle;
}

}  // namespace win
