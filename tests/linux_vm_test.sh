#!/usr/bin/env bash
# Checks one case of the run that scripts/linux-vm made in a virtual machine with a real
# Linux kernel: kelvo's standard output, standard error (after its banner) and exit status
# on the MATSHITA drives there, and for a case on a fresh simulated drive what the drive
# received; for drive_commands what reached QEMU's drives, for tcmu_payload* what the
# simulated drives activated.
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
# Refused by the stand-in before SG_IO: the adapter takes 16 KiB, a chunk is 32816 bytes.
too_large="// sptxSay.DeviceIoControl: x57 (87) The parameter is incorrect.$cr$nl"
too_large+="// sptxSay x 0 0 8030 E (ioctl status length senseLength)${nl}sp_write returned -1$nl"
no_scsi="// sptxSay.DeviceIoControl: x1 (1) Incorrect function.$cr$nl"
no_scsi+="// sptxSay x 0 0 29 E (ioctl status length senseLength)$nl"
not_started="update not started: the kernel sends the drive's closing command only for root or "
not_started+="a process with CAP_SYS_RAWIO$nl"

# The confirmed updates on drive A (root on its sr and sg nodes) sent their first chunk,
# which the drive refused with ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE; nothing else
# vendor-specific went out, and nothing at all to drive B.
refused_write=$'target 0 command 234\ntarget 0 sense key 0x05 asc 0x20 ascq 0x00'
vendor_commands="$refused_write$nl--$nl$refused_write$nl"

# What a fresh simulated drive received of the program (INQUIRY, and the vendor's write and
# closing commands), one operation code a line; unset where the case does not look.
unset received

case $case_name in
sr_declined | sg_declined | sr_declined_32_bit) status=0 out=$declined err="" ;;
sr_mismatch)
    status=1
    out="Selected firmware: MATSHITADVD-RAM UJ-862  1.01${nl}Selected device:   "
    out+="MATSHITADVD-RAM UJ-85J  1.00${nl}Selected device does not match firmware$nl"
    err="" ;;
sr_update_refused | sg_update_refused) status=1 out=$running err="sp_write returned -2$nl" ;;
sr_update_not_root) status=1 out=$drive err=$not_started ;;
tcmu_not_root)  # the kernel would refuse the closing command: nothing is sent
    status=1 out=$drive err=$not_started received=$'12\n' ;;
sr_no_access)
    status=1 out=$image
    err="// sptxOpen.CreateFile: x5 (5) Access is denied.$cr${nl}Could not open device$nl" ;;
sr_chunk_too_large | sg_chunk_too_large) status=1 out=$running err=$too_large ;;
dev_null)
    status=1 out=$image
    err="${no_scsi}Selected drive /dev/null does not appear to be a matshita device$nl" ;;
regular_file)
    status=1 out=$image
    err="${no_scsi}Selected drive /work/other.bin does not appear to be a matshita device$nl" ;;
tcmu_update | tcmu_update_32_bit) status=0 out="${running}Finished$nl" err="" ;;
tcmu_updated)
    status=0
    out="${image}Selected device:   MATSHITADVD-RAM UJ-85J  1.01${nl}Continue? "
    out+="Not confirmed, exiting$nl"
    err="" ;;
tcmu_payload | tcmu_payload_32_bit)  # drives C and D, SCSI targets 3 and 4
    payload=$results/payload-3
    [ "$case_name" = tcmu_payload ] || payload=$results/payload-4
    if cmp <(tail -c +49 "$results/match.bin") "$payload"; then exit 0; fi
    echo "FAIL: the simulated drive did not receive the image's payload unchanged"
    exit 1 ;;
drive_commands)
    got=$(grep -A1 -E 'command (234|245)$' "$results/drive_commands")
    if [ "$got$nl" = "$vendor_commands" ]; then exit 0; fi
    echo "FAIL: the drives received: $got"
    exit 1 ;;
*) echo "no such case: $case_name"; exit 1 ;;
esac

dir=$results/$case_name
banner='^kelvo V 1\.01 compiled at [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}$'
problems=0
if [ "$(cat "$dir/status" 2> /dev/null)" != "$status" ]; then
    echo "FAIL: exit status $(cat "$dir/status" 2> /dev/null), expected $status"; problems=1
fi
if ! cmp -s "$dir/stdout" <(printf '%s' "$out"); then
    echo "FAIL: standard output was: $(cat -A "$dir/stdout")"; problems=1
fi
if ! head -n 1 "$dir/stderr" | grep -Eq "$banner"; then
    echo "FAIL: no banner: $(head -n 1 "$dir/stderr" | cat -A)"; problems=1
fi
if ! cmp -s <(tail -n +2 "$dir/stderr") <(printf '%s' "$err"); then
    echo "FAIL: standard error was: $(tail -n +2 "$dir/stderr" | cat -A)"; problems=1
fi
# The kernel's own commands when an sr node is opened and closed (TEST UNIT READY, GET EVENT
# STATUS NOTIFICATION, PREVENT ALLOW MEDIUM REMOVAL) are not the program's.
if [ -n "${received+set}" ]; then
    got=$(grep -xE '12|EA|F5' "$dir/drive_received" 2> /dev/null)
    if [ "$got$nl" != "$received" ]; then
        echo "FAIL: the drive received: $(echo $got)"; problems=1
    fi
fi
exit $problems
