#!/usr/bin/env python3
"""Sticks made by scripts/make-stick boot the BIOS way (SeaBIOS) and the UEFI
way (OVMF: x86_64, x86_64 with Secure Boot and the Microsoft keys, 32-bit),
each to the one /boot/grub/grub.cfg of the data partition and on to Debian's
kernel and a busybox initramfs that reports on the serial port.

usage: uefitests.py --source DIR --build DIR GROUP...
groups: tree paths secure frontend"""

import argparse
import filecmp
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "boot"))
from bootlib import Qemu, Skip, Suite, Work, data_fat, firmware_args, run  # noqa: E402
from boottests import part0  # noqa: E402

# The test's menu, put in place of the shipped one: it names the GRUB that
# runs it and boots the kernel beside it. Under lockdown GRUB loads no
# modules from disk, so exFAT is asked for only without it.
TEST_CFG = b"""if [ "$grub_platform" = pc ]; then
  serial --unit=0 --speed=115200
  terminal_output serial
fi
set exfat=-
if [ "$lockdown" != y ]; then
  if insmod exfat; then set exfat=yes; fi
fi
echo "CFG $grub_platform $grub_cpu lockdown=$lockdown exfat=$exfat END"
linux /boot/vmlinuz console=ttyS0,115200 panic=-1 quiet
initrd /boot/initrd.gz
boot
"""

INIT = """#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc; mount -t sysfs sysfs /sys
dmesg | grep -i 'secureboot:' | sed 's/.*secureboot: */INIT-SB /'
if [ -d /sys/firmware/efi ]; then echo "INIT-FW uefi$(cat /sys/firmware/efi/fw_platform_size)"
else echo "INIT-FW bios"; fi
poweroff -f
"""

# What each firmware path must show on the serial port, in this order.
EXPECT = {
    "seabios": ["CFG pc i386 lockdown= exfat=yes END", "INIT-FW bios"],
    "ovmf": ["CFG efi x86_64 lockdown= exfat=yes END", "INIT-SB Secure boot disabled", "INIT-FW uefi64"],
    "ovmf-sb": ["CFG efi x86_64 lockdown=y exfat=- END", "INIT-SB Secure boot enabled", "INIT-FW uefi64"],
    "ovmf32": ["CFG efi i386 lockdown= exfat=yes END", "INIT-FW uefi32"],
}


class Ctx:
    def __init__(self, a):
        self.source, self.build = a.source, a.build
        self.w = Work(os.path.join(a.build, "qxtool"))
        self.tree = os.path.join(a.build, "stickfs")
        with open(os.path.join(a.build, "stickfs.list")) as f:
            self.files = f.read().split()
        self.payload = None

    def make_stick(self, *opts):
        """A stick image made by scripts/make-stick with this build's tools."""
        img = self.w.fresh("stick.img")
        env = dict(os.environ, QX_BUILD=self.build)
        r = subprocess.run([os.path.join(self.source, "scripts", "make-stick"), "--size", "256M", *opts, img],
                           capture_output=True, text=True, env=env)
        assert r.returncode == 0, "make-stick %s failed: %s%s" % (" ".join(opts), r.stdout, r.stderr)
        return img


def linux_payload(ctx):
    """Debian's newest kernel (signed by Debian) and a busybox initramfs."""
    if ctx.payload is None:
        kernels = sorted((f for f in os.listdir("/boot") if f.startswith("vmlinuz-")),
                         key=lambda n: [int(x) if x.isdigit() else x for x in re.split(r"(\d+)", n)])
        if not kernels or not os.path.exists("/bin/busybox") or not shutil.which("cpio"):
            raise Skip("needs linux-image-amd64, busybox-static and cpio")
        root = ctx.w.fresh("initramfs")
        for d in ("bin", "proc", "sys"):
            os.makedirs(os.path.join(root, d))
        shutil.copy("/bin/busybox", root + "/bin/busybox")
        with open(root + "/init", "w") as f:
            f.write(INIT)
        os.chmod(root + "/init", 0o755)
        initrd = ctx.w.fresh("initrd.gz")
        run(["sh", "-c", "cd %s && find . | cpio -o -H newc --quiet | gzip -1 > %s" % (root, initrd)])
        ctx.payload = ("/boot/" + kernels[-1], initrd)
    return ctx.payload


def with_test_menu(ctx, img):
    kernel, initrd = linux_payload(ctx)
    cfg = ctx.w.write(TEST_CFG, "grub.cfg")
    run(["mcopy", "-o", "-i", data_fat(img), cfg, "::/boot/grub/grub.cfg"])
    run(["mcopy", "-i", data_fat(img), kernel, "::/boot/vmlinuz"])
    run(["mcopy", "-i", data_fat(img), initrd, "::/boot/initrd.gz"])
    return img


def boot(ctx, img, fw, until, timeout=120):
    """Boots IMG in firmware FW until the serial port shows UNTIL (or QEMU
    ends); returns the serial text and the VGA text screen as it was when
    grub.cfg's line reached the serial port (GRUB's earlier output stays
    there: the test menu moves GRUB's output to the serial port)."""
    shot = [""]
    with Qemu(ctx.w, disk=img, mem=512, extra=firmware_args(ctx.w, fw)) as q:
        def seen():
            text = q.serial_text()
            if not shot[0] and "CFG " in text and fw == "seabios":
                shot[0] = q.screen_text()
            return until in text or q.proc.poll() is not None
        try:
            q.wait_for(seen, timeout, until)
        except AssertionError as e:
            raise AssertionError("%s: %s; serial: %r" % (fw, e, clean(q.serial_text())[-1500:]))
        ended = "" if q.proc.poll() is None else "\n[QEMU ended, status %d]\n" % q.proc.returncode
        return clean(q.serial_text()) + ended + shot[0]


def clean(text):
    """Serial text without terminal escape sequences and carriage returns."""
    return re.sub(r"\x1b(\[[0-9;?=]*[A-Za-z]|[()][0-9A-Z])", "", text).replace("\r", "")


def assert_path(fw, text):
    at = 0
    for want in EXPECT[fw]:
        i = text.find(want, at)
        assert i >= 0, "%s: %r missing (after offset %d) in serial: %r" % (fw, want, at, text[-1500:])
        at = i + len(want)
    # Nothing of the loaders' own making goes wrong on the way: no GRUB
    # error and no noise from comment lines in an embedded config, on the
    # serial port or (BIOS) on the screen.
    noise = [l for l in text.splitlines() if re.search(r"error:|Unknown command", l)]
    assert not noise, "%s: loader errors on serial or screen: %r" % (fw, noise)


suite = Suite()


@suite.case
def tree(ctx):
    """What make-stick writes into the FAT volume: exactly the built tree,
    byte for byte, in both layouts; nothing under EFI/ with --no-uefi; the
    volume stays sound for fsck.fat; the boot record reads 127 sectors."""
    if not shutil.which("mcopy") or not shutil.which("fsck.fat"):
        raise Skip("needs mtools and dosfstools")
    assert "EFI/BOOT/BOOTX64.EFI" in ctx.files and "EFI/BOOT/BOOTIA32.EFI" in ctx.files \
        and "boot/grub/grub.cfg" in ctx.files, ctx.files
    assert ctx.files == sorted(ctx.files), "stickfs.list is not sorted"
    on_disk = sorted(os.path.relpath(os.path.join(d, f), ctx.tree)
                     for d, _, fs in os.walk(ctx.tree) for f in fs)
    assert on_disk == ctx.files, "stickfs.list %r differs from the tree %r" % (ctx.files, on_disk)
    for opts, uefi in ((), True), (("--zip",), True), (("--no-uefi",), False):
        img = ctx.make_stick(*opts)
        out = ctx.w.fresh("copied")
        os.makedirs(out)
        # Without the UEFI side the BIOS side's menu and tools stay.
        # Beside them, make-stick's record of what it wrote (for --update).
        own = [f for f in ctx.files if uefi or not f.startswith("EFI/")]
        expected = sorted(own + ["boot/stickfs.sha256"])
        run(["mcopy", "-s", "-n", "-i", data_fat(img), "::/*", out + "/"])
        copied = sorted(os.path.relpath(os.path.join(d, f), out) for d, _, fs in os.walk(out) for f in fs)
        assert copied == expected, "%s: the volume holds %r" % (opts, copied)
        for f in own:
            assert filecmp.cmp(os.path.join(out, f), os.path.join(ctx.tree, f), shallow=False), f
        # The main job's boot record and all its copies ask for reads of
        # 127 sectors, not the 63 a disk carries by default.
        with open(img, "rb") as f:
            boot = f.read(64 * 512)
        counts = {boot[i * 512 + 0x1AD] for i in range(64)}
        assert counts == {127}, "%s: max_sectors %r" % (opts, counts)
        entry, start = part0(img)
        part = ctx.w.fresh("part.img")
        run(["dd", "if=" + img, "of=" + part, "bs=1M", "iflag=skip_bytes,count_bytes", "status=none",
             "skip=%d" % (start * 512), "count=%d" % (struct.unpack_from("<I", entry, 12)[0] * 512)])
        r = subprocess.run(["fsck.fat", "-n", part], capture_output=True, text=True)
        assert r.returncode == 0, "%s: fsck.fat: %s%s" % (opts, r.stdout, r.stderr)
        os.unlink(part)


PATHS = [((), "seabios"), ((), "ovmf"), ((), "ovmf-sb"), ((), "ovmf32"),
         (("--zip",), "seabios"), (("--zip",), "ovmf"), (("--zip",), "ovmf-sb")]


@suite.case
def paths(ctx):
    """One stick per layout boots every firmware path to the same grub.cfg
    and on to Linux: the BIOS way through the carried menu's GRUB, UEFI
    through shim and the signed GRUB, which hands over to the drive's own
    GRUB without Secure Boot (it has exFAT) and reads the menu itself with
    it; 32-bit UEFI through BOOTIA32.EFI."""
    sticks = {}
    for opts, fw in PATHS:
        if opts not in sticks:
            sticks[opts] = with_test_menu(ctx, ctx.make_stick(*opts))
        assert_path(fw, boot(ctx, sticks[opts], fw, EXPECT[fw][-1]))
        print("  ok: %s %s" % (" ".join(opts) or "usb-hdd", fw), flush=True)


@suite.case
def secure(ctx):
    """Secure Boot is really enforced: the drive's own unsigned GRUB put in
    place of shim is refused by the firmware, while the same disk boots
    without Secure Boot."""
    img = with_test_menu(ctx, ctx.make_stick())
    own = ctx.w.fresh("grubx64.efi")
    run(["mcopy", "-i", data_fat(img), "::/EFI/qx/grubx64.efi", own])
    run(["mcopy", "-o", "-i", data_fat(img), own, "::/EFI/BOOT/BOOTX64.EFI"])
    text = boot(ctx, img, "ovmf-sb", "Access Denied", timeout=60)
    assert re.search(r"failed to load Boot\d+ .*HARDDISK.*: Access Denied", text), text[-1500:]
    assert "CFG " not in text, text[-1500:]
    assert_path("ovmf", boot(ctx, img, "ovmf", EXPECT["ovmf"][-1]))


def no_skip(fn):
    def case(ctx):
        try:
            fn(ctx)
        except Skip as e:
            raise AssertionError("missing under CI: %s" % e)
    case.__name__ = fn.__name__
    return case


def template_commands(source):
    """The disk tool's lines of the front end's USB-HDD batch template, as
    word lists."""
    with open(os.path.join(source, "frontend", "qxtool.rc.in"), encoding="utf-8", errors="replace") as f:
        line = next(l for l in f if l.strip().startswith("IDS_TEMPLATE_HDD"))
    text = line[line.index('"') + 1:line.rindex('"')].replace('""', '"')
    return [shlex.split(l) for l in text.split("\\r\\n") if l.startswith("qxtool ")]


@suite.case
def frontend(ctx):
    """The Windows build, under wine, runs the front end's own script lines
    (format, clear, load, from its USB-HDD template) on an image; with the
    UEFI files then written into that FAT, the stick boots with Secure Boot."""
    exe = os.path.join(ctx.build, "qxtool.exe")
    if not shutil.which("wine") or not os.path.exists(exe):
        raise Skip("needs wine and the Windows build qxtool.exe")
    cmds = template_commands(ctx.source)
    assert [c[2] for c in cmds] == ["format", "clear", "load"], cmds
    img = ctx.w.fresh("front.img")
    with open(img, "wb") as f:
        f.truncate(256 << 20)
    env = dict(os.environ, WINEPREFIX=ctx.w.fresh("wine"), WINEDEBUG="-all")
    win = lambda p: "Z:" + os.path.abspath(p).replace("/", "\\")
    for c in cmds:
        words = [win(img)] + [win(os.path.join(ctx.build, "edit1.6.qxa")) if w == "data.qxa" else w
                              for w in c[2:]]
        r = subprocess.run(["wine", exe] + words, capture_output=True, text=True, env=env)
        assert r.returncode == 0, "%s: %s" % (" ".join(words), r.stderr)
    subprocess.run(["wineserver", "-k"], env=env, capture_output=True)
    run(["mcopy", "-s", "-Q", "-i", data_fat(img)] + [os.path.join(ctx.tree, n) for n in os.listdir(ctx.tree)] + ["::/"])
    with_test_menu(ctx, img)
    assert_path("ovmf-sb", boot(ctx, img, "ovmf-sb", EXPECT["ovmf-sb"][-1]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("groups", nargs="*")
    a = ap.parse_args()
    ctx = Ctx(a)
    try:
        strict = os.environ.get("CI") == "true"
        for tool in ("mcopy", "qemu-system-x86_64"):
            if not shutil.which(tool):
                print("SKIP: needs %s" % tool)
                sys.exit(1 if strict else 77)
        if strict:  # under CI a missing tool fails the case instead of skipping it
            suite.cases = [no_skip(fn) for fn in suite.cases]
        ok = suite.run(ctx, a.groups)
    finally:
        ctx.w.close()
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
