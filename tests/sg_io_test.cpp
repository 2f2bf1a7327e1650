// The pass-through backend on Linux: its requests carried by SG_IO through the stand-in,
// against a scripted kernel. What the kernel receives for each kind of command, and for each
// thing the kernel can report, the SayResult and the trace the backend then produces.
#include <errno.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "fake_linux_device.h"
#include "kernel32.h"
#include "scsi.h"
#include "sptx.h"

namespace {

// Any node that opens will do: the scripted kernel answers whatever is asked of it.
const char* const NODE = "/dev/null";
const uint8_t inquiry[6] = {0x12, 0, 0, 0, 0x24, 0};
const uint8_t writeChunk[12] = {0xEA, 0, 0, 0, 0, 0, 0, 0x80, 0x30, 0, 0, 0};
const int32_t INQUIRY_LENGTH = 41;
const int32_t CHUNK_LENGTH = 32816;  // 32 KiB of payload behind the 48-byte header
const size_t DATA_AREA = 564;        // where the backend's request buffer holds buffered data
const size_t SENSE_AREA = 304;

std::vector<uint8_t> bytes(size_t count, uint8_t first) {
    std::vector<uint8_t> result(count);
    for (size_t i = 0; i < count; ++i) result[i] = uint8_t(first + i);
    return result;
}

class SgIoTest : public ::testing::Test {
protected:
    FreshFakeLinuxDevice kernel;
    CapturedStream trace;

    // Open, with the settings the tool makes: 14 sense bytes, 300 seconds.
    Sptx* openRecord() {
        Sptx* sptx = newSptx(-1);
        sptx->trace = trace.stream();
        EXPECT_EQ(sptxOpen(sptx, NODE), 0);
        EXPECT_EQ(sptxSetSenseLength(sptx, 14), 0);
        EXPECT_EQ(sptxSetTimeout(sptx, 300, 0), 0);
        return sptx;
    }

    int32_t sayInquiry(Sptx* sptx, uint8_t* data) {
        return sptxSay(sptx, inquiry, 6, data, INQUIRY_LENGTH, DATA_IN);
    }
};

TEST_F(SgIoTest, EachCommandIsOneSgIoCallWithTheRecordsFields) {
    struct Case {
        const char* title;
        int32_t dataLength;
        int32_t direction;
        int expectedDirection;
        bool direct;  // the kernel moves the caller's own buffer
    } cases[] = {
        {"41 bytes in, through the request buffer", INQUIRY_LENGTH, DATA_IN,
         SG_DXFER_FROM_DEV, false},
        {"16384 bytes out, through the request buffer", 16384, DATA_OUT, SG_DXFER_TO_DEV, false},
        {"a chunk of 32816 bytes out, direct", CHUNK_LENGTH, DATA_OUT, SG_DXFER_TO_DEV, true},
        {"no data moves neither way", 0, DATA_OUT, SG_DXFER_NONE, false},
    };
    for (const Case& c : cases) {
        FreshFakeLinuxDevice fresh;
        Sptx* sptx = openRecord();
        std::vector<uint8_t> data = bytes(size_t(c.dataLength) + 1, 0x40);
        EXPECT_EQ(sptxSay(sptx, writeChunk, 12, data.data(), c.dataLength, c.direction), 0)
            << c.title;
        ASSERT_EQ(fakeLinuxDevice().calls.size(), 1u) << c.title;
        const FakeSgCall& call = fakeLinuxDevice().calls[0];
        const sg_io_hdr_t& io = call.header;
        EXPECT_EQ(io.interface_id, 'S') << c.title;
        EXPECT_EQ(io.dxfer_direction, c.expectedDirection) << c.title;
        EXPECT_EQ(call.cdb, std::vector<uint8_t>(writeChunk, writeChunk + 12)) << c.title;
        EXPECT_EQ(io.dxfer_len, unsigned(c.dataLength)) << c.title;
        EXPECT_EQ(io.timeout, 300000u) << c.title;
        EXPECT_EQ(io.mx_sb_len, 14) << c.title;
        EXPECT_EQ(io.sbp, sptx->request + SENSE_AREA) << c.title;
        const void* expectedData = c.dataLength == 0 ? nullptr
                                   : c.direct        ? data.data()
                                                     : sptx->request + DATA_AREA;
        EXPECT_EQ(io.dxferp, expectedData) << c.title;
        if (c.direction == DATA_OUT) {
            EXPECT_EQ(call.dataOut, std::vector<uint8_t>(data.begin(), data.end() - 1))
                << c.title;
        }
        EXPECT_EQ(trace.text(), "") << c.title;
    }
}

TEST_F(SgIoTest, DataInComesBackToTheCallerWithTheResidue) {
    Sptx* sptx = openRecord();
    kernel->answers.push_back({0, 0x00, 0, 0, 5, {}, bytes(36, 'A')});
    std::vector<uint8_t> data(INQUIRY_LENGTH, 0xEE);
    EXPECT_EQ(sayInquiry(sptx, data.data()), 5);
    EXPECT_EQ(sptx->lastTransferLength, 36);
    EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 36), bytes(36, 'A'));
}

// What the kernel reports of a completed command, or of one it could not complete.
TEST_F(SgIoTest, KernelAnswersBecomeSayResultsAndTraces) {
    const std::vector<uint8_t> shortSense = {0x70, 0, 0x05, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> longSense = bytes(18, 0x70);
    const int32_t FAILED = SAY_REFUSED;
    struct Case {
        const char* title;
        FakeSgAnswer answer;
        bool chunk;  // the write chunk; else the INQUIRY
        int32_t result;
        std::string failure;  // the sayLastError line's code and text, if any
        const char* values;   // the "// sptxSay x" line's values, if any
        int32_t senseLength;
    } cases[] = {
        {"all moved", {}, false, 0, "", nullptr, -1},
        {"CHECK CONDITION, 8 sense bytes", {0, 0x02, 0, 0x08, 0, shortSense, {}}, false,
         SAY_CHECK_CONDITION, "", nullptr, 8},
        {"CHECK CONDITION, 18 sense bytes cut to the limit", {0, 0x02, 0, 0x08, 0, longSense, {}},
         false, SAY_CHECK_CONDITION, "", nullptr, 14},
        {"CHECK CONDITION on a chunk that did not go out",
         {0, 0x02, 0, 0x08, CHUNK_LENGTH, longSense, {}}, true, SAY_CHECK_CONDITION_RESIDUE, "",
         nullptr, 14},
        {"BUSY: the drive did not do it", {0, 0x08, 0, 0, 0, {}, {}}, false, FAILED, "",
         "1 8 29 0", -1},
        {"residue beyond the request", {0, 0x00, 0, 0, -1, {}, {}}, false, FAILED, "",
         "1 0 2A 0", -1},
        // The adapter or the transport could not complete the command.
        {"no connection", {0, 0, 0x01, 0, 0, {}, {}}, false, FAILED,
         "x37 (55) The specified network resource or device is no longer available.", "0 0 29 0",
         -1},
        {"bus busy", {0, 0, 0x02, 0, 0, {}, {}}, false, FAILED,
         "xAA (170) The requested resource is in use.", "0 0 29 0", -1},
        {"time-out, partly moved", {0, 0, 0x03, 0, 9, {}, {}}, false, FAILED,
         "x79 (121) The semaphore timeout period has expired.", "0 0 20 0", -1},
        {"bad target", {0, 0, 0x04, 0, 0, {}, {}}, false, FAILED,
         "x37 (55) The specified network resource or device is no longer available.", "0 0 29 0",
         -1},
        {"aborted", {0, 0, 0x05, 0, 0, {}, {}}, false, FAILED,
         "x3E3 (995) The I/O operation has been aborted because of either a thread exit or an "
         "application request.",
         "0 0 29 0", -1},
        {"parity", {0, 0, 0x06, 0, 0, {}, {}}, false, FAILED,
         "x17 (23) Data error (cyclic redundancy check).", "0 0 29 0", -1},
        {"adapter error", {0, 0, 0x07, 0, 0, {}, {}}, false, FAILED,
         "x45D (1117) The request could not be performed because of an I/O device error.",
         "0 0 29 0", -1},
        {"bus reset", {0, 0, 0x08, 0, 0, {}, {}}, false, FAILED,
         "x457 (1111) The I/O bus was reset.", "0 0 29 0", -1},
        {"soft error, to be tried again", {0, 0, 0x0B, 0, 0, {}, {}}, false, FAILED,
         "xAA (170) The requested resource is in use.", "0 0 29 0", -1},
        {"transport disrupted", {0, 0, 0x0E, 0, 0, {}, {}}, false, FAILED,
         "x15 (21) The device is not ready.", "0 0 29 0", -1},
        {"transport gone", {0, 0, 0x0F, 0, 0, {}, {}}, false, FAILED,
         "x37 (55) The specified network resource or device is no longer available.", "0 0 29 0",
         -1},
        {"out of memory in the adapter", {0, 0, 0x12, 0, 0, {}, {}}, false, FAILED,
         "x8 (8) Not enough memory resources are available to process this command.",
         "0 0 29 0", -1},
        {"host status the table does not name", {0, 0, 0x13, 0, 0, {}, {}}, false, FAILED,
         "x45D (1117) The request could not be performed because of an I/O device error.",
         "0 0 29 0", -1},
        // The midlayer's word, after a host status of DID_OK.
        {"driver time-out", {0, 0, 0, 0x06, 0, {}, {}}, false, FAILED,
         "x79 (121) The semaphore timeout period has expired.", "0 0 29 0", -1},
        {"driver busy", {0, 0, 0, 0x01, 0, {}, {}}, false, FAILED,
         "xAA (170) The requested resource is in use.", "0 0 29 0", -1},
        {"driver hard error, with sense", {0, 0x02, 0, 0x27, 0, shortSense, {}}, false, FAILED,
         "x45D (1117) The request could not be performed because of an I/O device error.",
         "0 2 29 8", -1},
        // The kernel refused the call itself: the record comes back as it went.
        {"not a SCSI node", {ENOTTY, 0, 0, 0, 0, {}, {}}, false, FAILED,
         "x1 (1) Incorrect function.", "0 0 29 E", -1},
        {"an emulator without SG_IO", {ENOSYS, 0, 0, 0, 0, {}, {}}, false, FAILED,
         "x1 (1) Incorrect function.", "0 0 29 E", -1},
        {"an operation the node does not support", {EOPNOTSUPP, 0, 0, 0, 0, {}, {}}, false,
         FAILED, "x1 (1) Incorrect function.", "0 0 29 E", -1},
        {"a CDB length the kernel does not take", {EMSGSIZE, 0, 0, 0, 0, {}, {}}, false, FAILED,
         "x57 (87) The parameter is incorrect.", "0 0 29 E", -1},
        {"the node's permissions refuse", {EACCES, 0, 0, 0, 0, {}, {}}, true, FAILED,
         "x5 (5) Access is denied.", "0 0 8030 E", -1},
        {"a command the kernel keeps for privileged processes", {EPERM, 0, 0, 0, 0, {}, {}},
         true, FAILED, "x5 (5) Access is denied.", "0 0 8030 E", -1},
        {"a request the kernel cannot carry", {EINVAL, 0, 0, 0, 0, {}, {}}, true, FAILED,
         "x57 (87) The parameter is incorrect.", "0 0 8030 E", -1},
        {"a block node's queue refuses the length", {EIO, 0, 0, 0, 0, {}, {}}, true, FAILED,
         "x45D (1117) The request could not be performed because of an I/O device error.",
         "0 0 8030 E", -1},
        {"kernel out of memory", {ENOMEM, 0, 0, 0, 0, {}, {}}, false, FAILED,
         "x8 (8) Not enough memory resources are available to process this command.",
         "0 0 29 E", -1},
        {"drive unplugged", {ENODEV, 0, 0, 0, 0, {}, {}}, false, FAILED,
         "x37 (55) The specified network resource or device is no longer available.", "0 0 29 E",
         -1},
        {"no device at the node's address", {ENXIO, 0, 0, 0, 0, {}, {}}, false, FAILED,
         "x37 (55) The specified network resource or device is no longer available.", "0 0 29 E",
         -1},
        {"the kernel's wait timed out", {ETIMEDOUT, 0, 0, 0, 0, {}, {}}, false, FAILED,
         "x79 (121) The semaphore timeout period has expired.", "0 0 29 E", -1},
        {"the device is busy", {EBUSY, 0, 0, 0, 0, {}, {}}, false, FAILED,
         "xAA (170) The requested resource is in use.", "0 0 29 E", -1},
        {"the kernel asks to try again", {EAGAIN, 0, 0, 0, 0, {}, {}}, false, FAILED,
         "xAA (170) The requested resource is in use.", "0 0 29 E", -1},
        {"a signal ended the wait", {EINTR, 0, 0, 0, 0, {}, {}}, false, FAILED,
         "x3E3 (995) The I/O operation has been aborted because of either a thread exit or an "
         "application request.",
         "0 0 29 E", -1},
        {"too many commands queued", {EDOM, 0, 0, 0, 0, {}, {}}, false, FAILED,
         "xAA (170) The requested resource is in use.", "0 0 29 E", -1},
        {"a bad address", {EFAULT, 0, 0, 0, 0, {}, {}}, false, FAILED,
         "x3E6 (998) Invalid access to memory location.", "0 0 29 E", -1},
        {"errno the table does not name", {E2BIG, 0, 0, 0, 0, {}, {}}, false, FAILED,
         "x1F (31) A device attached to the system is not functioning.", "0 0 29 E", -1},
    };
    for (const Case& c : cases) {
        FreshFakeLinuxDevice fresh;
        CapturedStream caseTrace;
        Sptx* sptx = openRecord();
        sptx->trace = caseTrace.stream();
        fakeLinuxDevice().answers.push_back(c.answer);
        std::vector<uint8_t> data(CHUNK_LENGTH);
        const int32_t result = c.chunk ? sptxSay(sptx, writeChunk, 12, data.data(), CHUNK_LENGTH,
                                                 DATA_OUT)
                                       : sayInquiry(sptx, data.data());
        EXPECT_EQ(result, c.result) << c.title;
        std::string expected;
        if (!c.failure.empty()) expected = "// sptxSay.DeviceIoControl: " + c.failure + "\n";
        if (c.values != nullptr)
            expected += std::string("// sptxSay x ") + c.values +
                        " (ioctl status length senseLength)\n";
        EXPECT_EQ(caseTrace.text(), expected) << c.title;
        EXPECT_EQ(sptx->senseLength, c.senseLength) << c.title;
        EXPECT_EQ(fakeLinuxDevice().calls.size(), 1u) << c.title;
    }
}

// A transfer the kernel cannot carry, or a node that takes no SG_IO, never reaches the
// kernel's SG_IO: an update is refused at its first chunk with nothing sent. A transfer of
// exactly the kernel's limit goes.
TEST_F(SgIoTest, KernelsLimitIsJudgedBeforeTheKernelSeesTheCommand) {
    const std::string tooLarge =
        "// sptxSay.DeviceIoControl: x57 (87) The parameter is incorrect.\n"
        "// sptxSay x 0 0 8030 E (ioctl status length senseLength)\n";
    struct Case {
        const char* title;
        int reservedSizeError;
        int reservedSize;
        int64_t queueLimit;  // -1: unreadable, the reserved size is the limit
        int32_t dataLength;
        int32_t result;
        std::string trace;
    } cases[] = {
        {"a chunk of exactly the queue's limit", 0, 16384, CHUNK_LENGTH, CHUNK_LENGTH, 0, ""},
        {"a chunk one byte beyond the queue's limit", 0, 32768, CHUNK_LENGTH - 1, CHUNK_LENGTH,
         SAY_REFUSED, tooLarge},
        {"a chunk of exactly the reserved size, the queue unreadable", 0, CHUNK_LENGTH, -1,
         CHUNK_LENGTH, 0, ""},
        {"a chunk beyond the reserved size, the queue unreadable", 0, 32768, -1, CHUNK_LENGTH,
         SAY_REFUSED, tooLarge},
        {"a node that takes no SG_IO", ENOTTY, 0, -1, INQUIRY_LENGTH, SAY_REFUSED,
         "// sptxSay.DeviceIoControl: x1 (1) Incorrect function.\n"
         "// sptxSay x 0 0 29 E (ioctl status length senseLength)\n"},
    };
    for (const Case& c : cases) {
        FreshFakeLinuxDevice fresh;
        fakeLinuxDevice().reservedSizeError = c.reservedSizeError;
        fakeLinuxDevice().reservedSize = c.reservedSize;
        fakeLinuxDevice().queueLimit = c.queueLimit;
        CapturedStream caseTrace;
        Sptx* sptx = openRecord();
        sptx->trace = caseTrace.stream();
        std::vector<uint8_t> data(CHUNK_LENGTH);
        EXPECT_EQ(sptxSay(sptx, writeChunk, 12, data.data(), c.dataLength, DATA_OUT), c.result)
            << c.title;
        EXPECT_EQ(caseTrace.text(), c.trace) << c.title;
        EXPECT_EQ(fakeLinuxDevice().calls.size(), c.result == 0 ? 1u : 0u) << c.title;
    }
}

TEST_F(SgIoTest, CapabilitiesAreTheKernelsLimit) {
    struct Case {
        const char* title;
        int reservedSizeError;
        int reservedSize;
        int64_t queueLimit;
        int32_t maxTransferLength;  // as the backend keeps it; 0 when the question failed
    } cases[] = {
        {"sg node: the queue's limit, beyond the reserved buffer", 0, 32768, 1280 * 1024,
         1280 * 1024},
        {"sg node, queue unreadable: the reserved buffer", 0, 32768, -1, 32768},
        {"block node: its reserved size is the queue's limit", 0, 65536, 65536, 65536},
        {"no SCSI node", ENOTTY, 0, -1, 0},
    };
    for (const Case& c : cases) {
        FreshFakeLinuxDevice fresh;
        fakeLinuxDevice().reservedSizeError = c.reservedSizeError;
        fakeLinuxDevice().reservedSize = c.reservedSize;
        fakeLinuxDevice().queueLimit = c.queueLimit;
        Sptx* sptx = openRecord();
        EXPECT_EQ(sptx->maxTransferLength, c.maxTransferLength) << c.title;
        EXPECT_EQ(sptx->alignmentMask, c.reservedSizeError == 0 ? 0 : 3) << c.title;
        sptxClose(sptx);
    }
    EXPECT_EQ(trace.text(), "");
}

TEST_F(SgIoTest, TimeOutInMillisecondsAtMostWhatSgIoHolds) {
    struct Case {
        int32_t seconds;
        unsigned milliseconds;
    } cases[] = {{1, 1000}, {300, 300000}, {100800, 100800000}, {INT32_MAX, UINT_MAX}};
    for (const Case& c : cases) {
        FreshFakeLinuxDevice fresh;
        Sptx* sptx = openRecord();
        sptxSetTimeout(sptx, c.seconds, 0);
        uint8_t data[INQUIRY_LENGTH] = {};
        sayInquiry(sptx, data);
        ASSERT_EQ(fakeLinuxDevice().calls.size(), 1u);
        EXPECT_EQ(fakeLinuxDevice().calls[0].header.timeout, c.milliseconds) << c.seconds;
    }
}

// The drive for kelvo alone: the node opened again exclusively, and as before once released;
// a node the kernel keeps busy (a mounted disc, another exclusive opener) is held by nobody
// that the kernel names, and any other refusal leaves the update to go on as before.
TEST_F(SgIoTest, ExclusiveAccessIsTheNodeOpenedExclusively) {
    struct Case {
        const char* what;
        int reopenError;
        ScsiExclusive expected;
        std::vector<bool> reopens;  // exclusive or not, in order
    } cases[] = {
        {"granted, then released", 0, SCSI_EXCLUSIVE_TAKEN, {true, false}},
        {"busy", EBUSY, SCSI_EXCLUSIVE_HELD, {true}},
        {"refused otherwise", EPERM, SCSI_EXCLUSIVE_NOT_OFFERED, {true}},
    };
    for (const Case& c : cases) {
        FreshFakeLinuxDevice fresh;
        fresh->reopenError = c.reopenError;
        Sptx* sptx = openRecord();
        char holder[SCSI_EXCLUSIVE_HOLDER_SIZE] = "x";
        EXPECT_EQ(sptxLockExclusive(sptx, "kelvo", holder, sizeof holder), c.expected) << c.what;
        EXPECT_STREQ(holder, "") << c.what;
        if (c.expected == SCSI_EXCLUSIVE_TAKEN) sptxUnlockExclusive(sptx);
        EXPECT_EQ(fresh->reopens, c.reopens) << c.what;
        EXPECT_EQ(trace.text(), "") << c.what;
        sptxClose(sptx);
    }
}

// Requests that the backend never makes are refused before the kernel sees them, rather
// than carried half right.
TEST_F(SgIoTest, MalformedRequestsAreRefused) {
    HANDLE device = CreateFileA(NODE, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    struct Case {
        const char* title;
        DWORD controlCode;
        USHORT length;
        UCHAR dataIn;
        ULONG dataOffset;
        bool separateOutput;
        DWORD error;
    } cases[] = {
        {"input and output apart", IOCTL_SCSI_PASS_THROUGH, sizeof(SCSI_PASS_THROUGH),
         SCSI_IOCTL_DATA_IN, 100, true, ERROR_INVALID_PARAMETER},
        {"a record of another length", IOCTL_SCSI_PASS_THROUGH, 44 + 8, SCSI_IOCTL_DATA_IN, 100,
         false, ERROR_INVALID_PARAMETER},
        {"buffered data beyond the buffer", IOCTL_SCSI_PASS_THROUGH, sizeof(SCSI_PASS_THROUGH),
         SCSI_IOCTL_DATA_IN, 190, false, ERROR_INVALID_PARAMETER},
        {"data in no stated direction", IOCTL_SCSI_PASS_THROUGH, sizeof(SCSI_PASS_THROUGH),
         SCSI_IOCTL_DATA_UNSPECIFIED, 100, false, ERROR_INVALID_PARAMETER},
        {"a control code it does not know", 0x2D1400, sizeof(SCSI_PASS_THROUGH),
         SCSI_IOCTL_DATA_IN, 100, false, ERROR_INVALID_FUNCTION},
    };
    for (const Case& c : cases) {
        fakeLinuxDevice().calls.clear();
        std::vector<uint8_t> request(200), output(200);
        SCSI_PASS_THROUGH* record = reinterpret_cast<SCSI_PASS_THROUGH*>(request.data());
        record->Length = c.length;
        record->CdbLength = 6;
        memcpy(record->Cdb, inquiry, 6);
        record->DataIn = c.dataIn;
        record->DataTransferLength = 20;
        record->DataBufferOffset = c.dataOffset;
        record->TimeOutValue = 1;
        DWORD returned = 1;
        void* out = c.separateOutput ? output.data() : request.data();
        EXPECT_FALSE(DeviceIoControl(device, c.controlCode, request.data(), 200, out, 200,
                                     &returned, nullptr))
            << c.title;
        EXPECT_EQ(GetLastError(), c.error) << c.title;
        EXPECT_EQ(returned, 0u) << c.title;
        EXPECT_TRUE(fakeLinuxDevice().calls.empty()) << c.title;
    }
    CloseHandle(device);
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, nullptr, 0,
                                 nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
