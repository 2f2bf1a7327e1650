// The pass-through backend: CDBs sent to a device opened by name, through the storage port
// driver's SCSI pass-through control codes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "kernel32.h"

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
};

const int32_t SPTX_DEFAULT_CAPACITY = 16384;

Sptx* newSptx(int32_t capacity);
int sptxOpen(Sptx* sptx, const char* name);
void sptxClose(Sptx* sptx);
int sptxSetSenseLength(Sptx* sptx, int32_t length);
int sptxSetTimeout(Sptx* sptx, int32_t seconds, int32_t nanoseconds);
int32_t sptxSay(Sptx* sptx, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                int32_t dataLength, int32_t direction);
