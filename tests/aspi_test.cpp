#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "aspi.h"
#include "capture.h"
#include "fake_kernel32.h"
#include "scsi.h"

namespace {

const char* const LIBRARY = "WNASPI32.DLL";
const uint8_t INQUIRY[6] = {0x12, 0, 0, 0, 0x24, 0};
const int32_t INQUIRY_LENGTH = 41;

const uint8_t SS_COMP = aspiBlock::SS_COMP;
const uint8_t SS_ERR = aspiBlock::SS_ERR;
const uint8_t SS_INVALID_SRB = aspiBlock::SS_INVALID_SRB;
const uint8_t SEL_TO = aspiBlock::HASTAT_SEL_TO;
const uint8_t DO_DU = aspiBlock::HASTAT_DO_DU;
const uint8_t CHECK_CONDITION = 2;

struct FreeRecord {
    void operator()(Aspi* aspi) const { free(aspi); }
};
typedef std::unique_ptr<Aspi, FreeRecord> Record;

Record newRecord(FILE* trace) {
    Record aspi(newAspi());
    aspi->trace = trace;
    return aspi;
}

// A record opened at `address` on an adapter with or without residual reporting, with the
// tool's settings: 14 sense bytes, 300 seconds.
Record openedRecord(FILE* trace, bool residualReporting, const char* address = "0.1.0") {
    fakeKernel32().aspi.haUnique[2] = residualReporting ? 1 : 0;
    Record aspi = newRecord(trace);
    EXPECT_EQ(aspiOpen(aspi.get(), address), 0);
    EXPECT_EQ(aspiSetSenseLength(aspi.get(), 14), 0);
    EXPECT_EQ(aspiSetTimeout(aspi.get(), 300, 0), 0);
    fakeKernel32().aspi.inquiredAdapters.clear();
    return aspi;
}

FakeAspiAnswer answer(FakeCompletion completion, DWORD returned, uint8_t status, uint8_t haStat,
                      uint8_t targStat, uint32_t bufLen, uint8_t senseLen) {
    std::vector<uint8_t> sense(senseLen);
    for (size_t i = 0; i < sense.size(); ++i) sense[i] = uint8_t(0x70 + i);
    return {completion, returned, {status, haStat, targStat, bufLen, sense, senseLen}};
}

FakeAspiAnswer completedAtOnce(uint8_t status, uint8_t haStat, uint8_t targStat, uint32_t bufLen,
                               uint8_t senseLen = 0) {
    return answer(FAKE_COMPLETES_AT_ONCE, status, status, haStat, targStat, bufLen, senseLen);
}

std::string aspiSayLine(const std::string& values) {
    return "// aspiSay: x " + values + " (aspi status BufLen SenseLen)\n";
}

// Every fake answer starts from a library where WNASPI32.DLL loads.
class AspiBackend : public testing::Test {
protected:
    void SetUp() override { fake->libraries[LIBRARY] = fakeAspiLibrary(); }

    FreshFakeKernel32 fake;
};

TEST_F(AspiBackend, OnlyThreeNumbersFrom0To255OpenAsAnAddress) {
    struct Case {
        const char* name;
        int opened;
        int32_t hostAdapter, target, lun;
    } cases[] = {
        {"0.1.0", 0, 0, 1, 0},
        {"2.0.5", 0, 2, 0, 5},
        {"255.255.255", 0, 255, 255, 255},
        {" 1.+2. 3", 0, 1, 2, 3},  // "%d" allows blanks and a sign before a number
        {"0.1.0x", -1, 0, 0, -1},
        {"0.1", -1, 0, 0, -1},
        {"E:", -1, 0, 0, -1},
        {"\\\\.\\E:", -1, 0, 0, -1},
        {"0.1.0 ", -1, 0, 0, -1},
        {"0 .1.0", -1, 0, 0, -1},
        {"0..1", -1, 0, 0, -1},
        {"", -1, 0, 0, -1},
        {"256.0.0", -1, 0, 0, -1},
        {"0.-1.0", -1, 0, 0, -1},
        {"0.0.300", -1, 0, 0, -1},
        {"4294967296.1.0", -1, 0, 0, -1},
        {"0.1.4294967296", -1, 0, 0, -1},
    };
    for (const Case& c : cases) {
        CapturedStream trace;
        Record aspi = newRecord(trace.stream());
        const size_t loadsBefore = fake->loaderCalls.size();
        EXPECT_EQ(aspiOpen(aspi.get(), c.name), c.opened) << c.name;
        EXPECT_EQ(aspi->hostAdapter, c.hostAdapter) << c.name;
        EXPECT_EQ(aspi->target, c.target) << c.name;
        EXPECT_EQ(aspi->lun, c.lun) << c.name;
        EXPECT_EQ(trace.text(), "") << c.name;
        if (c.opened != 0) {
            EXPECT_EQ(fake->loaderCalls.size(), loadsBefore) << c.name;
        }
    }
    EXPECT_EQ(aspiOpen(nullptr, "0.1.0"), -1);
    EXPECT_EQ(aspiOpen(newRecord(stderr).get(), nullptr), -1);
}

TEST(AspiSettings, TimeoutIsKeptInWholeMillisecondsOrFallsBackTo28Hours) {
    const int32_t before = 12345;
    const int32_t fallback = 100800000;
    struct Case {
        int32_t seconds, nanoseconds;
        int result;
        int32_t milliseconds;
    } cases[] = {
        {300, 0, 0, 300000},
        {0, 0, -1, before},
        {0, 1, 0, 1},
        {0, 999999, 0, 1},
        {0, 1000001, 0, 2},
        {1, 999999999, 0, 2000},
        {2147483, 647000000, 0, 2147483647},
        {2147483, 647000001, 0, fallback},
        {2147484, 0, 0, fallback},
        {2147483647, 0, 0, fallback},
        {-1, 0, 0, fallback},
        {0, -1, 0, fallback},
        {0, 1000000000, 0, fallback},
    };
    for (const Case& c : cases) {
        Record aspi = newRecord(stderr);
        ASSERT_EQ(aspiSetTimeout(aspi.get(), 12, 345000000), 0);
        EXPECT_EQ(aspiSetTimeout(aspi.get(), c.seconds, c.nanoseconds), c.result)
            << c.seconds << " s " << c.nanoseconds << " ns";
        EXPECT_EQ(aspi->timeoutMilliseconds, c.milliseconds)
            << c.seconds << " s " << c.nanoseconds << " ns";
    }
    EXPECT_EQ(aspiSetTimeout(nullptr, 300, 0), -1);
}

TEST(AspiSettings, SenseLengthIsFrom0To255) {
    struct Case {
        int32_t length;
        int result;
        int32_t limit;
    } cases[] = {{0, 0, 0}, {14, 0, 14}, {255, 0, 255}, {256, -1, 7}, {-1, -1, 7}};
    for (const Case& c : cases) {
        Record aspi = newRecord(stderr);
        ASSERT_EQ(aspiSetSenseLength(aspi.get(), 7), 0);
        EXPECT_EQ(aspiSetSenseLength(aspi.get(), c.length), c.result) << c.length;
        EXPECT_EQ(aspi->senseLimit, c.limit) << c.length;
    }
    EXPECT_EQ(aspiSetSenseLength(nullptr, 14), -1);
}

// The whole published header as the library receives it, reserved bytes included.
TEST_F(AspiBackend, RequestBlockCarriesDirectionResidualAndEventFlags) {
    struct Case {
        int32_t direction;
        bool residual;
        uint8_t flags;
        bool hasBuffer;
    } cases[] = {
        {1, false, 0x48, true}, {1, true, 0x4C, true},  {2, false, 0x50, true},
        {2, true, 0x54, true},  {0, false, 0x40, false}, {0, true, 0x44, false},
        {3, false, 0x40, false}, {-1, true, 0x44, false},
    };
    for (const Case& c : cases) {
        Record aspi = openedRecord(stderr, c.residual, "2.5.3");
        uint8_t data[INQUIRY_LENGTH];
        fake->aspi.commands.clear();
        EXPECT_EQ(aspiSay(aspi.get(), INQUIRY, 6, data, INQUIRY_LENGTH, c.direction), 0);
        ASSERT_EQ(fake->aspi.commands.size(), 1u);
        std::vector<uint8_t> sent = fake->aspi.commands[0];

        std::vector<uint8_t> expected(aspiBlock::HEADER_SIZE, 0);
        expected[0] = 2;  // SC_EXEC_SCSI_CMD
        expected[2] = 2;
        expected[3] = c.flags;
        expected[8] = 5;
        expected[9] = 3;
        expected[12] = INQUIRY_LENGTH;
        expected[20] = 14;
        expected[21] = 6;
        memcpy(&expected[48], INQUIRY, 6);
        const uint32_t buffer = aspiBlock::read32(sent.data(), aspiBlock::BUF_POINTER);
        EXPECT_EQ(buffer, c.hasBuffer ? uint32_t(uintptr_t(data)) : 0u) << c.direction;
        EXPECT_NE(aspiBlock::read32(sent.data(), aspiBlock::POST_PROC), 0u);
        aspiBlock::write32(sent.data(), aspiBlock::BUF_POINTER, 0);
        aspiBlock::write32(sent.data(), aspiBlock::POST_PROC, 0);
        EXPECT_EQ(sent, expected) << "direction " << c.direction << ", residual " << c.residual;
    }
}

// Each command starts from a clean block and clean result fields, whatever came before it.
TEST_F(AspiBackend, NothingOfTheLastCommandStaysForTheNext) {
    Record aspi = openedRecord(stderr, true);
    uint8_t data[INQUIRY_LENGTH];
    fake->aspi.answers.push_back(completedAtOnce(SS_ERR, 0, CHECK_CONDITION, 5, 14));
    EXPECT_EQ(aspiSay(aspi.get(), INQUIRY, 6, data, INQUIRY_LENGTH, 1), -258);
    EXPECT_EQ(aspi->senseLength, 14);
    EXPECT_EQ(aspi->lastTransferLength, 36);

    uint8_t tooLong[17] = {0x12};
    EXPECT_EQ(aspiSay(aspi.get(), tooLong, 17, data, INQUIRY_LENGTH, 1), -1);
    EXPECT_EQ(aspi->sense, nullptr);
    EXPECT_EQ(aspi->senseLength, -1);
    EXPECT_EQ(aspi->lastTransferLength, -1);
    EXPECT_EQ(aspi->lastResult, -1);

    fake->aspi.commands.clear();
    EXPECT_EQ(aspiSay(aspi.get(), INQUIRY, 6, nullptr, 0, 0), 0);
    ASSERT_EQ(fake->aspi.commands.size(), 1u);
    std::vector<uint8_t> sent = fake->aspi.commands[0];
    aspiBlock::write32(sent.data(), aspiBlock::POST_PROC, 0);
    std::vector<uint8_t> expected(aspiBlock::HEADER_SIZE, 0);
    expected[0] = 2;     // SC_EXEC_SCSI_CMD
    expected[3] = 0x44;  // event notification, residual count
    expected[8] = 1;     // target
    expected[20] = 14;   // sense length limit
    expected[21] = 6;    // CDB length
    memcpy(&expected[48], INQUIRY, 6);
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(aspi->lastTransferLength, 0);
}

TEST_F(AspiBackend, BadArgumentsAndMissingSettingsSendNothing) {
    uint8_t cdb[17] = {0x12};
    uint8_t data[64];
    struct Case {
        const char* what;
        const uint8_t* cdb;
        int32_t cdbLength;
        uint8_t* data;
        int32_t dataLength;
    } cases[] = {
        {"17-byte cdb", cdb, 17, data, 36},
        {"no cdb, length 3", nullptr, 3, data, 36},
        {"negative cdb length", cdb, -1, data, 36},
        {"no buffer, length 10", cdb, 6, nullptr, 10},
        {"negative data length", cdb, 6, data, -1},
    };
    CapturedStream trace;
    Record aspi = openedRecord(trace.stream(), true);
    for (const Case& c : cases)
        EXPECT_EQ(aspiSay(aspi.get(), c.cdb, c.cdbLength, c.data, c.dataLength, 1), -1) << c.what;

    Record withoutLimit = newRecord(trace.stream());
    ASSERT_EQ(aspiOpen(withoutLimit.get(), "0.1.0"), 0);
    ASSERT_EQ(aspiSetTimeout(withoutLimit.get(), 300, 0), 0);
    EXPECT_EQ(aspiSay(withoutLimit.get(), INQUIRY, 6, data, INQUIRY_LENGTH, 1), -1);
    Record withoutTimeout = newRecord(trace.stream());
    ASSERT_EQ(aspiOpen(withoutTimeout.get(), "0.1.0"), 0);
    ASSERT_EQ(aspiSetSenseLength(withoutTimeout.get(), 14), 0);
    EXPECT_EQ(aspiSay(withoutTimeout.get(), INQUIRY, 6, data, INQUIRY_LENGTH, 1), -1);
    EXPECT_EQ(aspiSay(nullptr, INQUIRY, 6, data, INQUIRY_LENGTH, 1), -1);
    EXPECT_EQ(aspiSayForMilliSeconds(nullptr, 1000), -1);
    EXPECT_EQ(aspiSayForMilliSeconds(withoutTimeout.get(), -1), -1);
    EXPECT_EQ(aspiStartup(nullptr), -1);

    EXPECT_TRUE(fake->aspi.commands.empty());
    EXPECT_EQ(fake->openEvents, 0);
    EXPECT_EQ(trace.text(), "");
    EXPECT_EQ(aspi->lastResult, -1);

    // No cdb and no data at all is a command like any other.
    EXPECT_EQ(aspiSay(aspi.get(), nullptr, 0, nullptr, 0, 0), 0);
    ASSERT_EQ(fake->aspi.commands.size(), 1u);
    EXPECT_EQ(fake->aspi.commands[0][aspiBlock::CDB_LEN], 0);
}

TEST_F(AspiBackend, RecordNeverOpenedSendsNothing) {
    CapturedStream trace;
    Record aspi = newRecord(trace.stream());
    uint8_t data[INQUIRY_LENGTH];
    ASSERT_EQ(aspiSetSenseLength(aspi.get(), 14), 0);
    ASSERT_EQ(aspiSetTimeout(aspi.get(), 300, 0), 0);
    EXPECT_EQ(aspiSay(aspi.get(), INQUIRY, 6, data, INQUIRY_LENGTH, 1), -1);
    EXPECT_TRUE(fake->aspi.commands.empty());
    EXPECT_EQ(fake->openEvents, 0);
    EXPECT_EQ(trace.text(), aspiSayLine("FFFFFFFF 00:00:00 29 E"));
}

TEST_F(AspiBackend, StatusBytesBecomeTheResult) {
    const int32_t L = 32816;
    const uint32_t above = L + 1;
    const uint32_t negative = 0xFFFFFFFF;
    struct Case {
        const char* what;
        bool residual;
        FakeAspiAnswer answer;
        int32_t result;
        int32_t transferred;
        std::string trace;
    } cases[] = {
        {"complete", false, completedAtOnce(SS_COMP, DO_DU, 2, 7), 0, -1, ""},
        {"complete, residue", true, completedAtOnce(SS_COMP, 0, 0, 16), 16, 32800, ""},
        {"complete, none left", true, completedAtOnce(SS_COMP, 0, 0, 0), 0, L, ""},
        {"complete, residue above the length", true, completedAtOnce(SS_COMP, 0, 0, above), -1,
         -1, aspiSayLine("0 01:00:00 8031 0")},
        {"complete, negative residue", true, completedAtOnce(SS_COMP, 0, 0, negative), -1, -1,
         aspiSayLine("0 01:00:00 FFFFFFFF 0")},
        {"check condition", false, completedAtOnce(SS_ERR, 0, 2, L, 14), -2, -1, ""},
        {"check condition, selection time-out", false, completedAtOnce(SS_ERR, SEL_TO, 2, L, 14),
         -2, -1, ""},
        {"check condition, all moved", true, completedAtOnce(SS_ERR, 0, 2, 0, 14), -2, L, ""},
        {"check condition, residue", true, completedAtOnce(SS_ERR, 0, 2, 16, 14), -258, 32800,
         ""},
        {"check condition, residue of one", true, completedAtOnce(SS_ERR, 0, 2, 1, 14), -258,
         L - 1, ""},
        {"check condition, selection time-out, residue", true,
         completedAtOnce(SS_ERR, SEL_TO, 2, 16, 14), -258, 32800, ""},
        {"check condition, residue above the length", true,
         completedAtOnce(SS_ERR, 0, 2, above, 14), -3, -1, ""},
        {"underrun, check condition", false, completedAtOnce(SS_ERR, DO_DU, 2, 16, 14), -2, L,
         ""},
        {"underrun, check condition, residue as sent", true,
         completedAtOnce(SS_ERR, DO_DU, 2, L, 14), -2, L, ""},
        {"underrun, check condition, none left", true, completedAtOnce(SS_ERR, DO_DU, 2, 0, 14),
         -2, L, ""},
        {"underrun, check condition, residue", true, completedAtOnce(SS_ERR, DO_DU, 2, 16, 14),
         -258, 32800, ""},
        {"underrun, check condition, residue above the length", true,
         completedAtOnce(SS_ERR, DO_DU, 2, above, 14), -3, -1, ""},
        {"underrun without check condition", true, completedAtOnce(SS_ERR, DO_DU, 0, 16), -1,
         -1, aspiSayLine("0 04:12:00 10 0")},
        {"selection time-out without check condition", false,
         completedAtOnce(SS_ERR, SEL_TO, 0, L), -1, -1, aspiSayLine("0 04:11:00 8030 0")},
        {"busy", false, completedAtOnce(SS_ERR, 0, 8, L), -1, -1,
         aspiSayLine("0 04:00:08 8030 0")},
        {"adapter error", false, completedAtOnce(SS_ERR, 0x14, 2, L, 14), -1, -1,
         aspiSayLine("0 04:14:02 8030 E")},
        {"aborted", false, completedAtOnce(0x02, 0, 0, L), -1, -1,
         aspiSayLine("0 02:00:00 8030 0")},
        {"invalid host adapter", false, completedAtOnce(0x81, 0, 0, L), -1, -1,
         aspiSayLine("0 81:00:00 8030 0")},
        {"check condition, more sense than the limit", false,
         completedAtOnce(SS_ERR, 0, 2, L, 15), -1, -1, aspiSayLine("0 04:00:02 8030 F")},
        {"underrun, check condition, residue, more sense than the limit", true,
         completedAtOnce(SS_ERR, DO_DU, 2, 16, 18), -1, 32800,
         aspiSayLine("0 04:12:02 10 12")},
    };
    std::vector<uint8_t> data(L);
    for (const Case& c : cases) {
        CapturedStream trace;
        Record aspi = openedRecord(trace.stream(), c.residual);
        fake->aspi.answers = {c.answer};
        const int32_t result = aspiSay(aspi.get(), INQUIRY, 6, data.data(), L, 2);
        EXPECT_EQ(result, c.result) << c.what;
        EXPECT_EQ(aspi->lastResult, c.result) << c.what;
        EXPECT_EQ(aspi->lastTransferLength, c.transferred) << c.what;
        EXPECT_EQ(trace.text(), c.trace) << c.what;
        const bool senseKept = c.result == -2 || c.result == -258 || c.result == -3;
        if (senseKept) {
            EXPECT_EQ(aspi->sense, aspi->srb.SenseArea) << c.what;
            EXPECT_EQ(aspi->senseLength, 14) << c.what;
            EXPECT_TRUE(aspi->sense != nullptr &&
                        memcmp(aspi->sense, c.answer.outcome.sense.data(), 14) == 0)
                << c.what;
        } else {
            EXPECT_EQ(aspi->sense, nullptr) << c.what;
            EXPECT_EQ(aspi->senseLength, -1) << c.what;
        }
    }
}

// The tool's INQUIRY on adapters with and without residual reporting.
TEST_F(AspiBackend, InquiryResidueCountsOnlyWithResidualReporting) {
    for (bool residual : {false, true}) {
        Record aspi = openedRecord(stderr, residual);
        uint8_t data[INQUIRY_LENGTH];
        fake->aspi.answers = {completedAtOnce(SS_COMP, 0, 0, 5)};
        EXPECT_EQ(aspiSay(aspi.get(), INQUIRY, 6, data, INQUIRY_LENGTH, 1), residual ? 5 : 0);
        EXPECT_EQ(aspi->lastTransferLength, residual ? 36 : -1);
    }
}

TEST_F(AspiBackend, CompletionIsAwaitedOnlyWhileTheCommandIsPending) {
    const std::string expired = "// aspiSayForMilliSeconds.WaitForSingleObject = x102 (258)\n" +
                                aspiSayLine("FFFFFFFF 00:00:00 29 E");
    const std::string failed =
        "// aspiSayForMilliSeconds.WaitForSingleObject: x6 (6) The handle is invalid.\r\n"
        "// aspiSayForMilliSeconds.WaitForSingleObject = xFFFFFFFF (-1)\n" +
        aspiSayLine("FFFFFFFF 00:00:00 29 E");
    struct Case {
        const char* what;
        FakeCompletion completion;
        DWORD returned;
        FakeWait wait;
        int32_t result;
        size_t waits;
        std::string trace;
    } cases[] = {
        {"at once", FAKE_COMPLETES_AT_ONCE, SS_COMP, FAKE_WAIT_FOR_SIGNAL, 0, 0, ""},
        {"at once, pending returned", FAKE_COMPLETES_AT_ONCE, 0, FAKE_WAIT_FOR_SIGNAL, 0, 0, ""},
        {"at once, other status returned", FAKE_COMPLETES_AT_ONCE, SS_ERR, FAKE_WAIT_FOR_SIGNAL,
         0, 0, "// aspiSayForMilliSeconds.SendASPI32Command = x4 (4) != x1 (1)\n"},
        {"later", FAKE_COMPLETES_WHILE_WAITED, 0, FAKE_WAIT_FOR_SIGNAL, 0, 1, ""},
        {"never", FAKE_NEVER_COMPLETES, 0, FAKE_WAIT_FOR_SIGNAL, -1, 1, expired},
        // A block still pending that the library answers with anything but SS_PENDING was
        // not taken: nothing would ever signal its event.
        {"refused, as Wine's library refuses every request", FAKE_NEVER_COMPLETES,
         SS_INVALID_SRB, FAKE_WAIT_FOR_SIGNAL, -1, 0,
         "// aspiSayForMilliSeconds.SendASPI32Command = xE0 (224) != x0 (0)\n" +
             aspiSayLine("FFFFFFFF 00:00:00 29 E")},
        {"pending, completion returned", FAKE_COMPLETES_WHILE_WAITED, SS_COMP,
         FAKE_WAIT_FOR_SIGNAL, -1, 0,
         "// aspiSayForMilliSeconds.SendASPI32Command = x1 (1) != x0 (0)\n" +
             aspiSayLine("FFFFFFFF 00:00:00 29 E")},
        {"wait expires", FAKE_COMPLETES_WHILE_WAITED, 0, FAKE_WAIT_EXPIRES, -1, 1, expired},
        {"wait fails", FAKE_COMPLETES_WHILE_WAITED, 0, FAKE_WAIT_FAILS, -1, 1, failed},
        {"at once, wait would fail", FAKE_COMPLETES_AT_ONCE, SS_COMP, FAKE_WAIT_FAILS, 0, 0, ""},
    };
    for (const Case& c : cases) {
        CapturedStream trace;
        Record aspi = openedRecord(trace.stream(), false);
        uint8_t data[INQUIRY_LENGTH];
        fake->wait = c.wait;
        fake->waitMilliseconds.clear();
        fake->aspi.pending = nullptr;
        fake->aspi.answers = {answer(c.completion, c.returned, SS_COMP, 0, 0, 0, 0)};
        EXPECT_EQ(aspiSay(aspi.get(), INQUIRY, 6, data, INQUIRY_LENGTH, 1), c.result) << c.what;
        EXPECT_EQ(fake->waitMilliseconds, std::vector<DWORD>(c.waits, 300000)) << c.what;
        EXPECT_EQ(trace.text(), c.trace) << c.what;
        EXPECT_EQ(fake->openEvents, 0) << c.what;
    }
}

// Through the handle, a command the library never completes is told in the seconds of the
// time-out, and the trace lines it wrote are kept as written, for a caller that shows them.
TEST_F(AspiBackend, ExpiredWaitIsToldInSecondsAndItsTraceKept) {
    Scsi* scsi = newScsi();
    CapturedStream trace;
    scsiSetTrace(scsi, trace.stream());
    ASSERT_EQ(scsiOpen(scsi, "0.1.0"), 0);
    scsiSetSenseLength(scsi, 14);
    scsiSetTimeout(scsi, 300, 0);
    fake->wait = FAKE_WAIT_EXPIRES;
    fake->aspi.answers = {answer(FAKE_COMPLETES_WHILE_WAITED, 0, SS_COMP, 0, 0, 0, 0)};
    uint8_t data[INQUIRY_LENGTH];
    EXPECT_EQ(scsiSay(scsi, INQUIRY, 6, data, INQUIRY_LENGTH, DATA_IN), -1);
    const ScsiOutcome outcome = scsiOutcome(scsi);
    char text[100];
    scsiExplain(outcome, text, sizeof text);
    EXPECT_STREQ(text, "the drive did not answer within 300 seconds");
    EXPECT_STREQ(scsiBrief(outcome), "timed out");
    EXPECT_EQ(trace.text(), "// aspiSayForMilliSeconds.WaitForSingleObject = x102 (258)\n" +
                                aspiSayLine("FFFFFFFF 00:00:00 29 E"));
    EXPECT_EQ(scsiLastTrace(scsi), trace.text());
}

TEST_F(AspiBackend, EventThatCannotBeCreatedSendsNothing) {
    CapturedStream trace;
    Record aspi = openedRecord(trace.stream(), false);
    uint8_t data[INQUIRY_LENGTH];
    fake->createEventFails = true;
    EXPECT_EQ(aspiSay(aspi.get(), INQUIRY, 6, data, INQUIRY_LENGTH, 1), -1);
    EXPECT_TRUE(fake->aspi.commands.empty());
    EXPECT_EQ(trace.text(),
              "// aspiSayForMilliSeconds.CreateEvent: x8 (8) (no more specific error message "
              "available)\n" +
                  aspiSayLine("FFFFFFFF 00:00:00 29 E"));
}

TEST_F(AspiBackend, EventThatCannotBeClosedLeavesTheResult) {
    CapturedStream trace;
    Record aspi = openedRecord(trace.stream(), true);
    uint8_t data[INQUIRY_LENGTH];
    fake->closeEventFails = true;
    fake->aspi.answers = {completedAtOnce(SS_COMP, 0, 0, 5)};
    EXPECT_EQ(aspiSay(aspi.get(), INQUIRY, 6, data, INQUIRY_LENGTH, 1), 5);
    EXPECT_EQ(trace.text(),
              "// aspiSayForMilliSeconds.CloseHandle: x6 (6) The handle is invalid.\r\n"
              "// aspiSayForMilliSeconds.CloseHandle = x0 (0)\n");
}

TEST_F(AspiBackend, ExaminationKeepsTheAdaptersLimits) {
    struct Case {
        std::vector<uint8_t> unique;
        int32_t alignmentMask, residualReporting, highestTarget, maxTransferLength;
    } cases[] = {
        {{0x03, 0x00, 1, 16, 0x00, 0x00, 0x01, 0x00}, 3, 1, 15, -1},
        {{0x01, 0x00, 0, 8, 0x01, 0x00, 0x01, 0x00}, 1, 0, 7, 65537},
        {{0xFF, 0xFF, 2, 0, 0x00, 0x00, 0x00, 0x01}, 65535, 0, 7, 16777216},
        {{0x00, 0x02, 3, 32, 0xFF, 0xFF, 0x00, 0x00}, 512, 0, 7, -1},
    };
    for (const Case& c : cases) {
        CapturedStream trace;
        Record aspi = newRecord(trace.stream());
        memcpy(fake->aspi.haUnique, c.unique.data(), c.unique.size());
        fake->aspi.inquiredAdapters.clear();
        EXPECT_EQ(aspiOpen(aspi.get(), "3.1.0"), 0);
        EXPECT_EQ(fake->aspi.inquiredAdapters, std::vector<int>{3});
        EXPECT_EQ(aspi->alignmentMask, c.alignmentMask);
        EXPECT_EQ(aspi->residualReporting, c.residualReporting);
        EXPECT_EQ(aspi->highestTarget, c.highestTarget);
        EXPECT_EQ(aspi->maxTransferLength, c.maxTransferLength);
        EXPECT_EQ(aspi->highestLun, 7);
        EXPECT_EQ(aspi->highestHostAdapter, 0);  // the fake library's one adapter
        EXPECT_EQ(trace.text(), "");
    }
}

TEST_F(AspiBackend, AdapterThatDoesNotAnswerLeavesDefaultsAndStillOpens) {
    const uint8_t unique[] = {0x01, 0x00, 1, 16, 0x00, 0x00, 0x02, 0x00};
    struct Case {
        DWORD returned;
        uint8_t status;
        int examined;
        std::string trace;
    } cases[] = {
        {0x81, 0x81, -1, "// aspiExamine.SRB_Status = x81 (129)\n"},
        {0, 0x81, -1,
         "// aspiExamine.SendASPI32Command = x0 (0) != x81 (129)\n"
         "// aspiExamine.SRB_Status = x81 (129)\n"},
        {0, SS_COMP, 0, "// aspiExamine.SendASPI32Command = x0 (0) != x1 (1)\n"},
    };
    for (const Case& c : cases) {
        CapturedStream trace;
        Record aspi = newRecord(trace.stream());
        memcpy(fake->aspi.haUnique, unique, sizeof unique);
        fake->aspi.inquiryReturned = c.returned;
        fake->aspi.inquiryStatus = c.status;
        EXPECT_EQ(aspiOpen(aspi.get(), "7.1.0"), 0);
        EXPECT_EQ(aspiExamine(aspi.get(), 7), c.examined);
        const bool answered = c.examined == 0;
        EXPECT_EQ(aspi->alignmentMask, answered ? 1 : 3);
        EXPECT_EQ(aspi->residualReporting, answered ? 1 : 0);
        EXPECT_EQ(aspi->highestTarget, answered ? 15 : 7);
        EXPECT_EQ(aspi->maxTransferLength, answered ? 131072 : -1);
        EXPECT_EQ(aspi->highestLun, 7);
        EXPECT_EQ(trace.text(), c.trace + c.trace);
    }
    Record untouched = newRecord(stderr);
    EXPECT_EQ(aspiExamine(untouched.get(), 256), -1);
    EXPECT_EQ(aspiExamine(untouched.get(), -1), -1);
    EXPECT_EQ(aspiExamine(nullptr, 0), -1);
    EXPECT_EQ(untouched->alignmentMask, -1);
}

// What a listing of the bus learns from SC_GET_DEV_TYPE, one row a kind of answer.
TEST_F(AspiBackend, DeviceTypeIsTheLibrarysAnswerOrNoDeviceOrAFailureSaid) {
    struct Case {
        const char* title;
        bool answered;
        DWORD returned;
        uint8_t status;
        uint8_t type;
        int32_t result;
        const char* trace;
    } cases[] = {
        {"a CD-ROM", true, SS_COMP, SS_COMP, 5, 5, ""},
        {"a disk", true, SS_COMP, SS_COMP, 0, 0, ""},
        {"no device at the address", true, aspiBlock::SS_NO_DEVICE, aspiBlock::SS_NO_DEVICE, 5,
         ASPI_NO_DEVICE, ""},
        {"a library that does not know the request", false, 0, 0, 0, -1,
         "// aspiGetDeviceType.SendASPI32Command = xE0 (224) != x0 (0)\n"
         "// aspiGetDeviceType.SRB_Status = x0 (0)\n"},
        {"a library that fails it", true, SS_ERR, SS_ERR, 5, -1,
         "// aspiGetDeviceType.SRB_Status = x4 (4)\n"},
        {"no such adapter", true, aspiBlock::SS_INVALID_HA, aspiBlock::SS_INVALID_HA, 5, -1,
         "// aspiGetDeviceType.SRB_Status = x81 (129)\n"},
    };
    for (const Case& c : cases) {
        fake->deviceTypeAnswered = c.answered;
        fake->deviceTypeReturned = c.returned;
        fake->deviceTypeStatus = c.status;
        fake->deviceType = c.type;
        fake->deviceTypeRequests.clear();
        CapturedStream trace;
        Record aspi = newRecord(trace.stream());
        EXPECT_EQ(aspiGetDeviceType(aspi.get(), 2, 9, 7), c.result) << c.title;
        EXPECT_EQ(trace.text(), c.trace) << c.title;
        // SRB_GDEVBlock: command 1, adapter, then target and logical unit at offsets 8 and 9.
        const std::vector<uint8_t> request = {1, 0, 2, 0, 0, 0, 0, 0, 9, 7, 0, 0};
        ASSERT_EQ(fake->deviceTypeRequests.size(), 1u) << c.title;
        EXPECT_EQ(fake->deviceTypeRequests[0], request) << c.title;
    }
    // An address part beyond 0 to 255 never reaches the library.
    fake->deviceTypeRequests.clear();
    EXPECT_EQ(aspiGetDeviceType(newRecord(stderr).get(), 0, 256, 0), -1);
    EXPECT_EQ(aspiGetDeviceType(nullptr, 0, 0, 0), -1);
    EXPECT_TRUE(fake->deviceTypeRequests.empty());
}

}  // namespace
