#!/usr/bin/env python3
"""The main job's result boots: a disk laid out as the front end does it
(format, clear, load of the carried archive) shows the carried menu and
starts GRUB 2, which reads /boot/grub/grub.cfg from the data partition or,
without one, gives its prompt.

usage: sticktests.py --qxtool PATH --archive PATH"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bootlib import SKIP_STATUS, Qemu, Skip, Work, data_fat, run  # noqa: E402
from boottests import shutil_which  # noqa: E402


def make_stick(w, archive, grub_cfg=None):
    disk = w.fresh("stick.img")
    with open(disk, "wb") as f:
        f.truncate(256 << 20)
    w.qx(disk, "format", "--extended", "100m", "--force", "--align", "--primary", "8m")
    w.qx(disk, "clear")
    w.qx(disk, "load", archive)
    if grub_cfg is not None:
        img = data_fat(disk)
        run(["mmd", "-i", img, "::/boot", "::/boot/grub"])
        run(["mcopy", "-i", img, w.write(grub_cfg), "::/boot/grub/grub.cfg"])
    return disk


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--qxtool", required=True)
    ap.add_argument("--archive", required=True)
    a = ap.parse_args()
    if not shutil_which("mcopy"):
        print("SKIP: needs mtools")
        sys.exit(SKIP_STATUS)
    w = Work(a.qxtool)
    passed = failed = 0
    try:
        # With a configuration on the data partition: GRUB runs it.
        disk = make_stick(w, a.archive, b"serial --unit=0 --speed=115200\nterminal_output serial console\n"
                                        b"echo QXSTICK-CFG-RAN\nhalt\n")
        with Qemu(w, disk=disk) as q:
            q.wait_for(lambda: "QX boot drive" in q.screen_text(), 30, "the carried menu")
            screen = q.screen_text()
            assert "F1  GRUB 2" in screen, screen
            q.key("f1")
            q.wait_for(lambda: "QXSTICK-CFG-RAN" in q.serial_text(), 60, "grub.cfg's marker")
        print("ok: carried menu shown, GRUB 2 ran grub.cfg from the data partition")
        passed += 1

        # Without one: the menu's timeout starts GRUB, which gives its prompt.
        disk = make_stick(w, a.archive)
        with Qemu(w, disk=disk) as q:
            q.wait_for(lambda: "grub>" in q.screen_text(), 60, "GRUB's prompt")
        print("ok: without grub.cfg the timeout starts GRUB 2 and its prompt shows")
        passed += 1
    except AssertionError as e:
        failed = 1
        print("FAIL:", e)
    except Skip as e:
        print("SKIP:", e)
        sys.exit(SKIP_STATUS)
    finally:
        w.close()
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(failed)


if __name__ == "__main__":
    main()
