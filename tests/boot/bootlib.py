"""Support for the boot tests: disk images made by qxtool, NASM test
payloads, and QEMU runs with the debug port, serial port and QMP."""

import argparse
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
QEMU = shutil.which("qemu-system-x86_64") or shutil.which("qemu-system-i386")


class Skip(Exception):
    pass


# Under CI (CI=true) a missing tool fails the run instead of skipping it.
IN_CI = os.environ.get("CI") == "true"
SKIP_STATUS = 1 if IN_CI else 77


def run(cmd, **kw):
    r = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if r.returncode != 0:
        raise AssertionError("%s failed (%d): %s%s" % (" ".join(cmd), r.returncode, r.stdout, r.stderr))
    return r


class Work:
    """A temporary directory with the tools the tests use."""

    def __init__(self, qxtool, keep=False):
        self.qxtool = qxtool
        self.dir = tempfile.mkdtemp(prefix="qxboot-")
        self.keep = keep
        self.n = 0
        self.crash_states = None    # the helper that writes torn states out
        self.shifted_boot = None    # another build of the boot record program

    def close(self):
        if not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def fresh(self, stem):
        self.n += 1
        return self.path("%s-%d" % (stem, self.n))

    def qx(self, *args):
        return run([self.qxtool] + [str(a) for a in args])

    def nasm(self, src, defines=None):
        out = self.fresh(os.path.basename(src) + ".bin")
        cmd = ["nasm", "-f", "bin", "-o", out, os.path.join(HERE, src)]
        for k, v in (defines or {}).items():
            cmd.append("-D%s=%s" % (k, v) if v is not None else "-D%s" % k)
        run(cmd)
        with open(out, "rb") as f:
            return f.read()

    def write(self, data, stem="file"):
        p = self.fresh(stem)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def disk(self, mib=64, fmt=(), debug=False):
        """A blank image formatted by qxtool."""
        p = self.fresh("disk.img")
        with open(p, "wb") as f:
            f.truncate(mib << 20)
        self.qx(*(["--debug"] if debug else []), p, "format", *fmt)
        return p

    def add(self, disk, name, data, extended=False):
        self.qx(disk, "add", *(["--extended"] if extended else []), name, self.write(data))

    def menu(self, disk, lines, name="qx.cfg"):
        self.qx(disk, "add-menu", name, self.write(("\n".join(lines) + "\n").encode(), "menu.txt"))


# --- payloads -------------------------------------------------------------

def payload(work, entries=(), pad=0, **defines):
    """The report payload with its parameter block filled in and, when pad
    is given, padded with pattern bytes to that size."""
    data = bytearray(work.nasm("payload.asm", defines))
    at = data.index(b"PRMS") + 4
    for i, (addr, length, kind) in enumerate(entries):
        struct.pack_into("<IIB", data, at + 9 * i, addr, length, kind)
    if pad > len(data):
        data += pattern(pad - len(data), len(data))
    return bytes(data)


def pattern(n, seed=1):
    x = (seed * 2654435761 + 1) & 0xFFFFFFFF
    out = bytearray(n)
    for i in range(n):
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out[i] = (x >> 7) & 0xFF
    return bytes(out)


def fnv(data):
    h = 0x811C9DC5
    for b in data:
        h = ((h ^ b) * 0x01000193) & 0xFFFFFFFF
    return h


def parse_report(text):
    """The payload's report: registers, dumps by address, hashes by address."""
    regs, dumps, hashes, ended = None, {}, {}, False
    for line in text.splitlines():
        if line.startswith("R "):
            regs = {k: int(v, 16) for k, v in (w.split("=") for w in line[2:].split())}
        elif line.startswith("M "):
            w = line.split()
            dumps[int(w[1], 16)] = bytes(int(b, 16) for b in w[2:])
        elif line.startswith("H "):
            w = line.split()
            hashes[int(w[1], 16)] = (int(w[2], 16), int(w[3], 16))
        elif line == "E":
            ended = True
    return regs, dumps, hashes, ended


def shim(work, no_ext=False, max_read=0, keys=(), next_max=0, flaky=False, drop_ext=False,
         no_enh=False, ebda=0, ticks=0):
    """A boot floppy with the test shim and its options (see shim.asm)."""
    data = bytearray(work.nasm("shim.asm"))
    at = data.index(b"SHIM") + 4
    data[at] = 1 if no_ext else 0
    data[at + 1] = max_read
    for i, k in enumerate(keys):
        struct.pack_into("<H", data, at + 2 + 2 * i, k)
    struct.pack_into("<BBBBBI", data, at + 10, next_max, flaky, drop_ext, no_enh, ebda, ticks)
    img = bytearray(1474560)
    img[:len(data)] = data
    return work.write(bytes(img), "shim.img")


def shim_log(text):
    """The shim's log lines as (function, count, address, ok)."""
    out = []
    for line in text.splitlines():
        m = re.match(r"13 (..) (..) (\S+) ([kx])$", line)
        if m:
            out.append((int(m.group(1), 16), int(m.group(2), 16), m.group(3), m.group(4) == "k"))
    return out


# --- firmware and the data partition -------------------------------------

OVMF = "/usr/share/OVMF/"
FIRMWARE = {
    # name: (QEMU machine options, code image, variable store template)
    "ovmf": (["-machine", "q35"], "OVMF_CODE_4M.fd", "OVMF_VARS_4M.fd"),
    # With Secure Boot and the Microsoft keys enrolled.
    "ovmf-sb": (["-machine", "q35,smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on"],
                "OVMF_CODE_4M.ms.fd", "OVMF_VARS_4M.ms.fd"),
    # 32-bit UEFI on a 64-bit CPU, as cheap tablets have it; this build
    # needs SMM but has no keys enrolled.
    "ovmf32": (["-machine", "q35,smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on"],
               "OVMF32_CODE_4M.secboot.fd", "OVMF32_VARS_4M.fd"),
}


def firmware_args(work, name):
    """QEMU options for firmware NAME: none for "seabios" (QEMU's own), else
    the OVMF build's code read-only and a fresh copy of its variable store,
    which the runs given these options then share, as a PC keeps its own."""
    if name == "seabios":
        return []
    machine, code, vars_ = FIRMWARE[name]
    if not os.path.exists(OVMF + code):
        raise Skip("needs %s (packages ovmf, ovmf-ia32)" % (OVMF + code))
    store = work.fresh("vars.fd")
    shutil.copy(OVMF + vars_, store)
    return machine + ["-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + OVMF + code,
                      "-drive", "if=pflash,format=raw,unit=1,file=" + store]


def data_fat(disk):
    """The data partition's FAT volume (slot 0 of sector 0's partition
    table) as mtools names it."""
    with open(disk, "rb") as f:
        f.seek(0x1C6)
        start = struct.unpack("<I", f.read(4))[0]
    return "%s@@%d" % (disk, start * 512)


# --- QEMU -----------------------------------------------------------------

class Qemu:
    """One QEMU run on image files the test made. The process is ours: it is
    ended by its own handle."""

    def __init__(self, work, disk=None, floppy=None, mem=64, extra=(), disk_args=None):
        if not QEMU:
            raise Skip("qemu-system-x86 is not installed")
        self.work = work
        self.dbg = work.fresh("debugcon.txt")
        self.ser = work.fresh("serial.txt")
        self.sock = work.fresh("qmp.sock")
        cmd = [QEMU, "-display", "none", "-nic", "none", "-no-reboot", "-m", str(mem),
               "-serial", "file:" + self.ser, "-debugcon", "file:" + self.dbg,
               "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04",
               "-qmp", "unix:%s,server=on,wait=off" % self.sock]
        if disk_args:
            cmd += disk_args
        elif disk:
            cmd += ["-drive", "format=raw,file=" + disk]
        if floppy:
            cmd += ["-drive", "if=floppy,format=raw,file=" + floppy, "-boot", "a"]
        cmd += list(extra)
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.qmp = None

    def _qmp(self):
        if self.qmp is None:
            deadline = time.time() + 10
            while True:
                try:
                    s = socket.socket(socket.AF_UNIX)
                    s.connect(self.sock)
                    break
                except OSError:
                    if time.time() > deadline:
                        raise
                    time.sleep(0.05)
            self.qmp = s.makefile("rw")
            self.qmp.readline()
            self.command("qmp_capabilities")
        return self.qmp

    def command(self, name, **args):
        f = self._qmp() if name != "qmp_capabilities" else self.qmp
        f.write(json.dumps({"execute": name, "arguments": args} if args else {"execute": name}) + "\n")
        f.flush()
        while True:
            r = json.loads(f.readline())
            if "return" in r or "error" in r:
                if "error" in r:
                    raise AssertionError("QMP %s: %s" % (name, r["error"]))
                return r["return"]

    def screen(self):
        """The VGA text screen: 25 rows of (text, attributes)."""
        out = self.work.fresh("vga.bin")
        self.command("pmemsave", val=0xB8000, size=4000, filename=out)
        with open(out, "rb") as f:
            raw = f.read()
        return [(raw[r * 160:(r + 1) * 160:2].decode("latin-1"), raw[r * 160 + 1:(r + 1) * 160:2])
                for r in range(25)]

    def screen_text(self):
        return "\n".join(t.rstrip() for t, _ in self.screen())

    def key(self, qcode):
        self.command("send-key", keys=[{"type": "qcode", "data": qcode}])

    def debug_text(self):
        return _read(self.dbg)

    def serial_text(self):
        return _read(self.ser)

    def wait_for(self, pred, timeout, what):
        deadline = time.time() + timeout
        while time.time() < deadline:
            v = pred()
            if v:
                return v
            if self.proc.poll() is not None:
                v = pred()
                if v:
                    return v
                raise AssertionError("QEMU ended (status %d) before %s; debug port: %r; screen unavailable"
                                     % (self.proc.returncode, what, self.debug_text()[-500:]))
            time.sleep(0.1)
        detail = ""
        try:
            detail = self.screen_text().strip()[-600:]
        except Exception:
            pass
        raise AssertionError("timed out waiting for %s; debug port: %r; screen: %r"
                             % (what, self.debug_text()[-500:], detail))

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("QEMU still running after %ds; debug port: %r; screen: %r"
                                 % (timeout, self.debug_text()[-500:], self.screen_text().strip()[-600:]))

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.qmp:
            try:
                self.qmp.close()
            except OSError:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *a):
        self.close()


def _read(p):
    try:
        with open(p, "rb") as f:
            return f.read().decode("latin-1")
    except FileNotFoundError:
        return ""


def boot_report(work, timeout=30, **kw):
    """Boots and returns the payload's report and the debug port text."""
    with Qemu(work, **kw) as q:
        status = q.wait_exit(timeout)
        text = q.debug_text()
        if status != 33:
            raise AssertionError("exit status %d, debug port: %r, serial %r" % (status, text[-800:], q.serial_text()[-300:]))
        regs, dumps, hashes, ended = parse_report(text)
        assert regs and ended, "incomplete report: %r" % text[-800:]
        return regs, dumps, hashes, text


# --- test runner ----------------------------------------------------------

class Suite:
    def __init__(self):
        self.cases = []

    def case(self, fn):
        self.cases.append(fn)
        return fn

    def run(self, ctx, only=None):
        passed = failed = skipped = 0
        for fn in self.cases:
            if only and fn.__name__ not in only:
                continue
            t0 = time.time()
            try:
                fn(ctx)
                passed += 1
                print("PASS %s (%.1fs)" % (fn.__name__, time.time() - t0), flush=True)
            except Skip as e:
                if IN_CI:
                    failed += 1
                    print("FAIL %s: missing under CI: %s" % (fn.__name__, e), flush=True)
                else:
                    skipped += 1
                    print("SKIP %s: %s" % (fn.__name__, e), flush=True)
            except Exception as e:  # report every failure and go on
                failed += 1
                print("FAIL %s (%.1fs): %s" % (fn.__name__, time.time() - t0, e), flush=True)
        print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
        return failed == 0


def suite_main(groups, tools, make_ctx):
    """The command line of a suite of groups of cases:
    --qxtool PATH --build DIR [--keep] GROUP [CASE...]. make_ctx(work,
    build) gives what the cases share. Missing tools skip the run (status
    77), or fail it under CI."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--qxtool", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("group", choices=sorted(groups))
    ap.add_argument("cases", nargs="*")
    a = ap.parse_args()
    missing = [t for t in tools if not shutil.which(t)]
    if missing:
        print("missing tools: %s" % " ".join(missing))
        sys.exit(1 if IN_CI else 77)
    w = Work(a.qxtool, keep=a.keep)
    try:
        ok = groups[a.group].run(make_ctx(w, os.path.abspath(a.build)), a.cases)
    finally:
        w.close()
    sys.exit(0 if ok else 1)
