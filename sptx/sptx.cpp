#include "sptx.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "cdrom_exclusive.h"
#include "scsi.h"
#include "win32_error.h"

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
static_assert(sizeof(IO_SCSI_CAPABILITIES) == 24, "capabilities record");

namespace {

// The request buffer: the pass-through record with room behind it for CDBs of up to 255
// bytes, the sense area, the data area of `capacity` bytes, and a tail.
const int32_t SENSE_OFFSET = 304;
const int32_t REQUEST_FIXED_PART = 564;
const int32_t REQUEST_TAIL = 3;
// Every preparation clears the fixed part and the first four bytes of the data area.
const int32_t PREPARED_PREFIX = REQUEST_FIXED_PART + 4;

const int32_t MAX_CDB_LENGTH = 255;
const int32_t NANOSECONDS_PER_SECOND = 1000000000;
const uint32_t PHYSICAL_PAGE_SIZE = 4096;

static_assert(SENSE_OFFSET >= offsetof(SCSI_PASS_THROUGH, Cdb) + MAX_CDB_LENGTH,
              "the longest CDB ends before the sense area");
static_assert(REQUEST_FIXED_PART - SENSE_OFFSET >= SCSI_MAX_SENSE_LENGTH, "sense area");

// The largest data area whose request buffer length, and the direct threshold one above it,
// are still 32-bit signed numbers: the length handed to the driver is counted in them.
const int32_t MAX_CAPACITY = INT32_MAX - (REQUEST_FIXED_PART + REQUEST_TAIL);

size_t requestSize(int32_t capacity) {
    return static_cast<size_t>(capacity) + REQUEST_FIXED_PART + REQUEST_TAIL;
}

SCSI_PASS_THROUGH* recordOf(Sptx* sptx) {
    return reinterpret_cast<SCSI_PASS_THROUGH*>(sptx->request);
}

// The largest transfer is bounded by the adapter's own limit and by its scatter list: a
// buffer that does not start on a page boundary spans one page more than it fills.
void readCapabilities(Sptx* sptx) {
    IO_SCSI_CAPABILITIES capabilities;
    memset(&capabilities, 0, sizeof capabilities);
    DWORD returned = 0;
    if (!DeviceIoControl(sptx->device, IOCTL_SCSI_GET_CAPABILITIES, &capabilities,
                         sizeof capabilities, &capabilities, sizeof capabilities, &returned,
                         nullptr))
        return;
    const uint32_t pagesBound =
        (uint32_t(capabilities.MaximumPhysicalPages) - 1) * PHYSICAL_PAGE_SIZE;
    sptx->maxTransferLength =
        std::min(int32_t(capabilities.MaximumTransferLength), int32_t(pagesBound));
    sptx->alignmentMask = int32_t(capabilities.AlignmentMask);
}

// A negative data length is refused here: it would reach the copies into and out of the
// request buffer as a huge count.
bool requestArgumentsValid(const Sptx* sptx, const uint8_t* cdb, int32_t cdbLength,
                           const uint8_t* data, int32_t dataLength) {
    if (sptx == nullptr) return false;
    if (cdbLength < 0 || cdbLength > MAX_CDB_LENGTH || (cdb == nullptr && cdbLength != 0))
        return false;
    if (dataLength < 0 || (data == nullptr && dataLength != 0)) return false;
    return sptx->senseLimit >= 0 && sptx->senseLimit <= SCSI_MAX_SENSE_LENGTH;
}

// Everything but the data's place, which is where the two modes differ. The clearing stays
// within the buffer of a record built without a data area.
int prepareRequest(Sptx* sptx, const uint8_t* cdb, int32_t cdbLength, const uint8_t* data,
                   int32_t dataLength, int32_t direction) {
    if (!requestArgumentsValid(sptx, cdb, cdbLength, data, dataLength)) return -1;
    memset(sptx->request, 0, std::min(size_t(PREPARED_PREFIX), requestSize(sptx->capacity)));
    SCSI_PASS_THROUGH* record = recordOf(sptx);
    record->Length = sizeof(SCSI_PASS_THROUGH);
    // A CDB longer than the record's 16 bytes runs on into the room behind the record.
    if (cdbLength > 0) memcpy(sptx->request + offsetof(SCSI_PASS_THROUGH, Cdb), cdb, cdbLength);
    record->CdbLength = UCHAR(cdbLength);
    record->DataTransferLength = ULONG(dataLength);
    record->DataIn = direction == DATA_IN ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
    record->SenseInfoOffset = SENSE_OFFSET;
    record->SenseInfoLength = UCHAR(sptx->senseLimit);
    return 0;
}

// What the driver wrote back into the request, read whether or not the call succeeded.
struct DriverAnswer {
    BOOL succeeded;
    UCHAR status;
    int32_t transferred;
    UCHAR senseLength;
};

// Hands the prepared request to the driver, `length` bytes both ways in the one buffer.
DriverAnswer passRequest(Sptx* sptx, bool direct, DWORD length) {
    DWORD returned = 0;
    const BOOL succeeded = DeviceIoControl(
        sptx->device, direct ? IOCTL_SCSI_PASS_THROUGH_DIRECT : IOCTL_SCSI_PASS_THROUGH,
        sptx->request, length, sptx->request, length, &returned, nullptr);
    const SCSI_PASS_THROUGH* record = recordOf(sptx);
    if (succeeded) {
        sptx->lastEnding.status = record->ScsiStatus;
    } else {
        sptx->lastEnding.systemError = GetLastError();
        sptx->lastEnding.timedOut = sptx->lastEnding.systemError == ERROR_SEM_TIMEOUT;
        sayLastError(sptx->trace, "// sptxSay.DeviceIoControl", &sptx->lastTrace);
    }
    return {succeeded, record->ScsiStatus, int32_t(record->DataTransferLength),
            record->SenseInfoLength};
}

// The SayResult of a completed call; notes the transfer count and the sense bytes on the
// record where they are usable.
int32_t interpretAnswer(Sptx* sptx, const DriverAnswer& answer, int32_t dataLength,
                        int32_t senseLimit) {
    if (!answer.succeeded) return SAY_REFUSED;
    int32_t result = SAY_REFUSED;
    if (answer.transferred >= 0 && answer.transferred <= dataLength) {
        result = dataLength - answer.transferred;
        sptx->lastTransferLength = answer.transferred;
    }
    // BUSY, RESERVATION CONFLICT, TASK SET FULL and the like say that the drive did not do the
    // command, whatever the count: a chunk it did not take must never count as written.
    if (answer.status == SCSI_STATUS_GOOD || answer.status == SCSI_STATUS_CONDITION_MET)
        return result;
    if (answer.status != SCSI_STATUS_CHECK_CONDITION) return SAY_REFUSED;
    if (answer.senseLength > senseLimit) return SAY_REFUSED;
    sptx->sense = sptx->request + SENSE_OFFSET;
    sptx->senseLength = answer.senseLength;
    if (result > 0) return SAY_CHECK_CONDITION_RESIDUE;
    return result == 0 ? SAY_CHECK_CONDITION : SAY_CHECK_CONDITION_COUNT_UNUSABLE;
}

void traceUnusableAnswer(Sptx* sptx, const DriverAnswer& answer) {
    traceWrite(sptx->trace, &sptx->lastTrace,
            "// sptxSay x %lX %lX %lX %lX (ioctl status length senseLength)\n",
            static_cast<unsigned long>(answer.succeeded),
            static_cast<unsigned long>(answer.status),
            static_cast<unsigned long>(uint32_t(answer.transferred)),
            static_cast<unsigned long>(answer.senseLength));
}

void clearLastCommand(Sptx* sptx) {
    sptx->lastEnding = SCSI_NOT_SENT;
    sptx->lastResult = SAY_REFUSED;
    sptx->lastTransferLength = -1;
    sptx->sense = nullptr;
    sptx->senseLength = -1;
    traceForget(&sptx->lastTrace);
}

}  // namespace

Sptx* newSptx(int32_t capacity) {
    if (capacity < 0) capacity = SPTX_DEFAULT_CAPACITY;
    if (capacity > MAX_CAPACITY) return nullptr;
    Sptx* sptx = static_cast<Sptx*>(calloc(1, sizeof(Sptx)));
    if (sptx == nullptr) return nullptr;
    sptx->request = static_cast<uint8_t*>(
        calloc(1, requestSize(capacity)));
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
    sptx->lastEnding = SCSI_NOT_SENT;
    traceForget(&sptx->lastTrace);
    return sptx;
}

int sptxOpen(Sptx* sptx, const char* name) {
    if (sptx == nullptr || name == nullptr) return -1;
    sptxClose(sptx);
    traceForget(&sptx->lastTrace);
    sptx->device = CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    sptx->lastEnding = SCSI_NOT_SENT;
    if (sptx->device == INVALID_HANDLE_VALUE) {
        sptx->lastEnding.systemError = GetLastError();
        sayLastError(sptx->trace, "// sptxOpen.CreateFile", &sptx->lastTrace);
        return -1;
    }
    // What an adapter that does not answer the question is taken to allow.
    sptx->maxTransferLength = 0;
    sptx->alignmentMask = 3;
    readCapabilities(sptx);
    return 0;
}

void sptxClose(Sptx* sptx) {
    if (sptx == nullptr || sptx->device == INVALID_HANDLE_VALUE) return;
    if (!CloseHandle(sptx->device))
        sayLastError(sptx->trace, "// sptxClose.CloseHandle", &sptx->lastTrace);
    sptx->device = INVALID_HANDLE_VALUE;
}

int sptxSetSenseLength(Sptx* sptx, int32_t length) {
    if (sptx == nullptr || length < 0 || length > SCSI_MAX_SENSE_LENGTH) return -1;
    sptx->senseLimit = length;
    return 0;
}

int sptxSetTimeout(Sptx* sptx, int32_t seconds, int32_t nanoseconds) {
    if (sptx == nullptr) return -1;
    const bool valid = seconds >= 0 && nanoseconds >= 0 && nanoseconds < NANOSECONDS_PER_SECOND;
    const int32_t startedSecond = nanoseconds > 0 ? 1 : 0;
    if (!valid || seconds > INT32_MAX - startedSecond) {
        sptx->timeoutSeconds = SCSI_DEFAULT_TIMEOUT_SECONDS;
        return 0;
    }
    const int32_t total = seconds + startedSecond;
    if (total == 0) return -1;
    sptx->timeoutSeconds = total;
    return 0;
}

void sptxReserve(Sptx* sptx, int32_t length) {
    if (sptx == nullptr || length < 0 || length <= sptx->capacity || length > MAX_CAPACITY ||
        sptx->request == nullptr)
        return;
    uint8_t* grown = static_cast<uint8_t*>(realloc(sptx->request, requestSize(length)));
    if (grown == nullptr) return;
    memset(grown + REQUEST_FIXED_PART + sptx->capacity, 0, size_t(length - sptx->capacity));
    sptx->request = grown;
    sptx->capacity = length;
}

int sptxPrepareBuffered(Sptx* sptx, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                        int32_t dataLength, int32_t direction) {
    if (prepareRequest(sptx, cdb, cdbLength, data, dataLength, direction) != 0) return -1;
    recordOf(sptx)->DataBufferOffset = REQUEST_FIXED_PART;
    return 0;
}

int sptxPrepareDirect(Sptx* sptx, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                      int32_t dataLength, int32_t direction) {
    if (prepareRequest(sptx, cdb, cdbLength, data, dataLength, direction) != 0) return -1;
    reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(sptx->request)->DataBuffer = data;
    return 0;
}

int32_t sptxSay(Sptx* sptx, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                int32_t dataLength, int32_t direction) {
    if (sptx == nullptr || sptx->device == INVALID_HANDLE_VALUE) return SAY_REFUSED;
    clearLastCommand(sptx);
    const bool direct = dataLength >= sptx->directThreshold;
    if (!direct) {
        sptxReserve(sptx, dataLength);
        if (sptx->capacity < dataLength) return SAY_REFUSED;
    }
    const int32_t senseLimit = sptx->senseLimit;
    const int prepared = direct
                             ? sptxPrepareDirect(sptx, cdb, cdbLength, data, dataLength, direction)
                             : sptxPrepareBuffered(sptx, cdb, cdbLength, data, dataLength,
                                                   direction);
    if (prepared != 0 || sptx->timeoutSeconds < 0) return SAY_REFUSED;
    recordOf(sptx)->TimeOutValue = ULONG(sptx->timeoutSeconds);

    // Buffered data goes in and comes back whatever the direction and the outcome.
    uint8_t* const dataArea = sptx->request + REQUEST_FIXED_PART;
    const bool copies = !direct && dataLength > 0;
    if (copies) memcpy(dataArea, data, size_t(dataLength));
    const DWORD length = DWORD(REQUEST_FIXED_PART + REQUEST_TAIL + (direct ? 0 : dataLength));
    const DriverAnswer answer = passRequest(sptx, direct, length);
    if (copies) memcpy(data, dataArea, size_t(dataLength));

    const int32_t result = interpretAnswer(sptx, answer, dataLength, senseLimit);
    sptx->lastResult = result;
    if (result == SAY_REFUSED) traceUnusableAnswer(sptx, answer);
    return result;
}

namespace {

bool askExclusiveAccess(Sptx* sptx, void* request, DWORD inSize, void* answer, DWORD outSize) {
    DWORD returned = 0;
    return DeviceIoControl(sptx->device, CDROM_EXCLUSIVE_ACCESS_CODE, request, inSize, answer,
                           outSize, &returned, nullptr) != 0;
}

}  // namespace

// A lock refused is told as held where the driver says who holds it, or where it says the
// drive is busy (the Linux stand-in, whose kernel names nobody); any other refusal (Windows
// XP, Wine, a device that is no CD-ROM drive) is a driver without the request.
ScsiExclusive sptxLockExclusive(Sptx* sptx, const char* caller, char* holder, size_t size) {
    holder[0] = '\0';
    CdromExclusiveLock lock = {};
    lock.access = {CDROM_EXCLUSIVE_LOCK, CDROM_EXCLUSIVE_IGNORE_VOLUME};
    snprintf(reinterpret_cast<char*>(lock.callerName), sizeof lock.callerName, "%s", caller);
    if (askExclusiveAccess(sptx, &lock, sizeof lock, nullptr, 0)) return SCSI_EXCLUSIVE_TAKEN;
    const bool busy = GetLastError() == ERROR_BUSY;
    if (sptxExclusiveHolder(sptx, holder, size)) return SCSI_EXCLUSIVE_HELD;
    return busy ? SCSI_EXCLUSIVE_HELD : SCSI_EXCLUSIVE_NOT_OFFERED;
}

bool sptxExclusiveHolder(Sptx* sptx, char* holder, size_t size) {
    holder[0] = '\0';
    CdromExclusiveAccess query = {CDROM_EXCLUSIVE_QUERY, 0};
    CdromExclusiveState state = {};
    if (!askExclusiveAccess(sptx, &query, sizeof query, &state, sizeof state) || !state.locked)
        return false;
    snprintf(holder, size, "%.*s", int(sizeof state.callerName), state.callerName);
    return true;
}

void sptxUnlockExclusive(Sptx* sptx) {
    CdromExclusiveAccess unlock = {CDROM_EXCLUSIVE_UNLOCK, 0};
    askExclusiveAccess(sptx, &unlock, sizeof unlock, nullptr, 0);
}
