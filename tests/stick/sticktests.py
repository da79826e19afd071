#!/usr/bin/env python3
"""The main job (scripts/make-stick) on block devices the test attaches
itself: loop devices over image files, and over a FUSE file (fakestick.py)
that fails, wraps or records writes the way bad sticks and power cuts do.
Flush before "ready", read-back verify (of an exFAT stick too), several sticks at once, progress on
a terminal, and --update of a stick the previous job made and of an exFAT
stick, power cuts during it replayed.

usage: sticktests.py --source DIR --build DIR GROUP...
groups: flush verify exfat several progress update refuse boot powercut"""

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
import uefitests as uefi  # noqa: E402

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
        self.fakes = {}     # loop device -> its mount and process
        self.script = os.path.join(a.source, "scripts", "make-stick")
        self.env = dict(os.environ, QX_BUILD=a.build)
        self.env.pop("CI", None)
        self.payload = None  # the kernel and initrd of the boot cases

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

    def loop(self, img, readonly=False, span=None):
        """A loop device over IMG (SPAN: its bytes from offset, length),
        attached by this test."""
        opts = ["-o", str(span[0]), "--sizelimit", str(span[1])] if span else []
        r = run(["losetup", "-f", "--show"] + (["-r"] if readonly else []) + opts + [img])
        dev = r.stdout.strip()
        self.loops.append(dev)
        return dev

    def fake(self, real, claimed, wrap=None, fail_from=None, backing=None, log=None, mbps=None):
        """A loop device over a bad stick (fakestick.py: a FUSE file that
        claims CLAIMED bytes and keeps REAL of them in BACKING), attached by
        this test; LOG records its writes and flushes."""
        backing = backing or self.image("flash.img", real)
        mnt = self.w.fresh("mnt")
        os.makedirs(mnt)
        opts = ["--wrap", str(wrap)] if wrap is not None else []
        opts += ["--fail-from", str(fail_from)] if fail_from is not None else []
        opts += ["--log", log] if log else []
        opts += ["--write-mbps", str(mbps)] if mbps else []
        proc = subprocess.Popen([FUSE_PYTHON, os.path.join(HERE, "fakestick.py"), mnt, backing,
                                 str(claimed)] + opts, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.mounts.append((mnt, proc))
        deadline = time.time() + 30
        while not os.path.exists(os.path.join(mnt, "stick")):
            assert proc.poll() is None and time.time() < deadline, \
                "fakestick.py did not mount: %s" % proc.stderr.read().decode(errors="replace")
            time.sleep(0.1)
        dev = self.loop(os.path.join(mnt, "stick"))
        self.fakes[dev] = (mnt, proc)
        return dev, backing

    def unfake(self, dev):
        """Detaches a bad stick's loop device and ends its FUSE process."""
        mnt, proc = self.fakes.pop(dev)
        run(["losetup", "-d", dev])
        self.loops.remove(dev)
        run(["umount", mnt])
        proc.wait(30)
        self.mounts.remove((mnt, proc))

    def make(self, *args, env=None):
        return subprocess.run([self.script, *args], capture_output=True, text=True,
                              env=env or self.env, stdin=subprocess.DEVNULL)


def sectors(dev):
    return int(run(["blockdev", "--getsz", dev]).stdout)


def part_start(path):
    with open(path, "rb") as f:
        f.seek(454)
        return struct.unpack("<I", f.read(4))[0]


def part_span(path, slot):
    """(first sector, sectors) of entry SLOT (1 to 4) of the partition table."""
    with open(path, "rb") as f:
        f.seek(0x1C6 + 16 * (slot - 1))
        return struct.unpack("<II", f.read(8))


def fat(path, slot=1):
    return "%s@@%d" % (path, part_span(path, slot)[0] * 512)


def read_fat_file(path, name, slot=1):
    r = subprocess.run(["mcopy", "-n", "-i", fat(path, slot), "::/" + name, "-"], capture_output=True)
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
def exfat(ctx):
    """An exFAT stick (exFAT data partition from 108 MiB, EFI system
    partition in the last 64 MiB) is read back on both partitions. On a
    stick that claims 320 MiB and keeps 264, the EFI system partition's
    files written past 264 MiB wrap onto 128 MiB, inside the ISO image on
    the exFAT partition, written before them: the EFI system partition
    reads back whole, the ISO image does not, and verify names it. The same
    job on an honest device verifies. Either way make-stick leaves no loop
    device over the drive and no mount of its own behind."""
    real, claimed = 264 * MIB, 320 * MIB
    iso = pattern_file(ctx, "x.iso", 32 * MIB, 9)

    def leftovers(dev):
        loops = run(["losetup", "-j", dev]).stdout.strip()
        with open("/proc/mounts") as f:
            mounts = [l for l in f if "/qxverify." in l or "/qxstick." in l]
        return loops, mounts

    dev, _ = ctx.fake(real, claimed, wrap=128 * MIB)
    r = ctx.make("--yes", "--exfat", "--iso", iso, dev)
    assert r.returncode == 1, "exit %d: %s%s" % (r.returncode, r.stdout, r.stderr)
    name = re.escape(os.path.basename(iso))
    assert re.search(r"verify: %s on the exFAT partition of %s differs from \S*/%s$" % (name, re.escape(dev), name),
                     r.stderr, re.M), r.stderr
    assert "does not read back" not in r.stderr and "hidden area" not in r.stderr, r.stderr
    assert "is ready" not in r.stdout, r.stdout
    assert leftovers(dev) == ("", []), "after the failed verify: %r" % (leftovers(dev),)
    img = ctx.image("honest.img", claimed)
    good = ctx.loop(img)
    r = ctx.make("--yes", "--exfat", "--iso", iso, good)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "%s reads back as written" % good in r.stdout, r.stdout
    assert leftovers(good) == ("", []), "after verify: %r" % (leftovers(good),)


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
    pipe, none under CI even on a terminal. The sticks write 40 MiB/s, so
    that writing out takes seconds. With two targets, each has its own line
    on the terminal."""
    iso = pattern_file(ctx, "p.iso", 64 * MIB, 5)
    ci = dict(ctx.env, CI="true")
    for how, env, shown in (("pty", ctx.env, True), ("pipe", ctx.env, False), ("pty", ci, False)):
        dev, _ = ctx.fake(256 * MIB, 256 * MIB, mbps=40)
        args = ["--yes", "--no-verify", "--iso", iso, dev]
        if how == "pty":
            status, out = in_pty(ctx, args, env)
        else:
            r = ctx.make(*args, env=env)
            status, out = r.returncode, r.stdout + r.stderr
        assert status == 0, out
        found = re.search(PROGRESS, out)
        assert bool(found) == shown, "%s, CI=%s: progress %s in %r" % (
            how, env.get("CI"), "missing" if shown else "shown", out[-2000:])
        assert bool("\033[K" in out) == shown, "%s: terminal codes %s" % (how, "missing" if shown else "in output")
        ctx.unfake(dev)
    devs = [ctx.fake(256 * MIB, 256 * MIB, mbps=40)[0] for _ in range(2)]
    status, out = in_pty(ctx, ["--yes", "--no-verify", "--iso", iso] + devs, ctx.env)
    assert status == 0, out
    for d in devs:
        assert re.search(re.escape(d) + r": [^\r\n]*" + PROGRESS, out), "no line for %s: %r" % (d, out[-2000:])


def old_stick(ctx, path, debug=False):
    """A stick made the way the previous make-stick made it: the front end's
    three steps, then the tree copied with mtools, and no record. DEBUG: with
    the debug variant of the boot record program, which --update replaces
    with the release one."""
    q = ctx.w.qxtool
    run([q] + (["--debug"] if debug else []) +
        [path, "format", "--extended", "100m", "--force", "--align", "--primary", "8m"])
    run([q, path, "clear"])
    run([q, path, "load", os.path.join(ctx.build, "edit1.6.qxa")])
    run(["mcopy", "-s", "-Q", "-o", "-i", fat(path)] +
        [os.path.join(ctx.tree, n) for n in sorted(os.listdir(ctx.tree))] + ["::/"])


class Fat:
    """A FAT stick as the previous make-stick made it, its files read and
    written with mtools."""
    name = "FAT"

    @staticmethod
    def make(ctx, path):
        old_stick(ctx, path, debug=True)

    @staticmethod
    def put(ctx, path, files):
        for d in sorted({os.path.dirname(n) for n in files} - {""}):
            subprocess.run(["mmd", "-i", fat(path), "::/" + d], capture_output=True)
        for name, data in files.items():
            run(["mcopy", "-o", "-i", fat(path), ctx.w.write(data, "mine"), "::/" + name])

    @staticmethod
    def read(ctx, path, names):
        return {n: read_fat_file(path, n) for n in names}

    @staticmethod
    def older(ctx):
        """Another GRUB on the data partition."""
        return {(1, "EFI/qx/grubx64.efi")}

    @staticmethod
    def own(ctx):
        """(slot, path on that partition) -> the file of this build it holds."""
        return {(1, f): os.path.join(ctx.tree, f) for f in ctx.files if f != "boot/grub/grub.cfg"}

    @staticmethod
    def leftovers(ctx, path):
        return [l for l in run(["mdir", "-/", "-b", "-i", fat(path), "::/"]).stdout.splitlines() if ".qxnew" in l]

    @staticmethod
    def fsck(ctx, path):
        r = fsck(ctx, path)
        assert r.returncode == 0, "fsck.fat: %s%s" % (r.stdout, r.stderr)


class Exfat:
    """An exFAT stick made by make-stick --exfat, then given the debug boot
    record program; the exFAT partition's files read and written through
    exfat-fuse, the EFI system partition's (slot 2) with mtools."""
    name = "exFAT"

    @staticmethod
    def make(ctx, path):
        r = ctx.make("--exfat", "--no-verify", path)
        assert r.returncode == 0, r.stdout + r.stderr
        run([ctx.w.qxtool, "--debug", path, "update"])

    @staticmethod
    def put(ctx, path, files):
        with exfat_mounted(ctx, path) as mnt:
            for name, data in files.items():
                os.makedirs(os.path.dirname(os.path.join(mnt, name)), exist_ok=True)
                with open(os.path.join(mnt, name), "wb") as f:
                    f.write(data)

    @staticmethod
    def read(ctx, path, names):
        with exfat_mounted(ctx, path, readonly=True) as mnt:
            out = {}
            for n in names:
                with open(os.path.join(mnt, n), "rb") as f:
                    out[n] = f.read()
            return out

    @staticmethod
    def older(ctx):
        """A tool on the exFAT partition, GRUB on the EFI system partition."""
        return {(1, "boot/tools/memtest.bin"), (2, "EFI/qx/grubx64.efi")}

    @staticmethod
    def own(ctx):
        own = {(2, "boot/grub/stick.cfg"): os.path.join(ctx.tree, "boot/grub/grub.cfg"),
               (2, "boot/grub/grub.cfg"): os.path.join(ctx.source, "archive/esp-grub.cfg")}
        for f in ctx.files:
            if f.startswith("boot/") and f != "boot/grub/grub.cfg":
                own[(1, f)] = own[(2, f)] = os.path.join(ctx.tree, f)
            elif not f.startswith("boot/"):
                own[(2, f)] = os.path.join(ctx.tree, f)
        return own

    @staticmethod
    def leftovers(ctx, path):
        with exfat_mounted(ctx, path, readonly=True) as mnt:
            found = [os.path.join(d, n) for d, _, names in os.walk(mnt) for n in names if ".qxnew" in n]
        return found + [l for l in run(["mdir", "-/", "-b", "-i", fat(path, 2), "::/"]).stdout.splitlines()
                        if ".qxnew" in l]

    @staticmethod
    def fsck(ctx, path):
        r = fsck_exfat(ctx, path)
        assert r.returncode == 0, "fsck.exfat: %s%s" % (r.stdout, r.stderr)
        r = fsck(ctx, path, slot=2)
        assert r.returncode == 0, "fsck.fat of the EFI system partition: %s%s" % (r.stdout, r.stderr)


class exfat_mounted:
    """The exFAT partition (slot 1) of an image, mounted through exfat-fuse
    on a loop device this test attaches over it; unmounted and detached on
    leaving."""

    def __init__(self, ctx, path, readonly=False):
        self.ctx, self.path, self.readonly = ctx, path, readonly

    def __enter__(self):
        start, count = part_span(self.path, 1)
        self.dev = self.ctx.loop(self.path, readonly=self.readonly, span=(start * 512, count * 512))
        self.mnt = self.ctx.w.fresh("exfat")
        os.makedirs(self.mnt)
        run(["mount.exfat-fuse"] + (["-o", "ro"] if self.readonly else []) + [self.dev, self.mnt])
        return self.mnt

    def __exit__(self, *exc):
        run(["umount", self.mnt])
        run(["losetup", "-d", self.dev])
        self.ctx.loops.remove(self.dev)
        os.rmdir(self.mnt)


def fsck_exfat(ctx, path):
    """fsck.exfat -n of the exFAT partition of PATH, on a read-only loop
    device over it."""
    start, count = part_span(path, 1)
    dev = ctx.loop(path, readonly=True, span=(start * 512, count * 512))
    try:
        return subprocess.run(["fsck.exfat", "-n", dev], capture_output=True, text=True)
    finally:
        run(["losetup", "-d", dev])
        ctx.loops.remove(dev)


def read_own(ctx, path, lay):
    """The stick's own files as PATH holds them: {(slot, path): bytes}."""
    own = lay.own(ctx)
    out = {(1, n): b for n, b in lay.read(ctx, path, sorted(n for s, n in own if s == 1)).items()}
    for s, n in own:
        if s == 2:
            out[(2, n)] = read_fat_file(path, n, 2)
    return out


def fill(ctx, path, lay=Fat):
    """The user's files on a stick: files and a folder on the data partition
    (the kernel and initrd the edited menu boots among them), an item of
    their own in the hidden area, and their own menu. Returns {name: bytes}
    of the data partition's files and the hidden item's bytes."""
    kernel, initrd = uefi.linux_payload(ctx)
    mine = {"boot/vmlinuz": open(kernel, "rb").read(), "boot/initrd.gz": open(initrd, "rb").read(),
            "images/user.iso": open(pattern_file(ctx, "user.iso", 6 * MIB, 7), "rb").read(),
            "notes.txt": b"the user's own notes\n", "boot/grub/grub.cfg": uefi.TEST_CFG}
    lay.put(ctx, path, mine)
    hidden = open(pattern_file(ctx, "hidden.bin", 300000, 8), "rb").read()
    run([ctx.w.qxtool, path, "add", "mine.bin", ctx.w.write(hidden, "hidden")])
    return mine, hidden


def make_older(ctx, path, lay=Fat):
    """Makes PATH look like a stick of an older build: other own files (this
    build's with bytes appended, which firmware loaders ignore, so that they
    still boot) and another memtest.bin in the hidden area."""
    for slot, name in lay.older(ctx):
        with open(os.path.join(ctx.tree, name), "rb") as f:
            older = ctx.w.write(f.read() + b"older build" * 100, "older")
        if slot == 1 and lay is Exfat:
            with open(older, "rb") as f:
                Exfat.put(ctx, path, {name: f.read()})
        else:
            run(["mcopy", "-o", "-i", fat(path, slot), older, "::/" + name])
    run([ctx.w.qxtool, path, "add", "memtest.bin", older])


def assert_updated(ctx, path, mine, hidden, lay=Fat):
    """After --update: every file of the user reads back the same bytes, the
    edited menu is kept and the new one is beside it, the stick's own files
    and the carried items are this build's, nothing temporary is left, and
    the file system checkers and the tool's check are content."""
    got = lay.read(ctx, path, list(mine) + ["boot/grub/grub.cfg.new"])
    for name, data in mine.items():
        assert got[name] == data, "%s: the user's %s changed" % (path, name)
    with open(os.path.join(ctx.tree, "boot/grub/grub.cfg"), "rb") as f:
        assert got["boot/grub/grub.cfg.new"] == f.read()
    have = read_own(ctx, path, lay)
    for (slot, name), src in lay.own(ctx).items():
        with open(src, "rb") as f:
            assert have[(slot, name)] == f.read(), "%s: %s on partition %d is not this build's" % (path, name, slot)
    archive = os.path.join(ctx.build, "edit1.6.qxa")
    for n in items(ctx, archive):
        a = subprocess.run([ctx.w.qxtool, archive, "export", n], capture_output=True).stdout
        assert subprocess.run([ctx.w.qxtool, path, "export", n], capture_output=True).stdout == a, n
    assert subprocess.run([ctx.w.qxtool, path, "export", "mine.bin"], capture_output=True).stdout == hidden
    assert lay.leftovers(ctx, path) == [], lay.leftovers(ctx, path)
    run([ctx.w.qxtool, path, "check"])
    lay.fsck(ctx, path)


def fsck(ctx, path, slot=1):
    """fsck.fat -n of the FAT partition in entry SLOT of PATH."""
    part = ctx.w.fresh("part.img")
    start, count = part_span(path, slot)
    run(["dd", "if=" + path, "of=" + part, "bs=1M", "iflag=skip_bytes,count_bytes", "status=none",
         "skip=%d" % (start * 512), "count=%d" % (count * 512)])
    r = subprocess.run(["fsck.fat", "-n", part], capture_output=True, text=True)
    os.unlink(part)
    return r


def partitions(path):
    """The sums of the bytes of both partitions of PATH."""
    out = []
    with open(path, "rb") as f:
        for slot in (1, 2):
            start, count = part_span(path, slot)
            f.seek(start * 512)
            h, left = hashlib.sha256(), count * 512
            while left:
                b = f.read(min(left, MIB))
                h.update(b)
                left -= len(b)
            out.append(h.hexdigest())
    return out


@suite.case
def update(ctx):
    """--update of a stick on a loop device, filled with the user's files,
    an edited menu, the debug boot record program and older own files and
    carried item, in a table of layouts (a FAT stick the previous job made,
    an exFAT stick): the user's files keep their bytes, the edited menu is
    kept with the new one beside it, the rest is this build's. A second
    update changes no own file (on the exFAT stick, no byte of either
    partition). On a FAT stick with the record, a menu an earlier run wrote
    (not edited) is replaced."""
    for lay, size in ((Fat, 256 * MIB), (Exfat, 320 * MIB)):
        img = ctx.image("old.img", size)
        lay.make(ctx, img)
        mine, hidden = fill(ctx, img, lay)
        make_older(ctx, img, lay)
        dev = ctx.loop(img)
        r = ctx.make("--update", dev)
        out = "%s: %s%s" % (lay.name, r.stdout, r.stderr)
        assert r.returncode == 0, out
        assert "boot/grub/grub.cfg was edited and is kept; the new one is boot/grub/grub.cfg.new" in r.stdout, out
        assert "%s is ready" % dev in r.stdout, out
        assert "boot record program updated" in r.stdout, out
        assert "debug version: no" in run([ctx.w.qxtool, img, "info"]).stdout, lay.name
        assert_updated(ctx, img, mine, hidden, lay)
        before = partitions(img)
        r = ctx.make("--update", dev)
        out = "%s: %s%s" % (lay.name, r.stdout, r.stderr)
        assert r.returncode == 0 and "0 of the drive's own files refreshed" in r.stdout, out
        assert "boot record program is up to date" in r.stdout, out
        assert "grub.cfg was edited and is kept" in r.stdout, out
        assert_updated(ctx, img, mine, hidden, lay)
        if lay is Exfat:
            assert partitions(img) == before, "the second update wrote to the partitions"
        print("  ok: %s" % lay.name, flush=True)
    # A stick with the record: its menu as an earlier run wrote it counts
    # as ours and is replaced; no .new appears.
    img = ctx.image("new.img", 256 * MIB)
    assert ctx.make("--no-verify", img).returncode == 0
    earlier = b"# the menu of an earlier build\n"
    record = read_fat_file(img, "boot/stickfs.sha256").decode()
    record = re.sub(r"^\w+(  boot/grub/grub.cfg)$", hashlib.sha256(earlier).hexdigest() + r"\1", record, flags=re.M)
    run(["mcopy", "-o", "-i", fat(img), ctx.w.write(earlier, "earlier"), "::/boot/grub/grub.cfg"])
    run(["mcopy", "-o", "-i", fat(img), ctx.w.write(record.encode(), "record"), "::/boot/stickfs.sha256"])
    r = ctx.make("--update", img)
    assert r.returncode == 0 and "1 of the drive's own files refreshed" in r.stdout, r.stdout + r.stderr
    assert "edited" not in r.stdout
    with open(os.path.join(ctx.tree, "boot/grub/grub.cfg"), "rb") as f:
        assert read_fat_file(img, "boot/grub/grub.cfg") == f.read()
    assert subprocess.run(["mdir", "-i", fat(img), "::/boot/grub/grub.cfg.new"],
                          capture_output=True).returncode != 0


@suite.case
def refuse(ctx):
    """--update refuses, with the reason and before anything is written,
    what it cannot keep."""
    q = ctx.w.qxtool

    def zeros(p):
        pass

    def archive(p):
        shutil.copy(os.path.join(ctx.build, "edit1.6.qxa"), p)

    def no_fat(p):
        old_stick(ctx, p)
        with open(p, "r+b") as f:
            f.seek(part_start(p) * 512)
            f.write(bytes(512))

    def bare(p):
        run([q, p, "format", "--extended", "100m", "--force", "--align", "--primary", "8m"])

    def small(p):
        run([q, p, "format", "--extended", "4m", "--force", "--align", "--primary", "8m"])
        run(["mmd", "-i", fat(p), "::/boot", "::/boot/grub"])

    def exfat_bare(p):
        run([q, p, "format", "--extended", "100m", "--force", "--align", "--primary", "8m", "--exfat"])

    def exfat_no_esp(p):
        run([q, p, "format", "--extended", "100m", "--force", "--align", "--primary", "8m", "--exfat",
             "--esp-size", "0"])

    def esp_full(p):
        # An older GRUB to replace, and a file of the user's that leaves
        # the EFI system partition less room than the new GRUB needs.
        Exfat.make(ctx, p)
        make_older(ctx, p, Exfat)
        out = run(["mdir", "-i", fat(p, 2), "::/"]).stdout
        free = int(re.search(r"([\d ]+) bytes free", out).group(1).replace(" ", ""))
        run(["mcopy", "-i", fat(p, 2), pattern_file(ctx, "full.bin", free - 512 * 1024, 10), "::/full.bin"])

    cases = [
        (zeros, r"is not a drive made by make-stick \(no QX boot record\); nothing was written"),
        (archive, r"is not a drive made by make-stick \(no QX boot record\)"),
        (no_fat, r"has no FAT data partition that can be kept; nothing was written"),
        (bare, r"has no /boot/grub on its data partition"),
        (small, r"the new carried archive does not fit beside the present one \(qxtool: error: not enough space\)"),
        (exfat_bare, r"has no /boot/grub on its exFAT partition: not a drive made by make-stick; nothing was written"),
        (exfat_no_esp, r"has an exFAT data partition but no EFI system partition that can be kept; nothing was written"),
        (esp_full, r"the EFI system partition of \S+ has 0\.\d MiB free and the new files need 1\.\d MiB beside the old "
                   r"ones; nothing was written"),
    ]
    for setup, want in cases:
        p = ctx.image("refuse.img", 256 * MIB)
        setup(p)
        before = sha(p)
        size = os.path.getsize(p)
        r = ctx.make("--update", p)
        assert r.returncode == 1, "%s: exit %d: %s%s" % (setup.__name__, r.returncode, r.stdout, r.stderr)
        assert re.search(want, r.stderr), "%s: %s" % (setup.__name__, r.stderr)
        assert sha(p) == before and os.path.getsize(p) == size, "%s: the target changed" % setup.__name__
    r = ctx.make("--update", ctx.w.path("nothing.img"))
    assert r.returncode == 1 and "does not exist" in r.stderr, r.stderr
    assert not os.path.exists(ctx.w.path("nothing.img"))


@suite.case
def boot(ctx):
    """A stick of each layout (a FAT stick the previous job made, an exFAT
    stick), filled, made older and updated, boots with the kept menu:
    SeaBIOS through the updated boot record program and carried GRUB, OVMF
    through the refreshed UEFI files."""
    for lay, size in ((Fat, 256 * MIB), (Exfat, 320 * MIB)):
        img = ctx.image("boot.img", size)
        lay.make(ctx, img)
        fill(ctx, img, lay)
        make_older(ctx, img, lay)
        r = ctx.make("--update", img)
        assert r.returncode == 0, "%s: %s%s" % (lay.name, r.stdout, r.stderr)
        for fw in ("seabios", "ovmf"):
            uefi.assert_path(fw, uefi.boot(ctx, img, fw, uefi.EXPECT[fw][-1], timeout=300))
            print("  ok: %s, %s" % (lay.name, fw), flush=True)


def read_log(path):
    """The writes and flushes a fakestick.py log recorded: ("W", offset,
    bytes) and ("F",) in order."""
    events = []
    with open(path, "rb") as f:
        data = f.read()
    at = 0
    while at < len(data):
        if data[at:at + 1] == b"F":
            events.append(("F",))
            at += 1
        else:
            offset, n = struct.unpack_from("<QI", data, at + 1)
            events.append(("W", offset, data[at + 13:at + 13 + n]))
            at += 13 + n
    return events


def cut_state(ctx, base, events, k, rng):
    """The image a power cut after the first K events can leave: every write
    before the last flush before K is on the medium; of the writes since,
    each 512-byte sector may or may not have arrived."""
    last_flush = max([i for i in range(k) if events[i][0] == "F"], default=-1)
    state = ctx.w.fresh("cut.img")
    run(["cp", "--sparse=always", base, state])
    with open(state, "r+b") as f:
        for i in range(k):
            e = events[i]
            if e[0] != "W":
                continue
            if i < last_flush:
                f.seek(e[1])
                f.write(e[2])
            else:
                for s in range(0, len(e[2]), 512):
                    if rng.random() < 0.5:
                        f.seek(e[1] + s)
                        f.write(e[2][s:s + 512])
    return state


def fat_complaints(ctx, state, slot=1):
    """What fsck.fat -n finds on the FAT partition in entry SLOT beyond what
    a cut while mtools writes always can leave: clusters allocated to no
    file, FAT copies that differ, a staged .qxnew file cut short (the next
    update writes it again)."""
    r = fsck(ctx, state, slot)
    complaints, path = [], ""
    for l in (r.stdout + r.stderr).splitlines():
        if l.startswith("/"):
            path = l
        elif not l.startswith(" "):
            path = ""
        if not l.strip() or path.endswith(".qxnew") or re.match(
                r"fsck\.fat \d|FATs differ but appear to be intact|  Using first FAT"
                r"|Reclaimed \d+ unused clusters?|Free cluster summary wrong|  Auto-correcting"
                r"|Leaving filesystem unchanged|\S+: \d+ files, ", l):
            continue
        complaints.append(l)
    return complaints


def exfat_complaints(ctx, state):
    """What fsck.exfat -n finds on the exFAT partition, and fsck.fat on the
    EFI system partition, beyond what a cut can leave (see fat_complaints):
    on exFAT, a staged .qxnew file cut short. The summary lines count the
    errors listed."""
    r = fsck_exfat(ctx, state)
    complaints = [l for l in (r.stdout + r.stderr).splitlines() if l.strip() and not re.match(
        r"exfatprogs version|/dev/loop\d+: (clean|corrupted)\. directories \d+, files \d+$"
        r"|/dev/loop\d+: files corrupted \d+, files fixed 0$|ERROR: /\S+\.qxnew: ", l)]
    return complaints + fat_complaints(ctx, state, 2)


@suite.case
def powercut(ctx):
    """Power cuts during --update, replayed, on a stick of each layout (a
    FAT stick the previous job made, an exFAT stick): the update runs on a
    stick that records every write and flush; the states a cut can leave
    (the writes before the last flush, any sectors of those after it) all
    still have a readable store with every item, the user's files with
    their bytes, each of the stick's own files whole (old or new), file
    systems whose only faults are leaked clusters and a cut staging file,
    and a sample boots."""
    import random
    for lay, size in ((Fat, 256 * MIB), (Exfat, 320 * MIB)):
        img = ctx.image("cut.img", size)
        lay.make(ctx, img)
        mine, hidden = fill(ctx, img, lay)
        make_older(ctx, img, lay)
        base = ctx.w.fresh("base.img")
        run(["cp", "--sparse=always", img, base])
        own_before = read_own(ctx, base, lay)
        own_after = {k: open(src, "rb").read() for k, src in lay.own(ctx).items()}
        log = ctx.w.fresh("writes.log")
        dev, _ = ctx.fake(0, size, backing=img, log=log)
        r = ctx.make("--update", "--no-verify", dev)
        assert r.returncode == 0, "%s: %s%s" % (lay.name, r.stdout, r.stderr)
        ctx.unfake(dev)
        events = read_log(log)
        flushes = [i for i, e in enumerate(events) if e[0] == "F"]
        writes = len(events) - len(flushes)
        assert writes > 0 and flushes, "the log holds %d writes and %d flushes" % (writes, len(flushes))
        scale = int(os.environ.get("QX_CRASH_SCALE", "1"))
        rng = random.Random(24)
        cuts = sorted(set([0, len(events)] + [f + d for f in flushes for d in (0, 1) if f + d <= len(events)]
                          + [rng.randrange(len(events) + 1) for _ in range(12 * scale)]))
        archive = os.path.join(ctx.build, "edit1.6.qxa")
        new_items = {n: subprocess.run([ctx.w.qxtool, archive, "export", n], capture_output=True).stdout
                     for n in items(ctx, archive)}
        old_items = {n: subprocess.run([ctx.w.qxtool, base, "export", n], capture_output=True).stdout
                     for n in items(ctx, base)}
        print("  %s: %d writes, %d flushes, %d cut states" % (lay.name, writes, len(flushes), len(cuts)), flush=True)
        booted = []
        for k in cuts:
            state = cut_state(ctx, base, events, k, rng)
            what = "%s, cut after %d of %d events" % (lay.name, k, len(events))
            r = subprocess.run([ctx.w.qxtool, state, "check"], capture_output=True, text=True)
            assert r.returncode == 0, "%s: check: %s%s" % (what, r.stdout, r.stderr)
            names = items(ctx, state)
            for n in set(old_items) | set(new_items):
                got = subprocess.run([ctx.w.qxtool, state, "export", n], capture_output=True).stdout
                assert got in (old_items.get(n), new_items.get(n)), "%s: hidden item %s is neither old nor new" % (what, n)
            assert "mine.bin" in names
            for name, data in lay.read(ctx, state, list(mine)).items():
                assert data == mine[name], "%s: the user's %s changed" % (what, name)
            for key, data in read_own(ctx, state, lay).items():
                assert data in (own_before[key], own_after[key]), "%s: %s on partition %d is torn" % (what, key[1], key[0])
            complaints = fat_complaints(ctx, state) if lay is Fat else exfat_complaints(ctx, state)
            assert not complaints, "%s: %s" % (what, "\n".join(complaints))
            if k in (cuts[len(cuts) // 3], cuts[2 * len(cuts) // 3]):
                booted.append(state)
            else:
                os.unlink(state)
        for state in booted:
            uefi.assert_path("seabios", uefi.boot(ctx, state, "seabios", uefi.EXPECT["seabios"][-1], timeout=300))
        uefi.assert_path("ovmf", uefi.boot(ctx, booted[-1], "ovmf", uefi.EXPECT["ovmf"][-1], timeout=300))
        print("  ok: %s" % lay.name, flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("groups", nargs="*")
    a = ap.parse_args()
    strict = os.environ.get("CI") == "true"
    need = ["mcopy", "losetup", "blockdev", "fsck.fat", "mount.exfat-fuse", FUSE_PYTHON]
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
