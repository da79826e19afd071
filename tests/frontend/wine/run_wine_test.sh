#!/usr/bin/env bash
# The front end end to end under wine, in a virtual X screen, in a Chinese
# (code page 936) locale, with a fresh wine prefix of its own:
#   - the main window opens with every control of its dialog in place and
#     its Chinese texts; a screenshot is kept as an artifact;
#   - the drive list shows the removable drive E:, backed by an image file
#     this test creates, and not the fixed or optical drives;
#   - start without a choice, start with a script file that cannot be
#     written, and full runs in both boot modes: the carried files and the
#     script (bytes checked) land in the system directory, the script runs
#     the disk tool three times and the removal panel, the eject request
#     follows, a removal asks for re-insertion, an arrival brings progress
#     100, the success notice and the home page in the registered browser;
#   - the link text opens the help site; the about box opens;
#   - closing the window deletes the three files.
# A stand-in program records what the "browser" is asked to open.
#
# Usage: run_wine_test.sh FRONTEND_BUILD_DIR TOOL_EXE ARCHIVE OUTDIR
#        run_wine_test.sh --missing REASON
# Exit status 77 (skipped) when a needed program is missing.
set -u -o pipefail

if [ "${1:-}" = --missing ]; then
    echo "SKIPPED: ${2:-}"
    exit 77
fi
for prog in wine wineserver xvfb-run Xvfb import convert localedef iconv cmp; do
    if ! command -v "$prog" >/dev/null 2>&1; then
        echo "SKIPPED: $prog is not installed (scripts/setup installs it)"
        exit 77
    fi
done

FRONT_DIR=$1 TOOL_EXE=$2 ARCHIVE=$3 OUT=$4

if [ -z "${QXW_IN_XVFB:-}" ]; then
    rm -rf "$OUT"
    mkdir -p "$OUT"
    export QXW_IN_XVFB=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

work=$(mktemp -d /tmp/qxfront-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LOCPATH=$work/locale LANG=zh_CN.UTF-8
unset LC_ALL
front_pid=

cleanup() {
    [ -n "$front_pid" ] && kill "$front_pid" 2>/dev/null
    wineserver -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

passed=0 failed=0
ok() { passed=$((passed + 1)); echo "ok: $*"; }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then ok "$what"; else bad "$what"; fi
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ] && exit 0
    exit 1
}
die() {
    bad "$*"
    finish
}

drv() { wine 'C:\qxtest\wdriver.exe' "$@" 2>/dev/null | tr -d '\r'; }
# The lines a driver action printed, kept for the artifacts as well.
drv_log() { drv "$@" | tee -a "$OUT/driver.log"; }

sys32=$WINEPREFIX/drive_c/windows/system32
carried_gone() { [ ! -e "$sys32/qxtool.exe" ] && [ ! -e "$sys32/edit1.6.qxa" ] && [ ! -e "$sys32/command.bat" ]; }

# --- the prefix --------------------------------------------------------------------
mkdir -p "$LOCPATH"
localedef -i zh_CN -f UTF-8 "$LOCPATH/zh_CN.UTF-8" >/dev/null 2>&1 ||
    die "the zh_CN.UTF-8 locale could not be made"
wineboot -i >/dev/null 2>&1
wineserver -w
# Only drives this test made: C: (the prefix's own), D: an empty folder as
# an optical drive, E: a removable drive on an image file.
for d in "$WINEPREFIX"/dosdevices/*:; do
    [ "$(basename "$d")" = c: ] || rm -f "$d"
done
truncate -s 256M "$work/vol.img"
mkdir -p "$work/e" "$work/d" "$WINEPREFIX/drive_c/qxtest"
ln -s "$work/vol.img" "$WINEPREFIX/dosdevices/e::"
ln -s "$work/e" "$WINEPREFIX/dosdevices/e:"
ln -s "$work/d" "$WINEPREFIX/dosdevices/d:"
cp "$FRONT_DIR/qxfront.exe" "$FRONT_DIR/wdriver.exe" "$FRONT_DIR/wrecorder.exe" "$WINEPREFIX/drive_c/qxtest/"
{
    echo 'REGEDIT4'
    echo '[HKEY_LOCAL_MACHINE\Software\Wine\Drives]'
    echo '"d:"="cdrom"'
    echo '"e:"="floppy"'
    echo '[HKEY_CURRENT_USER\Software\Wine\Explorer]'
    echo '"Desktop"="Default"'
    echo '[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]'
    echo '"Default"="1024x768"'
    echo '[HKEY_CLASSES_ROOT\htmlfile\shell\open\command]'
    echo "@=\"\\\"C:\\\\qxtest\\\\wrecorder.exe\\\" -nohome\""
    echo '[HKEY_CLASSES_ROOT\https\shell\open\command]'
    echo "@=\"\\\"C:\\\\qxtest\\\\wrecorder.exe\\\" \\\"%1\\\"\""
} > "$WINEPREFIX/drive_c/setup.reg"
wine regedit /S 'C:\setup.reg' >/dev/null 2>&1 || die "the registry settings could not be made"
wineserver -w
reclog=$WINEPREFIX/drive_c/qxtest/recorder.log

# --- the expected script ---------------------------------------------------------------
# Written here in UTF-8 and turned into code page 936, the ANSI code page of
# the locale.
script() {  # script ZIP(0|1)
    local fmt='format  --extended  100m  --force  --align  --primary  8m'
    [ "$1" = 1 ] && fmt='format  --extended  100m  --force  --zip --align  --primary  8m'
    printf '%s\r\n' '@echo off' 'path=C:\windows\system32' \
        'Echo 　　　    ──—系统正在制作U盘系统请等待自动结束──' \
        "qxtool E: $fmt" 'qxtool E: clear' 'qxtool E: load "C:\windows\system32\edit1.6.qxa"' \
        'Echo 　　　    ──—请弹出你的U盘──' | iconv -f UTF-8 -t CP936
    printf '%s' 'control hotplug.dll'
}
script 0 > "$work/expected-hdd.bat"
script 1 > "$work/expected-zip.bat"

# --- raw access behind a drive letter -----------------------------------------------------
# Run the carried disk tool once directly on E:, as the script will. Wine
# does not support every raw-volume operation; when this trial fails the
# image cannot be checked after the script's run, and the test says so.
cp "$TOOL_EXE" "$WINEPREFIX/drive_c/qxtest/qxtool.exe"
raw_msg=$(cd "$work" && wine 'C:\qxtest\qxtool.exe' E: format --extended 100m --force --align --primary 8m 2>&1 | tr -d '\r' | tail -1)
raw_ok=
if [ "$(od -An -tx1 -j510 -N2 "$work/vol.img" | tr -d ' ')" = 55aa ]; then
    raw_ok=1
else
    raw_msg=${raw_msg:-no message}
fi
rm -f "$WINEPREFIX/drive_c/qxtest/qxtool.exe" "$work/vol.img"
truncate -s 256M "$work/vol.img"

# --- the window ----------------------------------------------------------------------------
(cd "$work" && WINEDEBUG=+process exec wine 'C:\qxtest\qxfront.exe' >/dev/null 2>"$OUT/front.trace") &
front_pid=$!

drv_log wait-window 90 | grep '^window: KorvaniW1.0网络版$' >/dev/null || die "the main window did not open"
ok "the main window opens with its title"
drv_log layout > "$work/layout.txt"
check "every control of the main window in place (order, id, class, text, place, size, style)" \
    grep -q '^layout: 0 mismatches$' "$work/layout.txt"
cat "$work/layout.txt"

drv_log state > "$work/state.txt"
check "only the removable drive is listed" grep -qx 'drives: E:\\' "$work/state.txt"
check "the placeholder text shows, nothing selected" \
    grep -qx 'edit: 请选择可移动磁盘' "$work/state.txt"
check "progress 0 in the range 0 to 100" \
    bash -c "grep -qx 'progress: 0' '$work/state.txt' && grep -qx 'range: 0 100' '$work/state.txt'"
check "USB-HDD checked, USB-ZIP not, the hidden radio unused" \
    bash -c "grep -qx 'radio 1015: 1' '$work/state.txt' && grep -qx 'radio 1016: 0' '$work/state.txt' && grep -qx 'radio 1014: 0' '$work/state.txt'"

sleep 1
import -window root "$OUT/main-window.png"
# The link text is drawn in pure red.
convert=$(command -v convert-im6.q16 || command -v convert)
red=$("$convert" "$OUT/main-window.png" -fill black +opaque '#FF0000' -fill white -opaque '#FF0000' \
      -format '%[fx:round(mean*w*h)]' info: 2>/dev/null)
check "screenshot kept, the link text drawn red ($red red pixels)" test "${red:-0}" -gt 40

drv_log about > "$work/about.txt"
check "the about box opens from the system menu and closes" \
    grep -q '\[qxtool 1.0 版\]\[确定\]' "$work/about.txt"

# --- start without a choice ------------------------------------------------------------------
drv click 1002 >/dev/null
drv_log wait-box '请选择可移动磁盘!' 20 > "$work/box.txt"
check "start without a drive: the no-drive message, OK only, no icon" \
    grep -qx 'box: title=qxfront owner=main ok=1 cancel=0 icon=0' "$work/box.txt"
drv ok-box '请选择可移动磁盘!' >/dev/null
check "start without a drive writes nothing" carried_gone
drv state | grep -qx 'progress: 0' && ok "progress still 0" || bad "progress moved without a drive"

# --- a script file that cannot be written ------------------------------------------------------
mkdir "$sys32/command.bat"
drv select 'E:\' >/dev/null
drv click 1002 >/dev/null
drv_log wait-box 'C:\windows\system32\command.bat*' 60 > "$work/box.txt"
check "an unwritable script: the system's report naming the file, with a stop icon" \
    grep -q 'icon=1' "$work/box.txt"
drv ok-box 'C:\windows\system32\command.bat*' >/dev/null
drv state | grep -qx 'progress: 50' && ok "progress stays at 50" || bad "progress after the failed script"
check "nothing was run" bash -c "! grep -q 'hotplug' '$OUT/front.trace'"
rmdir "$sys32/command.bat"

# --- a full run, USB-HDD ---------------------------------------------------------------------------
drv select 'E:\' >/dev/null
drv click 1002 >/dev/null
drv_log wait-box '请弹出你的U盘!' 300 > "$work/box.txt" || die "no eject request after the run"
ok "the eject request follows the script run"
drv state | grep -qx 'progress: 90' && ok "progress 90" || bad "progress after the run"
check "qxtool.exe is the carried disk tool" cmp -s "$TOOL_EXE" "$sys32/qxtool.exe"
check "edit1.6.qxa is the carried archive" cmp -s "$ARCHIVE" "$sys32/edit1.6.qxa"
cp "$sys32/command.bat" "$OUT/command-hdd.bat"
check "command.bat holds the USB-HDD script for E: (bytes)" cmp "$work/expected-hdd.bat" "$sys32/command.bat"
# The processes the script started, as wine's process trace shows them.
while IFS= read -r line; do
    check "the script ran: ${line#*cmdline }" grep -qF "$line" "$OUT/front.trace"
done <<'TRACE'
app L"C:\\windows\\system32\\qxtool.exe" cmdline L"qxtool E: format  --extended  100m  --force  --align  --primary  8m"
app L"C:\\windows\\system32\\qxtool.exe" cmdline L"qxtool E: clear"
app L"C:\\windows\\system32\\qxtool.exe" cmdline L"qxtool E: load \"C:\\windows\\system32\\edit1.6.qxa\""
app L"C:\\windows\\system32\\control.exe" cmdline L"control hotplug.dll"
TRACE
# When the disk tool can work on the drive behind E: under this wine (see
# the trial run before the window opened), the script's run has laid the
# image out: it carries a boot record.
if [ -n "$raw_ok" ]; then
    sig=$(od -An -tx1 -j510 -N2 "$work/vol.img" | tr -d ' ')
    check "the script's disk tool formatted the drive's image (boot signature $sig)" test "$sig" = 55aa
else
    echo "note: under this wine the disk tool cannot work on the drive behind E: ($raw_msg);"
    echo "note: the drive image after the script's run is therefore not checked"
fi

drv ok-box '请弹出你的U盘!' >/dev/null
drv device removal > "$work/dev.txt" &
dev=$!
drv_log wait-box '请重新插入你的U盘即可!' 20 > "$work/box.txt"
check "a removal asks for re-insertion" grep -q 'title=qxfront owner=main ok=1 cancel=0 icon=0' "$work/box.txt"
drv ok-box '请重新插入你的U盘即可!' >/dev/null
wait "$dev"
check "the removal is answered with true" grep -qx 'device: answered 1' "$work/dev.txt"

drv device arrival > "$work/dev.txt" &
dev=$!
drv_log wait-box '恭喜你,U盘系统制作成功!' 20 > "$work/box.txt"
check "an arrival brings the success notice" grep -q 'title=qxfront' "$work/box.txt"
drv state | grep -qx 'progress: 100' && ok "progress 100" || bad "progress at the success notice"
drv ok-box '恭喜你,U盘系统制作成功!' >/dev/null
wait "$dev"
check "the arrival is answered with true" grep -qx 'device: answered 1' "$work/dev.txt"
for i in $(seq 50); do [ -s "$reclog" ] && break; sleep 0.2; done
check "the home page opens in the registered browser, address right behind the program" \
    grep -qxF '"C:\qxtest\wrecorder.exe"korvani.example' <(tr -d '\r' < "$reclog" 2>/dev/null)

drv device arrival > "$work/dev.txt"
check "a further arrival is answered with true at once" grep -qx 'device: answered 1' "$work/dev.txt"
if drv wait-box '恭喜你,U盘系统制作成功!' 2 >/dev/null; then
    bad "a further arrival showed the success notice again"
else
    ok "a further arrival is ignored"
fi

# --- the link ----------------------------------------------------------------------------------------
: > "$reclog"
drv link-click >/dev/null
for i in $(seq 50); do [ -s "$reclog" ] && break; sleep 0.2; done
check "the link text opens the help site" grep -qF 'https://korvani.example/usage/' "$reclog"

# --- a second run, USB-ZIP ---------------------------------------------------------------------------
drv click 1016 >/dev/null
sleep 1
drv state > "$work/state.txt"
check "USB-ZIP checked, USB-HDD cleared" \
    bash -c "grep -qx 'radio 1015: 0' '$work/state.txt' && grep -qx 'radio 1016: 1' '$work/state.txt'"
drv select 'E:\' >/dev/null
drv click 1002 >/dev/null
drv wait-box '请弹出你的U盘!' 300 >/dev/null || die "no eject request after the second run"
cp "$sys32/command.bat" "$OUT/command-zip.bat"
check "command.bat holds the USB-ZIP script for E: (bytes)" cmp "$work/expected-zip.bat" "$sys32/command.bat"
drv ok-box '请弹出你的U盘!' >/dev/null

# --- exit ---------------------------------------------------------------------------------------------
drv close >/dev/null
drv wait-gone 20 || bad "the window did not close"
for i in $(seq 100); do kill -0 "$front_pid" 2>/dev/null || break; sleep 0.2; done
kill -0 "$front_pid" 2>/dev/null && bad "the program did not end"
front_pid=
check "closing deletes qxtool.exe, edit1.6.qxa and command.bat" carried_gone

finish
