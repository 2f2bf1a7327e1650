#!/usr/bin/env bash
# Runs kelvo's window, the 64-bit kelvo-gui.exe, under plain 64-bit Wine on a display of its own
# (Xvfb), where the system's file dialog opens (under the 32-bit rig it hangs unshown while
# Wine's mount manager runs: see gui_test.sh's save_report). No drive is listed: the simulated
# ASPI library is 32-bit only. The file is named as a person names it,
# and the window's verdict on it read back from its controls (window_texts.exe).
#
#   gui_wine64_test.sh CASE KELVO-GUI.EXE WINDOW_TEXTS.EXE XDND_DROP MAKE_IMAGE SHOTS [RUNNER...]
#
# CASE: drop (a file dragged from the display's side and dropped on the window's middle, as a
# file manager drops one: xdnd_drop, which Wine's X11 driver answers and turns into
# WM_DROPFILES only for a window that accepts dropped files), file_dialog (Choose
# file..., its name typed, Enter), non_ascii (a file in a folder named in Cyrillic, given on
# the command line, then another chosen in the dialog: each read, checked, its whole name
# shown).
set -u
case_name=$1
gui=$2
window_texts=$3
xdnd_drop=$4
make_image=$5
shots=$6
shift 6
runner=("$@")
new='MATSHITADVD-RAM UJ-85J  1.01'
other='MATSHITADVD-RAM UJ-85J  1.02'  # the file chosen after another
shared=$("$(cd "$(dirname "$0")/.." && pwd)/scripts/wine32" --prefix)
. "$(dirname "$0")/window_test_lib.sh"

work=$(mktemp -d)
display_pid=
gui_pid=
export WINEPREFIX=$work/prefix WINEDEBUG=-all LANG=C.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
cleanup() {
    [ -n "$gui_pid" ] && kill "$gui_pid" 2> /dev/null
    [ -e "$WINEPREFIX" ] && /usr/lib/wine/wineserver64 -k 2> /dev/null
    [ -n "$display_pid" ] && kill "$display_pid" 2> /dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1
mkdir -p "$shots" Прошивка
own_prefix "$shared" "$WINEPREFIX"
"${runner[@]}" "$make_image" firmware.bin 100000 "$new" > /dev/null
mkdir -p choose/Прошивка
cp firmware.bin Прошивка/firmware.bin
"${runner[@]}" "$make_image" choose/Прошивка/firmware.bin 100000 "$other" > /dev/null

fail() {
    echo "FAIL: $case_name: $*"
    exit 1
}

start_display 1024x768

wine64() { /usr/lib/wine/wine64 "$@"; }
texts() { timeout -k 1 60 /usr/lib/wine/wine64 "$window_texts" kelvoWindow | tr -d '\r'; }
shown() { texts | sed -n "s/^$1://p" | head -n 1; }  # ID
# field: the file field's text, read wide where the code page cannot hold it.
field() {
    local now
    now=$(texts)
    sed -n 's/^utf8:105://p' <<< "$now" | grep . || sed -n 's/^105://p' <<< "$now"
}
# checked NAME [FIRMWARE]: the window read the file, found its firmware (by default $new), and
# shows the name as given.
checked() {
    local name=$1 firmware=${2:-$new}
    until_true 30 eval '[ "$(field)" = "$name" ] && [ "$(shown 107)" = "firmware $firmware\\n" ]' ||
        fail "not the firmware of $name: $(texts)"
    shot "${firmware##* }"
}
# dialog_shows LINE: the file dialog's controls, read as the window's are, hold the line.
dialog_shows() {
    timeout -k 1 60 /usr/lib/wine/wine64 "$window_texts" '#32770' | tr -d '\r' | grep -qxF "$1"
}
# open_dialog: Choose file..., once the window has listed the drives (none here).
open_dialog() {
    until_true 30 eval '[ -n "$(shown 103)" ]' || fail "the listing did not end: $(texts)"
    xdotool windowfocus --sync "$window"
    key alt+c
    until_true 30 titled '^Open$' || fail "no file dialog: $(texts)"
}
# choose_in_dialog: the folder named, then its only folder and its only file chosen in the
# dialog's list, as one does with a name that cannot be typed.
choose_in_dialog() {
    open_dialog
    xdotool type --delay 20 "Z:${work//\//\\}\\choose\\"
    key Return
    until_true 30 dialog_shows 1137:choose || fail "the dialog did not open the folder"
    key shift+Tab Down Return
    until_true 30 dialog_shows utf8:1137:Прошивка || fail "the dialog did not open Прошивка"
    key Down Return
}
arguments=()
[ "$case_name" = non_ascii ] && arguments=("Z:$work/Прошивка/firmware.bin")
wine64 "$gui" "${arguments[@]}" > gui.out 2> gui.err &
gui_pid=$!
until_true 60 titled '^kelvo$' || fail "no window after a minute: $(cat gui.err)"
window=$(xdotool search --name '^kelvo$' | head -n 1)
ascii_name="Z:${work//\//\\}\\firmware.bin"
case $case_name in
drop)
    "$xdnd_drop" "$window" "$work/firmware.bin" || fail "the window did not take the drop"
    checked "$ascii_name"
    ;;
file_dialog)
    open_dialog
    xdotool type --delay 20 "$ascii_name"
    key Return
    checked "$ascii_name"
    ;;
non_ascii)
    checked "${arguments[0]}"
    choose_in_dialog
    checked "Z:${work//\//\\}\\choose\\Прошивка\\firmware.bin" "$other"
    ;;
*) fail "no such case" ;;
esac
echo passed
