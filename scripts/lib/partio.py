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


def arguments(script):
    """TARGET, OFFSET, PATH and STAGED from the command line of a replace
    script."""
    if len(sys.argv) != 5:
        fail("usage: %s DEVICE_OR_IMAGE OFFSET PATH STAGED" % script)
    return sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]


def locate(volume, path, staged):
    """The entries of PATH and of the staged copy beside it, found through
    the volume's root_folder, find, is_folder and folder_of. Exits with
    status 3, writing nothing, when PATH does not exist yet (the caller
    renames the staged file)."""
    parts = path.strip("/").split("/")
    staged_parts = staged.strip("/").split("/")
    if staged_parts[:-1] != parts[:-1]:
        fail("%s and %s are not in the same folder" % (path, staged))
    folder = volume.root_folder()
    for p in parts[:-1]:
        e = volume.find(folder, p)
        if e is None or not volume.is_folder(e):
            fail("%s is not a folder on the data partition" % p)
        folder = volume.folder_of(e)
    old = volume.find(folder, parts[-1])
    new = volume.find(folder, staged_parts[-1])
    if new is None:
        fail("the staged file %s is missing" % staged)
    if old is None:
        sys.exit(3)
    return old, new
