#include <gtest/gtest.h>

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
TEST(ScsiExplainLast, EachEndingInWords) {
    const struct {
        const char* what;
        ScsiLast last;
        const char* text;
        const char* brief;
    } cases[] = {
        {"an open the system refused", {true, SAY_REFUSED, {-1, 5, false, false}, 0, {}, 0},
         "the system did not open it: Access is denied.", "access denied"},
        {"a device path that names nothing", {true, SAY_REFUSED, {-1, 2, false, false}, 0, {}, 0},
         "the system did not open it: The system cannot find the file specified.",
         "no such device"},
        {"CHECK CONDITION, not ready",
         {false, SAY_CHECK_CONDITION, {2, 0, false, false}, 300,
          {0x70, 0, 0x02, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x3A, 0x01}, 14},
         "the drive answered CHECK CONDITION: NOT READY, MEDIUM NOT PRESENT - TRAY CLOSED "
         "(2/3A/01)",
         "not ready"},
        {"more sense bytes than asked for", {false, SAY_REFUSED, {2, 0, false, false}, 300, {}, 0},
         "the drive answered CHECK CONDITION with more sense data than asked for", "refused"},
        {"busy", {false, SAY_REFUSED, {8, 0, false, false}, 300, {}, 0},
         "the drive answered BUSY (status 08)", "busy"},
        {"part of the data", {false, 16, {0, 0, false, false}, 300, {}, 0},
         "the drive took only part of the data: 16 bytes were not moved", "failed"},
        {"timed out", {false, SAY_REFUSED, {-1, 121, true, false}, 300, {}, 0},
         "the drive did not answer within 300 seconds", "timed out"},
        {"nothing at the address", {false, SAY_REFUSED, {-1, 0, false, true}, 300, {}, 0},
         "no device answered", "no device answered"},
        {"a failed call", {false, SAY_REFUSED, {-1, 1117, false, false}, 300, {}, 0},
         "the system's call failed: The request could not be performed because of an I/O "
         "device error.",
         "failed"},
        {"never sent", {false, SAY_REFUSED, SCSI_NOT_SENT, 0, {}, 0}, "the command was not sent", "failed"},
    };
    for (const auto& c : cases) {
        Scsi handle = {};
        handle.last = c.last;
        char text[300];
        scsiExplainLast(&handle, text, sizeof text);
        EXPECT_STREQ(text, c.text) << c.what;
        EXPECT_STREQ(scsiBriefLast(&handle), c.brief) << c.what;
    }
}

// Every named code reads as the key, its name and the three numbers, in either format of
// sense data; a code without a name, or data too short for one, still shows what there is.
TEST(SenseNames, EveryRowPrintsInBothFormats) {
    char text[200];
    for (size_t i = 0; i < SENSE_NAME_COUNT; ++i) {
        const SenseName& row = SENSE_NAMES[i];
        const uint8_t fixed[14] = {0x70, 0, 0x03, 0, 0, 0, 0, 6, 0, 0, 0, 0, row.asc, row.ascq};
        char expected[200];
        snprintf(expected, sizeof expected, "MEDIUM ERROR, %s (3/%02X/%02X)", row.name, row.asc,
                 row.ascq);
        senseDescribe(fixed, 14, text, sizeof text);
        EXPECT_STREQ(text, expected);
        const uint8_t descriptor[8] = {0x72, 0x03, row.asc, row.ascq};
        senseDescribe(descriptor, 8, text, sizeof text);
        EXPECT_STREQ(text, expected);
    }
    const struct {
        std::vector<uint8_t> sense;
        const char* text;
    } cases[] = {
        {{0x70, 0, 0x06, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x99, 0x01}, "UNIT ATTENTION (6/99/01)"},
        {{0x70, 0, 0x02}, "NOT READY (2)"},
        {{0x70}, "no sense data"},
        {{}, "no sense data"},
    };
    for (const auto& c : cases) {
        senseDescribe(c.sense.data(), int32_t(c.sense.size()), text, sizeof text);
        EXPECT_STREQ(text, c.text);
    }
}

}  // namespace
