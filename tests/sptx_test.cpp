// The pass-through backend against the scriptable kernel32: the request buffer exactly as
// the storage port driver receives it, and every way the driver's answer can come back.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "fake_kernel32.h"
#include "sptx.h"

namespace {

const char* const DEVICE = "\\\\.\\E:";
const char* const IDENTIFICATION = "MATSHITADVD-RAM UJ-85J  1.00";
const uint8_t inquiry[6] = {0x12, 0, 0, 0, 0x24, 0};
const uint8_t writeChunk[12] = {0xEA, 0, 0, 0, 0, 0, 0, 0, 0x3A, 0, 0, 0};

uint32_t littleEndian32(const std::vector<uint8_t>& bytes, size_t at) {
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

bool allZero(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
    for (size_t at = from; at < to; ++at)
        if (bytes[at] != 0) return false;
    return true;
}

FakeIoAnswer goodAnswer(ULONG transferred) {
    return {TRUE, 0, true, 0x00, transferred, {}, 0};
}

class SptxTest : public ::testing::Test {
protected:
    FreshFakeKernel32 fake;
    SimDrive drive = newSimDrive(IDENTIFICATION);
    CapturedStream trace;

    Sptx* newRecord(int32_t capacity = -1) {
        Sptx* sptx = newSptx(capacity);
        sptx->trace = trace.stream();
        return sptx;
    }

    // Open, with the settings the tool makes: 14 sense bytes, 300 seconds.
    Sptx* readyRecord(int32_t capacity = -1) {
        fake->devices[DEVICE] = &drive;
        Sptx* sptx = newRecord(capacity);
        EXPECT_EQ(sptxOpen(sptx, DEVICE), 0);
        EXPECT_EQ(sptxSetSenseLength(sptx, 14), 0);
        EXPECT_EQ(sptxSetTimeout(sptx, 300, 0), 0);
        return sptx;
    }

    const std::vector<uint8_t>& lastRequest() const { return fake->requests.back().buffer; }
};

// --- The record and its settings ---------------------------------------------------------

TEST_F(SptxTest, NegativeCapacitySelectsTheDefault) {
    struct Case {
        int32_t given;
        int32_t capacity;
        int32_t directThreshold;
    } cases[] = {{-1, 16384, 16385}, {-5, 16384, 16385}, {100, 100, 101}, {0, 0, 1}};
    for (const Case& c : cases) {
        const Sptx* sptx = newSptx(c.given);
        ASSERT_NE(sptx, nullptr);
        EXPECT_EQ(sptx->capacity, c.capacity) << c.given;
        EXPECT_EQ(sptx->directThreshold, c.directThreshold) << c.given;
    }
}

// capacity + 567 is the request's length and capacity + 1 the direct threshold, both 32-bit
// signed: a capacity they do not fit is refused before anything is allocated.
TEST_F(SptxTest, CapacityWhoseRequestLengthOverflowsIsRefused) {
    for (int32_t capacity : {INT32_MAX, INT32_MAX - 1, INT32_MAX - 566})
        EXPECT_EQ(newSptx(capacity), nullptr) << capacity;

    Sptx* sptx = newRecord(100);
    sptxReserve(sptx, INT32_MAX - 566);
    EXPECT_EQ(sptx->capacity, 100);
}

TEST_F(SptxTest, TimeoutCountsAStartedSecondAndFallsBackToTwentyEightHours) {
    struct Case {
        int32_t seconds;
        int32_t nanoseconds;
        int result;
        int32_t stored;
    } cases[] = {
        {300, 0, 0, 300},
        {1, 1, 0, 2},
        {0, 999999999, 0, 1},
        {0, 0, -1, 77},  // refused: the previous time-out stays
        {-1, 0, 0, 100800},
        {5, -1, 0, 100800},
        {5, 1000000000, 0, 100800},
        {INT32_MIN, INT32_MIN, 0, 100800},
        {INT32_MAX, 0, 0, INT32_MAX},
        {INT32_MAX, 1, 0, 100800},
        {INT32_MAX - 1, 1, 0, INT32_MAX},
    };
    Sptx* sptx = newRecord();
    for (const Case& c : cases) {
        sptx->timeoutSeconds = 77;
        EXPECT_EQ(sptxSetTimeout(sptx, c.seconds, c.nanoseconds), c.result)
            << c.seconds << " s " << c.nanoseconds << " ns";
        EXPECT_EQ(sptx->timeoutSeconds, c.stored) << c.seconds << " s " << c.nanoseconds << " ns";
    }
}

TEST_F(SptxTest, SenseLengthLimitIsFrom0To255) {
    struct Case {
        int32_t length;
        int result;
        int32_t stored;
    } cases[] = {{0, 0, 0}, {14, 0, 14}, {255, 0, 255}, {256, -1, 7}, {-1, -1, 7},
                 {INT32_MIN, -1, 7}};
    Sptx* sptx = newRecord();
    for (const Case& c : cases) {
        sptx->senseLimit = 7;
        EXPECT_EQ(sptxSetSenseLength(sptx, c.length), c.result) << c.length;
        EXPECT_EQ(sptx->senseLimit, c.stored) << c.length;
    }
}

TEST_F(SptxTest, MissingRecordIsRefusedQuietly) {
    uint8_t data[36];
    EXPECT_EQ(sptxOpen(nullptr, DEVICE), -1);
    EXPECT_EQ(sptxSetSenseLength(nullptr, 14), -1);
    EXPECT_EQ(sptxSetTimeout(nullptr, 300, 0), -1);
    EXPECT_EQ(sptxSay(nullptr, inquiry, 6, data, 36, 1), -1);
    EXPECT_EQ(sptxPrepareBuffered(nullptr, inquiry, 6, data, 36, 1), -1);
    EXPECT_EQ(sptxPrepareDirect(nullptr, inquiry, 6, data, 36, 1), -1);
    sptxClose(nullptr);
    sptxReserve(nullptr, 100);
    EXPECT_TRUE(fake->createFileNames.empty());
}

// --- Open and close ----------------------------------------------------------------------

TEST_F(SptxTest, OpenAsksForReadAndWriteSharedOnAnExistingDevice) {
    Sptx* sptx = readyRecord();
    ASSERT_EQ(fake->createFileNames, std::vector<std::string>{DEVICE});
    EXPECT_EQ(fake->createFileAccess, 0xC0000000u);
    EXPECT_EQ(fake->createFileShareMode, 3u);
    EXPECT_EQ(fake->createFileCreation, 3u);
    EXPECT_EQ(fake->createFileFlags, 0u);
    EXPECT_NE(sptx->device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(trace.text(), "");
}

TEST_F(SptxTest, AdapterCapabilitiesBoundTheLargestTransfer) {
    struct Case {
        ULONG maximumTransferLength;
        ULONG maximumPhysicalPages;
        ULONG alignmentMask;
        int32_t maxTransferLength;
    } cases[] = {
        {65536, 17, 1, 65536},
        {131072, 17, 3, 65536},        // 16 pages of 4096 bytes
        {0xFFFFFFFF, 17, 0, -1},       // taken as a signed value
        {65536, 0, 1, -4096},          // (0 - 1) pages, wrapped
        {0x7FFFFFFF, 0x100001, 1, 0},  // 2^20 pages of 4096 bytes wrap to 0
    };
    fake->devices[DEVICE] = &drive;
    for (const Case& c : cases) {
        fake->capabilities = {};
        fake->capabilities.MaximumTransferLength = c.maximumTransferLength;
        fake->capabilities.MaximumPhysicalPages = c.maximumPhysicalPages;
        fake->capabilities.AlignmentMask = c.alignmentMask;
        Sptx* sptx = newRecord();
        ASSERT_EQ(sptxOpen(sptx, DEVICE), 0);
        EXPECT_EQ(sptx->maxTransferLength, c.maxTransferLength) << c.maximumTransferLength;
        EXPECT_EQ(sptx->alignmentMask, int32_t(c.alignmentMask)) << c.maximumTransferLength;
    }
}

TEST_F(SptxTest, AdapterThatDoesNotAnswerGetsSafeDefaultsSilently) {
    fake->capabilitiesFail = true;
    Sptx* sptx = readyRecord();
    EXPECT_EQ(sptx->maxTransferLength, 0);
    EXPECT_EQ(sptx->alignmentMask, 3);
    EXPECT_EQ(trace.text(), "");
}

TEST_F(SptxTest, NameThatDoesNotOpenLeavesTheRecordClosedWithOneTraceLine) {
    Sptx* sptx = readyRecord();
    EXPECT_EQ(sptxOpen(sptx, "\\\\.\\Q:"), -1);
    EXPECT_EQ(sptx->device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake->openHandles, 0);  // the device opened before is closed
    EXPECT_EQ(trace.text(),
              "// sptxOpen.CreateFile: x2 (2) The system cannot find the file specified.\r\n");
}

TEST_F(SptxTest, OpenWithoutANameKeepsTheOpenDevice) {
    Sptx* sptx = readyRecord();
    const HANDLE device = sptx->device;
    EXPECT_EQ(sptxOpen(sptx, nullptr), -1);
    EXPECT_EQ(sptx->device, device);
    EXPECT_EQ(fake->closeHandleCalls, 0);
}

TEST_F(SptxTest, ReopeningClosesTheDeviceOpenedBefore) {
    Sptx* sptx = readyRecord();
    EXPECT_EQ(sptxOpen(sptx, DEVICE), 0);
    EXPECT_EQ(fake->closeHandleCalls, 1);
    EXPECT_EQ(fake->openHandles, 1);
}

TEST_F(SptxTest, CloseOnAClosedRecordCallsNothing) {
    Sptx* sptx = newRecord();
    sptxClose(sptx);
    Sptx* opened = readyRecord();
    sptxClose(opened);
    sptxClose(opened);
    EXPECT_EQ(fake->closeHandleCalls, 1);
    EXPECT_EQ(trace.text(), "");
}

TEST_F(SptxTest, HandleThatDoesNotCloseIsTracedAndCountsAsClosed) {
    Sptx* sptx = readyRecord();
    fake->closeHandleError = ERROR_INVALID_HANDLE;
    sptxClose(sptx);
    EXPECT_EQ(sptx->device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(trace.text(), "// sptxClose.CloseHandle: x6 (6) The handle is invalid.\r\n");
}

// --- The request as the driver receives it -------------------------------------------------

TEST_F(SptxTest, BufferedRequestCarriesTheDataInsideIt) {
    Sptx* sptx = readyRecord();
    memset(sptx->request, 0xEE, 564 + 16384 + 3);  // what an earlier command left
    fake->answers.push_back(goodAnswer(10));
    uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(sptxSay(sptx, writeChunk, 12, data, 10, 2), 0);

    const FakeIoRequest& request = fake->requests.back();
    EXPECT_EQ(request.controlCode, 0x0004D004u);
    EXPECT_EQ(request.inSize, 577u);
    EXPECT_EQ(request.outSize, 577u);
    EXPECT_TRUE(request.inIsOut);
    const std::vector<uint8_t>& bytes = request.buffer;
    EXPECT_EQ(bytes[0] | bytes[1] << 8, 44);       // Length
    EXPECT_TRUE(allZero(bytes, 2, 6));               // ScsiStatus, PathId, TargetId, Lun
    EXPECT_EQ(bytes[6], 12);                         // CdbLength
    EXPECT_EQ(bytes[7], 14);                         // SenseInfoLength
    EXPECT_EQ(bytes[8], 0);                          // DataIn: data out
    EXPECT_TRUE(allZero(bytes, 9, 12));
    EXPECT_EQ(littleEndian32(bytes, 12), 10u);       // DataTransferLength
    EXPECT_EQ(littleEndian32(bytes, 16), 300u);      // TimeOutValue
    EXPECT_EQ(littleEndian32(bytes, 20), 564u);      // DataBufferOffset
    EXPECT_EQ(littleEndian32(bytes, 24), 304u);      // SenseInfoOffset
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 28, bytes.begin() + 40),
              std::vector<uint8_t>(writeChunk, writeChunk + 12));
    EXPECT_TRUE(allZero(bytes, 40, 564));            // rest of the CDB room, sense area
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 564, bytes.begin() + 574),
              std::vector<uint8_t>(data, data + 10));
}

TEST_F(SptxTest, DirectRequestPointsTheDriverAtTheCallersData) {
    Sptx* sptx = readyRecord();
    fake->answers.push_back(goodAnswer(16385));
    std::vector<uint8_t> data(16385);
    ASSERT_EQ(sptxSay(sptx, inquiry, 6, data.data(), 16385, 1), 0);

    const FakeIoRequest& request = fake->requests.back();
    EXPECT_EQ(request.controlCode, 0x0004D014u);
    EXPECT_EQ(request.inSize, 567u);
    EXPECT_EQ(request.outSize, 567u);
    EXPECT_TRUE(request.inIsOut);
    const std::vector<uint8_t>& bytes = request.buffer;
    EXPECT_EQ(bytes[0] | bytes[1] << 8, 44);
    EXPECT_EQ(bytes[6], 6);
    EXPECT_EQ(bytes[7], 14);
    EXPECT_EQ(bytes[8], 1);                          // DataIn: data in
    EXPECT_EQ(littleEndian32(bytes, 12), 16385u);
    EXPECT_EQ(littleEndian32(bytes, 16), 300u);
    EXPECT_EQ(littleEndian32(bytes, 20), uint32_t(reinterpret_cast<uintptr_t>(data.data())));
    EXPECT_EQ(littleEndian32(bytes, 24), 304u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 28, bytes.begin() + 34),
              std::vector<uint8_t>(inquiry, inquiry + 6));
    EXPECT_TRUE(allZero(bytes, 34, 567));
}

TEST_F(SptxTest, DataLengthChoosesBufferedOrDirect) {
    struct Case {
        int32_t dataLength;
        DWORD controlCode;
        DWORD length;
    } cases[] = {
        {0, IOCTL_SCSI_PASS_THROUGH, 567},
        {16384, IOCTL_SCSI_PASS_THROUGH, 16951},
        {16385, IOCTL_SCSI_PASS_THROUGH_DIRECT, 567},
        {100000, IOCTL_SCSI_PASS_THROUGH_DIRECT, 567},
    };
    Sptx* sptx = readyRecord();
    std::vector<uint8_t> data(100000);
    for (const Case& c : cases) {
        fake->answers.push_back(goodAnswer(ULONG(c.dataLength)));
        EXPECT_EQ(sptxSay(sptx, writeChunk, 12, data.data(), c.dataLength, 2), 0);
        EXPECT_EQ(fake->requests.back().controlCode, c.controlCode) << c.dataLength;
        EXPECT_EQ(fake->requests.back().inSize, c.length) << c.dataLength;
    }
}

TEST_F(SptxTest, OnlyDirectionOneReadsFromTheDrive) {
    struct Case {
        int32_t direction;
        uint8_t dataIn;
    } cases[] = {{1, 1}, {2, 0}, {0, 0}, {3, 0}, {-1, 0}};
    Sptx* sptx = readyRecord();
    uint8_t data[8] = {};
    for (const Case& c : cases) {
        fake->answers.push_back(goodAnswer(8));
        sptxSay(sptx, writeChunk, 12, data, 8, c.direction);
        EXPECT_EQ(lastRequest()[8], c.dataIn) << c.direction;
    }
}

TEST_F(SptxTest, CdbOfAnyLengthUpTo255RunsOnBehindTheRecord) {
    struct Case {
        int32_t length;
        bool withCdb;
    } cases[] = {{0, false}, {0, true}, {6, true}, {16, true}, {17, true}, {255, true}};
    std::vector<uint8_t> cdb(255);
    for (size_t i = 0; i < cdb.size(); ++i) cdb[i] = uint8_t(i + 1);
    Sptx* sptx = readyRecord();
    for (const Case& c : cases) {
        fake->answers.push_back(goodAnswer(0));
        ASSERT_EQ(sptxSay(sptx, c.withCdb ? cdb.data() : nullptr, c.length, nullptr, 0, 2), 0);
        const std::vector<uint8_t>& bytes = lastRequest();
        EXPECT_EQ(bytes[6], c.length);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 28, bytes.begin() + 28 + c.length),
                  std::vector<uint8_t>(cdb.begin(), cdb.begin() + c.length));
        EXPECT_TRUE(allZero(bytes, 28 + size_t(c.length), 564)) << c.length;
    }
}

// --- Commands refused before they reach the driver -----------------------------------------

TEST_F(SptxTest, ArgumentsTheDriverMustNeverSeeAreRefusedQuietly) {
    struct Case {
        const char* what;
        bool withCdb;
        int32_t cdbLength;
        bool withData;
        int32_t dataLength;
    } cases[] = {
        {"CDB length without a CDB", false, 6, true, 8},
        {"negative CDB length", true, -1, true, 8},
        {"CDB of 256 bytes", true, 256, true, 8},
        {"data length without data", true, 6, false, 8},
        {"direct data length without data", true, 6, false, 16385},
        // A negative length would reach the copies into and out of the request buffer.
        {"negative data length", true, 6, true, -1},
        {"most negative data length", true, 6, true, INT32_MIN},
    };
    std::vector<uint8_t> cdb(256, 0x12);
    uint8_t data[8] = {};
    Sptx* sptx = readyRecord();
    for (const Case& c : cases) {
        EXPECT_EQ(sptxSay(sptx, c.withCdb ? cdb.data() : nullptr, c.cdbLength,
                          c.withData ? data : nullptr, c.dataLength, 1),
                  -1)
            << c.what;
        EXPECT_EQ(sptx->lastResult, -1) << c.what;
    }
    EXPECT_TRUE(fake->requests.empty());
    EXPECT_EQ(trace.text(), "");
}

TEST_F(SptxTest, RecordWithoutBothSettingsRefusesEveryCommand) {
    fake->devices[DEVICE] = &drive;
    uint8_t data[41] = {};
    Sptx* sptx = newRecord();
    ASSERT_EQ(sptxOpen(sptx, DEVICE), 0);
    EXPECT_EQ(sptxSay(sptx, inquiry, 6, data, 41, 1), -1);
    sptxSetSenseLength(sptx, 14);
    EXPECT_EQ(sptxSay(sptx, inquiry, 6, data, 41, 1), -1);
    sptx->senseLimit = -1;
    sptxSetTimeout(sptx, 300, 0);
    EXPECT_EQ(sptxSay(sptx, inquiry, 6, data, 41, 1), -1);
    EXPECT_TRUE(fake->requests.empty());
    EXPECT_EQ(trace.text(), "");
}

TEST_F(SptxTest, ClosedRecordRefusesAndKeepsTheLastCommandsResults) {
    Sptx* sptx = readyRecord();
    uint8_t data[41] = {};
    ASSERT_EQ(sptxSay(sptx, inquiry, 6, data, 41, 1), 5);
    sptxClose(sptx);
    EXPECT_EQ(sptxSay(sptx, inquiry, 6, data, 41, 1), -1);
    EXPECT_EQ(sptx->lastResult, 5);
    EXPECT_EQ(sptx->lastTransferLength, 36);
    EXPECT_EQ(fake->requests.size(), 1u);
}

// --- The driver's answer ---------------------------------------------------------------------

TEST_F(SptxTest, EveryOutcomeOfACommand) {
    const std::vector<uint8_t> sense14(14, 0x71), sense18(18, 0x72);
    const char* const refusedLine = "(ioctl status length senseLength)\n";
    struct Case {
        const char* what;
        FakeIoAnswer answer;
        int32_t result;
        int32_t transferLength;
        int32_t senseLength;  // -1: no sense kept
        std::string trace;
    } cases[] = {
        {"all transferred", goodAnswer(36), 0, 36, -1, ""},
        {"residue", goodAnswer(31), 5, 31, -1, ""},
        {"nothing transferred", goodAnswer(0), 36, 0, -1, ""},
        {"condition met, all transferred", {TRUE, 0, true, 0x04, 36, {}, 0}, 0, 36, -1, ""},
        {"busy: not done, whatever was counted", {TRUE, 0, true, 0x08, 36, {}, 0}, -1, 36, -1,
         std::string("// sptxSay x 1 8 24 0 ") + refusedLine},
        {"reservation conflict", {TRUE, 0, true, 0x18, 36, {}, 0}, -1, 36, -1,
         std::string("// sptxSay x 1 18 24 0 ") + refusedLine},
        {"more transferred than asked", goodAnswer(40), -1, -1, -1,
         std::string("// sptxSay x 1 0 28 0 ") + refusedLine},
        {"negative count", goodAnswer(0xFFFFFFFF), -1, -1, -1,
         std::string("// sptxSay x 1 0 FFFFFFFF 0 ") + refusedLine},
        {"check condition, all transferred", {TRUE, 0, true, 0x02, 36, sense14, 14}, -2, 36, 14,
         ""},
        {"check condition, residue", {TRUE, 0, true, 0x02, 31, sense14, 14}, -258, 31, 14, ""},
        {"check condition, count unusable", {TRUE, 0, true, 0x02, 40, sense14, 14}, -3, -1, 14,
         ""},
        {"check condition without sense", {TRUE, 0, true, 0x02, 36, {}, 0}, -2, 36, 0, ""},
        {"check condition, sense above the limit", {TRUE, 0, true, 0x02, 36, sense18, 18}, -1,
         36, -1, std::string("// sptxSay x 1 2 24 12 ") + refusedLine},
        {"call fails", {FALSE, ERROR_GEN_FAILURE, false, 0, 0, {}, 0}, -1, -1, -1,
         std::string("// sptxSay.DeviceIoControl: x1F (31) A device attached to the system "
                     "is not functioning.\r\n// sptxSay x 0 0 24 E ") +
             refusedLine},
    };
    for (const Case& c : cases) {
        CapturedStream caseTrace;
        Sptx* sptx = readyRecord();
        sptx->trace = caseTrace.stream();
        fake->answers.push_back(c.answer);
        uint8_t data[36] = {};
        EXPECT_EQ(sptxSay(sptx, inquiry, 6, data, 36, 1), c.result) << c.what;
        EXPECT_EQ(sptx->lastResult, c.result) << c.what;
        EXPECT_EQ(sptx->lastTransferLength, c.transferLength) << c.what;
        EXPECT_EQ(sptx->senseLength, c.senseLength) << c.what;
        if (c.senseLength < 0) {
            EXPECT_EQ(sptx->sense, nullptr) << c.what;
        } else {
            EXPECT_EQ(sptx->sense, sptx->request + 304) << c.what;
            EXPECT_EQ(std::vector<uint8_t>(sptx->sense, sptx->sense + c.senseLength),
                      std::vector<uint8_t>(c.answer.sense.begin(),
                                           c.answer.sense.begin() + c.senseLength))
                << c.what;
        }
        EXPECT_EQ(caseTrace.text(), c.trace) << c.what;
    }
}

TEST_F(SptxTest, BufferedDataInKeepsTheBytesTheDriveDidNotSend) {
    Sptx* sptx = readyRecord();
    uint8_t data[41];
    memset(data, 0xAA, sizeof data);
    ASSERT_EQ(sptxSay(sptx, inquiry, 6, data, 41, 1), 5);
    EXPECT_EQ(sptx->lastTransferLength, 36);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 28), IDENTIFICATION);
    EXPECT_EQ(std::vector<uint8_t>(data + 36, data + 41), std::vector<uint8_t>(5, 0xAA));
}

TEST_F(SptxTest, EachCommandForgetsTheSenseOfTheOneBefore) {
    Sptx* sptx = readyRecord();
    fake->answers.push_back({TRUE, 0, true, 0x02, 36, std::vector<uint8_t>(14, 0x70), 14});
    fake->answers.push_back(goodAnswer(36));
    uint8_t data[36] = {};
    ASSERT_EQ(sptxSay(sptx, inquiry, 6, data, 36, 1), -2);
    ASSERT_EQ(sptxSay(sptx, inquiry, 6, data, 36, 1), 0);
    EXPECT_EQ(sptx->sense, nullptr);
    EXPECT_EQ(sptx->senseLength, -1);
}

// --- The request buffer's data area ------------------------------------------------------------

TEST_F(SptxTest, ReserveGrowsTheDataAreaKeepingWhatWasThere) {
    Sptx* sptx = newRecord(100);
    memset(sptx->request, 0x5A, 667);
    sptxReserve(sptx, 200);
    ASSERT_EQ(sptx->capacity, 200);
    EXPECT_EQ(sptx->directThreshold, 101);
    const std::vector<uint8_t> bytes(sptx->request, sptx->request + 767);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 664),
              std::vector<uint8_t>(664, 0x5A));
    EXPECT_TRUE(allZero(bytes, 664, 764));

    const uint8_t* const grown = sptx->request;
    for (int32_t length : {200, 150, 0, -1, INT32_MIN}) {
        sptxReserve(sptx, length);
        EXPECT_EQ(sptx->request, grown) << length;
        EXPECT_EQ(sptx->capacity, 200) << length;
    }
}

// A record without a data area has a request buffer of 567 bytes; preparing a command must
// stay within it.
TEST_F(SptxTest, RecordWithoutADataAreaStaysWithinItsRequestBuffer) {
    Sptx* sptx = readyRecord(0);
    uint8_t* guarded = static_cast<uint8_t*>(malloc(568));
    guarded[567] = 0xC5;  // the first byte behind the buffer
    free(sptx->request);
    sptx->request = guarded;
    uint8_t data[41] = {};
    fake->answers.push_back(goodAnswer(0));
    EXPECT_EQ(sptxSay(sptx, writeChunk, 12, nullptr, 0, 2), 0);
    EXPECT_EQ(fake->requests.back().inSize, 567u);
    EXPECT_EQ(sptxSay(sptx, inquiry, 6, data, 41, 1), 5);
    EXPECT_EQ(fake->requests.back().controlCode, 0x0004D014u);
    EXPECT_EQ(guarded[567], 0xC5);
}

}  // namespace
