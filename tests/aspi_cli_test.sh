#!/usr/bin/env bash
# Runs kelvo as a user would, with a drive given by ASPI address, on the simulated drive
# behind the simulated WNASPI32.DLL. Compares what the user sees and the exit status with what
# they must be, and what the drive received and became with the image.
#
#   aspi_cli_test.sh host <folder of WNASPI32.DLL> <make_image> <kelvo> [program that runs them]
#   aspi_cli_test.sh wine32 <WNASPI32.DLL> <make_image> <kelvo.exe> [program that runs make_image]
#
# host: the host kelvo finds the library through LD_LIBRARY_PATH. wine32: the product,
# kelvo.exe, runs under Wine (scripts/wine32) with the PE32 library next to it, in place of
# Wine's own, from another folder than the program's; its streams end their lines in CR LF.
set -u
. "$(dirname "$0")/simulated_aspi.sh"

old='MATSHITADVD-RAM UJ-85J  1.00'
new='MATSHITADVD-RAM UJ-85J  1.01'
other='MATSHITADVD-RAM UJ-86J  1.00'
cr=$'\r'
module_not_found='The specified module could not be found.'
file_not_found='The system cannot find the file specified.'
if [ "$kind" = wine32 ]; then  # Wine's own wording
    module_not_found='Module not found.'
    file_not_found='File not found.'
fi

# A new simulated drive at 0.1.0 that identifies itself as $old; each argument is one more
# line of the library's configuration.
new_drive() {
    rm -f drive payload log
    printf '%s' "$old" > drive
    {
        echo "drive = $files$work/drive"
        echo "payload = $files$work/payload"
        echo "log = $files$work/log"
        printf '%s\n' "$@"
    } > config
}

# run ANSWER [kelvo arguments...]: the program's streams in out.txt and err.txt, its exit
# status in $status.
run() {
    local answer=$1
    shift
    printf '%s\n' "$answer" |
        WNASPI32_SIM_CONFIG="$files$work/config" LD_LIBRARY_PATH="$library_path" \
            "${program_command[@]}" "$@" > out.txt 2> err.txt
    status=$?
}

# check TITLE STATUS STDOUT STDERR: STDERR is what follows the banner.
check() {
    local title=$1
    [ "$status" = "$2" ] || fail "$title" "exit status $status, expected $2"
    cmp -s out.txt <(printf '%s' "$3") || fail "$title" "standard output was: $(cat -A out.txt)"
    cmp -s <(tail -n +2 err.txt) <(printf '%s' "$4") ||
        fail "$title" "standard error was: $(tail -n +2 err.txt | cat -A)"
}

check_drive() {  # TITLE IDENTIFICATION
    [ "$(cat drive)" = "$2" ] || fail "$1" "the drive now identifies as '$(cat drive)'"
}

check_payload() {  # TITLE IMAGE [PAYLOAD BYTES RECEIVED]
    local received=${3:-}
    if [ -z "$received" ]; then
        tail -c +49 "$2" | cmp -s - payload || fail "$1" "the drive received another payload"
    elif [ "$received" = 0 ]; then
        [ ! -e payload ] || fail "$1" "the drive received $(wc -c < payload) payload bytes"
    else
        tail -c +49 "$2" | head -c "$received" | cmp -s - payload ||
            fail "$1" "the drive did not receive the first $received payload bytes only"
    fi
}

# The request flags the library saw for one operation code, one line for each command.
flags_of() {  # OPERATION CODE
    awk -v code="$1" '$7 == code { print $3 }' log | sort -u
}

# What the program says before its question: the image's name and the drive's.
new_for_old="Selected firmware: $new${nl}Selected device:   $old$nl"
new_for_new="Selected firmware: $new${nl}Selected device:   $new$nl"
other_for_old="Selected firmware: $other${nl}Selected device:   $old$nl"
updated="Continue? Firmware update running, do not interrupt ...Finished$nl"
running="Continue? Firmware update running, do not interrupt ..."

# What follows "sp_write returned N": where the update stopped, what the drive answered, and
# what to do.
chunk_failed() {  # CHUNK CHUNKS ACCEPTED PAYLOAD ANSWER
    printf 'chunk %s of %s failed: the drive had accepted %s of the image'"'"'s %s payload bytes%s' \
        "$1" "$2" "$3" "$4" "$nl"
    printf '%s%s' "$5" "$nl"
    printf 'the closing command was not sent, so the drive has not taken the new image%s' "$nl"
    printf 'what to do: leave the machine and the drive powered on and run kelvo again with the '
    printf 'same file (kelvo-list shows what the drive reports now); if it fails again, keep the '
    printf 'drive powered and try another connection or path to it before you turn it off'
}
write_error="the drive answered CHECK CONDITION: MEDIUM ERROR, WRITE ERROR (3/0C/00)"
written() {  # WHAT TO DO: how each refusal before the first chunk ends, without its line end
    printf 'nothing was written to the drive: %s' "$1"
}
not_listed="$(written "check the index with kelvo-list, which lists the drives kelvo can reach")$nl"
other_model="the image is made for \"MATSHITADVD-RAM UJ-86J\", the drive is \"MATSHITADVD-RAM UJ-85J\"$nl"

for payload in 32768 32769 100000; do
    "${runner[@]}" "$make_image" "image-$payload.bin" "$payload" "$new"
done
"${runner[@]}" "$make_image" other.bin 1000 "$other"
"${runner[@]}" "$make_image" --container container.bin 100000 "$new"

# Full updates on adapters with and without residual reporting, with commands that complete
# before SendASPI32Command returns and ones that the library completes from its own thread.
for payload in 32768 32769 100000; do
    for residual in 1 0; do
        for completion in at-once later; do
            title="update of $payload bytes, residual reporting $residual, completion $completion"
            new_drive "residual = $residual" "completion = $completion"
            run y 0.1.0 "image-$payload.bin"
            check "$title" 0 "$new_for_old$updated" ""
            check_payload "$title" "image-$payload.bin"
            check_drive "$title" "$new"
            in=48 out=50
            [ "$residual" = 1 ] && in=4C out=54
            [ "$(flags_of 12)" = "$in" ] || fail "$title" "INQUIRY flags $(flags_of 12)"
            [ "$(flags_of EA)" = "$out" ] || fail "$title" "write flags $(flags_of EA)"
            finish
        done
    done
done

# On a terminal the update line shows the share written, redrawn in place, and is wiped before
# "Finished"; on a file, as everywhere above, it carries none.
if [ "$kind" = host ]; then
    new_drive
    command=$(printf '%q ' env WNASPI32_SIM_CONFIG="$work/config" LD_LIBRARY_PATH="$library_path" \
        "${program_command[@]}" 0.1.0 image-100000.bin)
    printf 'y\n' | script -qec "$command" /dev/null > terminal.txt 2>&1
    shown=$'do not interrupt ...  0%\b\b\b\b 32%\b\b\b\b 65%\b\b\b\b 98%\b\b\b\b100%\b\b\b\b'
    shown+=$'    \b\b\b\bFinished\r'
    grep -qF "$shown" terminal.txt || fail "progress on a terminal" "it showed: $(cat -A terminal.txt)"
    check_drive "progress on a terminal" "$new"
    finish
fi

# The drive keeps what it became for the next run.
run n 0.1.0 image-32768.bin
same="the drive already runs the image's firmware, $new: the update writes it again, as a repair$nl"
check "the updated drive, another time" 0 "${new_for_new}Continue? Not confirmed, exiting$nl" "$same"
finish

# Both streams into one log, as "> kelvo.log 2>&1" keeps them: in the order kelvo wrote them.
printf 'n\n' | WNASPI32_SIM_CONFIG="$files$work/config" LD_LIBRARY_PATH="$library_path" \
    "${program_command[@]}" 0.1.0 image-32768.bin > both.txt 2>&1
cmp -s <(tail -n +2 both.txt) <(printf '%s' "$new_for_new${same}Continue? Not confirmed, exiting$nl") ||
    fail "both streams into one" "they read: $(cat -A both.txt)"
finish

new_drive
run n 0.1.0 image-100000.bin
check "declined" 0 "${new_for_old}Continue? Not confirmed, exiting$nl" ""
check_payload "declined" image-100000.bin 0
check_drive "declined" "$old"
finish

new_drive
run y 0.1.0 other.bin
check "another drive's image" 1 "${other_for_old}Selected device does not match firmware$nl" \
    "$other_model$(written "find the firmware file made for the drive's model")$nl"
check_payload "another drive's image" other.bin 0
finish

new_drive
run y 0.1.0 other.bin -f
check "another drive's image, forced" 0 \
    "${other_for_old}Selected device does not match firmware$nl$updated" "-f overrides: $other_model"
check_payload "another drive's image, forced" other.bin
check_drive "another drive's image, forced" "$other"
finish

# The image taken out of a container is the one flashed, and the one saved.
new_drive
run y 0.1.0 container.bin
saved="the image found in the container was saved as $work/extracted.dat$nl"
[ "$kind" = wine32 ] &&
    saved="the image found in the container was saved as Z:${work//\//\\}\\extracted.dat$nl"
check "container" 0 "$new_for_old$updated" "$saved"
check_payload "container" image-100000.bin
check_drive "container" "$new"
cmp -s extracted.dat image-100000.bin || fail "container" "extracted.dat differs from the image"
finish

# The second chunk fails with CHECK CONDITION and 14 sense bytes, the tool's limit: the
# drive moved none of it, which the adapter with residual reporting says as well.
sense14='70 00 03 00 00 00 00 06 00 00 00 00 0C 00'
for residual in 0 1; do
    result=-2
    [ "$residual" = 1 ] && result=-258
    title="failing chunk, residual reporting $residual"
    new_drive "residual = $residual" "check_condition_on = 3" "sense = $sense14"
    run y 0.1.0 image-100000.bin
    check "$title" 1 "$new_for_old$running" \
        "sp_write returned $result$nl$(chunk_failed 2 4 32768 100000 "$write_error")$nl"
    check_payload "$title" image-100000.bin 32768
    check_drive "$title" "$old"
    [ -z "$(flags_of F5)" ] || fail "$title" "the closing command was sent"
    finish
done

# The closing command refused: the drive, asked again, still has its old firmware, and
# nothing claims that the update finished.
new_drive "check_condition_on = 4" "sense = $sense14"
run y 0.1.0 image-32769.bin
errors="closing command returned -258$nl$write_error$nl"
errors+="the drive now reports $old, not the image's $new$nl"
errors+="the update may not have taken: power-cycle the drive and check its firmware before "
errors+="using it$nl"
check "closing command refused" 1 "$new_for_old$running" "$errors"
check_payload "closing command refused" image-32769.bin
check_drive "closing command refused" "$old"
[ "$(awk '{ print $7 }' log | tr '\n' ' ')" = "12 EA EA F5 12 " ] ||
    fail "closing command refused" "the drive received $(awk '{ print $7 }' log | tr '\n' ' ')"
finish

new_drive "residual = 1" "residue_on = 2" "residue = 16"
run y 0.1.0 image-32769.bin
check "chunk with a residue" 1 "$new_for_old$running" "sp_write returned 16$nl$(chunk_failed 1 2 \
    0 32769 "the drive took only part of the data: 16 bytes were not moved")$nl"
finish

new_drive "residual = 0" "check_condition_on = 2" "sense = $sense14 00 00 00 00"
run y 0.1.0 image-32768.bin
errors="// aspiSay: x 0 04:00:02 8030 12 (aspi status BufLen SenseLen)$nl"
errors+="sp_write returned -1$nl$(chunk_failed 1 1 0 32768 \
    "the drive answered CHECK CONDITION with more sense data than asked for")$nl"
check "more sense bytes than the limit" 1 "$new_for_old$running" "$errors"
finish

new_drive
run y 0.2.0 image-32768.bin
errors="// aspiSay: x 0 04:11:00 29 E (aspi status BufLen SenseLen)$nl"
errors+="Selected drive 0.2.0 does not appear to be a matshita device$nl"
errors+="the device at 0.2.0 gave no identification (no device answered)$nl$not_listed"
check "no drive at the address" 1 "Selected firmware: $new$nl" "$errors"
finish

# A disk is no CD/DVD drive: refused whatever its name, also when forced.
new_drive "device = 0.3.0 0 $new"
run y 0.3.0 image-32768.bin -f
errors="the device at 0.3.0 is a direct-access device (a disk) (peripheral device type 0), "
errors+="not a CD/DVD drive: kelvo updates CD/DVD drives only, with or without -f$nl"
errors+="$(written "give kelvo the index of the CD/DVD drive (kelvo-list lists them)")$nl"
check "a disk, forced" 1 "Selected firmware: $new${nl}Selected device:   $new$nl" "$errors"
[ "$(awk '{ print $7 }' log | tr '\n' ' ')" = "12 " ] || fail "a disk, forced" "sent more than INQUIRY"
finish

new_drive "residual = 0"
run y 1.1.0 image-32768.bin
errors="// aspiExamine.SRB_Status = x81 (129)$nl"
errors+="// aspiSay: x 0 81:00:00 29 E (aspi status BufLen SenseLen)$nl"
errors+="Selected drive 1.1.0 does not appear to be a matshita device$nl"
errors+="the device at 1.1.0 gave no identification (no device answered)$nl$not_listed"
check "no such host adapter" 1 "Selected firmware: $new$nl" "$errors"
finish

# The vendor's commands go to the vendor's drives alone, whatever the image says, unless the
# user forces the update.
plextor='PLEXTOR DVDR   PX-716A  1.11'
"${runner[@]}" "$make_image" plextor.bin 1000 "$plextor"
for force in "" -f; do
    title="another vendor's drive${force:+, forced}"
    new_drive
    printf '%s' "$plextor" > drive
    run y 0.1.0 plextor.bin $force
    out="Selected firmware: $plextor${nl}Selected device:   $plextor$nl"
    if [ -z "$force" ]; then
        check "$title" 1 "$out" "Selected drive 0.1.0 does not appear to be a matshita device${nl}\
the drive calls itself \"PLEXTOR\", not MATSHITA${nl}$(written "check the index with kelvo-list; \
use -f only for a MATSHITA drive sold under another name")$nl"
        check_payload "$title" plextor.bin 0
    else
        check "$title" 0 "$out$updated" "-f overrides: the drive calls itself \"PLEXTOR\", not \
MATSHITA${nl}the drive already runs the image's firmware, $plextor: the update writes it again, \
as a repair$nl"
        check_payload "$title" plextor.bin
    fi
    finish
done

# A library that refuses every request, as a stub does, leaves nothing to wait for: the
# INQUIRY fails at once instead of after its 300-second time-out.
new_drive "refuse = 1"
started=$SECONDS
run y 0.1.0 image-32768.bin
errors="// aspiSayForMilliSeconds.SendASPI32Command = xE0 (224) != x0 (0)$nl"
errors+="// aspiSay: x FFFFFFFF 00:00:00 29 E (aspi status BufLen SenseLen)$nl"
errors+="Selected drive 0.1.0 does not appear to be a matshita device$nl"
errors+="the device at 0.1.0 gave no identification (the command was not sent)$nl$not_listed"
check "a library that refuses every request" 1 "Selected firmware: $new$nl" "$errors"
[ $((SECONDS - started)) -lt 60 ] ||
    fail "a library that refuses every request" "took $((SECONDS - started)) s"
finish

# Two kelvos answer y at once: one takes the machine's update lock and writes, its first chunk
# held until the other has been refused, which writes nothing and says who holds the lock.
title="two updates at once"
new_drive "completion = later" "delay_ms = 0" "hold_on = 2" "hold_until = $files$work/go"
rm -f go
pids=()
for n in 1 2; do
    rm -f "answer$n" && mkfifo "answer$n"
    WNASPI32_SIM_CONFIG="$files$work/config" LD_LIBRARY_PATH="$library_path" \
        "${program_command[@]}" 0.1.0 image-100000.bin < "answer$n" > "out$n.txt" 2> "err$n.txt" &
    pids[n]=$!
done
exec 4> answer1 5> answer2
tries=0
until grep -q 'Continue? ' out1.txt out2.txt 2> /dev/null &&
    [ "$(grep -l 'Continue? ' out1.txt out2.txt | wc -l)" = 2 ]; do
    tries=$((tries + 1))
    [ $tries -le 1200 ] || break
    sleep 0.05
done
echo y >&4
echo y >&5
exec 4>&- 5>&-
# The one refused ends while the other's chunk is held; where neither does, both wrote.
refused= tries=0
while [ -z "$refused" ] && [ $tries -le 1200 ]; do
    kill -0 "${pids[1]}" 2> /dev/null || refused=1
    kill -0 "${pids[2]}" 2> /dev/null || refused=2
    tries=$((tries + 1))
    [ -n "$refused" ] || sleep 0.05
done
touch go
[ -n "$refused" ] || { fail "$title" "neither was refused"; refused=1; }
writer=$((3 - refused))
wait "${pids[refused]}"
status=$?
wait "${pids[writer]}"
writer_status=$?
holder="kelvo, process ${pids[writer]}, drive 0.1.0"
if [ "$kind" = wine32 ]; then  # Windows' own process numbers
    holder=$(grep -o 'kelvo, process [0-9]*, drive 0.1.0' "err$refused.txt")
    [ -n "$holder" ] || fail "$title" "the holder is not named"
fi
cp "out$refused.txt" out.txt && cp "err$refused.txt" err.txt
check "$title: refused" 1 "${new_for_old}Continue? " "another kelvo update is running on this \
machine ($holder): kelvo updates one drive at a time$nl$(written "run kelvo again once the \
other update has ended")$nl"
status=$writer_status
cp "out$writer.txt" out.txt && cp "err$writer.txt" err.txt
check "$title: written" 0 "$new_for_old$updated" ""
check_payload "$title" image-100000.bin
check_drive "$title" "$new"
[ "$(awk '$7 == "F5"' log | wc -l)" = 1 ] || fail "$title" "closing commands: $(awk '$7 == "F5"' log | wc -l)"
finish

# Without the library, an ASPI address says once that the library could not be loaded, and
# the same name goes to the pass-through backend, which finds no such device either.
library_path=
rm -f program/WNASPI32.DLL
sys_end=
[ "$kind" = wine32 ] && sys_end=$cr  # the system's own line end inside its text
load_failed="// aspiStartup.LoadLibrary: x7E (126) $module_not_found$sys_end$nl"
load_failed+="// \"WNASPI32.DLL\" was the \"specified module\"$nl"
not_found="// sptxOpen.CreateFile: x2 (2) $file_not_found$sys_end$nl"
run y 0.1.0 image-32768.bin
no_aspi="give kelvo the drive's device path (/dev/sr0 or /dev/sg0) that kelvo-list shows instead"
[ "$kind" = wine32 ] &&
    no_aspi="give kelvo the drive letter (E:) or device path that kelvo-list shows instead"
check "no ASPI library" 1 "Selected firmware: $new$nl" "$load_failed${not_found}Could not open \
device$nl$(written "no ASPI library reaches 0.1.0; $no_aspi")$nl"
finish

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
