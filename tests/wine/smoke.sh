#!/usr/bin/env bash
# Smoke tests of the Windows build under wine: usage, version, an error, and
# reading a disk that the Linux build laid out. Usage: smoke.sh WIN_EXE LINUX_BIN
# Exit status 77 (skipped) when something needed is missing; under CI=true
# that is a failure instead.
set -u
skip() {
  echo "SKIP: $*"
  [ "${CI:-}" = true ] && { echo "FAIL: CI=true, so a missing tool is a failure"; exit 1; }
  exit 77
}
[ "${1:-}" = --missing ] && skip "${2:-}"
exe=$1 linux=$2
command -v wine >/dev/null || skip "wine is not installed (scripts/setup installs it)"
[ -f "$exe" ] || { echo "FAIL: $exe was not built"; exit 1; }
work=$(mktemp -d /tmp/qxwine.XXXXXX)
trap 'rm -rf "$work"' EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all
wineboot -i >/dev/null 2>&1 || true
fails=0 passes=0
check() {  # name, expected, actual
  if [ "$2" == "$3" ]; then passes=$((passes+1)); else
    fails=$((fails+1)); echo "FAIL: $1"; echo "  expected: $(printf %q "$2")"; echo "  actual:   $(printf %q "$3")"; fi
}
run() { wine "$exe" "$@" >"$work/out" 2>"$work/err"; echo $? >"$work/rc"; }

run -V
check "version status" 1 "$(cat "$work/rc")"
check "version line" "qxtool version : 1.6 build 1" "$(tr -d '\r' <"$work/err")"

run -h
"$linux" -h >"$work/out.linux" 2>/dev/null
check "help status" 1 "$(cat "$work/rc")"
check "usage text equals the Linux build's" "$(md5sum <"$work/out.linux")" "$(md5sum <"$work/out")"

run "$work/none.img" frobnicate
check "unknown command status" 1 "$(cat "$work/rc")"
check "unknown command message" "qxtool: error: Invalid command frobnicate" "$(tr -d '\r' <"$work/err")"

# A disk laid out by the Linux build, read and listed by the Windows build.
truncate -s 64M "$work/disk.img"
"$linux" "$work/disk.img" format >/dev/null 2>&1 || { echo "FAIL: linux format"; exit 1; }
printf 'hello from linux\n' >"$work/hello.txt"
if "$linux" "$work/disk.img" add hello.txt "$work/hello.txt" >/dev/null 2>&1; then
  run "$work/disk.img" cat hello.txt
  check "cat status" 0 "$(cat "$work/rc")"
  check "cat of a file the Linux build stored" "hello from linux" "$(tr -d '\r' <"$work/out" | head -1)"
fi
"$linux" "$work/disk.img" info >"$work/info.linux" 2>&1
run "$work/disk.img" info
check "info status" 0 "$(cat "$work/rc")"
check "info equals the Linux build's" "$(md5sum <"$work/info.linux")" "$(md5sum <"$work/out")"

# Writing from Windows, reading back on Linux.
run "$work/disk.img" update
check "update status" 0 "$(cat "$work/rc")"
"$linux" "$work/disk.img" info >/dev/null 2>&1
check "linux reads the disk after the windows update" 0 "$?"
# A new volume ID set from Windows: the same bytes the Linux build writes.
cp "$work/disk.img" "$work/disk2.img"
run "$work/disk.img" volume-id 0x1A2B3C4D
check "volume-id status" 0 "$(cat "$work/rc")"
"$linux" "$work/disk2.img" volume-id 0x1A2B3C4D >/dev/null 2>&1
check "volume-id from windows writes what the linux build writes" "0 0" \
  "$?$(cmp -s "$work/disk.img" "$work/disk2.img"; echo " $?")"
rm -f "$work/disk2.img"

# A two-character name is a drive letter only with its colon: an image
# named "c1" is a file, even where a drive C: exists.
truncate -s 16M "$work/c1"
(cd "$work" && run c1 format)
check "format of an image named c1: status" 0 "$(cat "$work/rc")"
"$linux" "$work/c1" info >"$work/info.linux" 2>&1
check "linux reads the image named c1 that windows formatted" 0 "$?"
(cd "$work" && run c1 info)
check "info of an image named c1 equals the Linux build's" "$(md5sum <"$work/info.linux")" "$(md5sum <"$work/out")"

# While one run changes the image (it stays in the middle of reading its
# standard input), another run neither changes nor reads it. The first run
# has the image open once it has taken bytes from the pipe: a write larger
# than the pipe's buffer returns only then.
mkfifo "$work/pipe"
wine "$exe" "$work/disk.img" add held <"$work/pipe" >"$work/held.out" 2>"$work/held.err" &
held=$!
exec 3>"$work/pipe"
head -c 300000 /dev/urandom >"$work/held.bin"
cat "$work/held.bin" >&3
run "$work/disk.img" add y "$work/hello.txt"
check "second writer: status" 1 "$(cat "$work/rc")"
check "second writer: message" "qxtool: error: $work/disk.img is in use by another run" "$(tr -d '\r' <"$work/err")"
run "$work/disk.img" info
check "reader during a write: status" 1 "$(cat "$work/rc")"
check "reader during a write: message" "qxtool: error: $work/disk.img is in use by another run" "$(tr -d '\r' <"$work/err")"
(cd "$work" && run c1 load "$work/disk.img")
check "a run that would read the image as an archive: status" 1 "$(cat "$work/rc")"
check "a run that would read the image as an archive: message" "qxtool: error: $work/disk.img is in use by another run" "$(tr -d '\r' <"$work/err")"
exec 3>&-
wait "$held"
check "first writer: status" 0 "$?"
"$linux" "$work/disk.img" export held "$work/held.out.bin" >/dev/null 2>&1
check "first writer's file exports its bytes" "$(md5sum <"$work/held.bin")" "$(md5sum <"$work/held.out.bin" 2>/dev/null)"
"$linux" "$work/disk.img" export y "$work/y.out" >/dev/null 2>&1
check "the refused writer stored nothing" 1 "$?"

# While one run reads the image (its export waits on a full pipe), other
# readers share it and a writer is told it is in use.
mkfifo "$work/outpipe"
wine "$exe" "$work/disk.img" export held >"$work/outpipe" 2>"$work/reader.err" &
reader=$!
exec 4<"$work/outpipe"
dd bs=1 count=1 <&4 >"$work/first.byte" 2>/dev/null
run "$work/disk.img" info
check "second reader shares the image: status" 0 "$(cat "$work/rc")"
run "$work/disk.img" add y "$work/hello.txt"
check "writer during a read: status" 1 "$(cat "$work/rc")"
check "writer during a read: message" "qxtool: error: $work/disk.img is in use by another run" "$(tr -d '\r' <"$work/err")"
cat "$work/first.byte" - <&4 >"$work/read.bin"
exec 4<&-
wait "$reader"
check "first reader: status" 0 "$?"
check "first reader exports the bytes" "$(md5sum <"$work/held.bin")" "$(md5sum <"$work/read.bin")"

echo "$passes passed, $fails failed"
[ "$fails" -eq 0 ]
