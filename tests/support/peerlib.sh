# Shell helpers for the suites that check qxtool's volumes with the
# system's own tools. Sourced after Q and mode are set:
#
#   . peerlib.sh STEM
#
# gives a fresh work directory in $work (under /dev/shm where it can be,
# since some volumes write large FATs, else under /tmp; its name starts
# with STEM), removed at exit with every loop device in loops detached and
# the mount point in mnt, if set, unmounted.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  work=$(mktemp -d "/dev/shm/$1.XXXXXX")
else
  work=$(mktemp -d "/tmp/$1.XXXXXX")
fi
loops=()
mnt=
cleanup() {
  [ -n "$mnt" ] && umount "$mnt" 2>/dev/null
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
# Skips the run unless every tool named after the hint (which says where
# the tools come from) is installed.
need_tools() {
  local hint=$1 tool
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip "$tool not installed ($hint)"
  done
}

# A fresh sparse image of N sectors.
blank() { rm -f "$1"; truncate -s $(($2 * 512)) "$1"; }

# u32 at byte offset $2 of file $1.
u32() { od -An -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }

loop_usable() { [ -w /dev/loop-control ] && command -v losetup >/dev/null; }

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
