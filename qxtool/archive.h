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
// its header. A save into it that a power cut interrupted is read where its
// new image lies; the file is never written.
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

// Takes an archive named as a source for a run on the target xd: never the
// target itself, whose bytes the run is about to change, and shared with
// other runs that only read it.
void open_source(archive_source &in, xd_t *xd, const char *path);

// format --archive, before its first write: the archive at path is not the
// target, and its items fit, as load will place them, into the store that
// the format lays out (list sectors from list_start, primary data size pri,
// total data size total). Leaves no store in memory.
void check_archive_load(xd_t *xd, const char *path, uint32_t list_start, uint32_t list_sectors, uint32_t pri,
                        uint32_t total);

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
// A save into the target, an archive file, that a power cut interrupted:
// a run that writes (writes true) completes it and gets 0; any other run
// gets the sector where the new archive lies (0: none pending), to read it
// there. Leaves the target's position as it was.
uint32_t take_pending_save(xd_t *xd, bool writes);
// The same for a host file f read as a source: returns the byte offset where
// the archive lies in the file (0 when no save is pending) and never writes
// f. *end gets the offset of its end (UINT64_MAX when f has no length).
uint64_t pending_save_of(FILE *f, uint64_t *end);
