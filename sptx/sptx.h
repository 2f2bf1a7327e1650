// The pass-through backend: CDBs sent to a device opened by name, through the storage port
// driver's SCSI pass-through control codes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "kernel32.h"
#include "scsi.h"
#include "trace.h"

struct Sptx {
    uint8_t* request;           // the request buffer handed to the driver, owned
    int32_t capacity;           // data bytes that the request buffer's data area holds
    int32_t directThreshold;    // data length from which commands go direct
    FILE* trace;                // where the backend's trace lines go
    HANDLE device;              // INVALID_HANDLE_VALUE while no device is open
    int32_t maxTransferLength;  // reported by the adapter at open
    int32_t alignmentMask;      // reported by the adapter at open
    int32_t senseLimit;         // 0 to 255; negative until set
    int32_t timeoutSeconds;     // at least 1; negative until set
    int32_t lastResult;
    int32_t lastTransferLength;
    uint8_t* sense;             // sense bytes of the last CHECK CONDITION, inside request
    int32_t senseLength;
    ScsiEnding lastEnding;      // how the last open or command ended
    TraceKept lastTrace;        // the trace lines of the last open or command
};

const int32_t SPTX_DEFAULT_CAPACITY = 16384;

// A closed record without settings; a negative capacity selects SPTX_DEFAULT_CAPACITY. Null
// when memory runs out or the request buffer's length (capacity + 567) would exceed INT32_MAX.
Sptx* newSptx(int32_t capacity);

// Opens the device path `name` (closing any device opened before) and records what the
// adapter reports about transfers. 0, or -1 with the record closed.
int sptxOpen(Sptx* sptx, const char* name);
void sptxClose(Sptx* sptx);

// Largest number of sense bytes a command may return, 0 to 255.
int sptxSetSenseLength(Sptx* sptx, int32_t length);

// Kept in whole seconds, a started second counting as a whole one. A zero time-out is
// refused; invalid or overflowing values store 28 hours.
int sptxSetTimeout(Sptx* sptx, int32_t seconds, int32_t nanoseconds);

// Grows the data area to `length` bytes when smaller (within what newSptx accepts); on failure
// the record keeps its buffer, so callers compare `capacity` afterwards.
void sptxReserve(Sptx* sptx, int32_t length);

// Fills in the request buffer for one command, its data inside it (buffered) or in the caller's
// buffer (direct): 0, or -1 for arguments the driver must never see.
int sptxPrepareBuffered(Sptx* sptx, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                        int32_t dataLength, int32_t direction);
int sptxPrepareDirect(Sptx* sptx, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                      int32_t dataLength, int32_t direction);

// Executes one CDB on the open device; returns a SayResult (see scsi.h).
int32_t sptxSay(Sptx* sptx, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                int32_t dataLength, int32_t direction);

// The CD-ROM driver's exclusive access for this handle (scsiLockExclusive). Failed requests
// write no trace: where the driver has no such request, the update goes on as it always has.
ScsiExclusive sptxLockExclusive(Sptx* sptx, const char* caller, char* holder, size_t size);
void sptxUnlockExclusive(Sptx* sptx);
bool sptxExclusiveHolder(Sptx* sptx, char* holder, size_t size);
