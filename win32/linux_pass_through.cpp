// DeviceIoControl on Linux: each pass-through request is one SG_IO command on an sr or sg node,
// answered in place; a command the kernel did not complete fails with the tables' Win32 code.
#include <errno.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cdrom_exclusive.h"
#include "kernel32.h"
#include "linux_device.h"
#include "posix_handle.h"

// The kernel reads sg_io_hdr as the calling process lays it out, 32-bit ones in its compat path.
static_assert(sizeof(void*) != 4 || sizeof(sg_io_hdr_t) == 64, "32-bit sg_io_hdr");
static_assert(sizeof(void*) != 4 || (offsetof(sg_io_hdr_t, dxferp) == 16 &&
                                     offsetof(sg_io_hdr_t, timeout) == 28 &&
                                     offsetof(sg_io_hdr_t, status) == 44 &&
                                     offsetof(sg_io_hdr_t, resid) == 52),
              "32-bit sg_io_hdr fields");
static_assert(sizeof(void*) != 8 || sizeof(sg_io_hdr_t) == 88, "64-bit sg_io_hdr");
static_assert(sizeof(void*) != 8 || (offsetof(sg_io_hdr_t, dxferp) == 16 &&
                                     offsetof(sg_io_hdr_t, timeout) == 40 &&
                                     offsetof(sg_io_hdr_t, status) == 64 &&
                                     offsetof(sg_io_hdr_t, resid) == 72),
              "64-bit sg_io_hdr fields");
// The direct record differs from the buffered one only in what its data field holds.
static_assert(sizeof(SCSI_PASS_THROUGH) == sizeof(SCSI_PASS_THROUGH_DIRECT), "records");
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) ==
                  offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer),
              "data field");

namespace {

const int SG_INTERFACE_ID = 'S';
const uint64_t MILLISECONDS_PER_SECOND = 1000;

struct ErrnoCode {
    int error;
    DWORD code;
};

// The kernel refused the call itself (ioctl's errno).
const ErrnoCode errnoCodes[] = {
    {ENOTTY, ERROR_INVALID_FUNCTION},  // no SCSI device behind the node, as Windows says it
    {ENOSYS, ERROR_INVALID_FUNCTION},  // a kernel, or an emulator, without SG_IO
    {EOPNOTSUPP, ERROR_INVALID_FUNCTION},
    {EINVAL, ERROR_INVALID_PARAMETER},    // a request the kernel cannot carry
    {EMSGSIZE, ERROR_INVALID_PARAMETER},  // a CDB length it does not take
    {EPERM, ERROR_ACCESS_DENIED},  // a command the kernel keeps for privileged processes
    {EACCES, ERROR_ACCESS_DENIED},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EFAULT, ERROR_NOACCESS},
    {EBUSY, ERROR_BUSY},
    {EAGAIN, ERROR_BUSY},
    {EDOM, ERROR_BUSY},             // sg: too many commands queued on the descriptor
    {ENODEV, ERROR_DEV_NOT_EXIST},  // the drive went away
    {ENXIO, ERROR_DEV_NOT_EXIST},
    {ETIMEDOUT, ERROR_SEM_TIMEOUT},
    {EINTR, ERROR_OPERATION_ABORTED},  // a signal ended the wait
    {EIO, ERROR_IO_DEVICE},  // also a block node's refusal of a transfer beyond its queue
};
const DWORD OTHER_ERRNO_CODE = ERROR_GEN_FAILURE;

// host_status: the adapter's or the transport's word on a command it could not complete.
enum HostStatus : unsigned {
    DID_OK = 0x00,
    DID_NO_CONNECT = 0x01,
    DID_BUS_BUSY = 0x02,
    DID_TIME_OUT = 0x03,
    DID_BAD_TARGET = 0x04,
    DID_ABORT = 0x05,
    DID_PARITY = 0x06,
    DID_RESET = 0x08,
    DID_SOFT_ERROR = 0x0B,
    DID_IMM_RETRY = 0x0C,
    DID_REQUEUE = 0x0D,
    DID_TRANSPORT_DISRUPTED = 0x0E,
    DID_TRANSPORT_FAILFAST = 0x0F,
    DID_ALLOC_FAILURE = 0x12,
};

// driver_status, low half: the midlayer's word. DRIVER_SENSE only says sense came back.
enum DriverStatus : unsigned {
    DRIVER_OK = 0x00,
    DRIVER_BUSY = 0x01,
    DRIVER_TIMEOUT = 0x06,
    DRIVER_SENSE = 0x08,
};
const unsigned DRIVER_STATUS_MASK = 0x0F;

struct StatusCode {
    unsigned status;
    DWORD code;
};

const StatusCode hostCodes[] = {
    {DID_NO_CONNECT, ERROR_DEV_NOT_EXIST},  // nothing answers at the drive's address
    {DID_BUS_BUSY, ERROR_BUSY},
    {DID_TIME_OUT, ERROR_SEM_TIMEOUT},  // Windows' own code for a command that timed out
    {DID_BAD_TARGET, ERROR_DEV_NOT_EXIST},
    {DID_ABORT, ERROR_OPERATION_ABORTED},
    {DID_PARITY, ERROR_CRC},
    {DID_RESET, ERROR_BUS_RESET},
    {DID_SOFT_ERROR, ERROR_BUSY},  // not done; may be tried again
    {DID_IMM_RETRY, ERROR_BUSY},
    {DID_REQUEUE, ERROR_BUSY},
    {DID_TRANSPORT_DISRUPTED, ERROR_NOT_READY},  // the path to the drive is recovering
    {DID_TRANSPORT_FAILFAST, ERROR_DEV_NOT_EXIST},  // the path to the drive is gone
    {DID_ALLOC_FAILURE, ERROR_NOT_ENOUGH_MEMORY},
};
const StatusCode driverCodes[] = {
    {DRIVER_BUSY, ERROR_BUSY},
    {DRIVER_TIMEOUT, ERROR_SEM_TIMEOUT},
};
// Every other host status (DID_ERROR, DID_TARGET_FAILURE, ...) and driver status but DRIVER_SENSE.
const DWORD OTHER_STATUS_CODE = ERROR_IO_DEVICE;

DWORD codeForErrno(int error) {
    for (const ErrnoCode& known : errnoCodes)
        if (known.error == error) return known.code;
    return OTHER_ERRNO_CODE;
}

template <size_t N>
DWORD codeForStatus(const StatusCode (&table)[N], unsigned status) {
    for (const StatusCode& known : table)
        if (known.status == status) return known.code;
    return OTHER_STATUS_CODE;
}

// ERROR_SUCCESS when the command completed, whatever its SCSI status, which the caller judges.
DWORD codeForCompletion(const sg_io_hdr_t& io) {
    if (io.host_status != DID_OK) return codeForStatus(hostCodes, io.host_status);
    const unsigned driver = io.driver_status & DRIVER_STATUS_MASK;
    if (driver != DRIVER_OK && driver != DRIVER_SENSE) return codeForStatus(driverCodes, driver);
    return ERROR_SUCCESS;
}

BOOL failWith(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// The largest transfer SG_IO carries on the node: its queue's limit, else sg's reserved size;
// -1 with errno set when the node takes no SG_IO.
int64_t transferLimit(int fd) {
    int reserved = 0;
    if (linuxDeviceIoctl(fd, SG_GET_RESERVED_SIZE, &reserved) < 0) return -1;
    const int64_t queue = linuxDeviceQueueLimit(fd);
    return queue > 0 ? queue : reserved;
}

// Any alignment does (the kernel copies through its own buffers); pages are counted as Windows
// does, one more than a transfer fills.
BOOL answerCapabilities(int fd, void* out, DWORD outSize, LPDWORD returned) {
    if (out == nullptr || outSize < sizeof(IO_SCSI_CAPABILITIES))
        return failWith(ERROR_INVALID_PARAMETER);
    const int64_t limit = transferLimit(fd);
    if (limit < 0) return failWith(codeForErrno(errno));
    const uint32_t maximum = uint32_t(limit > INT_MAX ? INT_MAX : limit);
    IO_SCSI_CAPABILITIES capabilities;
    memset(&capabilities, 0, sizeof capabilities);
    capabilities.Length = sizeof capabilities;
    capabilities.MaximumTransferLength = maximum;
    capabilities.MaximumPhysicalPages = maximum / uint32_t(sysconf(_SC_PAGESIZE)) + 1;
    capabilities.AlignmentMask = 0;
    memcpy(out, &capabilities, sizeof capabilities);
    if (returned != nullptr) *returned = sizeof capabilities;
    return TRUE;
}

// SG_IO's direction for the record's DataIn: none without data, 0 for data of no direction.
int directionFor(UCHAR dataIn, ULONG length) {
    if (length == 0) return SG_DXFER_NONE;
    if (dataIn == SCSI_IOCTL_DATA_IN) return SG_DXFER_FROM_DEV;
    if (dataIn == SCSI_IOCTL_DATA_OUT) return SG_DXFER_TO_DEV;
    return 0;
}

bool fits(uint64_t offset, uint64_t length, DWORD size) { return offset + length <= size; }

// The data: the caller's buffer (direct), or in the request at the record's offset, if it fits.
uint8_t* dataOf(uint8_t* request, DWORD size, bool direct) {
    const SCSI_PASS_THROUGH* record = reinterpret_cast<const SCSI_PASS_THROUGH*>(request);
    if (direct) {
        const SCSI_PASS_THROUGH_DIRECT* directRecord =
            reinterpret_cast<const SCSI_PASS_THROUGH_DIRECT*>(request);
        return static_cast<uint8_t*>(directRecord->DataBuffer);
    }
    if (!fits(record->DataBufferOffset, record->DataTransferLength, size)) return nullptr;
    return request + record->DataBufferOffset;
}

// The record as the kernel gets it; false for a request it must never see.
bool fillRequest(uint8_t* request, DWORD size, bool direct, sg_io_hdr_t* io) {
    const SCSI_PASS_THROUGH* record = reinterpret_cast<const SCSI_PASS_THROUGH*>(request);
    const ULONG length = record->DataTransferLength;
    uint8_t* const data = dataOf(request, size, direct);
    const int direction = directionFor(record->DataIn, length);
    // A CDB longer than the record's 16 bytes runs on into the room behind the record.
    if (record->Length != sizeof(SCSI_PASS_THROUGH) || direction == 0 ||
        (data == nullptr && length != 0) ||
        !fits(offsetof(SCSI_PASS_THROUGH, Cdb), record->CdbLength, size) ||
        !fits(record->SenseInfoOffset, record->SenseInfoLength, size))
        return false;
    const uint64_t milliseconds = uint64_t(record->TimeOutValue) * MILLISECONDS_PER_SECOND;
    memset(io, 0, sizeof *io);
    io->interface_id = SG_INTERFACE_ID;
    io->dxfer_direction = direction;
    io->cmd_len = record->CdbLength;
    io->cmdp = request + offsetof(SCSI_PASS_THROUGH, Cdb);
    io->mx_sb_len = record->SenseInfoLength;
    io->sbp = record->SenseInfoLength > 0 ? request + record->SenseInfoOffset : nullptr;
    io->dxfer_len = length;
    io->dxferp = length > 0 ? data : nullptr;
    io->timeout = unsigned(milliseconds > UINT_MAX ? UINT_MAX : milliseconds);
    return true;
}

// Writes the kernel's answer into the record: the SCSI status, the sense bytes written and the
// bytes moved (a residue outside the request gives a count the caller sees is unusable).
void returnAnswer(uint8_t* request, const sg_io_hdr_t& io) {
    SCSI_PASS_THROUGH* record = reinterpret_cast<SCSI_PASS_THROUGH*>(request);
    record->ScsiStatus = io.status;
    record->SenseInfoLength = io.sb_len_wr;
    record->DataTransferLength = ULONG(int64_t(io.dxfer_len) - io.resid);
}

// The backend hands one buffer as input and output; that is the request served here.
BOOL passThrough(int fd, bool direct, void* in, DWORD inSize, void* out, DWORD outSize,
                 LPDWORD returned) {
    if (in == nullptr || in != out || inSize < sizeof(SCSI_PASS_THROUGH) ||
        outSize < sizeof(SCSI_PASS_THROUGH))
        return failWith(ERROR_INVALID_PARAMETER);
    uint8_t* const request = static_cast<uint8_t*>(in);
    sg_io_hdr_t io;
    if (!fillRequest(request, inSize < outSize ? inSize : outSize, direct, &io))
        return failWith(ERROR_INVALID_PARAMETER);
    // A transfer the kernel cannot carry goes nowhere: an update's first chunk is its largest,
    // so such an update ends before the drive has received anything.
    const int64_t limit = transferLimit(fd);
    if (limit < 0) return failWith(codeForErrno(errno));
    if (int64_t(io.dxfer_len) > limit) return failWith(ERROR_INVALID_PARAMETER);

    if (linuxDeviceCommand(fd, &io) < 0) return failWith(codeForErrno(errno));
    returnAnswer(request, io);
    const DWORD failure = codeForCompletion(io);
    if (failure != ERROR_SUCCESS) return failWith(failure);
    if (returned != nullptr) *returned = outSize;
    return TRUE;
}

}  // namespace

extern "C" {

namespace {

// The CD-ROM driver's exclusive access, as Linux offers it: the node opened exclusively. The
// kernel names no holder, so the lock's state is not asked here.
BOOL exclusiveAccess(int fd, const void* in, DWORD inSize) {
    CdromExclusiveAccess request = {};
    if (in == nullptr || inSize < sizeof request) return failWith(ERROR_INVALID_PARAMETER);
    memcpy(&request, in, sizeof request);
    if (request.requestType == CDROM_EXCLUSIVE_QUERY) return failWith(ERROR_INVALID_FUNCTION);
    const bool lock = request.requestType == CDROM_EXCLUSIVE_LOCK;
    if (linuxDeviceReopen(fd, lock) == 0) return TRUE;
    return failWith(codeForErrno(errno));
}

}  // namespace

BOOL DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID in, DWORD inSize, LPVOID out,
                     DWORD outSize, LPDWORD returned, LPOVERLAPPED) {
    if (returned != nullptr) *returned = 0;
    const int fd = standInDescriptor(device);
    if (fd < 0) return failWith(ERROR_INVALID_HANDLE);
    switch (controlCode) {
    case IOCTL_SCSI_GET_CAPABILITIES: return answerCapabilities(fd, out, outSize, returned);
    case IOCTL_SCSI_PASS_THROUGH:
        return passThrough(fd, false, in, inSize, out, outSize, returned);
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return passThrough(fd, true, in, inSize, out, outSize, returned);
    case CDROM_EXCLUSIVE_ACCESS_CODE: return exclusiveAccess(fd, in, inSize);
    default: return failWith(ERROR_INVALID_FUNCTION);
    }
}

}  // extern "C"
