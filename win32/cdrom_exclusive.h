// The CD-ROM class driver's exclusive access to a drive (IOCTL_CDROM_EXCLUSIVE_ACCESS, from
// Windows Vista on), under names of kelvo's own: not every MinGW declares it, and the driver
// reads these records as laid out here, the same for 32 and 64 bits.
#pragma once

#include <cstddef>

#include "kernel32.h"

// CTL_CODE(IOCTL_CDROM_BASE 0x02, function 0x17, METHOD_BUFFERED, FILE_READ_ACCESS |
// FILE_WRITE_ACCESS)
const DWORD CDROM_EXCLUSIVE_ACCESS_CODE = 0x0002C05CUL;

// What the request asks: the lock's state, the lock, its release.
const ULONG CDROM_EXCLUSIVE_QUERY = 0;
const ULONG CDROM_EXCLUSIVE_LOCK = 1;
const ULONG CDROM_EXCLUSIVE_UNLOCK = 2;

// The lock is granted even while a volume on the disc is mounted: kelvo writes the drive's
// firmware, not the disc.
const ULONG CDROM_EXCLUSIVE_IGNORE_VOLUME = 0x1;

const size_t CDROM_EXCLUSIVE_CALLER_LENGTH = 64;

struct CdromExclusiveAccess {
    ULONG requestType;
    ULONG flags;
};

// The lock request: who asks, by a name of letters and digits that the driver gives anyone who
// asks the lock's state.
struct CdromExclusiveLock {
    CdromExclusiveAccess access;
    UCHAR callerName[CDROM_EXCLUSIVE_CALLER_LENGTH];
};

// The answer to a query.
struct CdromExclusiveState {
    BOOLEAN locked;
    UCHAR callerName[CDROM_EXCLUSIVE_CALLER_LENGTH];
};

static_assert(sizeof(CdromExclusiveAccess) == 8, "exclusive access request");
static_assert(sizeof(CdromExclusiveLock) == 72 && offsetof(CdromExclusiveLock, callerName) == 8,
              "exclusive lock request");
static_assert(sizeof(CdromExclusiveState) == 65 && offsetof(CdromExclusiveState, callerName) == 1,
              "exclusive lock state");
