// The steps before kelvo's question, for every face that asks it: the file read and checked,
// the drive opened, identified and judged for the image, whether the system would let an
// update that began also finish, and whether the machine's battery would carry it. One value
// says where they stopped and holds what each found, so that kelvo and its window never decide
// differently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "drive_access.h"
#include "firmware_file.h"
#include "image.h"
#include "platform.h"
#include "scsi.h"
#include "update.h"

// Where the steps stopped: every end but DECISION_ASK is a refusal before anything is written.
enum DecisionEnd : int32_t {
    DECISION_FILE_REFUSED,     // the file is no image kelvo writes: `file` says why
    DECISION_NO_HANDLE,        // no memory for the SCSI handle
    DECISION_NOT_OPENED,       // the drive did not open: `openFailure`
    DECISION_NOT_IDENTIFIED,   // it gave no identification: `answer`
    DECISION_DRIVE_REFUSED,    // kelvo does not go on with the drive: `judgement`, `force`
    DECISION_CANNOT_FINISH,    // the system would let an update begin but not finish: `lack`
    DECISION_ASK,              // every check passed: the user is asked, the drive stays open
    DECISION_LOW_BATTERY,      // on battery below LOW_BATTERY_PERCENT, without -f: `power`
    DECISION_DRIVE_HELD,       // another program keeps the drive for itself: `holder`
    DECISION_OTHER_UPDATE,     // another kelvo writes a drive of this machine: `otherUpdate`
};

// Below this share of its charge left a battery is not trusted to carry an update to its end.
const int32_t LOW_BATTERY_PERCENT = 10;

// Whether `power` is too low to begin an update on, unless forced.
bool batteryTooLow(const PlatformPower& power);

const size_t DECISION_LACK_SIZE = 512;

struct UpdateDecision {
    DecisionEnd end;
    bool force;                // -f: go on with any CD/DVD drive
    FileVerdict file;
    FirmwareFile image;        // the image to write, once the file is valid
    FirmwareName firmware;     // the firmware the image holds, once the file is valid
    Scsi* scsi;                // the handle the drive was opened with; null before the open
    FILE* nowhere;             // where the handle writes its traces while deciding
    char devicePath[DEVICE_PATH_SIZE];
    const char* device;        // the name the drive opened by
    ScsiOpenFailure openFailure;
    ScsiOutcome answer;        // how the INQUIRY ended
    DeviceInquiry inquiry;
    DriveJudgement judgement;
    char lack[DECISION_LACK_SIZE];  // what the system lacks to carry an update
    // The handle's trace lines of the open and the INQUIRY, kept to be told in their place
    // among kelvo's words: the handle writes none while deciding.
    char trace[2 * SCSI_KEPT_TRACE];
    PlatformPower power;       // once the drive was judged
    char holder[SCSI_EXCLUSIVE_HOLDER_SIZE];  // its name, where the system gives one
    char otherUpdate[UPDATE_LOCK_HOLDER_SIZE];  // which program, process and drive, or ""
};

// The steps for the drive named `index` and the firmware file `fileName`, with -f where `force`.
// Nothing is printed or written; the handle writes its traces nowhere until told where
// (scsiSetTrace).
UpdateDecision decideUpdate(const char* index, const char* fileName, bool force);

// Gives back what the decision holds: the image, the identification, and the handle, closed.
void decisionFree(UpdateDecision* decision);
