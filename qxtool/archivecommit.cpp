// How save rewrites an archive file where it lies, and how such a save that
// a power cut interrupted is completed by the next run that opens the file.
//
// save normally writes the new archive beside the destination and renames
// it over. Where that would cost the destination its identity (it has other
// hard links) or cannot be done (its directory takes no new file), the file
// itself is rewritten, and a power cut during an in-place write may leave
// any mix of old and new sectors. The commit point is a descriptor in the
// last sector of the file naming a checksummed image of the whole new
// archive that lies past both the old and the new contents.
//
// Invariants, which the in-place save and every completion keep:
//  A1  The image of N bytes lies at X, a sector multiple no smaller than the
//      old file's length nor than N: writing it changes no byte of the old
//      archive, and copying [X, X+N) to [0, N) never reads a sector that the
//      copy has already written.
//  A2  The descriptor is the file's last sector, at X+N: magic, X, N, the
//      image's CRC-32 and its own. It is whole when both checksums hold, the
//      bounds of A1 hold, the file ends right after it, the image begins
//      with the archive magic and so does the file: the copy writes sector 0
//      first and flushes it before any other, so a file that does not begin as an archive (a disk image, a
//      file the copy never reached) holds no save to complete and reads as
//      it is. Any other last sector is data: an archive whose last sector
//      holds anything else reads as it always did.
//  A3  [0, N) is written only while the image and a whole descriptor for it
//      are on the medium: both are flushed together before the copy (the
//      image's checksum makes a descriptor that landed without all of its
//      image no descriptor at all).
//  A4  The file is cut to N only once the copy is on the medium: the
//      descriptor goes away with the cut, never before the copy is whole.
//      (The cut is flushed as well, but only so that a run ends with all it
//      wrote on the medium: a cut that did not land is done again.)
//  A5  A run that opens an archive file as its target to change it
//      (open_store) looks for a whole descriptor first and completes it:
//      copy, flush, cut. Doing this twice changes nothing. Every other
//      reader (a command that only reads its target, load and format
//      --archive reading their source) reads the archive at X instead and
//      leaves the file as it is.
//
// A file whose last sector is no descriptor costs its readers one extra
// sector read; the image is only read when the descriptor is whole.
#define _FILE_OFFSET_BITS 64
#include "archive.h"
#include "common.h"
#include "disk.h"
#include "filestore.h"
#include "xdio.h"

#include <algorithm>
#include <cstring>
#include <vector>
#include <sys/stat.h>

namespace {

const uint8_t MAGIC[8] = {'Q', 'X', 'A', 'R', 'S', 'A', 'V', 'E'};

// Descriptor fields.
namespace desc {
constexpr uint32_t MAGIC = 0;      // 8 bytes
constexpr uint32_t AT = 8;         // u64 byte offset of the image (X)
constexpr uint32_t BYTES = 16;     // u64 length of the image (N)
constexpr uint32_t IMAGE_SUM = 24; // u32 CRC-32 of the image
constexpr uint32_t SUM = 508;      // u32 CRC-32 of bytes 0 to 507
}  // namespace desc

uint64_t get64(const uint8_t *p) { return uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32; }
void put64(uint8_t *p, uint64_t v) {
    put32(p, uint32_t(v));
    put32(p + 4, uint32_t(v >> 32));
}

// Where the image of an archive written in place goes, within the 32-bit
// sector numbers that the target's device layer reaches.
constexpr uint64_t MAX_END = uint64_t(0xFFFFFFFEu) * SECTOR;

// Transfers of the copy and of the checksum, and the room they take.
constexpr size_t CHUNK = 256 * 1024;

// A file as the commit sees it: byte ranges at 64-bit offsets, all of them
// whole sectors. Failures are fatal.
class ar_file {
public:
    virtual ~ar_file() = default;
    // The file's length, or UINT64_MAX when it has none (a pipe).
    virtual uint64_t size() = 0;
    virtual void read(uint64_t at, uint8_t *p, size_t n) = 0;
    virtual void write(uint64_t at, const uint8_t *p, size_t n) = 0;
    virtual void sync() = 0;
    virtual void cut(uint64_t size) = 0;
};

// A host file open through stdio.
class host_file : public ar_file {
public:
    explicit host_file(FILE *f) : f_(f) {}
    uint64_t size() override {
        // Only a regular file has a length to look past and to cut.
        struct stat st;
        if (fstat(fileno(f_), &st) != 0 || !S_ISREG(st.st_mode) || fseeko(f_, 0, SEEK_END) != 0) return UINT64_MAX;
        const off_t end = ftello(f_);
        return end < 0 ? UINT64_MAX : uint64_t(end);
    }
    void read(uint64_t at, uint8_t *p, size_t n) override {
        if (fseeko(f_, off_t(at), SEEK_SET) != 0 || fread(p, 1, n, f_) != n) quit("file read fails");
    }
    void write(uint64_t at, const uint8_t *p, size_t n) override {
        if (fseeko(f_, off_t(at), SEEK_SET) != 0 || fwrite(p, 1, n, f_) != n) quit("file write fails");
    }
    void sync() override {
        if (xd_file_sync(f_)) quit("file write fails");
    }
    void cut(uint64_t size) override {
        if (fflush(f_) != 0 || xd_file_truncate(f_, size)) quit("file write fails");
    }

private:
    FILE *f_;
};

// The target, an image file, through the device layer.
class target_file : public ar_file {
public:
    explicit target_file(xd_t *xd) : xd_(xd) {}
    uint64_t size() override {
        const uint32_t s = xd_size(xd_);
        return s == 0xFFFFFFFFu ? UINT64_MAX : uint64_t(s) * SECTOR;
    }
    void read(uint64_t at, uint8_t *p, size_t n) override {
        seek_disk(xd_, uint32_t(at / SECTOR));
        read_disk(xd_, p, uint32_t(n / SECTOR));
    }
    void write(uint64_t at, const uint8_t *p, size_t n) override {
        seek_disk(xd_, uint32_t(at / SECTOR));
        write_disk(xd_, p, uint32_t(n / SECTOR));
    }
    void sync() override { flush_disk(xd_); }
    void cut(uint64_t size) override {
        seek_disk(xd_, uint32_t(size / SECTOR));
        if (xd_truncate(xd_)) quit("xd_write fails at offset %u, size %d", uint32_t(size / SECTOR), 0);
    }

private:
    xd_t *xd_;
};

struct pending_save {
    uint64_t at = 0, bytes = 0;
};

uint32_t image_sum(ar_file &f, uint64_t at, uint64_t bytes) {
    std::vector<uint8_t> buf(CHUNK);
    uint32_t crc = 0;
    for (uint64_t done = 0; done < bytes;) {
        const size_t n = size_t(std::min<uint64_t>(CHUNK, bytes - done));
        f.read(at + done, buf.data(), n);
        crc = store_crc32(buf.data(), n, crc);
        done += n;
    }
    return crc;
}

// A whole descriptor in the file's last sector (A2), its image checked.
bool find_pending(ar_file &f, pending_save *p) {
    const uint64_t size = f.size();
    if (size == UINT64_MAX || size < 3 * SECTOR || size % SECTOR) return false;
    uint8_t d[SECTOR];
    f.read(0, d, SECTOR);
    if (memcmp(d, "QXAR", 4)) return false;
    f.read(size - SECTOR, d, SECTOR);
    if (memcmp(d + desc::MAGIC, MAGIC, sizeof MAGIC) || get32(d + desc::SUM) != store_crc32(d, desc::SUM))
        return false;
    const uint64_t at = get64(d + desc::AT), bytes = get64(d + desc::BYTES);
    if (at % SECTOR || bytes % SECTOR || bytes < 2 * SECTOR || at < bytes || at > size ||
        size - at != bytes + SECTOR)
        return false;
    uint8_t head[SECTOR];
    f.read(at, head, SECTOR);
    if (memcmp(head, "QXAR", 4)) return false;
    if (image_sum(f, at, bytes) != get32(d + desc::IMAGE_SUM)) return false;
    p->at = at;
    p->bytes = bytes;
    return true;
}

// The copy of the image to the start, then the cut that retires it (A4).
void complete(ar_file &f, const pending_save &p) {
    std::vector<uint8_t> buf(CHUNK);
    // Sector 0 first, on the medium before any other: a file that does not
    // begin as an archive is one the copy has not touched (A2).
    f.read(p.at, buf.data(), SECTOR);
    f.write(0, buf.data(), SECTOR);
    f.sync();
    for (uint64_t done = SECTOR; done < p.bytes;) {
        const size_t n = size_t(std::min<uint64_t>(CHUNK, p.bytes - done));
        f.read(p.at + done, buf.data(), n);
        f.write(done, buf.data(), n);
        done += n;
    }
    f.sync();
    f.cut(p.bytes);
    // Not an ordering point: the run ends with everything it wrote on the
    // medium.
    f.sync();
}

}  // namespace

in_place_save::in_place_save(FILE *f, uint64_t bytes) : f_(f), bytes_(bytes) {
    host_file h(f);
    old_ = h.size();
    if (old_ == UINT64_MAX) quit("file write fails");
    at_ = (std::max(old_, bytes) + SECTOR - 1) / SECTOR * SECTOR;
    if (at_ > MAX_END || MAX_END - at_ < bytes + SECTOR) quit("archive too large to save in place");
    if (fseeko(f, off_t(at_), SEEK_SET) != 0) quit("file write fails");
}

void in_place_save::commit() {
    if (fflush(f_) != 0 || ftello(f_) != off_t(at_ + bytes_)) quit("file write fails");
    host_file h(f_);
    uint8_t d[SECTOR] = {};
    memcpy(d + desc::MAGIC, MAGIC, sizeof MAGIC);
    put64(d + desc::AT, at_);
    put64(d + desc::BYTES, bytes_);
    put32(d + desc::IMAGE_SUM, image_sum(h, at_, bytes_));
    put32(d + desc::SUM, store_crc32(d, desc::SUM));
    h.write(at_ + bytes_, d, SECTOR);
    h.sync();
    copying_ = true;
    pending_save p;
    p.at = at_;
    p.bytes = bytes_;
    complete(h, p);
}

in_place_save::~in_place_save() {
    // Until the copy begins, the old archive lies untouched at the start:
    // a save that failed gives the file its old length back.
    if (!copying_ && fflush(f_) == 0) xd_file_truncate(f_, old_);
}

uint32_t take_pending_save(xd_t *xd, bool writes) {
    if (xd_flags(xd) & XD_DEVICE) return 0;
    const uint32_t pos = xd_cur(xd);
    target_file t(xd);
    pending_save p;
    uint32_t at = 0;
    if (find_pending(t, &p)) {
        if (writes) complete(t, p);
        else at = uint32_t(p.at / SECTOR);
    }
    seek_disk(xd, pos);
    return at;
}

uint64_t pending_save_of(FILE *f, uint64_t *end) {
    host_file h(f);
    *end = h.size();
    pending_save p;
    if (*end == UINT64_MAX || !find_pending(h, &p)) return 0;
    *end = p.at + p.bytes;
    return p.at;
}
