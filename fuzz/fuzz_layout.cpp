// The commands that lay out or repair the hidden area: "format --archive"
// onto a blank or partitioned disk from arbitrary archive bytes, and
// "restore", "sync" (with its BPB options) and "update" on a small QX disk
// that the input damages. None may change the image's length or write past
// the sectors the command owns or into the data partition; format must
// leave its archive as it was; a refused format leaves the disk as it was
// unless only the archive's load failed; a format that succeeds describes
// data areas that lie on the disk; a format or update that succeeds leaves
// a disk that "info" reads; a restore that succeeds leaves an intact boot
// record in sector 0; a sync that succeeds leaves every copy numbered as the
// sector it lies in.
//
// Input: a command byte, two option bytes, a u16 option value, then
//   format:  u16 archive length, the archive, then patches of the disk;
//   others:  patches of the disk;
// a patch is {u16 sector, u16 byte offset, u16 length, bytes} (the sector
// taken modulo the patched range, the offset modulo 512; a patch cut short
// by the end of the input keeps what is there).
#include "harness.h"

#include "common.h"
#include "layout.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using fz::bytes;

// A blank disk for format: large enough for the default primary area, an
// extended area and a data partition.
constexpr uint32_t FORMAT_SECTORS = 16384 + 12288;
// Patches of the blank disk land in its first sectors, where the partition
// table and anything format checks before writing lie.
constexpr uint32_t FORMAT_PATCHED = 64;

void patch(bytes &disk, uint32_t sectors, const uint8_t *p, size_t n) {
    size_t i = 0;
    while (i + 6 <= n) {
        size_t at = size_t(get16(p + i) % sectors) * 512 + get16(p + i + 2) % 512;
        size_t len = get16(p + i + 4);
        i += 6;
        len = std::min({len, n - i, disk.size() - at});
        memcpy(&disk[at], p + i, len);
        i += len;
    }
}

[[noreturn]] void fail(const char *what, const char *cmd) {
    fprintf(stderr, "%s: %s\n", cmd, what);
    abort();
}

// First sector at or after which the command may not write.
uint32_t write_limit(int cmd, const bytes &d) {
    const uint32_t n = (MBR_IMAGE_SIZE - 3) / 510;
    const uint32_t base = get16(&d[mbr::BOOT_BASE]);
    if (cmd == 1) return 64;          // restore: copies are searched in 0..63
    if (cmd == 2) return base + 1;    // sync: sector 0 and its copies
    // update: copies, header and boot code, and the list stored after it.
    size_t h = size_t(base + 1) * 512;
    if (h + 512 > d.size()) return base + 1 + n;
    uint32_t list_end = base + 1 + get16(&d[h + hdr::BOOT_SIZE]) + get16(&d[h + hdr::LIST_SECTORS]);
    return std::max(base + 1 + n, list_end);
}

std::string number(uint16_t v) { return std::to_string(v); }

std::vector<std::string> format_words(uint8_t a, uint8_t b, uint16_t v, const std::string &ar) {
    std::vector<std::string> w{"format"};
    if (a & 0x01) w.push_back("--force");
    if (a & 0x02) w.push_back("--zip");
    if (a & 0x04) w.push_back("--chs");
    if (a & 0x08) w.insert(w.end(), {"--max-sectors", number(v & 0xFF)});
    if (a & 0x10) w.insert(w.end(), {"--list-size", number(v)});
    if (a & 0x20) w.insert(w.end(), {"--base", number(v % 256)});
    if (a & 0x40) w.insert(w.end(), {"--extended", number(v % 2048)});
    if (a & 0x80) w.push_back(b & 0x01 ? "--fat32" : "--fat16");
    if (b & 0x02) w.push_back("--align");
    if (b & 0x04) w.insert(w.end(), {"--unit-size", number(1u << (v % 8))});
    if (b & 0x08) w.insert(w.end(), {"--size", number(v)});
    if (b & 0x10) w.insert(w.end(), {"--nalign", number(v)});
    w.insert(w.end(), {"--archive", ar});
    if (b & 0x20) w.push_back("--raw");
    return w;
}

std::vector<std::string> sync_words(uint8_t a, uint8_t b, uint16_t v) {
    std::vector<std::string> w{"sync"};
    if (a & 0x01) w.push_back("--copy-bpb");
    if (a & 0x02) w.push_back("--reset-bpb");
    if (a & 0x04) w.push_back("--clear-bpb");
    if (a & 0x08) w.insert(w.end(), {"--bpb-size", number(b & 0x80 ? v : v % 300)});
    if (a & 0x10) w.insert(w.end(), {"--max-sectors", number(b & 0x80 ? v : v % 140)});
    if (a & 0x20) w.push_back("--chs");
    if (a & 0x40) w.push_back(b & 0x01 ? "-z" : "--zip");
    // An option that wants a value, given none.
    if (a & 0x80) w.push_back(b & 0x02 ? "--max-sectors" : "--bpb-size");
    return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const fz::geometry g;
    static const bytes qx_disk = fz::small_disk(g);
    static const std::string img = fz::path("disk.img");
    static const std::string ar = fz::path("in.qxa");
    static const char *names[] = {"format", "restore", "sync", "update"};
    if (size < 5) return 0;
    const int cmd = data[0] % 4;
    const uint8_t a = data[1], b = data[2];
    const uint16_t v = uint16_t(get16(data + 3));
    const uint8_t *p = data + 5;
    size_t n = size - 5;

    bytes before;
    bytes archive;
    std::vector<std::string> words;
    if (cmd == 0) {
        size_t alen = n >= 2 ? std::min<size_t>(get16(p), n - 2) : 0;
        archive.assign(p + std::min<size_t>(n, 2), p + std::min<size_t>(n, 2) + alen);
        p += std::min<size_t>(n, 2) + alen;
        n -= std::min<size_t>(n, 2) + alen;
        // Only the patched sectors hold data; the rest of the disk stays a
        // hole of the file, as on a blank drive.
        before.assign(size_t(FORMAT_PATCHED) * 512, 0);
        patch(before, FORMAT_PATCHED, p, n);
        fz::put_file(ar, archive);
        fz::put_file(img, before, FORMAT_SECTORS);
        words = format_words(a, b, v, ar);
    } else {
        before = qx_disk;
        patch(before, fz::disk_sectors(g), p, n);
        fz::put_file(img, before);
        if (cmd == 1) words = {"restore"};
        else if (cmd == 2) words = sync_words(a, b, v);
        else words = {"update"};
    }
    words.insert(words.begin(), img);
    const char *name = names[cmd];
    fz::result r = fz::run(words);

    if (cmd == 0) {
        if (fz::get_file(ar) != archive) fail("the archive file changed", name);
        // The boot record, the header (base is at most 255) and the
        // patched sectors.
        bytes head = fz::get_file(img, 300 * 512);
        FILE *f = fopen(img.c_str(), "rb");
        if (!f || fseek(f, 0, SEEK_END) != 0 || ftell(f) != long(FORMAT_SECTORS) * 512)
            fail("the disk's length changed", name);
        fclose(f);
        // Format refuses before its first write; only loading the archive
        // may fail later, and then onto a complete, readable QX disk.
        const bool changed = !std::equal(before.begin(), before.end(), head.begin());
        if (r.status != 0 && changed) {
            fz::result i = fz::run({img, "info"});
            if (i.status != 0 && !fz::not_built(i)) {
                fprintf(stderr, "%sinfo: %s", r.err.c_str(), i.err.c_str());
                fail("a refused format left a disk that does not read back", name);
            }
        }
        // The data areas the header describes lie on the disk.
        if (r.status == 0) {
            const size_t h = size_t(get16(&head[mbr::BOOT_BASE]) + 1) * 512;
            if (get16(&head[h + hdr::PRI_SIZE]) + uint64_t(get32(&head[h + hdr::EXT_SIZE])) > FORMAT_SECTORS)
                fail("the header's data areas reach past the end of the disk", name);
        }
    } else {
        bytes after = fz::get_file(img);
        if (after.size() != before.size()) fail("the disk's length changed", name);
        size_t limit = std::min<size_t>(size_t(write_limit(cmd, before)) * 512, before.size());
        if (memcmp(&after[limit], &before[limit], before.size() - limit) != 0)
            fail("wrote past the sectors it owns", name);
        // Nor into the data partition that sector 0's table names (restore
        // takes the table from the copy when sector 0 has no signature).
        const bool table = cmd != 1 || (before[mbr::SIGNATURE] == 0x55 && before[mbr::SIGNATURE + 1] == 0xAA);
        const size_t part = size_t(std::min(get_part_ofs(before.data()), fz::disk_sectors(g))) * 512;
        if (table && part < before.size() && memcmp(&after[part], &before[part], before.size() - part) != 0)
            fail("wrote into the data partition", name);
        if (r.status == 0 && cmd == 1 &&
            (after[mbr::SIGNATURE] != 0x55 || after[mbr::SIGNATURE + 1] != 0xAA ||
             memcmp(&after[mbr::MAGIC], qx_mbr_rel + mbr::MAGIC, 4) != 0 || get16(&after[mbr::COPY_NO]) != 0))
            fail("sector 0 is no intact boot record after a restore", name);
        if (r.status == 0 && cmd == 2) {
            const uint32_t base = get16(&before[mbr::BOOT_BASE]);
            for (uint32_t i = 0; i <= base; i++)
                if (get16(&after[size_t(i) * 512 + mbr::COPY_NO]) != i ||
                    memcmp(&after[size_t(i) * 512 + mbr::MAGIC], qx_mbr_rel + mbr::MAGIC, 4) != 0)
                    fail("a copy is not numbered as its sector after a sync", name);
        }
    }
    if (r.status == 0 && (cmd == 0 || cmd == 3)) {
        fz::result i = fz::run({img, "info"});
        if (i.status != 0 && !fz::not_built(i)) {
            fprintf(stderr, "info: %s", i.err.c_str());
            fail("the disk does not read back", name);
        }
    }
    return 0;
}
