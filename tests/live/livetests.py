#!/usr/bin/env python3
"""Real distributions' live systems boot from the main job's stick: the
distribution's own initramfs (built here from Debian's packages, nobody
here wrote it) finds the ISO image on the stick again, mounts its root from
it and starts that root's /sbin/init, which reports on the serial port and
powers off. The report comes from the live root, never from the initramfs.

Fixtures (cached under BUILD/live-fixtures, keyed by the package versions
and the recipe): the Debian kernel, each family's initramfs, a tiny busybox
root.

usage: livetests.py --qxtool PATH --build DIR [--keep] GROUP [CASE...]
groups: families"""

import hashlib
import inspect
import os
import re
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "boot"))
sys.path.insert(0, os.path.join(HERE, "..", "iso"))
from bootlib import Qemu, Skip, Suite, data_fat, firmware_args, run, suite_main  # noqa: E402
import isotests  # noqa: E402  (the stick and its menu are driven as there)

TOOLS = ["xorriso", "mksquashfs", "mkfs.ext4", "mkinitramfs", "dracut", "mcopy", "blkid", "qemu-system-x86_64"]
# The Debian packages the fixtures are built from; their versions key the cache.
PACKAGES = ["live-boot", "live-boot-initramfs-tools", "dracut-core", "dracut-live", "initramfs-tools",
            "busybox-static", "squashfs-tools", "xorriso", "e2fsprogs"]

GROUPS = {"families": Suite()}

# /sbin/init of the live root. PID 1 of the booted system, so it runs only
# once the initramfs has handed over; it says so on the serial port with
# the family's name, the command line and what / is, then powers off.
ROOT_INIT = r"""#!/bin/sh
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys 2>/dev/null
mount -t devtmpfs devtmpfs /dev 2>/dev/null
say() { echo "LIVE-ROOT: $*" >/dev/ttyS0; }
say "family=$(cat /etc/qx-family)"
say "pid=$$"
say "cmdline=$(cat /proc/cmdline)"
say "root=$(awk '$2 == "/" { r = $1 " " $3 } END { print r }' /proc/mounts)"
if [ -d /sys/firmware/efi ]; then say "firmware=uefi"; else say "firmware=bios"; fi
say "secureboot=$(dmesg | grep -o 'Secure boot [a-z]*' | head -1)"
if [ -f /var/qx-saved ]; then say "saved=$(cat /var/qx-saved)"; else say "saved=none"; fi
echo "$(cat /proc/sys/kernel/random/uuid)" >/var/qx-saved
sync
say "wrote=$(cat /var/qx-saved)"
say "done"
sync
poweroff -f
"""

# family: (ISO volume label, files inside the ISO: path -> fixture name)
FAMILIES = {
    "debian-live": ("QX_DEBIAN_LIVE", {"live/vmlinuz": "kernel", "live/initrd.img": "live-boot",
                                       "live/filesystem.squashfs": "squashfs-debian-live"}),
    "fedora-live": ("QX-FEDORA-LIVE", {"images/pxeboot/vmlinuz": "kernel", "images/pxeboot/initrd.img": "dracut",
                                       "LiveOS/squashfs.img": "squashfs-fedora-live"}),
}


# --- fixtures -------------------------------------------------------------------

def kernel_version():
    return os.path.basename(isotests.kernel())[len("vmlinuz-"):]


def package_versions():
    r = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Version}\n"] + PACKAGES,
                       capture_output=True, text=True)
    if r.returncode != 0:
        raise Skip("needs Debian's packages: %s (scripts/setup installs them)" % r.stderr.strip())
    return r.stdout


def busybox_root(dest, family):
    """A root of static busybox and its applet links, with ROOT_INIT as
    /sbin/init and the os-release that systemd's initrd asks for."""
    for d in ["bin", "sbin", "usr/bin", "usr/sbin", "usr/lib", "etc", "proc", "sys", "dev", "run", "tmp", "var"]:
        os.makedirs(os.path.join(dest, d), exist_ok=True)
    shutil.copy("/bin/busybox", os.path.join(dest, "bin", "busybox"))
    for applet in run(["/bin/busybox", "--list-full"]).stdout.split():
        link = os.path.join(dest, applet)
        if not os.path.lexists(link):
            os.makedirs(os.path.dirname(link), exist_ok=True)
            os.symlink("/bin/busybox", link)
    init = os.path.join(dest, "sbin", "init")
    if os.path.lexists(init):
        os.remove(init)
    with open(init, "w") as f:
        f.write(ROOT_INIT)
    os.chmod(init, 0o755)
    with open(os.path.join(dest, "etc", "qx-family"), "w") as f:
        f.write(family + "\n")
    with open(os.path.join(dest, "usr", "lib", "os-release"), "w") as f:
        f.write('NAME="qx live test root"\nID=qxlive\n')
    os.symlink("../usr/lib/os-release", os.path.join(dest, "etc", "os-release"))


def build_roots(out):
    """The two families' live roots, into the directory out."""
    tmp = out + ".d"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    # Debian live: the root as a squashfs, mounted under an overlay.
    root = os.path.join(tmp, "debian-root")
    busybox_root(root, "debian-live")
    run(["mksquashfs", root, os.path.join(out, "squashfs-debian-live"), "-noappend", "-quiet", "-no-progress"])
    # Fedora family: a squashfs holding LiveOS/rootfs.img, an ext4 image
    # of the root.
    root = os.path.join(tmp, "fedora-root")
    busybox_root(root, "fedora-live")
    outer = os.path.join(tmp, "fedora-squash", "LiveOS")
    os.makedirs(outer)
    run(["mkfs.ext4", "-q", "-F", "-L", "qxroot", "-d", root, os.path.join(outer, "rootfs.img"), "32M"])
    run(["mksquashfs", os.path.dirname(outer), os.path.join(out, "squashfs-fedora-live"), "-noappend", "-quiet",
         "-no-progress"])
    shutil.rmtree(tmp)


def build_initrds(out, kver):
    """The Debian kernel and each family's initramfs, into the directory out."""
    shutil.copy("/boot/vmlinuz-" + kver, os.path.join(out, "kernel"))
    # live-boot's initramfs: initramfs-tools with live-boot's hooks.
    run(["mkinitramfs", "-o", os.path.join(out, "live-boot"), kver])
    # dracut with its live module, which brings the ISO scan along.
    run(["dracut", "--no-hostonly", "--add", "dmsquash-live", "--force", "--quiet",
         os.path.join(out, "dracut"), kver])


def build_exfat_initrd(out, kver):
    """live-boot's initramfs with the exfat module beside its own file
    systems (its hook brings vfat, not exfat): Debian live needs it to find
    its ISO image on an exFAT partition."""
    conf = out + ".conf"
    shutil.rmtree(conf, ignore_errors=True)
    shutil.copytree("/etc/initramfs-tools", conf)
    with open(os.path.join(conf, "modules"), "a") as f:
        f.write("\nexfat\n")
    run(["mkinitramfs", "-d", conf, "-o", os.path.join(out, "live-boot-exfat"), kver])
    shutil.rmtree(conf)


def cached(base, stem, key, builder):
    """The directory base/stem-KEY, built by builder(dir) unless a complete
    one is there; other keys of the same stem are stale and go."""
    key = hashlib.sha256(key.encode()).hexdigest()[:16]
    out = os.path.join(base, "%s-%s" % (stem, key))
    if os.path.exists(os.path.join(out, "complete")):
        return out
    if os.path.isdir(base):
        for old in os.listdir(base):
            if old.startswith(stem + "-"):
                shutil.rmtree(os.path.join(base, old), ignore_errors=True)
    os.makedirs(out)
    builder(out)
    open(os.path.join(out, "complete"), "w").close()
    return out


def fixtures(build):
    """The fixture files by name: the kernel and initramfs images, cached
    by the packages' versions (they take minutes to build), and the roots,
    cached by their recipe."""
    kver = kernel_version()
    base = os.path.join(build, "live-fixtures")
    initrds = cached(base, "initrd", package_versions() + kver, lambda out: build_initrds(out, kver))
    roots = cached(base, "root", package_versions() + inspect.getsource(busybox_root) +
                   inspect.getsource(build_roots) + ROOT_INIT, build_roots)
    exfat = cached(base, "live-boot-exfat", package_versions() + kver + inspect.getsource(build_exfat_initrd),
                   lambda out: build_exfat_initrd(out, kver))
    return {name: os.path.join(d, name) for d in (initrds, roots, exfat) for name in os.listdir(d)
            if name != "complete"}


def family_iso(w, fx, family, initrd=None):
    """The family's ISO image; initrd names another initramfs fixture for
    it (the image is then called FAMILY-INITRD.iso)."""
    label, files = FAMILIES[family]
    name = family + ("-" + initrd if initrd else "")
    tree = w.fresh(name + ".d")
    for inside, fixture in files.items():
        dest = os.path.join(tree, inside)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copy(fx[initrd if initrd and "initrd" in inside else fixture], dest)
    iso = os.path.join(w.fresh("isos"), name + ".iso")
    os.makedirs(os.path.dirname(iso))
    run(["xorriso", "-as", "mkisofs", "-quiet", "-o", iso, "-V", label, "-R", "-J", tree])
    shutil.rmtree(tree)
    return iso


class Ctx:
    def __init__(self, work, build):
        self.w = work
        self.build = build
        self.fx = None
        self.isos = {}
        self.disk = None

    def iso(self, family, initrd=None):
        if self.fx is None:
            self.fx = fixtures(self.build)
        if (family, initrd) not in self.isos:
            self.isos[family, initrd] = family_iso(self.w, self.fx, family, initrd)
        return self.isos[family, initrd]

    def casper_iso(self):
        """The casper layout with a marker initramfs: Debian packages no
        casper, so the menu's command lines are what can be shown."""
        if "casper" not in self.isos:
            self.isos["casper"] = isotests.make_iso(self.w, "casper-layout.iso", {
                "casper/vmlinuz": isotests.kernel(),
                "casper/initrd": isotests.marker_initrd(self.w)})
        return self.isos["casper"]

    def arch_iso(self):
        """The Arch layout with a marker initramfs: Debian packages no
        initramfs of that family, so only GRUB's half of the rule is shown."""
        if "arch" not in self.isos:
            self.isos["arch"] = isotests.make_iso(self.w, "arch-layout.iso", {
                "arch/boot/x86_64/vmlinuz-linux": isotests.kernel(),
                "arch/boot/x86_64/initramfs-linux.img": isotests.marker_initrd(self.w)})
        return self.isos["arch"]

    def stick(self):
        """A stick made by make-stick with every family's image."""
        if self.disk is None:
            disk = self.w.fresh("stick.img")
            args = ["--iso", self.arch_iso()]
            for family in FAMILIES:
                args += ["--iso", self.iso(family)]
            isotests.make_stick(self.build, "--size", "512M", *args, disk)
            self.disk = disk
        return self.disk


# --- booting ----------------------------------------------------------------------

FIRMWARE = ["seabios", "ovmf"]


def start_entry(q, firmware, entry):
    """Picks the menu entry whose title holds entry, on either firmware;
    returns the image entries' titles."""
    if firmware != "seabios":
        # The serial copy of the console may carry the menu in pieces: wait
        # until the entry is whole there.
        q.wait_for(lambda: "Power off" in isotests.serial_plain(q) and
                   any(entry in t for t in menu_titles(q, firmware)), 180, "the GRUB menu on UEFI with " + entry)
    titles = menu_titles(q, firmware)
    isotests.choose(q, titles, entry)
    return titles


def menu_titles(q, firmware):
    """The GRUB menu's image entries in screen order (from the screen on
    SeaBIOS, from the serial copy of the console on OVMF)."""
    if firmware == "seabios":
        return [t for t in isotests.grub_menu(q) if t.startswith("ISO image")]
    found = re.findall(r"ISO image  \S+\.iso(?:  \(with persistence\))?", isotests.serial_plain(q))
    return list(dict.fromkeys(found))


def live_report(q, timeout=600):
    """The live root's report lines as a dict, once it says it is done."""
    q.wait_for(lambda: "LIVE-ROOT: done" in q.serial_text(), timeout, "the live root's report")
    report = {}
    for line in q.serial_text().splitlines():
        m = re.search(r"LIVE-ROOT: (\w+)=(.*)$", line.rstrip("\r"))
        if m:
            report[m.group(1)] = m.group(2)
    return report


def boot_family(ctx, family, firmware, disk=None, entry=None):
    with Qemu(ctx.w, disk=disk or ctx.stick(), mem=1024, extra=firmware_args(ctx.w, firmware)) as q:
        titles = start_entry(q, firmware, entry or "/%s.iso" % family)
        report = live_report(q)
        report["titles"] = titles
        return report


# What / is once the family's initramfs has handed over: live-boot's
# overlay on the squashfs, dracut's device-mapper snapshot of rootfs.img.
ROOTS = {"debian-live": r"^overlay overlay$", "fedora-live": r"^/dev/mapper/live-rw ext4$"}


def check_report(family, firmware, report):
    assert report.get("family") == family, report
    assert report.get("pid") == "1", report
    assert re.match(ROOTS[family], report.get("root", "")), report
    assert report.get("firmware") == ("bios" if firmware == "seabios" else "uefi"), report
    print("ok: %s on %s: live root reached, root %s, cmdline %s"
          % (family, firmware, report["root"], report["cmdline"]), flush=True)


@GROUPS["families"].case
def families_boot_on_bios_and_uefi(ctx):
    # (family, the word of its command line that finds the image)
    for family, word in [("debian-live", "findiso=/debian-live.iso"),
                         ("fedora-live", "root=live:CDLABEL=QX-FEDORA-LIVE")]:
        for firmware in FIRMWARE:
            r = boot_family(ctx, family, firmware)
            check_report(family, firmware, r)
            assert word in r["cmdline"].split(), r


@GROUPS["families"].case
def debian_live_boots_under_secure_boot(ctx):
    r = boot_family(ctx, "debian-live", "ovmf-sb")
    check_report("debian-live", "ovmf-sb", r)
    assert r["secureboot"] == "Secure boot enabled", r


@GROUPS["families"].case
def arch_rule_names_the_sticks_real_uuid(ctx):
    disk = ctx.stick()
    uuid = run(["blkid", "-p", "-O", data_fat(disk).rsplit("@@", 1)[1], "-o", "value", "-s", "UUID",
                disk]).stdout.strip()
    assert re.match(r"^[0-9A-F]{4}-[0-9A-F]{4}$", uuid) and uuid != "0000-0000", uuid
    with Qemu(ctx.w, disk=disk, mem=512) as q:
        isotests.choose(q, isotests.grub_menu(q), "/arch-layout.iso")
        line = isotests.serial_marker(q)
    assert "img_dev=/dev/disk/by-uuid/%s" % uuid in line.split(), (uuid, line)
    assert "img_loop=/arch-layout.iso" in line.split(), line
    print("ok: the Arch rule passes img_dev=/dev/disk/by-uuid/%s, the stick's UUID" % uuid)


def make_stick_refused(ctx, *args):
    """make-stick on a new image file, which must fail with exit status 1
    before writing anything; returns its standard error."""
    disk = ctx.w.fresh("refused.img")
    r = subprocess.run([os.path.join(isotests.SOURCE, "scripts", "make-stick"), "--size", "512M"] + list(args) +
                       [disk], capture_output=True, text=True, env=dict(os.environ, QX_BUILD=ctx.build))
    assert r.returncode == 1, (args, r.returncode, r.stdout, r.stderr)
    if os.path.exists(disk):
        with open(disk, "rb") as f:
            assert f.read(512) == bytes(512), args
    return r.stderr


@GROUPS["families"].case
def persistence_sizes_that_do_not_fit_are_refused(ctx):
    # (--persistence value, images, message); the image is left unformatted.
    casper = ctx.casper_iso()
    for value, isos, message in [
            ("10M", [], "the persistence partition needs at least 16M"),
            ("many", [], "invalid persistence size many"),
            ("480M", [], "leaves less than 64 MiB for the data partition"),
            # The casper-rw file is a file: FAT holds less than 4 GiB in one.
            ("4G", [casper], "(its files stay below 4 GiB): the exFAT layout (--exfat) is needed for that"),
            ("200M", [casper], "the casper-rw file of 200M and the images do not fit on the data partition")]:
        args = ["--persistence", value]
        for iso in isos:
            args += ["--iso", iso]
        err = make_stick_refused(ctx, *args)
        assert message in err and err.count("\n") == 1, (value, err)
    print("ok: persistence sizes that do not fit are refused before anything is written")


def partition_entries(disk, copies=(0, 1, 63)):
    """Each named copy of the boot record's partition table: four
    (type, start, count) tuples."""
    out = {}
    with open(disk, "rb") as f:
        for copy in copies:
            f.seek(copy * 512 + 0x1BE)
            table = f.read(64)
            out[copy] = [(table[k * 16 + 4],) + struct.unpack("<II", table[k * 16 + 8:k * 16 + 16])
                         for k in range(4)]
    return out


@GROUPS["families"].case
def debian_live_keeps_a_file_across_two_boots(ctx):
    # The stick-wide persistence partition at the drive's end: the live
    # root's file written on the first boot is there on the second.
    # (layout, make-stick options, the image's initramfs, the persistence
    # partition's slot, the exFAT layout's EFI system partition before it)
    end = 512 * 2048
    for layout, options, initrd, slot, esp in [
            ("FAT", [], None, 1, None),
            # live-boot's own initramfs has no exfat module; with it, the
            # image is found on the exFAT partition.
            ("exFAT", ["--exfat"], "live-boot-exfat", 2, (0xEF, end - 2 * 131072, 131072))]:
        if esp and os.getuid() != 0:
            raise Skip("make-stick writes an exFAT drive through a loop device: needs root")
        disk = ctx.w.fresh("persistence.img")
        iso = ctx.iso("debian-live", initrd)
        out = isotests.make_stick(ctx.build, "--size", "512M", "--persistence", "64M", *options,
                                  "--iso", iso, disk).stdout
        assert "persistence partition of 64 MiB" in out and "casper" not in out, out
        # The persistence partition from the MiB boundary 64 MiB before the
        # end, in sector 0 and, shifted as each copy sees the disk, in the
        # boot record's copies; on exFAT the EFI system partition stays in
        # the second slot, just before it.
        tables = partition_entries(disk)
        for copy, table in tables.items():
            assert table[slot] == (0x83, end - 131072 - copy, 131072), (layout, copy, table)
            if esp:
                assert table[1] == (esp[0], esp[1] - copy, esp[2]), (layout, copy, table)
            assert table[0][1] + table[0][2] == end - 131072 - (131072 if esp else 0) - copy, (layout, table)
        probe = run(["blkid", "-p", "-O", str((end - 131072) * 512), "-o", "export", disk]).stdout
        assert "LABEL=persistence" in probe and "TYPE=ext4" in probe, probe
        # The tool keeps the whole table: sync rewrites the copies from
        # sector 0, restore rebuilds a lost sector 0 from a copy.
        copy = ctx.w.fresh("restored.img")
        run(["cp", "--sparse=always", disk, copy])
        ctx.w.qx(copy, "sync")
        with open(copy, "r+b") as f:
            f.write(bytes(512))
        ctx.w.qx(copy, "restore")
        ctx.w.qx(copy, "check")
        assert partition_entries(copy) == tables, (layout, partition_entries(copy), tables)
        os.unlink(copy)
        entry = "/%s  (with persistence)" % os.path.basename(iso)
        first = boot_family(ctx, "debian-live", "ovmf", disk=disk, entry=entry)
        check_report("debian-live", "ovmf", first)
        assert "persistence" in first["cmdline"].split() and first["saved"] == "none", first
        assert first["titles"] == ["ISO image  /%s" % os.path.basename(iso), "ISO image  " + entry], first["titles"]
        second = boot_family(ctx, "debian-live", "ovmf", disk=disk, entry=entry)
        assert second["saved"] == first["wrote"], (layout, first, second)
        print("ok: %s: the second boot found %s, written by the first" % (layout, second["saved"]), flush=True)
        os.unlink(disk)


@GROUPS["families"].case
def casper_images_get_a_casper_rw_file_and_persistent(ctx):
    # Debian packages no casper: what is shown is the stick's half, the
    # casper-rw file and the command lines GRUB passes to the image's
    # initramfs (a marker that reports them).
    disk = ctx.w.fresh("casper.img")
    out = isotests.make_stick(ctx.build, "--size", "512M", "--persistence", "64M", "--iso", ctx.casper_iso(),
                              disk).stdout
    assert "casper-layout.iso is of the casper family" in out, out
    rw = ctx.w.fresh("casper-rw")
    run(["mcopy", "-n", "-i", data_fat(disk), "::/casper-rw", rw])
    assert os.path.getsize(rw) == 64 << 20, os.path.getsize(rw)
    run(["e2fsck", "-f", "-n", rw])
    probe = run(["blkid", "-p", "-o", "export", rw]).stdout
    assert "LABEL=casper-rw" in probe and "TYPE=ext4" in probe, probe
    os.unlink(rw)
    lines = {}
    for title in ["/casper-layout.iso", "/casper-layout.iso  (with persistence)"]:
        with Qemu(ctx.w, disk=disk, mem=512) as q:
            titles = isotests.grub_menu(q)
            # The plain entry comes first: the first title holding it.
            isotests.choose(q, titles, title)
            lines[title] = isotests.serial_marker(q).split()
    plain, persistent = lines.values()
    for words in (plain, persistent):
        assert "boot=casper" in words and "iso-scan/filename=/casper-layout.iso" in words, words
    assert "persistent" not in plain and "persistent" in persistent, lines
    print("ok: casper-rw is a clean ext4 file of 64 MiB; only the persistence entry passes persistent")


def main():
    suite_main(GROUPS, TOOLS, Ctx)


if __name__ == "__main__":
    main()
