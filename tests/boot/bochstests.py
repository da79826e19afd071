#!/usr/bin/env python3
"""The core of the boot tests on a second PC BIOS: Bochs with its own BIOS,
headless, the payloads reporting on port 0xE9 and ending the simulation
through the shutdown port. Each boot method, LBA and CHS reads, the menu
shown and a hotkey, the timeout, and the linux method's block and initrd.

usage: bochstests.py --qxtool PATH [--crash-states PATH] [CASE ...]"""

import argparse
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bootlib import Skip, Suite, Work, fnv, parse_report, pattern, payload, shim, shim_log  # noqa: E402
from boottests import HANDOVER, HEADER, fake_kernel, part0, torn_states  # noqa: E402

SUITE = Suite()
CYLINDER = 16 * 63 * 512            # Bochs takes the geometry from the size
BIOS = "/usr/share/bochs/BIOS-bochs-latest"
VGABIOS = "/usr/share/vgabios/vgabios.bin"


def bochs_disk(w, fmt=()):
    """A qxtool disk of whole 16 x 63 cylinders (about 64 MiB)."""
    p = w.fresh("bochs.img")
    with open(p, "wb") as f:
        f.truncate(131 * CYLINDER)
    w.qx(p, "format", *fmt)
    return p


def bochs(w, disk, floppy=None, mem=64, timeout=120):
    """Runs Bochs until the payload shuts it down; returns the text written
    to port 0xE9 (Bochs mixes it with its debugger's prompts)."""
    if not (shutil.which("bochs") and os.path.exists(BIOS) and os.path.exists(VGABIOS)):
        raise Skip("needs bochs, bochsbios, vgabios and bochs-sdl")
    cyl = os.path.getsize(disk) // CYLINDER
    rc = w.write(("""megs: %d
romimage: file=%s
vgaromimage: file=%s
ata0: enabled=1, ioaddr1=0x1f0, ioaddr2=0x3f0, irq=14
ata0-master: type=disk, path=%s, mode=flat, cylinders=%d, heads=16, spt=63
%s
boot: %s
display_library: sdl2
port_e9_hack: enabled=1
log: %s
panic: action=fatal
error: action=report
info: action=ignore
sound: driver=dummy
speaker: enabled=0
clock: sync=none, time0=local
""" % (mem, BIOS, VGABIOS, disk, cyl,
       "floppya: 1_44=%s, status=inserted" % floppy if floppy else "",
       "floppy" if floppy else "disk", w.fresh("bochs.log"))).encode(), "bochsrc")
    env = dict(os.environ, SDL_VIDEODRIVER="dummy")
    try:
        r = subprocess.run(["bochs", "-q", "-f", rc], input="c\nquit\n", capture_output=True, text=True,
                           env=env, timeout=timeout, errors="replace")
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"")
        raise AssertionError("Bochs still running after %ds; port 0xE9: %r" % (
            timeout, out[-600:] if isinstance(out, str) else out.decode("latin-1")[-600:]))
    if "Shutdown port: shutdown requested" not in r.stderr + r.stdout:
        raise AssertionError("Bochs ended without the payload's shutdown: %r %r" % (r.stdout[-600:], r.stderr[-600:]))
    return r.stdout


def report(w, disk, **kw):
    text = bochs(w, disk, **kw)
    at = text.find("R fl=")
    assert at >= 0, "no report: %r" % text[-600:]
    regs, dumps, hashes, ended = parse_report(text[at:])
    assert regs and ended, "incomplete report: %r" % text[at:][-600:]
    return regs, dumps, hashes, text


def check_hash(hashes, addr, data):
    got = hashes.get(addr)
    assert got == (len(data), fnv(data)), "memory at %#x: %r, expected %r" % (addr, got, (len(data), fnv(data)))


@SUITE.case
def each_method_by_lba_and_chs(w):
    # Every method loads its file and enters it with its registers; the
    # grldr file crosses 64 KiB boundaries; a disk formatted for CHS reads
    # probes the geometry Bochs gives (16 heads, 63 sectors).
    code = payload(w, [(0x600, 4096, 1)], pad=4096)
    cases = [
        # (format options, method, file, hashed at, entry CS:IP)
        ([], "grldr", payload(w, HANDOVER + [(0x20000, 150000, 1)], pad=150000), 0x20000, (0x2000, 0)),
        (["--chs"], "grldr", payload(w, HANDOVER + [(0x20000, 150000, 1)], pad=150000), 0x20000, (0x2000, 0)),
        ([], "chain", payload(w, HANDOVER + [(0x7C00, 3000, 1)], pad=3000), 0x7C00, (0, 0x7C00)),
        (["--chs"], "syslinux", payload(w, HANDOVER + [(0x7C18, 3, 0), (0x7C5A, 2000 - 0x5A, 1)],
                                        pad=2000, JUMP_D=0x58),
         None, (0, 0x7C00)),
        ([], "freedos", code, 0x600, (0x60, 0)),
        ([], "msdos", pattern(2048, 7) + payload(w, [(0x700, 6000, 1)], pad=6000), 0x700, (0x70, 0)),
    ]
    for fmt, method, data, at, entry in cases:
        disk = bochs_disk(w, fmt)
        w.add(disk, "f.bin", data)
        w.menu(disk, ["timeout 0", "menu F1 %s f.bin" % method])
        regs, dumps, hashes, _ = report(w, disk)
        what = "%s %s" % (method, fmt)
        assert (regs["cs"], regs["ip"]) == entry, "%s: entered at %04x:%04x" % (what, regs["cs"], regs["ip"])
        if method in ("grldr", "chain", "syslinux"):
            assert (regs["dx"], regs["ds"], regs["si"]) == (0x80, 0, 0x7EE), "%s: %r" % (what, regs)
            assert dumps[0x7EE] == part0(disk)[0], what
        if method == "syslinux":
            # The probed geometry goes into the partition's BPB.
            check_hash(hashes, 0x7C5A, data[0x5A:])
            assert (dumps[0x7C18][0], dumps[0x7C18][2]) == (63, 16), "%s: BPB %s" % (what, dumps[0x7C18].hex())
        elif method == "msdos":
            check_hash(hashes, 0x700, data[2048:])
        else:
            check_hash(hashes, at, data)


@SUITE.case
def menu_hotkeys_and_timeout(w):
    # Esc waiting shows the menu and waits; the next key, F12, starts its
    # item; without keys the timeout starts the default.
    vga = [(0xB8000, 4000, 0)]
    disk = bochs_disk(w)
    w.add(disk, "a.bin", payload(w, vga, pad=1000))
    w.add(disk, "b.bin", payload(w, vga, pad=1000))
    w.menu(disk, ["timeout 1", "default 1", 'text "QX on Bochs"', "menu F12 grldr a.bin", "menu F2 chain b.bin"])
    for keys, entry in (([0x011B, 0x8600], 0x2000), ([], 0)):
        regs, dumps, _, _ = report(w, disk, floppy=shim(w, keys=keys))
        screen = dumps[0xB8000][0::2].decode("latin-1")
        assert "QX on Bochs" in screen, screen
        assert regs["cs"] == entry, "keys %r: started at %04x" % (keys, regs["cs"])


@SUITE.case
def linux_block_and_initrd_on_bochs(w):
    # The stand-in kernel: the block below the base memory top of this BIOS,
    # the initrd placed by its E820 map (64 MiB of memory).
    cmdline = "qx=bochs"
    initrd = pattern(1 << 20, 8)
    disk = bochs_disk(w)
    w.add(disk, "vmlinuz", fake_kernel(w, [(HEADER + 0x210, 0x20, 0), (0x413, 2, 0)], init_size=0x1000000))
    w.add(disk, "initrd.img", initrd)
    w.menu(disk, ["timeout 0", 'menu F1 linux vmlinuz initrd.img "%s"' % cmdline])
    regs, dumps, _, text = report(w, disk)
    base = struct.unpack("<H", dumps[0x413])[0] * 1024
    cmd_off = min(base - HEADER - 0x100, 0x9000)
    h = dumps[HEADER + 0x210]
    image, size = struct.unpack_from("<II", h, 8)
    cmd = struct.unpack_from("<I", h, 0x18)[0]
    assert (regs["cs"], regs["ss"], regs["sp"], cmd, size) == (0x9020, 0x9000, cmd_off, HEADER + cmd_off, len(initrd)), \
        (regs, hex(cmd), size)
    top = 64 << 20
    assert image % 4096 == 0 and image >= 0x2000000 and top - (1 << 20) < image + size <= top, hex(image)


@SUITE.case
def torn_list_with_a_commit_record(w):
    # A power cut while grldr is replaced: the list in place half old, half
    # new, the commit record whole. The record's copy of the list is read
    # and the new grldr starts.
    disk = bochs_disk(w)
    new, states = torn_states(w, disk)
    regs, _, hashes, _ = report(w, states[0][0])
    assert (regs["cs"], regs["ip"]) == (0x2000, 0), regs
    check_hash(hashes, 0x20000, new)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--qxtool", required=True)
    ap.add_argument("--crash-states")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("cases", nargs="*")
    a = ap.parse_args()
    w = Work(a.qxtool, keep=a.keep)
    w.crash_states = a.crash_states
    try:
        ok = SUITE.run(w, a.cases)
    finally:
        w.close()
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
