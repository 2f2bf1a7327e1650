// What the handle tells a user of its last open or command.
#include <cstdio>

#include "kernel32.h"
#include "scsi.h"
#include "sense.h"
#include "win32_error.h"

namespace {

const int32_t STATUS_GOOD = 0x00;
const int32_t STATUS_CHECK_CONDITION = 0x02;
const int32_t SENSE_KEY_NOT_READY = 2;
const size_t WORDS_SIZE = 1280;

struct StatusName {
    int32_t status;
    const char* name;
};

const StatusName STATUS_NAMES[] = {
    {0x04, "CONDITION MET"},        {0x08, "BUSY"},       {0x18, "RESERVATION CONFLICT"},
    {0x28, "TASK SET FULL"},        {0x30, "ACA ACTIVE"}, {0x40, "TASK ABORTED"},
};

const char* statusName(int32_t status) {
    for (const StatusName& known : STATUS_NAMES) {
        if (known.status == status) return known.name;
    }
    return "an unknown status";
}

bool isCheckCondition(const ScsiLast& last) {
    return last.result == SAY_CHECK_CONDITION || last.result == SAY_CHECK_CONDITION_RESIDUE ||
           last.result == SAY_CHECK_CONDITION_COUNT_UNUSABLE ||
           last.ending.status == STATUS_CHECK_CONDITION;
}

}  // namespace

void scsiExplainLast(const Scsi* scsi, char* text, size_t size) {
    if (scsi == nullptr) {
        snprintf(text, size, "nothing was sent");
        return;
    }
    const ScsiLast& last = scsi->last;
    char words[WORDS_SIZE];
    if (last.openFailed && last.ending.systemError != 0) {
        win32ErrorText(last.ending.systemError, words, sizeof words);
        snprintf(text, size, "the system did not open it: %s", words);
    } else if (isCheckCondition(last) && last.result == SAY_REFUSED) {
        snprintf(text, size, "the drive answered CHECK CONDITION with more sense data than asked for");
    } else if (isCheckCondition(last)) {
        senseDescribe(last.sense, last.senseLength, words, sizeof words);
        snprintf(text, size, "the drive answered CHECK CONDITION: %s", words);
    } else if (last.ending.status > STATUS_GOOD) {
        snprintf(text, size, "the drive answered %s (status %02X)",
                 statusName(last.ending.status), unsigned(last.ending.status));
    } else if (last.ending.status == STATUS_GOOD && last.result > 0) {
        snprintf(text, size, "the drive took only part of the data: %d bytes were not moved",
                 last.result);
    } else if (last.ending.status == STATUS_GOOD) {
        snprintf(text, size, "the drive completed the command, but its answer was unusable");
    } else if (last.ending.timedOut) {
        snprintf(text, size, "the drive did not answer within %d seconds", last.timeoutSeconds);
    } else if (last.ending.noDevice) {
        snprintf(text, size, "no device answered");
    } else if (last.ending.systemError != 0) {
        win32ErrorText(last.ending.systemError, words, sizeof words);
        snprintf(text, size, "the system's call failed: %s", words);
    } else {
        snprintf(text, size, "the command was not sent");
    }
}

const char* scsiBriefLast(const Scsi* scsi) {
    if (scsi == nullptr) return "failed";
    const ScsiLast& last = scsi->last;
    const uint32_t error = last.ending.systemError;
    if (error == ERROR_ACCESS_DENIED) return "access denied";
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "no such device";
    if (error == ERROR_NOT_READY) return "not ready";
    if (isCheckCondition(last)) {
        const bool notReady = senseKey(last.sense, last.senseLength) == SENSE_KEY_NOT_READY;
        return notReady ? "not ready" : "refused";
    }
    if (last.ending.timedOut) return "timed out";
    if (last.ending.noDevice) return "no device answered";
    if (last.ending.status > STATUS_GOOD) return "busy";
    return "failed";
}
