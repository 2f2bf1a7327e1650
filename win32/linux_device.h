// The Linux kernel's answers that the pass-through asks for, chosen when linking: the kernel
// itself (linux_device.cpp) or a scripted one.
#pragma once

#include <cstdint>

struct sg_io_hdr;

// ioctl(2) on an open descriptor: its result, or -1 with errno set.
int linuxDeviceIoctl(int fd, unsigned long request, void* argument);

// Sends the command `io` describes to the drive at `fd` and waits for its end, which the kernel
// writes into `io`: 0, or -1 with errno set where the kernel refused the call. The command
// reaches the drive once, even where the process is stopped while it waits.
int linuxDeviceCommand(int fd, sg_io_hdr* io);

// The largest transfer, in bytes, that the block queue behind the SCSI device open at `fd`
// takes in one request (its max_sectors), or -1 where that cannot be read.
int64_t linuxDeviceQueueLimit(int fd);

// Opens the node behind `fd` again in its place, with the same access, exclusively (O_EXCL)
// or not: 0, or -1 with errno set (EBUSY: a disc on a block node is mounted, or another
// program holds the node exclusively), the descriptor then open as before where it can be.
int linuxDeviceReopen(int fd, bool exclusive);
