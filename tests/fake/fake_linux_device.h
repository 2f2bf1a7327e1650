// A scripted Linux kernel behind linux_device.h: what SG_GET_RESERVED_SIZE, the queue's limit
// and each SG_IO call answer, and what every SG_IO call handed the kernel. Linked instead of
// linux_device.cpp; the stand-in and the backends are unchanged.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <deque>
#include <vector>

// What the kernel reports of one SG_IO call.
struct FakeSgAnswer {
    int error;                     // non-zero: the call fails with this errno
    unsigned char status;          // the SCSI status byte
    unsigned short hostStatus;
    unsigned short driverStatus;
    int resid;
    std::vector<uint8_t> sense;    // the drive's sense bytes; at most mx_sb_len are written
    std::vector<uint8_t> dataIn;   // written to the data buffer of a data-in command
};

// One SG_IO call as the kernel received it, with copies of what its pointers led to.
struct FakeSgCall {
    sg_io_hdr_t header;
    std::vector<uint8_t> cdb;
    std::vector<uint8_t> dataOut;  // the data of a data-out command
};

struct FakeLinuxDevice {
    int reservedSizeError;  // non-zero: SG_GET_RESERVED_SIZE fails so (ENOTTY: no SCSI node)
    int reservedSize;
    int64_t queueLimit;     // -1: the queue cannot be read
    std::vector<FakeSgCall> calls;
    std::deque<FakeSgAnswer> answers;  // one a call; then GOOD with every byte moved
    int reopenError;                   // non-zero: an exclusive open again fails so
    std::vector<bool> reopens;         // each open again: exclusive or not
};

// The one fake the stand-in's kernel calls of this process answer from.
FakeLinuxDevice& fakeLinuxDevice();

// A test's scope: an sg node with a 32 KiB reserved buffer on a queue taking 512 KiB, no
// call made, no answer scripted; and the same again afterwards.
struct FreshFakeLinuxDevice {
    FreshFakeLinuxDevice();
    ~FreshFakeLinuxDevice();
    FakeLinuxDevice* operator->() const { return &fakeLinuxDevice(); }
};
