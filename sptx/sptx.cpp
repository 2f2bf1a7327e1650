#include "sptx.h"

#include <cstddef>
#include <cstdlib>

// The storage port driver reads these records as 32-bit Windows lays them out.
static_assert(sizeof(void*) != 4 || sizeof(SCSI_PASS_THROUGH) == 44, "pass-through record");
static_assert(sizeof(void*) != 4 || sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "direct record");
static_assert(sizeof(void*) != 4 || offsetof(SCSI_PASS_THROUGH, Cdb) == 28, "Cdb offset");
static_assert(sizeof(void*) != 4 || offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28, "Cdb offset");
static_assert(sizeof(void*) != 4 || offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 20,
              "DataBufferOffset offset");
static_assert(sizeof(void*) != 4 || offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20,
              "DataBuffer offset");
static_assert(sizeof(void*) != 4 || offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 24,
              "SenseInfoOffset offset");
static_assert(sizeof(void*) != 4 || offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24,
              "SenseInfoOffset offset");

namespace {

// The fixed part of the request buffer before the data area, and the tail behind it.
const int32_t REQUEST_FIXED_PART = 564;
const int32_t REQUEST_TAIL = 3;

}  // namespace

Sptx* newSptx(int32_t capacity) {
    if (capacity < 0) capacity = SPTX_DEFAULT_CAPACITY;
    Sptx* sptx = static_cast<Sptx*>(calloc(1, sizeof(Sptx)));
    if (sptx == nullptr) return nullptr;
    sptx->request = static_cast<uint8_t*>(
        calloc(1, static_cast<size_t>(capacity) + REQUEST_FIXED_PART + REQUEST_TAIL));
    if (sptx->request == nullptr) {
        free(sptx);
        return nullptr;
    }
    sptx->capacity = capacity;
    sptx->directThreshold = capacity + 1;
    sptx->trace = stderr;
    sptx->device = INVALID_HANDLE_VALUE;
    sptx->maxTransferLength = -1;
    sptx->alignmentMask = -1;
    sptx->senseLimit = -1;
    sptx->timeoutSeconds = -1;
    sptx->lastResult = -1;
    sptx->lastTransferLength = -1;
    sptx->sense = nullptr;
    sptx->senseLength = -1;
    return sptx;
}

// Until the pass-through path is built, no device name opens.
int sptxOpen(Sptx*, const char*) { return -1; }

void sptxClose(Sptx*) {}

int sptxSetSenseLength(Sptx*, int32_t) { return -1; }

int sptxSetTimeout(Sptx*, int32_t, int32_t) { return -1; }

int32_t sptxSay(Sptx*, const uint8_t*, int32_t, uint8_t*, int32_t, int32_t) { return -1; }
