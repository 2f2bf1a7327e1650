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
