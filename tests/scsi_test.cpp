#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "scsi.h"
#include "sense.h"

namespace {

const uint8_t inquiry[6] = {0x12, 0, 0, 0, 0x24, 0};

TEST(ScsiHandle, MissingHandleRefusesEverything) {
    uint8_t data[36];
    EXPECT_EQ(scsiOpen(nullptr, "e:"), -1);
    EXPECT_EQ(scsiSetSenseLength(nullptr, 14), -1);
    EXPECT_EQ(scsiSetTimeout(nullptr, 300, 0), -1);
    EXPECT_EQ(scsiSay(nullptr, inquiry, 6, data, 36, DATA_IN), -1);
    scsiClose(nullptr);
}

TEST(ScsiHandle, NewHandleOwnsBothBackendsAndSelectsNone) {
    Scsi* scsi = newScsi();
    ASSERT_NE(scsi, nullptr);
    EXPECT_EQ(scsi->selected, nullptr);
    EXPECT_NE(scsi->aspi, nullptr);
    EXPECT_NE(scsi->sptx, nullptr);
}

TEST(ScsiHandle, WithoutAnOpenDeviceSettingsAndCommandsAreRefused) {
    Scsi* scsi = newScsi();
    uint8_t data[36];
    EXPECT_EQ(scsiOpen(scsi, "/nonexistent/kelvo-test-device"), -1);
    EXPECT_EQ(scsi->selected, nullptr);
    EXPECT_EQ(scsiSetSenseLength(scsi, 14), -1);
    EXPECT_EQ(scsiSetTimeout(scsi, 300, 0), -1);
    EXPECT_EQ(scsiSay(scsi, inquiry, 6, data, 36, DATA_IN), -1);
    scsiClose(scsi);
    scsiClose(scsi);
    EXPECT_EQ(scsi->selected, nullptr);
}

// A handle whose backend records could not be made opens nothing, but stays usable.
TEST(ScsiHandle, MissingBackendRecordsAreNeverSelected) {
    Scsi handle = {};
    uint8_t data[36];
    EXPECT_EQ(scsiOpen(&handle, "0.1.0"), -1);
    EXPECT_EQ(scsiOpen(&handle, "\\\\.\\E:"), -1);
    EXPECT_EQ(handle.selected, nullptr);
    EXPECT_EQ(scsiSetSenseLength(&handle, 14), -1);
    EXPECT_EQ(scsiSay(&handle, inquiry, 6, data, 36, DATA_IN), -1);
    scsiClose(&handle);
}

// What the handle tells a user of its last open or command, and the few words a listing shows.
TEST(ScsiOutcome, EachEndingInWords) {
    const std::vector<uint8_t> trayClosed = {0x70, 0, 0x02, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x3A, 0x01};
    const struct {
        const char* what;
        bool openFailed;
        SayResult result;
        ScsiEnding ending;
        std::vector<uint8_t> sense;
        const char* text;
        const char* brief;
    } cases[] = {
        {"an open the system refused", true, SAY_REFUSED, {-1, 5, false, false}, {},
         "the system did not open it: Access is denied.", "access denied"},
        {"a device path that names nothing", true, SAY_REFUSED, {-1, 2, false, false}, {},
         "the system did not open it: The system cannot find the file specified.",
         "no such device"},
        {"a device path whose folder is not there", true, SAY_REFUSED, {-1, 3, false, false}, {},
         "the system did not open it: The system cannot find the path specified.",
         "no such device"},
        {"CHECK CONDITION, not ready", false, SAY_CHECK_CONDITION, {2, 0, false, false},
         trayClosed,
         "the drive answered CHECK CONDITION: NOT READY, MEDIUM NOT PRESENT - TRAY CLOSED "
         "(2/3A/01)",
         "not ready"},
        {"more sense bytes than asked for", false, SAY_REFUSED, {2, 0, false, false}, {},
         "the drive answered CHECK CONDITION with more sense data than asked for", "refused"},
        {"busy", false, SAY_REFUSED, {8, 0, false, false}, {},
         "the drive answered BUSY (status 08)", "busy"},
        {"reserved by another initiator", false, SAY_REFUSED, {0x18, 0, false, false}, {},
         "the drive answered RESERVATION CONFLICT (status 18)", "busy"},
        {"part of the data", false, 16, {0, 0, false, false}, {},
         "the drive took only part of the data: 16 bytes were not moved", "failed"},
        {"timed out", false, SAY_REFUSED, {-1, 121, true, false}, {},
         "the drive did not answer within 300 seconds", "timed out"},
        {"nothing at the address", false, SAY_REFUSED, {-1, 0, false, true}, {},
         "no device answered", "no device answered"},
        {"a failed call", false, SAY_REFUSED, {-1, 1117, false, false}, {},
         "the system's call failed: The request could not be performed because of an I/O "
         "device error.",
         "failed"},
        {"a drive not ready for the call", false, SAY_REFUSED, {-1, 21, false, false}, {},
         "the system's call failed: The device is not ready.", "not ready"},
        {"never sent", false, SAY_REFUSED, SCSI_NOT_SENT, {}, "the command was not sent",
         "failed"},
    };
    for (const auto& c : cases) {
        Scsi handle = {};
        handle.last.openFailed = c.openFailed;
        handle.last.result = c.result;
        handle.last.ending = c.ending;
        handle.last.timeoutSeconds = 300;
        std::copy(c.sense.begin(), c.sense.end(), handle.last.sense);
        handle.last.senseLength = int32_t(c.sense.size());
        const ScsiOutcome outcome = scsiOutcome(&handle);
        char text[300];
        scsiExplain(outcome, text, sizeof text);
        EXPECT_STREQ(text, c.text) << c.what;
        EXPECT_STREQ(scsiBrief(outcome), c.brief) << c.what;
    }
}

std::string describe(const std::vector<uint8_t>& sense) {
    char text[200];
    senseDescribe(senseRead(sense.data(), int32_t(sense.size())), text, sizeof text);
    return text;
}

// Every named code reads as the key, its name and the three numbers, in either format of
// sense data; a code without a name, or data too short for one, still shows what there is.
TEST(SenseNames, EveryRowPrintsInBothFormats) {
    for (size_t i = 0; i < SENSE_NAME_COUNT; ++i) {
        const SenseName& row = SENSE_NAMES[i];
        char expected[200];
        snprintf(expected, sizeof expected, "MEDIUM ERROR, %s (3/%02X/%02X)", row.name, row.asc,
                 row.ascq);
        EXPECT_EQ(describe({0x70, 0, 0x03, 0, 0, 0, 0, 6, 0, 0, 0, 0, row.asc, row.ascq}),
                  expected);
        EXPECT_EQ(describe({0x72, 0x03, row.asc, row.ascq, 0, 0, 0, 0}), expected);
    }
}

// What a drive's sense data says, as the standards name it: each key, a few codes, the
// deferred formats, and data that ends before a field (the bytes given are all there is).
TEST(SenseNames, KnownSenseDataInWords) {
    const struct {
        std::vector<uint8_t> sense;
        const char* text;
    } cases[] = {
        {{0x70, 0, 0x00}, "NO SENSE (0)"},
        {{0x70, 0, 0x01}, "RECOVERED ERROR (1)"},
        {{0x70, 0, 0x02}, "NOT READY (2)"},
        {{0x70, 0, 0x03}, "MEDIUM ERROR (3)"},
        {{0x70, 0, 0x04}, "HARDWARE ERROR (4)"},
        {{0x70, 0, 0x05}, "ILLEGAL REQUEST (5)"},
        {{0x70, 0, 0x06}, "UNIT ATTENTION (6)"},
        {{0x70, 0, 0x07}, "DATA PROTECT (7)"},
        {{0x70, 0, 0x08}, "BLANK CHECK (8)"},
        {{0x70, 0, 0x09}, "VENDOR SPECIFIC (9)"},
        {{0x70, 0, 0x0A}, "COPY ABORTED (A)"},
        {{0x70, 0, 0x0B}, "ABORTED COMMAND (B)"},
        {{0x70, 0, 0x0C}, "KEY C (C)"},
        {{0x70, 0, 0x0D}, "VOLUME OVERFLOW (D)"},
        {{0x70, 0, 0x0E}, "MISCOMPARE (E)"},
        {{0x70, 0, 0x0F}, "KEY F (F)"},
        {{0x70, 0, 0x05, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x24, 0x00},
         "ILLEGAL REQUEST, INVALID FIELD IN CDB (5/24/00)"},
        {{0x70, 0, 0x05, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x20, 0x00},
         "ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE (5/20/00)"},
        {{0x70, 0, 0x06, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x29, 0x00},
         "UNIT ATTENTION, POWER ON, RESET, OR BUS DEVICE RESET OCCURRED (6/29/00)"},
        {{0x70, 0, 0x02, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x04, 0x01},
         "NOT READY, LOGICAL UNIT IS IN PROCESS OF BECOMING READY (2/04/01)"},
        {{0x70, 0, 0x03, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x0C, 0x00},
         "MEDIUM ERROR, WRITE ERROR (3/0C/00)"},
        {{0x71, 0, 0x03, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x0C, 0x00},
         "MEDIUM ERROR, WRITE ERROR (3/0C/00)"},  // deferred, fixed
        {{0x73, 0x03, 0x0C, 0x00, 0, 0, 0, 0}, "MEDIUM ERROR, WRITE ERROR (3/0C/00)"},
        {{0x70, 0, 0x06, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x99, 0x01}, "UNIT ATTENTION (6/99/01)"},
        {{0x70, 0, 0x06, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x29}, "UNIT ATTENTION (6)"},  // 13 bytes
        {{0x72, 0x06, 0x29}, "UNIT ATTENTION (6)"},
        {{0x70, 0}, "no sense data"},  // two bytes: the key would be the third
        {{0x72}, "no sense data"},
        {{}, "no sense data"},
    };
    for (const auto& c : cases) EXPECT_EQ(describe(c.sense), c.text) << c.text;
}

}  // namespace
