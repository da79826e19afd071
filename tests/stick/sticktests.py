#!/usr/bin/env python3
"""The main job (scripts/make-stick) on block devices the test attaches
itself: loop devices over image files, and device-mapper devices over them
that fail or wrap writes the way bad sticks do. Flush before "ready",
read-back verify, several sticks at once, progress on a terminal, and
--update of a stick the previous job made.

usage: sticktests.py --source DIR --build DIR GROUP...
groups: flush verify several progress update refuse boot"""

import argparse
import hashlib
import os
import pty
import re
import select
import shutil
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "boot"))
sys.path.insert(0, os.path.join(HERE, "..", "uefi"))
from bootlib import Skip, Suite, Work, run  # noqa: E402

MIB = 1 << 20
FUSE_PYTHON = "/usr/bin/python3"   # Debian's, with python3-fusepy


class Ctx:
    def __init__(self, a):
        self.source, self.build = a.source, a.build
        self.w = Work(os.path.join(a.build, "qxtool"))
        self.tree = os.path.join(a.build, "stickfs")
        with open(os.path.join(a.build, "stickfs.list")) as f:
            self.files = f.read().split()
        self.loops = []     # loop devices this run attached, detached at close
        self.mounts = []    # FUSE mounts of fakestick.py this run made, and their processes
        self.script = os.path.join(a.source, "scripts", "make-stick")
        self.env = dict(os.environ, QX_BUILD=a.build)
        self.env.pop("CI", None)

    def close(self):
        for d in reversed(self.loops):
            subprocess.run(["losetup", "-d", d], capture_output=True)
        for mnt, proc in self.mounts:
            subprocess.run(["umount", mnt], capture_output=True)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
        self.w.close()

    def image(self, stem, size):
        p = self.w.fresh(stem)
        with open(p, "wb") as f:
            f.truncate(size)
        return p

    def loop(self, img, readonly=False):
        """A loop device over IMG, attached by this test."""
        r = run(["losetup", "-f", "--show"] + (["-r"] if readonly else []) + [img])
        dev = r.stdout.strip()
        self.loops.append(dev)
        return dev

    def fake(self, real, claimed, wrap=None, fail_from=None):
        """A loop device over a bad stick (fakestick.py: a FUSE file that
        claims CLAIMED bytes and keeps REAL of them), attached by this test."""
        backing = self.image("flash.img", real)
        mnt = self.w.fresh("mnt")
        os.makedirs(mnt)
        opts = ["--wrap", str(wrap)] if wrap is not None else ["--fail-from", str(fail_from)]
        proc = subprocess.Popen([FUSE_PYTHON, os.path.join(HERE, "fakestick.py"), mnt, backing,
                                 str(claimed)] + opts, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.mounts.append((mnt, proc))
        deadline = time.time() + 30
        while not os.path.exists(os.path.join(mnt, "stick")):
            assert proc.poll() is None and time.time() < deadline, \
                "fakestick.py did not mount: %s" % proc.stderr.read().decode(errors="replace")
            time.sleep(0.1)
        return self.loop(os.path.join(mnt, "stick")), backing

    def make(self, *args, env=None):
        return subprocess.run([self.script, *args], capture_output=True, text=True,
                              env=env or self.env, stdin=subprocess.DEVNULL)


def sectors(dev):
    return int(run(["blockdev", "--getsz", dev]).stdout)


def part_start(path):
    with open(path, "rb") as f:
        f.seek(454)
        return struct.unpack("<I", f.read(4))[0]


def fat(path):
    return "%s@@%d" % (path, part_start(path) * 512)


def read_fat_file(path, name):
    r = subprocess.run(["mcopy", "-n", "-i", fat(path), "::/" + name, "-"], capture_output=True)
    assert r.returncode == 0, "%s: mcopy %s: %s" % (path, name, r.stderr.decode(errors="replace"))
    return r.stdout


def sha(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for b in iter(lambda: f.read(MIB), b""):
            h.update(b)
    return h.hexdigest()


def pattern_file(ctx, stem, size, seed):
    """A file of SIZE bytes that differs at every 512-byte block."""
    p = ctx.w.fresh(stem)
    with open(p, "wb") as f:
        block = hashlib.sha256(b"%d" % seed).digest() * 16
        for i in range(size // 512):
            f.write(struct.pack("<II", seed, i) + block[8:])
    return p


def assert_made(ctx, path, isos=()):
    """PATH (an image file or the backing file of a device, read directly)
    holds the stick: the carried archive's items export their bytes, the
    tree and the ISO images read back through mtools, fsck.fat is content."""
    archive = os.path.join(ctx.build, "edit1.6.qxa")
    names = items(ctx, archive)
    assert names, "the carried archive lists no items"
    for n in names:
        a = subprocess.run([ctx.w.qxtool, archive, "export", n], capture_output=True).stdout
        b = subprocess.run([ctx.w.qxtool, path, "export", n], capture_output=True)
        assert b.returncode == 0 and b.stdout == a, "%s: hidden item %s differs" % (path, n)
    for f in ctx.files:
        with open(os.path.join(ctx.tree, f), "rb") as src:
            assert read_fat_file(path, f) == src.read(), "%s: %s differs" % (path, f)
    for iso in isos:
        with open(iso, "rb") as src:
            assert read_fat_file(path, os.path.basename(iso)) == src.read(), "%s: %s differs" % (path, iso)


def items(ctx, disk):
    """The names in a file list, as info shows them."""
    out = run([ctx.w.qxtool, disk, "info"]).stdout
    return re.findall(r'^ *\d+[a-z]* +"(.*)" 0x[0-9a-f]+ \d+ \(.*\)$', out, re.M)


suite = Suite()


@suite.case
def flush(ctx):
    """A stick on a loop device is on the medium when make-stick says it is
    ready: the backing file, read directly right after the run while another
    opener keeps the device from being synced on last close, holds every
    file. A device that fails writes in the data partition is reported as
    failed, not ready."""
    img = ctx.image("flush.img", 256 * MIB)
    dev = ctx.loop(img)
    iso = pattern_file(ctx, "a.iso", 8 * MIB, 1)
    holder = os.open(dev, os.O_RDONLY)   # like a desktop's prober holding the stick open
    try:
        r = ctx.make("--yes", "--iso", iso, dev)
        assert r.returncode == 0, r.stdout + r.stderr
        assert "%s is ready" % dev in r.stdout, r.stdout
        assert_made(ctx, img, [iso])
    finally:
        os.close(holder)
    # Writes past 200 MiB fail, as on a stick that is dying: the ISO goes
    # there, into the page cache first; the flush finds the failure.
    bad, _ = ctx.fake(256 * MIB, 256 * MIB, fail_from=200 * MIB)
    big = pattern_file(ctx, "big.iso", 120 * MIB, 2)
    r = ctx.make("--yes", "--iso", big, bad)
    assert r.returncode == 1, "exit %d: %s%s" % (r.returncode, r.stdout, r.stderr)
    assert "is ready" not in r.stdout, r.stdout
    assert re.search(r"make-stick: .*(flush failed|copying .*big.iso.* failed|differs)", r.stderr), r.stderr


@suite.case
def verify(ctx):
    """A stick that claims more than it holds and wraps writes past its real
    size: verify reads the drive back from the medium and names what it
    lost, and make-stick fails. Two ways a fake stick wraps, in a table: to
    its first sector (the boot record is gone) and onto a lower region of
    its flash (a file of the hidden area is overwritten)."""
    real, claimed = 200 * MIB, 320 * MIB
    big = pattern_file(ctx, "big.iso", 150 * MIB, 3)
    cases = [  # (where the wrapped writes land, expected message)
        (0, r"verify: the boot record of .* does not read back"),
        ((16384 + 1024) * 512, r"verify: \S+ in the hidden area of .* differs from what was written"),
    ]
    for onto, want in cases:
        dev, _ = ctx.fake(real, claimed, wrap=onto)
        r = ctx.make("--yes", "--iso", big, dev)
        assert r.returncode == 1, "wrap onto %d: exit %d: %s%s" % (onto, r.returncode, r.stdout, r.stderr)
        assert re.search(want, r.stderr), "wrap onto %d: %s" % (onto, r.stderr)
        assert "is ready" not in r.stdout
    # The same make-stick on an honest device of the claimed size verifies.
    img = ctx.image("honest.img", claimed * 512)
    r = ctx.make("--yes", "--iso", big, ctx.loop(img))
    assert r.returncode == 0, r.stdout + r.stderr
    assert "reads back as written" in r.stdout, r.stdout


@suite.case
def several(ctx):
    """Three loop devices at once, the middle one read-only: the other two
    are made and verified, the table says which failed, and the exit status
    is 1. The two good sticks hold everything."""
    imgs = [ctx.image("s%d.img" % i, 256 * MIB) for i in range(3)]
    devs = [ctx.loop(imgs[0]), ctx.loop(imgs[1], readonly=True), ctx.loop(imgs[2])]
    iso = pattern_file(ctx, "s.iso", 4 * MIB, 4)
    r = ctx.make("--yes", "--iso", iso, *devs)
    assert r.returncode == 1, "exit %d: %s%s" % (r.returncode, r.stdout, r.stderr)
    rows = {}
    for l in r.stdout.splitlines():
        m = re.match(r"(\S+)\s+(ready|FAILED)\s+(\d+\.\d) s$", l)
        if m:
            rows[m.group(1)] = m.group(2)
    assert rows == {devs[0]: "ready", devs[1]: "FAILED", devs[2]: "ready"}, r.stdout
    assert re.search(r"--- %s:\n.*read-only" % re.escape(devs[1]), r.stderr), r.stderr
    assert "not every drive is ready" in r.stderr
    for i in (0, 2):
        assert_made(ctx, imgs[i], [iso])
    # All good: exit 0, both images made.
    a, b = ctx.image("a.img", 256 * MIB), ctx.image("b.img", 256 * MIB)
    r = ctx.make("--no-verify", a, b)
    assert r.returncode == 0 and "all 2 drives are ready" in r.stdout, r.stdout + r.stderr
    for p in (a, b):
        assert_made(ctx, p)


def in_pty(ctx, args, env):
    """Runs make-stick with its standard error (and output) on a pseudo-
    terminal; returns the exit status and everything the terminal got."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execve(ctx.script, [ctx.script] + args, env)
    out = b""
    while True:
        try:
            ready, _, _ = select.select([fd], [], [], 600)
            if not ready:
                break
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), out.decode(errors="replace")


PROGRESS = r"\d+\.\d MiB of \d+\.\d MiB, \d+\.\d MiB/s, \d+ s left"


@suite.case
def progress(ctx):
    """Progress lines (bytes done, rate, time left) on a terminal; none in a
    pipe, none under CI even on a terminal. With two targets, each has its
    own line on the terminal."""
    iso = pattern_file(ctx, "p.iso", 96 * MIB, 5)
    ci = dict(ctx.env, CI="true")
    for how, env, shown in (("pty", ctx.env, True), ("pipe", ctx.env, False), ("pty", ci, False)):
        img = ctx.image("p.img", 256 * MIB)
        args = ["--no-verify", "--iso", iso, img]
        if how == "pty":
            status, out = in_pty(ctx, args, env)
        else:
            r = ctx.make(*args, env=env)
            status, out = r.returncode, r.stdout + r.stderr
        assert status == 0, out
        found = re.search(r"p\.iso-\d+: " + PROGRESS, out)
        assert bool(found) == shown, "%s, CI=%s: progress %s in %r" % (
            how, env.get("CI"), "missing" if shown else "shown", out[-2000:])
        assert bool("\033[K" in out) == shown, "%s: terminal codes %s" % (how, "missing" if shown else "in output")
    imgs = [ctx.image("q.img", 256 * MIB) for _ in range(2)]
    status, out = in_pty(ctx, ["--no-verify", "--iso", iso] + imgs, ctx.env)
    assert status == 0, out
    for p in imgs:
        assert re.search(re.escape(p) + r": [^\r\n]*" + PROGRESS, out), "no line for %s: %r" % (p, out[-2000:])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("groups", nargs="*")
    a = ap.parse_args()
    strict = os.environ.get("CI") == "true"
    need = ["mcopy", "losetup", "blockdev", "fsck.fat", FUSE_PYTHON]
    missing = [t for t in need if not shutil.which(t)]
    if subprocess.run([FUSE_PYTHON, "-c", "import fusepy"], capture_output=True).returncode != 0:
        missing.append("python3-fusepy")
    if missing or os.geteuid() != 0:
        print("SKIP: needs root and %s" % " ".join(missing or need))
        sys.exit(1 if strict else 77)
    ctx = Ctx(a)
    try:
        ok = suite.run(ctx, a.groups)
    finally:
        ctx.close()
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
