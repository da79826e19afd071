#!/usr/bin/env python3
"""Replaces a file on an exFAT volume by a staged copy so that a power cut
at any moment leaves the old file or the new one, whole:

  exfatreplace.py DEVICE_OR_IMAGE OFFSET PATH STAGED

PATH and STAGED (e.g. boot/grub/grub.cfg and boot/grub/grub.cfg.qxnew) are
files in the same folder of the volume that starts at byte OFFSET, which is
not mounted; the staged copy must already be on the medium. Three steps,
each flushed before the next:
  1. the staged file's directory entries are marked unused (its clusters
     stay allocated: a cut here leaks them, PATH is still the old file);
  2. PATH's stream extension entry takes the staged file's first cluster,
     lengths and chain flag, and PATH's file entry the set's new checksum
     (both within one sector: old or new, never between);
  3. the old file's clusters are freed in the allocation bitmap.
A cut leaves at worst clusters that no file uses. Exit status 3: PATH does
not exist yet, nothing was written (the caller renames the staged file);
4: PATH's file entry and stream extension lie in two sectors, so step 2
could be torn, nothing was written (the caller renames)."""

import struct
import sys

from partio import Partition, arguments, fail, locate

SECTOR = 512


class Volume(Partition):
    def __init__(self, path, offset):
        super().__init__(path, offset)
        b = self.read(0, 512)
        if b[3:11] != b"EXFAT   " or b[510:512] != b"\x55\xaa":
            fail("the data partition at byte %d is not an exFAT volume" % offset)
        self.bps = 1 << b[108]
        self.csize = self.bps << b[109]
        self.fat_start = struct.unpack_from("<I", b, 80)[0] * self.bps
        self.heap = struct.unpack_from("<I", b, 88)[0] * self.bps
        self.clusters = struct.unpack_from("<I", b, 92)[0]
        self.root = struct.unpack_from("<I", b, 96)[0]
        self.bitmaps = [(e[1], e[2]) for e in self.sets(self.root, False) if e[0] == 0x81]
        if not self.bitmaps:
            fail("the exFAT volume at byte %d has no allocation bitmap" % offset)

    def at(self, cluster):
        return self.heap + (cluster - 2) * self.csize

    def chain(self, first, length, contiguous):
        """The clusters of a file or folder (LENGTH 0: as far as the FAT
        goes)."""
        if first == 0:
            return []
        count = (length + self.csize - 1) // self.csize
        if contiguous:
            return list(range(first, first + count))
        out, n = [], first
        while 2 <= n < self.clusters + 2:
            if len(out) > self.clusters:
                fail("a cluster chain on the data partition loops")
            out.append(n)
            n = struct.unpack("<I", self.read(self.fat_start + 4 * n, 4))[0]
        if len(out) < count:
            fail("a cluster chain on the data partition is shorter than its file")
        return out

    def entries(self, first, length=None, contiguous=False):
        """(byte offset, 32 bytes) of each entry of a folder until its end."""
        for c in self.chain(first, length or 0, contiguous and length is not None):
            block = self.read(self.at(c), self.csize)
            for i in range(0, self.csize, 32):
                if block[i] == 0:
                    return
                yield self.at(c) + i, block[i:i + 32]

    def sets(self, first, named=True, length=None, contiguous=False):
        """The entries of a folder: (type, first cluster, data length) for
        the bitmap and others; for files and folders (0x85, name, offsets
        of the set's entries, stream entry, attributes)."""
        pending = None
        for at, e in self.entries(first, length, contiguous):
            t = e[0]
            if t == 0x85:
                pending = {"offsets": [at], "left": e[1], "attr": struct.unpack_from("<H", e, 4)[0], "name": ""}
                continue
            if pending is not None and t in (0xC0, 0xC1) and pending["left"] > 0:
                pending["offsets"].append(at)
                pending["left"] -= 1
                if t == 0xC0:
                    pending["stream"] = e
                    pending["namelen"] = e[3]
                else:
                    pending["name"] += e[2:32].decode("utf-16-le", "replace")
                if pending["left"] == 0 and "stream" in pending:
                    p, pending = pending, None
                    yield (0x85, p["name"][:p["namelen"]], p["offsets"], p["stream"], p["attr"])
                continue
            pending = None
            if t in (0x81, 0x82) and not named:
                yield (t, struct.unpack_from("<I", e, 20)[0], struct.unpack_from("<Q", e, 24)[0])

    def find(self, folder, name):
        for e in self.sets(*folder):
            if e[0] == 0x85 and e[1].lower() == name.lower():
                return e
        return None

    def root_folder(self):
        return (self.root, True, None, False)

    @staticmethod
    def is_folder(e):
        return bool(e[4] & 0x10)

    @staticmethod
    def folder_of(e):
        s = e[3]
        return (struct.unpack_from("<I", s, 20)[0], True, struct.unpack_from("<Q", s, 24)[0], bool(s[1] & 2))


def checksum(entries):
    s = 0
    for i, e in enumerate(entries):
        for j, b in enumerate(e):
            if i == 0 and j in (2, 3):
                continue
            s = ((s >> 1) | ((s & 1) << 15)) + b & 0xFFFF
    return s


def stream_clusters(v, stream):
    return v.chain(struct.unpack_from("<I", stream, 20)[0], struct.unpack_from("<Q", stream, 24)[0],
                   bool(stream[1] & 2))


def main():
    target, offset, path, staged = arguments("exfatreplace.py")
    v = Volume(target, offset)
    old, new = locate(v, path, staged)
    if old[2][0] // SECTOR != old[2][1] // SECTOR:
        sys.exit(4)   # the swap would span two sectors: the caller renames
    old_clusters = stream_clusters(v, old[3])
    # 1. The staged file's entries unused; its clusters stay allocated.
    for at in new[2]:
        e = v.read(at, 1)
        v.write(at, bytes([e[0] & 0x7F]))
    v.flush()
    # 2. The old stream entry names the new clusters, lengths and chain
    #    flag; the file entry the new checksum. Both in one sector.
    stream = bytearray(v.read(old[2][1], 32))
    stream[1] = (stream[1] & ~2 & 0xFF) | (new[3][1] & 2)
    stream[8:16] = new[3][8:16]      # valid data length
    stream[20:32] = new[3][20:32]    # first cluster, data length
    entries = [bytearray(v.read(at, 32)) for at in old[2]]
    entries[1] = stream
    struct.pack_into("<H", entries[0], 2, checksum(entries))
    first = old[2][0]
    sector = bytearray(v.read(first // SECTOR * SECTOR, SECTOR))
    sector[first % SECTOR:first % SECTOR + 64] = entries[0] + entries[1]
    v.write(first // SECTOR * SECTOR, bytes(sector))
    v.flush()
    # 3. The old clusters freed in the allocation bitmap.
    for bm_first, bm_length in v.bitmaps:
        bm = v.chain(bm_first, bm_length, False)
        for c in old_clusters:
            bit = c - 2
            byte_at = v.at(bm[bit // 8 // v.csize]) + bit // 8 % v.csize
            b = v.read(byte_at, 1)[0]
            v.write(byte_at, bytes([b & ~(1 << (bit % 8)) & 0xFF]))
    v.flush()


if __name__ == "__main__":
    main()
