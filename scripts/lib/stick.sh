# The main job's steps, sourced by scripts/make-stick. Each step works on one
# target (an image file or a block device) and is a function of its own, so
# that options which change one step change one function:
#
#   stick_format T         the QX layout and the FAT data partition
#   stick_load T           the carried archive into the hidden area
#   stick_copy_files T     the data partition's files (tree, ISO images)
#   stick_flush T          everything written reaches the medium, checked
#   stick_verify T         what was written is read back from the medium
#   stick_update_plan T    every check of --update, before the first write
#   stick_update T         --update itself
#
# Settings come from make-stick's variables: tool, archive, stickfs, zip,
# uefi, isos, verify. A step that fails prints "make-stick: ..." on standard
# error and returns 1.
#
# Progress: when STICK_SHOW is "tty", long steps draw one line on file
# descriptor 9 (the terminal); when it is a file name, they write that line
# into the file (several targets at once: make-stick draws the lines).

STICK_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

stick_fail() { echo "make-stick: $*" >&2; return 1; }

# stick_is_device T: whether T is a block device.
stick_is_device() { [ -b "$1" ]; }

# stick_size T: the target's size in bytes.
stick_size() {
  if stick_is_device "$1"; then blockdev --getsize64 "$1"; else stat -L -c %s "$1"; fi
}

# stick_part_start T: the first sector of the data partition (entry 1 of the
# partition table), 0 when there is none.
stick_part_start() {
  local s
  s=$(od -An -tu4 -j454 -N4 "$1" 2>/dev/null | tr -d ' ')
  echo "${s:-0}"
}

# stick_fat T: the data partition's FAT volume as mtools names it.
stick_fat() { echo "$1@@$(($(stick_part_start "$1") * 512))"; }

# stick_is_exfat T: whether T's data partition is exFAT (type 0x07).
stick_is_exfat() { [ "$(od -An -tu1 -j450 -N1 "$1" 2>/dev/null | tr -d ' ')" = 7 ]; }

# stick_esp T: the EFI system partition (entry 2) as mtools names it, empty
# when there is none.
stick_esp() {
  local s
  s=$(od -An -tu4 -j470 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ "${s:-0}" -eq 0 ] || echo "$1@@$((s * 512))"
}

# ---------------------------------------------------------------------------
# Progress

stick_mib() {  # stick_mib BYTES: "12.3 MiB"
  local t=$(($1 * 10 / 1048576))
  echo "$((t / 10)).$((t % 10)) MiB"
}

# The bytes the page cache still has to write out, over all devices.
stick_pending() { awk '/^(Dirty|Writeback):/ { s += $2 } END { print s * 1024 }' /proc/meminfo; }

# stick_tree PID: PID and all its descendants.
stick_tree() {
  local c
  echo "$1"
  for c in $(pgrep -P "$1" 2>/dev/null); do stick_tree "$c"; done
}

# The bytes a running step has moved so far (STICK_COUNT: write, or read
# for a read-back): for a block device, what the device itself took or gave
# since the step began, so that the line keeps moving while the page cache
# drains onto a slow stick; for an image file, what the step's own
# processes of the tool and of mtools wrote or read.
stick_moved() {  # stick_moved T PID BASE
  local field
  if [ "${STICK_COUNT:-}" = flush ]; then
    echo $(($3 - $(stick_pending)))
  elif stick_is_device "$1"; then
    local dev
    dev=$(basename "$(readlink -f "$1")")
    if [ "${STICK_COUNT:-write}" = read ]; then field=3; else field=7; fi
    awk -v f="$field" -v b="$3" '{ print $f * 512 - b }' "/sys/class/block/$dev/stat" 2>/dev/null || echo 0
  else
    if [ "${STICK_COUNT:-write}" = read ]; then field=rchar; else field=wchar; fi
    local p sum=0 n comm
    [ ! -s "$STICK_WORK/moved" ] || sum=$(cat "$STICK_WORK/moved")
    for p in $(stick_tree "$2"); do
      comm=$(cat "/proc/$p/comm" 2>/dev/null) || continue
      case "$comm" in mcopy|qxtool|sync) ;; *) continue ;; esac
      n=$(awk -v f="$field:" '$1 == f { print $2 }' "/proc/$p/io" 2>/dev/null) || n=0
      sum=$((sum + ${n:-0}))
    done
    echo "$sum"
  fi
}

stick_show_line() {  # stick_show_line TEXT
  case "${STICK_SHOW:-}" in
    "") ;;
    tty) printf '\r%s\033[K' "$1" >&9 ;;
    *) printf '%s\n' "$1" >"$STICK_SHOW.tmp" && mv -f "$STICK_SHOW.tmp" "$STICK_SHOW" ;;
  esac
}

stick_show_done() {
  [ "${STICK_SHOW:-}" = tty ] && printf '\r\033[K' >&9
  return 0
}

# stick_watch T LABEL TOTAL CMD...: runs CMD; while it runs, shows LABEL with
# the bytes done of TOTAL, the rate and the time left. CMD's exit status is
# the result; its output goes where the caller sends it.
stick_watch() {
  local t=$1 label=$2 total=$3
  shift 3
  if [ -z "${STICK_SHOW:-}" ]; then
    "$@"
    return
  fi
  local base=0 rc=0 pid start now done elapsed rate left
  if [ "${STICK_COUNT:-}" = flush ]; then
    base=$(stick_pending)
  elif stick_is_device "$t"; then
    base=$(stick_moved "$t" 0 0)
  fi
  start=$(date +%s%3N)
  "$@" &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    done=$(stick_moved "$t" "$pid" "$base")
    [ "$done" -le "$total" ] || done=$total
    [ "$done" -ge 0 ] || done=0
    now=$(date +%s%3N)
    elapsed=$((now - start))
    if [ "$elapsed" -gt 0 ] && [ "$done" -gt 0 ]; then
      rate=$((done * 1000 / elapsed))
      left=$(((total - done) / (rate > 0 ? rate : 1)))
      stick_show_line "$label: $(stick_mib "$done") of $(stick_mib "$total"), $(stick_mib "$rate")/s, ${left} s left"
    else
      stick_show_line "$label: 0.0 MiB of $(stick_mib "$total")"
    fi
    sleep 0.5
  done
  wait "$pid" || rc=$?
  stick_show_done
  return "$rc"
}

# stick_bytes FILE...: the total size of the files and trees.
stick_bytes() { du -scbL "$@" 2>/dev/null | tail -1 | cut -f1; }

# ---------------------------------------------------------------------------
# Making a stick

# The same three steps (format, clear, load) as the front end's script, with
# two settings of the main job's own: the boot record's reads go up to 127
# sectors, what the common boot loaders ask of the BIOS, where a disk
# carries 63 by default (see the README); and a volume ID, random and never
# 0, so that each stick's volume has a UUID (its initramfs finds it by that)
# that no other stick shares.
stick_format() {
  local t=$1 volid=0 datasize=""
  while [ "$volid" -eq 0 ]; do volid=$(od -An -tu4 -N4 /dev/urandom | tr -d ' '); done
  if [ -n "$persistence" ]; then
    stick_persistence_plan "$t" || return 1
  fi
  "$tool" "$t" format --extended 100m --force --align --primary 8m --max-sectors 127 $zip --volume-id "$volid" \
    ${datasize:+--size $datasize} ${fsopt:-}
}

# With --persistence the persistence partition takes the drive's end: it
# begins on a MiB boundary, psectors or a little more before the end. On a
# FAT drive the data partition ends where it begins, and it is the second
# partition. On an exFAT drive the EFI system partition (64 MiB, always the
# second: the menus look for it there) lies between the two, and the
# persistence partition is the third. The data partition starts at
# STICK_DATA_START with the format options above (8m primary + 100m
# extended) and keeps at least 64 MiB, and also room for the casper-rw
# file. Sets disk, pstart, pslot (0-based) and datasize (sectors).
STICK_DATA_START=221184
STICK_ESP_SECTORS=131072
stick_persistence_plan() {
  local t=$1 esp=0 need
  disk=$(($(stick_size "$t") / 512))
  pstart=$(((disk - psectors) / 2048 * 2048))
  pslot=1
  if [ "${fsopt:-}" = --exfat ]; then esp=$STICK_ESP_SECTORS pslot=2; fi
  datasize=$((pstart - esp - STICK_DATA_START))
  if [ "$datasize" -lt 131072 ]; then
    stick_fail "a persistence partition of $persistence leaves less than 64 MiB for the data partition of $t"
    return 1
  fi
  # The casper-rw file, the images and the boot files, with 1% and 16 MiB
  # to spare for the file system's own structures.
  [ "$casper" -eq 1 ] || return 0
  need=$(((psectors * 512 + $(stick_bytes "$stickfs" ${isos[@]+"${isos[@]}"})) / 512))
  if [ $((datasize - datasize / 100 - 32768)) -lt "$need" ]; then
    stick_fail "the casper-rw file of $persistence and the images do not fit on the data partition of $t"
    return 1
  fi
}

# The persistence partition: slot pslot of the partition table (type 0x83
# from pstart to the drive's end) into sector 0, then "sync" writes the
# boot record's copies with it; the ext4 volume is made in a file and
# written into place.
stick_chs() {  # the CHS bytes of sector $1 as printf escapes, as qxtool writes them
  local c=$(($1 / 16065 % 1024)) r=$(($1 % 16065))
  printf '\\x%02x\\x%02x\\x%02x' $((r / 63)) $((r % 63 + 1 + (c > 255 ? c / 256 * 64 : 0))) $((c % 256))
}
stick_le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
stick_persistence() {
  local t=$1 psize=$((disk - pstart)) out conv=notrunc
  # shellcheck disable=SC2059
  printf "\\x00$(stick_chs "$pstart")\\x83$(stick_chs $((disk - 1)))$(stick_le32 "$pstart")$(stick_le32 "$psize")" |
    dd of="$t" bs=1 seek=$((0x1BE + 16 * pslot)) count=16 conv=notrunc status=none || return 1
  "$tool" "$t" sync || return 1
  rm -rf "$STICK_WORK/persistence"
  mkdir -p "$STICK_WORK/persistence/root"
  printf '/ union\n' >"$STICK_WORK/persistence/root/persistence.conf"
  # An image file stays sparse; a device gets every block written.
  stick_is_device "$t" || conv=notrunc,sparse
  if ! out=$(mkfs.ext4 -q -F -L persistence -d "$STICK_WORK/persistence/root" "$STICK_WORK/persistence/volume" \
               $((psize / 2))K 2>&1) ||
     ! out=$(dd if="$STICK_WORK/persistence/volume" of="$t" bs=1M seek=$((pstart / 2048)) conv=$conv status=none 2>&1); then
    echo "$out" >&2
    stick_fail "making the persistence partition on $t failed"
    return 1
  fi
  rm -rf "$STICK_WORK/persistence"
  echo "make-stick: persistence partition of $((psize / 2048)) MiB at sector $pstart"
}

# The casper family's persistence: an ext4 file system labelled casper-rw
# in a file of that name, made here and copied onto the data partition
# with the images (every block of it is written there).
stick_casper_file() {
  local out
  rm -f "$STICK_WORK/casper-rw"
  if ! out=$(mkfs.ext4 -q -F -L casper-rw "$STICK_WORK/casper-rw" $((psectors / 2))K 2>&1); then
    echo "$out" >&2
    stick_fail "making the casper-rw file failed"
    return 1
  fi
  echo "$STICK_WORK/casper-rw"
}

stick_load() {
  local t=$1
  "$tool" "$t" clear &&
    stick_watch "$t" "hidden area" "$(stick_bytes "$archive")" "$tool" "$t" load "$archive"
}

# The files of the stick's own tree that go onto this stick, one relative
# path a line: all of build/stickfs.list, less EFI/ without UEFI.
stick_own_files() {
  if [ "$uefi" -eq 1 ]; then cat "$stickfs.list"; else grep -v '^EFI/' "$stickfs.list" || true; fi
}

# Files are replaced in two steps, so that a power cut leaves the old file
# or the new one: stick_stage writes SOURCE as PATH.qxnew, and once every
# staged file is flushed to the medium, stick_rename puts it in place of
# PATH. mtools cannot do that last step safely (its rename over a file frees
# the old clusters and rewrites the folder in whatever order the page cache
# writes them), so fatreplace.py does it in flushed steps; a file that is
# new is simply renamed.
stick_stage() {  # stick_stage VOLUME SOURCE PATH (VOLUME: T@@OFFSET, as mtools names it)
  local fat=$1 dir up="" part out
  dir=$(dirname "$3")
  if [ "$dir" != . ]; then
    for part in ${dir//\// }; do
      up=${up:+$up/}$part
      mdir -i "$fat" "::/$up" >/dev/null 2>&1 || out=$(mmd -i "$fat" "::/$up" 2>&1) ||
        { echo "$out" >&2; return 1; }
    done
  fi
  # mtools warns about the geometry of some devices; only a failure counts.
  out=$(mcopy -Q -o -i "$fat" "$2" "::/$3.qxnew" 2>&1) || { echo "$out" >&2; return 1; }
}

stick_rename() {  # stick_rename VOLUME PATH
  local out rc=0
  out=$(python3 "$STICK_LIB/fatreplace.py" "${1%@@*}" "${1##*@@}" "$2" "$2.qxnew" 2>&1) || rc=$?
  case $rc in
    0) ;;
    3) out=$(mmove -i "$1" "::/$2.qxnew" "::/$2" 2>&1) || { echo "$out" >&2; return 1; } ;;
    *) echo "$out" >&2; return 1 ;;
  esac
}

# The record of the stick's own files as written: "SHA256  PATH" a line.
# --update tells a file the user edited from one an earlier run wrote by it.
STICK_RECORD=boot/stickfs.sha256

stick_write_record() {  # stick_write_record T LISTFILE (on a new stick)
  local t=$1 rec out
  rec=$STICK_WORK/record
  (cd "$stickfs" && xargs -d '\n' sha256sum --) <"$2" >"$rec" || return 1
  out=$(mcopy -Q -o -i "$(stick_fat "$t")" "$rec" "::/$STICK_RECORD" 2>&1) || { echo "$out" >&2; return 1; }
}

# Each copied file, as "SOURCE<TAB>PATH ON THE STICK[<TAB>PARTITION]", for
# stick_verify; PARTITION is "exfat" or "esp" on an exFAT drive, empty on a
# FAT one.
stick_copied() { printf '%s\t%s\t%s\n' "$1" "$2" "${3:-}" >>"$STICK_WORK/copied"; }

# The own files of an exFAT drive, as "SOURCE<TAB>PATH<TAB>PARTITION" a
# line (PARTITION "exfat" or "esp"): boot/ on the exFAT partition; boot/
# again on the EFI system partition, with the menu as boot/grub/stick.cfg
# and archive/esp-grub.cfg as boot/grub/grub.cfg, and EFI/ with UEFI.
stick_exfat_own() {
  local f
  stick_own_files >"$STICK_WORK/own"
  while IFS= read -r f; do
    case "$f" in
      boot/grub/grub.cfg)
        printf '%s\t%s\t%s\n' "$stickfs/$f" "$f" exfat "$stickfs/$f" boot/grub/stick.cfg esp \
          archive/esp-grub.cfg "$f" esp ;;
      boot/*) printf '%s\t%s\t%s\n' "$stickfs/$f" "$f" exfat "$stickfs/$f" "$f" esp ;;
      *) printf '%s\t%s\t%s\n' "$stickfs/$f" "$f" esp ;;
    esac
  done <"$STICK_WORK/own"
}

# stick_exfat_records OWNMAP: the record of each partition's own files, as
# $STICK_WORK/record.exfat and record.esp (each goes to boot/stickfs.sha256
# on its partition).
stick_exfat_records() {
  local src dst part sum
  : >"$STICK_WORK/record.exfat"
  : >"$STICK_WORK/record.esp"
  while IFS=$'\t' read -r src dst part; do
    sum=$(sha256sum <"$src" | cut -d' ' -f1) || return 1
    printf '%s  %s\n' "$sum" "$dst" >>"$STICK_WORK/record.$part"
  done <"$1"
}

# What scripts/stick-exfat put on an exFAT drive: the own files, each
# partition's record, and FILE... (the ISO images and the casper-rw file)
# on the exFAT partition.
stick_exfat_copied() {
  local iso
  cat "$STICK_WORK/ownmap" >>"$STICK_WORK/copied"
  stick_copied "$STICK_WORK/record.exfat" "$STICK_RECORD" exfat
  stick_copied "$STICK_WORK/record.esp" "$STICK_RECORD" esp
  for iso in "$@"; do stick_copied "$iso" "$(basename "$iso")" exfat; done
}

stick_copy_files() {
  local t=$1 fat files=() f out iso big=(${isos[@]+"${isos[@]}"})
  if [ -n "$persistence" ] && [ "$casper" -eq 1 ]; then
    f=$(stick_casper_file) || return 1
    big+=("$f")
  fi
  # An exFAT drive's files go on through exfat-fuse, and the UEFI files
  # onto its EFI system partition (scripts/stick-exfat).
  if [ "${fsopt:-}" = --exfat ]; then
    stick_exfat_own >"$STICK_WORK/ownmap" && stick_exfat_records "$STICK_WORK/ownmap" ||
      { stick_fail "reading the boot files failed"; return 1; }
    scripts/stick-exfat "$t" "$stickfs" "$uefi" "$STICK_WORK" ${big[@]+"${big[@]}"} ||
      { stick_fail "copying the files onto $t failed"; return 1; }
    stick_exfat_copied ${big[@]+"${big[@]}"}
    return 0
  fi
  fat=$(stick_fat "$t")
  [ "$(stick_part_start "$t")" -gt 0 ] || { stick_fail "$t has no data partition"; return 1; }
  for f in "$stickfs"/*; do
    if [ "$uefi" -eq 1 ] || [ "$(basename "$f")" != EFI ]; then files+=("$f"); fi
  done
  if ! out=$(stick_watch "$t" "boot files" "$(stick_bytes "${files[@]}")" \
             mcopy -s -Q -o -i "$fat" "${files[@]}" ::/ 2>&1); then
    echo "$out" >&2
    stick_fail "copying the boot files onto $t failed"
    return 1
  fi
  stick_own_files >"$STICK_WORK/own"
  while IFS= read -r f; do stick_copied "$stickfs/$f" "$f"; done <"$STICK_WORK/own"
  if ! stick_write_record "$t" "$STICK_WORK/own"; then
    stick_fail "writing $STICK_RECORD onto $t failed"
    return 1
  fi
  for iso in ${big[@]+"${big[@]}"}; do
    if ! out=$(stick_watch "$t" "$(basename "$iso")" "$(stick_bytes "$iso")" \
               mcopy -Q -o -i "$fat" "$iso" "::/$(basename "$iso")" 2>&1); then
      echo "$out" >&2
      stick_fail "copying $iso onto $t failed"
      return 1
    fi
    stick_copied "$iso" "$(basename "$iso")"
    echo "make-stick: copied $(basename "$iso")"
  done
}

# mtools and the tool write through the page cache; the stick holds the
# files only once they are written out. sync on the target itself fsyncs it
# (an image file, or the device with its write cache) and reports an error
# that the writes met.
stick_flush() {
  local t=$1 out
  if ! out=$(STICK_COUNT=flush stick_watch "$t" "writing out" "$(stick_pending)" sync "$t" 2>&1); then
    echo "$out" >&2
    stick_fail "$t did not take what was written (the flush failed): do not use it"
    return 1
  fi
}

# Reads back from the medium, not from the page cache: the device's cached
# pages are dropped first (after the flush, so nothing is lost), then every
# copied file and every item of the hidden area is compared with its source.
# A stick that wraps writes beyond its real size, or returns other bytes
# than it took, fails here with the first file that differs.
stick_verify() {
  local t=$1 total out
  if stick_is_device "$t"; then
    blockdev --flushbufs "$t" || { stick_fail "dropping the cached pages of $t failed"; return 1; }
  fi
  if ! out=$("$tool" "$t" info 2>&1); then
    echo "$out" >&2
    stick_fail "verify: the boot record of $t does not read back: it does not hold what was written"
    return 1
  fi
  # Counted on an image file: both exports of each item (the tool reads the
  # archive too) and the data partition's side of each file.
  total=$(stick_bytes "$archive" $(cut -f1 "$STICK_WORK/copied"))
  stick_is_device "$t" || total=$((total + $(stick_bytes "$archive")))
  STICK_COUNT=read stick_watch "$t" verifying "$total" stick_compare "$t"
}

# stick_compare T: every item of the carried archive in T's hidden area,
# and every copied file on its data partition, against its source.
stick_compare() {
  local t=$1 fat src dst name bytes bad=0 moved=0
  # Bytes of the items and files already compared, for the progress line
  # on an image file (finished processes no longer count theirs).
  echo 0 >"$STICK_WORK/moved"
  while IFS=$'\t' read -r bytes name; do
    if ! cmp -s <("$tool" "$t" export "$name" 2>/dev/null) <("$tool" "$archive" export "$name"); then
      stick_fail "verify: $name in the hidden area of $t differs from what was written"
      bad=1
    fi
    moved=$((moved + 2 * bytes))
    echo "$moved" >"$STICK_WORK/moved"
  done < <(stick_items "$archive")
  fat=$(stick_fat "$t")
  if stick_is_exfat "$t"; then
    if grep -q $'\texfat$' "$STICK_WORK/copied"; then
      stick_compare_exfat "$t" || bad=1
      moved=$(cat "$STICK_WORK/moved")
    fi
    fat=$(stick_esp "$t")
  fi
  while IFS=$'\t' read -r src dst part; do
    [ "$part" != exfat ] || continue
    if ! cmp -s <(mcopy -n -i "$fat" "::/$dst" - 2>/dev/null) "$src"; then
      if [ "$part" = esp ]; then
        stick_fail "verify: $dst on the EFI system partition of $t differs from $src"
      else
        stick_fail "verify: $dst on $t differs from $src"
      fi
      bad=1
    fi
    moved=$((moved + $(stat -L -c %s "$src")))
    echo "$moved" >"$STICK_WORK/moved"
  done <"$STICK_WORK/copied"
  rm -f "$STICK_WORK/moved"
  return "$bad"
}

# stick_compare_exfat T: the files copied onto T's exFAT partition (slot 1),
# read through exfat-fuse, mounted read-only on a read-only loop device over
# the partition (T's cached pages were dropped before). The mount and the
# loop device go away however the comparison ends.
stick_compare_exfat() (
  t=$1 mnt="" dev="" bad=0
  cleanup() {
    if [ -n "$mnt" ]; then
      ! mountpoint -q "$mnt" || umount "$mnt" || stick_fail "unmounting $mnt failed"
      rmdir "$mnt" 2>/dev/null || true
    fi
    [ -z "$dev" ] || losetup -d "$dev" || stick_fail "detaching $dev failed"
  }
  trap cleanup EXIT
  trap 'exit 1' INT TERM HUP
  start=$(od -An -tu4 -j454 -N4 "$t" | tr -d ' ')
  length=$(od -An -tu4 -j458 -N4 "$t" | tr -d ' ')
  mnt=$(mktemp -d /tmp/qxverify.XXXXXX) || exit 1
  dev=$(losetup -f --show -r -o $((start * 512)) --sizelimit $((length * 512)) "$t") ||
    { dev=""; stick_fail "verify: attaching a loop device over the exFAT partition of $t failed"; exit 1; }
  if ! out=$(mount.exfat-fuse -o ro "$dev" "$mnt" 2>&1); then
    echo "$out" >&2
    stick_fail "verify: the exFAT partition of $t does not mount: it does not hold what was written"
    exit 1
  fi
  moved=$(cat "$STICK_WORK/moved")
  while IFS=$'\t' read -r src dst part; do
    [ "$part" = exfat ] || continue
    if ! cmp -s "$mnt/$dst" "$src"; then
      stick_fail "verify: $dst on the exFAT partition of $t differs from $src"
      bad=1
    fi
    moved=$((moved + $(stat -L -c %s "$src")))
    echo "$moved" >"$STICK_WORK/moved"
  done <"$STICK_WORK/copied"
  exit "$bad"
)

# stick_items ARCHIVE_OR_DISK: the items of a file list, "SIZE<TAB>NAME" a
# line.
stick_items() {
  "$tool" "$1" info | sed -n 's/^ *[0-9][0-9]*[a-z]* *"\(.*\)" 0x[0-9a-f]* \([0-9]*\) (.*)$/\2\t\1/p'
}

# ---------------------------------------------------------------------------
# Several targets: one job each, in parallel, then a table.

# stick_job T: makes (or with --update, updates) one target; its temporary
# files under STICK_WORK.
stick_job() {
  local t=$1
  : >"$STICK_WORK/copied"
  if stick_is_device "$t" && [ "$(blockdev --getro "$t" 2>/dev/null)" != 0 ]; then
    stick_fail "$t is read-only (a write-protect switch?); nothing was written"
    return 1
  fi
  if [ -e "$t" ] && [ ! -w "$t" ]; then
    stick_fail "$t is read-only; nothing was written"
    return 1
  fi
  if [ "$update" -eq 1 ]; then
    stick_update "$t" || return 1
  else
    if ! stick_is_device "$t"; then
      if [ ! -e "$t" ]; then
        truncate -s "${size:-512M}" "$t" || return 1
      elif [ -n "$size" ]; then
        local old new
        old=$(stat -c %s "$t")
        truncate -s "$size" "$t" || return 1
        new=$(stat -c %s "$t")
        [ "$old" -eq "$new" ] || echo "make-stick: $t resized from $old to $new bytes"
      fi
    fi
    stick_format "$t" || return 1
    stick_load "$t" || return 1
    [ -z "$persistence" ] || stick_persistence "$t" || return 1
    stick_copy_files "$t" || return 1
  fi
  stick_flush "$t" || return 1
  if [ "$verify" -eq 1 ]; then
    stick_verify "$t" || return 1
    echo "make-stick: $t reads back as written"
  fi
  "$tool" "$t" info
}

# ---------------------------------------------------------------------------
# --update: refresh a drive that make-stick made, keeping every other file.
#
# The order keeps a drive that boots, old or new, whenever power goes:
#  1. the boot record program, only when it changed (rewritten in place);
#  2. the carried archive, loaded over the items of the same names without
#     emptying the store first: the tool writes new items' data where the
#     list on the drive names nothing and switches lists in one commit, so
#     the old set stays whole until the new one is;
#  3. each of the drive's own files whose bytes changed: written under a
#     temporary name, then renamed over the old one.

# Sums an earlier make-stick wrote for a file (the record on the drive, and
# the versions of the menus in this checkout's history).
stick_known_sums() {  # stick_known_sums PATH [RECORD [HISTORY]]
  local p=$1 rec=${2:-$STICK_WORK/old-record} src=${3-} rev
  [ -s "$rec" ] &&
    awk -v p="$p" '{ h = $1; $1 = ""; sub(/^ +/, ""); if ($0 == p) print h }' "$rec"
  if [ $# -lt 3 ]; then
    case "$p" in
      boot/grub/grub.cfg) src=archive/grub.cfg ;;
      EFI/debian/grub.cfg) src=archive/signed-grub.cfg ;;
    esac
  fi
  [ -n "$src" ] || return 0
  if git rev-parse --git-dir >/dev/null 2>&1; then
    for rev in $(git log --format=%H -- "$src" 2>/dev/null); do
      git show "$rev:$src" 2>/dev/null | sha256sum | cut -d' ' -f1
    done
  fi
  return 0
}

# Every check of --update, before anything is written: the drive has a QX
# boot record and a FAT data partition mtools reads; the tool's update and
# load succeed on a scratch copy of the drive's hidden area (same size,
# sparse), which also tells whether the boot record program changed.
stick_update_plan() {
  local t=$1 start fat bytes scratch out
  if [ "$(od -An -c -j436 -N4 "$t" 2>/dev/null | tr -d ' ')" != QXBF ]; then
    stick_fail "$t is not a drive made by make-stick (no QX boot record); nothing was written"
    return 1
  fi
  start=$(stick_part_start "$t")
  fat=$(stick_fat "$t")
  if stick_is_exfat "$t"; then
    echo exfat >"$STICK_WORK/layout"
    stick_update_plan_exfat "$t" || return 1
  elif [ "$start" -eq 0 ] || ! mdir -i "$fat" ::/ >/dev/null 2>&1; then
    stick_fail "$t has no FAT data partition that can be kept; nothing was written"
    return 1
  elif ! mdir -i "$fat" ::/boot/grub >/dev/null 2>&1; then
    stick_fail "$t has no /boot/grub on its data partition: not a drive made by make-stick; nothing was written"
    return 1
  fi
  bytes=$(stick_size "$t")
  scratch=$STICK_WORK/hidden.img
  truncate -s "$bytes" "$scratch" &&
    dd if="$t" of="$scratch" bs=1M iflag=count_bytes count=$((start * 512)) conv=notrunc,sparse status=none ||
    { stick_fail "reading the hidden area of $t failed"; return 1; }
  cp --sparse=always "$scratch" "$STICK_WORK/before.img"
  if ! out=$("$tool" "$scratch" update 2>&1); then
    stick_fail "$t: the boot record program cannot be updated ($out); nothing was written"
    return 1
  fi
  if cmp -s -n $((start * 512)) "$scratch" "$STICK_WORK/before.img"; then
    echo same >"$STICK_WORK/boot-record"
  else
    echo changed >"$STICK_WORK/boot-record"
  fi
  rm -f "$STICK_WORK/before.img"
  if ! out=$("$tool" "$scratch" load "$archive" 2>&1); then
    stick_fail "$t: the new carried archive does not fit beside the present one ($out); nothing was written"
    return 1
  fi
  rm -f "$scratch"
  [ ! -f "$STICK_WORK/layout" ] || return 0
  # What the drive holds of the own files: EFI/ only when the drive has it.
  if mdir -i "$fat" ::/EFI/BOOT >/dev/null 2>&1; then uefi=1; else uefi=0; fi
  echo "$uefi" >"$STICK_WORK/uefi"
  mcopy -n -i "$fat" "::/$STICK_RECORD" "$STICK_WORK/old-record" 2>/dev/null || : >"$STICK_WORK/old-record"
}

stick_update() {
  local t=$1 fat f have new dst n=0 count
  fat=$(stick_fat "$t")
  if [ "$(cat "$STICK_WORK/boot-record")" = changed ]; then
    "$tool" "$t" update || { stick_fail "updating the boot record program of $t failed"; return 1; }
    echo "make-stick: $t: boot record program updated"
  else
    echo "make-stick: $t: boot record program is up to date"
  fi
  stick_watch "$t" "hidden area" "$(stick_bytes "$archive")" "$tool" "$t" load "$archive" ||
    { stick_fail "loading the carried archive onto $t failed; the drive keeps the previous one"; return 1; }
  if [ -f "$STICK_WORK/layout" ]; then
    stick_update_exfat "$t"
    return
  fi
  uefi=$(cat "$STICK_WORK/uefi")
  stick_own_files >"$STICK_WORK/own"
  count=$(wc -l <"$STICK_WORK/own")
  : >"$STICK_WORK/written"
  : >"$STICK_WORK/staged"
  while IFS= read -r f; do
    n=$((n + 1))
    stick_show_line "boot files: $n of $count"
    new=$(sha256sum <"$stickfs/$f" | cut -d' ' -f1)
    dst=$f
    if have=$(set -o pipefail; mcopy -n -i "$fat" "::/$f" - 2>/dev/null | sha256sum | cut -d' ' -f1); then
      [ "$have" != "$new" ] || continue
      case "$f" in
        *.cfg)
          if ! stick_known_sums "$f" | grep -qx "$have"; then
            # The user's menu stays; ours goes beside it.
            dst=$f.new
            echo "make-stick: $t: $f was edited and is kept; the new one is $dst"
          fi ;;
      esac
    fi
    stick_stage "$fat" "$stickfs/$f" "$dst" || { stick_fail "writing $dst onto $t failed"; return 1; }
    stick_copied "$stickfs/$f" "$dst"
    echo "$dst" >>"$STICK_WORK/staged"
    [ "$dst" != "$f" ] || echo "$f" >>"$STICK_WORK/written"
  done <"$STICK_WORK/own"
  stick_show_done
  # The record holds the sums of this build's files; a kept menu differs
  # from them and so still counts as edited at the next update.
  (cd "$stickfs" && xargs -d '\n' sha256sum --) <"$STICK_WORK/own" >"$STICK_WORK/record" &&
    stick_stage "$fat" "$STICK_WORK/record" "$STICK_RECORD" ||
    { stick_fail "writing $STICK_RECORD onto $t failed"; return 1; }
  echo "$STICK_RECORD" >>"$STICK_WORK/staged"
  # Every staged file on the medium before the first rename.
  stick_flush "$t" || return 1
  while IFS= read -r f; do
    stick_rename "$fat" "$f" || { stick_fail "renaming $f.qxnew onto $f on $t failed"; return 1; }
  done <"$STICK_WORK/staged"
  echo "make-stick: $t: $(wc -l <"$STICK_WORK/written") of the drive's own files refreshed, every other file kept"
}

# ---------------------------------------------------------------------------
# --update of an exFAT drive: the own files on both partitions (see
# stick_exfat_own), each partition with its own record. The exFAT
# partition's files are staged through exfat-fuse, which writes out
# everything it holds on each fsync, so every staged file is on the medium
# before the first is put in place (stick_exfat_replace). The EFI system
# partition's files go as on a FAT drive (stick_stage, stick_rename).

# stick_exfat_mounted T ro|rw FUNC [ARG...]: runs FUNC with STICK_MNT set to
# T's exFAT partition (slot 1), mounted through exfat-fuse on a loop device
# over it. The unmount (which writes out what exfat-fuse holds) and the
# detach happen however FUNC ends; a failure of either fails the call.
stick_exfat_mounted() (
  t=$1 mode=$2 mnt="" dev="" ro=""
  shift 2
  cleanup() {
    local rc=$?
    if [ -n "$mnt" ]; then
      if mountpoint -q "$mnt" && ! umount "$mnt"; then
        stick_fail "unmounting the exFAT partition of $t failed"
        rc=1
      fi
      rmdir "$mnt" 2>/dev/null || true
    fi
    if [ -n "$dev" ] && ! losetup -d "$dev"; then
      stick_fail "detaching $dev failed"
      rc=1
    fi
    exit "$rc"
  }
  trap cleanup EXIT
  trap 'exit 1' INT TERM HUP
  [ "$mode" = rw ] || ro=-r
  start=$(stick_part_start "$t")
  length=$(od -An -tu4 -j458 -N4 "$t" | tr -d ' ')
  mnt=$(mktemp -d /tmp/qxstick.XXXXXX) || exit 1
  dev=$(losetup -f --show $ro -o $((start * 512)) --sizelimit $((length * 512)) "$t") ||
    { dev=""; stick_fail "attaching a loop device over the exFAT partition of $t failed"; exit 1; }
  if ! out=$(mount.exfat-fuse ${ro:+-o ro} "$dev" "$mnt" 2>&1); then
    echo "$out" >&2
    stick_fail "the exFAT partition of $t does not mount"
    exit 1
  fi
  STICK_MNT=$mnt "$@"
)

# stick_sum_line PATH PARTITION: "SUM<TAB>PATH<TAB>PARTITION" of the file
# on standard input.
stick_sum_line() { printf '%s\t%s\t%s\n' "$(sha256sum | cut -d' ' -f1)" "$1" "$2"; }

# What the exFAT partition holds (run mounted): its record, the sums of
# the own files (and of the .new beside a menu) into $STICK_WORK/have, and
# its free bytes.
stick_exfat_survey() {  # stick_exfat_survey T
  local src dst part f
  if [ ! -d "$STICK_MNT/boot/grub" ]; then
    stick_fail "$1 has no /boot/grub on its exFAT partition: not a drive made by make-stick; nothing was written"
    return 1
  fi
  cp "$STICK_MNT/$STICK_RECORD" "$STICK_WORK/old-record.exfat" 2>/dev/null || : >"$STICK_WORK/old-record.exfat"
  while IFS=$'\t' read -r src dst part; do
    [ "$part" = exfat ] || continue
    for f in "$dst" "$dst.new" "$STICK_RECORD"; do
      [ ! -f "$STICK_MNT/$f" ] || stick_sum_line "$f" exfat <"$STICK_MNT/$f" || return 1
    done
  done <"$STICK_WORK/ownmap" | sort -u >>"$STICK_WORK/have"
  df -B1 --output=avail "$STICK_MNT" | tail -1 | tr -d ' ' >"$STICK_WORK/free.exfat"
}

# stick_have PATH PARTITION: the sum of the drive's file, empty when it has
# none.
stick_have() { awk -F'\t' -v p="$1" -v d="$2" '$2 == p && $3 == d { print $1 }' "$STICK_WORK/have"; }

# The repository file whose earlier versions a menu on the drive may be.
stick_menu_history() {  # stick_menu_history PATH PARTITION
  case "$2:$1" in
    exfat:boot/grub/grub.cfg | esp:boot/grub/stick.cfg) echo archive/grub.cfg ;;
    esp:boot/grub/grub.cfg) echo archive/esp-grub.cfg ;;
    esp:EFI/debian/grub.cfg) echo archive/signed-grub.cfg ;;
  esac
}

# Every check of --update on an exFAT drive (from stick_update_plan): both
# partitions are there and readable, and what is to be written, listed in
# $STICK_WORK/plan as "SOURCE<TAB>PATH<TAB>PARTITION", fits beside the old
# files on each.
stick_update_plan_exfat() {
  local t=$1 esp src dst part have new hist on free need f
  esp=$(stick_esp "$t")
  if [ -z "$esp" ] || ! mdir -i "$esp" ::/ >/dev/null 2>&1; then
    stick_fail "$t has an exFAT data partition but no EFI system partition that can be kept; nothing was written"
    return 1
  fi
  if mdir -i "$esp" ::/EFI/BOOT >/dev/null 2>&1; then uefi=1; else uefi=0; fi
  stick_exfat_own >"$STICK_WORK/ownmap" && stick_exfat_records "$STICK_WORK/ownmap" ||
    { stick_fail "reading the boot files failed"; return 1; }
  : >"$STICK_WORK/have"
  stick_exfat_mounted "$t" ro stick_exfat_survey "$t" || return 1
  mcopy -n -i "$esp" "::/$STICK_RECORD" "$STICK_WORK/old-record.esp" 2>/dev/null || : >"$STICK_WORK/old-record.esp"
  while IFS=$'\t' read -r src dst part; do
    [ "$part" = esp ] || continue
    for f in "$dst" "$dst.new" "$STICK_RECORD"; do
      (set -o pipefail; mcopy -n -i "$esp" "::/$f" - 2>/dev/null | stick_sum_line "$f" esp) || true
    done
  done <"$STICK_WORK/ownmap" | sort -u >>"$STICK_WORK/have"
  LC_ALL=C mdir -i "$esp" ::/ 2>/dev/null | sed -n 's/ bytes free$//p' | tr -d ' ' >"$STICK_WORK/free.esp"
  : >"$STICK_WORK/plan"
  : >"$STICK_WORK/notes"
  {
    cat "$STICK_WORK/ownmap"
    printf '%s\t%s\t%s\n' "$STICK_WORK/record.exfat" "$STICK_RECORD" exfat "$STICK_WORK/record.esp" "$STICK_RECORD" esp
  } >"$STICK_WORK/wanted"
  while IFS=$'\t' read -r src dst part; do
    new=$(sha256sum <"$src" | cut -d' ' -f1) || { stick_fail "reading $src failed"; return 1; }
    have=$(stick_have "$dst" "$part")
    [ "$have" != "$new" ] || continue
    case "$dst" in
      *.cfg)
        hist=$(stick_menu_history "$dst" "$part")
        if [ -n "$have" ] && ! stick_known_sums "$dst" "$STICK_WORK/old-record.$part" "$hist" | grep -qx "$have"; then
          # The user's menu stays; ours goes beside it.
          on=""
          [ "$part" = exfat ] || on=" on the EFI system partition"
          echo "make-stick: $t: $dst$on was edited and is kept; the new one is $dst.new" >>"$STICK_WORK/notes"
          [ "$(stick_have "$dst.new" "$part")" != "$new" ] || continue
          dst=$dst.new
        fi ;;
    esac
    printf '%s\t%s\t%s\n' "$src" "$dst" "$part" >>"$STICK_WORK/plan"
  done <"$STICK_WORK/wanted"
  # The staged files lie beside the old ones until the renames: each
  # partition must hold them (a cluster more each, at most 1 MiB).
  for part in exfat esp; do
    need=0
    while IFS=$'\t' read -r src dst on; do
      [ "$on" = "$part" ] && need=$((need + $(stat -L -c %s "$src") + 1048576))
    done <"$STICK_WORK/plan"
    free=$(cat "$STICK_WORK/free.$part")
    if [ "${free:-0}" -lt "$need" ]; then
      on="exFAT partition"
      [ "$part" = exfat ] || on="EFI system partition"
      stick_fail "the $on of $t has $(stick_mib "${free:-0}") free and the new files need $(stick_mib "$need") beside the old ones; nothing was written"
      return 1
    fi
  done
}

# Stages the exFAT partition's planned files as PATH.qxnew (run mounted
# rw); each fsync makes exfat-fuse write out all it holds.
stick_exfat_stage() {
  local src dst part staged=()
  while IFS=$'\t' read -r src dst part; do
    [ "$part" = exfat ] || continue
    if ! { mkdir -p "$(dirname "$STICK_MNT/$dst")" && cp "$src" "$STICK_MNT/$dst.qxnew"; }; then
      stick_fail "writing $dst failed"
      return 1
    fi
    staged+=("$STICK_MNT/$dst.qxnew")
  done <"$STICK_WORK/plan"
  sync "${staged[@]}" || { stick_fail "writing out the staged files failed"; return 1; }
}

# Renames the staged files listed in $STICK_WORK/renames (run mounted rw),
# each written out before the next.
stick_exfat_rename() {
  local dst
  while IFS= read -r dst; do
    if ! { mv -fT "$STICK_MNT/$dst.qxnew" "$STICK_MNT/$dst" && sync "$STICK_MNT/$dst"; }; then
      stick_fail "renaming $dst.qxnew onto $dst failed"
      return 1
    fi
  done <"$STICK_WORK/renames"
}

# The staged files put in place on the unmounted exFAT partition: an old
# file by exfatreplace.py, in flushed steps; a new one (or one whose
# directory entries exfatreplace.py cannot swap in one sector) renamed
# through exfat-fuse.
stick_exfat_replace() {  # stick_exfat_replace T
  local t=$1 src dst part out rc
  : >"$STICK_WORK/renames"
  while IFS=$'\t' read -r src dst part; do
    [ "$part" = exfat ] || continue
    rc=0
    out=$(python3 "$STICK_LIB/exfatreplace.py" "$t" $(($(stick_part_start "$t") * 512)) "$dst" "$dst.qxnew" 2>&1) || rc=$?
    case $rc in
      0) ;;
      3 | 4) echo "$dst" >>"$STICK_WORK/renames" ;;
      *) echo "$out" >&2; stick_fail "replacing $dst failed"; return 1 ;;
    esac
  done <"$STICK_WORK/plan"
  [ ! -s "$STICK_WORK/renames" ] || stick_exfat_mounted "$t" rw stick_exfat_rename
}

stick_update_exfat() {
  local t=$1 esp src dst part
  esp=$(stick_esp "$t")
  cat "$STICK_WORK/notes"
  if grep -q $'\texfat$' "$STICK_WORK/plan"; then
    if ! stick_exfat_mounted "$t" rw stick_exfat_stage || ! stick_exfat_replace "$t"; then
      stick_fail "refreshing the files on the exFAT partition of $t failed"
      return 1
    fi
  fi
  if grep -q $'\tesp$' "$STICK_WORK/plan"; then
    while IFS=$'\t' read -r src dst part; do
      [ "$part" = esp ] || continue
      stick_stage "$esp" "$src" "$dst" ||
        { stick_fail "writing $dst onto the EFI system partition of $t failed"; return 1; }
    done <"$STICK_WORK/plan"
    stick_flush "$t" || return 1
    while IFS=$'\t' read -r src dst part; do
      [ "$part" = esp ] || continue
      stick_rename "$esp" "$dst" ||
        { stick_fail "renaming $dst.qxnew onto $dst on the EFI system partition of $t failed"; return 1; }
    done <"$STICK_WORK/plan"
  fi
  while IFS=$'\t' read -r src dst part; do stick_copied "$src" "$dst" "$part"; done <"$STICK_WORK/plan"
  echo "make-stick: $t: $(grep -cv $'\\.new\t\\|\t'"$STICK_RECORD"$'\t' "$STICK_WORK/plan") of the drive's own files refreshed, every other file kept"
}
