#include "decision.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "files.h"
#include "platform.h"

namespace {

void keepTrace(UpdateDecision* decision) {
    const size_t length = strlen(decision->trace);
    snprintf(decision->trace + length, sizeof decision->trace - length, "%s",
             scsiLastTrace(decision->scsi));
}

// The drive's steps, once the file is valid: each stops the decision where it fails.
DecisionEnd decideDrive(UpdateDecision* decision, const char* index) {
    decision->scsi = newScsi();
    if (decision->scsi == nullptr) return DECISION_NO_HANDLE;
    decision->nowhere = fileNowhere();
    scsiSetTrace(decision->scsi, decision->nowhere);
    decision->device = driveOpen(decision->scsi, index, decision->devicePath);
    keepTrace(decision);
    if (decision->device == nullptr) {
        decision->openFailure = scsiOpenFailure(decision->scsi);
        return scsiHeldElsewhere(scsiOutcome(decision->scsi)) ? DECISION_DRIVE_HELD
                                                              : DECISION_NOT_OPENED;
    }
    decision->inquiry = inquireDevice(decision->scsi);
    decision->answer = scsiOutcome(decision->scsi);
    keepTrace(decision);
    if (decision->inquiry.identification == nullptr) {
        if (!scsiHeldElsewhere(decision->answer)) return DECISION_NOT_IDENTIFIED;
        scsiExclusiveHolder(decision->scsi, decision->holder, sizeof decision->holder);
        return DECISION_DRIVE_HELD;
    }
    decision->judgement = judgeDrive(decision->inquiry.identification,
                                     decision->inquiry.peripheralType, decision->firmware.text);
    if (!driveGoesOn(decision->judgement, decision->force)) return DECISION_DRIVE_REFUSED;
    // An update the system would let begin but not finish is not begun.
    if (scsiPath(decision->scsi) == SCSI_PATH_PASS_THROUGH &&
        !platformPassThroughCarriesUpdate(decision->device, decision->lack,
                                          sizeof decision->lack))
        return DECISION_CANNOT_FINISH;
    decision->power = platformPower();
    if (batteryTooLow(decision->power) && !decision->force) return DECISION_LOW_BATTERY;
    return DECISION_ASK;
}

}  // namespace

bool batteryTooLow(const PlatformPower& power) {
    return power.onBattery && power.percent < LOW_BATTERY_PERCENT;
}

UpdateDecision decideUpdate(const char* index, const char* fileName, bool force) {
    UpdateDecision decision = {};
    decision.force = force;
    decision.inquiry = {nullptr, -1};
    decision.file = firmwareFileLoad(fileName, &decision.image);
    if (decision.file.fault != FILE_VALID) {
        decision.end = DECISION_FILE_REFUSED;
        return decision;
    }
    decision.firmware = imageName(decision.image.bytes, decision.image.size);
    // While another kelvo writes, no drive is opened: its drive may be this one.
    if (platformUpdateRunning(decision.otherUpdate, sizeof decision.otherUpdate)) {
        decision.end = DECISION_OTHER_UPDATE;
        return decision;
    }
    decision.end = decideDrive(&decision, index);
    return decision;
}

void decisionFree(UpdateDecision* decision) {
    free(decision->image.bytes);
    free(decision->inquiry.identification);
    scsiFree(decision->scsi);
    if (decision->nowhere != nullptr) fclose(decision->nowhere);
    *decision = {};
}
