#!/usr/bin/env python3
"""The main job's stick does its work out of the box: ISO images copied
onto it boot from the GRUB menu, and the carried tools (memtest86+, iPXE,
a rescue shell) start from the carried menu and from the GRUB menu.

One stick is made by scripts/make-stick with three test ISO images, then its
data partition is filled with user files to the last cluster; every case
boots that stick in QEMU (SeaBIOS) and picks its entry by sending keys.

A third group makes an exFAT stick (make-stick chooses exFAT by itself for
an image of 4 GiB or more) and boots that image on SeaBIOS and OVMF, and
a small one copied onto its EFI system partition on OVMF; under Secure Boot
its menu lists that one and says why the exFAT images are missing.

usage: isotests.py --qxtool PATH --build DIR [--keep] GROUP [CASE...]
groups: images tools exfat"""

import os
import re
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "boot"))
from bootlib import Qemu, Skip, Suite, data_fat, firmware_args, run, suite_main  # noqa: E402

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
TOOLS = ["xorriso", "mcopy", "mmd", "minfo", "cpio", "gzip", "qemu-system-x86_64"]

GROUPS = {"images": Suite(), "tools": Suite(), "exfat": Suite()}


# --- fixtures ----------------------------------------------------------------

def kernel():
    ks = sorted(k for k in os.listdir("/boot") if k.startswith("vmlinuz-"))
    if not ks:
        raise Skip("no Debian kernel in /boot")
    return os.path.join("/boot", ks[-1])


def marker_initrd(w):
    """A busybox initramfs whose /init reports its command line on the serial
    port and powers off."""
    root = w.fresh("initrd.d")
    os.makedirs(os.path.join(root, "bin"))
    shutil.copy("/bin/busybox", os.path.join(root, "bin", "busybox"))
    with open(os.path.join(root, "init"), "w") as f:
        f.write("#!/bin/busybox sh\n"
                "/bin/busybox mkdir -p /proc /dev\n"
                "/bin/busybox mount -t proc proc /proc\n"
                "/bin/busybox mount -t devtmpfs devtmpfs /dev\n"
                "echo \"ISO-MARKER: $(/bin/busybox cat /proc/cmdline)\" >/dev/ttyS0\n"
                "/bin/busybox poweroff -f\n")
    os.chmod(os.path.join(root, "init"), 0o755)
    out = w.fresh("initrd.gz")
    files = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    cpio = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=files,
                          capture_output=True, check=True).stdout
    with open(out, "wb") as f:
        f.write(subprocess.run(["gzip", "-9"], input=cpio, capture_output=True, check=True).stdout)
    return out


def write_tree(tree, files):
    """Fills the folder tree from {path inside: source file or bytes}."""
    for inside, src in files.items():
        dest = os.path.join(tree, inside)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        if isinstance(src, bytes):
            with open(dest, "wb") as f:
                f.write(src)
        else:
            shutil.copy(src, dest)


def make_iso(w, name, files):
    """An ISO 9660 image made by xorriso from {path inside: source file or
    bytes}."""
    tree = w.fresh("iso.d")
    write_tree(tree, files)
    out = os.path.join(w.fresh("isos"), name)
    os.makedirs(os.path.dirname(out))
    run(["xorriso", "-as", "mkisofs", "-quiet", "-o", out, "-V", "QXTEST", "-R", "-J", tree])
    return out


# Like the loopback.cfg of live systems: a menu of its own, paths inside the
# image, $iso_path passed on.
LOOPBACK_CFG = b"""set timeout=1
menuentry "Test live system" {
  linux /boot/vmlinuz console=ttyS0,115200 panic=-1 qxmark=loopback iso-scan/filename=$iso_path
  initrd /boot/initrd.gz
}
"""


def fixture_isos(w):
    k, i = kernel(), marker_initrd(w)
    return {
        # Its own loopback.cfg; the kernel also lies where the generic rule
        # would find it, so only the mark shows which way it booted.
        "with-loopback.iso": make_iso(w, "with-loopback.iso", {
            "boot/grub/loopback.cfg": LOOPBACK_CFG, "boot/vmlinuz": k, "boot/initrd.gz": i}),
        # The layout of Debian's live images, and no loopback.cfg.
        "live-layout.iso": make_iso(w, "live-layout.iso", {"live/vmlinuz": k, "live/initrd.img": i}),
        # Nothing this menu can start.
        "data-only.iso": make_iso(w, "data-only.iso", {"README.TXT": b"just files\n"}),
    }


def bytes_free(img):
    line = next(l for l in run(["mdir", "-i", img, "::/"]).stdout.splitlines() if "bytes free" in l)
    return int(line.replace("bytes free", "").replace(" ", ""))


def copy_in(disk, folder, files):
    """Copies files into a folder of the data partition, as a user would."""
    img = data_fat(disk)
    path = ""
    for part in folder.strip("/").split("/"):
        path += "/" + part
        run(["mmd", "-D", "s", "-i", img, "::" + path])
    run(["mcopy", "-i", img] + list(files) + ["::" + folder])


def fill_with_user_files(disk):
    """Many small files in folders, then one file that takes the rest of the
    data partition."""
    img = data_fat(disk)
    tmp = disk + ".user"
    os.makedirs(tmp)
    for d in range(3):
        sub = os.path.join(tmp, "Photos %d" % d, "deeper", "still deeper")
        os.makedirs(sub)
        for n in range(60):
            with open(os.path.join(sub if n % 2 else os.path.dirname(sub), "IMG_%04d.JPG" % n), "wb") as f:
                f.write(os.urandom(1500))
    run(["mcopy", "-s", "-i", img] + [os.path.join(tmp, x) for x in sorted(os.listdir(tmp))] + ["::/"])
    big = os.path.join(tmp, "filler.bin")
    with open(big, "wb") as f:
        f.truncate(bytes_free(img))
    run(["mcopy", "-i", img, big, "::/filler.bin"])
    assert bytes_free(img) == 0, "the data partition still has %d bytes free" % bytes_free(img)
    shutil.rmtree(tmp)


def make_stick(build, *args):
    """scripts/make-stick with the tool and files already built in BUILD."""
    return run([os.path.join(SOURCE, "scripts", "make-stick")] + list(args),
               env=dict(os.environ, QX_BUILD=build))


class Ctx:
    def __init__(self, work, build):
        self.w = work
        self.build = build
        self.disk = None
        self.fixtures = None

    def isos(self):
        if self.fixtures is None:
            self.fixtures = fixture_isos(self.w)
        return self.fixtures

    def stick(self):
        """The main job's stick with the fixture images, full of user files."""
        if self.disk is None:
            isos = self.isos()
            disk = self.w.fresh("stick.img")
            make_stick(self.build, "--size", "256M", "--iso", isos["with-loopback.iso"], disk)
            copy_in(disk, "/isos/more", [isos["live-layout.iso"], isos["data-only.iso"]])
            fill_with_user_files(disk)
            self.disk = disk
        return self.disk


# --- driving the menus -----------------------------------------------------------

def carried_menu(q):
    q.wait_for(lambda: "QX boot drive" in q.screen_text(), 30, "the carried menu")


def grub_menu(q):
    """From the carried menu on to the GRUB menu; returns its entry titles in
    screen order."""
    carried_menu(q)
    q.key("f1")
    q.wait_for(lambda: "Power off" in q.screen_text(), 60, "the GRUB menu")
    return [t for t in (re.sub(r"[^ -~]", " ", line).strip(" *") for line in q.screen_text().splitlines())
            if t.startswith(("ISO image", "Memory test", "Network boot", "Rescue shell", "Restart", "Power off"))]


def choose(q, titles, wanted):
    index = next((i for i, t in enumerate(titles) if wanted in t), None)
    assert index is not None, "no menu entry holds %r: %r" % (wanted, titles)
    for _ in range(index):
        q.key("down")
    q.key("ret")


def serial_marker(q, timeout=120):
    """The marker line, once the serial port has carried all of it."""
    def whole_line():
        return re.search(r"ISO-MARKER:[^\n]*\n", q.serial_text())
    q.wait_for(whole_line, timeout, "the marker of the image's initramfs")
    return whole_line().group(0).rstrip("\r\n")


def on_screen(q, text, timeout, what):
    q.wait_for(lambda: text in q.screen_text(), timeout, what)


# --- cases -----------------------------------------------------------------------

@GROUPS["images"].case
def iso_images_boot_from_the_grub_menu(ctx):
    disk = ctx.stick()
    # (entry, what its initramfs must see on its command line)
    cases = [
        ("/with-loopback.iso", ["qxmark=loopback", "iso-scan/filename=/with-loopback.iso"]),
        ("/isos/more/live-layout.iso", ["boot=live", "findiso=/isos/more/live-layout.iso"]),
    ]
    for entry, expected in cases:
        with Qemu(ctx.w, disk=disk, mem=512) as q:
            titles = grub_menu(q)
            assert sum(t.startswith("ISO image") for t in titles) == 3, titles
            choose(q, titles, entry)
            line = serial_marker(q)
            for e in expected:
                assert e in line.split(), "%s: %s missing in %r" % (entry, e, line)
        print("ok: %s booted: %s" % (entry, line.strip()))


@GROUPS["images"].case
def an_image_without_a_known_way_says_so(ctx):
    with Qemu(ctx.w, disk=ctx.stick(), mem=256) as q:
        choose(q, grub_menu(q), "/isos/more/data-only.iso")
        on_screen(q, "Press Esc to return to the menu", 30, "the whole message")
        screen = q.screen_text()
        for text in ["data-only.iso cannot be started from this menu", "no boot/grub/loopback.cfg"]:
            assert text in screen, screen
        q.key("esc")
        on_screen(q, "Power off", 30, "the GRUB menu again")


@GROUPS["images"].case
def make_stick_boots_the_image_it_was_given(ctx):
    # No key pressed: the carried menu starts GRUB, whose menu starts the
    # first image when its time is up.
    disk = ctx.w.fresh("given.img")
    out = make_stick(ctx.build, "--size", "256M", "--iso", ctx.isos()["with-loopback.iso"],
                     "--boot-headless", "180", disk).stdout
    line = next((l for l in out.splitlines() if "ISO-MARKER:" in l), None)
    assert line and "qxmark=loopback" in line.split(), out[-1500:]


@GROUPS["images"].case
def make_stick_sizes_an_existing_image_file(ctx):
    # (size of the existing file, --size, size afterwards)
    for before, size, after in [(300 << 20, "256M", 256 << 20), (200 << 20, "256M", 256 << 20),
                                (300 << 20, None, 300 << 20)]:
        disk = ctx.w.fresh("sized.img")
        with open(disk, "wb") as f:
            f.truncate(before)
        out = make_stick(ctx.build, *(["--size", size] if size else []), disk).stdout
        assert os.path.getsize(disk) == after, (before, size, os.path.getsize(disk))
        told = "resized from %d to %d bytes" % (before, after)
        assert (told in out) == (before != after), out
        # The data partition was laid out for the new size: it ends within
        # the file's last cylinder.
        with open(disk, "rb") as f:
            f.seek(0x1C6)
            start, count = struct.unpack("<II", f.read(8))
        assert after // 512 - 255 * 63 < start + count <= after // 512, (start, count, after)
    # A missing image file stops the job before anything is written.
    disk = ctx.w.fresh("untouched.img")
    r = subprocess.run([os.path.join(SOURCE, "scripts", "make-stick"), "--iso", disk + ".nothing", disk],
                       capture_output=True, text=True, env=dict(os.environ, QX_BUILD=ctx.build))
    assert r.returncode == 1 and "is not a file" in r.stderr, (r.returncode, r.stderr)
    assert not os.path.exists(disk)


def serial_plain(q):
    """The serial text without terminal escapes (OVMF copies its console there)."""
    return re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", " ", q.serial_text())


def uefi_menu(q, what, timeout=120):
    """The images a GRUB menu on UEFI lists, once it is whole."""
    q.wait_for(lambda: "Power off" in serial_plain(q), timeout, what)
    return list(dict.fromkeys(re.findall(r"ISO image  (\S+\.iso)", serial_plain(q))))


@GROUPS["images"].case
def uefi_menu_boots_an_image_and_explains_secure_boot(ctx):
    disk = ctx.stick()
    with Qemu(ctx.w, disk=disk, mem=512, extra=firmware_args(ctx.w, "ovmf")) as q:
        titles = uefi_menu(q, "the GRUB menu on UEFI")
        assert len(titles) == 3, titles
        choose(q, titles, "/with-loopback.iso")
        line = serial_marker(q)
        assert "qxmark=loopback" in line.split(), line
    print("ok: UEFI: /with-loopback.iso booted: %s" % line.strip())
    with Qemu(ctx.w, disk=disk, mem=512, extra=firmware_args(ctx.w, "ovmf-sb")) as q:
        q.wait_for(lambda: "Power off" in serial_plain(q), 120, "the GRUB menu under Secure Boot")
        q.key("m")
        q.wait_for(lambda: "memtest86+ has no signed UEFI image" in serial_plain(q), 60, "the message")
        assert "bad shim signature" not in serial_plain(q)
    print("ok: UEFI with Secure Boot: the memory test entry says why it cannot start")


TOOL_MARKERS = [
    # (carried menu key, GRUB entry, text on the screen, seconds)
    ("f2", "Memory test", "Memtest86+ v6", 120),
    ("f3", "Network boot", "Open Source Network Boot Firmware", 120),
    ("f4", "Rescue shell", "rescue:/#", 120),
]


@GROUPS["tools"].case
def tools_start_from_the_carried_menu(ctx):
    for key, _, marker, timeout in TOOL_MARKERS:
        with Qemu(ctx.w, disk=ctx.stick(), mem=256) as q:
            carried_menu(q)
            q.key(key)
            on_screen(q, marker, timeout, "%s's screen" % marker)
        print("ok: %s from the carried menu shows %s" % (key, marker))


@GROUPS["tools"].case
def tools_start_from_the_grub_menu(ctx):
    for _, entry, marker, timeout in TOOL_MARKERS:
        with Qemu(ctx.w, disk=ctx.stick(), mem=256) as q:
            choose(q, grub_menu(q), entry)
            on_screen(q, marker, timeout, "%s's screen" % marker)
        print("ok: GRUB entry %s shows %s" % (entry, marker))


def big_iso(w):
    """An image over 4 GiB: the loopback fixture's files, then a sparse
    padding file of 4.1 GiB that xorriso writes out after them."""
    tree = w.fresh("big.d")
    files = {"boot/grub/loopback.cfg": LOOPBACK_CFG, "boot/vmlinuz": kernel(), "boot/initrd.gz": marker_initrd(w)}
    write_tree(tree, files)
    os.makedirs(os.path.join(tree, "zz"))
    with open(os.path.join(tree, "zz", "padding.bin"), "wb") as f:
        f.truncate((4 << 30) + (100 << 20))
    out = os.path.join(w.fresh("isos"), "big.iso")
    os.makedirs(os.path.dirname(out))
    run(["xorriso", "-as", "mkisofs", "-quiet", "-o", out, "-V", "QXBIG", "-R", "-J", "-iso-level", "3", tree])
    shutil.rmtree(tree)
    assert os.path.getsize(out) > 4 << 30, os.path.getsize(out)
    return out


@GROUPS["exfat"].case
def an_image_over_4gib_boots_from_an_exfat_stick(ctx):
    if os.getuid() != 0:
        raise Skip("make-stick writes an exFAT drive through a loop device: needs root")
    iso = big_iso(ctx.w)
    disk = ctx.w.fresh("exfat-stick.img")
    out = make_stick(ctx.build, "--size", "4700M", "--iso", iso, disk).stdout
    os.unlink(iso)
    assert "the data partition will be exFAT" in out, out[-1500:]
    with open(disk, "rb") as f:
        f.seek(0x1BE)
        table = f.read(32)
    assert table[4] == 0x07 and table[16 + 4] == 0xEF, table.hex()
    # A small image copied onto the EFI system partition is listed beside
    # the big one and loops from there, its own system told the plain path.
    esp = "%s@@%d" % (disk, struct.unpack_from("<I", table, 16 + 8)[0] * 512)
    run(["mcopy", "-i", esp, ctx.isos()["with-loopback.iso"], "::/on-esp.iso"])
    with Qemu(ctx.w, disk=disk, mem=512) as q:
        titles = grub_menu(q)
        assert [t for t in titles if t.startswith("ISO image")] == \
            ["ISO image  /big.iso", "ISO image  (hd0,msdos2)/on-esp.iso"], titles
        choose(q, titles, "/big.iso")
        line = serial_marker(q)
        assert "qxmark=loopback" in line.split() and "iso-scan/filename=/big.iso" in line.split(), line
    print("ok: SeaBIOS: /big.iso booted from the exFAT partition: %s" % line.strip())
    # (entry, where its image lies) on UEFI
    for entry, where in [("/big.iso", "the exFAT partition"), ("/on-esp.iso", "the EFI system partition")]:
        with Qemu(ctx.w, disk=disk, mem=512, extra=firmware_args(ctx.w, "ovmf")) as q:
            titles = uefi_menu(q, "the GRUB menu on UEFI")
            assert titles == ["/big.iso", "(hd0,msdos2)/on-esp.iso"], titles
            choose(q, titles, entry)
            line = serial_marker(q)
            assert "qxmark=loopback" in line.split() and "iso-scan/filename=" + entry in line.split(), line
        print("ok: UEFI: %s booted from %s: %s" % (entry, where, line.strip()))
    with Qemu(ctx.w, disk=disk, mem=512, extra=firmware_args(ctx.w, "ovmf-sb")) as q:
        q.wait_for(lambda: "Power off" in serial_plain(q), 120, "the GRUB menu under Secure Boot")
        text = serial_plain(q)
        assert "Secure Boot is on, exFAT cannot be read" in text, text[-1500:]
        # The menu runs from the EFI system partition: its image once, no
        # exFAT image.
        titles = list(dict.fromkeys(re.findall(r"ISO image  (\S+\.iso)", text)))
        assert titles == ["/on-esp.iso"], titles
        q.key("ret")
        q.wait_for(lambda: "signed GRUB" in serial_plain(q), 60, "why the images are missing")
        q.key("esc")
        q.key("m")
        q.wait_for(lambda: "memtest86+ has no signed UEFI image" in serial_plain(q), 60, "the tools' menu entries")
    print("ok: UEFI with Secure Boot: the menu says why the exFAT images are missing and keeps the tools")


def main():
    suite_main(GROUPS, TOOLS, Ctx)


if __name__ == "__main__":
    main()
