#include <gtest/gtest.h>

#include "scsi.h"

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
    Scsi handle = {nullptr, nullptr, nullptr};
    uint8_t data[36];
    EXPECT_EQ(scsiOpen(&handle, "0.1.0"), -1);
    EXPECT_EQ(scsiOpen(&handle, "\\\\.\\E:"), -1);
    EXPECT_EQ(handle.selected, nullptr);
    EXPECT_EQ(scsiSetSenseLength(&handle, 14), -1);
    EXPECT_EQ(scsiSay(&handle, inquiry, 6, data, 36, DATA_IN), -1);
    scsiClose(&handle);
}

}  // namespace
