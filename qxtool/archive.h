// Archive files: a file list and item data without boot code.
#pragma once

#include <cstdint>
#include <cstdio>

// Reads and checks an archive's header and list from a host file positioned
// at its start. Leaves the header sector in global_buffer and returns a
// buffer of n * 512 bytes (n = list sectors) whose first n * 510 bytes are
// the list bytes, contiguous. The caller frees it.
uint8_t *get_ar_header(FILE *f);

// An archive file open for reading (load, format --archive), positioned at
// its header. A save into it that a power cut interrupted is completed
// first, or, where the file cannot be written, read where it lies.
struct archive_source {
    FILE *f = nullptr;
    uint64_t base = 0;          // byte offset of the archive in the file
    uint64_t end = UINT64_MAX;  // byte offset of its end; UINT64_MAX: unknown (a pipe)
    explicit archive_source(const char *path);
    ~archive_source();
    archive_source(const archive_source &) = delete;
    archive_source &operator=(const archive_source &) = delete;
    // Positions f at an archive sector; false when it cannot.
    bool seek(uint32_t sector);
};

struct xd_t;

// Saving an archive where it lies, and completing such a save that a power
// cut interrupted (archivecommit.cpp holds the protocol and its invariants).
//
// A new archive of bytes bytes written into the host file f where it lies:
// the constructor positions f where its image goes, past the old contents;
// commit, once the image is written, makes it the file's contents. A save
// abandoned before commit gives the file its old length back.
class in_place_save {
public:
    in_place_save(FILE *f, uint64_t bytes);
    ~in_place_save();
    in_place_save(const in_place_save &) = delete;
    in_place_save &operator=(const in_place_save &) = delete;
    void commit();

private:
    FILE *f_;
    uint64_t bytes_, old_ = 0, at_ = 0;
    bool copying_ = false;
};
// Completes a pending save of the target when it is an image file; leaves
// the target's position as it was.
void complete_pending_save(xd_t *xd);
// The same for a host file f open for reading from path: completes it when
// path opens for writing and returns 0, else returns the offset of the
// archive in the file. *end gets the offset of its end (UINT64_MAX when the
// file has no length).
uint64_t settle_pending_save(FILE *f, const char *path, uint64_t *end);
