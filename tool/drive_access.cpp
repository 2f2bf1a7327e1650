#include "drive_access.h"

#include <cstring>

namespace {

// kelvo's settings for every command it sends.
const int32_t SENSE_LENGTH = 14;
const int32_t TIMEOUT_SECONDS = 300;

}  // namespace

const char* deviceName(const char* index, char* path) {
    if (index[0] == '\0' || index[1] != ':') return index;
    memcpy(path, "\\\\.\\D:", DEVICE_PATH_SIZE);
    path[4] = index[0];
    return path;
}

const char* driveOpen(Scsi* scsi, const char* index, char* path) {
    const char* const name = deviceName(index, path);
    if (scsiOpen(scsi, name) < 0) return nullptr;
    scsiSetSenseLength(scsi, SENSE_LENGTH);
    scsiSetTimeout(scsi, TIMEOUT_SECONDS, 0);
    return name;
}

DriveJudgement judgeDrive(const char* identification, int32_t peripheralType,
                          const char* firmwareName) {
    DriveJudgement judgement = {};
    if (identification == nullptr) return judgement;
    judgement.identified = true;
    judgement.optical = peripheralType == OPTICAL_DRIVE_TYPE;
    judgement.otherKind = peripheralType >= 0 && !judgement.optical;
    judgement.matshita = deviceIsMatshita(identification);
    judgement.matchesImage = deviceMatchesFirmware(firmwareName, identification);
    judgement.runsImage = deviceRunsFirmware(firmwareName, identification);
    return judgement;
}

bool driveGoesOn(const DriveJudgement& judgement, bool force) {
    return driveTakesImage(judgement) || (force && judgement.optical);
}

bool driveTakesImage(const DriveJudgement& judgement) {
    return judgement.identified && judgement.optical && judgement.matshita &&
           judgement.matchesImage;
}
