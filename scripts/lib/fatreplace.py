#!/usr/bin/env python3
"""Replaces a file on a FAT16/FAT32 volume by a staged copy so that a power
cut at any moment leaves the old file or the new one, whole:

  fatreplace.py DEVICE_OR_IMAGE OFFSET PATH STAGED

PATH and STAGED (e.g. boot/grub/grub.cfg and boot/grub/grub.cfg.qxnew) are
files in the same folder of the volume that starts at byte OFFSET; the
staged copy must already be on the medium. Three steps, each flushed before
the next:
  1. the staged file's directory entries are marked deleted (its clusters
     stay allocated: a cut here leaks them, PATH is still the old file);
  2. PATH's directory entry takes the staged file's first cluster and size
     (one 32-byte entry, within one sector: old or new, never between);
  3. the old file's clusters are freed in every FAT copy.
A cut leaves at worst clusters that no file uses. When PATH does not exist
yet, nothing is replaced: the caller renames the staged file."""

import struct

from partio import Partition, arguments, fail, locate


class Volume(Partition):
    def __init__(self, path, offset):
        super().__init__(path, offset)
        b = self.read(0, 512)
        self.bps = struct.unpack_from("<H", b, 11)[0]
        self.spc = b[13]
        reserved = struct.unpack_from("<H", b, 14)[0]
        self.nfats = b[16]
        root_entries = struct.unpack_from("<H", b, 17)[0]
        fat16_size = struct.unpack_from("<H", b, 22)[0]
        total = struct.unpack_from("<H", b, 19)[0] or struct.unpack_from("<I", b, 32)[0]
        if self.bps not in (512, 1024, 2048, 4096) or self.spc == 0 or self.nfats == 0 or b[510:512] != b"\x55\xaa":
            fail("the data partition at byte %d is not a FAT volume" % offset)
        self.fat32 = fat16_size == 0
        self.fat_size = struct.unpack_from("<I", b, 36)[0] if self.fat32 else fat16_size
        self.fat_start = reserved
        self.root_start = reserved + self.nfats * self.fat_size
        root_sectors = (root_entries * 32 + self.bps - 1) // self.bps
        self.data_start = self.root_start + root_sectors
        self.root_cluster = struct.unpack_from("<I", b, 44)[0] if self.fat32 else 0
        self.root_bytes = root_entries * 32
        self.clusters = (total - self.data_start) // self.spc + 2
        self.csize = self.spc * self.bps

    def fat_entry_at(self, n, copy=0):
        width = 4 if self.fat32 else 2
        return (self.fat_start + copy * self.fat_size) * self.bps + n * width

    def next(self, n):
        if self.fat32:
            return struct.unpack("<I", self.read(self.fat_entry_at(n), 4))[0] & 0x0FFFFFFF
        return struct.unpack("<H", self.read(self.fat_entry_at(n), 2))[0]

    def is_end(self, n):
        return n >= (0x0FFFFFF8 if self.fat32 else 0xFFF8)

    def chain(self, first):
        out = []
        n = first
        while 2 <= n < self.clusters and not self.is_end(n):
            if len(out) > self.clusters:
                fail("a cluster chain on the data partition loops")
            out.append(n)
            n = self.next(n)
        return out

    def dir_spans(self, first):
        """(byte offset, length) of a directory's storage; first 0 is the
        FAT16 root directory."""
        if first == 0 and not self.fat32:
            return [(self.root_start * self.bps, self.root_bytes)]
        return [((self.data_start + (c - 2) * self.spc) * self.bps, self.csize) for c in self.chain(first)]

    def entries(self, first):
        """(long or short name, offsets of its entries, offset of the 8.3
        entry, first cluster, size, attributes) of each file in a folder."""
        lfn, lfn_offsets = {}, []
        for at, n in self.dir_spans(first):
            block = self.read(at, n)
            for i in range(0, n, 32):
                e = block[i:i + 32]
                if e[0] == 0:
                    return
                if e[0] == 0xE5:
                    lfn, lfn_offsets = {}, []
                    continue
                if e[11] == 0x0F:
                    part = (e[1:11] + e[14:26] + e[28:32]).decode("utf-16-le", "replace")
                    lfn[e[0] & 0x1F] = part.split("\x00")[0]
                    lfn_offsets.append(at + i)
                    continue
                base = e[0:8].decode("latin-1").rstrip()
                ext = e[8:11].decode("latin-1").rstrip()
                if e[12] & 0x08:
                    base = base.lower()
                if e[12] & 0x10:
                    ext = ext.lower()
                short = base + ("." + ext if ext else "")
                name = "".join(lfn[k] for k in sorted(lfn)) if lfn else short
                cluster = struct.unpack_from("<H", e, 26)[0] | (struct.unpack_from("<H", e, 20)[0] << 16 if self.fat32 else 0)
                yield name, lfn_offsets + [at + i], at + i, cluster, struct.unpack_from("<I", e, 28)[0], e[11]
                lfn, lfn_offsets = {}, []

    def find(self, first, name):
        for e in self.entries(first):
            if e[0].lower() == name.lower():
                return e
        return None

    def root_folder(self):
        return self.root_cluster

    @staticmethod
    def is_folder(e):
        return bool(e[5] & 0x10)

    @staticmethod
    def folder_of(e):
        return e[3]


def main():
    target, offset, path, staged = arguments("fatreplace.py")
    v = Volume(target, offset)
    old, new = locate(v, path, staged)
    old_chain = v.chain(old[3])
    # 1. The staged file's entries deleted; its clusters stay allocated.
    for at in new[1]:
        v.write(at, b"\xe5")
    v.flush()
    # 2. The old entry names the new clusters and size.
    e = bytearray(v.read(old[2], 32))
    struct.pack_into("<H", e, 26, new[3] & 0xFFFF)
    if v.fat32:
        struct.pack_into("<H", e, 20, new[3] >> 16)
    struct.pack_into("<I", e, 28, new[4])
    v.write(old[2], bytes(e))
    v.flush()
    # 3. The old clusters freed in every FAT.
    for n in old_chain:
        for copy in range(v.nfats):
            if v.fat32:
                at = v.fat_entry_at(n, copy)
                keep = struct.unpack("<I", v.read(at, 4))[0] & 0xF0000000
                v.write(at, struct.pack("<I", keep))
            else:
                v.write(v.fat_entry_at(n, copy), b"\x00\x00")
    v.flush()


if __name__ == "__main__":
    main()
