// Makes the seed corpora under fuzz/corpus/<target>/ with the tool itself:
// fresh disks and archives made by format, create, add, add-menu and save,
// menus compiled by add-menu and printed by cat-menu, key names from the
// key table. Seeds are kept small: a disk seed is the part of the disk up
// to the end of its last primary-area file.
//   seedgen CORPUS_DIR
#include "harness.h"

#include "common.h"
#include "keytab.h"
#include "layout.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

std::string corpus;

void must(const std::vector<std::string> &words) {
    fz::result r = fz::run(words);
    if (r.status != 0) {
        fprintf(stderr, "seedgen: %s %s failed: %s", words[0].c_str(), words[1].c_str(), r.err.c_str());
        exit(1);
    }
}

std::string out_of(const std::vector<std::string> &words) {
    fz::result r = fz::run(words);
    if (r.status != 0) {
        fprintf(stderr, "seedgen: %s failed: %s", words[1].c_str(), r.err.c_str());
        exit(1);
    }
    return r.out;
}

void seed(const char *target, const char *name, const fz::bytes &b) {
    std::string dir = corpus + "/" + target;
    mkdir(dir.c_str(), 0755);
    fz::put_file(dir + "/" + name, b);
}
void seed(const char *target, const char *name, const std::string &s) {
    seed(target, name, fz::bytes(s.begin(), s.end()));
}

fz::bytes prefix(const fz::bytes &b, size_t sectors) {
    return fz::bytes(b.begin(), b.begin() + std::min(b.size(), sectors * 512));
}

// The first sectors of a file, as chunks for the partition walk.
fz::bytes chunk(uint32_t sector, const fz::bytes &b) {
    fz::bytes c(6);
    put32(&c[0], sector);
    put16(&c[4], uint32_t(b.size()));
    c.insert(c.end(), b.begin(), b.end());
    return c;
}

fz::bytes record(std::initializer_list<std::array<uint32_t, 3>> entries) {
    fz::bytes r(512, 0);
    int i = 0;
    for (auto &e : entries) {
        uint8_t *p = &r[0x1BE + 16 * i++];
        p[4] = uint8_t(e[0]);
        put32(p + 8, e[1]);
        put32(p + 12, e[2]);
    }
    r[510] = 0x55;
    r[511] = 0xAA;
    return r;
}

// A synthetic loader of the given version: "SYSLINUX" at 514, the version
// digit at 523, the signature at 512 + 4 * k and, for version 4, a pointer
// table whose two pointers lie in the first sector.
fz::bytes loader(char version, uint32_t sig_at, size_t size) {
    fz::bytes b(size, 0);
    for (size_t i = 1024; i < size; i++) b[i] = uint8_t(i * 13);
    memcpy(&b[514], "SYSLINUX", 8);
    b[523] = uint8_t(version);
    put32(&b[sig_at], 0x3EB202FE);
    if (version == '4') {
        put16(&b[sig_at + 22], 0x100);          // table at file offset 0x300
        put16(&b[0x300 + 14], 0x1F0);           // V goes to 0x1F0
        put16(&b[0x300 + 16], 0x1F4);           // 0xFFFFFFFF to 0x1F4
    }
    return b;
}

const char *menu_source =
    "# the menu of the carried archive\n"
    "default 0\n"
    "timeout 1\n"
    "color yellow\n"
    "text Booting From USB Device\n"
    "menu F1 grldr grldr\n";

const char *menu_more =
    "color white/blue\n"
    "text -n \"  two  blanks  \"\n"
    "text\n"
    "menu shift-a linux /vmlinuz /initrd.img \"console=ttyS0 quiet\"\n"
    "menu 0x3b00 syslinux ldlinux.bin\n"
    "menu ALT-KEY-+ chain \"boot sector\"\n"
    "menu ctrl-z msdos io.sys\n"
    "menu F12 freedos kernel.sys\n"
    "timeout 0x10\n"
    "default 010\n";

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: seedgen CORPUS_DIR\n");
        return 2;
    }
    corpus = argv[1];
    mkdir(corpus.c_str(), 0755);
    const std::string img = fz::path("disk.img"), ar = fz::path("files.qxa"), empty = fz::path("empty.qxa");
    const std::string src = fz::path("menu.txt"), src2 = fz::path("menu2.txt"), data = fz::path("data.bin");
    const std::string ldl3 = fz::path("ldl3.bin"), ldl4 = fz::path("ldl4.bin"), menu = fz::path("menu.bin");
    fz::put_file(src, reinterpret_cast<const uint8_t *>(menu_source), strlen(menu_source));
    fz::put_file(src2, reinterpret_cast<const uint8_t *>(menu_more), strlen(menu_more));
    fz::bytes d(1500);
    for (size_t i = 0; i < d.size(); i++) d[i] = uint8_t('a' + i % 26);
    fz::put_file(data, d);
    fz::put_file(ldl3, loader('3', 512 + 64, 1536));
    fz::put_file(ldl4, loader('4', 512 + 128, 2048));

    // A disk made by format with a small base and list, then files in both
    // areas and a menu: the seed is the disk up to its primary-area files.
    fz::put_file(img, nullptr, 0, 40000);
    must({img, "format", "--base", "0", "--list-size", "1020", "--extended", "64", "--force"});
    fz::bytes fresh = fz::get_file(img);
    must({img, "add", "a.txt", data});
    must({img, "add-menu", "qx.cfg", src});
    must({img, "add-menu", "--append", "qx.cfg", src2});
    must({img, "add", "-e", "big", data});
    must({img, "add", "-s", "ldlinux.bin", ldl3});
    fz::bytes full = fz::get_file(img);
    // base 0, 4 boot code sectors, 2 list sectors, then the files.
    seed("header", "fresh-base0", prefix(fresh, 8));
    seed("header", "files-base0", prefix(full, 16));
    seed("info", "fresh-base0", prefix(fresh, 8));
    seed("info", "files-base0", prefix(full, 16));
    for (int c = 0; c < 14; c++) {
        fz::bytes b(1, uint8_t(c));
        fz::bytes p = prefix(full, 16);
        b.insert(b.end(), p.begin(), p.end());
        seed("store", ("files-base0-" + std::to_string(c)).c_str(), b);
    }

    // The same with the default base: 64 copies of the boot record.
    const std::string img63 = fz::path("disk63.img");
    fz::put_file(img63, nullptr, 0, 40000);
    must({img63, "format", "--list-size", "510", "--zip", "--max-sectors", "32", "--force"});
    must({img63, "add", "a.txt", data});
    fz::bytes full63 = fz::get_file(img63);
    seed("header", "files-base63", prefix(full63, 74));
    seed("info", "files-base63", prefix(full63, 74));
    seed("enum", "format-mbr", chunk(0, prefix(full63, 1)));

    // Archives: an empty one, and one holding the disk's files.
    must({empty, "create", "--list-size", "1020"});
    must({img, "save", ar});
    fz::bytes empty_ar = fz::get_file(empty), files_ar = fz::get_file(ar);
    for (const char *t : {"header", "info", "load"}) {
        seed(t, "empty-archive", empty_ar);
        seed(t, "files-archive", files_ar);
    }
    for (int c : {0, 3, 4, 7, 9, 11}) {
        fz::bytes b(1, uint8_t(c));
        b.insert(b.end(), files_ar.begin(), files_ar.end());
        seed("store", ("files-archive-" + std::to_string(c)).c_str(), b);
    }
    must({empty, "add", "-e", "-s", "ldlinux.bin", ldl4});
    seed("load", "ldlinux4-archive", fz::get_file(empty));

    // Menus: compiled by add-menu, then printed by cat-menu.
    must({img, "export", "qx.cfg", menu});
    seed("catmenu", "compiled", fz::get_file(menu));
    {
        fz::bytes b(1, 4);
        fz::bytes m = fz::get_file(menu);
        b.insert(b.end(), m.begin(), m.end());
        seed("menu", "append-to-compiled", b);
    }
    std::string printed = out_of({img, "cat-menu", "qx.cfg"});
    seed("menu", "file-source", std::string("\x00", 1) + menu_source + menu_more);
    seed("menu", "append-source", std::string("\x01", 1) + menu_more);
    std::string lines = "\x02" + printed;
    if (!lines.empty() && lines.back() == '\n') lines.pop_back();
    seed("menu", "string-printed", lines);
    seed("menu", "file-printed", std::string("\x00", 1) + printed);

    // Key names as the key table names its codes (a few of each kind),
    // raw codes and colour names.
    for (int i : {0, 25, 26, 36, 46, 47, 58, 59, 68, 70, 79})
        for (int col = 0; col < 4; col++) {
            uint16_t code = key_table[i].code[col];
            if (!code) continue;
            std::string file = "key-" + std::to_string(i) + "-" + std::to_string(col);
            seed("keycode", file.c_str(), std::string(get_keyname(code)));
        }
    seed("keycode", "hex", std::string("0x3b00"));
    seed("keycode", "color", std::string("light-gray/blue"));

    // Loaders for the patch: the 4-byte sector number of the second sector first.
    for (auto &[name, file] : {std::pair<const char *, std::string>{"ldlinux3", ldl3}, {"ldlinux4", ldl4}}) {
        fz::bytes b(4);
        put32(&b[0], 0xFFFCD621u);
        fz::bytes l = fz::get_file(file);
        b.insert(b.end(), l.begin(), l.end());
        seed("syslinux", name, b);
    }

    // Partition tables and chains of extended boot records.
    {
        fz::bytes two = chunk(0, record({{0x0C, 2048, 4096}, {0x0F, 8192, 8192}}));
        fz::bytes e1 = chunk(8192, record({{0x83, 63, 1000}, {0x05, 2048, 2048}}));
        fz::bytes e2 = chunk(8192 + 2048, record({{0x83, 63, 1000}}));
        fz::bytes s = two;
        s.insert(s.end(), e1.begin(), e1.end());
        s.insert(s.end(), e2.begin(), e2.end());
        seed("enum", "two-logical", s);
        // The second record points back at the first: a loop.
        fz::bytes loop = chunk(8192 + 2048, record({{0x83, 63, 1000}, {0x05, 0, 2048}}));
        fz::bytes self = chunk(8192, record({{0x83, 63, 1000}, {0x05, 1, 2048}}));
        fz::bytes l2 = two;
        l2.insert(l2.end(), e1.begin(), e1.end());
        fz::bytes l1 = l2;
        l2.insert(l2.end(), loop.begin(), loop.end());
        seed("enum", "loop-of-two", l2);
        fz::bytes sl = two;
        sl.insert(sl.end(), self.begin(), self.end());
        seed("enum", "empty-then-self", sl);
        fz::bytes first_ext = chunk(0, record({{0x05, 100, 100000}}));
        fz::bytes nested = chunk(100, record({{0x0F, 50, 10}, {0x05, 1, 1}}));
        first_ext.insert(first_ext.end(), nested.begin(), nested.end());
        seed("enum", "extended-first-entry", first_ext);
    }

    // Number arguments: selector byte (command), then the words.
    seed("args", "create", std::string("\x00-p\n8m\n-e\n0x100000\n-l\n1020", 26));
    seed("args", "resize", std::string("\x01--fill\n0x41\na\n3k", 17));
    seed("args", "save", std::string("\x02-l\n510\nout.qxa", 15));
    seed("args", "format", std::string("\x03--size\n1g\n-u\n8\n--nalign\n0x200\n--base\n63\n--max-sectors\n127", 53));
    seed("args", "sync", std::string("\x04--max-sectors\n010\n--chs", 23));

    // Layout commands: a command byte (0 format, 1 restore, 2 sync, 3
    // update), two option bytes and a u16 value, then for format a u16
    // length and the archive; then patches {u16 sector, u16 byte offset,
    // u16 length, bytes} of the disk.
    {
        auto head = [](uint8_t cmd, uint8_t a = 0, uint8_t b = 0, uint16_t v = 0) {
            fz::bytes h{cmd, a, b, 0, 0};
            put16(&h[3], v);
            return h;
        };
        auto patch = [](fz::bytes h, uint16_t sector, const fz::bytes &data, uint16_t ofs = 0) {
            fz::bytes c(6);
            put16(&c[0], sector);
            put16(&c[2], ofs);
            put16(&c[4], uint32_t(data.size()));
            h.insert(h.end(), c.begin(), c.end());
            h.insert(h.end(), data.begin(), data.end());
            return h;
        };
        auto fmt = [&](const fz::bytes &archive, uint8_t a = 0, uint8_t b = 0, uint16_t v = 0) {
            fz::bytes h = head(0, a, b, v), n(2);
            put16(&n[0], uint32_t(archive.size()));
            h.insert(h.end(), n.begin(), n.end());
            h.insert(h.end(), archive.begin(), archive.end());
            return h;
        };
        // A foreign boot record whose one partition leaves room for the
        // hidden area.
        fz::bytes table(512, 0);
        table[mbr::PART_TABLE + pte::TYPE] = 0x0E;
        put32(&table[mbr::PART_TABLE + pte::START], 17408);
        put32(&table[mbr::PART_TABLE + pte::COUNT], 1024);
        table[mbr::SIGNATURE] = 0x55;
        table[mbr::SIGNATURE + 1] = 0xAA;
        const fz::bytes zero(512, 0), ones(512, 0xFF);
        seed("layout", "format-files", fmt(files_ar));
        // Its extended-area item finds no room: the load fails after the format.
        seed("layout", "format-extended-item-no-room", fmt(fz::get_file(empty), 0x01));
        seed("layout", "format-options", fmt(files_ar, 0x01 | 0x02 | 0x04 | 0x08 | 0x20, 0, 40));
        seed("layout", "format-fat32-align", fmt(files_ar, 0x81, 0x07, 3));
        seed("layout", "format-keep-table", patch(fmt(files_ar), 0, table));
        seed("layout", "format-list-extended", fmt(files_ar, 0x50, 0, 1500));
        seed("layout", "restore-intact", head(1));
        seed("layout", "restore-zeroed", patch(head(1), 0, zero));
        seed("layout", "restore-foreign-mbr", patch(head(1), 0, table));
        seed("layout", "restore-two-lost", patch(patch(patch(head(1), 0, zero), 1, zero), 2, ones));
        seed("layout", "sync-plain", head(2));
        seed("layout", "sync-copy-bpb", head(2, 0x01));
        seed("layout", "sync-reset-size", head(2, 0x02 | 0x08 | 0x10 | 0x20, 0, 30));
        seed("layout", "sync-clear-zip", head(2, 0x04 | 0x40));
        seed("layout", "sync-missing-value", head(2, 0x80));
        fz::bytes start(4);
        put32(&start[0], 200);
        seed("layout", "sync-partition-moved", patch(head(2), 0, start, mbr::PART_TABLE + pte::START));
        // A partition under the copies: sync must refuse to write them.
        put32(&start[0], 5);
        seed("layout", "sync-partition-under-copies", patch(head(2), 0, start, mbr::PART_TABLE + pte::START));
        seed("layout", "update-plain", head(3));
        fz::bytes short_boot(2);
        put16(&short_boot[0], 2);
        seed("layout", "update-short-boot", patch(head(3), 8, short_boot));
    }
    {
        // volume-id: the ID, then whole sectors written over the data
        // partition of the target's small disk (it begins at sector 416; its
        // sectors hold a pattern until written):
        // FAT16, FAT32 with its backup, exFAT with both boot regions.
        const uint32_t part = 416;
        auto volid = [&](uint32_t id, const std::vector<std::pair<uint32_t, fz::bytes>> &sectors) {
            fz::bytes in(4);
            put32(&in[0], id);
            for (const auto &[at, b] : sectors) {
                fz::bytes h(6);
                put16(&h[0], part + at);
                put16(&h[4], uint32_t(b.size()));
                in.insert(in.end(), h.begin(), h.end());
                in.insert(in.end(), b.begin(), b.end());
            }
            return in;
        };
        auto fat_start = [](uint32_t reserved) {
            fz::bytes b(512, 0);
            b[0] = 0xEB;
            b[1] = 0x3C;
            b[2] = 0x90;
            put16(&b[bpb::BYTS_PER_SEC], 512);
            b[bpb::SEC_PER_CLUS] = 1;
            put16(&b[bpb::RSVD_SEC_CNT], reserved);
            b[bpb::NUM_FATS] = 2;
            b[bpb::MEDIA] = 0xF8;
            put16(&b[bpb::TOT_SEC16], 32);
            b[mbr::SIGNATURE] = 0x55;
            b[mbr::SIGNATURE + 1] = 0xAA;
            return b;
        };
        fz::bytes fat16 = fat_start(1);
        put16(&fat16[bpb::ROOT_ENT_CNT], 16);
        put16(&fat16[bpb::FAT_SZ16], 1);
        fat16[bpb::BOOT_SIG] = 0x29;
        seed("volid", "fat16", volid(0x1A2B3C4D, {{0, fat16}}));
        fz::bytes fat32 = fat_start(8);
        put32(&fat32[bpb::FAT_SZ32], 1);
        put32(&fat32[bpb::ROOT_CLUS], 2);
        put16(&fat32[bpb::FS_INFO], 1);
        put16(&fat32[bpb::BK_BOOT_SEC], 6);
        fat32[bpb::BOOT_SIG32] = 0x29;
        seed("volid", "fat32", volid(0xFFFFFFFF, {{0, fat32}, {6, fat32}}));
        fz::bytes region(12 * 512, 0);
        memcpy(&region[3], "EXFAT   ", 8);
        put32(&region[72], 32);  // volume length
        region[108] = 9;         // 512-byte sectors
        region[mbr::SIGNATURE] = 0x55;
        region[mbr::SIGNATURE + 1] = 0xAA;
        uint32_t sum = 0;
        for (uint32_t i = 0; i < 11 * 512; i++)
            if (i != 106 && i != 107 && i != 112) sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
        for (uint32_t i = 0; i < 512; i += 4) put32(&region[11 * 512 + i], sum);
        seed("volid", "exfat", volid(7, {{0, region}, {12, region}}));
    }
    return 0;
}
