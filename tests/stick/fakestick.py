#!/usr/bin/python3
"""A bad stick for the tests, as one file in a FUSE mount: a loop device
over it is a block device that behaves the way cheap, fake or dying sticks
do. The file claims SIZE bytes but keeps its bytes in BACKING, an image
file of the real size:

  --wrap ONTO     bytes past the real size land at ONTO + (offset - real
                  size) of the real flash, as a stick that lies about its
                  capacity wraps them (ONTO 0: onto its first sector)
  --fail-from OFF writes at or past OFF fail (EIO), as on a dying stick
  --write-mbps N  writes take as long as on a stick that writes N MiB/s
  --log FILE      records every write ("W", u64 offset, u32 length, the
                  bytes) and every flush ("F") in the order they arrive,
                  for the power-cut replay

usage: fakestick.py MOUNTPOINT BACKING SIZE [--wrap ONTO] [--fail-from OFF] [--write-mbps N] [--log FILE]
Runs in the foreground until the mount point is unmounted."""

import argparse
import errno
import os
import stat
import struct
import threading
import time

from fusepy import FUSE, FuseOSError, Operations

NAME = "/stick"


class FakeStick(Operations):
    def __init__(self, backing, size, wrap, fail_from, mbps, log):
        self.fd = os.open(backing, os.O_RDWR)
        self.real = os.fstat(self.fd).st_size
        self.size, self.wrap, self.fail_from = size, wrap, fail_from
        self.seconds_per_byte = 1.0 / (mbps * (1 << 20)) if mbps else 0
        self.log = open(log, "wb") if log else None
        self.mutex = threading.Lock()

    def pieces(self, offset, length):
        """(real offset, length) pieces of a request, split at the real size."""
        out = []
        while length > 0:
            if self.wrap is None or offset < self.real:
                n = length if self.wrap is None else min(length, self.real - offset)
                out.append((offset, n))
            else:
                n = length
                out.append((self.wrap + (offset - self.real) % (self.real - self.wrap), n))
            offset += n
            length -= n
        return out

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": stat.S_IFDIR | 0o755, "st_nlink": 2}
        if path != NAME:
            raise FuseOSError(errno.ENOENT)
        return {"st_mode": stat.S_IFREG | 0o644, "st_nlink": 1, "st_size": self.size}

    def readdir(self, path, fh):
        return [".", "..", NAME[1:]]

    def open(self, path, fi):
        fi.direct_io = True   # every request reaches this process
        return 0

    def read(self, path, size, offset, fh):
        size = max(0, min(size, self.size - offset))
        with self.mutex:
            return b"".join(os.pread(self.fd, n, o) for o, n in self.pieces(offset, size))

    def write(self, path, data, offset, fh):
        if self.fail_from is not None and offset + len(data) > self.fail_from:
            raise FuseOSError(errno.EIO)
        with self.mutex:
            if self.log:
                self.log.write(b"W" + struct.pack("<QI", offset, len(data)) + data)
            at = 0
            for o, n in self.pieces(offset, len(data)):
                os.pwrite(self.fd, data[at:at + n], o)
                at += n
            time.sleep(len(data) * self.seconds_per_byte)
        return len(data)

    def truncate(self, path, length, fh=None):
        return 0

    def fsync(self, path, datasync, fh):
        with self.mutex:
            os.fsync(self.fd)
            if self.log:
                self.log.write(b"F")
                self.log.flush()
        return 0

    def flush(self, path, fh):
        return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mountpoint")
    ap.add_argument("backing")
    ap.add_argument("size", type=int)
    ap.add_argument("--wrap", type=int)
    ap.add_argument("--fail-from", type=int)
    ap.add_argument("--write-mbps", type=float)
    ap.add_argument("--log")
    a = ap.parse_args()
    stick = FakeStick(a.backing, a.size, a.wrap, a.fail_from, a.write_mbps, a.log)
    FUSE(stick, a.mountpoint, foreground=True,
         raw_fi=True, allow_other=True, nothreads=False)
    if stick.log:
        stick.log.close()


if __name__ == "__main__":
    main()
