# The guest's side of the virtual machines booted with scripts/lib/linux-vm.sh, which puts it
# in their initramfs as /lib/linux-vm-guest.sh: helpers for an /init run by busybox sh, and
# for the cases that run in the host's files under Wine (scripts/linux-vm-wine). Each case's
# results go to $results/<case>/: /results, which the host gets back, unless the caller
# names another place first.
results=${results:-/results}

# vm_start: the system's file systems, the drives' modules, and drives A and B found:
# sets sr_a, sg_a, sr_b and sg_b to their nodes.
vm_start() {
    /bin/busybox --install -s /bin
    mount -t proc proc /proc
    mount -t sysfs sysfs /sys
    mount -t devtmpfs devtmpfs /dev
    for module in $(cat /modules/order); do insmod "/modules/$module.ko"; done
    local tries=0
    while [ -z "$(node 0 block)" ] || [ -z "$(node 0 scsi_generic)" ] ||
          [ -z "$(node 1 block)" ] || [ -z "$(node 1 scsi_generic)" ]; do
        tries=$((tries + 1))
        [ $tries -gt 300 ] && break
        sleep 0.1
    done
    sr_a=$(node 0 block); sg_a=$(node 0 scsi_generic)
    sr_b=$(node 1 block); sg_b=$(node 1 scsi_generic)
    echo "drive A: $sr_a $sg_a; drive B: $sr_b $sg_b" > "$results/nodes"
    # A user who is not root, as the cases need one.
    echo 'nobody:x:65534:65534::/:/bin/sh' > /etc/passwd
}

# vm_finish: the results to the host, on the raw disk, and the machine off.
vm_finish() {
    tar -cf /dev/vda -C "$results" .
    sync
    poweroff -f
}

# node TARGET KIND: the node of a kind (block, scsi_generic) of the drive at a SCSI target,
# found as a user finds it: through sysfs, as lsscsi -g shows it.
node() {
    for entry in /sys/bus/scsi/devices/*:0:"$1":0/"$2"/*; do
        [ -e "$entry" ] && [ -e "/dev/${entry##*/}" ] && echo "/dev/${entry##*/}"
    done
}

# run CASE ANSWER ARGUMENTS...: $kelvo (kelvo unless set) with ANSWER on its input, in /work.
kelvo=kelvo
run() {
    local name=$1 answer=$2
    shift 2
    mkdir -p "$results/$name"
    (cd /work && echo "$answer" | $kelvo "$@" > "$results/$name/stdout" 2> "$results/$name/stderr"
     echo $? > "$results/$name/status")
}

# run_as_nobody CASE ANSWER ARGUMENTS...: the same as a user who is not root.
run_as_nobody() {
    local name=$1 answer=$2
    shift 2
    mkdir -p "$results/$name"
    (cd /work && echo "$answer" | su -s /bin/sh -c "$kelvo $*" nobody \
        > "$results/$name/stdout" 2> "$results/$name/stderr"
     echo $? > "$results/$name/status")
}

# wait_for COMMAND...: polls COMMAND until it succeeds, for up to 30 seconds.
wait_for() {
    local tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ $tries -le 600 ] || return 1
        sleep 0.05
    done
}

# signal_when SIGNAL PROGRAM COMMAND...: in the background, sends SIGNAL to PROGRAM as soon
# as COMMAND succeeds (see wait_for), as a user or the system would at that moment of its run.
# The program is found by its name as it starts, so that the signal follows COMMAND closely.
# `wait $!` for it once the program has ended.
signal_when() {
    local signal=$1 program=$2
    shift 2
    (wait_for running "$program" && wait_for "$@" && kill -s "$signal" $pid) &
}

# running PROGRAM: whether PROGRAM runs; sets pid to its process id.
running() {
    pid=$(pidof "$1")
    [ -n "$pid" ]
}

# vm_targets: the kernel's SCSI target in user space and its local port, for simulated drives.
vm_targets() {
    for module in $(cat /modules/target-order); do insmod "/modules/$module.ko"; done
    mount -t configfs configfs /sys/kernel/config
}

# simulated_drive TARGET [WRITE_MILLISECONDS]: a fresh simulated drive (sim/) at SCSI target
# id TARGET (apart from drives A and B), served by tcmu_drive through its /dev/uioN behind the
# kernel's SCSI target in user space, made a local SCSI device by tcm_loop: every command
# crosses the kernel's SCSI stack. Each write command takes WRITE_MILLISECONDS (0 unless
# given). The payload it activates goes to $results/payload-TARGET, the operation codes it
# receives to $results/commands-TARGET. Returns once its nodes are there.
simulated_drive() {
    local core=/sys/kernel/config/target/core/user_0/sim$1
    local port=/sys/kernel/config/target/loopback/naa.500140500000000$1/tpgt_$1
    local uio
    mkdir -p "$core"
    echo -n dev_size=1048576 > "$core/control"
    echo 1 > "$core/enable"
    # The device's ring, named by the kernel after it: tcm-user/<hba>/sim<TARGET>.
    uio=$(grep -lx ".*/sim$1" /sys/class/uio/uio*/name)
    uio=${uio%/name}
    # Away from the output that a caller may capture, which would wait for it to end.
    tcmu_drive "/dev/${uio##*/}" 'MATSHITADVD-RAM UJ-85J  1.00' "$results/payload-$1" \
        "${2:-0}" "$results/commands-$1" > /dev/null 2>> "$results/tcmu_drive.log" &
    # The portal group's number becomes the target id. Its nexus first: linking the LUN
    # makes the kernel scan it at once.
    mkdir -p "$port/lun/lun_0"
    echo "naa.500140500000010$1" > "$port/nexus"
    ln -s "$core" "$port/lun/lun_0/sim"
    local tries=0
    while { [ -z "$(node "$1" block)" ] || [ -z "$(node "$1" scsi_generic)" ]; } &&
          [ $tries -lt 300 ]; do
        tries=$((tries + 1))
        sleep 0.1
    done
}

# received_during TARGET RUN CASE ARGUMENTS...: runs CASE with RUN (run, run_as_nobody,
# wine_run); what simulated drive TARGET received meanwhile, apart from the kernel's scan of
# it before, goes to $results/CASE/drive_received.
received_during() {
    local log=$results/commands-$1 name=$3 before
    shift
    before=$(cat "$log" 2> /dev/null | wc -l)
    "$@"
    tail -n +$((before + 1)) "$log" > "$results/$name/drive_received"
}
