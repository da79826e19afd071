#!/usr/bin/env bash
# Builds the tree of files that goes onto the drive's data partition, so that
# UEFI firmware boots the drive from its FAT volume:
#   EFI/BOOT/BOOTX64.EFI   Debian's shim, signed for the usual factory keys
#   EFI/BOOT/grubx64.efi   Debian's signed GRUB, which shim starts
#   EFI/BOOT/mmx64.efi     shim's key manager, which shim starts on demand
#   EFI/debian/grub.cfg    where the signed GRUB looks first (signed-grub.cfg)
#   EFI/qx/grubx64.efi     this drive's own x86_64 GRUB, all modules
#   EFI/BOOT/BOOTIA32.EFI  this drive's own GRUB for 32-bit UEFI
#   boot/grub/grub.cfg     the one menu every GRUB of the drive reads
# and a list of the tree's files (relative paths, '/' separators, sorted).
#   stickfs.sh OUTDIR LIST
#
# Hook for further boot tools: when archive/tools.sh exists it is sourced,
# and if it defines add_stick_tools, that is called as
#   add_stick_tools TREE_DIR
# after the files above are in place; whatever it puts under TREE_DIR goes
# onto the drive and into the list.
set -euo pipefail
dir=$1 list=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/grub.sh"
[ -f "$here/tools.sh" ] && . "$here/tools.sh"
shim=/usr/lib/shim
signed=/usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed
for f in "$shim/shimx64.efi.signed" "$shim/mmx64.efi.signed" "$signed"; do
  [ -f "$f" ] || { echo "stickfs.sh: $f is missing (packages shim-signed, grub-efi-amd64-signed)" >&2; exit 1; }
done
t=$dir.tmp
rm -rf "$t"
mkdir -p "$t/EFI/BOOT" "$t/EFI/debian" "$t/EFI/qx" "$t/boot/grub"
cp "$shim/shimx64.efi.signed" "$t/EFI/BOOT/BOOTX64.EFI"
cp "$shim/mmx64.efi.signed" "$t/EFI/BOOT/mmx64.efi"
cp "$signed" "$t/EFI/BOOT/grubx64.efi"
cp "$here/signed-grub.cfg" "$t/EFI/debian/grub.cfg"
make_grub x86_64-efi "$t/EFI/qx/grubx64.efi" /boot/grub
make_grub i386-efi "$t/EFI/BOOT/BOOTIA32.EFI" /boot/grub
cp "$here/grub.cfg" "$t/boot/grub/grub.cfg"
if declare -F add_stick_tools >/dev/null; then
  add_stick_tools "$t"
fi
(cd "$t" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) >"$list.tmp"
rm -rf "$dir"
mv "$t" "$dir"
mv "$list.tmp" "$list"
