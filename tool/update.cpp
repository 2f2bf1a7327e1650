#include "update.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "image.h"
#include "platform.h"

namespace {

const int32_t INQUIRY_TRANSFER_LENGTH = 41;
const int32_t IDENTIFICATION_OFFSET = 8;
const int32_t MATCHED_LENGTH = 24;
const char* const VENDOR = "MATSHITA";
const int32_t VENDOR_LENGTH = 8;
const int32_t CLOSING_BUFFER_SIZE = 1024;

// A restarting drive is asked with a short time-out and a pause between questions, so that
// every question and pause together stay within RESTART_WAIT_SECONDS.
const int32_t RESTART_QUESTION_SECONDS = 2;
const int32_t RESTART_PAUSE_SECONDS = 1;
const int32_t RESTART_QUESTIONS = (RESTART_WAIT_SECONDS + RESTART_PAUSE_SECONDS) /
                                  (RESTART_QUESTION_SECONDS + RESTART_PAUSE_SECONDS);
const uint32_t MILLISECONDS_PER_SECOND = 1000;

// The peripheral qualifier that says no device is there at all, whatever the type field holds.
const uint8_t NO_DEVICE_QUALIFIER = 3;
const uint8_t PERIPHERAL_TYPE_MASK = 0x1F;

struct PeripheralTypeName {
    int32_t type;
    const char* name;
};

const PeripheralTypeName PERIPHERAL_TYPE_NAMES[] = {
    {0x00, "a direct-access device (a disk)"},
    {0x01, "a sequential-access device (a tape)"},
    {0x02, "a printer"},
    {0x03, "a processor device"},
    {0x04, "a write-once device"},
    {OPTICAL_DRIVE_TYPE, "a CD/DVD drive"},
    {0x06, "a scanner"},
    {0x07, "an optical memory device"},
    {0x08, "a medium changer"},
    {0x09, "a communications device"},
    {0x0C, "a storage array controller"},
    {0x0D, "an enclosure services device"},
    {0x0E, "a simplified direct-access device"},
    {0x0F, "an optical card reader/writer"},
    {0x11, "an object-based storage device"},
    {0x1F, "a device of unknown type"},
};

void reportProgress(const TransferProgress& progress) {
    if (progress.report != nullptr) progress.report(progress, progress.context);
}

void putBigEndian24(uint8_t* at, uint32_t value) {
    at[0] = uint8_t(value >> 16);
    at[1] = uint8_t(value >> 8);
    at[2] = uint8_t(value);
}

// The first `length` characters equal ignoring case, or both strings ending together before.
bool equalIgnoringCase(const char* first, const char* second, int32_t length) {
    for (int32_t i = 0; i < length; ++i) {
        const int a = tolower(static_cast<unsigned char>(first[i]));
        const int b = tolower(static_cast<unsigned char>(second[i]));
        if (a != b) return false;
        if (a == '\0') return true;
    }
    return true;
}

}  // namespace

DeviceInquiry inquireDevice(Scsi* scsi) {
    static const uint8_t inquiry[6] = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};
    // Cleared first, so that a drive that answers short never shows stale memory.
    uint8_t data[INQUIRY_TRANSFER_LENGTH] = {};
    const SayResult residue = scsiSay(scsi, inquiry, 6, data, INQUIRY_TRANSFER_LENGTH, DATA_IN);
    DeviceInquiry answer = {nullptr, -1};
    if (residue < 0) return answer;
    answer.identification = static_cast<char*>(calloc(IMAGE_NAME_LENGTH + 1, 1));
    if (answer.identification == nullptr) return answer;
    // Only what the drive said it sent: a driver may leave other bytes in the data area.
    const int32_t received = INQUIRY_TRANSFER_LENGTH - residue;
    const int32_t usable = std::min(received - IDENTIFICATION_OFFSET, int32_t(IMAGE_NAME_LENGTH));
    if (usable > 0) memcpy(answer.identification, data + IDENTIFICATION_OFFSET, size_t(usable));
    if (received > 0 && (data[0] >> 5) != NO_DEVICE_QUALIFIER)
        answer.peripheralType = data[0] & PERIPHERAL_TYPE_MASK;
    return answer;
}

char* identifyDevice(Scsi* scsi) { return inquireDevice(scsi).identification; }

const char* peripheralTypeName(int32_t type) {
    for (const PeripheralTypeName& known : PERIPHERAL_TYPE_NAMES) {
        if (known.type == type) return known.name;
    }
    return "a device of a kind without a name here";
}

bool deviceMatchesFirmware(const char* firmwareName, const char* identification) {
    return equalIgnoringCase(firmwareName, identification, MATCHED_LENGTH);
}

bool deviceRunsFirmware(const char* firmwareName, const char* identification) {
    return strcmp(identification, firmwareName) == 0;
}

bool deviceIsMatshita(const char* identification) {
    return equalIgnoringCase(VENDOR, identification, VENDOR_LENGTH);
}

SayResult sp_write(Scsi* scsi, uint32_t payloadOffset, uint8_t* buffer, uint32_t chunk) {
    const uint32_t transferLength = chunk + IMAGE_HEADER_SIZE;
    uint8_t cdb[12] = {0xEA};
    putBigEndian24(cdb + 3, payloadOffset);
    putBigEndian24(cdb + 6, transferLength);
    return scsiSay(scsi, cdb, 12, buffer, int32_t(transferLength), DATA_OUT);
}

SayResult sendFirmware(Scsi* scsi, uint8_t* image, uint32_t size, TransferProgress* progress) {
    const uint32_t payload = size > IMAGE_HEADER_SIZE ? size - IMAGE_HEADER_SIZE : 0;
    progress->chunks = payload / CHUNK_PAYLOAD + (payload % CHUNK_PAYLOAD != 0 ? 1 : 0);
    progress->chunksAccepted = 0;
    progress->bytes = payload;
    progress->bytesAccepted = 0;
    reportProgress(*progress);
    for (uint32_t offset = 0; offset < payload; offset += CHUNK_PAYLOAD) {
        const uint32_t chunk = std::min(payload - offset, CHUNK_PAYLOAD);
        memmove(image + IMAGE_HEADER_SIZE, image + IMAGE_HEADER_SIZE + offset, chunk);
        const SayResult result = sp_write(scsi, offset, image, chunk);
        if (result != 0) return result;
        ++progress->chunksAccepted;
        progress->bytesAccepted += chunk;
        reportProgress(*progress);
    }
    return 0;
}

SayResult sendClosingCommand(Scsi* scsi, uint8_t* buffer) {
    static const uint8_t closing[12] = {0xF5};
    return scsiSay(scsi, closing, 12, buffer, CLOSING_BUFFER_SIZE, DATA_IN);
}

char* identifyRestartedDevice(Scsi* scsi) {
    scsiSetTimeout(scsi, RESTART_QUESTION_SECONDS, 0);
    for (int32_t question = 1;; ++question) {
        char* identification = identifyDevice(scsi);
        if (identification != nullptr || question == RESTART_QUESTIONS) return identification;
        platformPause(RESTART_PAUSE_SECONDS * MILLISECONDS_PER_SECOND);
    }
}
