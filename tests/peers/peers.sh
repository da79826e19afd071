#!/usr/bin/env bash
# Checks the volumes and partition tables that "format" writes with the
# system's own FAT and partition tools: fsck.fat, mtools and fdisk, and
# format on a loop block device against the same format on an image file.
#
#   peers.sh QXTOOL fsck|mtools|fdisk|loop|sample|sync|volid
#
# fsck and sample also ask blkid which FAT type it sees, against the cluster
# count fsck.fat found; sync checks the volume that each boot record copy
# describes after "sync --copy-bpb"; volid checks the volume ID that
# "format --volume-id" and "volume-id" write as blkid and mtools read it. QX_PEER_SAMPLE
# sets the number of sizes per FAT form in the seeded sample (default 10).
#
# Every image is a sparse file in a fresh directory (under /dev/shm where
# it can be, since some volumes write large FATs, else under /tmp); the only
# devices touched are loop devices this script attaches itself, read-only
# except in "loop", and detached again. Exit status 77 marks a skipped run
# (a failure under CI=true).
set -u
Q=$1
mode=$2
. "$(dirname "$0")/../support/peerlib.sh" qxpeers
need_tools "scripts/setup installs it" fsck.fat fsck.exfat mcopy minfo fdisk blkid

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

# fsck.fat -n on the volume in place through a read-only loop device over
# exactly its sectors; where loop devices are not usable, on a copy of the
# volume (the images are fresh sparse files, so what follows the volume's
# metadata is zero in both). The volume is the data partition, or the one
# from sector START on for SIZE sectors when they are given. Leaves the
# cluster count fsck.fat found in clusters.
check_fsck() {
  local name=$1 img=$2 start size out st dev
  if [ $# -ge 4 ]; then
    start=$3
    size=$4
  else
    read -r start size < <(volume_of "$img")
  fi
  clusters=
  fsck_volume fsck.fat "$img" "$start" "$size" 65536
  # The free count of FSInfo is left uncomputed on purpose; fsck.fat notes
  # it without calling it an error.
  local rest
  rest=$(echo "$out" | grep -v -e '^fsck.fat ' -e 'Free cluster summary uninitialized' -e ' files, ')
  if [ -n "${backup_differs_ok:-}" ]; then
    rest=$(echo "$rest" | grep -v -e 'differences between boot sector and its backup' -e 'mostly harmless' \
             -e '^ *,\? *[0-9][0-9]*:' -e 'Not automatically fixing this')
  fi
  if [ $st -ne 0 ] || [ -n "$rest" ]; then
    fail "fsck.fat on $name (start $start, $size sectors, status $st):"
    echo "$out" | sed 's/^/    /'
  else
    echo "ok: fsck.fat $name: start $start, $size sectors: $(echo "$out" | grep ' files, ')"
    clusters=$(echo "$out" | sed -n 's|.* files, [0-9]*/\([0-9]*\) clusters|\1|p')
  fi
}

# blkid's view of the volume at the data partition: a vfat file system of
# the FAT type that the cluster count fsck.fat found makes (below 4085
# clusters FAT12, below 65525 FAT16, else FAT32).
check_blkid() {
  local name=$1 img=$2 start size want got
  [ -n "$clusters" ] || return 0  # fsck.fat already failed it
  read -r start size < <(volume_of "$img")
  if [ "$clusters" -lt 4085 ]; then want=FAT12; elif [ "$clusters" -lt 65525 ]; then want=FAT16; else want=FAT32; fi
  got=$(blkid -p -O $((start * 512)) -o export "$img" 2>&1 | grep -e '^TYPE=' -e '^VERSION=' | tr '\n' ' ')
  if [ "$got" = "TYPE=vfat VERSION=$want " ] || [ "$got" = "VERSION=$want TYPE=vfat " ]; then
    echo "ok: blkid $name: vfat $want ($clusters clusters)"
  else
    fail "blkid $name: '$got', want vfat $want for $clusters clusters"
  fi
}

# Writes a file and a directory with mtools into the data partition and
# reads both back, then checks the volume again.
check_mtools() {
  local name=$1 img=$2 start size at
  read -r start size < <(volume_of "$img")
  at="$img@@$((start * 512))"
  [ -f "$work/payload.bin" ] || head -c 300000 /dev/urandom >"$work/payload.bin"
  if MTOOLS_SKIP_CHECK=1 mcopy -i "$at" "$work/payload.bin" ::/PAYLOAD.BIN 2>"$work/err" &&
     MTOOLS_SKIP_CHECK=1 mmd -i "$at" ::/BOOT 2>>"$work/err" &&
     MTOOLS_SKIP_CHECK=1 mcopy -i "$at" "$work/payload.bin" ::/BOOT/SECOND.BIN 2>>"$work/err" &&
     MTOOLS_SKIP_CHECK=1 mcopy -i "$at" ::/PAYLOAD.BIN "$work/back1.bin" 2>>"$work/err" &&
     MTOOLS_SKIP_CHECK=1 mcopy -i "$at" ::/BOOT/SECOND.BIN "$work/back2.bin" 2>>"$work/err"; then
    if cmp -s "$work/payload.bin" "$work/back1.bin" && cmp -s "$work/payload.bin" "$work/back2.bin"; then
      echo "ok: mtools $name: written and read back unchanged at byte $((start * 512))"
    else
      fail "mtools $name: file read back differs"
    fi
    check_fsck "$name after mtools wrote to it" "$img"
  else
    fail "mtools $name: $(cat "$work/err")"
  fi
  rm -f "$work/back1.bin" "$work/back2.bin"
}

case $mode in
fsck)
  # name, image sectors, format words
  while read -r name sectors words; do
    [ -z "$name" ] && continue
    # shellcheck disable=SC2086
    format_image "$name" "$sectors" $words || continue
    check_fsck "$name ($words)" "$img"
    check_blkid "$name" "$img"
    rm -f "$img"
  done <<'CASES'
fat16-64mib            131072      --force
fat16-68157440-bytes   133120
fat16-96000000-bytes   187500
fat16-12746752-bytes   24896
fat16-4489216-raw      8768        --raw --force --base 0
front-end-209918976    409998      --extended 100m --force --align --primary 8m
fat16-unit64-1g        2064399     --force --fat16 --unit-size 64
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
  while read -r name sectors words; do
    [ -z "$name" ] && continue
    # shellcheck disable=SC2086
    format_image "$name" "$sectors" $words || continue
    check_mtools "$name" "$img"
    rm -f "$img"
  done <<'CASES'
fat12-2880       2880      --raw --force --base 0
fat16-qx         100000    --force --align
fat16-odd        100000    --raw --force --base 63
fat32-stick      7831552   --extended 100m --force --align --primary 8m
fat16-64mib      131072    --force
CASES
  ;;
sample)
  # A seeded sample of sizes of every FAT form, each with one of the
  # options that change its geometry: fsck.fat and blkid on every volume,
  # mtools on every third.
  n=${QX_PEER_SAMPLE:-10}
  k=0
  while read -r name sectors words; do
    # shellcheck disable=SC2086
    format_image "$name" "$sectors" $words || continue
    check_fsck "$name ($words)" "$img"
    check_blkid "$name" "$img"
    k=$((k + 1))
    [ $((k % 3)) = 0 ] && check_mtools "$name" "$img"
    rm -f "$img"
  done < <(awk -v n="$n" 'BEGIN {
    srand(20261210)
    for (i = 0; i < n; i++) {
      # FAT12 form: at most 8400 sectors, a cluster size of 1 to 4.
      z = 100 + int(rand() * 8300); if (z == 2880 || z == 5760) z++
      u = 2 ^ int(rand() * 3); while (z / u > 4000) u *= 2
      if (i % 2) printf "fat12-%d %d --raw --force --base 0 --unit-size %d\n", i, z, u
      else printf "fat12-%d %d --force --size %d --unit-size %d --align\n", i, 16128 + z + 999, z, u
      # FAT16: 8401 to 1,048,575 sectors, the size table choosing.
      z = 8401 + int(rand() * 1040175)
      m = i % 4
      if (m == 0) printf "fat16-%d %d\n", i, 16128 + z
      if (m == 1) printf "fat16-%d %d --force --align\n", i, 16128 + z
      if (m == 2) printf "fat16-%d %d --raw --force --base 63 --align\n", i, 63 + z
      if (m == 3) printf "fat16-%d %d --force --nalign 2048 --extended %d\n", i, 18432 + z, 2000 + i
      # FAT32: 66,601 sectors to 8 GiB.
      z = 66601 + int(rand() * 16710615)
      if (i % 2) printf "fat32-%d %d --force --fat32 --align\n", i, 16128 + z
      else printf "fat32-%d %d --raw --force --base 0 --fat32\n", i, z
    }
  }')
  ;;
sync)
  # After "sync --copy-bpb" each boot record copy i describes the volume as
  # seen from sector i: a FAT volume from there to the disk's end that
  # fsck.fat accepts, and mtools reads the data partition's root through it.
  # A FAT32 view's backup boot sector is another copy of the boot record,
  # which differs from it: fsck.fat notes that and leaves it alone.
  for words in "" "--fat32"; do
    backup_differs_ok=$words
    sectors=120000
    # shellcheck disable=SC2086
    format_image "copy${words}" "$sectors" $words || continue
    if ! "$Q" "$img" sync --copy-bpb >"$work/out" 2>&1; then
      fail "sync --copy-bpb after format $words: $(cat "$work/out")"
      continue
    fi
    for i in 0 1 62 63; do
      check_fsck "copy $i after format $words and sync --copy-bpb" "$img" "$i" $((sectors - i))
      if MTOOLS_SKIP_CHECK=1 mdir -i "$img@@$((i * 512))" ::/ >"$work/out" 2>&1; then
        echo "ok: mtools reads the root directory through copy $i"
      else
        fail "mtools through copy $i: $(cat "$work/out")"
      fi
    done
    rm -f "$img"
  done
  ;;
volid)
  # The volume ID as blkid shows it (its UUID, high half first) and as
  # mtools shows it, in the boot sector and, on FAT32, in its backup, which
  # fsck.fat compares with it. Without the option the ID is 0: no UUID.
  # name, sectors, format words | expected UUID
  while IFS='|' read -r layout want; do
    [ -z "$layout" ] && continue
    read -r name sectors words <<<"$layout"
    want=$(echo $want)
    # shellcheck disable=SC2086
    format_image "$name" "$sectors" $words || continue
    check_fsck "$name ($words)" "$img"
    read -r start size < <(volume_of "$img")
    uuid=$(blkid -p -O $((start * 512)) -o export "$img" 2>&1 | sed -n 's/^UUID=//p')
    serial=$(MTOOLS_SKIP_CHECK=1 minfo -i "$img@@$((start * 512))" :: 2>&1 | sed -n 's/^serial number: //p')
    want_serial=$(echo "$want" | tr -d -)
    if [ "$uuid" = "$want" ] && [ "$serial" = "${want_serial:-00000000}" ]; then
      echo "ok: volume ID $name: blkid UUID '$uuid', mtools serial '$serial'"
    else
      fail "volume ID $name: blkid UUID '$uuid', mtools serial '$serial', want '$want'"
    fi
    # FAT32's backup boot sector carries the same ID.
    if [ "$(dd if="$img" bs=1 skip=$((start * 512 + 0x52)) count=5 status=none | tr -d '\0')" = FAT32 ]; then
      id=$(u32 "$img" $((start * 512 + 0x43)))
      backup=$(u32 "$img" $(((start + 6) * 512 + 0x43)))
      [ "$id" = "$backup" ] || fail "volume ID $name: backup boot sector has $backup, boot sector $id"
    fi
    rm -f "$img"
  done <<'CASES'
fat32-stick    7831552  --extended 100m --force --align --primary 8m --volume-id 0x1A2B3C4D | 1A2B-3C4D
fat32-default  1100000  --force                                                            |
fat32-raw      1100000  --raw --force --base 0 --fat32 --volume-id 4294967295              | FFFF-FFFF
fat16-decimal  100000   --force --volume-id 305419896                                      | 1234-5678
fat16-later    100000   --force --volume-id 7 --volume-id 0x00C0FFEE                       | 00C0-FFEE
fat12-octal    30000    --force --size 2880 --volume-id 010                                 | 0000-0008
CASES
  # The ID belongs to a new volume: on a disk whose data partition stays,
  # format refuses it before writing anything.
  format_image keep 100000 --force
  cp "$img" "$work/before.img"
  out=$("$Q" "$img" format --volume-id 5 2>&1)
  st=$?
  if [ $st = 1 ] && [ "$out" = "qxtool: error: --volume-id needs a new data partition, use --force" ] &&
     cmp -s "$img" "$work/before.img"; then
    echo "ok: --volume-id on a kept data partition is refused and writes nothing"
  else
    fail "--volume-id on a kept data partition: status $st, '$out'"
  fi
  # "volume-id N" on a drive formatted earlier: blkid (and mtools, on FAT)
  # see the new ID, and the checker still finds the volume clean, FAT32's
  # backup boot sector and exFAT's boot region checksums included.
  # name, sectors, format words | ID | expected UUID
  while IFS='|' read -r layout id want; do
    [ -z "$layout" ] && continue
    read -r name sectors words <<<"$layout"
    id=$(echo $id) want=$(echo $want)
    # shellcheck disable=SC2086
    format_image "$name" "$sectors" $words || continue
    if ! "$Q" "$img" volume-id "$id" >"$work/out" 2>&1; then
      fail "volume-id $id on $name: $(cat "$work/out")"
      rm -f "$img"
      continue
    fi
    read -r start size < <(volume_of "$img")
    uuid=$(blkid -p -O $((start * 512)) -o export "$img" 2>&1 | sed -n 's/^UUID=//p')
    if [ "$(blkid -p -O $((start * 512)) -o value -s TYPE "$img" 2>&1)" = exfat ]; then
      fsck_volume fsck.exfat "$img" "$start" "$size" 65536
      [ "$st" = 0 ] || { fail "fsck.exfat after volume-id on $name (status $st):"; echo "$out" | sed 's/^/    /'; }
      serial=$(echo "$want" | tr -d -)
    else
      check_fsck "$name after volume-id" "$img"
      serial=$(MTOOLS_SKIP_CHECK=1 minfo -i "$img@@$((start * 512))" :: 2>&1 | sed -n 's/^serial number: //p')
    fi
    if [ "$uuid" = "$want" ] && [ "$serial" = "$(echo "$want" | tr -d -)" ]; then
      echo "ok: volume-id $id on $name: blkid UUID '$uuid', serial '$serial'"
    else
      fail "volume-id $id on $name: blkid UUID '$uuid', serial '$serial', want '$want'"
    fi
    rm -f "$img"
  done <<'CASES'
set-fat32-stick  1400000  --extended 100m --force --align --primary 8m  | 0x1A2B3C4D | 1A2B-3C4D
set-fat16        100000   --force --volume-id 7                         | 305419896  | 1234-5678
set-exfat        300000   --force --exfat                               | 0xCAFEBABE | CAFE-BABE
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
