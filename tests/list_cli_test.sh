#!/usr/bin/env bash
# Runs kelvo-list as a user would, against the simulated ASPI library holding several devices
# on two host adapters, and compares what the user sees and the exit status with what they
# must be, and the commands the devices received with INQUIRY alone.
#
#   list_cli_test.sh host|wine32 <library> <make_image> <kelvo-list> [runner]
#
# As simulated_aspi.sh says: host, the host kelvo-list (its Linux drives from a tree of the
# test's own, here none); wine32, the product, kelvo-list.exe, under Wine, whose drive
# letters here are no CD-ROM drives.
set -u
. "$(dirname "$0")/simulated_aspi.sh"

# A bus whose configuration lines are the arguments, its commands logged.
bus() {
    rm -f log
    { echo "log = $files$work/log"; printf '%s\n' "$@"; } > config
}

# run [kelvo-list arguments...]: its streams in out.txt and err.txt, its status in $status.
run() {
    WNASPI32_SIM_CONFIG="$files$work/config" LD_LIBRARY_PATH="$library_path" \
        "${program_command[@]}" "$@" > out.txt 2> err.txt
    status=$?
}

# check TITLE STATUS STDOUT STDERR: STDOUT's lines given without their line ends.
check() {
    local title=$1 expected="" line
    if [ -n "$3" ]; then
        while IFS= read -r line; do expected+="$line$nl"; done <<< "$3"
    fi
    [ "$status" = "$2" ] || fail "$title" "exit status $status, expected $2"
    cmp -s out.txt <(printf '%s' "$expected") ||
        fail "$title" "standard output was: $(cat -A out.txt)"
    cmp -s err.txt <(printf '%s' "$4") || fail "$title" "standard error was: $(cat -A err.txt)"
}

# The addresses and operation codes of the commands the devices received, one line each.
commands() {
    [ -e log ] && awk '{ print $1, $7 }' log | tr '\n' ' '
}

"${runner[@]}" "$make_image" new.bin 1000 'MATSHITADVD-RAM UJ-85J  1.01' > /dev/null
"${runner[@]}" "$make_image" other.bin 1000 'MATSHITADVD-RAM UJ-86J  1.00' > /dev/null
"${runner[@]}" "$make_image" --container container.bin 100000 'MATSHITADVD-RAM UJ-85J  1.00' \
    > /dev/null
head -c 287 new.bin > short.bin

# Two wide adapters: the MATSHITA drive at 0.1.0 (firmware 1.00), another vendor's CD-ROMs, one
# at the last logical unit, a disk, a CD-ROM that answers no command, and a MATSHITA drive that
# already runs 1.01 at a target only a wide adapter has and a logical unit other than 0.
every_kind=("adapters = 2" "address = 0.1.0" "targets = 16"
            "device = 0.2.0 5 PLEXTOR DVDR   PX-716A  1.11"
            "device = 0.2.7 5 PLEXTOR DVDR   PX-708A  1.12"
            "device = 0.3.0 0 ATA     ST3200822A      3.01"
            "device = 1.9.0 5"
            "device = 1.12.1 5 MATSHITADVD-RAM UJ-85J  1.01")
drives='drive 0.1.0     ASPI         matshita     "MATSHITADVD-RAM UJ-85J  1.00"
drive 0.2.0     ASPI         not-matshita "PLEXTOR DVDR   PX-716A  1.11"
drive 0.2.7     ASPI         not-matshita "PLEXTOR DVDR   PX-708A  1.12"
drive 1.9.0     ASPI         no-answer    no device answered: // aspiSay: x 0 04:11:00 29 E (aspi status BufLen SenseLen)
drive 1.12.1    ASPI         matshita     "MATSHITADVD-RAM UJ-85J  1.01"'
no_drive='note no-drive no optical drive found: check the tree that KELVO_LIST_TREE names'
[ "$kind" = wine32 ] && no_drive="note no-drive no optical drive found: run kelvo-list as an \
administrator, and check that Windows shows the drive as a CD-ROM drive with a letter, or that \
an ASPI layer is installed"
bus "${every_kind[@]}"
run new.bin container.bin other.bin
check "every kind of device, valid files" 0 "$drives
file \"new.bin\" valid \"MATSHITADVD-RAM UJ-85J  1.01\" fits 0.1.0 1.12.1(installed)
file \"container.bin\" valid \"MATSHITADVD-RAM UJ-85J  1.00\" fits 0.1.0(installed) 1.12.1
file \"other.bin\" valid \"MATSHITADVD-RAM UJ-86J  1.00\" fits none" ""
[ "$(commands)" = "0.1.0 12 0.2.0 12 0.2.7 12 1.9.0 12 1.12.1 12 " ] ||
    fail "every kind of device" "the devices received: $(commands)"
[ ! -e extracted.dat ] || fail "every kind of device" "extracted.dat was written"
finish

bus "${every_kind[@]}"
run new.bin short.bin missing.bin
check "invalid files" 1 "$drives
file \"new.bin\" valid \"MATSHITADVD-RAM UJ-85J  1.01\" fits 0.1.0 1.12.1(installed)
file \"short.bin\" invalid flash data appears to be too short
file \"missing.bin\" invalid open for read error the file missing.bin cannot be read: there is no such file" ""
finish

# A library that does not know SC_GET_DEV_TYPE, or fails it: nothing of that adapter is
# asked anything, and the listing says why.
bus "${every_kind[@]}" "dev_type = refuse"
run
refused='// aspiGetDeviceType.SendASPI32Command = xE0 (224) != x0 (0) // aspiGetDeviceType.SRB_Status = x0 (0)'
check "SC_GET_DEV_TYPE unknown to the library" 0 \
    "note aspi-adapter:0 not listed from 0.0.0 on: $refused
note aspi-adapter:1 not listed from 1.0.0 on: $refused
$no_drive" ""
[ -z "$(commands)" ] || fail "SC_GET_DEV_TYPE unknown" "the devices received: $(commands)"
finish

bus "${every_kind[@]}" "dev_type = fail"
run
failed_type='// aspiGetDeviceType.SRB_Status = x4 (4)'
check "SC_GET_DEV_TYPE failed" 0 "note aspi-adapter:0 not listed from 0.0.0 on: $failed_type
note aspi-adapter:1 not listed from 1.0.0 on: $failed_type
$no_drive" ""
[ -z "$(commands)" ] || fail "SC_GET_DEV_TYPE failed" "the devices received: $(commands)"
finish

# An adapter that does not answer its inquiry: kelvo opens its addresses all the same, so the
# listing walks it as a narrow adapter and judges its drives as kelvo will.
bus "adapters = 3" "address = 2.1.0" "failing_adapter = 1" \
    "device = 1.4.0 5 MATSHITADVD-RAM UJ-85J  1.00"
run new.bin
check "an adapter that does not answer" 0 \
    "note aspi-adapter:1 the adapter did not answer; kelvo goes on with its addresses all the same: // aspiExamine.SRB_Status = x81 (129)
drive 1.4.0     ASPI         matshita     \"MATSHITADVD-RAM UJ-85J  1.00\"
drive 2.1.0     ASPI         matshita     \"MATSHITADVD-RAM UJ-85J  1.00\"
file \"new.bin\" valid \"MATSHITADVD-RAM UJ-85J  1.01\" fits 1.4.0 2.1.0" ""
finish

bus "adapters = 0"
run new.bin
check "a library without host adapters" 0 \
    "note aspi the ASPI library did not start: // aspiStartup.GetASPI32SupportInfo = xE800 (59392)
$no_drive
file \"new.bin\" valid \"MATSHITADVD-RAM UJ-85J  1.01\" fits none" ""
finish

# Without the library, the listing says nothing of ASPI: kelvo then takes an address as a
# device path.
library_path=
rm -f program/WNASPI32.DLL  # under Wine: neither ours nor its own
bus "${every_kind[@]}"
run new.bin
check "no ASPI library" 0 "$no_drive
file \"new.bin\" valid \"MATSHITADVD-RAM UJ-85J  1.01\" fits none" ""
finish

for option in -h "/?"; do
    run "$option"
    [ "$status" = 0 ] && grep -q '^  drive INDEX PATH STATE' out.txt ||
        fail "help by $option" "status $status, standard output: $(head -n 2 out.txt | cat -A)"
    finish
done

run --list new.bin
usage="^usage: .*kelvo[-_]list[_a-z]*(\\.exe)? \\[--help\\] \\[FIRMWARE FILE \\.\\.\\.\\]${nl%$'\n'}\$"
[ "$status" = 1 ] && [ ! -s out.txt ] && [ "$(wc -l < err.txt)" = 1 ] && grep -Eq "$usage" err.txt ||
    fail "an unknown option" "status $status, standard error: $(cat -A err.txt)"
finish

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
