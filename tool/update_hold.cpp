#include "update_hold.h"

#include "platform.h"

UpdateHold holdForUpdate(Scsi*, const char* program, const char* index) {
    UpdateHold hold = {};
    const UpdateLockEnd machine =
        platformLockUpdates(program, index, &hold.machine, hold.holder, sizeof hold.holder);
    hold.end = machine == UPDATE_LOCK_HELD ? HOLD_OTHER_UPDATE : HOLD_TAKEN;
    return hold;
}

void holdRelease(UpdateHold* hold, Scsi*) {
    platformUnlockUpdates(hold->machine);
    hold->machine = nullptr;
}
