#!/usr/bin/env bash
# Builds the archive that the front end carries: a compiled boot menu qx.cfg
# and a GRUB 2 loader as "grldr" and as the fallback "buldr".
#   build.sh QXTOOL OUTPUT
set -euo pipefail
tool=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
grub-mkimage -O i386-pc -o "$work/core.img" -c "$here/embed.cfg" -p '(hd0,msdos1)/boot/grub' \
  biosdisk part_msdos fat normal configfile echo ls cat search test halt reboot chain linux serial terminal
cat /usr/lib/grub/i386-pc/g2hdr.img "$work/core.img" >"$work/grldr"
rm -f "$out.tmp"
"$tool" "$out.tmp" create --primary 8m --extended 100m
"$tool" "$out.tmp" add-menu qx.cfg "$here/qx.menu"
"$tool" "$out.tmp" add grldr "$work/grldr"
"$tool" "$out.tmp" add buldr "$work/grldr"
mv "$out.tmp" "$out"
