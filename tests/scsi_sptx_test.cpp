// The SCSI handle with the pass-through backend selected: every setting and command goes to
// the handle's own pass-through record, and closing ends its device.
#include <gtest/gtest.h>

#include <string>

#include "capture.h"
#include "fake_kernel32.h"
#include "run_kelvo.h"
#include "scsi.h"
#include "sptx.h"

namespace {

const char* const DEVICE = "\\\\.\\E:";
const uint8_t inquiry[6] = {0x12, 0, 0, 0, 0x24, 0};

class ScsiOnSptxTest : public ::testing::Test {
protected:
    FreshFakeKernel32 fake;
    SimDrive drive = newSimDrive("MATSHITADVD-RAM UJ-85J  1.00");
    CapturedStream trace;
    Scsi* scsi = nullptr;

    void SetUp() override {
        fake->devices[DEVICE] = &drive;
        scsi = newScsi();
        ASSERT_NE(scsi, nullptr);
        scsi->sptx->trace = trace.stream();
    }
};

TEST_F(ScsiOnSptxTest, DevicePathSelectsThePassThroughRecord) {
    ASSERT_EQ(scsiOpen(scsi, DEVICE), 0);
    EXPECT_EQ(scsi->selected, scsi->sptx);
    EXPECT_NE(scsi->sptx->device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake->createFileNames, std::vector<std::string>{DEVICE});
    EXPECT_TRUE(fake->loaderCalls.empty());
}

TEST_F(ScsiOnSptxTest, SettingsGoToTheSelectedRecordWithItsResult) {
    ASSERT_EQ(scsiOpen(scsi, DEVICE), 0);
    EXPECT_EQ(scsiSetSenseLength(scsi, 14), 0);
    EXPECT_EQ(scsiSetSenseLength(scsi, 256), -1);
    EXPECT_EQ(scsi->sptx->senseLimit, 14);
    EXPECT_EQ(scsiSetTimeout(scsi, 1, 1), 0);
    EXPECT_EQ(scsi->sptx->timeoutSeconds, 2);
    EXPECT_EQ(scsiSetTimeout(scsi, 0, 0), -1);
    EXPECT_EQ(scsi->sptx->timeoutSeconds, 2);
}

TEST_F(ScsiOnSptxTest, CommandsReachTheDriveWithTheCheckedCdbLength) {
    ASSERT_EQ(scsiOpen(scsi, DEVICE), 0);
    scsiSetSenseLength(scsi, 14);
    scsiSetTimeout(scsi, 300, 0);
    uint8_t data[41] = {};
    EXPECT_EQ(scsiSay(scsi, inquiry, 6, data, 41, DATA_IN), 5);
    SayResult corrected = 0;
    {
        RedirectedStdio stdio("");
        corrected = scsiSay(scsi, inquiry, 10, data, 41, DATA_IN);
        EXPECT_NE(stdio.errors().find("CDB length should be 6 instead of 10"), std::string::npos);
    }
    EXPECT_EQ(corrected, 5);
    ASSERT_EQ(drive.commands.size(), 2u);
    EXPECT_EQ(drive.commands[1].cdb, std::vector<uint8_t>(inquiry, inquiry + 6));
}

TEST_F(ScsiOnSptxTest, CloseEndsTheDeviceAndReopenFindsTheSettingsInPlace) {
    ASSERT_EQ(scsiOpen(scsi, DEVICE), 0);
    scsiSetSenseLength(scsi, 14);
    scsiSetTimeout(scsi, 300, 0);
    scsiClose(scsi);
    EXPECT_EQ(scsi->selected, nullptr);
    EXPECT_EQ(fake->openHandles, 0);
    uint8_t data[41] = {};
    EXPECT_EQ(scsiSetSenseLength(scsi, 14), -1);
    EXPECT_EQ(scsiSay(scsi, inquiry, 6, data, 41, DATA_IN), -1);
    EXPECT_TRUE(fake->requests.empty());

    ASSERT_EQ(scsiOpen(scsi, DEVICE), 0);
    EXPECT_EQ(scsi->selected, scsi->sptx);
    EXPECT_EQ(scsiSay(scsi, inquiry, 6, data, 41, DATA_IN), 5);
    EXPECT_EQ(trace.text(), "");
}

TEST_F(ScsiOnSptxTest, FailedOpenLeavesNothingSelectedAndNothingOpen) {
    ASSERT_EQ(scsiOpen(scsi, DEVICE), 0);
    EXPECT_EQ(scsiOpen(scsi, "\\\\.\\Q:"), -1);
    EXPECT_EQ(scsi->selected, nullptr);
    EXPECT_EQ(fake->openHandles, 0);
    EXPECT_EQ(trace.text(),
              "// sptxOpen.CreateFile: x2 (2) The system cannot find the file specified.\r\n");
}

}  // namespace
