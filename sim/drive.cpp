#include "drive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

const int32_t HEADER_SIZE = 48;
const int32_t MAX_CHUNK_PAYLOAD = 0x8000;

// Sense data: ILLEGAL REQUEST with an additional sense code, fixed format.
std::vector<uint8_t> illegalRequest(uint8_t asc) {
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = 0x05;
    sense[7] = 10;
    sense[12] = asc;
    return sense;
}

const uint8_t CLOSING = 0xF5;

const uint8_t INVALID_OPERATION_CODE = 0x20;
const uint8_t INVALID_FIELD_IN_CDB = 0x24;
const uint8_t PARAMETER_LIST_LENGTH_ERROR = 0x1A;

SimAnswer good(int32_t transferred) { return {SIM_STATUS_GOOD, transferred, {}, true}; }

SimAnswer checkCondition(std::vector<uint8_t> sense) {
    return {SIM_STATUS_CHECK_CONDITION, 0, std::move(sense), true};
}

uint32_t bigEndian24(const uint8_t* at) { return uint32_t(at[0]) << 16 | at[1] << 8 | at[2]; }

uint32_t bigEndian32(const uint8_t* at) { return uint32_t(at[0]) << 24 | bigEndian24(at + 1); }

SimAnswer inquiry(const SimDrive& drive, const uint8_t* cdb, uint8_t* data, int32_t dataLength) {
    uint8_t answer[36] = {drive.peripheralType, 0x80, 0x00, 0x02, 31};
    memcpy(answer + 8, drive.identification, sizeof drive.identification);
    const int32_t sent = std::min({drive.inquiryLength, int32_t(cdb[4]), dataLength,
                                   int32_t(sizeof answer)});
    memcpy(data, answer, size_t(std::max(sent, 0)));
    return good(sent);
}

SimAnswer refuseChunk(SimDrive* drive, const std::string& why) {
    if (drive->protocolError.empty()) drive->protocolError = why;
    return checkCondition(illegalRequest(INVALID_FIELD_IN_CDB));
}

SimAnswer writeChunk(SimDrive* drive, const uint8_t* cdb, const uint8_t* data, int32_t dataLength,
                     int32_t direction) {
    const uint32_t offset = bigEndian24(cdb + 3);
    const int32_t transferLength = int32_t(bigEndian24(cdb + 6));
    char why[160];
    if (direction != 2 || data == nullptr) return refuseChunk(drive, "write without data out");
    if (transferLength != dataLength) {
        snprintf(why, sizeof why, "transfer length %d but %d bytes sent", transferLength,
                 dataLength);
        return refuseChunk(drive, why);
    }
    if (dataLength < HEADER_SIZE || dataLength - HEADER_SIZE > MAX_CHUNK_PAYLOAD)
        return checkCondition(illegalRequest(PARAMETER_LIST_LENGTH_ERROR));
    if (offset != drive->payload.size()) {
        snprintf(why, sizeof why, "payload offset %u, expected %zu", offset,
                 drive->payload.size());
        return refuseChunk(drive, why);
    }
    if (drive->headerSeen && memcmp(drive->header, data, HEADER_SIZE) != 0)
        return refuseChunk(drive, "header differs from the first chunk's");
    memcpy(drive->header, data, HEADER_SIZE);
    drive->headerSeen = true;
    drive->payload.insert(drive->payload.end(), data + HEADER_SIZE, data + dataLength);
    return good(dataLength);
}

// The image becomes the drive's firmware when all its declared payload arrived: the drive
// then identifies itself as the image names it.
SimAnswer activate(SimDrive* drive) {
    if (!drive->headerSeen) return good(0);
    if (bigEndian32(drive->header + 36) != drive->payload.size())
        return checkCondition(illegalRequest(PARAMETER_LIST_LENGTH_ERROR));
    memcpy(drive->identification, drive->header, sizeof drive->identification);
    drive->activated = true;
    return good(0);
}

SimAnswer answer(SimDrive* drive, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                 int32_t dataLength, int32_t direction) {
    if (cdbLength < 1) return checkCondition(illegalRequest(INVALID_OPERATION_CODE));
    switch (cdb[0]) {
    case 0x12: return inquiry(*drive, cdb, data, dataLength);
    case 0xEA: return writeChunk(drive, cdb, data, dataLength, direction);
    case CLOSING: return activate(drive);
    default: return checkCondition(illegalRequest(INVALID_OPERATION_CODE));
    }
}

}  // namespace

SimDrive newSimDrive(const char* identification) {
    SimDrive drive{};
    simDriveIdentifyAs(&drive, identification);
    drive.inquiryLength = 36;
    drive.peripheralType = 5;
    return drive;
}

void simDriveIdentifyAs(SimDrive* drive, const char* identification) {
    memset(drive->identification, ' ', sizeof drive->identification);
    memcpy(drive->identification, identification,
           std::min(strlen(identification), sizeof drive->identification));
}

SimAnswer simDriveExecute(SimDrive* drive, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                          int32_t dataLength, int32_t direction) {
    drive->commands.push_back({std::vector<uint8_t>(cdb, cdb + std::max(cdbLength, 0)),
                               dataLength, direction});
    const int32_t number = int32_t(drive->commands.size());
    const SimAnswer lost = {SIM_STATUS_GOOD, 0, {}, false};
    if (drive->silentLeft > 0) {
        drive->silentLeft -= 1;
        return lost;
    }
    if (number == drive->hangOn) return lost;
    if (number == drive->checkConditionOn) return checkCondition(drive->faultSense);
    SimAnswer result = answer(drive, cdb, cdbLength, data, dataLength, direction);
    if (number == drive->residueOn) result.transferred = std::max(0, dataLength - drive->residue);
    if (cdbLength > 0 && cdb[0] == CLOSING && drive->restartsOnClosing) {
        drive->silentLeft = drive->silentAfterRestart;
        return lost;
    }
    return result;
}

std::string simDriveIdentification(const SimDrive& drive) {
    return std::string(drive.identification, sizeof drive.identification);
}
