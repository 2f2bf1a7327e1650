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

void reportProgress(const UpdateObserver& observer, const TransferProgress& progress) {
    if (observer.progress != nullptr) observer.progress(observer.context, progress);
}

void reportStage(const UpdateObserver& observer, UpdateStage stage) {
    if (observer.stage != nullptr) observer.stage(observer.context, stage);
}

void reportTrace(const UpdateObserver& observer, const Scsi* scsi) {
    const char* const lines = scsiLastTrace(scsi);
    if (observer.traced != nullptr && lines[0] != '\0') observer.traced(observer.context, lines);
}

void putBigEndian24(uint8_t* at, uint32_t value) {
    at[0] = uint8_t(value >> 16);
    at[1] = uint8_t(value >> 8);
    at[2] = uint8_t(value);
}

}  // namespace

bool equalIgnoringCase(const char* first, const char* second, int32_t length) {
    for (int32_t i = 0; i < length; ++i) {
        const int a = tolower(static_cast<unsigned char>(first[i]));
        const int b = tolower(static_cast<unsigned char>(second[i]));
        if (a != b) return false;
        if (a == '\0') return true;
    }
    return true;
}

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

SayResult sendFirmware(Scsi* scsi, uint8_t* image, uint32_t size, TransferProgress* progress,
                       const UpdateObserver& observer) {
    const uint32_t payload = size > IMAGE_HEADER_SIZE ? size - IMAGE_HEADER_SIZE : 0;
    progress->chunks = payload / CHUNK_PAYLOAD + (payload % CHUNK_PAYLOAD != 0 ? 1 : 0);
    progress->chunksAccepted = 0;
    progress->bytes = payload;
    progress->bytesAccepted = 0;
    reportProgress(observer, *progress);
    for (uint32_t offset = 0; offset < payload; offset += CHUNK_PAYLOAD) {
        const uint32_t chunk = std::min(payload - offset, CHUNK_PAYLOAD);
        memmove(image + IMAGE_HEADER_SIZE, image + IMAGE_HEADER_SIZE + offset, chunk);
        const SayResult result = sp_write(scsi, offset, image, chunk);
        reportTrace(observer, scsi);
        if (result != 0) return result;
        ++progress->chunksAccepted;
        progress->bytesAccepted += chunk;
        reportProgress(observer, *progress);
    }
    return 0;
}

SayResult sendClosingCommand(Scsi* scsi, uint8_t* buffer) {
    static const uint8_t closing[12] = {0xF5};
    return scsiSay(scsi, closing, 12, buffer, ANSWER_BUFFER_SIZE, DATA_IN);
}

char* identifyRestartedDevice(Scsi* scsi, const UpdateObserver& observer) {
    scsiSetTimeout(scsi, RESTART_QUESTION_SECONDS, 0);
    for (int32_t question = 1;; ++question) {
        char* identification = identifyDevice(scsi);
        reportTrace(observer, scsi);
        if (identification != nullptr || question == RESTART_QUESTIONS) return identification;
        platformPause(RESTART_PAUSE_SECONDS * MILLISECONDS_PER_SECOND);
    }
}

UpdateOutcome updateDrive(Scsi* scsi, uint8_t* image, uint32_t size, const char* firmwareName,
                          const UpdateObserver& observer) {
    UpdateOutcome outcome = {};
    reportStage(observer, UPDATE_WRITING);
    outcome.failedChunk = sendFirmware(scsi, image, size, &outcome.transfer, observer);
    if (outcome.failedChunk != 0) {
        outcome.end = UPDATE_CHUNK_FAILED;
        outcome.answer = scsiOutcome(scsi);
        reportStage(observer, UPDATE_OVER);
        return outcome;
    }
    reportStage(observer, UPDATE_CLOSING);
    uint8_t answer[ANSWER_BUFFER_SIZE];
    outcome.closing = sendClosingCommand(scsi, answer);
    outcome.answer = scsiOutcome(scsi);
    reportTrace(observer, scsi);
    outcome.end = UPDATE_FINISHED;
    // A restarting drive may fail its closing command: it took the image only if it now names
    // the image's firmware in all its characters.
    if (outcome.closing < 0) {
        reportStage(observer, UPDATE_ASKING_DRIVE);
        outcome.driveAfterClosing = identifyRestartedDevice(scsi, observer);
        const char* const now = outcome.driveAfterClosing;
        if (now == nullptr || !deviceRunsFirmware(firmwareName, now))
            outcome.end = UPDATE_NOT_TAKEN;
    }
    reportStage(observer, UPDATE_OVER);
    return outcome;
}
