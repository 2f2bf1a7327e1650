#!/usr/bin/env bash
# Runs kelvo's window, the 32-bit kelvo-gui.exe, under Wine (scripts/wine32) on a display of
# its own (Xvfb), with the simulated WNASPI32.DLL next to it and its drive at 0.1.0, as a
# person would: the firmware file given on its command line (as Windows gives a file dropped
# on the program's icon), the drive chosen and Update pressed from the keyboard, the question
# answered. What the window shows is read back from its controls (window_texts.exe), the way
# a screen reader reads them; what the drive received is compared with the image. Screenshots
# of the window's states go to SHOTS.
#
#   gui_test.sh CASE KELVO-GUI.EXE WNASPI32.DLL WINDOW_TEXTS.EXE WINDOW_MESSAGE.EXE MAKE_IMAGE
#               SHOTS [RUNNER...]
#
# CASE: update (the whole update, and "Finished"), refused_chunk (the drive refuses the
# second chunk: kelvo's words for it), close_refused (the window cannot be closed while it
# writes, and the update ends whole), slow_drive (the window answers while the drive is slow
# to answer the listing), device_change (the system's notice of a drive lists the drives
# again, the choice kept), refused_before_writing (the drive became another model before
# Update: kelvo's refusal, nothing written), question (Enter at the question writes nothing;
# after Yes, Update stays disabled, a logoff is held and kelvo.exe is refused a second update
# while the drive writes), save_report (after a whole update, Save report..., a name typed in
# the system's dialog, Enter: the file is the report as the window shows it, CR LF line ends),
# fits_WIDTHxHEIGHT[_DPIdpi] (on a screen of that size, at that DPI in a Wine prefix of its
# own, the window and each of its controls lie wholly on the screen).
set -u
case_name=$1
gui=$2
library=$3
window_texts=$4
window_message=$5
make_image=$6
shots=$7
shift 7
runner=("$@")
wine32=$(cd "$(dirname "$0")/.." && pwd)/scripts/wine32
. "$(dirname "$0")/window_test_lib.sh"
old='MATSHITADVD-RAM UJ-85J  1.00'
new='MATSHITADVD-RAM UJ-85J  1.01'
other='MATSHITABD-MLT UJ-260   1.00'  # another model of the vendor's
writing='^kelvo: [0-9]*% of the image written, do not interrupt$'  # the title while writing

screen=800x720
dpi=
if [[ $case_name =~ ^fits_([0-9]+x[0-9]+)(_([0-9]+)dpi)?$ ]]; then
    screen=${BASH_REMATCH[1]}
    dpi=${BASH_REMATCH[3]}
fi

work=$(mktemp -d)
display_pid=
gui_pid=
# A window that failed a test may be stuck on a held command: it goes, so that it neither keeps
# CTest waiting on its streams nor answers the next test's reads.
cleanup() {
    [ -n "$gui_pid" ] && kill "$gui_pid" 2> /dev/null
    [ -n "$display_pid" ] && kill "$display_pid" 2> /dev/null
    [ -n "${WINE32_PREFIX:-}" ] && WINEPREFIX=$WINE32_PREFIX /usr/lib/wine/wineserver64 -k
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1
mkdir -p "$shots" program
cp "$gui" program/kelvo-gui.exe
cp "$library" program/WNASPI32.DLL
"${runner[@]}" "$make_image" firmware.bin 100000 "$new" > /dev/null
printf '%s' "$old" > drive
{
    echo "address = 0.1.0"
    echo "drive = Z:$work/drive"
    echo "payload = Z:$work/payload"
    echo "completion = later"
    # The drive's commands, counted from 1: the listing's INQUIRY, the update's, the chunks.
    [ "$case_name" = refused_chunk ] && echo "check_condition_on = 4" &&
        echo "sense = 70 00 03 00 00 00 00 06 00 00 00 00 0C 00"
    # The second chunk stays with the drive until the test has tried to close the window.
    [ "$case_name" = close_refused ] && echo "hold_on = 4" && echo "hold_until = Z:$work/release"
    # The listing's INQUIRY, until the test has read the window while the drive is silent.
    [ "$case_name" = slow_drive ] && echo "hold_on = 1" && echo "hold_until = Z:$work/release"
    # The first chunk (after the INQUIRYs of the listing and of the two Updates pressed), until
    # the test has read the window between Yes and the first chunk written.
    [ "$case_name" = question ] && echo "hold_on = 4" && echo "hold_until = Z:$work/release"
} > config
export WNASPI32_SIM_CONFIG=Z:$work/config WINEDLLOVERRIDES=wnaspi32=n

fail() {
    echo "FAIL: $case_name: $*"
    exit 1
}

start_display "$screen"

# texts_within SECONDS: what the window shows now, "ID:TEXT" a control, its title as 0, then
# "disabled:ID" a control; fails where the window does not answer in time.
texts_within() {
    local read
    read=$(timeout -k 1 "$1" "$wine32" "$window_texts" kelvoWindow) || return 1
    printf '%s\n' "$read" | tr -d '\r'
}
texts() { texts_within 60; }
# How long a read of the window may take on a busy machine while the window waits on a drive.
answer_seconds=5
shown() { texts | sed -n "s/^$1://p" | head -n 1; }  # ID
disabled() { texts | grep -qx "disabled:$1"; }  # ID
# The titles of kelvo's windows: its own, and its question while that is open.
title() { xdotool search --name '^kelvo' getwindowname %@ 2> /dev/null | tr '\n' ' '; }

# read_soon [WHEN]: what the window shows, into `now`; fails where it takes longer to answer
# than a busy machine explains.
read_soon() {
    now=$(texts_within "$answer_seconds") ||
        fail "$* the window did not answer within $answer_seconds s"
}

# The window's answers while the drive keeps the listing's INQUIRY: each read of its texts
# comes back within a few seconds (a listing on the window's own thread would leave it
# deaf), says that the drives are asked, and offers no Refresh; then the drive answers.
listing_held() {
    local asking="asking the drives kelvo can reach who they are ...\\n" now
    until_true 20 eval 'read_soon; grep -qxF "103:$asking" <<< "$now"' ||
        fail "no word of the listing: $now"
    for read in 1 2 3; do
        read_soon "read $read"
        grep -qxF "103:$asking" <<< "$now" || fail "read $read: $now"
        grep -qx 'disabled:102' <<< "$now" || fail "read $read: Refresh is offered: $now"
    done
    shot listing-held
    touch release
    until_true 20 eval '! disabled 102' || fail "Refresh stays disabled: $(texts)"
}

# notice_shows IDENTIFICATION NEXT-STEP-PATTERN: the drive identifies as another now, the system
# says a drive letter came, and the window lists the drives anew, the drive at 0.1.0 still chosen.
notice_shows() {
    local next=$2
    printf '%s' "$1" > drive
    "$wine32" "$window_message" kelvoWindow arrival E || fail "the notice was not sent"
    until_true 20 eval '[[ "$(shown 108)" == $next ]]' || fail "after the notice of $1: $(texts)"
}

drives_changed() {
    notice_shows "$other" "*the drive at 0.1.0 is \"MATSHITABD-MLT UJ-260\"*"
    disabled 109 || fail "Update is offered for another model: $(texts)"
    shot drives-changed
    notice_shows "$old" "Update writes $new to the drive at 0.1.0"
    ! disabled 109 || fail "Update is not offered again: $(texts)"
}

# The drive became another model after it was listed: kelvo's checks refuse it.
refused_before_writing() {
    printf '%s' "$other" > drive
    key alt+u
    until_true 20 titled '^kelvo: nothing written$' || fail "no refusal: $(title) $(texts)"
    shot refused
    [ "$(shown 112)" = "Nothing was written to the drive" ] || fail "$(texts)"
    [[ "$(shown 114)" == *"nothing was written to the drive: find the firmware file made for the drive's model"* ]] ||
        fail "the report reads: $(shown 114)"
    [ ! -e payload ] || fail "a write command reached the drive"
}

# Update pressed: kelvo's checks, then its question.
ask() {
    key alt+u
    until_true 20 titled '^kelvo: update the drive\?$' || fail "no question: $(texts)"
}

# Enter at the question answers its default, No: nothing is written, the drive may be chosen
# again.
enter_says_no() {
    ask
    key Return
    until_true 20 eval '! titled "^kelvo: update the drive"' || fail "the question stays: $(title)"
    until_true 10 eval '[ "$(shown 108)" = "Update writes $new to the drive at 0.1.0" ]' ||
        fail "not back to choosing: $(texts)"
    ! disabled 109 && [ "$(shown 0)" = kelvo ] && [ ! -e payload ] ||
        fail "Enter did not say No: $(title) $(texts)"
}

# Yes was said and the first chunk is still with the drive: Update is not offered again, and
# a logoff asked for now is held.
first_chunk_held() {
    local now answer
    until_true 20 titled "$writing" || fail "the update did not begin: $(texts)"
    now=$(texts)
    grep -qx '111:\(chunk 0 of 4 written\)\?' <<< "$now" || fail "the first chunk was not held: $now"
    grep -qx 'disabled:109' <<< "$now" || fail "Update is offered while the drive is written: $now"
    answer=$("$wine32" "$window_message" kelvoWindow queryendsession | tr -d '\r')
    [ "$answer" = 0 ] || fail "a logoff was let go while writing (answer $answer)"
    second_update_refused
    shot writing
    touch release
}

# kelvo.exe started meanwhile, its yes ready: refused before it opens the drive, naming the
# window's update.
second_update_refused() {
    local status
    cp "$(dirname "$gui")/kelvo.exe" program/
    (cd program && echo y | "$wine32" kelvo.exe 0.1.0 "Z:$work/firmware.bin" > ../second.out \
        2> ../second.err)
    status=$?
    [ "$status" = 1 ] || fail "a second update ended with $status: $(cat second.out second.err)"
    [ "$(tr -d '\r' < second.out)" = "Selected firmware: $new" ] ||
        fail "a second update said: $(cat second.out)"
    tr -d '\r' < second.err | tail -n +2 | sed 's/process [0-9]*,/process N,/' > second.said
    printf '%s\n' "another kelvo update is running on this machine (kelvo-gui, process N, drive \
0.1.0): kelvo updates one drive at a time" "nothing was written to the drive: run kelvo again \
once the other update has ended" | cmp -s - second.said ||
        fail "a second update was told: $(cat second.said)"
}

# The update ended: the title, the heading, the report, the drive.
update_ended() {
    until_true 60 titled '^kelvo: (Finished|not finished)$' || fail "no end after a minute: $(texts)"
    shot end
    local report running expected
    report=$(shown 114)
    running="Selected firmware: $new\\nSelected device:   $old\\nFirmware update running, do not interrupt ..."
    if [ "$case_name" = refused_chunk ]; then
        expected="$running\\nsp_write returned -258\\nchunk 2 of 4 failed: the drive had accepted 32768"
        expected+=" of the image's 100000 payload bytes\\nthe drive answered CHECK CONDITION: MEDIUM"
        expected+=" ERROR, WRITE ERROR (3/0C/00)\\nthe closing command was not sent, so the drive has"
        expected+=" not taken the new image\\nwhat to do: leave the machine and the drive powered on"
        expected+=" and run kelvo again with the same file (kelvo-list shows what the drive reports"
        expected+=" now); if it fails again, keep the drive powered and try another connection or path"
        expected+=" to it before you turn it off\\n"
        titled '^kelvo: not finished$' || fail "the titles are $(title)"
        [ "$(shown 112)" = "Stopped at a chunk: the drive has not taken the new firmware" ] || fail "$(texts)"
        [ "$(cat drive)" = "$old" ] || fail "the drive now runs $(cat drive)"
    else
        expected="${running}Finished\\n"
        titled '^kelvo: Finished$' || fail "the titles are $(title)"
        [ "$(shown 112)" = "Finished: the drive took the new firmware" ] || fail "$(texts)"
        cmp -s <(tail -c +49 firmware.bin) payload || fail "the drive did not receive the payload whole"
        [ "$(cat drive)" = "$new" ] || fail "the drive now runs $(cat drive)"
    fi
    [ "$report" = "$expected" ] || fail "the report reads: $report"
}

# Save report..., a name typed in the system's dialog, Enter: the file holds the report as the
# window shows it, every line ending CR LF.
report_saved() {
    local report
    report=$(shown 114)
    printf '%s' "${report//\\n/$'\r\n'}" > expected.txt
    xdotool windowfocus --sync "$window"
    key alt+s
    until_true 60 eval 'xdotool search --onlyvisible --name "^Save As$" > /dev/null' ||
        fail "the Save dialog was not shown (made: $(xdotool search --name '^Save As$'))"
    key End shift+Home
    xdotool type --delay 20 "Z:${work//\//\\}\\report.txt"
    key Return
    until_true 30 cmp -s expected.txt report.txt || fail "saved: $(od -c report.txt | head)"
}

# A wineserver keeps the screen it first saw, and Wine takes the DPI from its prefix's
# registry: a prefix of this test's own, with its own wineserver, linked to the shared one but
# for the registry, which the other tests keep using as it is.
# The file dialog asks Wine's mount manager about the drives; an answer that comes before the
# window's thread waits for it comes as a signal, and under qemu-user a signal leaves a 32-bit
# Wine thread with the newest thread's TEB (all share one GDT entry): the dialog hangs unshown.
# Its wineserver starts without the mount manager, and the drives are answered in-process.
if [[ $case_name == fits_* || $case_name == save_report ]]; then
    shared=$("$wine32" --prefix)
    export WINE32_PREFIX=$work/prefix
    own_prefix "$shared" "$WINE32_PREFIX"
    [ "$case_name" = save_report ] && WINEDLLOVERRIDES+=";mountmgr.sys="
    [ -z "$dpi" ] ||
        "$wine32" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f \
            > /dev/null 2>&1 || fail "the prefix's DPI was not set"
fi

# The window (its frame included) and each of its controls lie wholly on the screen.
fits_screen() {
    local width=${screen%x*} height=${screen#*x} id left top right bottom rects
    rects=$(texts | sed -n 's/^rect://p')
    [ -n "$rects" ] || fail "no rectangles read: $(texts)"
    while IFS=:, read -r id left top right bottom; do
        ((left >= 0 && top >= 0 && right <= width && bottom <= height && left < right &&
            top < bottom)) ||
            fail "control $id at $left,$top,$right,$bottom is off the $screen screen"
    done <<< "$rects"
}

(cd program && exec "$wine32" kelvo-gui.exe "Z:$work/firmware.bin" > ../gui.out 2> ../gui.err) &
gui_pid=$!
until_true 180 titled '^kelvo$' || fail "no window after three minutes: $(cat gui.err)"
window=$(xdotool search --name '^kelvo$' | head -n 1)
[ "$case_name" = slow_drive ] && listing_held
until_true 20 eval '[ "$(shown 107)" = "firmware $new\\n" ]' ||
    fail "the file's firmware is not shown: $(texts)"
xdotool windowfocus --sync "$window"
shot start
[[ $case_name == fits_* ]] && fits_screen && echo passed && exit 0

# The drive list has the focus: the first drive, then Update, as its mnemonic.
key Down
until_true 10 eval '[ "$(shown 108)" = "Update writes $new to the drive at 0.1.0" ]' ||
    fail "choosing the drive: $(texts)"
case $case_name in
device_change) drives_changed ;;
refused_before_writing) refused_before_writing ;;
*)
    [ "$case_name" = question ] && enter_says_no
    ask
    shot question
    key y
    [ "$case_name" = question ] && first_chunk_held
    if [ "$case_name" = close_refused ]; then
        until_true 20 eval '[[ "$(shown 111)" == "chunk 1 of 4 written" ]]' ||
            fail "the update did not begin: $(texts)"
        xdotool windowfocus --sync "$window"
        key alt+F4
        until_true 10 eval '[[ "$(shown 108)" == "the window stays open until the update has ended"* ]]' ||
            fail "closing was not refused in words: $(texts)"
        shot close-refused
        titled "$writing" || fail "the window is gone: $(title)"
        touch release
    fi
    update_ended
    [ "$case_name" = save_report ] && report_saved
    ;;
esac
[ ! -e extracted.dat ] && [ ! -e program/extracted.dat ] || fail "the window wrote a file"

# Once the update has ended, or before it began, the window closes as any window does.
xdotool windowfocus --sync "$window"
key alt+F4
until_true 10 eval '! texts > /dev/null' || fail "the window did not close"
echo "passed"
