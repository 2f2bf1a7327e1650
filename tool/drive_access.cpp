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

bool driveTakesImage(int32_t peripheralType, const char* identification,
                     const char* firmwareName) {
    return identification != nullptr && peripheralType == OPTICAL_DRIVE_TYPE &&
           deviceIsMatshita(identification) && deviceMatchesFirmware(firmwareName, identification);
}
