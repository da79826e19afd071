#!/usr/bin/env python3
"""Boot tests: disks made by qxtool, booted in QEMU under SeaBIOS.

usage: boottests.py --qxtool PATH [--crash-states PATH] [--shifted-boot PATH] GROUP [CASE ...]
GROUP is one of: methods, reads, menu, linux, initrd, usb, grub, torn, update."""

import argparse
import os
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bootlib import (Qemu, Skip, Suite, Work, boot_report, data_fat, fnv, parse_report,  # noqa: E402
                     pattern, payload, run, shim, shim_log)

GROUPS = {g: Suite() for g in ("methods", "reads", "menu", "linux", "initrd", "usb", "grub", "torn", "update")}


def sector(path, n, count=1):
    with open(path, "rb") as f:
        f.seek(n * 512)
        return f.read(512 * count)


def file_item(disk, name):
    """(start sector, size) of a file item, read from the list in place on
    the disk (list_used sectors, as the header gives them)."""
    s0 = sector(disk, 0)
    base = struct.unpack_from("<H", s0, 0x1B2)[0]
    head = sector(disk, base + 1)
    n, used = struct.unpack_from("<H", head, 0)[0], struct.unpack_from("<H", head, 6)[0]
    raw = sector(disk, base + 1 + n, used)
    data = b"".join(raw[i * 512:i * 512 + 510] for i in range(used))
    at = 0
    while data[at]:
        start, size = struct.unpack_from("<II", data, at + 2)
        item = data[at + 14:data.index(b"\0", at + 14)].decode()
        if item == name:
            return start, size
        at += data[at] + 2
    raise AssertionError("no item %s" % name)


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
def lba_reads_as_large_as_max_sectors_allows(w):
    # Plain sectors from the extended area: 100 with the 63 format writes by
    # default go as 63 and 37; 150 with --max-sectors 127 as 127 and 23.
    for sectors, fmt, want in ((100, [], [63, 37]), (150, ["--max-sectors", "127"], [127, 23])):
        disk, data = grldr_disk(w, sectors * 512, ["--extended", "4m"] + fmt, extended=True)
        regs, _, hashes, text = boot_report(w, disk=disk, floppy=shim(w))
        check_hash(hashes, 0x20000, data)
        log = shim_log(text)
        i = next(i for i, e in enumerate(log) if e[0] == 0x41)
        assert log[i + 1][:3] == (0x42, 1, "00000220"), "no test read of sector 544: %r" % log
        assert [c for f, c, a, ok in log if f == 0x42][-2:] == want, "%r: %r" % (fmt, log)
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
    # The BIOS fails reads above a limit; with a second limit, that one
    # takes over once the 3 sectors of stage 2 have been read. A failure is
    # followed by a reset and a retry with 7 when more than 7 failed, else
    # with 1; the lowered count stays the limit for the rest of the boot.
    cases = [
        # (format options, limit, then, the reads from the first failure)
        ([], 7, 0, [(63, False), (7, True)]),
        ([], 7, 1, [(63, False), (7, False), (1, True)]),
        (["--max-sectors", "127"], 64, 0, [(127, False), (7, True)]),
        (["--max-sectors", "8"], 7, 0, [(8, False), (7, True)]),
        (["--max-sectors", "5"], 4, 0, [(5, False), (1, True)]),
    ]
    for fmt, limit, then, want in cases:
        what = "%r %d/%d" % (fmt, limit, then)
        disk, data = grldr_disk(w, 150000, fmt)
        regs, _, hashes, text = boot_report(w, disk=disk, floppy=shim(w, max_read=limit, next_max=then))
        check_hash(hashes, 0x20000, data)
        log = shim_log(text)
        reads = [(c, ok) for f, c, a, ok in log if f == 0x42]
        first = next(i for i, (c, ok) in enumerate(reads) if not ok)
        assert reads[first:first + len(want)] == want, "%s: %r" % (what, reads)
        final = want[-1][0]
        assert all(c <= final and ok for c, ok in reads[first + len(want):]), "%s: %r" % (what, reads)
        assert any(c == final for c, ok in reads[first + len(want):]), "%s: %r" % (what, reads)
        resets = sum(1 for f, c, a, ok in log if f == 0)
        assert resets == sum(1 for c, ok in want if not ok), "%s: %d resets" % (what, resets)


@GROUPS["reads"].case
def transient_read_errors_are_retried(w):
    # Every second read fails. A failed single sector is reset and read
    # again: sector 0 read again at start, the LBA test, the header, the
    # geometry probes of a BIOS without extensions, the reads of stage 2.
    for name, no_ext, must in (("LBA", False, [(2, "000100"), (0x42, "00000220")]),
                               ("CHS", True, [(2, "000100"), (2, "000101"), (2, "010100")])):
        disk, data = grldr_disk(w, 20000)
        regs, _, hashes, text = boot_report(w, disk=disk, floppy=shim(w, no_ext=no_ext, flaky=True))
        check_hash(hashes, 0x20000, data)
        log = shim_log(text)
        reads = [i for i, (f, c, a, ok) in enumerate(log) if f in (2, 0x42)]
        failed = [(log[i][0], log[i][2]) for i in reads if not log[i][3] and log[i][1] == 1]
        for want in must:
            assert want in failed, "%s: %r never failed in %r" % (name, want, log)
        for i in reads:
            f, c, a, ok = log[i]
            if not ok and c == 1:
                assert log[i + 1][0] == 0 and log[i + 2] == (f, 1, a, True), \
                    "%s: failed read %r not reset and read again: %r" % (name, log[i], log[i:i + 3])


@GROUPS["reads"].case
def a_read_that_keeps_failing_says_int13(w):
    # The disk ends 3 sectors into the file: the read of all 40 fails, then
    # the one of 7; by 1 the first 3 come, the fourth fails four times, each
    # failure followed by a reset, and the screen says which service failed.
    disk = w.disk(64)
    w.menu(disk, ["timeout 0", "menu F1 grldr grldr"])
    w.add(disk, "grldr", payload(w, HANDOVER + [(0x20000, 40 * 510, 1)], pad=40 * 510))
    start = file_item(disk, "grldr")[0]
    cut = w.fresh("short.img")
    with open(disk, "rb") as f, open(cut, "wb") as o:
        o.write(f.read((start + 3) * 512))
    with Qemu(w, disk=cut, floppy=shim(w)) as q:
        q.wait_for(lambda: "int13" in q.screen_text(), 20, "int13")
        time.sleep(0.5)
        assert q.proc.poll() is None, "QEMU ended instead of halting"
        screen, log = q.screen_text(), shim_log(q.debug_text())
    assert screen.rstrip().endswith("int13"), screen[-200:]
    at = "%08X" % start
    first = next((i for i, e in enumerate(log) if e[0] == 0x42 and e[2] == at), None)
    assert first is not None, "no read at %s: %r" % (at, log)
    got = [(c, int(a, 16) - start, ok) if f == 0x42 else f for f, c, a, ok in log[first:]]
    fail = [(1, 3, False), 0]
    want = [(40, 0, False), 0, (7, 0, False), 0, (1, 0, True), (1, 1, True), (1, 2, True)] + fail * 4
    assert got == want, got


@GROUPS["reads"].case
def a_list_used_past_the_room_below_the_read_buffer_says_no_file(w):
    # The list goes to 0x10000 and must end below 0x80000: 899 sectors of
    # 510 bytes. A header claiming more is refused before anything is read
    # over the read buffer and beyond.
    disk, data = grldr_disk(w, 20000)
    base = struct.unpack_from("<H", sector(disk, 0), 0x1B2)[0]
    for used, ok in ((899, True), (900, False), (0xFFFF, False)):
        with open(disk, "r+b") as f:
            f.seek((base + 1) * 512 + 6)
            f.write(struct.pack("<H", used))
        if ok:
            check_hash(boot_report(w, disk=disk)[2], 0x20000, data)
        else:
            screen = halts_with(w, disk, "no file")
            assert screen.rstrip().endswith("no file"), "list_used %d: %r" % (used, screen[-200:])


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
def deadline_on_the_last_tick_of_the_day(w):
    # The deadline falls on tick 0x1800AF; the count then restarts at 0 and
    # the deadline, moved back by a day, lies below it: the default starts.
    disk = two_item_disk(w, ["timeout 1", "default 1", "text shown"])
    regs, _, _, _ = boot_report(w, disk=disk, floppy=shim(w, ticks=0x1800AF - 18), timeout=20)
    assert started(regs) == "b"


@GROUPS["menu"].case
def enhanced_keys_on_a_bios_that_drops_them(w):
    # The shim drops enhanced-only keys on functions 00h and 01h, as
    # IBM-compatible BIOSes do. With the enhanced keyboard flag set, F12 and
    # Ctrl-Up still arrive; grey keys come as function 00h would give them.
    # Without the flag the program uses 00h/01h and F12 is lost.
    F12, CTRL_UP, GREY_UP, PAD_ENTER = 0x8600, 0x8D00, 0x48E0, 0xE00D
    vga = [(0xB8000, 16, 0)]
    cases = [
        # (keys waiting, no enhanced flag, item started, default)
        ([F12], False, "grldr", 3),
        ([CTRL_UP], False, "freedos", 3),
        ([GREY_UP], False, "msdos", 3),
        ([PAD_ENTER], False, "chain", 0),
        ([GREY_UP], True, "msdos", 3),
        ([F12], True, "chain", 3),
    ]
    entry = {0x2000: "grldr", 0x60: "freedos", 0x70: "msdos", 0: "chain"}
    disk = w.disk(64)
    code = payload(w, vga, pad=1000)
    for name, data in (("a.bin", code), ("c.bin", code), ("d.bin", pattern(2048, 4) + code), ("b.bin", code)):
        w.add(disk, name, data)
    for keys, no_enh, item, default in cases:
        w.menu(disk, ["timeout 0", "default %d" % default, "menu F12 grldr a.bin",
                      "menu ctrl-UP freedos c.bin", "menu UP msdos d.bin", "menu ENTER chain b.bin"])
        regs, _, _, _ = boot_report(w, disk=disk, floppy=shim(w, keys=keys, drop_ext=True, no_enh=no_enh))
        got = entry[regs["cs"]]
        assert got == item, "keys %r, no flag %s: started %s, expected %s" % (
            [hex(k) for k in keys], no_enh, got, item)


@GROUPS["menu"].case
def largest_menu_is_loaded_whole(w):
    # A menu file of the largest size the compiler makes, its only item at
    # the end: loading it leaves the stack alone and the item starts.
    lines = ["timeout 0"] + ["text " + "x" * 250] * 126 + ["text " + "y" * 106, "menu F1 chain b.bin"]
    disk = w.disk(64)
    data = payload(w, HANDOVER + [(0x7C00, 1000, 1)], pad=1000)
    w.add(disk, "b.bin", data)
    w.menu(disk, lines)
    assert file_item(disk, "qx.cfg")[1] == 32256, file_item(disk, "qx.cfg")
    regs, dumps, hashes, _ = boot_report(w, disk=disk)
    assert (regs["cs"], regs["ip"]) == (0, 0x7C00), regs
    check_handover(regs, dumps, disk, bios_es_di(w))
    check_hash(hashes, 0x7C00, data)


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
                    "[ -f /pad ] && echo \"QXPAD $(/bin/busybox md5sum /pad)\" > /dev/ttyS0\n"
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


def newc(name, data):
    """A cpio archive (newc) holding one file, to be appended to an initrd."""
    def member(n, body, mode):
        n = n.encode() + b"\0"
        head = b"070701" + b"".join(b"%08X" % v for v in (1, mode, 0, 0, 1, 0, len(body), 0, 0, 0, 0, len(n), 0))
        out = head + n
        out += bytes(-len(out) % 4) + body
        return out + bytes(-len(out) % 4)
    return member(name, data, 0o100644) + member("TRAILER!!!", b"", 0)


def padded_initrd(w, mib, name="pad"):
    """The busybox initrd followed by a cpio member of random bytes, the
    whole about MIB MiB; and the md5 of that member (/init prints the md5
    of /pad)."""
    import hashlib
    kernel, initrd = kernel_and_initrd(w)
    pad = os.urandom((mib << 20) - len(initrd) - 512)
    # The kernel looks for the next archive on a 4-byte boundary.
    return kernel, initrd + bytes(-len(initrd) % 4) + newc(name, pad), hashlib.md5(pad).hexdigest()


def shutil_which(n):
    import shutil
    return shutil.which(n)


def boot_linux(w, disk, marker, mem=256, timeout=180, disk_args=None, extra=()):
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

    with Qemu(w, disk=disk, mem=mem, disk_args=disk_args, extra=extra) as q:
        q.wait_for(marker_seen, timeout, "the init marker")
        w.serial = q.serial_text()
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


@GROUPS["initrd"].case
def large_initrds_with_and_without_kaslr(w):
    # The initrd lies clear of the window the kernel unpacks itself in, with
    # KASLR and without, below the PCI hole, whole: /init checks its md5.
    cases = [
        # (memory MiB, initrd MiB, kernel options)
        (256, 40, "nokaslr"),
        (1024, 64, ""),
        (3072, 128, "nokaslr"),
        (6144, 64, ""),
    ]
    for mem, mib, opts in cases:
        kernel, initrd, md5 = padded_initrd(w, mib)
        disk = w.disk(mib + 48, ["--extended", "%dm" % (mib + 16)])
        w.add(disk, "vmlinuz", kernel, extended=True)
        w.add(disk, "initrd.img", initrd, extended=True)
        w.menu(disk, ["timeout 0", 'menu F1 linux vmlinuz initrd.img "console=ttyS0 quiet %s qx=%d"' % (opts, mib)])
        t0 = time.time()
        boot_linux(w, disk, "qx=%d" % mib, mem=mem, timeout=400)
        assert "QXPAD %s" % md5 in w.serial, "%d MiB, %d MiB initrd %s: %r" % (mem, mib, opts, w.serial[-600:])
        print("  %d MiB memory, %d MiB initrd %s: %.1f s" % (mem, mib, opts or "kaslr", time.time() - t0), flush=True)
        os.remove(disk)


# --- the linux method's memory use, with a stand-in kernel -------------------

HEADER = 0x90000


def fake_kernel(w, entries=(), version=0x20F, loadflags=0x01, magic=b"HdrS", pref=0x1000000,
                init_size=0x3F98000, addr_max=0x7FFFFFFF):
    """A file with a kernel header whose real-mode entry (offset 0x200) is the
    report payload: 4 setup sectors, then 8 KiB for the part loaded high."""
    f = bytearray(pattern(512, 5)) + payload(w, entries, JUMP_D=0x66)
    f[0x1F1] = 4
    f += bytes(5 * 512 - len(f))
    f[0x202:0x206] = magic
    struct.pack_into("<H", f, 0x206, version)
    f[0x211] = loadflags
    struct.pack_into("<I", f, 0x22C, addr_max)
    struct.pack_into("<QI", f, 0x258, pref, init_size)
    return bytes(f) + pattern(8192, 6)


def linux_disk(w, kernel, initrd, cmdline, mib=64):
    big = len(initrd or b"") > 8 << 20
    disk = w.disk(mib, ["--extended", "%dm" % (mib // 2)] if big else [])
    w.add(disk, "vmlinuz", kernel)
    if initrd is not None:
        w.add(disk, "initrd.img", initrd, extended=big)
    w.menu(disk, ["timeout 0", 'menu F1 linux vmlinuz %s "%s"' % ("initrd.img" if initrd is not None else '""',
                                                                  cmdline)])
    return disk


@GROUPS["linux"].case
def kernel_block_and_initrd_place(w):
    # The header fields the method fills, the command line, the stack, and
    # the initrd: page aligned, as high as memory and initrd_addr_max allow,
    # above the window [pref_address, + init_size). With an extended BIOS
    # data area of 40 KiB the block moves down beneath it and leaves it alone.
    cmdline = "qx=placed root=/dev/ram0"
    initrd = pattern(3 << 20, 8)
    cases = [
        # (memory MiB, kernel fields, EBDA KiB, lowest start, end at most)
        (256, {}, 0, 0x4F98000, 256 << 20),
        (512, dict(addr_max=0x0FFFFFFF), 0, 0x4F98000, 0x10000000),
        (256, dict(version=0x203, pref=0xFFFFF000, init_size=0xFFFFF000), 0, 0x100000, 256 << 20),
        (256, dict(init_size=0x8000000), 40, 0x9000000, 256 << 20),
    ]
    for mem, fields, ebda, lowest, end in cases:
        base_kib = 639 - 2 - ebda if ebda else 639
        cmd_off = min(base_kib * 1024 - HEADER - 0x100, 0x9000)
        entries = [(HEADER + 0x1F0, 0x80, 0), (HEADER + cmd_off, len(cmdline) + 1, 0), (0x413, 2, 0)]
        if ebda:
            entries.append(((base_kib + 2) * 1024, ebda * 1024, 1))
        disk = linux_disk(w, fake_kernel(w, entries, **fields), initrd, cmdline)
        regs, dumps, hashes, _ = boot_report(w, disk=disk, mem=mem,
                                             floppy=shim(w, ebda=ebda) if ebda else None)
        what = "%d MiB %r EBDA %d" % (mem, fields, ebda)
        assert struct.unpack("<H", dumps[0x413])[0] == base_kib, (what, dumps[0x413].hex())
        h = dumps[HEADER + 0x1F0]
        f = lambda off, fmt="<I": struct.unpack_from(fmt, h, off - 0x1F0)[0]
        got = dict(cs=regs["cs"], ip=regs["ip"], ss=regs["ss"], sp=regs["sp"], ds=regs["ds"],
                   loader=h[0x210 - 0x1F0], flags=h[0x211 - 0x1F0], size=f(0x21C),
                   heap=f(0x224, "<H"), cmd=f(0x228))
        want = dict(cs=0x9020, ip=0, ss=0x9000, sp=cmd_off, ds=0x9000, loader=7, flags=0x81,
                    size=len(initrd), heap=cmd_off - 0x200, cmd=HEADER + cmd_off)
        assert got == want, "%s: %r, expected %r" % (what, got, want)
        assert dumps[HEADER + cmd_off] == cmdline.encode() + b"\0", (what, dumps[HEADER + cmd_off])
        image = f(0x218)
        assert image % 4096 == 0 and image >= lowest and end - (1 << 20) < image + len(initrd) <= end, \
            "%s: initrd at %#x" % (what, image)
        if ebda:
            check_hash(hashes, (base_kib + 2) * 1024, b"\xA5" * (ebda * 1024))


@GROUPS["linux"].case
def kernels_and_memory_the_method_refuses(w):
    initrd = pattern(4096, 3)
    cases = [
        # (kernel, initrd, memory MiB, EBDA KiB, message)
        (pattern(20000, 2), initrd, 64, 0, "bad kernel"),
        (fake_kernel(w, magic=b"HdrX"), initrd, 64, 0, "bad kernel"),
        (fake_kernel(w, version=0x202), initrd, 64, 0, "bad kernel"),
        (fake_kernel(w, loadflags=0), initrd, 64, 0, "bad kernel"),
        # The window ends at 80 MiB; 50 MiB do not fit between it and 128 MiB.
        (fake_kernel(w), bytes(50 << 20), 128, 0, "no memory"),
        # Base memory ends at 577 KiB: no room for the block below it.
        (fake_kernel(w), initrd, 64, 60, "no memory"),
    ]
    for kernel, rd, mem, ebda, message in cases:
        disk = linux_disk(w, kernel, rd, "x", mib=128 if len(rd) > 8 << 20 else 64)
        with Qemu(w, disk=disk, mem=mem, floppy=shim(w, ebda=ebda) if ebda else None) as q:
            q.wait_for(lambda: message in q.screen_text(), 30, repr(message))
            time.sleep(0.3)
            assert q.proc.poll() is None, "QEMU ended instead of halting"
            assert q.screen_text().rstrip().endswith(message), q.screen_text()[-300:]


# --- the stick as a USB drive and on an AHCI machine ------------------------------

@GROUPS["usb"].case
def stick_boots_over_usb_and_ahci(w):
    # Both layouts of the front end, booted from a USB mass-storage device on
    # an xHCI controller, and as a SATA disk of a q35 machine (AHCI). The
    # menu waits for its timeout; grldr and linux items both start.
    cases = [
        ("USB-HDD", []), ("USB-ZIP", ["--zip"]),
    ]
    machines = [
        ("xhci", lambda d: ["-device", "qemu-xhci", "-drive", "if=none,id=stick,format=raw,file=" + d,
                            "-device", "usb-storage,drive=stick,bootindex=0"], []),
        ("q35", lambda d: ["-drive", "format=raw,file=" + d], ["-machine", "q35"]),
    ]
    cmdline = "qx=usb"
    for layout, fmt in cases:
        disk = w.disk(64, fmt)
        data = payload(w, HANDOVER + [(0x20000, 150000, 1)], pad=150000)
        w.add(disk, "grldr", data)
        w.add(disk, "vmlinuz", fake_kernel(w, [(HEADER + 0x9000, len(cmdline) + 1, 0)], init_size=0x1000000))
        w.add(disk, "initrd.img", pattern(1 << 20, 3))
        for machine, drive, extra in machines:
            for default, entry in ((0, (0x2000, 0)), (1, (0x9020, 0))):
                w.menu(disk, ["timeout 1", "default %d" % default, "text on %s" % machine,
                              "menu F1 grldr grldr", 'menu F2 linux vmlinuz initrd.img "%s"' % cmdline])
                regs, dumps, hashes, _ = boot_report(w, disk_args=drive(disk), extra=extra, timeout=60)
                what = "%s on %s, item %d" % (layout, machine, default)
                assert (regs["cs"], regs["ip"]) == entry, "%s: entered at %04x:%04x" % (what, regs["cs"], regs["ip"])
                if default == 0:
                    assert (regs["dx"], regs["si"], dumps[0x7EE]) == (0x80, 0x7EE, part0(disk)[0]), what
                    check_hash(hashes, 0x20000, data)
                else:
                    assert dumps[HEADER + 0x9000] == cmdline.encode() + b"\0", what


# --- lists torn by a power cut ------------------------------------------------

def torn_states(w, disk):
    """A store whose list takes two sectors, its first item grldr, and the
    states a power cut can leave while grldr is replaced: the list in place
    torn, the last list sector holding the commit record. Returns the new
    grldr's bytes and the states, each with what reading the list in place
    finds for grldr."""
    old = payload(w, HANDOVER + [(0x20000, 20000, 1)], pad=20000)
    new = payload(w, HANDOVER + [(0x20000, 30000, 1)], pad=30000)
    w.add(disk, "grldr", old)
    # Names of many lengths, so that a list half old, half new is read off
    # its item boundaries.
    for i in range(18):
        w.add(disk, "boot/%02d-%s.bin" % (i, "abcdefghijklmnopq"[:(i * 7) % 17]), pattern(700 + 50 * i, i))
    w.menu(disk, ["timeout 0", "menu F1 grldr grldr"])
    if not w.crash_states:
        raise Skip("needs the crash_states helper (--crash-states)")
    out = w.fresh("torn")
    os.makedirs(out)
    states = run([w.crash_states, out, disk, "add", "grldr", w.write(new)]).stdout.split()
    assert states, "no torn state with a commit record"
    replaced = file_item(disk, "grldr")
    found = []
    for st in states:
        try:
            in_place = file_item(st, "grldr")
        except (AssertionError, IndexError, ValueError, struct.error, UnicodeDecodeError):
            in_place = None
        found.append((st, in_place))
        assert in_place != replaced, "%s: the list in place already names the new grldr" % st
    return new, found


@GROUPS["torn"].case
def torn_list_with_a_commit_record_boots_the_new_store(w):
    # The payload in the tail of the list area (the default list) and in the
    # primary data area (a list of four sectors has no room for it there).
    # Reading the list in place would give the old grldr or a garbled list;
    # the boot program reads the record's copy and starts the new grldr. One
    # state also boots by CHS reads and from a BIOS that presents the disk
    # from copy 63.
    for fmt in ([], ["--list-size", "2040"]):
        disk = w.disk(64, fmt)
        new, states = torn_states(w, disk)
        boots = [(st, in_place, "", {}) for st, in_place in states]
        if not fmt:
            st, in_place = states[0]
            cut = w.fresh("copy63.img")
            with open(st, "rb") as f, open(cut, "wb") as o:
                f.seek(63 * 512)
                o.write(f.read())
            boots += [(st, in_place, "CHS", dict(floppy=shim(w, no_ext=True))), (cut, in_place, "copy 63", {})]
        for st, in_place, how, kw in boots:
            regs, dumps, hashes, _ = boot_report(w, disk=st, **kw)
            what = "%s %s %s (in place: grldr %r)" % (fmt, os.path.basename(st), how, in_place)
            assert (regs["cs"], regs["ip"]) == (0x2000, 0), "%s: entered at %04x:%04x" % (what, regs["cs"], regs["ip"])
            got = hashes.get(0x20000)
            assert got == (len(new), fnv(new)), "%s: memory at 0x20000 %r, not the new grldr" % (what, got)


# --- the boot record program replaced ------------------------------------------

@GROUPS["update"].case
def power_cut_during_update_boots_the_old_or_the_new_program(w):
    # A disk whose program comes from another build (sector 0 and stage 2 go
    # with no other build's), updated to this one: every state a power cut
    # can leave that starts a boot differently (sector 0, the program
    # sectors it names, the sector the CHS probe reads) boots the store's
    # grldr, by LBA and by CHS reads.
    if not (w.crash_states and w.shifted_boot):
        raise Skip("needs the crash_states helper and the shifted boot program")
    disk = w.disk(64)
    data = payload(w, HANDOVER + [(0x20000, 20000, 1)], pad=20000)
    w.add(disk, "grldr", data)
    w.menu(disk, ["timeout 0", "menu F1 grldr grldr"])
    out = w.fresh("update")
    os.makedirs(out)
    states = run([w.crash_states, "--boot-code", "--program", w.shifted_boot, out, disk, "update"]).stdout.split()
    bases = {struct.unpack_from("<H", sector(st, 0), 0x1B2)[0] for st in states}
    assert bases == {63, 59}, "no state with the program staged: boot_base %r" % bases
    for st in states:
        for how, kw in (("LBA", {}), ("CHS", dict(floppy=shim(w, no_ext=True)))):
            regs, dumps, hashes, _ = boot_report(w, disk=st, **kw)
            what = "%s (%s)" % (os.path.basename(st), how)
            assert (regs["cs"], regs["ip"]) == (0x2000, 0), "%s: entered at %04x:%04x" % (what, regs["cs"], regs["ip"])
            check_hash(hashes, 0x20000, data)
    print("booted %d states by LBA and by CHS" % len(states))


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
    run(["mcopy", "-i", data_fat(disk), w.write(b"QXHELLO from FAT\n"), "::/hello.txt"])
    with Qemu(w, disk=disk) as q:
        q.wait_for(lambda: "QXGRUBEND" in q.serial_text(), 60, "GRUB's marker")
        assert "QXHELLO from FAT" in q.serial_text(), q.serial_text()[-500:]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--qxtool", required=True)
    ap.add_argument("--crash-states")
    ap.add_argument("--shifted-boot")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("group", choices=sorted(GROUPS))
    ap.add_argument("cases", nargs="*")
    a = ap.parse_args()
    w = Work(a.qxtool, keep=a.keep)
    w.crash_states = a.crash_states
    w.shifted_boot = a.shifted_boot
    try:
        ok = GROUPS[a.group].run(w, a.cases)
    finally:
        w.close()
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
