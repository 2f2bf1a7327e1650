#!/usr/bin/env bash
# Checks one case of a run that scripts/linux-vm or scripts/linux-vm-wine made in a virtual
# machine with a real Linux kernel: the program's standard output, standard error (after
# kelvo's banner) and exit status on the MATSHITA drives there, and for a case on a fresh
# simulated drive what the drive received; for *drive_commands what reached QEMU's drives,
# for *payload* what a simulated drive activated; for *interrupted each interrupted run, the
# drive's firmware after it and its payload. The wine_ cases ran kelvo.exe under Wine.
#
#   linux_vm_test.sh RESULTS CASE
set -u
results=$1
case_name=$2

nl=$'\n'
cr=$'\r'
image="Selected firmware: MATSHITADVD-RAM UJ-85J  1.01$nl"
drive="${image}Selected device:   MATSHITADVD-RAM UJ-85J  1.00$nl"
running="${drive}Continue? Firmware update running, do not interrupt ..."
declined="${drive}Continue? Not confirmed, exiting$nl"
updated="${image}Selected device:   MATSHITADVD-RAM UJ-85J  1.01${nl}Continue? "
updated+="Not confirmed, exiting$nl"
notice="interrupt ignored: the drive is being written, and the update will finish"
mismatch="Selected firmware: MATSHITADVD-RAM UJ-862  1.01${nl}Selected device:   "
mismatch+="MATSHITADVD-RAM UJ-85J  1.00${nl}Selected device does not match firmware$nl"
# What follows "sp_write returned N" when the first of the image's four chunks failed with
# ANSWER: where the update stopped, the drive's answer, and what to do.
first_chunk_failed() {  # ANSWER
    echo "chunk 1 of 4 failed: the drive had accepted 0 of the image's 100000 payload bytes"
    echo "$1"
    echo "the closing command was not sent, so the drive has not taken the new image"
    echo "what to do: leave the machine and the drive powered on and run kelvo again with the" \
         "same file (kelvo-list shows what the drive reports now); if it fails again, keep the" \
         "drive powered and try another connection or path to it before you turn it off"
}
written() {  # WHAT TO DO: how each refusal before the first chunk ends
    echo "nothing was written to the drive: $1"
}
no_identification() {  # DEVICE ANSWER
    echo "the device at $1 gave no identification ($2)"
    written "check the index with kelvo-list, which lists the drives kelvo can reach"
}
as_root="run kelvo as root (sudo), or give it the drive's /dev/sgN node where you may write that"
denied_here="the system keeps this user from the drive"
same_firmware="the drive already runs the image's firmware, MATSHITADVD-RAM UJ-85J  1.01: the "
same_firmware+="update writes it again, as a repair$nl"
other_model="the image is made for \"MATSHITADVD-RAM UJ-862\", the drive is \"MATSHITADVD-RAM "
other_model+="UJ-85J\"$nl$(written "find the firmware file made for the drive's model")$nl"
# Refused by the stand-in before SG_IO: the adapter takes 16 KiB, a chunk is 32816 bytes.
too_large="// sptxSay.DeviceIoControl: x57 (87) The parameter is incorrect.$nl"
too_large+="// sptxSay x 0 0 8030 E (ioctl status length senseLength)${nl}sp_write returned -1$nl"
too_large+="$(first_chunk_failed "the system's call failed: The parameter is incorrect.")$nl"
no_scsi="// sptxSay.DeviceIoControl: x1 (1) Incorrect function.$nl"
no_scsi+="// sptxSay x 0 0 29 E (ioctl status length senseLength)$nl"
no_scsi_answer="the system's call failed: Incorrect function."
# The sr node a drive of the run had, as the guest wrote it down ("drive A: /dev/sr0 ...").
sr_of() { sed -n "s|^.*drive $1: \(/dev/sr[0-9]*\).*|\1|p" "$results/nodes"; }
sg_of() { sed -n "s|^drive $1: .* \(/dev/sg[0-9]*\)$|\1|p" "$results/nodes"; }
not_started() {
    echo "update not started: through $(sr_of "$1") the kernel passes the drive's closing command"\
         "only for root or a process with CAP_SYS_RAWIO"
    written "$as_root"
}

# kelvo-list's line for drive A, B or C, by the sr node the guest noted, naming firmware
# REVISION, or the drive the user may not open; and its line for the other drive's image.
listed() { echo "drive $(sr_of "$1")  SG_IO        matshita     \"MATSHITADVD-RAM UJ-85J  $2\""; }
denied() {
    echo "drive $(sr_of "$1")  SG_IO        cannot-open " \
         "access denied: // sptxOpen.CreateFile: x5 (5) Access is denied."
}
fits="file \"match.bin\" valid \"MATSHITADVD-RAM UJ-85J  1.01\" fits"
other_fits="file \"other.bin\" valid \"MATSHITADVD-RAM UJ-862  1.01\" fits none$nl"

# Wine passes the oversized chunk to the kernel, whose refusal it words as its own; a failed
# call leaves the sense length 0; a path that is no SCSI device is refused by Wine itself.
wine_too_large() {  # WINE'S TEXT
    echo "// sptxSay.DeviceIoControl: $1$cr"
    echo "// sptxSay x 0 0 8030 0 (ioctl status length senseLength)"
    echo "sp_write returned -1"
    first_chunk_failed "the system's call failed: ${1#* (*) }"
}
wine_no_scsi="// sptxSay.DeviceIoControl: x32 (50) Request not supported.$cr$nl"
wine_no_scsi+="// sptxSay x 0 0 29 0 (ioctl status length senseLength)$nl"
wine_no_scsi+="Selected drive X: does not appear to be a matshita device$nl"
wine_no_scsi+="$(no_identification X: "the system's call failed: Request not supported.")$nl"
# Whatever the device, even one whose adapter takes 16 KiB, or none at all.
wine_capabilities="MaximumTransferLength 32768, MaximumPhysicalPages 8, AlignmentMask 0x1000$nl"

# The confirmed updates on drive A (root on its sr and sg nodes) sent their first chunk,
# which the drive refused with ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE; nothing else
# vendor-specific went out, and nothing at all to drive B.
refused_write=$'target 0 command 234\ntarget 0 sense key 0x05 asc 0x20 ascq 0x00'
vendor_commands="$refused_write$nl--$nl$refused_write$nl"

busy="the drive is busy: a disc in it is mounted, or another program keeps it for itself$nl"
busy+="$(written "unmount the disc (umount) or close the program that burns or plays discs, \
then run kelvo again")$nl"

# What a fresh simulated drive received of the program (INQUIRY, and the vendor's write and
# closing commands), one operation code a line; unset where the case does not look.
unset received

# check RUN: RUN's exit status, standard output and standard error (after kelvo's banner,
# unless banner=no) against status, out and err; what the drive received against received,
# where that is set. Under Wine both streams are in text mode: every line ends CR LF, and a
# system message, which ends CR LF itself, CR CR LF.
check() {
    local dir=$results/$1 out=$out err=$err line_end= after_banner=1 problems=0 pattern got
    if [ "${case_name#wine_}" != "$case_name" ]; then
        line_end=$cr
        out=${out//$nl/$cr$nl}
        err=${err//$nl/$cr$nl}
    fi
    if [ "$(cat "$dir/status" 2> /dev/null)" != "$status" ]; then
        echo "FAIL: $1: exit status $(cat "$dir/status" 2> /dev/null), expected $status"
        problems=1
    fi
    if ! cmp -s "$dir/stdout" <(printf '%s' "$out"); then
        echo "FAIL: $1: standard output was: $(cat -A "$dir/stdout")"; problems=1
    fi
    if [ $banner = yes ]; then
        pattern='^kelvo V 1\.01 compiled at [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} '
        pattern+='[0-9]{2}:[0-9]{2}:[0-9]{2}'
        if ! head -n 1 "$dir/stderr" | grep -Eq "$pattern$line_end\$"; then
            echo "FAIL: $1: no banner: $(head -n 1 "$dir/stderr" | cat -A)"; problems=1
        fi
        after_banner=2
    fi
    if ! cmp -s <(tail -n +$after_banner "$dir/stderr") <(printf '%s' "$err"); then
        echo "FAIL: $1: standard error was: $(tail -n +$after_banner "$dir/stderr" | cat -A)"
        problems=1
    fi
    # The kernel's own commands when an sr node is opened and closed (TEST UNIT READY, GET
    # EVENT STATUS NOTIFICATION, PREVENT ALLOW MEDIUM REMOVAL) are not the program's.
    if [ -n "${received+set}" ]; then
        got=$(grep -xE '12|EA|F5' "$dir/drive_received" 2> /dev/null)
        if [ "$got$nl" != "$received" ]; then
            echo "FAIL: $1: the drive received: $(echo $got)"; problems=1
        fi
    fi
    return $problems
}

# same_payload TARGET: whether simulated drive TARGET activated the image's payload unchanged.
same_payload() {
    cmp <(tail -c +49 "$results/match.bin") "$results/payload-$1" && return 0
    echo "FAIL: simulated drive $1 did not receive the image's payload unchanged"
    return 1
}

# finished CASE TARGET ERR: CASE's update ran to its end, Finished, with ERR on standard error;
# CASE_updated then found the image's firmware on simulated drive TARGET, which holds the
# image's payload.
finished() {
    local problems=0
    status=0 out="${running}Finished$nl" err=$3
    check "$1" || problems=1
    status=0 out=$updated err=$same_firmware
    check "$1_updated" || problems=1
    same_payload "$2" || problems=1
    return $problems
}

banner=yes
case $case_name in
sr_declined | sg_declined | sr_declined_32_bit | wine_sr_declined | wine_sg_declined)
    status=0 out=$declined err="" ;;
sr_mismatch | wine_sr_mismatch | wine_sg_mismatch) status=1 out=$mismatch err=$other_model ;;
sr_update_refused | sg_update_refused | wine_sr_update_refused | wine_sg_update_refused)
    status=1 out=$running err="sp_write returned -2$nl$(first_chunk_failed "the drive answered \
CHECK CONDITION: ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE (5/20/00)")$nl" ;;
sr_update_not_root) status=1 out=$drive err="$(not_started A)$nl" ;;
tcmu_not_root)  # the kernel would refuse the closing command: nothing is sent
    status=1 out=$drive err="$(not_started E)$nl" received=$'12\n' ;;
sr_no_access)
    status=1 out=$image
    err="// sptxOpen.CreateFile: x5 (5) Access is denied.${nl}Could not open device$nl"
    err+="$(written "$denied_here; $as_root")$nl" ;;
sr_chunk_too_large | sg_chunk_too_large) status=1 out=$running err=$too_large ;;
wine_sr_chunk_too_large)  # the kernel's EIO
    status=1 out=$running
    err="$(wine_too_large "x15 (21) Not ready.")$nl" ;;
wine_sg_chunk_too_large)  # the kernel's EINVAL
    status=1 out=$running
    err="$(wine_too_large "x57 (87) Invalid parameter.")$nl" ;;
dev_null)
    status=1 out=$image
    err="${no_scsi}Selected drive /dev/null does not appear to be a matshita device$nl"
    err+="$(no_identification /dev/null "$no_scsi_answer")$nl" ;;
regular_file)
    status=1 out=$image
    err="${no_scsi}Selected drive /work/other.bin does not appear to be a matshita device$nl"
    err+="$(no_identification /work/other.bin "$no_scsi_answer")$nl" ;;
wine_dev_null | wine_regular_file) status=1 out=$image err=$wine_no_scsi ;;
wine_cdrom0)  # Wine's own device of its first CD-ROM letter, which passes no SCSI command
    status=1 out=$image
    err="// sptxSay.DeviceIoControl: x32 (50) Request not supported.$cr$nl"
    err+="// sptxSay x 0 0 29 E (ioctl status length senseLength)$nl"
    err+="Selected drive \\\\.\\CdRom0 does not appear to be a matshita device$nl"
    err+="$(no_identification '\\.\CdRom0' "the system's call failed: Request not supported.")$nl" ;;
wine_list)  # the CD-ROM letters alone: D: is drive A, E: drive C with the image's firmware
    status=0 err="" banner=no
    out="drive D:        pass-through matshita     \"MATSHITADVD-RAM UJ-85J  1.00\"$nl"
    out+="drive E:        pass-through matshita     \"MATSHITADVD-RAM UJ-85J  1.01\"$nl"
    out+="note aspi the ASPI library did not start: // aspiStartup.GetASPI32SupportInfo = xE800 "
    out+="(59392)$nl"
    out+="$fits D: E:(installed)$nl" ;;
wine_no_access)
    status=1 out=$image
    err="// sptxOpen.CreateFile: x5 (5) Access denied.$cr${nl}Could not open device$nl"
    err+="$(written "$denied_here; run kelvo in a Command Prompt run as administrator")$nl" ;;
wine_capabilities_drive_b | wine_capabilities_dev_null)
    status=0 out=$wine_capabilities err="" banner=no ;;
tcmu_update | tcmu_update_32_bit | wine_sr_update | wine_sg_update)
    status=0 out="${running}Finished$nl" err="" ;;
tcmu_sg_not_root | wine_sg_update_not_root)
    # An sg node opened for writing passes every command, for anyone.
    status=0 out="${running}Finished$nl" err="" received=$'12\nEA\nEA\nEA\nEA\nF5\n' ;;
wine_sr_update_not_root)  # the kernel refuses the closing command; the drive keeps 1.00
    status=1 out=$running
    err="// sptxSay.DeviceIoControl: x5 (5) Access denied.$cr$nl"
    err+="// sptxSay x 0 0 400 0 (ioctl status length senseLength)${nl}"
    err+="closing command returned -1$nl"
    err+="the system's call failed: Access denied.$nl"
    err+="the drive now reports MATSHITADVD-RAM UJ-85J  1.00, not the image's "
    err+="MATSHITADVD-RAM UJ-85J  1.01$nl"
    err+="the update may not have taken: power-cycle the drive and check its firmware before "
    err+="using it$nl"
    received=$'12\nEA\nEA\nEA\nEA\n12\n' ;;
tcmu_updated | wine_sr_updated | wine_sg_updated) status=0 out=$updated err=$same_firmware ;;
list)  # the drives in the order of their sg nodes, which the boot made A, B, C
    status=0 err="" banner=no
    out="$(listed A 1.00)$nl$(listed B 1.00)$nl$(listed C 1.00)$nl"
    out+="$fits $(sr_of A) $(sr_of B) $(sr_of C)$nl$other_fits" ;;
list_updated)  # drive C now runs the image's firmware
    status=0 err="" banner=no
    out="$(listed A 1.00)$nl$(listed B 1.00)$nl$(listed C 1.01)$nl"
    out+="$fits $(sr_of A) $(sr_of B) $(sr_of C)(installed)$nl$other_fits" ;;
list_not_root)  # a user who may open drive A's node alone
    status=0 err="" banner=no
    out="$(listed A 1.00)$nl$(denied B)$nl$(denied C)$nl$fits $(sr_of A)$nl$other_fits" ;;
tcmu_payload | wine_sr_payload) same_payload 3; exit ;;  # drive C, SCSI target 3
tcmu_payload_32_bit | wine_sg_payload) same_payload 4; exit ;;  # drive D
tcmu_interrupted)  # each signal of the boot's table, sent to an update of a drive of its own
    problems=0
    for run in INT:7 HUP:8; do
        finished "tcmu_interrupted_${run%:*}" "${run#*:}" "$notice$nl" || problems=1
    done
    exit $problems ;;
wine_interrupted)  # Ctrl+C while kelvo.exe writes, and at its prompt
    problems=0
    status=0 out="${running}Finished$nl" err="$notice$nl"
    check sr_interrupted || problems=1
    status=0 out=$updated err=$same_firmware
    check sr_interrupted_updated || problems=1
    same_payload 7 || problems=1
    # Wine's default handler of the event ends the program with exit status 0 (that of
    # Windows with STATUS_CONTROL_C_EXIT), saying nothing where WINEDEBUG=-all.
    status=0 out="${drive}Continue? " err="" received=$'12\n'
    check prompt_interrupted || problems=1
    exit $problems ;;
tcmu_paused)  # drive I's update and drive J's, each held still while another kelvo ran
    problems=0
    for run in tcmu_paused:9 tcmu_paused_elsewhere:2; do
        finished "${run%:*}" "${run#*:}" "" || problems=1
        # One update's chunks and closing command: the other kelvo wrote nothing.
        got=$(grep -xE 'EA|F5' "$results/commands-${run#*:}")
        if [ "$got" != $'EA\nEA\nEA\nEA\nF5' ]; then
            echo "FAIL: ${run%:*}: the drive received: $(echo $got)"; problems=1
        fi
    done
    exit $problems ;;
second_update)  # while drive I's update through its sg node was held still: through its sr
                # node, then its sg node
    holder="kelvo, process $(cat "$results/tcmu_paused/process"), drive $(sg_of 9)"
    status=1 out=$image
    err="another kelvo update is running on this machine ($holder): kelvo updates one drive at "
    err+="a time$nl$(written "run kelvo again once the other update has ended")$nl"
    problems=0
    check second_update_sr || problems=1
    check second_update_sg || problems=1
    exit $problems ;;
sr_busy | sr_mounted)  # drive J, held by another update; drive A, its disc mounted
    status=1 out="${drive}Continue? " err=$busy ;;
list_while_updating)  # drive I, listed by its sr node, while its update through its sg node
                      # was held still: busy, and not opened
    line=$(grep "^drive $(sr_of 9) " "$results/list_while_updating/stdout")
    holder="kelvo, process $(cat "$results/tcmu_paused/process"), drive $(sg_of 9)"
    [ "$line" = "$(printf 'drive %-9s %-12s %-12s %s' "$(sr_of 9)" SG_IO busy \
        "a kelvo update writes it ($holder)")" ] && exit 0
    echo "FAIL: kelvo-list listed drive I as: $line"
    exit 1 ;;
sg_busy)  # drive I, updated before, its sg node kept open by another program
    status=1 out="${updated%Not confirmed, exiting$nl}" err="$same_firmware$busy" ;;
drive_commands | wine_drive_commands)
    got=$(grep -A1 -E 'command (234|245)$' "$results/drive_commands")
    if [ "$got$nl" = "$vendor_commands" ]; then exit 0; fi
    echo "FAIL: the drives received: $got"
    exit 1 ;;
*) echo "no such case: $case_name"; exit 1 ;;
esac

check "${case_name#wine_}"
