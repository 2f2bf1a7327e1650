#!/usr/bin/env bash
# Runs kelvo as a user would, on firmware files made here, and compares standard output,
# standard error and the exit status with what the user must see.
#
#   cli_test.sh host|linux|win64|win32 <kelvo command...>
#
# host: the host kelvo; linux: the static kelvo for Linux users; win64: the 64-bit kelvo.exe;
# win32: the product, kelvo.exe, with the system's own WNASPI32.DLL. The Windows programs write
# their streams in text mode, so every line ends in CR LF.
set -u
kind=$1
shift
kelvo=("$@")
endings=crlf
[ "$kind" = host ] || [ "$kind" = linux ] && endings=lf

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# A firmware image: the 28-character drive name, the declared payload length and the stored
# checksum in the header, then a payload of zeros whose first word is `first_word`.
make_image() {  # file name payload_length declared_length stored_sum first_word
    local file=$1 name=$2 payload=$3 declared=$4 sum=$5 word=$6
    {
        printf '%-28.28s' "$name"
        head -c 8 /dev/zero
        printf "\\x$(printf %02x $((declared >> 24 & 255)))\\x$(printf %02x $((declared >> 16 & 255)))"
        printf "\\x$(printf %02x $((declared >> 8 & 255)))\\x$(printf %02x $((declared & 255)))"
        head -c 2 /dev/zero
        printf "\\x$(printf %02x $((sum >> 8)))\\x$(printf %02x $((sum & 255)))"
        head -c 4 /dev/zero
        printf "\\x$(printf %02x $((word >> 8)))\\x$(printf %02x $((word & 255)))"
        head -c $((payload - 2)) /dev/zero
    } > "$file"
}

name='MATSHITADVD-RAM UJ-85J  1.00'
make_image good.bin "$name" 240 240 0x1234 0x1234
make_image long.bin "$name" 241 240 0x1234 0x1234
make_image bad-sum.bin "$name" 240 240 0x1235 0x1234
make_image beyond-offsets.bin "$name" $((0x1000001)) $((0x1000001)) 0x1234 0x1234
make_image container-size.bin "$name" 3200000 3200000 0x1234 0x1234
head -c 287 good.bin > short.bin
mkdir folder.bin

# A container: `size` bytes of x with the text at offset 4096, the first offset searched.
make_container() {  # file size text
    local file=$1 size=$2 text=$3
    { head -c 4096 /dev/zero | tr '\0' x; printf '%s' "$text"; } > "$file"
    head -c $((size - $(stat -c %s "$file"))) /dev/zero | tr '\0' x >> "$file"
}
hex_text() {  # the image as the containers write it: "<4d415453 48495441 ... >"
    printf '<%s>' "$(od -An -v -tx1 -w4 "$1" | tr -d ' ' | tr '\n' ' ')"
}
make_image large.bin "$name" 1000000 1000000 0x1234 0x1234
printf 'MATSHITA\0\0\0*' > twelve.bin
make_container below-search.bin 3145728 "$(hex_text good.bin)"
make_container above-search.bin 4194304 "$(hex_text good.bin)"
make_container container.bin 3670016 "$(hex_text large.bin)"
make_container no-marker.bin 3145729 "<4D415453 48495441 >"
make_container twelve-bytes.bin 3145729 "<4d415453 48495441 0000002a >"
make_container save-fails.bin 4194303 "$(hex_text good.bin)"

passed=0
failed=0
banner='^kelvo V 1\.01 compiled at [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}$'
usage='^usage: .*kelvo(\.exe)? <device index> <file to flash>$
  <device index>  the drive: a drive letter with a colon (E:), an ASPI address of host
                  adapter, target and logical unit (0.1.0), or a device path (\\.\CdRom0;
                  on Linux /dev/sr0 or /dev/sg0)
  <file to flash> the firmware image, or a hex container that holds it
  -f              as the third argument: update a drive that does not match the image
kelvo-list lists the drives kelvo can reach, and which firmware file fits which drive.
'

as_written() {  # the text as the program's streams carry it
    if [ "$endings" = crlf ]; then sed 's/$/\r/'; else cat; fi
}

fail() {
    echo "FAIL: $1: $2"
}

# expect NAME STATUS STDOUT STDERR [args...]
# STDERR is what follows the banner; a value starting with ^ is a pattern for its first line,
# and its other lines are the text that must follow.
expect() {
    local title=$1 status=$2 out=$3 err=$4
    shift 4
    "${kelvo[@]}" "$@" < /dev/null > out.txt 2> err.txt
    local got=$?
    local problems=0
    if [ "$got" != "$status" ]; then fail "$title" "exit status $got, expected $status"; problems=1; fi
    if ! cmp -s out.txt <(printf '%s' "$out" | as_written); then
        fail "$title" "standard output was: $(cat -A out.txt)"; problems=1
    fi
    if ! head -n 1 err.txt | tr -d '\r' | grep -Eq "$banner"; then
        fail "$title" "no banner: $(head -n 1 err.txt | cat -A)"; problems=1
    fi
    if [ "${err:0:1}" = '^' ]; then
        if ! sed -n 2p err.txt | tr -d '\r' | grep -Eq "${err%%$'\n'*}" ||
            ! cmp -s <(tail -n +3 err.txt) <(printf '%s' "${err#*$'\n'}" | as_written); then
            fail "$title" "standard error was: $(tail -n +2 err.txt | cat -A)"; problems=1
        fi
    elif ! cmp -s <(tail -n +2 err.txt) <(printf '%s' "$err" | as_written); then
        fail "$title" "standard error was: $(tail -n +2 err.txt | cat -A)"; problems=1
    fi
    if [ $problems = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

# Wine prepares its prefix on first use and says so on standard error: let it do that now.
"${kelvo[@]}" < /dev/null > /dev/null 2>&1

nl=$'\n'
cr=$'\r'
selected="Selected firmware: $name$nl"
# A drive letter that does not exist: the system's own text for code 2, which ends in the
# system's line end, in the wording of Windows (the POSIX stand-in) or of Wine.
if [ "$endings" = crlf ]; then file_not_found="File not found.$cr"; else
    file_not_found='The system cannot find the file specified.'; fi
written() {  # WHAT TO DO: how each refusal before the first chunk ends
    printf 'nothing was written to the drive: %s\n' "$1"
}
unreadable=$(written "check the file's name and the folder you run kelvo in")
download=$(written "download the file again; do not use this one")
no_device="// sptxOpen.CreateFile: x2 (2) $file_not_found${nl}Could not open device$nl"
nothing_at_q=$(written "no drive opens as Q:; kelvo-list lists the drives kelvo can reach")
# What each system offers in place of a number alone, or of an ASPI library.
if [ "$endings" = crlf ]; then
    index_forms="a drive letter with a colon (E:), an ASPI address (0.1.0) or a device path"
    no_aspi="give kelvo the drive letter (E:) or device path that kelvo-list shows instead"
else
    index_forms="a device path (/dev/sr0 or /dev/sg0)"
    no_aspi="give kelvo the drive's device path (/dev/sr0 or /dev/sg0) that kelvo-list shows \
instead"
fi
not_a_number="the device index is $index_forms, not a number alone$nl"
no_container="the file has the size of a hex container, but none was found in it, so it was \
checked as a plain image$nl"
# Where extracted.dat is saved, as the program names the current folder.
saved_here="the image found in the container was saved as $work/extracted.dat$nl"
[ "$endings" = crlf ] && saved_here="the image found in the container was saved as \
Z:${work//\//\\}\\extracted.dat$nl"
not_needed="the update does not need extracted.dat: it goes on with the image in memory$nl"
force_off() {  # ARGUMENT POSITION COUNT
    printf -- '-f is off: the force flag is exactly -f as the third and last argument, not "%s" as argument %s of %s\n' "$@"
}

expect "no arguments" 1 "" "$usage"
expect "one argument" 1 "" "$usage" Q:
expect "missing file" 1 "" \
    "open for read error${nl}the file missing.bin cannot be read: there is no such file$nl$unreadable$nl" \
    Q: missing.bin
expect "folder as file" 1 "" \
    "open for read error${nl}the file folder.bin cannot be read: it is a folder$nl$(written \
    "give kelvo the firmware file itself")$nl" Q: folder.bin
expect "287 bytes" 1 "" "flash data appears to be too short$nl$(written \
    "use the firmware file itself, not a shortcut or a download page")$nl" Q: short.bin
expect "length mismatch" 1 "" \
    "fatal: firmware file length 289 does not match header info 288$nl$download$nl" Q: long.bin
expect "checksum mismatch" 1 "" \
    "fatal: checksum error in file bad-sum.bin, expected 1235, current 1234$nl$(written \
    "download the file again; never force such an image")$nl" Q: bad-sum.bin
too_large="fatal: firmware payload of 16777217 bytes exceeds the 16777216 bytes"
expect "payload beyond the write command's offsets" 1 "" \
    "$too_large the write command can address$nl$download$nl" Q: beyond-offsets.bin
expect "drive that does not exist" 1 "$selected" "$no_device$nothing_at_q$nl" Q: good.bin
expect "forced, drive that does not exist" 1 "$selected" "$no_device$nothing_at_q$nl" \
    Q: good.bin -f
expect "a number as the device index" 1 "$selected" \
    "$no_device$not_a_number$(written \
    "no drive opens as 1; kelvo-list lists the drives kelvo can reach")$nl" 1 good.bin

# The force flag counts only as exactly -f, the third of three arguments; anywhere or anyhow
# else it stays off, and kelvo says so before anything else.
expect "the force flag in second place" 1 "" "$(force_off -f 2 3)${nl}open for read error
the file -f cannot be read: there is no such file$nl$unreadable$nl" Q: -f good.bin
expect "the force flag spelt long" 1 "$selected" "$(force_off --force 3 3)$nl$no_device$nothing_at_q$nl" \
    Q: good.bin --force
expect "the force flag before a fourth argument" 1 "$selected" \
    "$(force_off -f 3 4)$nl$no_device$nothing_at_q$nl" Q: good.bin -f more

# Both streams into one log, as "2>&1 | tee kelvo.log" keeps them: in the order they were
# written, each line of standard output before the errors that follow it.
"${kelvo[@]}" Q: good.bin < /dev/null > both.txt 2>&1
if [ "$(grep -E '^(Selected firmware|Could not open device)' both.txt | tr -d '\r')" = \
    "Selected firmware: $name${nl}Could not open device" ]; then
    passed=$((passed + 1))
else
    fail "both streams into one" "they read: $(cat -A both.txt)"; failed=$((failed + 1))
fi

# saved NAME EXPECTED: extracted.dat holds the bytes of the file EXPECTED, or is absent for -.
saved() {
    local title=$1 expected=$2
    if [ "$expected" = - ] && [ -e extracted.dat ]; then
        fail "$title" "extracted.dat was written"; failed=$((failed + 1))
    elif [ "$expected" != - ] && ! cmp -s extracted.dat "$expected"; then
        fail "$title" "extracted.dat differs from $expected"; failed=$((failed + 1))
    else
        passed=$((passed + 1))
    fi
    rm -rf extracted.dat
}

# Only files of more than 3 MiB and less than 4 MiB are searched for the image's text.
x_header=2021161128  # "xxxx" read as the payload length, plus the header
expect "3 MiB container is an image" 1 "" \
    "fatal: firmware file length 3145728 does not match header info $x_header$nl$download$nl" \
    Q: below-search.bin
saved "3 MiB container is an image" -
expect "4 MiB container is an image" 1 "" \
    "fatal: firmware file length 4194304 does not match header info $x_header$nl$download$nl" \
    Q: above-search.bin
saved "4 MiB container is an image" -
expect "searched, no image text" 1 "" \
    "fatal: firmware file length 3145729 does not match header info $x_header$nl$no_container$download$nl" \
    Q: no-marker.bin
saved "searched, no image text" -
expect "a plain image of a container's size" 1 "$selected" "$no_device$nothing_at_q$nl" \
    Q: container-size.bin
saved "a plain image of a container's size" -
expect "container" 1 "$selected" "$saved_here$no_device$nothing_at_q$nl" Q: container.bin
saved "container" large.bin
expect "container of a 12-byte image" 1 "" \
    "${saved_here}fatal: firmware file length 12 does not match header info 48$nl$download$nl" \
    Q: twelve-bytes.bin
saved "container of a 12-byte image" twelve.bin
mkdir extracted.dat
expect "extracted.dat cannot be created" 1 "$selected" \
    "ERROR: failed to open extracted.dat for write$nl$not_needed$no_device$nothing_at_q$nl" \
    Q: save-fails.bin
rm -rf extracted.dat

# The disk fills up while extracted.dat is written (here the file size limit stops it after
# 100 KiB of the 1,000,048 bytes): no truncated copy stays behind, and the run goes on.
if [ "$kind" = host ]; then
    whole_disk=("${kelvo[@]}")
    kelvo=(bash -c 'trap "" XFSZ; ulimit -f 100; exec "$@"' full-disk "${whole_disk[@]}")
    expect "disk full while saving extracted.dat" 1 "$selected" \
        "ERROR: failed to write extracted.dat$nl$not_needed$no_device$nothing_at_q$nl" \
        Q: container.bin
    saved "disk full while saving extracted.dat" -
    kelvo=("${whole_disk[@]}")
fi

# An ASPI address where the ASPI library cannot start: the 32-bit host has no WNASPI32.DLL on
# its path, and 64-bit Windows has no ASPI for Win32 at all, which the backend finds out by
# its request block's layout before loading anything. Wine's own WNASPI32.DLL finds no host
# adapter here. Only the backend's own lines are compared, and for Wine's library the
# pass-through backend's as well; what it then says of the same name follows them.
if [ "$kind" = win64 ]; then
    aspi_lines=$'// aspiStartup: ASPI for Win32 serves 32-bit programs only\r\n'
elif [ "$kind" = linux ]; then
    aspi_lines=$'// aspiStartup: there is no ASPI for Win32 on Linux\n'
elif [ "$kind" = win32 ]; then
    aspi_lines=$'// aspiStartup.GetASPI32SupportInfo = xE800 (59392)\r\n'
    aspi_lines+=$'// sptxOpen.CreateFile: x2 (2) File not found.\r\r\n'
else
    aspi_lines=$'// aspiStartup.LoadLibrary: x7E (126) The specified module could not be found.\n'
    aspi_lines+=$'// "WNASPI32.DLL" was the "specified module"\n'
fi
"${kelvo[@]}" 0.1.0 good.bin < /dev/null > out.txt 2> err.txt
status=$?
first_lines=$(tail -n +2 err.txt | head -n "$(printf '%s' "$aspi_lines" | wc -l)")
if [ "$status" = 1 ] && [ "$first_lines$nl" = "$aspi_lines" ] &&
    [ "$(tail -n 2 err.txt | tr -d '\r')" = "Could not open device
nothing was written to the drive: no ASPI library reaches 0.1.0; $no_aspi" ]; then
    passed=$((passed + 1))
else
    fail "ASPI address without ASPI" "standard error was: $(tail -n +2 err.txt | cat -A)"
    failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
