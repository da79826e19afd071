#!/usr/bin/env bash
# The front end end to end under wine, in a virtual X screen, in a Chinese
# (code page 936) locale, with a fresh wine prefix of its own:
#   - the program file carries its manifest (administrator rights, supported
#     systems, DPI awareness, common controls 6) and its version strings,
#     and every boot file the build made for the stick's data partition;
#   - the main window opens with every control of its dialog in place and
#     its Chinese texts; a screenshot is kept as an artifact; the keyboard
#     reaches both mode radios; the about box is centred;
#   - the drive list shows the removable drive E:, backed by an image file
#     this test creates, and not the fixed or optical drives;
#   - start without a choice; start asks before erasing, naming the drive,
#     Cancel the default, and Cancel writes nothing; a script file that
#     cannot be written; the real run, whose disk tool cannot work on the
#     drive under wine, ends with its failure message and never with the
#     eject request;
#   - the same program carrying a stand-in disk tool (the follow-up needs
#     runs that succeed): device events during the run are answered and do
#     not count; the eject request, a removal asking for re-insertion, an
#     arrival closing both, giving the drive a volume ID from the random
#     source (each run another) and bringing the stick's boot files onto
#     the drive, progress 100, the success notice and the home page in the
#     registered browser; a step that fails stops the run with its message;
#     a volume ID that cannot be set and boot files that cannot be written
#     are reported instead of success;
#     the link text opens the help site; both boot modes' scripts (bytes);
#   - closing the window, also while a box is open, ends the program and
#     deletes the carried files.
# A stand-in program records what the "browser" is asked to open.
#
# Usage: run_wine_test.sh FRONTEND_BUILD_DIR TOOL_EXE ARCHIVE OUTDIR STICK_LIST STICK_DIR
#        run_wine_test.sh --missing REASON
# Exit status 77 (skipped) when a needed program is missing; under CI=true
# that is a failure instead.
set -u -o pipefail

skip() {
    echo "SKIPPED: $*"
    [ "${CI:-}" = true ] && { echo "FAIL: CI=true, so a missing tool is a failure"; exit 1; }
    exit 77
}
[ "${1:-}" = --missing ] && skip "${2:-}"
for prog in wine wineserver xvfb-run Xvfb xauth import convert localedef iconv cmp x86_64-w64-mingw32-nm; do
    command -v "$prog" >/dev/null 2>&1 || skip "$prog is not installed (scripts/setup installs it)"
done

FRONT_DIR=$1 TOOL_EXE=$2 ARCHIVE=$3 OUT=$4 STICK_LIST=$5 STICK_DIR=$6
# The small tree of stick files the stand-in variant carries.
SRC_WINE=$(cd "$(dirname "$0")" && pwd)

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
carried_gone() {
    [ ! -e "$sys32/qxtool.exe" ] && [ ! -e "$sys32/edit1.6.qxa" ] && [ ! -e "$sys32/command.bat" ] &&
        [ ! -e "$sys32/qxtool.log" ]
}

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
# The variant with the stand-in disk tool, under the same file name (the
# boxes are titled with it).
mkdir -p "$WINEPREFIX/drive_c/qxtest/alt"
cp "$FRONT_DIR/qxfront_standin.exe" "$WINEPREFIX/drive_c/qxtest/alt/qxfront.exe"
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
    local log=' 2>"C:\windows\system32\qxtool.log"'
    printf '%s\r\n' '@echo off' 'path=C:\windows\system32' \
        'Echo 　　　    ──—系统正在制作U盘系统请等待自动结束──' \
        "qxtool E: $fmt$log" 'if errorlevel 1 exit 1' "qxtool E: clear$log" 'if errorlevel 1 exit 2' \
        "qxtool E: load \"C:\\windows\\system32\\edit1.6.qxa\"$log" 'if errorlevel 1 exit 3' \
        'Echo 　　　    ──—请弹出你的U盘──' 'control hotplug.dll' | iconv -f UTF-8 -t CP936
    printf '%s' 'exit 0'
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

# --- the program file ----------------------------------------------------------------------
drv_log resources 'C:\qxtest\qxfront.exe' > "$work/res.txt"
while IFS='|' read -r what pattern; do
    check "$what" grep -qF -- "$pattern" "$work/res.txt"
done <<'RESOURCES'
the manifest asks for administrator rights|requestedExecutionLevel level="requireAdministrator"
the manifest names Windows 10 and 11|supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
the manifest names Windows 7|supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"
the manifest declares DPI awareness|<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>
the manifest asks for common controls 6|name="Microsoft.Windows.Common-Controls" version="6.0.0.0"
the version resource gives the file version|version: file 1.0.0.0
the version strings give the product|version: ProductName=KorvaniW
the version strings give the file version|version: FileVersion=1.0.0.0
the version strings give the description|version: FileDescription=KorvaniW U盘启动盘制作工具
RESOURCES
# (The prefix has no Z: drive: the files go below C:.)
carried=$WINEPREFIX/drive_c/qxtest/carried
mkdir -p "$carried"
drv_log stick-files 'C:\qxtest\qxfront.exe' 'C:\qxtest\carried' > "$work/stick.txt"
n=0
while IFS= read -r f; do
    [ -n "$f" ] || continue
    n=$((n + 1))
    cmp -s "$STICK_DIR/$f" "$carried/$f" || bad "the program carries the stick's boot file $f as built"
done < "$STICK_LIST"
check "the program carries all $n boot files the build made for the stick" \
    test "$n" -gt 0 -a "$(grep -c '^stick-file: ' "$work/stick.txt")" = "$n"

# --- the window ----------------------------------------------------------------------------
start_front() {  # start_front 'C:\path\qxfront.exe'
    (cd "$work" && WINEDEBUG=+process exec wine "$1" >/dev/null 2>"$OUT/front.trace") &
    front_pid=$!
    drv_log wait-window 90 | grep '^window: KorvaniW1.0网络版$' >/dev/null || die "the main window did not open"
}
stop_front() {  # closes the window, also with boxes open; the program must end
    drv close >/dev/null
    drv wait-gone 20 || bad "the window did not close"
    for i in $(seq 100); do kill -0 "$front_pid" 2>/dev/null || break; sleep 0.2; done
    if kill -0 "$front_pid" 2>/dev/null; then bad "the program did not end"; else ok "the program ended"; fi
    front_pid=
    check "closing deleted the carried files and the step log" carried_gone
}
# Presses start for E: and answers the confirmation with OK.
start_run() {
    drv select 'E:\' >/dev/null
    drv click 1002 >/dev/null
    drv ok-box '即将清除*' >/dev/null || bad "no confirmation to answer"
}
# The text of the one box of a wait-box output, all its lines.
box_text() { awk '/^box: title=/ { exit } sub(/^box: text=/, "") || p { p = 1; print }' "$1"; }
# Checks the progress bar's position, showing it when it is not the one.
progress_is() {  # progress_is WHAT POS
    local got
    got=$(drv state | sed -n 's/^progress: //p')
    if [ "$got" = "$2" ]; then ok "$1"; else bad "$1 (progress $got, not $2)"; fi
}

start_front 'C:\qxtest\qxfront.exe'
ok "the main window opens with its title"
drv_log layout > "$work/layout.txt"
check "every control of the main window in place (order, id, class, text, place, size, style)" \
    grep -q '^layout: 0 mismatches$' "$work/layout.txt"
cat "$work/layout.txt"

drv_log state > "$work/state.txt"
grep '^drives:' "$work/state.txt"
check "only the removable drive is listed, with its size" grep -qE '^drives: E:\\.* \([0-9.]+ [MG]B\)$' "$work/state.txt"
check "the placeholder text shows, nothing selected" \
    grep -qx 'edit: 请选择可移动磁盘' "$work/state.txt"
check "progress 0 in the range 0 to 100" \
    bash -c "grep -qx 'progress: 0' '$work/state.txt' && grep -qx 'range: 0 100' '$work/state.txt'"
check "USB-HDD checked, USB-ZIP not, the hidden radio unused" \
    bash -c "grep -qx 'radio 1015: 1' '$work/state.txt' && grep -qx 'radio 1016: 0' '$work/state.txt' && grep -qx 'radio 1014: 0' '$work/state.txt'"
check "Tab reaches the mode radios and the arrow keys move between them" drv_log keyboard

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
check "the about box is centred on the screen" grep -q '^about: centred 1' "$work/about.txt"

# --- start without a choice ------------------------------------------------------------------
drv click 1002 >/dev/null
drv_log wait-box '请选择可移动磁盘!' 20 > "$work/box.txt"
check "start without a drive: the no-drive message, OK only, no icon" \
    grep -qx 'box: title=qxfront owner=main ok=1 cancel=0 icon=0' "$work/box.txt"
drv ok-box '请选择可移动磁盘!' >/dev/null
check "start without a drive writes nothing" carried_gone
progress_is "progress still 0" 0

# --- the confirmation, and Cancel ------------------------------------------------------------
drv select 'E:\' >/dev/null
drv click 1002 >/dev/null
drv_log wait-box '即将清除*' 20 > "$work/box.txt"
box_text "$work/box.txt" > "$work/confirm.txt"
check "start asks before erasing, naming the drive letter" grep -q '盘符: E:' "$work/confirm.txt"
check "the question names the label and the size" \
    bash -c "grep -q '卷标: ' '$work/confirm.txt' && grep -qE '容量: [0-9.]+ [MG]B' '$work/confirm.txt'"
check "the question has OK and Cancel, Cancel the default, a warning icon" \
    bash -c "grep -q 'ok=1 cancel=1 icon=1' '$work/box.txt' && grep -qx 'box: default=cancel' '$work/box.txt'"
drv cancel-box '即将清除*' >/dev/null
sleep 1
check "Cancel writes no file" carried_gone
check "Cancel leaves the drive untouched" cmp -s -n $((256 << 20)) "$work/vol.img" /dev/zero
progress_is "Cancel: progress still 0" 0

# --- a script file that cannot be written ------------------------------------------------------
mkdir "$sys32/command.bat"
start_run
drv_log wait-box 'C:\windows\system32\command.bat*' 60 > "$work/box.txt"
check "an unwritable script: the system's report naming the file, with a stop icon" \
    grep -q 'icon=1' "$work/box.txt"
drv ok-box 'C:\windows\system32\command.bat*' >/dev/null
progress_is "progress stays at 50" 50
check "nothing was run" bash -c "! grep -q 'hotplug' '$OUT/front.trace'"
rmdir "$sys32/command.bat"

# --- the real run: the disk tool cannot work on the drive under wine --------------------------------
start_run
if [ -z "$raw_ok" ]; then
    drv_log wait-box 'U盘系统制作失败!*' 300 > "$work/box.txt" || die "no failure message after the run"
    box_text "$work/box.txt" > "$work/fail.txt"
    cat "$work/fail.txt"
    check "the run ends with the failure message, a stop icon" grep -q 'title=qxfront owner=main ok=1 cancel=0 icon=1' "$work/box.txt"
    check "the message names the step that failed" grep -qF 'qxtool E: format  --extended  100m  --force  --align  --primary  8m' "$work/fail.txt"
    check "the message holds the disk tool's own message ($raw_msg)" grep -qF -- "$raw_msg" "$work/fail.txt"
    progress_is "progress stays at 60" 60
    if drv wait-box '请弹出你的U盘!' 2 >/dev/null; then
        bad "the eject request followed a failed run"
    else
        ok "no eject request after a failed run"
    fi
    check "the script stopped at the first failure" bash -c "! grep -q 'cmdline L\"qxtool E: clear' '$OUT/front.trace'"
else
    drv wait-box '请弹出你的U盘!' 300 >/dev/null || die "no eject request after the run"
    sig=$(od -An -tx1 -j510 -N2 "$work/vol.img" | tr -d ' ')
    check "the script's disk tool formatted the drive's image (boot signature $sig)" test "$sig" = 55aa
fi
check "qxtool.exe is the carried disk tool" cmp -s "$TOOL_EXE" "$sys32/qxtool.exe"
check "the carried disk tool is stripped" bash -c "LC_ALL=C x86_64-w64-mingw32-nm '$sys32/qxtool.exe' 2>&1 | grep -q 'no symbols'"
check "edit1.6.qxa is the carried archive" cmp -s "$ARCHIVE" "$sys32/edit1.6.qxa"
cp "$sys32/command.bat" "$OUT/command-hdd.bat"
check "command.bat holds the USB-HDD script for E: (bytes)" cmp "$work/expected-hdd.bat" "$sys32/command.bat"
check "the script ran the disk tool's format step" \
    grep -qF 'cmdline L"qxtool E: format  --extended  100m  --force  --align  --primary  8m ' "$OUT/front.trace"
# Closing the program while the failure message is still open.
stop_front

# --- the follow-up, with the stand-in disk tool ------------------------------------------------------
qt=$WINEPREFIX/drive_c/qxtest
start_front 'C:\qxtest\alt\qxfront.exe'
echo 4000 > "$qt/standin.sleep"
start_run
# A device event while the script runs is answered at once and does not count.
sleep 1.5
drv device arrival > "$work/dev.txt"
check "an event during the run is answered while the run goes on" grep -qx 'device: answered 1' "$work/dev.txt"
check "the run was still going on then" test "$(cat "$qt/standin.log" 2>/dev/null | grep -c .)" -le 1
drv boxes > "$work/boxes.txt"
check "no box came of it" grep -qx 'boxes: 0' "$work/boxes.txt"
drv_log wait-box '请弹出你的U盘!' 60 > "$work/box.txt" || die "no eject request after the stand-in's run"
drv boxes > "$work/boxes.txt"
check "the event during the run brought nothing but the eject request" grep -qx 'boxes: 1' "$work/boxes.txt"
rm -f "$qt/standin.sleep"
check "the three steps ran" test "$(grep -c 'qxtool E: ' "$qt/standin.log")" = 3
progress_is "progress 90" 90

# The eject request stays open: a removal stacks the re-insert request on
# it, an arrival closes both.
drv device removal > "$work/dev.txt" &
dev=$!
drv_log wait-box '请重新插入你的U盘即可!' 20 > "$work/box.txt"
check "a removal asks for re-insertion" grep -q 'title=qxfront owner=main ok=1 cancel=0 icon=0' "$work/box.txt"
drv device arrival > "$work/dev2.txt" &
dev2=$!
drv_log wait-box '恭喜你,U盘系统制作成功!' 30 > "$work/box.txt"
check "an arrival brings the success notice" grep -q 'title=qxfront' "$work/box.txt"
drv boxes > "$work/boxes.txt"
cat "$work/boxes.txt"
check "the eject and re-insert requests closed with it" grep -qx 'boxes: 1' "$work/boxes.txt"
progress_is "progress 100" 100
for f in EFI/BOOT/BOOTX64.EFI boot/grub/grub.cfg; do
    check "the stick's boot file $f is on the drive" cmp -s "$SRC_WINE/stickfs/$f" "$work/e/$f"
done
# The follow-up's disk tool step, as the stand-in saw its command line.
# (The command interpreter leaves the blank before the redirection.)
grep 'volume-id' "$qt/standin.log"
first_id=$(grep -E 'qxtool\.exe"? +E: +volume-id +0x[0-9A-F]{8} *$' "$qt/standin.log" | grep -oE '0x[0-9A-F]{8}')
check "the follow-up gave E: a volume ID other than 0 (${first_id:-none})" \
    bash -c "[ -n '$first_id' ] && [ '$first_id' != 0x00000000 ]"
drv ok-box '恭喜你,U盘系统制作成功!' >/dev/null
wait "$dev" "$dev2"
check "removal and arrival are answered with true" \
    bash -c "grep -qx 'device: answered 1' '$work/dev.txt' && grep -qx 'device: answered 1' '$work/dev2.txt'"
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

# --- a step that fails, USB-ZIP ------------------------------------------------------------------------
drv click 1016 >/dev/null
sleep 1
drv state > "$work/state.txt"
check "USB-ZIP checked, USB-HDD cleared" \
    bash -c "grep -qx 'radio 1015: 0' '$work/state.txt' && grep -qx 'radio 1016: 1' '$work/state.txt'"
echo clear > "$qt/standin.fail"
: > "$qt/standin.log"
start_run
drv_log wait-box 'U盘系统制作失败!*' 60 > "$work/box.txt" || bad "no failure message when clear fails"
box_text "$work/box.txt" > "$work/fail.txt"
check "the failing step and its message are shown" \
    bash -c "grep -qx 'qxtool E: clear' '$work/fail.txt' && grep -qx 'qxtool: error: stand-in clear fails' '$work/fail.txt'"
check "the run stopped at the failing step" bash -c "! grep -q 'qxtool E: load' '$qt/standin.log'"
cp "$sys32/command.bat" "$OUT/command-zip.bat"
check "command.bat holds the USB-ZIP script for E: (bytes)" cmp "$work/expected-zip.bat" "$sys32/command.bat"
drv ok-box 'U盘系统制作失败!*' >/dev/null
drv device arrival > "$work/dev.txt"
if drv wait-box '恭喜你,U盘系统制作成功!' 2 >/dev/null; then
    bad "an arrival after a failed run showed the success notice"
else
    ok "an arrival after a failed run is ignored"
fi
rm -f "$qt/standin.fail"

# --- a volume ID that cannot be set ------------------------------------------------------------------
rm -rf "$work/e/"*
echo volume-id > "$qt/standin.fail"
: > "$qt/standin.log"
start_run
drv wait-box '请弹出你的U盘!' 60 >/dev/null || bad "no eject request"
drv device arrival > "$work/dev.txt" &
dev=$!
drv_log wait-box 'U盘卷序列号写入失败!*' 60 > "$work/box.txt" || bad "no report of the volume ID"
box_text "$work/box.txt" > "$work/fail.txt"
cat "$work/fail.txt"
check "the report says the ID is still 0 and names the step and the disk tool's message, a stop icon" \
    bash -c "grep -q '卷序列号仍为0' '$work/fail.txt' && grep -qE '^qxtool E: volume-id 0x[0-9A-F]{8}\$' '$work/fail.txt' &&
             grep -qx 'qxtool: error: stand-in volume-id fails' '$work/fail.txt' && grep -q 'icon=1' '$work/box.txt'"
second_id=$(grep -oE '^qxtool E: volume-id 0x[0-9A-F]{8}$' "$work/fail.txt" | grep -oE '0x[0-9A-F]{8}$')
check "another run, another volume ID ($first_id, ${second_id:-none})" \
    bash -c "[ -n '$first_id' ] && [ -n '$second_id' ] && [ '$second_id' != '$first_id' ]"
check "no boot files copied after it" test ! -e "$work/e/boot"
if drv wait-box '恭喜你,U盘系统制作成功!' 2 >/dev/null; then
    bad "success shown although the volume ID was not set"
else
    ok "no success when the volume ID was not set"
fi
drv ok-box 'U盘卷序列号写入失败!*' >/dev/null
wait "$dev"
rm -f "$qt/standin.fail"

# --- boot files that cannot be written --------------------------------------------------------------
# (The stand-in formats nothing: the drive is emptied here as a format
# would, and a file is put where a directory must go.)
rm -rf "$work/e/"*
echo "in the way" > "$work/e/boot"
start_run
drv wait-box '请弹出你的U盘!' 60 >/dev/null || bad "no eject request"
drv device arrival > "$work/dev.txt" &
dev=$!
drv_log wait-box 'UEFI启动文件写入U盘失败!*' 30 > "$work/box.txt" || bad "no report of the boot files"
check "the report names the directory" grep -qF 'E:\boot' "$work/box.txt"
if drv wait-box '恭喜你,U盘系统制作成功!' 2 >/dev/null; then
    bad "success shown although the boot files were not written"
else
    ok "no success when the boot files were not written"
fi
check "the file in the way is kept" grep -qx 'in the way' "$work/e/boot"

# --- exit with the report still open -----------------------------------------------------------------
stop_front
kill "$dev" 2>/dev/null

finish
