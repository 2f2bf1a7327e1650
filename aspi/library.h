// What the ASPI backend's files share: the library's entry points, codes and process-wide
// state. Internal to aspi/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "aspi.h"
#include "kernel32.h"

// The library's entry points use the C calling convention, every compiler's default.
typedef DWORD (*SendAspi32CommandEntry)(void* srb);

const uint8_t SS_COMP = 0x01;
const uint8_t SS_INVALID_HA = 0x81;
const uint8_t SS_NO_DEVICE = 0x82;

const int32_t MAX_ADDRESS_PART = 255;

// The process-wide ASPI state, shared by every record: one library for the whole process.
extern int aspiStarted;
extern HMODULE aspiModule;
extern SendAspi32CommandEntry aspiSendASPI32Command;
extern int32_t aspiHighestHostAdapter;

inline unsigned long asHex(uint32_t value) { return value; }
inline long asDecimal(uint32_t value) { return static_cast<int32_t>(value); }
inline bool isAddressPart(long value) { return value >= 0 && value <= MAX_ADDRESS_PART; }

// Judges a housekeeping request, complete when the call returns: true for SS_COMP; traces any
// other status, and a returned value that differs from the block's status.
inline bool housekeepingCompleted(Aspi* aspi, const char* function, DWORD returned,
                                  uint8_t status) {
    if (returned != status) {
        traceWrite(aspi->trace, &aspi->lastTrace,
                   "// %s.SendASPI32Command = x%lX (%ld) != x%lX (%ld)\n", function,
                   asHex(returned), asDecimal(returned), asHex(status), asDecimal(status));
    }
    if (status == SS_COMP) return true;
    traceWrite(aspi->trace, &aspi->lastTrace, "// %s.SRB_Status = x%lX (%ld)\n", function,
               asHex(status), asDecimal(status));
    return false;
}
