#include "update_hold.h"

#include "platform.h"

namespace {

// The name kelvo gives the CD-ROM driver, which another program that asks for the drive is
// told: letters and digits only, as the driver takes them.
const char* const DRIVE_CALLER = "kelvo";

}  // namespace

UpdateHold holdForUpdate(Scsi* scsi, const char* program, const char* index) {
    UpdateHold hold = {};
    const UpdateLockEnd machine =
        platformLockUpdates(program, index, &hold.machine, hold.holder, sizeof hold.holder);
    if (machine == UPDATE_LOCK_HELD) {
        hold.end = HOLD_OTHER_UPDATE;
        return hold;
    }
    const ScsiExclusive drive =
        scsiLockExclusive(scsi, DRIVE_CALLER, hold.holder, sizeof hold.holder);
    hold.driveLocked = drive == SCSI_EXCLUSIVE_TAKEN;
    if (drive == SCSI_EXCLUSIVE_HELD) {
        holdRelease(&hold, scsi);
        hold.end = HOLD_DRIVE_HELD;
    }
    return hold;
}

void holdRelease(UpdateHold* hold, Scsi* scsi) {
    if (hold->driveLocked) scsiUnlockExclusive(scsi);
    hold->driveLocked = false;
    platformUnlockUpdates(hold->machine);
    hold->machine = nullptr;
}
