// The Linux kernel's answers that the pass-through stand-in asks for, behind a seam chosen
// when linking: linux_device.cpp asks the kernel, the tests link a scripted fake instead.
#pragma once

#include <cstdint>

// ioctl(2) on an open descriptor: its result, or -1 with errno set.
int linuxDeviceIoctl(int fd, unsigned long request, void* argument);

// The largest transfer, in bytes, that the block queue behind the SCSI device open at `fd`
// takes in one request (its max_sectors), or -1 where that cannot be read.
int64_t linuxDeviceQueueLimit(int fd);
