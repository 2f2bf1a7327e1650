// A drive as kelvo reaches it, for kelvo and kelvo-list alike: the name a device index opens,
// the open with kelvo's settings for every command, and whether kelvo takes the drive for an
// image without -f.
#pragma once

#include <cstdint>

#include "scsi.h"
#include "update.h"

const int32_t DEVICE_PATH_SIZE = 7;  // "\\.\X:" and its terminator

// The name to open for a device index: a drive letter with a colon becomes the device path
// "\\.\X:" (written into `path`, DEVICE_PATH_SIZE bytes); anything else is used unchanged.
const char* deviceName(const char* index, char* path);

// Opens the device that `index` names and gives it kelvo's settings for every command. The
// name it opened (in `path` for a drive letter), or null when it did not open: then
// scsiOpenFailure and scsiOutcome tell why.
const char* driveOpen(Scsi* scsi, const char* index, char* path);

// What kelvo makes of a drive, for an image, from what its INQUIRY said (`identification`
// null for none).
struct DriveJudgement {
    bool identified;    // the INQUIRY answered
    bool optical;       // a CD/DVD drive: the only kind the vendor's commands are meant for
    bool otherKind;     // it said it is another kind of device
    bool matshita;      // the vendor is MATSHITA
    bool matchesImage;  // vendor and product are the image's
    bool runsImage;     // it names the image's firmware in all its characters
};
DriveJudgement judgeDrive(const char* identification, int32_t peripheralType,
                          const char* firmwareName);

// kelvo takes the drive for the image without -f: a MATSHITA CD/DVD drive of the image's
// vendor and product.
bool driveTakesImage(const DriveJudgement& judgement);

// kelvo goes on with the drive: one it takes, or with -f (`force`) any CD/DVD drive, since a
// MATSHITA drive may carry another name. Never another kind of device: the vendor's commands
// mean something else to it.
bool driveGoesOn(const DriveJudgement& judgement, bool force);
