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

# A loop device over sectors START to START+SIZE-1 of IMG (read-only unless
# a fourth word "rw" is given); the name goes to $dev, empty where none
# could be attached.
attach() {
  local ro=-r
  [ "${4:-}" = rw ] && ro=
  dev=$(losetup -f --show $ro -o $(($2 * 512)) --sizelimit $(($3 * 512)) "$1" 2>/dev/null) || dev=
  [ -n "$dev" ] && loops+=("$dev")
}
detach() {
  losetup -d "$1"
  local keep=() l
  for l in "${loops[@]}"; do [ "$l" != "$1" ] && keep+=("$l"); done
  loops=("${keep[@]}")
}

# CHECKER -n (fsck.fat or fsck.exfat) on the volume of SIZE sectors from
# sector START of IMG: in place, through a read-only loop device over
# exactly its sectors; where loop devices are not usable, on a copy of its
# first META sectors (all the metadata of the volumes checked) in a sparse
# file of the volume's size. Leaves the checker's output in out and its
# status in st.
fsck_volume() {
  local checker=$1 img=$2 start=$3 size=$4 meta=$5
  dev=
  loop_usable && attach "$img" "$start" "$size"
  if [ -n "$dev" ]; then
    out=$("$checker" -n "$dev" 2>&1)
    st=$?
    detach "$dev"
  else
    local copy=$work/volume.img
    [ "$size" -lt "$meta" ] && meta=$size
    blank "$copy" "$size"
    dd if="$img" of="$copy" bs=512 skip="$start" count="$meta" conv=notrunc,sparse status=none
    out=$("$checker" -n "$copy" 2>&1)
    st=$?
    rm -f "$copy"
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
