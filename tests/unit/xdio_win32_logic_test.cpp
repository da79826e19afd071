// The Win32 device layer's decisions against a fake system that records
// every call: how names are read, how targets are opened and shared, the
// flush result, the sector-size refusal, and the order of volume locking.
#include "xdio_win32_logic.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace win;

namespace {

// One thing CreateFileA can open on the fake system.
struct fake_object {
    std::string label;             // how the trace names it
    bool has_number = false;       // answers IOCTL_STORAGE_GET_DEVICE_NUMBER
    device_number number;
    uint32_t sector = 0;           // bytes per sector; 0: the query fails
    bool has_extents = false;      // answers IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS
    std::vector<uint32_t> extents;
    int lock_refusals = 0;         // FSCTL_LOCK_VOLUME fails this many times (-1: always)
    bool dismount_fails = false;
    bool busy = false;             // another handle's sharing refuses every open
    bool access_denied = false;    // opens only with no access (for queries)
};

class fake_system : public win_system {
public:
    std::map<std::string, fake_object> objects;  // by path
    std::vector<std::string> volume_names;
    bool volumes_listed = true;
    bool flush_ok = true;
    std::vector<std::string> trace;
    std::map<handle, std::string> open_handles;  // handle -> path
    std::map<handle, bool> query_handles;        // opened with no access

    void add_disk(int n, uint32_t sector = 512) {
        fake_object o;
        o.label = "disk" + std::to_string(n);
        o.has_number = true;
        o.number = {7, uint32_t(n)};
        o.sector = sector;
        objects["\\\\.\\PhysicalDrive" + std::to_string(n)] = o;
    }
    // A volume, listed by its GUID name; with a letter it also opens as
    // "\\.\X:". extents empty: it answers only by its device number.
    fake_object &add_volume(const std::string &label, std::vector<uint32_t> extents, char letter = 0) {
        fake_object o;
        o.label = label;
        o.has_extents = !extents.empty();
        o.extents = extents;
        o.has_number = true;
        o.number = {7, extents.empty() ? 99u : extents[0]};
        const std::string path = "\\\\?\\Volume{" + label + "}";
        volume_names.push_back(path);
        if (letter) objects[std::string("\\\\.\\") + letter + ':'] = o;
        return objects[path] = o;
    }
    std::string label(handle h) const {
        auto it = open_handles.find(h);
        if (it == open_handles.end()) return "(not open)";
        return objects.at(it->second).label + (query_handles.at(h) ? "?" : "");
    }

    handle open(const open_request &r) override {
        trace.push_back("open " + r.path + (r.write ? " rw" : " r") + (r.share_write ? " share-rw" : " share-r") +
                        (r.create ? " always" : " existing") + (r.raw ? " raw" : "") + (r.query ? " query" : ""));
        last_busy = false;
        auto it = objects.find(r.path);
        if (it == objects.end()) return no_handle;
        if (it->second.busy) {
            last_busy = true;
            return no_handle;
        }
        if (it->second.access_denied && !r.query) return no_handle;
        handle h = next++;
        open_handles[h] = r.path;
        query_handles[h] = r.query;
        return h;
    }
    bool in_use() override { return last_busy; }
    void close(handle h) override {
        trace.push_back("close " + label(h));
        EXPECT_EQ(open_handles.erase(h), 1u) << "closed twice or never opened";
        query_handles.erase(h);
    }
    bool flush(handle h) override {
        trace.push_back("flush " + label(h));
        return flush_ok;
    }
    bool get_device_number(handle h, device_number *out) override {
        const fake_object &o = obj(h);
        if (o.has_number) *out = o.number;
        return o.has_number;
    }
    bool sector_size(handle h, uint32_t *bytes) override {
        const fake_object &o = obj(h);
        *bytes = o.sector;
        return o.sector != 0;
    }
    bool volume_disks(handle v, std::vector<uint32_t> *disks) override {
        const fake_object &o = obj(v);
        *disks = o.extents;
        return o.has_extents;
    }
    bool list_volumes(std::vector<std::string> *names) override {
        *names = volume_names;
        return volumes_listed;
    }
    bool lock_volume(handle v) override {
        trace.push_back("lock " + label(v));
        fake_object &o = obj(v);
        if (o.lock_refusals == 0) return true;
        if (o.lock_refusals > 0) o.lock_refusals--;
        return false;
    }
    bool dismount_volume(handle v) override {
        trace.push_back("dismount " + label(v));
        return !obj(v).dismount_fails;
    }
    bool unlock_volume(handle v) override {
        trace.push_back("unlock " + label(v));
        return true;
    }
    bool update_properties(handle d) override {
        trace.push_back("update " + label(d));
        return true;
    }
    void sleep_ms(unsigned ms) override { trace.push_back("sleep " + std::to_string(ms)); }

    // The trace without the opens, which the open tests look at.
    std::vector<std::string> actions() const {
        std::vector<std::string> out;
        for (const std::string &s : trace)
            if (s.compare(0, 5, "open ") != 0) out.push_back(s);
        return out;
    }
    std::vector<std::string> opens() const {
        std::vector<std::string> out;
        for (const std::string &s : trace)
            if (s.compare(0, 5, "open ") == 0) out.push_back(s.substr(5));
        return out;
    }

private:
    handle next = 3;
    bool last_busy = false;
    fake_object &obj(handle h) {
        auto it = open_handles.find(h);
        if (it == open_handles.end()) {
            ADD_FAILURE() << "call on a handle that is not open";
            static fake_object none;
            return none;
        }
        return objects.at(it->second);
    }
};

using strings = std::vector<std::string>;

}  // namespace

TEST(WinTargetNames, EachFormMeansOneThing) {
    struct Case {
        const char *name;
        target_kind kind;
        int number;
        int part;
        char letter;
        const char *path;
    } cases[] = {
        {"G:", target_kind::drive_letter, 0, -1, 'G', "\\\\.\\G:"},
        {"g:", target_kind::drive_letter, 0, -1, 'G', "\\\\.\\G:"},
        // Two characters are a drive letter only with the colon.
        {"e1", target_kind::image, 0, -1, 0, "e1"},
        {"gx", target_kind::image, 0, -1, 0, "gx"},
        {"1:", target_kind::image, 0, -1, 0, "1:"},
        {"\xe9:", target_kind::image, 0, -1, 0, "\xe9:"},
        {"G:x.img", target_kind::image, 0, -1, 0, "G:x.img"},
        {"G:\\x.img", target_kind::image, 0, -1, 0, "G:\\x.img"},
        {"x", target_kind::image, 0, -1, 0, "x"},
        {"(hd2)", target_kind::disk, 2, -1, 0, "\\\\.\\PhysicalDrive2"},
        {"(hd0x13,4)", target_kind::disk, 19, 4, 0, "\\\\.\\PhysicalDrive19"},
        {"(fd1)", target_kind::floppy, 1, -1, 0, "\\\\.\\B:"},
        {"(fd0,1)", target_kind::floppy, 0, 1, 0, "\\\\.\\A:"},
        {"\\\\.\\PhysicalDrive3", target_kind::disk, 3, -1, 0, "\\\\.\\PhysicalDrive3"},
        {"\\\\.\\physicaldrive12", target_kind::disk, 12, -1, 0, "\\\\.\\PhysicalDrive12"},
        {"\\\\.\\PhysicalDrive0", target_kind::disk, 0, -1, 0, "\\\\.\\PhysicalDrive0"},
        // Spellings Windows has no disk for stay paths (and fail to open).
        {"\\\\.\\PhysicalDrive", target_kind::image, 0, -1, 0, "\\\\.\\PhysicalDrive"},
        {"\\\\.\\PhysicalDrive01", target_kind::image, 0, -1, 0, "\\\\.\\PhysicalDrive01"},
        {"\\\\.\\PhysicalDrive1x", target_kind::image, 0, -1, 0, "\\\\.\\PhysicalDrive1x"},
        {"\\\\.\\PhysicalDrive1000", target_kind::image, 0, -1, 0, "\\\\.\\PhysicalDrive1000"},
        {"(hd20)", target_kind::invalid, 0, -1, 0, ""},
        {"(hd0", target_kind::invalid, 0, -1, 0, ""},
        {"(fd2)", target_kind::invalid, 0, -1, 0, ""},
        {"(x.img", target_kind::invalid, 0, -1, 0, ""},
        {"", target_kind::invalid, 0, -1, 0, ""},
    };
    for (const Case &c : cases) {
        const target_name t = parse_target_name(c.name);
        EXPECT_EQ(int(t.kind), int(c.kind)) << c.name;
        EXPECT_EQ(t.path, c.path) << c.name;
        EXPECT_EQ(t.number, c.number) << c.name;
        EXPECT_EQ(t.part, c.part) << c.name;
        EXPECT_EQ(t.letter, c.letter) << c.name;
    }
}

TEST(WinOpen, ImagesShareWithReadersOnlyAndLettersFindTheirDisk) {
    struct Case {
        const char *name;
        bool write;
        bool opens;
        bool device;
        const char *handle;  // label of the handle returned
        strings opened;      // every CreateFileA, in order
        std::string error;
    } cases[] = {
        // An image named like a drive is a file; a writer keeps other
        // writers and readers out, a reader keeps writers out.
        {"e1", true, true, false, "e1", {"e1 rw share-r always raw"}, ""},
        {"e1", false, true, false, "e1", {"e1 r share-r existing raw"}, ""},
        {"busy.img", true, false, false, "", {"busy.img rw share-r always raw"},
         "busy.img is in use by another run"},
        {"busy.img", false, false, false, "", {"busy.img r share-r existing raw"},
         "busy.img is in use by another run"},
        {"missing.img", false, false, false, "", {"missing.img r share-r existing raw"}, ""},
        // Disks are shared with the volumes mounted on them.
        {"(hd1)", true, true, true, "disk1", {"\\\\.\\PhysicalDrive1 rw share-rw existing raw"}, ""},
        {"(hd1)", false, true, true, "disk1", {"\\\\.\\PhysicalDrive1 r share-rw existing raw"}, ""},
        {"\\\\.\\PhysicalDrive1", true, true, true, "disk1", {"\\\\.\\PhysicalDrive1 rw share-rw existing raw"}, ""},
        {"(hd5)", true, false, false, "", {"\\\\.\\PhysicalDrive5 rw share-rw existing raw"}, ""},
        {"(fd0)", true, true, true, "floppyA", {"\\\\.\\A: rw share-rw existing raw"}, ""},
        // A drive letter stands for the whole disk that holds the volume.
        {"e:",
         true,
         true,
         true,
         "disk1",
         {"\\\\.\\E: r share-rw existing", "\\\\.\\PhysicalDrive0 rw share-rw existing raw",
          "\\\\.\\PhysicalDrive1 rw share-rw existing raw"},
         ""},
        // No volume G: at all: nothing else is tried, no path "G:".
        {"G:", true, false, false, "", {"\\\\.\\G: r share-rw existing"}, ""},
        // A 4K-sector disk cannot take the layout's 512-byte sectors.
        {"(hd3)", true, false, false, "", {"\\\\.\\PhysicalDrive3 rw share-rw existing raw"},
         "(hd3) has 4096-byte sectors: only 512-byte sectors are supported"},
        {"F:",
         false,
         false,
         false,
         "",
         {"\\\\.\\F: r share-rw existing", "\\\\.\\PhysicalDrive0 r share-rw existing raw",
          "\\\\.\\PhysicalDrive1 r share-rw existing raw", "\\\\.\\PhysicalDrive2 r share-rw existing raw",
          "\\\\.\\PhysicalDrive3 r share-rw existing raw"},
         "F: has 4096-byte sectors: only 512-byte sectors are supported"},
        // A disk whose geometry cannot be had is not refused for it.
        {"(hd4)", true, true, true, "disk4", {"\\\\.\\PhysicalDrive4 rw share-rw existing raw"}, ""},
    };
    for (const Case &c : cases) {
        fake_system sys;
        sys.add_disk(0);
        sys.add_disk(1);
        sys.add_disk(2);
        sys.add_disk(3, 4096);
        sys.add_disk(4, 0);
        sys.add_volume("E", {1}, 'E');
        sys.add_volume("F", {3}, 'F');
        sys.objects["e1"].label = "e1";
        sys.objects["busy.img"] = {};
        sys.objects["busy.img"].busy = true;
        sys.objects["\\\\.\\A:"].label = "floppyA";
        sys.objects["\\\\.\\A:"].sector = 512;

        open_target t = open_target_name(sys, c.name, c.write);
        EXPECT_EQ(t.h != no_handle, c.opens) << c.name;
        EXPECT_EQ(t.device, c.device) << c.name;
        EXPECT_EQ(t.write, c.write) << c.name;
        EXPECT_EQ(t.error, c.error) << c.name;
        EXPECT_EQ(sys.opens(), c.opened) << c.name;
        if (c.opens) {
            EXPECT_EQ(sys.label(t.h), c.handle) << c.name;
            EXPECT_EQ(sys.open_handles.size(), 1u) << c.name << ": only the target stays open";
        } else {
            EXPECT_TRUE(sys.open_handles.empty()) << c.name << ": a failed open leaves nothing open";
        }
    }
}

TEST(WinFlush, AFailedFlushIsAFailure) {
    struct Case {
        bool write;
        bool flush_ok;
        bool result;
        strings actions;
    } cases[] = {
        {true, true, true, {"flush disk1"}},
        {true, false, false, {"flush disk1"}},
        // A handle opened for reading has nothing to flush (and
        // FlushFileBuffers would refuse it).
        {false, false, true, {}},
    };
    for (const Case &c : cases) {
        fake_system sys;
        sys.add_disk(1);
        sys.flush_ok = c.flush_ok;
        open_target t = open_target_name(sys, "(hd1)", c.write);
        ASSERT_NE(t.h, no_handle);
        EXPECT_EQ(flush_target(sys, t), c.result) << c.write << c.flush_ok;
        EXPECT_EQ(sys.actions(), c.actions) << c.write << c.flush_ok;
    }
}

// Windows' order for re-laying out a disk: lock each of its volumes,
// dismount it, write the disk, ask the disk (on its own handle, still open)
// to re-read its partition table, then release the volumes; a failure on
// the way releases whatever was taken.
TEST(WinVolumeLocks, DocumentedOrderOnEveryPath) {
    auto cat = [](std::initializer_list<strings> parts) {
        strings all;
        for (const strings &p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    // A volume is first asked which disk it lies on (through a handle
    // opened for no access, "X?"); only then is it opened and locked.
    auto take = [](const std::string &v) { return strings{"close " + v + "?", "lock " + v, "dismount " + v}; };
    auto give_back = [](const std::string &v) { return strings{"unlock " + v, "close " + v}; };
    const strings not_ours = {"close B?"};
    // Every try of a lock that fails each time, with the waits between.
    strings held_c = {"close C?"};
    for (int i = 0; i < lock_tries; i++) {
        if (i) held_c.push_back("sleep 200");
        held_c.push_back("lock C");
    }
    struct Case {
        const char *what;
        int a_refusals;      // lock refusals of volume A
        int c_refusals;      // of volume C
        bool c_dismount_fails;
        bool c_access_denied;
        bool volumes_listed;
        bool locked;
        strings actions;     // from the lock to the target's close
    } cases[] = {
        {"all volumes of the disk, with a letter or none, and only those",
         0, 0, false, false, true, true,
         cat({take("A"), not_ours, take("C"), take("Letterless"), {"close Other?", "write", "update disk1"},
              give_back("A"), give_back("C"), give_back("Letterless"), {"close disk1"}})},
        {"a volume briefly held elsewhere is tried again",
         2, 0, false, false, true, true,
         cat({{"close A?", "lock A", "sleep 200", "lock A", "sleep 200", "lock A", "dismount A"}, not_ours,
              take("C"), take("Letterless"), {"close Other?", "write", "update disk1"}, give_back("A"),
              give_back("C"), give_back("Letterless"), {"close disk1"}})},
        {"a volume that stays held: what was taken is released",
         0, -1, false, false, true, false,
         cat({take("A"), not_ours, held_c, {"close C"}, give_back("A"), {"close disk1"}})},
        {"a volume that does not dismount is unlocked and released with the others",
         0, 0, true, false, true, false,
         cat({take("A"), not_ours, take("C"), give_back("C"), give_back("A"), {"close disk1"}})},
        {"a volume of the disk that cannot be opened to lock it",
         0, 0, false, true, true, false,
         cat({take("A"), not_ours, {"close C?"}, give_back("A"), {"close disk1"}})},
        {"the volumes cannot be listed: nothing is written",
         0, 0, false, false, false, false,
         {"close disk1"}},
    };
    for (const Case &c : cases) {
        fake_system sys;
        sys.add_disk(0);
        sys.add_disk(1);
        sys.add_volume("A", {1}, 'G').lock_refusals = c.a_refusals;
        sys.add_volume("B", {0}, 'C');
        fake_object &vc = sys.add_volume("C", {}, 0);  // answers only by device number
        vc.number = {7, 1};
        vc.lock_refusals = c.c_refusals;
        vc.dismount_fails = c.c_dismount_fails;
        vc.access_denied = c.c_access_denied;
        sys.add_volume("Letterless", {0, 1});  // spans disks 0 and 1
        sys.add_volume("Other", {2});
        sys.volumes_listed = c.volumes_listed;

        open_target t = open_target_name(sys, "(hd1)", true);
        ASSERT_NE(t.h, no_handle);
        sys.trace.clear();
        volume_locks locks;
        EXPECT_EQ(locks.lock(sys, t), c.locked) << c.what;
        if (c.locked) sys.trace.push_back("write");
        close_target(sys, locks, t);
        locks.release(sys);  // the end of the run: nothing is left to release twice
        EXPECT_EQ(sys.actions(), c.actions) << c.what;
        EXPECT_TRUE(sys.open_handles.empty()) << c.what;
    }
}

TEST(WinVolumeLocks, AFloppyLocksItsOwnHandleAndImagesNothing) {
    fake_system sys;
    sys.objects["\\\\.\\A:"].label = "floppyA";
    sys.objects["img"].label = "img";
    sys.add_volume("A", {1});

    open_target f = open_target_name(sys, "(fd0)", true);
    ASSERT_NE(f.h, no_handle);
    volume_locks locks;
    ASSERT_TRUE(locks.lock(sys, f));
    close_target(sys, locks, f);
    EXPECT_EQ(sys.actions(), (strings{"lock floppyA", "dismount floppyA", "unlock floppyA", "close floppyA"}));

    sys.trace.clear();
    open_target i = open_target_name(sys, "img", true);
    ASSERT_NE(i.h, no_handle);
    EXPECT_TRUE(locks.lock(sys, i));
    close_target(sys, locks, i);
    EXPECT_EQ(sys.actions(), (strings{"close img"}));
    EXPECT_TRUE(sys.open_handles.empty());
}
