// How the handle's last open or command ended: read once, then told in a user's words or in a
// listing's few.
#include <cstdio>

#include "kernel32.h"
#include "scsi.h"
#include "sense.h"
#include "win32_error.h"

namespace {

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
           last.ending.status == SCSI_STATUS_CHECK_CONDITION;
}

// Which of the ways a command can end this one took; the first that applies counts.
ScsiOutcomeKind kindOf(const ScsiLast& last) {
    const ScsiEnding& ending = last.ending;
    if (last.openFailed && ending.systemError != 0) return SCSI_OUTCOME_NOT_OPENED;
    if (isCheckCondition(last))
        return last.result == SAY_REFUSED ? SCSI_OUTCOME_SENSE_TOO_LONG
                                          : SCSI_OUTCOME_CHECK_CONDITION;
    if (ending.status > SCSI_STATUS_GOOD) return SCSI_OUTCOME_STATUS;
    if (ending.status == SCSI_STATUS_GOOD && last.result > 0) return SCSI_OUTCOME_PARTIAL;
    if (ending.status == SCSI_STATUS_GOOD)
        return last.result == 0 ? SCSI_OUTCOME_COMPLETED : SCSI_OUTCOME_UNUSABLE;
    if (ending.timedOut) return SCSI_OUTCOME_TIMED_OUT;
    if (ending.noDevice) return SCSI_OUTCOME_NO_DEVICE;
    if (ending.systemError != 0) return SCSI_OUTCOME_SYSTEM_ERROR;
    return SCSI_OUTCOME_NOT_SENT;
}

}  // namespace

ScsiOutcome scsiOutcome(const Scsi* scsi) {
    ScsiOutcome outcome = {SCSI_OUTCOME_NOT_SENT, -1, 0, 0, 0, -1, -1, -1};
    if (scsi == nullptr) return outcome;
    const ScsiLast& last = scsi->last;
    outcome.kind = kindOf(last);
    outcome.status = last.ending.status;
    outcome.systemError = last.ending.systemError;
    outcome.timeoutSeconds = last.timeoutSeconds;
    outcome.residue = last.result > 0 ? last.result : 0;
    const SenseCodes codes = senseRead(last.sense, last.senseLength);
    outcome.senseKey = codes.key;
    outcome.asc = codes.asc;
    outcome.ascq = codes.ascq;
    return outcome;
}

void scsiExplain(const ScsiOutcome& outcome, char* text, size_t size) {
    char words[WORDS_SIZE];
    switch (outcome.kind) {
    case SCSI_OUTCOME_COMPLETED:
        snprintf(text, size, "the drive completed the command");
        return;
    case SCSI_OUTCOME_NOT_OPENED:
        win32ErrorText(outcome.systemError, words, sizeof words);
        snprintf(text, size, "the system did not open it: %s", words);
        return;
    case SCSI_OUTCOME_CHECK_CONDITION:
        senseDescribe({outcome.senseKey, outcome.asc, outcome.ascq}, words, sizeof words);
        snprintf(text, size, "the drive answered CHECK CONDITION: %s", words);
        return;
    case SCSI_OUTCOME_SENSE_TOO_LONG:
        snprintf(text, size,
                 "the drive answered CHECK CONDITION with more sense data than asked for");
        return;
    case SCSI_OUTCOME_STATUS:
        snprintf(text, size, "the drive answered %s (status %02X)", statusName(outcome.status),
                 unsigned(outcome.status));
        return;
    case SCSI_OUTCOME_PARTIAL:
        snprintf(text, size, "the drive took only part of the data: %d bytes were not moved",
                 outcome.residue);
        return;
    case SCSI_OUTCOME_UNUSABLE:
        snprintf(text, size, "the drive completed the command, but its answer was unusable");
        return;
    case SCSI_OUTCOME_TIMED_OUT:
        snprintf(text, size, "the drive did not answer within %d seconds", outcome.timeoutSeconds);
        return;
    case SCSI_OUTCOME_NO_DEVICE:
        snprintf(text, size, "no device answered");
        return;
    case SCSI_OUTCOME_SYSTEM_ERROR:
        win32ErrorText(outcome.systemError, words, sizeof words);
        snprintf(text, size, "the system's call failed: %s", words);
        return;
    case SCSI_OUTCOME_NOT_SENT:
        break;
    }
    snprintf(text, size, "the command was not sent");
}

// The CD-ROM driver refuses the commands of every handle but the one that holds the drive
// exclusively with "access denied"; a node opened exclusively refuses other opens as in use.
bool scsiHeldElsewhere(const ScsiOutcome& outcome) {
    const uint32_t error = outcome.systemError;
    if (outcome.kind == SCSI_OUTCOME_NOT_OPENED)
        return error == ERROR_BUSY || error == ERROR_SHARING_VIOLATION;
    return outcome.kind == SCSI_OUTCOME_SYSTEM_ERROR &&
           (error == ERROR_BUSY || error == ERROR_ACCESS_DENIED);
}

const char* scsiBrief(const ScsiOutcome& outcome) {
    switch (outcome.kind) {
    case SCSI_OUTCOME_NOT_OPENED:
    case SCSI_OUTCOME_SYSTEM_ERROR:
        if (outcome.systemError == ERROR_ACCESS_DENIED) return "access denied";
        if (outcome.systemError == ERROR_FILE_NOT_FOUND ||
            outcome.systemError == ERROR_PATH_NOT_FOUND)
            return "no such device";
        if (outcome.systemError == ERROR_NOT_READY) return "not ready";
        return "failed";
    case SCSI_OUTCOME_CHECK_CONDITION:
        return outcome.senseKey == SENSE_KEY_NOT_READY ? "not ready" : "refused";
    case SCSI_OUTCOME_SENSE_TOO_LONG:
        return "refused";
    case SCSI_OUTCOME_TIMED_OUT:
        return "timed out";
    case SCSI_OUTCOME_NO_DEVICE:
        return "no device answered";
    case SCSI_OUTCOME_STATUS:
        return "busy";
    default:
        return "failed";
    }
}

ScsiOpenFailure scsiOpenFailure(const Scsi* scsi) {
    if (scsi == nullptr) return SCSI_OPEN_NOT_FOUND;
    const ScsiLast& last = scsi->last;
    if (last.aspiLibrary == SCSI_ASPI_NO_LIBRARY || last.aspiLibrary == SCSI_ASPI_NOT_STARTED)
        return SCSI_OPEN_NO_ASPI;
    if (last.ending.systemError == ERROR_ACCESS_DENIED) return SCSI_OPEN_DENIED;
    return SCSI_OPEN_NOT_FOUND;
}

const char* scsiLastTrace(const Scsi* scsi) { return scsi != nullptr ? scsi->last.trace : ""; }
