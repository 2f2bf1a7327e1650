#include "update.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "image.h"

namespace {

const int32_t INQUIRY_TRANSFER_LENGTH = 41;
const int32_t IDENTIFICATION_OFFSET = 8;
const int32_t MATCHED_LENGTH = 24;
const int32_t CLOSING_BUFFER_SIZE = 1024;

void putBigEndian24(uint8_t* at, uint32_t value) {
    at[0] = uint8_t(value >> 16);
    at[1] = uint8_t(value >> 8);
    at[2] = uint8_t(value);
}

}  // namespace

char* identifyDevice(Scsi* scsi) {
    static const uint8_t inquiry[6] = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};
    // Cleared first, so that a drive that answers short never shows stale memory.
    uint8_t data[INQUIRY_TRANSFER_LENGTH] = {};
    const SayResult residue = scsiSay(scsi, inquiry, 6, data, INQUIRY_TRANSFER_LENGTH, DATA_IN);
    if (residue < 0) return nullptr;
    char* identification = static_cast<char*>(calloc(IMAGE_NAME_LENGTH + 1, 1));
    if (identification == nullptr) return nullptr;
    // Only what the drive said it sent: a driver may leave other bytes in the data area.
    const int32_t received = INQUIRY_TRANSFER_LENGTH - residue;
    const int32_t usable = std::min(received - IDENTIFICATION_OFFSET, int32_t(IMAGE_NAME_LENGTH));
    if (usable > 0) memcpy(identification, data + IDENTIFICATION_OFFSET, size_t(usable));
    return identification;
}

bool deviceMatchesFirmware(const char* firmwareName, const char* identification) {
    for (int32_t i = 0; i < MATCHED_LENGTH; ++i) {
        const int a = tolower(static_cast<unsigned char>(firmwareName[i]));
        const int b = tolower(static_cast<unsigned char>(identification[i]));
        if (a != b) return false;
        if (a == '\0') return true;
    }
    return true;
}

SayResult sp_write(Scsi* scsi, uint32_t payloadOffset, uint8_t* buffer, uint32_t chunk) {
    const uint32_t transferLength = chunk + IMAGE_HEADER_SIZE;
    uint8_t cdb[12] = {0xEA};
    putBigEndian24(cdb + 3, payloadOffset);
    putBigEndian24(cdb + 6, transferLength);
    return scsiSay(scsi, cdb, 12, buffer, int32_t(transferLength), DATA_OUT);
}

SayResult sendFirmware(Scsi* scsi, uint8_t* image, uint32_t size) {
    const uint32_t payload = size > IMAGE_HEADER_SIZE ? size - IMAGE_HEADER_SIZE : 0;
    for (uint32_t offset = 0; offset < payload; offset += CHUNK_PAYLOAD) {
        const uint32_t chunk = std::min(payload - offset, CHUNK_PAYLOAD);
        memmove(image + IMAGE_HEADER_SIZE, image + IMAGE_HEADER_SIZE + offset, chunk);
        const SayResult result = sp_write(scsi, offset, image, chunk);
        if (result != 0) return result;
    }
    return 0;
}

void sendClosingCommand(Scsi* scsi, uint8_t* buffer) {
    static const uint8_t closing[12] = {0xF5};
    scsiSay(scsi, closing, 12, buffer, CLOSING_BUFFER_SIZE, DATA_IN);
}
