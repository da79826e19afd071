#!/usr/bin/env bash
# The tools a made drive carries, prepared from Debian's packages:
#   memtest.bin   memtest86+ for BIOS PCs (Linux boot protocol image)
#   memtest.efi   memtest86+ for 64-bit UEFI, memtest32.efi for 32-bit UEFI
#   ipxe.lkrn     iPXE network boot for BIOS PCs, ipxe.efi for 64-bit UEFI
#   vmlinuz       a Debian kernel, and rescue.gz, a small busybox initramfs
#                 with the storage, USB and file system modules of that kernel
# The BIOS images go into the carried archive, for the lines of its boot
# menu; all of them go into the data partition's /boot/tools, for the
# entries of /boot/grub/grub.cfg.
#
# Sourced by the archive and stick tree builds, which call
#   add_archive_tools QXTOOL ARCHIVE
#   add_stick_tools TREE
# Run on its own, "tools.sh OUTDIR" only prepares the files into OUTDIR.

# The files of the carried archive's menu; the large ones go to the
# extended data area.
QX_ARCHIVE_TOOLS="memtest.bin ipxe.lkrn"
QX_ARCHIVE_TOOLS_EXTENDED="vmlinuz rescue.gz"

add_archive_tools() {  # add_archive_tools QXTOOL ARCHIVE
  local tmp f status=0
  tmp=$(mktemp -d)
  if prepare_tools "$tmp"; then
    for f in $QX_ARCHIVE_TOOLS; do
      "$1" "$2" add "$f" "$tmp/$f" || { status=1; break; }
    done
    for f in $QX_ARCHIVE_TOOLS_EXTENDED; do
      [ $status -eq 0 ] || break
      "$1" "$2" add --extended "$f" "$tmp/$f" || status=1
    done
  else
    status=1
  fi
  rm -rf "$tmp"
  return $status
}

add_stick_tools() {  # add_stick_tools TREE
  prepare_tools "$1/boot/tools"
}

prepare_tools() {  # prepare_tools OUTDIR
  ( set -euo pipefail; _prepare_tools "$1" )
}

_need() {  # _need FILE PACKAGE
  [ -e "$1" ] || { echo "tools.sh: $1 is missing (Debian package $2; run scripts/setup)" >&2; exit 1; }
}

# Runs in a subshell of its own: an error ends it with status 1.
_prepare_tools() {
  local out=$1 kernel kver mods root m pattern line f
  _need /boot/memtest86+x64.bin memtest86+
  _need /boot/memtest86+x64.efi memtest86+
  _need /boot/memtest86+ia32.efi memtest86+
  _need /usr/lib/ipxe/ipxe.lkrn ipxe
  _need /usr/lib/ipxe/ipxe.efi ipxe
  _need /bin/busybox busybox-static
  kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -1 || true)
  [ -n "$kernel" ] || { echo "tools.sh: no kernel in /boot (Debian package linux-image-amd64)" >&2; exit 1; }
  kver=${kernel#/boot/vmlinuz-}
  mods=/lib/modules/$kver
  _need "$mods/modules.dep" "linux-image-$kver"

  mkdir -p "$out"
  cp /boot/memtest86+x64.bin "$out/memtest.bin"
  cp /boot/memtest86+x64.efi "$out/memtest.efi"
  cp /boot/memtest86+ia32.efi "$out/memtest32.efi"
  cp /usr/lib/ipxe/ipxe.lkrn "$out/ipxe.lkrn"
  cp /usr/lib/ipxe/ipxe.efi "$out/ipxe.efi"
  cp "$kernel" "$out/vmlinuz"

  # The rescue initramfs.
  qx_tools_work=$(mktemp -d)   # global: the EXIT trap runs after the function
  trap 'rm -rf "$qx_tools_work"' EXIT
  root=$qx_tools_work/root
  mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/mnt" "$root/lib/modules/$kver"
  cp /bin/busybox "$root/bin/busybox"

  # Modules to reach disks, USB sticks and keyboards and to read their file
  # systems; each comes with what it depends on.
  local wanted="ahci ata_piix sd_mod sr_mod nvme virtio_blk virtio_scsi virtio_pci
    xhci_pci ehci_pci ohci_pci uhci_hcd usb_storage uas usbhid hid_generic
    ext4 vfat exfat ntfs3 isofs nls_cp437 nls_iso8859_1 nls_utf8"
  local -A seen=()
  for m in $wanted; do
    pattern=$(echo "$m" | sed 's/[-_]/[-_]/g')
    line=$(grep -E "/${pattern}\.ko:" "$mods/modules.dep" || true)
    [ -n "$line" ] || continue          # built into the kernel
    for f in ${line/:/ }; do
      [ -z "${seen[$f]:-}" ] || continue
      seen[$f]=1
      mkdir -p "$root/lib/modules/$kver/$(dirname "$f")"
      cp "$mods/$f" "$root/lib/modules/$kver/$f"
    done
  done
  for f in "${!seen[@]}"; do grep "^$f:" "$mods/modules.dep"; done | sort >"$root/lib/modules/$kver/modules.dep"

  cat >"$root/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $(echo $wanted); do modprobe "\$m" 2>/dev/null; done
cat <<'TEXT'

QX rescue shell (busybox). Disks appear as /dev/sd*, /dev/nvme*, /dev/vd*;
mount one with e.g. "mount /dev/sda1 /mnt". "poweroff -f" or "reboot -f" ends.

TEXT
export PS1='rescue:\w# '
# A second shell on the first serial port, when there is one.
if stty -F /dev/ttyS0 115200 >/dev/null 2>&1; then
  setsid sh -c 'exec sh -i </dev/ttyS0 >/dev/ttyS0 2>&1' &
fi
exec setsid cttyhack sh -i
INIT
  chmod +x "$root/init"
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -9n) >"$out/rescue.gz"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  [ $# -eq 1 ] || { echo "usage: tools.sh OUTDIR" >&2; exit 1; }
  prepare_tools "$1"
fi
