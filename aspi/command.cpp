// One command: the request block filled, sent, waited for and read back.
#include "aspi.h"

#include <cstring>

#include "kernel32.h"
#include "library.h"
#include "win32_error.h"

// ASPI for Win32 is a 32-bit interface: on 32-bit builds the request block must be exactly
// the library's. Elsewhere the start-up refuses by its own check of where CDBByte lies.
static_assert(sizeof(void*) != 4 || sizeof(SrbExecScsiCmd) == 337, "request block size");
static_assert(sizeof(void*) != 4 || offsetof(SrbExecScsiCmd, CDBByte) == 48, "CDBByte offset");
static_assert(sizeof(void*) != 4 || offsetof(SrbExecScsiCmd, SenseArea) == 64,
              "SenseArea offset");

namespace {

const uint8_t SC_EXEC_SCSI_CMD = 0x02;

const uint8_t SRB_ENABLE_RESIDUAL_COUNT = 0x04;
const uint8_t SRB_DIR_IN = 0x08;
const uint8_t SRB_DIR_OUT = 0x10;
const uint8_t SRB_EVENT_NOTIFY = 0x40;

const uint8_t SS_PENDING = 0x00;
const uint8_t SS_ERR = 0x04;

const uint8_t HASTAT_OK = 0x00;
const uint8_t HASTAT_SEL_TO = 0x11;
const uint8_t HASTAT_DO_DU = 0x12;

const int32_t MAX_CDB_LENGTH = 16;

// Nothing is known of a command until the library has answered it.
void resetResult(Aspi* aspi) {
    aspi->lastResult = -1;
    aspi->lastTransferLength = -1;
    aspi->sense = nullptr;
    aspi->senseLength = -1;
    aspi->lastEnding = SCSI_NOT_SENT;
    traceForget(&aspi->lastTrace);
}

bool fillRequestBlock(Aspi* aspi, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                      int32_t dataLength, int32_t direction) {
    if (cdb != nullptr ? cdbLength < 0 : cdbLength != 0) return false;
    if (cdbLength > MAX_CDB_LENGTH) return false;
    if (data == nullptr && dataLength != 0) return false;
    // The library would take a negative length as a buffer of some 4 GB.
    if (dataLength < 0) return false;
    if (aspi->senseLimit < 0 || aspi->senseLimit > SCSI_MAX_SENSE_LENGTH) return false;

    SrbExecScsiCmd* srb = &aspi->srb;
    memset(srb, 0, sizeof *srb);
    srb->header.SRB_Cmd = SC_EXEC_SCSI_CMD;
    if (cdbLength > 0) memcpy(srb->CDBByte, cdb, static_cast<size_t>(cdbLength));
    srb->SRB_CDBLen = static_cast<uint8_t>(cdbLength);
    srb->SRB_BufLen = static_cast<uint32_t>(dataLength);
    if (direction == 1 || direction == 2) {
        srb->header.SRB_Flags = direction == 1 ? SRB_DIR_IN : SRB_DIR_OUT;
        srb->SRB_BufPointer = data;
    }
    if (aspi->residualReporting != 0) srb->header.SRB_Flags |= SRB_ENABLE_RESIDUAL_COUNT;
    srb->SRB_SenseLen = static_cast<uint8_t>(aspi->senseLimit);
    return true;
}

// The library writes the status from its own thread when the command completes later.
uint8_t currentStatus(const Aspi* aspi) {
    return __atomic_load_n(&aspi->srb.header.SRB_Status, __ATOMIC_ACQUIRE);
}

void closeCompletionEvent(Aspi* aspi, HANDLE event) {
    if (CloseHandle(event)) return;
    sayLastError(aspi->trace, "// aspiSayForMilliSeconds.CloseHandle", &aspi->lastTrace);
    traceWrite(aspi->trace, &aspi->lastTrace,
               "// aspiSayForMilliSeconds.CloseHandle = x%lX (%ld)\n", 0UL, 0L);
}

// A library that has already finished may return a pending 0 with a final status.
void traceDifferingStatus(Aspi* aspi, DWORD returned, uint8_t status) {
    if (returned == status || returned == SS_PENDING) return;
    traceWrite(aspi->trace, &aspi->lastTrace,
               "// aspiSayForMilliSeconds.SendASPI32Command = x%lX (%ld) != x%lX (%ld)\n",
               asHex(returned), asDecimal(returned), asHex(status), asDecimal(status));
}

int waitForCompletion(Aspi* aspi, HANDLE event, int32_t milliseconds) {
    const DWORD waited = WaitForSingleObject(event, static_cast<DWORD>(milliseconds));
    if (waited == WAIT_OBJECT_0) return 0;
    aspi->lastEnding.timedOut = waited == WAIT_TIMEOUT;
    if (waited == WAIT_FAILED) {
        aspi->lastEnding.systemError = GetLastError();
        sayLastError(aspi->trace, "// aspiSayForMilliSeconds.WaitForSingleObject",
                     &aspi->lastTrace);
    }
    traceWrite(aspi->trace, &aspi->lastTrace,
               "// aspiSayForMilliSeconds.WaitForSingleObject = x%lX (%ld)\n", asHex(waited),
               asDecimal(waited));
    return -1;
}

// What the block says of the command, as aspiSay reads it back.
struct Completion {
    uint8_t status;
    uint8_t haStat;
    uint8_t targStat;
    int32_t residual;
    int32_t senseLength;
    bool residualReporting;
};

// A data overrun or underrun with no residual count to go by (none asked for, or SRB_BufLen
// left as it was sent) counts as a whole transfer; a selection time-out that still carries a
// CHECK CONDITION counts as that CHECK CONDITION.
void normalizeCompletion(Completion* done, int32_t dataLength) {
    if (done->status == SS_COMP) {
        done->haStat = HASTAT_OK;
        done->targStat = SCSI_STATUS_GOOD;
    } else if (done->status == SS_ERR && done->haStat == HASTAT_DO_DU) {
        done->haStat = HASTAT_OK;
        if (!done->residualReporting || done->residual == dataLength) {
            done->residual = 0;
            done->residualReporting = true;
        }
    } else if (done->status == SS_ERR && done->haStat == HASTAT_SEL_TO &&
               done->targStat == SCSI_STATUS_CHECK_CONDITION) {
        done->haStat = HASTAT_OK;
    }
}

bool isCheckCondition(const Completion& done) {
    return done.status == SS_ERR && done.haStat == HASTAT_OK &&
           done.targStat == SCSI_STATUS_CHECK_CONDITION;
}

int32_t residueResult(Aspi* aspi, const Completion& done, int32_t dataLength) {
    if (!done.residualReporting) return 0;
    if (done.residual < 0 || done.residual > dataLength) return -1;
    aspi->lastTransferLength = dataLength - done.residual;
    return done.residual;
}

int32_t checkConditionResult(Aspi* aspi, int32_t result, const Completion& done,
                             int32_t senseLimit) {
    if (result > 0) result = -256;
    result = -((-result) | 2);
    if (done.senseLength > senseLimit) return -1;
    aspi->sense = aspi->srb.SenseArea;
    aspi->senseLength = done.senseLength;
    return result;
}

// Whether the drive answered, and with which status, or nothing answered at the address.
void noteEnding(Aspi* aspi, const Completion& done) {
    if (done.status == SS_COMP || (done.status == SS_ERR && done.haStat == HASTAT_OK))
        aspi->lastEnding.status = done.targStat;
    else if (done.status == SS_NO_DEVICE || done.status == SS_INVALID_HA ||
             done.haStat == HASTAT_SEL_TO)
        aspi->lastEnding.noDevice = true;
}

void traceFailedCommand(Aspi* aspi, int waited) {
    const SrbExecScsiCmd& srb = aspi->srb;
    traceWrite(aspi->trace, &aspi->lastTrace,
               "// aspiSay: x %lX %02lX:%02lX:%02lX %lX %lX (aspi status BufLen SenseLen)\n",
               asHex(static_cast<uint32_t>(waited)), asHex(srb.header.SRB_Status),
               asHex(srb.SRB_HaStat), asHex(srb.SRB_TargStat), asHex(srb.SRB_BufLen),
               asHex(srb.SRB_SenseLen));
}

}  // namespace

int aspiSayForMilliSeconds(Aspi* aspi, int32_t milliseconds) {
    if (aspi == nullptr || milliseconds < 0) return -1;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        sayLastError(aspi->trace, "// aspiSayForMilliSeconds.CreateEvent", &aspi->lastTrace);
        return -1;
    }
    SrbExecScsiCmd* srb = &aspi->srb;
    srb->header.SRB_HaId = static_cast<uint8_t>(aspi->hostAdapter);
    srb->SRB_Target = static_cast<uint8_t>(aspi->target);
    srb->SRB_Lun = static_cast<uint8_t>(aspi->lun);
    // A record that was never opened has no address to send to, and without a started
    // library there is nothing to send with.
    if (!isAddressPart(aspi->hostAdapter) || !isAddressPart(aspi->target) ||
        !isAddressPart(aspi->lun) || aspiStarted != 1) {
        closeCompletionEvent(aspi, event);
        return -1;
    }
    srb->header.SRB_Flags |= SRB_EVENT_NOTIFY;
    srb->SRB_PostProc = event;

    const DWORD returned = aspiSendASPI32Command(srb);
    traceDifferingStatus(aspi, returned, currentStatus(aspi));
    // A block left pending with anything but SS_PENDING returned was not taken (a library may
    // refuse every request so): nothing will ever signal its event.
    int result = 0;
    if (currentStatus(aspi) == SS_PENDING)
        result = returned == SS_PENDING ? waitForCompletion(aspi, event, milliseconds) : -1;
    closeCompletionEvent(aspi, event);
    return result;
}

int32_t aspiSay(Aspi* aspi, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                int32_t dataLength, int32_t direction) {
    if (aspi == nullptr) return -1;
    const bool residualReporting = aspi->residualReporting != 0;
    const int32_t senseLimit = aspi->senseLimit;
    resetResult(aspi);
    if (!fillRequestBlock(aspi, cdb, cdbLength, data, dataLength, direction)) return -1;
    if (aspi->timeoutMilliseconds < 0) return -1;

    const int waited = aspiSayForMilliSeconds(aspi, aspi->timeoutMilliseconds);
    const SrbExecScsiCmd& srb = aspi->srb;
    Completion done = {srb.header.SRB_Status, srb.SRB_HaStat, srb.SRB_TargStat,
                       static_cast<int32_t>(srb.SRB_BufLen), srb.SRB_SenseLen, residualReporting};
    int32_t result = -1;
    if (waited == 0) {
        normalizeCompletion(&done, dataLength);
        noteEnding(aspi, done);
        if (done.status == SS_COMP) {
            result = residueResult(aspi, done, dataLength);
        } else if (isCheckCondition(done)) {
            result = residueResult(aspi, done, dataLength);
            result = checkConditionResult(aspi, result, done, senseLimit);
        }
    }
    aspi->lastResult = result;
    if (result == -1) traceFailedCommand(aspi, waited);
    return result;
}
