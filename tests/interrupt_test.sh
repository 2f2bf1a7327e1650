#!/usr/bin/env bash
# Interrupts kelvo as a user or the system would, with the simulated drive behind the simulated
# WNASPI32.DLL answering each command only after a while: every signal that would end or stop
# a program, sent while chunks are being written, must leave the update to run to its end
# ("Finished", the whole payload, the new firmware, exit status 0, one notice); a signal at the
# prompt, before anything is written, ends kelvo at once with nothing sent.
#
#   interrupt_test.sh <folder of WNASPI32.DLL> <make_image> <kelvo> [program that runs them]
set -u
library=$1
make_image=$2
kelvo=$3
shift 3
runner=("$@")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

old='MATSHITADVD-RAM UJ-85J  1.00'
new='MATSHITADVD-RAM UJ-85J  1.01'
notice='interrupt ignored: the drive is being written, and the update will finish'
selected="Selected firmware: $new"$'\n'"Selected device:   $old"$'\n'
"${runner[@]}" "$make_image" firmware.bin 100000 "$new" > /dev/null
failures=0

fail() {
    echo "FAIL: $1: $2"
    failures=$((failures + 1))
}

# Polls for up to ten seconds until COMMAND succeeds.
eventually() {
    local tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ $tries -le 200 ] || return 1
        sleep 0.05
    done
}

prompted() { grep -q 'Continue? ' out.txt; }
writing() { grep -q ' EA' log 2> /dev/null; }
ended() { test -s status; }

# Starts kelvo on a fresh drive that takes DELAY milliseconds a command; its standard input
# is a pipe this script writes the answer into, its standard output goes to OUTPUT (out.txt).
start() {
    rm -f drive payload log answer
    printf '%s' "$old" > drive
    printf '%s\n' "drive = $work/drive" "payload = $work/payload" "log = $work/log" \
        "completion = later" "delay_ms = $1" > config
    rm -f pid status
    mkfifo answer
    # A program a script starts in the background ignores SIGINT and SIGQUIT; kelvo must meet
    # them as it does at a terminal. How it ended goes to the file status, and the shell's own
    # word on it nowhere.
    (
        WNASPI32_SIM_CONFIG=$work/config LD_LIBRARY_PATH=$library env --default-signal=INT,QUIT \
            "${runner[@]}" "$kelvo" 0.1.0 firmware.bin < answer > "${2:-out.txt}" 2> err.txt &
        echo $! > pid
        wait $!
        echo $? > status
    ) 2> /dev/null &
    exec 3> answer
    eventually test -s pid
    pid=$(cat pid)
}

# finish TITLE: waits for kelvo's end (a stopped kelvo never ends: it is killed) and sets $status.
finish() {
    exec 3>&-
    if ! eventually ended; then
        fail "$1" "kelvo did not end (stopped?)"
        kill -CONT "$pid" 2> /dev/null
        kill -KILL "$pid" 2> /dev/null
    fi
    eventually ended
    status=$(cat status)
}

# Signals sent while the chunks go out, each as a user or the system sends it; SIGINT three
# times, as an impatient user presses Ctrl+C, says so once. SIGPIPE, no interrupt but the
# sign of a reader gone, says nothing; nor does the reader of standard output going away (as
# `kelvo ... | tee` after Ctrl+C), whose SIGPIPE, raised by "Finished", is still pending as
# the shield comes down.
for signals in INT TERM HUP QUIT TSTP PIPE "INT INT INT" reader; do
    title="SIG${signals// /, SIG} while writing"
    finished=Finished$'\n'
    if [ "$signals" = reader ]; then
        title="standard output's reader gone while writing"
        rm -f out.fifo && mkfifo out.fifo
        cat out.fifo > out.txt &
        reader=$!
        start 250 out.fifo
        finished=
    else
        start 250
    fi
    eventually prompted || fail "$title" "no prompt"
    echo y >&3
    eventually writing || fail "$title" "no chunk reached the drive"
    if [ "$signals" = reader ]; then
        eventually grep -q 'do not interrupt' out.txt || fail "$title" "no notice of the update"
        kill "$reader"
        wait "$reader" 2> /dev/null
    else
        for signal in $signals; do
            kill -s "$signal" "$pid"
            sleep 0.1
        done
    fi
    finish "$title"
    [ "$status" = 0 ] || fail "$title" "exit status $status"
    cmp -s out.txt <(printf '%s' "${selected}Continue? Firmware update running, do not interrupt ...$finished") ||
        fail "$title" "standard output was: $(cat -A out.txt)"
    said=$notice$'\n'
    [ "$signals" = PIPE ] || [ "$signals" = reader ] && said=
    cmp -s <(tail -n +2 err.txt) <(printf '%s' "$said") ||
        fail "$title" "standard error was: $(tail -n +2 err.txt | cat -A)"
    tail -c +49 firmware.bin | cmp -s - payload || fail "$title" "the drive has another payload"
    [ "$(cat drive)" = "$new" ] || fail "$title" "the drive identifies as '$(cat drive)'"
done

# Before anything is written, an interrupt ends kelvo as it ends any program.
for signal in INT TERM HUP; do
    title="SIG$signal at the prompt"
    start 0
    eventually prompted || fail "$title" "no prompt"
    kill -s "$signal" "$pid"
    finish "$title"
    [ "$status" = $((128 + $(kill -l "$signal"))) ] || fail "$title" "exit status $status"
    [ "$(awk '{ print $7 }' log)" = 12 ] || fail "$title" "the drive received: $(cat log)"
    [ "$(cat drive)" = "$old" ] || fail "$title" "the drive identifies as '$(cat drive)'"
done

[ $failures = 0 ] && echo "all cases passed"
[ $failures = 0 ]
