# What the scripts that boot Debian's kernel under qemu-system-x86_64 share (sourced from the
# checkout's top, by scripts/linux-vm and scripts/linux-vm-wine): the kernel, unpacked once
# for all of them; the initramfs's common part (busybox, the modules, kelvo, kelvo-list,
# tcmu_drive, the sample images and the guest's helpers, scripts/lib/linux-vm-guest.sh); and
# one boot with QEMU's two MATSHITA drives, whose results come back on a raw disk. Needs
# qemu-system-x86, busybox-static, cpio and Debian's package lists.

vm_shared=$PWD/build/linux-vm

# The modules behind the drives, drive A's disc and the results disk, in the order they load;
# those of the SCSI target in user space and its local port; those that mount the host's files
# over virtio-9p.
vm_modules=(scsi_common scsi_mod cdrom sr_mod sg virtio_ring virtio virtio_pci_modern_dev
            virtio_pci_legacy_dev virtio_pci virtio_scsi virtio_blk isofs)
vm_target_modules=(configfs crct10dif_common crct10dif_generic crc-t10dif target_core_mod uio
                   target_core_user tcm_loop)
vm_host_files_modules=(netfs fscache 9pnet 9pnet_virtio 9p)

# vm_kernel: sets vm_kernel_dir to the kernel that Debian's linux-image-amd64 currently
# stands for, with every module above, downloaded and unpacked once per version. Boots that
# start together share one download.
vm_kernel() {
    local version module complete=yes unpack
    version=$(apt-cache depends linux-image-amd64 2> /dev/null |
              sed -n 's/^ *Depends: linux-image-\([0-9].*-amd64\)$/\1/p' | head -n 1)
    if [ -z "$version" ]; then
        echo "linux-vm: apt-cache does not know linux-image-amd64 (run scripts/setup)" >&2
        return 1
    fi
    vm_kernel_dir=$vm_shared/kernel-$version
    mkdir -p "$vm_shared"
    exec 8> "$vm_shared/kernel.lock"
    flock 8
    for module in "${vm_modules[@]}" "${vm_target_modules[@]}" "${vm_host_files_modules[@]}"; do
        [ -f "$vm_kernel_dir/modules/$module.ko" ] || complete=no
    done
    if [ ! -f "$vm_kernel_dir/vmlinuz" ] || [ $complete = no ]; then
        unpack=$(mktemp -d "$vm_shared/unpack.XXXXXX")
        trap 'rm -rf "$unpack"' EXIT
        (cd "$unpack" && apt-get download -qq "linux-image-$version" 2> /dev/null) || {
            echo "linux-vm: cannot download linux-image-$version" >&2
            return 1
        }
        dpkg-deb --fsys-tarfile "$unpack"/linux-image-*.deb |
            tar -x -C "$unpack" --wildcards "./boot/vmlinuz-$version" \
                $(printf "./lib/modules/$version/kernel/*/%s.ko " \
                         "${vm_modules[@]}" "${vm_target_modules[@]}" \
                         "${vm_host_files_modules[@]}")
        mkdir -p "$unpack/kernel/modules"
        mv "$unpack/boot/vmlinuz-$version" "$unpack/kernel/vmlinuz"
        for module in "${vm_modules[@]}" "${vm_target_modules[@]}" \
                      "${vm_host_files_modules[@]}"; do
            find "$unpack/lib/modules" -name "$module.ko" -exec mv {} "$unpack/kernel/modules/" \;
        done
        rm -rf "$vm_kernel_dir"
        mv "$unpack/kernel" "$vm_kernel_dir"
        rm -rf "$unpack"
        trap - EXIT
    fi
    exec 8>&-
}

# vm_initramfs ROOT LINUX_BUILD: the common part of a guest's initramfs in ROOT, made anew:
# busybox, every module with the order files the guest's helpers load them by, kelvo,
# kelvo-list and tcmu_drive of LINUX_BUILD, the sample images in /work (match.bin for the
# drives, other.bin for another drive) and the helpers in /lib/linux-vm-guest.sh. The caller
# adds /init.
vm_initramfs() {
    local root=$1 linux_build=$2
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,etc,proc,sys,lib,modules,work,results}
    cp /bin/busybox "$linux_build/kelvo" "$linux_build/kelvo-list" "$linux_build/tcmu_drive" \
        "$root/bin/"
    cp "$vm_kernel_dir"/modules/*.ko "$root/modules/"
    printf '%s\n' "${vm_modules[@]}" > "$root/modules/order"
    printf '%s\n' "${vm_target_modules[@]}" > "$root/modules/target-order"
    printf '%s\n' "${vm_host_files_modules[@]}" > "$root/modules/host-files-order"
    cp scripts/lib/linux-vm-guest.sh "$root/lib/"
    "$linux_build/make_image" "$root/work/match.bin" 100000 'MATSHITADVD-RAM UJ-85J  1.01' \
        > /dev/null
    "$linux_build/make_image" "$root/work/other.bin" 100000 'MATSHITADVD-RAM UJ-862  1.01' \
        > /dev/null
}

# vm_boot WORK ROOT RESULTS [QEMU OPTIONS...]: packs ROOT as the initramfs and boots it once,
# with drives A and B: QEMU's emulated CD-ROM behind virtio-scsi, A on an adapter that takes
# large transfers, B on one that takes at most 16 KiB at once, less than one chunk of an
# update; where vm_disc names an ISO 9660 image, drive A carries it as its disc. The guest
# writes its /results as a tar archive to a raw disk, unpacked here into RESULTS, made anew;
# the commands that reached drives A and B, as QEMU saw them, go to RESULTS/drive_commands.
# WORK holds the boot's own files (the console's log among them).
vm_boot() {
    local work=$1 root=$2 results=$3 started ended disc=() in_a=
    shift 3
    if [ -n "${vm_disc:-}" ]; then
        disc=(-drive if=none,id=disc,media=cdrom,readonly=on,format=raw,file="$vm_disc")
        in_a=,drive=disc
    fi
    mkdir -p "$work"
    (cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 > "$work/initrd.gz"
    rm -rf "$results"
    mkdir -p "$results"
    truncate -s 0 "$work/results.img"
    truncate -s 4M "$work/results.img"
    printf '%s\n' scsi_req_parsed scsi_req_parse_bad scsi_req_build_sense > "$work/trace-events"
    started=$(date +%s.%N)
    # -cpu qemu64: with -cpu max, QEMU 7.2 oopses the guest on the first i386 Wine process.
    timeout 300 qemu-system-x86_64 -machine accel=tcg -cpu qemu64 -m 512 -smp 1 -nographic \
        -no-reboot -nic none \
        -kernel "$vm_kernel_dir/vmlinuz" -initrd "$work/initrd.gz" \
        -append "console=ttyS0 quiet panic=-1" \
        -device virtio-scsi-pci,id=a "${disc[@]}" \
        -device scsi-cd,bus=a.0,scsi-id=0,vendor=MATSHITA,product="DVD-RAM UJ-85J",ver=1.00$in_a \
        -device virtio-scsi-pci,id=b,max_sectors=32 \
        -device scsi-cd,bus=b.0,scsi-id=1,vendor=MATSHITA,product="DVD-RAM UJ-85J",ver=1.00 \
        -drive file="$work/results.img",format=raw,if=virtio \
        -trace events="$work/trace-events" -D "$work/qemu-trace.log" "$@" \
        < /dev/null > "$work/console.log" 2>&1 || {
        echo "linux-vm: qemu failed or timed out; the guest's console:" >&2
        cat "$work/console.log" >&2
        return 1
    }
    ended=$(date +%s.%N)
    tar -xf "$work/results.img" -C "$results"
    # What the drives received and answered, in order: each command's operation code, and the
    # sense key and additional sense code of each CHECK CONDITION.
    local request='target \([0-9]*\) lun [0-9]* tag [-0-9]*'
    sed -n -e "s/.*scsi_req_parse[a-z_]* $request command \([0-9]*\).*/target \1 command \2/p" \
        -e "s/.*scsi_req_build_sense $request \(key .*\)/target \1 sense \2/p" \
        "$work/qemu-trace.log" > "$results/drive_commands"
    awk -v from="$started" -v to="$ended" \
        'BEGIN { printf "booted and ran the cases in %.1f s\n", to - from }'
}
