#!/usr/bin/env python3
"""Boot tests: disks made by qxtool, booted in QEMU under SeaBIOS.

usage: boottests.py --qxtool PATH GROUP [CASE ...]
GROUP is one of: methods, reads, menu, linux, grub."""

import argparse
import os
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bootlib import (Qemu, Skip, Suite, Work, boot_report, fnv, parse_report,  # noqa: E402
                     pattern, payload, run, shim, shim_log)

GROUPS = {g: Suite() for g in ("methods", "reads", "menu", "linux", "grub")}


def sector(path, n, count=1):
    with open(path, "rb") as f:
        f.seek(n * 512)
        return f.read(512 * count)


def part0(disk):
    """Slot 0 of the boot record's partition table and its start."""
    s = sector(disk, 0)
    return s[0x1BE:0x1CE], struct.unpack_from("<I", s, 0x1C6)[0]


def check_handover(regs, dumps, disk, es_di, copy=0):
    """The register state of hand_over, and the partition entry at 0x7EE
    (the booted copy's: copy k holds the start lowered by k)."""
    entry = sector(disk, copy)[0x1BE:0x1CE]
    got = (regs["dx"], regs["ds"], regs["si"], regs["es"], regs["di"], dumps[0x7EE])
    want = (0x0080, 0, 0x7EE, es_di[0], es_di[1], bytes(entry))
    assert got == want, "hand-over %r, expected %r" % (got, want)
    assert dumps[0x21AF] == b"\x80", "byte 0x21AF is %r" % dumps[0x21AF]


def check_hash(hashes, addr, data):
    got = hashes.get(addr)
    assert got == (len(data), fnv(data)), "memory at %#x: %r, expected %r" % (addr, got, (len(data), fnv(data)))


def bios_es_di(work):
    """ES:DI as SeaBIOS passes them to a boot sector: a payload as sector 0."""
    if not hasattr(work, "es_di"):
        p = bytearray(payload(work))
        p += bytes(510 - len(p)) + b"\x55\xaa"
        img = work.write(bytes(p) + bytes(2 << 20), "mbr.img")
        regs, _, _, _ = boot_report(work, disk=img)
        work.es_di = (regs["es"], regs["di"])
    return work.es_di


HANDOVER = [(0x7EE, 16, 0), (0x21AF, 1, 0)]


# --- boot methods ----------------------------------------------------------

@GROUPS["methods"].case
def grldr_loads_a_large_marked_file_at_2000_0000(w):
    # 150,000 bytes of 510-byte pieces cross 0x30000 and 0x40000.
    disk = w.disk(64)
    data = payload(w, HANDOVER + [(0x20000, 150000, 1)], pad=150000)
    w.add(disk, "grldr", data)
    w.menu(disk, ["timeout 0", "menu F1 grldr grldr"])
    regs, dumps, hashes, _ = boot_report(w, disk=disk)
    assert (regs["cs"], regs["ip"]) == (0x2000, 0), regs
    check_handover(regs, dumps, disk, bios_es_di(w))
    check_hash(hashes, 0x20000, data)


@GROUPS["methods"].case
def chain_loads_a_plain_file_at_7c00(w):
    disk = w.disk(64, ["--extended", "4m"])
    data = payload(w, HANDOVER + [(0x7C00, 3000, 1)], pad=3000)
    w.add(disk, "boot.bin", data, extended=True)
    w.menu(disk, ["timeout 0", "menu F1 chain boot.bin"])
    regs, dumps, hashes, _ = boot_report(w, disk=disk)
    assert (regs["cs"], regs["ip"]) == (0, 0x7C00), regs
    check_handover(regs, dumps, disk, bios_es_di(w))
    check_hash(hashes, 0x7C00, data)


@GROUPS["methods"].case
def syslinux_receives_the_partition_bpb(w):
    # The jump's displacement says how much of the BPB area is copied.
    for d in (0x58, 0x3C):
        disk = w.disk(64)
        size = 2000
        data = payload(w, HANDOVER + [(0x7C00, d + 2, 0), (0x7C00 + d + 2, size - d - 2, 1)],
                       pad=size, JUMP_D=d)
        w.add(disk, "ldlinux.bin", data)
        w.menu(disk, ["timeout 0", "menu F1 syslinux ldlinux.bin"])
        regs, dumps, hashes, _ = boot_report(w, disk=disk)
        start = part0(disk)[1]
        pbs = bytearray(sector(disk, start))
        struct.pack_into("<I", pbs, 0x1C, start)
        pbs[0x18], pbs[0x1A] = 63, 255
        want = data[:2] + bytes(pbs[2:d + 2])
        assert dumps[0x7C00] == want, "jump %#x: code at 0x7C00 starts %s, expected %s" % (
            d, dumps[0x7C00].hex(), want.hex())
        check_handover(regs, dumps, disk, bios_es_di(w))
        check_hash(hashes, 0x7C00 + d + 2, data[d + 2:])


def msdos_checks(w, disk, code):
    regs, dumps, hashes, _ = boot_report(w, disk=disk)
    want = dict(cs=0x70, ip=0, dx=0xF880, ax=0, bx=0, bp=0, di=0, ds=0x8000, ss=0x8000, sp=0)
    got = {k: regs[k] for k in want}
    assert got == want, "msdos entry %r" % got
    start = part0(disk)[1]
    bpb = dumps[0x80018]
    assert (bpb[0], bpb[2], struct.unpack_from("<I", bpb, 4)[0]) == (63, 255, start), bpb.hex()
    check_hash(hashes, 0x700, code)


@GROUPS["methods"].case
def msdos_copies_the_code_after_four_sectors(w):
    disk = w.disk(64)
    code = payload(w, [(0x80018, 8, 0), (0x700, 6000, 1)], pad=6000)
    w.add(disk, "io.sys", pattern(2048, 7) + code)
    w.menu(disk, ["timeout 0", "menu F1 msdos io.sys"])
    msdos_checks(w, disk, code)


@GROUPS["methods"].case
def msdos_unpacks_a_cm_file(w):
    # Raw block, block through the file's own routine, raw block, end mark;
    # the routine sits in the paragraph after the end mark behind "CM".
    code = payload(w, [(0x80018, 8, 0), (0x700, 2048, 1)], pad=2048)
    body = bytearray(b"CM")
    body += struct.pack("<BH", 0, 700) + code[:700]
    body += struct.pack("<BHH", 1, 6 + 1024, 1024) + bytes(6) + code[700:1724]
    body += struct.pack("<BH", 0, 2048 - 1724) + code[1724:]
    end = len(body)
    body += struct.pack("<BH", 0, 0)
    body += bytes((end // 16 + 1) * 16 - len(body))
    routine = w.nasm("cmroutine.asm")
    body += b"CM" + struct.pack("<H", 4) + routine
    disk = w.disk(64)
    w.add(disk, "io.sys", pattern(2048, 9) + bytes(body) + bytes(512))
    w.menu(disk, ["timeout 0", "menu F1 msdos io.sys"])
    msdos_checks(w, disk, code)


@GROUPS["methods"].case
def freedos_copies_64k_to_0600(w):
    disk = w.disk(64)
    data = payload(w, [(0x600, 40960, 1)], pad=40960)
    w.add(disk, "kernel.sys", data)
    w.menu(disk, ["timeout 0", "menu F1 freedos kernel.sys"])
    regs, _, hashes, _ = boot_report(w, disk=disk)
    want = dict(cs=0x60, ip=0, bx=0x80, ds=0, es=0, ss=0, sp=0x400)
    got = {k: regs[k] for k in want}
    assert got == want, "freedos entry %r" % got
    assert regs["fl"] & 0x200, "interrupts are off at entry"
    check_hash(hashes, 0x600, data)


def halts_with(w, disk, text, floppy=None, timeout=20):
    with Qemu(w, disk=disk, floppy=floppy) as q:
        q.wait_for(lambda: text in q.screen_text(), timeout, repr(text))
        time.sleep(0.5)
        assert q.proc.poll() is None, "QEMU ended instead of halting"
        return q.screen_text()


@GROUPS["methods"].case
def refused_items_print_their_message(w):
    # A menu file whose only item has system type 9.
    menu_type9 = bytes([5, 1, 0x00, 0x3B, 9]) + b"x\x00" + b"\x00"
    cases = [
        # (files, menu lines or raw menu, message)
        ([("io.sys", pattern(4 * 510, 3))], ["timeout 0", "menu F1 msdos io.sys"], "no file"),
        ([("io.sys", pattern(962 * 510, 3))], ["timeout 0", "menu F1 msdos io.sys"], "no file"),
        ([("grldr", pattern(769 * 510, 3))], ["timeout 0", "menu F1 grldr grldr"], "no file"),
        ([], ["timeout 0", "menu F1 chain missing.bin"], "no file"),
        ([], menu_type9, "no type"),
    ]
    for files, menu, message in cases:
        disk = w.disk(64)
        for name, data in files:
            w.add(disk, name, data)
        if isinstance(menu, bytes):
            w.add(disk, "qx.cfg", menu)
        else:
            w.menu(disk, menu)
        screen = halts_with(w, disk, message)
        assert screen.rstrip().endswith(message), "%s: screen ends %r" % (message, screen[-200:])


# --- disk reads ----------------------------------------------------------

def grldr_disk(w, size=150000, fmt=(), extended=False, debug=False):
    disk = w.disk(64, list(fmt), debug=debug)
    data = payload(w, HANDOVER + [(0x20000, size, 1)], pad=size)
    w.add(disk, "grldr", data, extended=extended)
    w.menu(disk, ["timeout 0", "menu F1 grldr grldr"])
    return disk, data


@GROUPS["reads"].case
def lba_reads_of_63_then_the_rest(w):
    # 100 plain sectors from the extended area: transfers of 63 and 37.
    disk, data = grldr_disk(w, 100 * 512, ["--extended", "4m"], extended=True)
    regs, _, hashes, text = boot_report(w, disk=disk, floppy=shim(w))
    check_hash(hashes, 0x20000, data)
    log = shim_log(text)
    i = next(i for i, e in enumerate(log) if e[0] == 0x41)
    assert log[i + 1][:3] == (0x42, 1, "00000220"), "no test read of sector 544: %r" % log
    assert [c for f, c, a, ok in log if f == 0x42][-2:] == [63, 37], log
    assert all(f in (0x41, 0x42) for f, c, a, ok in log[i:]), log


@GROUPS["reads"].case
def chs_reads_stop_at_track_ends(w):
    # Without extensions, and with the CHS bit on a BIOS that has them: the
    # geometry is probed and no read runs past a track. The file crosses
    # 64 KiB boundaries at its destination.
    for name, fmt, no_ext in (("no extensions", [], True), ("CHS bit", ["--chs"], False)):
        disk, data = grldr_disk(w, 150000, fmt)
        regs, _, hashes, text = boot_report(w, disk=disk, floppy=shim(w, no_ext=no_ext))
        check_hash(hashes, 0x20000, data)
        log = shim_log(text)
        assert not any(f == 0x42 for f, c, a, ok in log), "%s: LBA read in %r" % (name, log)
        if not no_ext:
            assert not any(f == 0x41 for f, c, a, ok in log), "%s: 41h called" % name
        reads = [(c, int(a[:4], 16), int(a[4:], 16)) for f, c, a, ok in log if f == 2]
        # The geometry of a 64 MiB disk under SeaBIOS: 16 heads, 63 sectors.
        for count, cx, dh in reads:
            sec = cx & 63
            assert sec + count - 1 <= 63, "%s: read of %d from sector %d" % (name, count, sec)
        probes = [(cx, dh) for c, cx, dh in reads[2:4]]   # after the shim's and the first read
        assert probes == [(0x0001, 1), (0x0101, 0)], "%s: probes %r" % (name, probes)
        assert any(c == 63 for c, cx, dh in reads), "%s: no whole-track read" % name


@GROUPS["reads"].case
def failed_reads_retry_with_7_then_1(w):
    # Reads above 7 sectors fail; in the second run, once the 3 sectors of
    # stage 2 have been read, reads above 1 fail. A failure is followed by a
    # reset and a retry with 7 when more failed, else with 1; the lowered
    # count stays the limit.
    for limit, then, want in ((7, 0, [(63, False), (7, True)]),
                              (7, 1, [(63, False), (7, False), (1, True)])):
        disk, data = grldr_disk(w, 150000)
        regs, _, hashes, text = boot_report(w, disk=disk, floppy=shim(w, max_read=limit, next_max=then))
        check_hash(hashes, 0x20000, data)
        log = shim_log(text)
        reads = [(c, ok) for f, c, a, ok in log if f == 0x42]
        first = next(i for i, (c, ok) in enumerate(reads) if not ok)
        assert reads[first:first + len(want)] == want, "%d/%d: %r" % (limit, then, reads)
        final = want[-1][0]
        assert all(c <= final for c, ok in reads[first + len(want):]), "%d/%d: %r" % (limit, then, reads)
        resets = sum(1 for f, c, a, ok in log if f == 0)
        assert resets == sum(1 for c, ok in want if not ok), "%d/%d: %d resets" % (limit, then, resets)


@GROUPS["reads"].case
def disk_presented_from_a_later_copy_boots(w):
    for k in (1, 63):
        disk, data = grldr_disk(w, 20000)
        cut = w.fresh("cut.img")
        with open(disk, "rb") as f, open(cut, "wb") as o:
            f.seek(k * 512)
            o.write(f.read())
        regs, dumps, hashes, _ = boot_report(w, disk=cut)
        check_hash(hashes, 0x20000, data)
        check_handover(regs, dumps, disk, bios_es_di(w), copy=k)


@GROUPS["reads"].case
def debug_variant_prints_a_line_per_read(w):
    disk = w.disk(64, debug=True)
    screen = halts_with(w, disk, "no file")
    lines = [l for l in screen.splitlines() if len(l) >= 79 and all(
        len(x) == 4 for x in l.split())]
    assert len(lines) >= 3, screen
    first = lines[0].split()
    # Sector 0 read to 0200:0000: copy 0, last five words of the sector
    # (the partition table's end and 55 AA), ES = 0200.
    s0 = sector(disk, 0)
    want = ["0000"] + ["%04X" % struct.unpack_from("<H", s0, o)[0] for o in range(502, 512, 2)] + ["0200"]
    assert first[:7] == want, "%r, expected %r" % (first[:7], want)


# --- menu ---------------------------------------------------------------

def two_item_disk(w, lines, fmt=()):
    """A grldr item (enters at 2000:0000) and a chain item (0000:7C00); the
    payloads also dump the screen."""
    disk = w.disk(64, list(fmt))
    vga = [(0xB8000, 4000, 0)]
    w.add(disk, "a.bin", payload(w, vga, pad=1000))
    w.add(disk, "b.bin", payload(w, vga, pad=1000))
    w.menu(disk, lines + ["menu F1 grldr a.bin", "menu F2 chain b.bin"])
    return disk


def started(regs):
    return {0x2000: "a", 0: "b"}[regs["cs"]]


def screen_rows(dump):
    return [dump[r * 160:(r + 1) * 160] for r in range(25)]


def row_text(row):
    return row[0::2].decode("latin-1")


@GROUPS["menu"].case
def menu_texts_colours_and_hotkey_while_waiting(w):
    disk = two_item_disk(w, ["timeout 255", "text plain", "color yellow", "text \"Booting From USB Device\"",
                             "color white/blue", "text -n \"left\"", "text right", "color red"])
    with Qemu(w, disk=disk) as q:
        q.wait_for(lambda: "leftright" in q.screen_text(), 20, "the menu")
        rows = q.screen()
        time.sleep(0.5)
        assert q.proc.poll() is None, "did not wait"
        q.key("f2")
        assert q.wait_exit(20) == 33
        regs, _, _, _ = parse_report(q.debug_text())
    found = {}
    for text, attrs in rows:
        for word, attr in (("plain", 7), ("Booting From USB Device", 0x0E), ("leftright", 0x1F)):
            i = text.find(word)
            if i >= 0:
                found[word] = set(attrs[i:i + len(word)])
                assert found[word] == {attr}, "%s has attributes %r" % (word, found[word])
    assert len(found) == 3, found
    assert started(regs) == "b"


@GROUPS["menu"].case
def waiting_keys_and_timeouts(w):
    F1, F2, ESC = 0x3B00, 0x3C00, 0x011B
    cases = [
        # (menu lines, keys waiting, item started, menu text shown)
        (["timeout 255", "text shown"], [F2], "b", False),
        (["timeout 1", "default 1", "text shown"], [], "b", True),
        (["default 1"], [], "b", False),
        (["text shown"], [0x1E61], "a", False),      # no timeout: default 0 at once
    ]
    for lines, keys, item, shown in cases:
        disk = two_item_disk(w, lines)
        regs, dumps, _, _ = boot_report(w, disk=disk, floppy=shim(w, keys=keys))
        text = "".join(row_text(r) for r in screen_rows(dumps[0xB8000]))
        assert started(regs) == item, "%r %r: started %s" % (lines, keys, started(regs))
        assert ("shown" in text) == shown, "%r %r: menu shown %s" % (lines, keys, "shown" in text)
    # Esc waiting: the menu stays up past its timeout until a hotkey.
    disk = two_item_disk(w, ["timeout 1", "text shown"])
    with Qemu(w, disk=disk, floppy=shim(w, keys=[ESC])) as q:
        q.wait_for(lambda: "shown" in q.screen_text(), 20, "the menu")
        time.sleep(2.5)
        assert q.proc.poll() is None, "the timeout ran out after Esc"
        q.key("f2")
        assert q.wait_exit(20) == 33
        assert started(parse_report(q.debug_text())[0]) == "b"


@GROUPS["menu"].case
def timeout_across_midnight(w):
    # The tick count restarts at midnight; the deadline follows it.
    disk = two_item_disk(w, ["timeout 5", "default 1", "text shown"])
    regs, _, _, _ = boot_report(w, disk=disk, timeout=25,
                                extra=["-rtc", "base=2020-01-01T23:59:57"])
    assert started(regs) == "b"


@GROUPS["menu"].case
def menu_fallbacks(w):
    # default out of range; no qx.cfg but buldr; neither.
    disk = two_item_disk(w, ["timeout 0", "default 2"])
    assert halts_with(w, disk, "no menu").rstrip().endswith("no menu")
    disk = w.disk(64)
    data = payload(w, HANDOVER, pad=600)
    w.add(disk, "buldr", data)
    regs, dumps, _, _ = boot_report(w, disk=disk)
    assert (regs["cs"], regs["ip"]) == (0x2000, 0)
    check_handover(regs, dumps, disk, bios_es_di(w))
    disk = w.disk(64)
    assert halts_with(w, disk, "no file").rstrip().endswith("no file")


# --- Linux -------------------------------------------------------------------

def kernel_and_initrd(w):
    kernels = sorted(f for f in os.listdir("/boot") if f.startswith("vmlinuz-")) if os.path.isdir("/boot") else []
    if not kernels or not os.path.exists("/bin/busybox") or not shutil_which("cpio"):
        raise Skip("needs linux-image-amd64, busybox-static and cpio")
    if not hasattr(w, "linux"):
        root = w.fresh("initramfs")
        os.makedirs(root + "/bin")
        os.makedirs(root + "/dev")
        os.makedirs(root + "/proc")
        run(["cp", "/bin/busybox", root + "/bin/busybox"])
        with open(root + "/init", "w") as f:
            f.write("#!/bin/busybox sh\n/bin/busybox mount -t proc proc /proc\n"
                    "echo \"QXINIT $(/bin/busybox cat /proc/cmdline) QXEND\" > /dev/ttyS0\n"
                    "/bin/busybox poweroff -f\n")
        os.chmod(root + "/init", 0o755)
        run(["mknod", root + "/dev/console", "c", "5", "1"])
        run(["mknod", root + "/dev/ttyS0", "c", "4", "64"])
        cpio = w.fresh("initrd.img")
        run(["sh", "-c", "cd %s && find . | cpio -o -H newc 2>/dev/null | gzip -1 > %s" % (root, cpio)])
        with open("/boot/" + kernels[-1], "rb") as f:
            kernel = f.read()
        with open(cpio, "rb") as f:
            w.linux = (kernel, f.read())
    return w.linux


def shutil_which(n):
    import shutil
    return shutil.which(n)


def boot_linux(w, disk, marker):
    """Boots to the init marker; returns the last screen seen that shows the
    loader's progress (the kernel powers QEMU off at the end)."""
    seen = [""]

    def marker_seen():
        try:
            text = q.screen_text()
            if "Loading" in text:
                seen[0] = text
        except Exception:
            pass
        return "QXEND" in q.serial_text()

    with Qemu(w, disk=disk, mem=256) as q:
        q.wait_for(marker_seen, 180, "the init marker")
        line = next(l for l in q.serial_text().splitlines() if "QXINIT" in l)
        assert marker in line, line
    return seen[0]


@GROUPS["linux"].case
def linux_from_the_primary_area(w):
    kernel, initrd = kernel_and_initrd(w)
    disk = w.disk(128, ["--primary", "30m"])
    w.add(disk, "vmlinuz", kernel)
    w.add(disk, "initrd.img", initrd)
    # The compiler keeps the initrd's leading '/'; the lookup skips it.
    w.menu(disk, ["timeout 0", "menu F1 linux /vmlinuz /initrd.img \"console=ttyS0 quiet qx=primary\""])
    screen = boot_linux(w, disk, "qx=primary")
    assert "Loading vmlinuz" in screen and "Loading initrd.img" in screen, screen


@GROUPS["linux"].case
def linux_from_the_extended_area_with_a_large_initrd(w):
    # An initrd of more than 65,535 pieces: the zeros after the archive are
    # skipped by the kernel.
    kernel, initrd = kernel_and_initrd(w)
    big = initrd + bytes(65600 * 512 - len(initrd))
    disk = w.disk(160, ["--extended", "60m"])
    w.add(disk, "vmlinuz", kernel, extended=True)
    w.add(disk, "initrd.img", big, extended=True)
    w.menu(disk, ["timeout 0", "menu F1 linux vmlinuz /initrd.img \"console=ttyS0 qx=extended\""])
    boot_linux(w, disk, "qx=extended")


# --- GRUB 2 as a grldr item ----------------------------------------------------

@GROUPS["grub"].case
def grub_reads_the_data_partition(w):
    g2hdr = "/usr/lib/grub/i386-pc/g2hdr.img"
    if not (shutil_which("grub-mkimage") and os.path.exists(g2hdr) and shutil_which("mcopy")):
        raise Skip("needs grub-pc-bin and mtools")
    cfg = w.write(b"serial --unit=0 --speed=115200\nterminal_output serial console\n"
                  b"cat (hd0,msdos1)/hello.txt\necho QXGRUBEND\nhalt\n", "embed.cfg")
    core = w.fresh("core.img")
    run(["grub-mkimage", "-O", "i386-pc", "-o", core, "-c", cfg, "-p", "(hd0,msdos1)/boot/grub",
         "biosdisk", "serial", "terminal", "echo", "halt", "fat", "part_msdos", "cat"])
    with open(g2hdr, "rb") as f, open(core, "rb") as c:
        loader = f.read() + c.read()
    disk = w.disk(128)
    w.add(disk, "grldr", loader)
    w.menu(disk, ["timeout 0", "menu F1 grldr grldr"])
    start = part0(disk)[1]
    run(["mcopy", "-i", "%s@@%d" % (disk, start * 512), w.write(b"QXHELLO from FAT\n"), "::/hello.txt"])
    with Qemu(w, disk=disk) as q:
        q.wait_for(lambda: "QXGRUBEND" in q.serial_text(), 60, "GRUB's marker")
        assert "QXHELLO from FAT" in q.serial_text(), q.serial_text()[-500:]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--qxtool", required=True)
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("group", choices=sorted(GROUPS))
    ap.add_argument("cases", nargs="*")
    a = ap.parse_args()
    w = Work(a.qxtool, keep=a.keep)
    try:
        ok = GROUPS[a.group].run(w, a.cases)
    finally:
        w.close()
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
