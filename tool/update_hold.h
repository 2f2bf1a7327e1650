// What kelvo holds while it writes a drive, for every face that updates one: taken after the
// user's yes and before the first chunk, held until the update has ended, and released by the
// system with the process where kelvo ends in any other way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"
#include "scsi.h"

enum HoldEnd : int32_t {
    HOLD_TAKEN,          // the update may begin
    HOLD_OTHER_UPDATE,   // another kelvo update runs on this machine: `holder` says which
    HOLD_DRIVE_HELD,     // another program keeps the drive for itself: `holder` names it
};

struct UpdateHold {
    HoldEnd end;
    UpdateLock* machine;  // the machine's one update; null where the system offered no lock
    bool driveLocked;     // the drive is kelvo's alone
    char holder[UPDATE_LOCK_HOLDER_SIZE];  // who keeps the update back, "" where unknown
};

// Takes what an update of the drive open in `scsi` holds, for `program` ("kelvo") and the
// drive's `index` as the user gave it. Where it is refused, nothing is held.
UpdateHold holdForUpdate(Scsi* scsi, const char* program, const char* index);

// Releases what `hold` holds, once the update has ended.
void holdRelease(UpdateHold* hold, Scsi* scsi);
