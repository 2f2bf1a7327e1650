#include "aspi.h"

#include <cstdlib>

// ASPI for Win32 is a 32-bit interface: on 32-bit builds the request block must be exactly
// the library's. Elsewhere the start-up refuses by its own check of where CDBByte lies.
static_assert(sizeof(void*) != 4 || sizeof(SrbExecScsiCmd) == 337, "request block size");
static_assert(sizeof(void*) != 4 || offsetof(SrbExecScsiCmd, CDBByte) == 48, "CDBByte offset");
static_assert(sizeof(void*) != 4 || offsetof(SrbExecScsiCmd, SenseArea) == 64,
              "SenseArea offset");

Aspi* newAspi(void) {
    Aspi* aspi = static_cast<Aspi*>(calloc(1, sizeof(Aspi)));
    if (aspi == nullptr) return nullptr;
    aspi->trace = stderr;
    aspi->lun = -1;
    aspi->residualReporting = -1;
    aspi->maxTransferLength = -1;
    aspi->alignmentMask = -1;
    aspi->highestHostAdapter = -1;
    aspi->highestTarget = -1;
    aspi->highestLun = -1;
    aspi->senseLimit = -1;
    aspi->timeoutMilliseconds = -1;
    aspi->lastResult = -1;
    aspi->lastTransferLength = -1;
    aspi->sense = nullptr;
    aspi->senseLength = -1;
    return aspi;
}

// Until the ASPI path is built, no name opens as an ASPI address.
int aspiOpen(Aspi*, const char*) { return -1; }

int aspiSetSenseLength(Aspi*, int32_t) { return -1; }

int aspiSetTimeout(Aspi*, int32_t, int32_t) { return -1; }

int32_t aspiSay(Aspi*, const uint8_t*, int32_t, uint8_t*, int32_t, int32_t) { return -1; }
