// The ASPI backend: CDBs sent as ASPI for Win32 request blocks to a drive addressed by host
// adapter, target and logical unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "scsi.h"
#include "trace.h"

#pragma pack(push, 1)
// The header every ASPI for Win32 request block starts with.
struct SrbHeader {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
};

// SRB_ExecSCSICmd as ASPI for Win32 lays it out on 32-bit Windows, followed by a sense area
// large enough for the largest sense length limit.
struct SrbExecScsiCmd {
    SrbHeader header;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint16_t SRB_Rsvd1;
    uint32_t SRB_BufLen;
    uint8_t* SRB_BufPointer;
    uint8_t SRB_SenseLen;
    uint8_t SRB_CDBLen;
    uint8_t SRB_HaStat;
    uint8_t SRB_TargStat;
    void* SRB_PostProc;
    uint8_t SRB_Rsvd2[20];
    uint8_t CDBByte[16];
    uint8_t SenseArea[273];
};
#pragma pack(pop)

struct Aspi {
    SrbExecScsiCmd srb;
    FILE* trace;
    int32_t hostAdapter;
    int32_t target;
    int32_t lun;
    int32_t residualReporting;
    int32_t maxTransferLength;
    int32_t alignmentMask;
    int32_t highestHostAdapter;
    int32_t highestTarget;
    int32_t highestLun;
    int32_t senseLimit;
    int32_t timeoutMilliseconds;
    int32_t lastResult;
    int32_t lastTransferLength;
    uint8_t* sense;
    int32_t senseLength;
    ScsiEnding lastEnding;  // how the last command ended
    TraceKept lastTrace;    // the trace lines of the last open, command or request
};

Aspi* newAspi(void);

// Opens `name` when it is an ASPI address, three numbers from 0 to 255 joined by points
// (host adapter, target, logical unit), and the library starts: 0, else -1.
int aspiOpen(Aspi* aspi, const char* name);

// Whether `name` is an ASPI address: three numbers from 0 to 255 joined by points.
bool aspiNamesAddress(const char* name);

// Loads WNASPI32.DLL once per process, for good: negative on failure (final), 0 when this call
// started the library, 1 when an earlier one did. Only `aspi->trace` is used.
int aspiStartup(Aspi* aspi);

// Asks the library about the host adapter and keeps its limits in the record (defaults when
// it does not answer): 0 when it answered, else -1.
int aspiExamine(Aspi* aspi, int32_t hostAdapter);

// 0 to 255 sense bytes; -1 leaves the limit as it was.
int aspiSetSenseLength(Aspi* aspi, int32_t length);

// Stored in whole milliseconds, a part of one counting as one. A time-out of 0 is refused
// with -1; an invalid or overflowing one stores 28 hours.
int aspiSetTimeout(Aspi* aspi, int32_t seconds, int32_t nanoseconds);

// ---- For a listing of the drives (kelvo-list): the library's housekeeping requests ----

// aspiAdapterCount's and aspiStartState's answer where there is no library to load (or none
// that this program could use: a 64-bit program has no ASPI for Win32).
const int32_t ASPI_NO_LIBRARY = -2;

// How the process's one start of the library went: 0 not tried yet, 1 started, -1 loaded but
// not started, ASPI_NO_LIBRARY.
int32_t aspiStartState(void);

// The host adapters that the library reports, starting it as aspiOpen does: their number,
// ASPI_NO_LIBRARY, or -1 when the library loaded but did not start.
int32_t aspiAdapterCount(Aspi* aspi);

// aspiGetDeviceType's answer for an address with no device.
const int32_t ASPI_NO_DEVICE = -2;

// SC_GET_DEV_TYPE: the peripheral device type of the device at the address (5 for a CD-ROM),
// ASPI_NO_DEVICE, or -1 after a trace line when the library failed the request.
int32_t aspiGetDeviceType(Aspi* aspi, int32_t hostAdapter, int32_t target, int32_t lun);

// ---- end of the listing's requests ----

// Runs one CDB with the record's sense limit and time-out; the result is a SayResult.
int32_t aspiSay(Aspi* aspi, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                int32_t dataLength, int32_t direction);

// Sends the request block that aspiSay filled and waits for its completion event: 0, or -1
// when it could not be sent or the wait failed or expired.
int aspiSayForMilliSeconds(Aspi* aspi, int32_t milliseconds);
