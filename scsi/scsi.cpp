#include "scsi.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aspi.h"
#include "cdb_length.h"
#include "sptx.h"

Scsi* newScsi(void) {
    Scsi* scsi = static_cast<Scsi*>(calloc(1, sizeof(Scsi)));
    if (scsi == nullptr) return nullptr;
    scsi->selected = nullptr;
    scsi->aspi = newAspi();
    scsi->sptx = newSptx(-1);
    return scsi;
}

namespace {

const int32_t MILLISECONDS_PER_SECOND = 1000;

// Keeps what the backend knows of the command it just ran, sense bytes included, since the
// backend's own copy lasts only until its next command.
void keepLast(Scsi* scsi, SayResult result, const ScsiEnding& ending, const uint8_t* sense,
              int32_t senseLength, int32_t timeoutSeconds) {
    ScsiLast& last = scsi->last;
    last = {};
    last.result = result;
    last.ending = ending;
    last.timeoutSeconds = timeoutSeconds;
    if (sense != nullptr && senseLength > 0) {
        last.senseLength = std::min(senseLength, SCSI_KEPT_SENSE);
        memcpy(last.sense, sense, size_t(last.senseLength));
    }
}

// Adds a backend's trace lines to those kept of the last operation.
void keepTrace(Scsi* scsi, const TraceKept& kept) {
    char* const trace = scsi->last.trace;
    const size_t length = strlen(trace);
    snprintf(trace + length, sizeof scsi->last.trace - length, "%s", kept.text);
}

// What the ASPI library made of a name at the open that just failed.
ScsiAspiLibrary aspiLibraryFor(const char* name) {
    if (!aspiNamesAddress(name)) return SCSI_ASPI_NOT_ASKED;
    return aspiStartState() == ASPI_NO_LIBRARY ? SCSI_ASPI_NO_LIBRARY : SCSI_ASPI_NOT_STARTED;
}

}  // namespace

// The ASPI backend refuses at once every name that is not an ASPI address, so every other
// name ends up with the pass-through backend.
int scsiOpen(Scsi* scsi, const char* name) {
    if (scsi == nullptr) return -1;
    scsi->selected = nullptr;
    keepLast(scsi, SAY_REFUSED, SCSI_NOT_SENT, nullptr, 0, 0);
    if (aspiOpen(scsi->aspi, name) == 0) {
        scsi->selected = scsi->aspi;
        scsi->last.aspiLibrary = SCSI_ASPI_STARTED;
        keepTrace(scsi, scsi->aspi->lastTrace);
        return 0;
    }
    const bool opened = sptxOpen(scsi->sptx, name) == 0;
    if (opened) {
        scsi->selected = scsi->sptx;
    } else {
        keepLast(scsi, SAY_REFUSED,
                 scsi->sptx != nullptr ? scsi->sptx->lastEnding : SCSI_NOT_SENT, nullptr, 0, 0);
        scsi->last.openFailed = true;
    }
    scsi->last.aspiLibrary = aspiLibraryFor(name);
    if (scsi->aspi != nullptr) keepTrace(scsi, scsi->aspi->lastTrace);
    if (scsi->sptx != nullptr) keepTrace(scsi, scsi->sptx->lastTrace);
    return opened ? 0 : -1;
}

ScsiPath scsiPath(const Scsi* scsi) {
    if (scsi == nullptr || scsi->selected == nullptr) return SCSI_PATH_NONE;
    return scsi->selected == scsi->aspi ? SCSI_PATH_ASPI : SCSI_PATH_PASS_THROUGH;
}

ScsiExclusive scsiLockExclusive(Scsi* scsi, const char* caller, char* holder, size_t size) {
    holder[0] = '\0';
    if (scsiPath(scsi) != SCSI_PATH_PASS_THROUGH) return SCSI_EXCLUSIVE_NOT_OFFERED;
    return sptxLockExclusive(scsi->sptx, caller, holder, size);
}

bool scsiExclusiveHolder(Scsi* scsi, char* holder, size_t size) {
    holder[0] = '\0';
    return scsiPath(scsi) == SCSI_PATH_PASS_THROUGH && sptxExclusiveHolder(scsi->sptx, holder, size);
}

void scsiUnlockExclusive(Scsi* scsi) {
    if (scsiPath(scsi) == SCSI_PATH_PASS_THROUGH) sptxUnlockExclusive(scsi->sptx);
}

void scsiClose(Scsi* scsi) {
    if (scsi == nullptr) return;
    sptxClose(scsi->sptx);
    scsi->selected = nullptr;
}

void scsiFree(Scsi* scsi) {
    if (scsi == nullptr) return;
    scsiClose(scsi);
    if (scsi->sptx != nullptr) free(scsi->sptx->request);
    free(scsi->sptx);
    free(scsi->aspi);
    free(scsi);
}

int scsiSetSenseLength(Scsi* scsi, int32_t length) {
    if (scsi == nullptr || scsi->selected == nullptr) return -1;
    if (scsi->selected == scsi->aspi) return aspiSetSenseLength(scsi->aspi, length);
    if (scsi->selected == scsi->sptx) return sptxSetSenseLength(scsi->sptx, length);
    return -1;
}

int scsiSetTimeout(Scsi* scsi, int32_t seconds, int32_t nanoseconds) {
    if (scsi == nullptr || scsi->selected == nullptr) return -1;
    if (scsi->selected == scsi->aspi) return aspiSetTimeout(scsi->aspi, seconds, nanoseconds);
    if (scsi->selected == scsi->sptx) return sptxSetTimeout(scsi->sptx, seconds, nanoseconds);
    return -1;
}

SayResult scsiSay(Scsi* scsi, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                  int32_t dataLength, int32_t direction) {
    if (scsi == nullptr) return SAY_REFUSED;
    const int32_t length = cdbCheckLength(cdb, cdbLength, stderr);
    keepLast(scsi, SAY_REFUSED, SCSI_NOT_SENT, nullptr, 0, 0);
    if (scsi->selected == scsi->aspi && scsi->aspi != nullptr) {
        Aspi* aspi = scsi->aspi;
        const SayResult result = aspiSay(aspi, cdb, length, data, dataLength, direction);
        keepLast(scsi, result, aspi->lastEnding, aspi->sense, aspi->senseLength,
                 aspi->timeoutMilliseconds / MILLISECONDS_PER_SECOND);
        keepTrace(scsi, aspi->lastTrace);
        return result;
    }
    if (scsi->selected == scsi->sptx && scsi->sptx != nullptr) {
        Sptx* sptx = scsi->sptx;
        const SayResult result = sptxSay(sptx, cdb, length, data, dataLength, direction);
        keepLast(scsi, result, sptx->lastEnding, sptx->sense, sptx->senseLength,
                 sptx->timeoutSeconds);
        keepTrace(scsi, sptx->lastTrace);
        return result;
    }
    return SAY_REFUSED;
}

// ---- For a listing of the drives (kelvo-list) ----

void scsiSetTrace(Scsi* scsi, FILE* trace) {
    if (scsi == nullptr || trace == nullptr) return;
    if (scsi->aspi != nullptr) scsi->aspi->trace = trace;
    if (scsi->sptx != nullptr) scsi->sptx->trace = trace;
}

namespace {

// A listing's request of the ASPI library: its trace lines are the handle's last.
int32_t keepAspiRequest(Scsi* scsi, int32_t answer) {
    keepLast(scsi, SAY_REFUSED, SCSI_NOT_SENT, nullptr, 0, 0);
    if (scsi->aspi != nullptr) keepTrace(scsi, scsi->aspi->lastTrace);
    return answer;
}

}  // namespace

int32_t scsiAspiAdapters(Scsi* scsi) {
    if (scsi == nullptr) return -1;
    const int32_t adapters = aspiAdapterCount(scsi->aspi);
    return keepAspiRequest(scsi, adapters == ASPI_NO_LIBRARY ? SCSI_NO_ASPI_LIBRARY : adapters);
}

int32_t scsiAspiHighestTarget(Scsi* scsi, int32_t hostAdapter, bool* answered) {
    *answered = false;
    if (scsi == nullptr || scsi->aspi == nullptr || aspiStartState() != 1) return -1;
    *answered = aspiExamine(scsi->aspi, hostAdapter) == 0;
    return keepAspiRequest(scsi, scsi->aspi->highestTarget);
}

int32_t scsiAspiDeviceType(Scsi* scsi, int32_t hostAdapter, int32_t target, int32_t lun) {
    if (scsi == nullptr) return -1;
    const int32_t type = aspiGetDeviceType(scsi->aspi, hostAdapter, target, lun);
    return keepAspiRequest(scsi, type == ASPI_NO_DEVICE ? SCSI_NO_DEVICE : type);
}
