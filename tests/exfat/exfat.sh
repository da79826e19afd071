#!/usr/bin/env bash
# Checks the exFAT volumes that "format --exfat" writes with Debian's exFAT
# tools (exfatprogs) and a real exFAT driver (exfat-fuse).
#
#   exfat.sh QXTOOL fsck|sample|mkfs|mount|esp
#
# fsck    fsck.exfat -n over the size-class, cluster-size and alignment
#         boundaries, with and without --align, in the QX and raw layouts
# sample  the same on a seeded sample of sizes up to 2 TiB (QX_EXFAT_SAMPLE
#         sizes, default 24)
# mkfs    the geometry against mkfs.exfat's on an image of the same size:
#         cluster size, FAT offset and length, heap offset, cluster count
# mount   exfat-fuse mounts the data partition through a loop device,
#         writes directories and files, reads them back after a remount;
#         fsck.exfat then finds the volume clean and qxtool's own commands
#         still work on the disk
# esp     the EFI system partition in slot 1: mtools writes and reads it,
#         fsck.fat accepts it after; restore brings it back into a zeroed
#         sector 0, sync carries it into every copy; info and check see
#         the same file store as on a FAT disk of the same layout
#
# Images are sparse files in a fresh directory (under /dev/shm where it can
# be, else /tmp); the only devices touched are loop devices this script
# attaches itself and detaches again. Exit status 77 marks a skipped run (a
# failure under CI=true).
set -u
Q=$1
mode=$2
. "$(dirname "$0")/../support/peerlib.sh" qxexfat
declare -A peak
checked=0
need_tools "scripts/setup installs exfatprogs" fsck.exfat dump.exfat mkfs.exfat fsck.fat mcopy

u8() { od -An -t u1 -j "$2" -N 1 "$1" | tr -d ' '; }

# Start and size of the data partition (slot 0), or 0 and the whole image
# when the volume starts at sector 0 (an exFAT boot sector there).
volume_of() {
  local img=$1
  if [ "$(dd if="$img" bs=1 skip=3 count=8 status=none | tr -d "\\0")" != "EXFAT   " ] &&
    [ "$(od -An -t x1 -j 510 -N 2 "$img" | tr -d ' ')" = 55aa ] && [ "$(u32 "$img" 454)" != 0 ]; then
    echo "$(u32 "$img" 454) $(u32 "$img" 458)"
  else
    echo "0 $(($(stat -c %s "$img") / 512))"
  fi
}

# The volume's boot sector fields as dump.exfat shows them, one per line.
geometry() {
  dump.exfat "$1" 2>/dev/null | grep -E '^(Volume Length|FAT Offset|FAT Length|Cluster Heap Offset|Cluster Count|Sector per Cluster bits|Bitmap size)' |
    sed 's/[[:space:]]\+/ /g'
}

# fsck.exfat -n on the data partition in place, through a read-only loop
# device over exactly its sectors; where loop devices are not usable, on a
# copy of its first sectors (all the metadata of the volumes checked here)
# in a sparse file of the volume's size. Also checks the partition type
# byte and what format promised: the heap on a 1 MiB boundary of the disk
# when the volume has room for it, on a cluster boundary with --align.
check_fsck() {
  local name=$1 img=$2 words=$3 start size out st
  read -r start size < <(volume_of "$img")
  if [ "$start" != 0 ] && [ "$(u8 "$img" 450)" != 7 ]; then
    fail "$name: partition type $(u8 "$img" 450), want 7"
  fi
  fsck_volume fsck.exfat "$img" "$start" "$size" 400000
  checked=$((checked + 1))
  if [ $st != 0 ] || ! echo "$out" | grep -q ': clean\. directories 1, files 0'; then
    fail "fsck.exfat on $name (start $start, $size sectors, status $st):"
    echo "$out" | sed 's/^/    /'
    return
  fi
  local vs=$((start * 512)) heap spc_bits spc
  heap=$(u32 "$img" $((vs + 88)))
  spc_bits=$(u8 "$img" $((vs + 109)))
  spc=$((1 << spc_bits))
  if [ "$(u32 "$img" $((vs + 72)))" != "$size" ]; then fail "$name: volume length is not the partition's $size"; fi
  if [ "$(u32 "$img" $((vs + 64)))" != "$start" ]; then fail "$name: partition offset is not $start"; fi
  if [ "$size" -ge 8192 ] && [ $(((start + heap) % 2048)) != 0 ]; then
    fail "$name: heap at disk sector $((start + heap)), not on a 1 MiB boundary"
  fi
  case " $words " in *" --align "*)
    [ $(((start + heap) % spc)) = 0 ] || fail "$name: --align, but heap at disk sector $((start + heap)) with $spc sectors per cluster" ;;
  esac
  echo "ok: fsck.exfat $name: start $start, $size sectors, $spc sectors per cluster"
  [ "$start" != 0 ] && check_esp "$name" "$img"
}

# The EFI system partition in slot 1, when there is one: after the data
# partition, inside the disk, and a FAT volume fsck.fat accepts.
check_esp() {
  local name=$1 img=$2 type start size out st end
  type=$(u8 "$img" 466)
  [ "$type" = 0 ] && return
  start=$(u32 "$img" 470)
  size=$(u32 "$img" 474)
  end=$(($(u32 "$img" 454) + $(u32 "$img" 458)))
  if [ "$type" != 239 ] || [ "$start" -lt "$end" ] || [ $((start + size)) -gt $(($(stat -c %s "$img") / 512)) ]; then
    fail "$name: slot 1 type $type at $start+$size, data partition ends at $end"
    return
  fi
  fsck_volume fsck.fat "$img" "$start" "$size" "$size"
  if [ $st != 0 ] || ! echo "$out" | grep -Eq ' [0-9]+ files, '; then
    fail "fsck.fat on the EFI system partition of $name (start $start, $size sectors, status $st):"
    echo "$out" | sed 's/^/    /'
  else
    echo "ok: fsck.fat EFI system partition of $name: start $start, $size sectors"
  fi
}

case $mode in
fsck)
  # Memory stays flat: the largest disk takes no more than a 64 MiB one
  # (FAT and bitmap go out a buffer at a time).
  if [ -x /usr/bin/time ]; then
    for sectors in 131072 4294967294; do
      blank "$work/m.img" "$sectors"
      peak[$sectors]=$(/usr/bin/time -f %M "$Q" "$work/m.img" format --force --exfat 2>&1 >/dev/null | tail -1)
    done
    rm -f "$work/m.img"
    checked=$((checked + 1))
    if [ "${peak[4294967294]}" -le $((peak[131072] + 1024)) ]; then
      echo "ok: peak memory ${peak[131072]} KiB on 64 MiB, ${peak[4294967294]} KiB on 2 TiB"
    else
      fail "peak memory ${peak[131072]} KiB on 64 MiB but ${peak[4294967294]} KiB on 2 TiB"
    fi
  else
    skip "/usr/bin/time not installed"
  fi
  # name, image sectors, format words. Sizes are the volume's size-class
  # bounds (4 KiB clusters up to 256 MiB, 32 KiB up to 32 GiB, 128 KiB
  # above), the smallest volumes where the 1 MiB boundaries no longer fit,
  # FAT lengths that end exactly on a cluster, and the largest disk.
  while read -r name sectors words; do
    [ -z "$name" ] && continue
    # shellcheck disable=SC2086
    format_image "$name" "$sectors" $words || continue
    check_fsck "$name" "$img" "$words"
    rm -f "$img"
  done <<'CASES'
min-2048-raw          2048        --raw --force --base 0 --exfat
min-2048-qx           18176       --force --exfat --esp-size 0
min-2048-align        18176       --force --exfat --align --esp-size 0
small-2049-odd        2112        --raw --force --base 63 --exfat
small-4095            20223       --force --exfat --esp-size 0
small-6143-align      22271       --force --exfat --align --esp-size 0
small-6144-raw        6144        --raw --force --base 0 --exfat
small-8191-odd        8254        --raw --force --base 63 --exfat --align
fat-ends-on-cluster   8208        --raw --force --base 0 --exfat
fat-one-past          8209        --raw --force --base 0 --exfat
class4k-top           540416      --force --exfat --esp-size 0
class4k-top-align     540416      --force --exfat --align --esp-size 0
class32k-first        540417      --force --exfat --esp-size 0
class32k-first-raw    524289      --raw --force --base 0 --exfat
class32k-top          67124992     --force --exfat --esp-size 0
class32k-top-raw      67108864    --raw --force --base 0 --exfat
class128k-first       67108865    --raw --force --base 0 --exfat
class128k-first-qx    67124993    --force --exfat --align --esp-size 0
front-end-64g         134217728   --extended 100m --force --align --primary 8m --exfat
nalign-2048-odd-e     200000      --force --exfat --nalign 2048 --extended 777
unit1                 131072      --force --exfat --unit-size 1 --esp-size 0
unit1-align-odd       131135      --raw --force --base 63 --exfat --unit-size 1 --align
unit128               4000000     --force --exfat --unit-size 128
unit4096-align        2000000     --force --exfat --unit-size 4096 --align
unit4096-noalign      2000000     --force --exfat --unit-size 4096
unit65536-align       4000000     --raw --force --base 63 --exfat --unit-size 65536 --align
size-cut              4000000     --force --exfat --size 1000000
largest-disk          4294967294  --force --exfat
largest-disk-align    4294967294  --force --exfat --align
CASES
  ;;
sample)
  n=${QX_EXFAT_SAMPLE:-24}
  while read -r name sectors words; do
    # shellcheck disable=SC2086
    format_image "$name" "$sectors" $words || continue
    check_fsck "$name" "$img" "$words"
    rm -f "$img"
  done < <(awk -v n="$n" 'BEGIN {
    srand(20261211)
    for (i = 0; i < n; i++) {
      # Volume sizes uniform in the exponent from 1 MiB to 2 TiB.
      z = int(2 ^ (11 + rand() * 20.99))
      m = i % 4
      # The QX layouts put a 64 MiB EFI system partition after the volume.
      if (m == 0) printf "sample-%d %d --force --exfat\n", i, 16128 + z + 131072
      if (m == 1) printf "sample-%d %d --force --exfat --align\n", i, 16128 + z + 131072
      if (m == 2) printf "sample-%d %d --raw --force --base 63 --exfat --align\n", i, 63 + z
      if (m == 3) printf "sample-%d %d --force --exfat --nalign 4096 --extended %d --align --esp-size 0\n", i, 20480 + z, 1000 + i
    }
  }')
  ;;
mkfs)
  # The same geometry as mkfs.exfat for a volume that starts at sector 0
  # (mkfs.exfat refuses volumes below 3 MiB).
  for sectors in 6144 8192 16384 100000 524288 524289 2097152 67108864 67108865 134217728 1000000000; do
    format_image "ours-$sectors" "$sectors" --raw --force --base 0 --exfat || continue
    theirs=$work/theirs.img
    blank "$theirs" "$sectors"
    if ! mkfs.exfat "$theirs" >"$work/out" 2>&1; then
      fail "mkfs.exfat on $sectors sectors: $(cat "$work/out")"
      continue
    fi
    a=$(geometry "$img" | grep -v '^Bitmap')
    b=$(geometry "$theirs" | grep -v '^Bitmap')
    checked=$((checked + 1))
    if [ -n "$a" ] && [ "$a" = "$b" ]; then
      echo "ok: $sectors sectors: $(echo "$a" | tr '\n' ';')"
    else
      fail "$sectors sectors: ours and mkfs.exfat's differ:"
      diff <(echo "$a") <(echo "$b") | sed 's/^/    /'
    fi
    rm -f "$img" "$theirs"
  done
  # The volume serial number that --volume-id gives.
  if format_image serial 100000 --force --exfat --volume-id 0x1234abcd --esp-size 0; then
    blank "$work/v.img" 83872
    dd if="$img" of="$work/v.img" bs=512 skip=16128 count=8192 conv=notrunc,sparse status=none
    checked=$((checked + 1))
    serial=$(dump.exfat "$work/v.img" 2>/dev/null | awk '/Volume Serial/ { print $NF }')
    [ "$serial" = 0x1234abcd ] && echo "ok: volume serial $serial" || fail "volume serial $serial, want 0x1234abcd"
  fi
  ;;
mount)
  command -v mount.exfat-fuse >/dev/null || skip "mount.exfat-fuse not installed (scripts/setup installs exfat-fuse)"
  loop_usable && [ -e /dev/fuse ] && [ "$(id -u)" = 0 ] || skip "needs root, loop devices and /dev/fuse"
  mnt=$work/mnt
  mkdir -p "$mnt"
  head -c 3000000 /dev/urandom >"$work/payload"
  while read -r name sectors words; do
    [ -z "$name" ] && continue
    # shellcheck disable=SC2086
    format_image "$name" "$sectors" $words || continue
    read -r start size < <(volume_of "$img")
    attach "$img" "$start" "$size" rw
    [ -n "$dev" ] || { fail "$name: no loop device"; continue; }
    if ! mount.exfat-fuse "$dev" "$mnt" >"$work/out" 2>&1; then
      fail "$name: exfat-fuse refuses the volume: $(cat "$work/out")"
      detach "$dev"
      continue
    fi
    mkdir -p "$mnt/Boot/ISO" && cp "$work/payload" "$mnt/Boot/ISO/Image One.iso" &&
      echo "Grüße" >"$mnt/Ärger.txt" && for i in $(seq 1 40); do echo "$i" >"$mnt/Boot/file-$i.txt"; done
    umount "$mnt"
    mount.exfat-fuse "$dev" "$mnt" >"$work/out" 2>&1 || fail "$name: second mount: $(cat "$work/out")"
    checked=$((checked + 1))
    # Names match whatever their case, through the volume's up-case table.
    if cmp -s "$work/payload" "$mnt/BOOT/iso/IMAGE ONE.ISO" && [ "$(cat "$mnt/äRGER.TXT")" = "Grüße" ] &&
      [ "$(ls "$mnt/Boot" | wc -l)" = 41 ] && [ "$(cat "$mnt/Boot/file-40.txt")" = 40 ]; then
      echo "ok: $name: exfat-fuse wrote and read back files"
    else
      fail "$name: files read back differ: $(ls -R "$mnt" | head -20 | tr '\n' ' ')"
    fi
    umount "$mnt"
    detach "$dev"
    attach "$img" "$start" "$size"
    out=$(fsck.exfat -n "$dev" 2>&1) || fail "$name: fsck.exfat after the driver wrote: $out"
    echo "$out" | grep -q 'directories 3, files 42' || fail "$name: fsck.exfat counts: $out"
    detach "$dev"
    # The QX layout around the volume is intact.
    if [ "$start" != 0 ] && [ "$start" != 63 ]; then
      "$Q" "$img" check >"$work/out" 2>&1 || fail "$name: check after the driver wrote: $(cat "$work/out")"
    fi
    rm -f "$img"
  done <<'CASES'
qx-64m        131072      --force --exfat --esp-size 0
qx-align-1g   2097152     --force --exfat --align
raw-odd       300000      --raw --force --base 63 --exfat --unit-size 1
front-end-40g 83886080    --extended 100m --force --align --primary 8m --exfat
CASES
  ;;
esp)
  sectors=2097152
  format_image esp "$sectors" --force --exfat --align || exit 1
  esp_start=$(u32 "$img" 470)
  esp_size=$(u32 "$img" 474)
  check_esp esp "$img"
  at="$img@@$((esp_start * 512))"
  head -c 200000 /dev/urandom >"$work/loader.efi"
  checked=$((checked + 1))
  if mmd -i "$at" ::/EFI ::/EFI/BOOT && mcopy -i "$at" "$work/loader.efi" ::/EFI/BOOT/BOOTX64.EFI &&
    mcopy -i "$at" ::/EFI/BOOT/BOOTX64.EFI "$work/back.efi" && cmp -s "$work/loader.efi" "$work/back.efi"; then
    echo "ok: mtools wrote and read back a file on the EFI system partition"
  else
    fail "mtools on the EFI system partition at $esp_start"
  fi
  check_esp "esp after mtools wrote to it" "$img"

  # restore: sector 0 zeroed, then rebuilt from copy 1 with both slots.
  dd if="$img" of="$work/s0" bs=512 count=1 status=none
  dd if=/dev/zero of="$img" bs=512 count=1 conv=notrunc status=none
  "$Q" "$img" restore >"$work/out" 2>&1 || fail "restore: $(cat "$work/out")"
  checked=$((checked + 1))
  if cmp -s "$work/s0" <(dd if="$img" bs=512 count=1 status=none); then
    echo "ok: restore brings sector 0 back with the EFI system partition"
  else
    fail "restore: sector 0 differs: $(cmp "$work/s0" <(dd if="$img" bs=512 count=1 status=none))"
  fi
  # sync: copy i names the EFI system partition i sectors earlier.
  "$Q" "$img" sync >"$work/out" 2>&1 || fail "sync: $(cat "$work/out")"
  for i in 1 62 63; do
    got=$(u32 "$img" $((i * 512 + 470)))
    checked=$((checked + 1))
    [ "$got" = $((esp_start - i)) ] && [ "$(u8 "$img" $((i * 512 + 466)))" = 239 ] &&
      echo "ok: copy $i names the EFI system partition at $got" || fail "copy $i: slot 1 at $got, want $((esp_start - i))"
  done
  # info and check see the file store as on a FAT disk of the same layout.
  "$Q" "$img" info >"$work/info.exfat" 2>&1 || fail "info: $(cat "$work/info.exfat")"
  "$Q" "$img" check >"$work/out" 2>&1 || fail "check: $(cat "$work/out")"
  format_image fat "$sectors" --force --align || exit 1
  "$Q" "$img" info >"$work/info.fat" 2>&1
  checked=$((checked + 1))
  if cmp -s "$work/info.exfat" "$work/info.fat"; then
    echo "ok: info shows the same as on a FAT disk"
  else
    fail "info differs from a FAT disk's: $(diff "$work/info.exfat" "$work/info.fat" | tr '\n' ' ')"
  fi
  # A FAT disk keeps its one partition.
  checked=$((checked + 1))
  [ "$(od -An -v -t x1 -j 462 -N 48 "$img" | tr -d ' \n' | tr -d 0)" = "" ] && echo "ok: a FAT disk has slots 1 to 3 empty" ||
    fail "a FAT disk has a second partition"
  ;;
*)
  echo "usage: exfat.sh QXTOOL fsck|sample|mkfs|mount|esp" >&2
  exit 2
  ;;
esac

echo "$checked volumes checked, $failures failures"
[ $failures = 0 ] && [ $checked -gt 0 ]
