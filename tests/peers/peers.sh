#!/usr/bin/env bash
# Checks the volumes and partition tables that "format" writes with the
# system's own FAT and partition tools: fsck.fat, mtools and fdisk, and
# format on a loop block device against the same format on an image file.
#
#   peers.sh QXTOOL fsck|mtools|fdisk|loop
#
# Every image is a sparse file in a fresh directory under /tmp; the only
# devices touched are loop devices this script attaches itself, read-only
# except in "loop", and detached again. Exit status 77 marks a skipped run
# (a failure under CI=true).
set -u
Q=$1
mode=$2
work=$(mktemp -d /tmp/qxpeers.XXXXXX)
loops=()
cleanup() {
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# A missing tool skips the run (status 77), and fails it under CI.
skip() {
  echo "SKIP: $*"
  [ "${CI:-}" = true ] && { echo "FAIL: CI=true, so a missing tool is a failure"; exit 1; }
  exit 77
}

for tool in fsck.fat mcopy fdisk; do
  command -v "$tool" >/dev/null || skip "$tool not installed (scripts/setup installs it)"
done

# A fresh sparse image of N sectors.
blank() { rm -f "$1"; truncate -s $(($2 * 512)) "$1"; }

# u32 at byte offset $2 of file $1.
u32() { od -An -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }

# Start and size of the data partition (slot 0), or 0 and the whole image
# when the volume starts at sector 0 (no partition table).
volume_of() {
  local img=$1 start size
  if [ "$(od -An -t x1 -j 510 -N 2 "$img" | tr -d ' ')" = 55aa ] && [ "$(u32 "$img" 454)" != 0 ]; then
    start=$(u32 "$img" 454)
    size=$(u32 "$img" 458)
  else
    start=0
    size=$(($(stat -c %s "$img") / 512))
  fi
  echo "$start $size"
}

loop_usable() { [ -w /dev/loop-control ] && command -v losetup >/dev/null; }

# fsck.fat -n on the volume in place through a read-only loop device over
# exactly its sectors; where loop devices are not usable, on a copy of the
# volume (the images are fresh sparse files, so what follows the volume's
# metadata is zero in both).
check_fsck() {
  local name=$1 img=$2 start size out st dev
  read -r start size < <(volume_of "$img")
  dev=""
  if loop_usable; then
    dev=$(losetup -f --show -r -o $((start * 512)) --sizelimit $((size * 512)) "$img" 2>/dev/null)
  fi
  if [ -n "$dev" ]; then
    loops+=("$dev")
    out=$(fsck.fat -n "$dev" 2>&1)
    st=$?
    losetup -d "$dev"
    unset 'loops[-1]'
  else
    local copy=$work/volume.img meta=$((size < 65536 ? size : 65536))
    blank "$copy" "$size"
    dd if="$img" of="$copy" bs=512 skip="$start" count="$meta" conv=notrunc,sparse status=none
    out=$(fsck.fat -n "$copy" 2>&1)
    st=$?
    rm -f "$copy"
  fi
  # The free count of FSInfo is left uncomputed on purpose; fsck.fat notes
  # it without calling it an error.
  local rest
  rest=$(echo "$out" | grep -v -e '^fsck.fat ' -e 'Free cluster summary uninitialized' -e ' files, ')
  if [ $st -ne 0 ] || [ -n "$rest" ]; then
    fail "fsck.fat on $name (start $start, $size sectors, status $st):"
    echo "$out" | sed 's/^/    /'
  else
    echo "ok: fsck.fat $name: start $start, $size sectors: $(echo "$out" | grep ' files, ')"
  fi
}

# Formats a fresh image $work/NAME.img: name, sectors, format words. The
# image's path is left in img.
format_image() {
  img=$work/$1.img
  local sectors=$2
  shift 2
  blank "$img" "$sectors"
  if ! "$Q" "$img" format "$@" >"$work/out" 2>&1; then
    fail "format $* on $sectors sectors: $(cat "$work/out")"
    return 1
  fi
}

case $mode in
fsck)
  # name, image sectors, format words
  while read -r name sectors words; do
    [ -z "$name" ] && continue
    # shellcheck disable=SC2086
    format_image "$name" "$sectors" $words || continue
    check_fsck "$name ($words)" "$img"
    rm -f "$img"
  done <<'CASES'
fat12-2880-floppy      2880        --raw --force --base 0
fat12-5760-floppy      5760        --raw --force --base 0
fat12-2880-part        30000       --force --size 2880
fat12-5760-part        30000       --force --size 5760 --align
fat12-unit4            22128       --force --unit-size 4
fat12-unit1-align      25000       --raw --force --base 63 --size 4000 --unit-size 1 --align
fat16-8401-odd         10000       --raw --force --base 63 --size 8401
fat16-8401-even        10000       --raw --force --base 64 --size 8401 --align
fat16-8401-qx          30000       --force --size 8401 --align
fat16-odd-align        200000      --raw --force --base 63 --align
fat16-top              4209759     --force
fat16-top-align        4209759     --force --align
fat16-top-odd          4193663     --raw --force --base 63 --size 4193600 --align
fat16-top-class        1064703     --force
fat32-1048576          1064704     --force
fat32-1048576-align    1064704     --force --align
fat32-odd-align        1100000     --raw --force --base 63 --fat32 --align
front-end-stick        7831552     --extended 100m --force --align --primary 8m
front-end-stick-noalign 7831552    --extended 100m --force --primary 8m
front-end-stick-zip    7831552     --extended 100m --force --align --primary 8m --zip
sparse-64g-align       134217728   --force --align
sparse-64g-raw         134217728   --raw --force --base 0
CASES
  ;;
mtools)
  export MTOOLS_SKIP_CHECK=1
  head -c 300000 /dev/urandom >"$work/payload.bin"
  while read -r name sectors words; do
    [ -z "$name" ] && continue
    # shellcheck disable=SC2086
    format_image "$name" "$sectors" $words || continue
    read -r start size < <(volume_of "$img")
    at="$img@@$((start * 512))"
    if mcopy -i "$at" "$work/payload.bin" ::/PAYLOAD.BIN 2>"$work/err" &&
       mmd -i "$at" ::/BOOT 2>>"$work/err" &&
       mcopy -i "$at" "$work/payload.bin" ::/BOOT/SECOND.BIN 2>>"$work/err" &&
       mcopy -i "$at" ::/PAYLOAD.BIN "$work/back1.bin" 2>>"$work/err" &&
       mcopy -i "$at" ::/BOOT/SECOND.BIN "$work/back2.bin" 2>>"$work/err"; then
      if cmp -s "$work/payload.bin" "$work/back1.bin" && cmp -s "$work/payload.bin" "$work/back2.bin"; then
        echo "ok: mtools $name: written and read back unchanged at byte $((start * 512))"
      else
        fail "mtools $name: file read back differs"
      fi
      check_fsck "$name after mtools wrote to it" "$img"
    else
      fail "mtools $name: $(cat "$work/err")"
    fi
    rm -f "$img" "$work/back1.bin" "$work/back2.bin"
  done <<'CASES'
fat12-2880       2880      --raw --force --base 0
fat16-qx         100000    --force --align
fat16-odd        100000    --raw --force --base 63
fat32-stick      7831552   --extended 100m --force --align --primary 8m
CASES
  ;;
fdisk)
  # name, sectors, format words | expected start, end, sectors, type id
  while IFS='|' read -r layout want; do
    [ -z "$layout" ] && continue
    read -r name sectors words <<<"$layout"
    # shellcheck disable=SC2086
    format_image "$name" "$sectors" $words || continue
    got=$(fdisk -l "$img" 2>&1 | awk -v dev="${img}1" '$1 == dev { print $3, $4, $5, $7 }')
    boot=$(fdisk -l "$img" 2>&1 | awk -v dev="${img}1" '$1 == dev { print $2 }')
    if [ "$got" = "$(echo $want)" ] && [ "$boot" = "*" ]; then
      echo "ok: fdisk $name: active partition $got"
    else
      fail "fdisk $name: got '$boot $got', want '* $want'"
      fdisk -l "$img" 2>&1 | sed 's/^/    /'
    fi
    [ "$(fdisk -l "$img" 2>&1 | grep -c "^${img}[0-9]")" = 1 ] || fail "fdisk $name: more than one partition"
    rm -f "$img"
  done <<'CASES'
stick    7831552  --extended 100m --force --align --primary 8m | 221184 7831551 7610368 c
default  100000   --force                                       | 16128 99999 83872 e
raw      100000   --raw --force                                 | 63 99999 99937 e
nand     100000   --force --nalign 2048 --size 50000            | 16384 66383 50000 e
CASES
  ;;
loop)
  loop_usable || skip "/dev/loop-control is not usable here"
  sectors=300000
  for words in "--extended 100m --force --align --primary 8m" "--raw --force --base 63 --fat32" "--force --zip"; do
    blank "$work/dev.img" $sectors
    blank "$work/file.img" $sectors
    dev=$(losetup -f --show "$work/dev.img" 2>/dev/null) || skip "losetup could not attach"
    loops+=("$dev")
    # shellcheck disable=SC2086
    "$Q" "$dev" format $words >"$work/out1" 2>&1
    st1=$?
    losetup -d "$dev"
    unset 'loops[-1]'
    # shellcheck disable=SC2086
    "$Q" "$work/file.img" format $words >"$work/out2" 2>&1
    st2=$?
    if [ $st1 -ne 0 ] || [ $st2 -ne 0 ]; then
      fail "format $words: device status $st1 ($(cat "$work/out1")), file status $st2 ($(cat "$work/out2"))"
    elif cmp -s "$work/dev.img" "$work/file.img"; then
      echo "ok: format $words on $dev writes the same bytes as on an image file"
    else
      fail "format $words: loop device and image file differ: $(cmp "$work/dev.img" "$work/file.img" | head -1)"
    fi
  done
  ;;
*)
  echo "unknown mode $mode"
  exit 2
  ;;
esac

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all passed"
