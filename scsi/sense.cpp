#include "sense.h"

#include <cstdio>
#include <iterator>

namespace {

const char* const KEY_NAMES[16] = {
    "NO SENSE",        "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
    "HARDWARE ERROR",  "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
    "BLANK CHECK",     "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
    "KEY C",           "VOLUME OVERFLOW", "MISCOMPARE",     "KEY F",
};

// Where the key, the code and the qualifier stand in each format of sense data.
const uint8_t DESCRIPTOR_FORMAT = 0x72;
const uint8_t DESCRIPTOR_FORMAT_DEFERRED = 0x73;
const int32_t FIXED_KEY = 2, FIXED_ASC = 12, FIXED_ASCQ = 13;
const int32_t DESCRIPTOR_KEY = 1, DESCRIPTOR_ASC = 2, DESCRIPTOR_ASCQ = 3;

bool isDescriptorFormat(const uint8_t* sense, int32_t length) {
    const uint8_t format = length > 0 ? sense[0] & 0x7F : 0;
    return format == DESCRIPTOR_FORMAT || format == DESCRIPTOR_FORMAT_DEFERRED;
}

const char* additionalSenseName(uint8_t asc, uint8_t ascq) {
    for (size_t i = 0; i < SENSE_NAME_COUNT; ++i) {
        if (SENSE_NAMES[i].asc == asc && SENSE_NAMES[i].ascq == ascq) return SENSE_NAMES[i].name;
    }
    return nullptr;
}

}  // namespace

const SenseName SENSE_NAMES[] = {
    {0x00, 0x00, "NO ADDITIONAL SENSE INFORMATION"},
    {0x02, 0x00, "NO SEEK COMPLETE"},
    {0x04, 0x00, "LOGICAL UNIT NOT READY, CAUSE NOT REPORTABLE"},
    {0x04, 0x01, "LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
    {0x04, 0x02, "LOGICAL UNIT NOT READY, INITIALIZING COMMAND REQUIRED"},
    {0x04, 0x03, "LOGICAL UNIT NOT READY, MANUAL INTERVENTION REQUIRED"},
    {0x04, 0x04, "LOGICAL UNIT NOT READY, FORMAT IN PROGRESS"},
    {0x04, 0x07, "LOGICAL UNIT NOT READY, OPERATION IN PROGRESS"},
    {0x04, 0x08, "LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS"},
    {0x05, 0x00, "LOGICAL UNIT DOES NOT RESPOND TO SELECTION"},
    {0x08, 0x00, "LOGICAL UNIT COMMUNICATION FAILURE"},
    {0x08, 0x01, "LOGICAL UNIT COMMUNICATION TIME-OUT"},
    {0x08, 0x02, "LOGICAL UNIT COMMUNICATION PARITY ERROR"},
    {0x09, 0x00, "TRACK FOLLOWING ERROR"},
    {0x09, 0x01, "TRACKING SERVO FAILURE"},
    {0x09, 0x02, "FOCUS SERVO FAILURE"},
    {0x09, 0x03, "SPINDLE SERVO FAILURE"},
    {0x0C, 0x00, "WRITE ERROR"},
    {0x0C, 0x07, "WRITE ERROR - RECOVERY NEEDED"},
    {0x0C, 0x08, "WRITE ERROR - RECOVERY FAILED"},
    {0x0C, 0x09, "WRITE ERROR - LOSS OF STREAMING"},
    {0x0C, 0x0A, "WRITE ERROR - PADDING BLOCKS ADDED"},
    {0x11, 0x00, "UNRECOVERED READ ERROR"},
    {0x15, 0x00, "RANDOM POSITIONING ERROR"},
    {0x15, 0x01, "MECHANICAL POSITIONING ERROR"},
    {0x1A, 0x00, "PARAMETER LIST LENGTH ERROR"},
    {0x20, 0x00, "INVALID COMMAND OPERATION CODE"},
    {0x21, 0x00, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
    {0x24, 0x00, "INVALID FIELD IN CDB"},
    {0x25, 0x00, "LOGICAL UNIT NOT SUPPORTED"},
    {0x26, 0x00, "INVALID FIELD IN PARAMETER LIST"},
    {0x26, 0x01, "PARAMETER NOT SUPPORTED"},
    {0x26, 0x02, "PARAMETER VALUE INVALID"},
    {0x28, 0x00, "NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED"},
    {0x29, 0x00, "POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"},
    {0x29, 0x01, "POWER ON OCCURRED"},
    {0x29, 0x02, "SCSI BUS RESET OCCURRED"},
    {0x29, 0x03, "BUS DEVICE RESET FUNCTION OCCURRED"},
    {0x2A, 0x00, "PARAMETERS CHANGED"},
    {0x2C, 0x00, "COMMAND SEQUENCE ERROR"},
    {0x2E, 0x00, "INSUFFICIENT TIME FOR OPERATION"},
    {0x3A, 0x00, "MEDIUM NOT PRESENT"},
    {0x3A, 0x01, "MEDIUM NOT PRESENT - TRAY CLOSED"},
    {0x3A, 0x02, "MEDIUM NOT PRESENT - TRAY OPEN"},
    {0x3E, 0x00, "LOGICAL UNIT HAS NOT SELF-CONFIGURED YET"},
    {0x3E, 0x01, "LOGICAL UNIT FAILURE"},
    {0x3E, 0x02, "TIMEOUT ON LOGICAL UNIT"},
    {0x3F, 0x01, "MICROCODE HAS BEEN CHANGED"},
    {0x40, 0x00, "RAM FAILURE"},
    {0x44, 0x00, "INTERNAL TARGET FAILURE"},
    {0x47, 0x00, "SCSI PARITY ERROR"},
    {0x4E, 0x00, "OVERLAPPED COMMANDS ATTEMPTED"},
    {0x53, 0x02, "MEDIUM REMOVAL PREVENTED"},
    {0x5D, 0x00, "FAILURE PREDICTION THRESHOLD EXCEEDED"},
    {0x73, 0x00, "CD CONTROL ERROR"},
};
const size_t SENSE_NAME_COUNT = std::size(SENSE_NAMES);

SenseCodes senseRead(const uint8_t* sense, int32_t length) {
    const bool descriptor = isDescriptorFormat(sense, length);
    const int32_t keyAt = descriptor ? DESCRIPTOR_KEY : FIXED_KEY;
    const int32_t ascAt = descriptor ? DESCRIPTOR_ASC : FIXED_ASC;
    const int32_t ascqAt = descriptor ? DESCRIPTOR_ASCQ : FIXED_ASCQ;
    SenseCodes codes = {-1, -1, -1};
    if (length <= keyAt) return codes;
    codes.key = sense[keyAt] & 0x0F;
    if (length <= ascqAt) return codes;
    codes.asc = sense[ascAt];
    codes.ascq = sense[ascqAt];
    return codes;
}

void senseDescribe(const SenseCodes& codes, char* text, size_t size) {
    if (codes.key < 0) {
        snprintf(text, size, "no sense data");
        return;
    }
    const char* const key = KEY_NAMES[codes.key & 0x0F];
    if (codes.asc < 0) {
        snprintf(text, size, "%s (%X)", key, unsigned(codes.key));
        return;
    }
    const char* name = additionalSenseName(uint8_t(codes.asc), uint8_t(codes.ascq));
    snprintf(text, size, "%s%s%s (%X/%02X/%02X)", key, name != nullptr ? ", " : "",
             name != nullptr ? name : "", unsigned(codes.key), unsigned(codes.asc),
             unsigned(codes.ascq));
}
