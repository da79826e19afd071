"""Raw access to a file system that starts at a byte offset of a device or
image, shared by fatreplace.py and exfatreplace.py."""

import os
import sys


def fail(msg):
    sys.stderr.write("make-stick: %s\n" % msg)
    sys.exit(1)


class Partition:
    def __init__(self, path, offset):
        self.fd = os.open(path, os.O_RDWR)
        self.base = offset

    def read(self, at, n):
        data = os.pread(self.fd, n, self.base + at)
        if len(data) != n:
            fail("reading the data partition failed")
        return data

    def write(self, at, data):
        if os.pwrite(self.fd, data, self.base + at) != len(data):
            fail("writing the data partition failed")

    def flush(self):
        os.fsync(self.fd)
