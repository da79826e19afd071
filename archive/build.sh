#!/usr/bin/env bash
# Builds the archive that the front end carries: a compiled boot menu qx.cfg
# and a GRUB 2 loader as "grldr" and as the fallback "buldr".
#   build.sh QXTOOL OUTPUT
#
# embed.cfg is run by GRUB's core before its normal mode is loaded, by a
# parser that knows no comments: every '#' line there would print "Unknown
# command '#'." at each start, so that file holds commands only. It points
# GRUB at the data partition, the first entry of the partition table, whose
# /boot/grub/grub.cfg GRUB's normal mode then reads (or gives its prompt).
#
# Hook for further boot tools: when archive/tools.sh exists it is sourced,
# and if it defines add_archive_tools, that is called as
#   add_archive_tools QXTOOL ARCHIVE
# after the loaders are added and before the archive is moved into place.
set -euo pipefail
tool=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/grub.sh"
[ -f "$here/tools.sh" ] && . "$here/tools.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
make_grub i386-pc "$work/core.img" '(hd0,msdos1)/boot/grub' "$here/embed.cfg"
cat /usr/lib/grub/i386-pc/g2hdr.img "$work/core.img" >"$work/grldr"
rm -f "$out.tmp"
"$tool" "$out.tmp" create --primary 8m --extended 100m
"$tool" "$out.tmp" add-menu qx.cfg "$here/qx.menu"
"$tool" "$out.tmp" add grldr "$work/grldr"
"$tool" "$out.tmp" add buldr "$work/grldr"
if declare -F add_archive_tools >/dev/null; then
  add_archive_tools "$tool" "$out.tmp"
fi
mv "$out.tmp" "$out"
