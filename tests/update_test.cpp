// The whole update as a user runs it (arguments, firmware file, answer at the prompt),
// through the pass-through backend, onto the simulated drive.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver.h"
#include "fake_kernel32.h"
#include "image.h"
#include "platform.h"
#include "run_kelvo.h"
#include "scsi.h"
#include "test_images.h"
#include "update.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const char* const FIRMWARE = "MATSHITADVD-RAM UJ-85J  1.00";
const char* const DRIVE_E = "\\\\.\\e:";
const Bytes INQUIRY = {0x12, 0, 0, 0, 0x24, 0};
const Bytes CLOSING = {0xF5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

Bytes payloadOf(const Bytes& image) {
    return Bytes(image.begin() + IMAGE_HEADER_SIZE, image.end());
}

std::vector<Bytes> cdbsSent(const SimDrive& drive) {
    std::vector<Bytes> cdbs;
    for (const SimCommand& command : drive.commands) cdbs.push_back(command.cdb);
    return cdbs;
}

std::string selected(const std::string& drive, const std::string& firmware = FIRMWARE) {
    return "Selected firmware: " + firmware + "\nSelected device:   " + drive + "\n";
}

const char* const UPDATE_RUNS = "Continue? Firmware update running, do not interrupt ...";

// Before the prompt, for a drive that already runs the image's firmware.
const std::string SAME_FIRMWARE =
    "the drive already runs the image's firmware, MATSHITADVD-RAM UJ-85J  1.00: the update "
    "writes it again, as a repair\n";

std::string nothingWritten(const std::string& whatToDo) {
    return "nothing was written to the drive: " + whatToDo + "\n";
}
const std::string NOT_MATSHITA_ADVICE = nothingWritten(
    "check the index with kelvo-list; use -f only for a MATSHITA drive sold under another name");
const std::string OTHER_MODEL_ADVICE =
    nothingWritten("find the firmware file made for the drive's model");

// CHECK CONDITION as a drive reports a failed write: MEDIUM ERROR, WRITE ERROR.
const Bytes WRITE_ERROR = {0x70, 0, 0x03, 0, 0, 0, 0, 0x06, 0, 0, 0, 0, 0x0C, 0};
const std::string WRITE_ERROR_ANSWER =
    "the drive answered CHECK CONDITION: MEDIUM ERROR, WRITE ERROR (3/0C/00)\n";

// What follows "sp_write returned N": where the update stopped, the drive's answer, what now.
std::string chunkFailed(const std::string& where, const std::string& answer) {
    return "chunk " + where + " payload bytes\n" + answer +
           "the closing command was not sent, so the drive has not taken the new image\n"
           "what to do: leave the machine and the drive powered on and run kelvo again with the "
           "same file (kelvo-list shows what the drive reports now); if it fails again, keep the "
           "drive powered and try another connection or path to it before you turn it off\n";
}

class UpdateTest : public ::testing::Test {
protected:
    FreshFakeKernel32 fake;
    std::string directory;
    std::vector<std::string> files;

    void SetUp() override {
        char name[] = "/tmp/kelvo-update-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
    }

    void TearDown() override {
        for (const std::string& file : files) unlink(file.c_str());
        rmdir(directory.c_str());
    }

    std::string writeFile(const Bytes& bytes) {
        const std::string path = directory + "/firmware" + std::to_string(files.size()) + ".bin";
        FILE* file = fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        const size_t written = bytes.empty() ? 0 : fwrite(bytes.data(), 1, bytes.size(), file);
        EXPECT_EQ(written, bytes.size());
        fclose(file);
        files.push_back(path);
        return path;
    }

    // kelvo e: <image> [-f], with `drive` as the drive behind the letter.
    KelvoRun updateDriveE(SimDrive* drive, const Bytes& image, const std::string& answer,
                          bool force = false) {
        fake->devices[DRIVE_E] = drive;
        std::vector<std::string> arguments = {"e:", writeFile(image)};
        if (force) arguments.push_back("-f");
        return runKelvo(arguments, answer);
    }
};

TEST_F(UpdateTest, PayloadGoesOutInChunksEachBehindTheHeader) {
    struct Case {
        uint32_t payload;
        std::vector<Bytes> writes;
    } cases[] = {
        {32768, {{0xEA, 0, 0, 0x00, 0x00, 0x00, 0x00, 0x80, 0x30, 0, 0, 0}}},
        {32769,
         {{0xEA, 0, 0, 0x00, 0x00, 0x00, 0x00, 0x80, 0x30, 0, 0, 0},
          {0xEA, 0, 0, 0x00, 0x80, 0x00, 0x00, 0x00, 0x31, 0, 0, 0}}},
        {100000,
         {{0xEA, 0, 0, 0x00, 0x00, 0x00, 0x00, 0x80, 0x30, 0, 0, 0},
          {0xEA, 0, 0, 0x00, 0x80, 0x00, 0x00, 0x80, 0x30, 0, 0, 0},
          {0xEA, 0, 0, 0x01, 0x00, 0x00, 0x00, 0x80, 0x30, 0, 0, 0},
          {0xEA, 0, 0, 0x01, 0x80, 0x00, 0x00, 0x06, 0xD0, 0, 0, 0}}},
    };
    for (const Case& c : cases) {
        SimDrive drive = newSimDrive(FIRMWARE);
        const Bytes image = firmwareImage(c.payload);
        const KelvoRun run = updateDriveE(&drive, image, "y\n");
        EXPECT_EQ(run.status, 0) << c.payload;
        EXPECT_EQ(run.output, selected(FIRMWARE) + UPDATE_RUNS + "Finished\n") << c.payload;
        EXPECT_EQ(run.errors, SAME_FIRMWARE) << c.payload;

        std::vector<Bytes> expected = {INQUIRY};
        expected.insert(expected.end(), c.writes.begin(), c.writes.end());
        expected.push_back(CLOSING);
        EXPECT_EQ(cdbsSent(drive), expected) << c.payload;
        EXPECT_EQ(drive.commands.front().dataLength, 41);
        EXPECT_EQ(drive.commands.front().direction, 1);
        EXPECT_EQ(drive.commands.back().dataLength, 1024);
        EXPECT_EQ(drive.commands.back().direction, 1);
        EXPECT_EQ(drive.protocolError, "") << c.payload;
        EXPECT_TRUE(payloadOf(image) == drive.payload) << c.payload;
        EXPECT_TRUE(Bytes(image.begin(), image.begin() + 48) ==
                    Bytes(drive.header, drive.header + 48));
        EXPECT_TRUE(drive.activated) << c.payload;
        EXPECT_EQ(fake->openHandles, 0) << c.payload;  // closed at the end
    }
    // Every command went with the settings the tool makes: at most 14 sense bytes, 300 seconds.
    ASSERT_FALSE(fake->requests.empty());
    for (const FakeIoRequest& request : fake->requests) {
        SCSI_PASS_THROUGH record;
        memcpy(&record, request.buffer.data(), sizeof record);
        EXPECT_EQ(record.SenseInfoLength, 14);
        EXPECT_EQ(record.TimeOutValue, 300u);
    }
}

// The write command's 24-bit offset reaches exactly this far.
TEST_F(UpdateTest, LargestPayloadTheWriteCommandCanAddress) {
    SimDrive drive = newSimDrive(FIRMWARE);
    const Bytes image = firmwareImage(0x1000000);
    const KelvoRun run = updateDriveE(&drive, image, "y\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.errors, SAME_FIRMWARE);
    ASSERT_EQ(drive.commands.size(), 1u + 512u + 1u);
    EXPECT_EQ(drive.commands[512].cdb,
              (Bytes{0xEA, 0, 0, 0xFF, 0x80, 0x00, 0x00, 0x80, 0x30, 0, 0, 0}));
    EXPECT_TRUE(payloadOf(image) == drive.payload);
    EXPECT_TRUE(drive.activated);
}

TEST_F(UpdateTest, DecliningSendsNothingButTheInquiry) {
    for (const std::string answer : {"n\n", "", "yes-please\n"}) {
        SimDrive drive = newSimDrive(FIRMWARE);
        const KelvoRun run = updateDriveE(&drive, firmwareImage(1000), answer);
        EXPECT_EQ(run.status, 0) << answer;
        EXPECT_EQ(run.output, selected(FIRMWARE) + "Continue? Not confirmed, exiting\n") << answer;
        EXPECT_EQ(cdbsSent(drive), std::vector<Bytes>{INQUIRY}) << answer;
    }
}

TEST_F(UpdateTest, DriveForAnotherImageIsRefusedUnlessForced) {
    const char* const other = "MATSHITABD-MLT UJ-260   1.00";
    const std::string mismatch = selected(other) + "Selected device does not match firmware\n";
    {
        SimDrive drive = newSimDrive(other);
        const KelvoRun run = updateDriveE(&drive, firmwareImage(1000), "y\n");
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output, mismatch);
        EXPECT_EQ(cdbsSent(drive), std::vector<Bytes>{INQUIRY});
    }
    {
        SimDrive drive = newSimDrive(other);
        const Bytes image = firmwareImage(1000);
        const KelvoRun run = updateDriveE(&drive, image, "y\n", true);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, mismatch + UPDATE_RUNS + "Finished\n");
        EXPECT_TRUE(payloadOf(image) == drive.payload);
        EXPECT_TRUE(drive.activated);
    }
}

TEST_F(UpdateTest, DriveThatAnswersInLowerCaseMatches) {
    const char* const lowerCase = "matshitadvd-ram uj-85j  1.00";
    SimDrive drive = newSimDrive(lowerCase);
    const KelvoRun run = updateDriveE(&drive, firmwareImage(1000), "Y\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, selected(lowerCase) + UPDATE_RUNS + "Finished\n");
}

// Bytes the drive did not send show as nothing rather than as stale memory.
TEST_F(UpdateTest, ShortInquiryAnswerEndsTheIdentification) {
    SimDrive drive = newSimDrive(FIRMWARE);
    drive.inquiryLength = 20;
    const KelvoRun run = updateDriveE(&drive, firmwareImage(1000), "y\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, selected("MATSHITADVD-") + "Selected device does not match firmware\n");
}

// A driver may leave more in the data area than it says it moved: only what it said counts.
TEST_F(UpdateTest, IdentificationEndsWhereTheReportedTransferEnds) {
    const std::string notMatshita = "Selected drive e: does not appear to be a matshita device\n";
    const std::string madeFor = "the image is made for \"MATSHITADVD-RAM UJ-85J\", the drive is ";
    struct Case {
        int32_t residue;  // of the 41 bytes asked for; the drive itself sends 36
        std::string identification;
        std::string verdict;
        std::string errors;
    } cases[] = {
        {5, FIRMWARE, "Continue? Not confirmed, exiting\n", SAME_FIRMWARE},
        {21, "MATSHITADVD-", "Selected device does not match firmware\n",
         madeFor + "\"MATSHITADVD-\"\n" + OTHER_MODEL_ADVICE},
        {25, "MATSHITA", "Selected device does not match firmware\n",
         madeFor + "\"MATSHITA\"\n" + OTHER_MODEL_ADVICE},
        {26, "MATSHIT", "",
         notMatshita + "the drive calls itself \"MATSHIT\", not MATSHITA\n" + NOT_MATSHITA_ADVICE},
        {33, "", "", notMatshita + "the drive calls itself \"\", not MATSHITA\n" +
                         NOT_MATSHITA_ADVICE},
        {41, "", "", notMatshita + "the drive calls itself \"\", not MATSHITA\n" +
                         NOT_MATSHITA_ADVICE},
    };
    for (const Case& c : cases) {
        SimDrive drive = newSimDrive(FIRMWARE);
        drive.residueOn = 1;
        drive.residue = c.residue;
        const KelvoRun run = updateDriveE(&drive, firmwareImage(1000), "n\n");
        EXPECT_EQ(run.output, selected(c.identification) + c.verdict) << c.residue;
        EXPECT_EQ(run.errors, c.errors) << c.residue;
    }
}

// The vendor's write and closing commands are sent only to the vendor's drives, whatever
// the image's name says, unless the user forces the update; then each check it goes past is
// told before the prompt.
TEST_F(UpdateTest, DriveOfAnotherVendorIsRefusedUnlessForced) {
    const char* const plextor = "PLEXTOR DVDR   PX-716A  1.11";
    const std::string notMatshita = "Selected drive e: does not appear to be a matshita device\n";
    const std::string forcedPlextor =
        "-f overrides: the drive calls itself \"PLEXTOR\", not MATSHITA\n";
    const std::string finished = UPDATE_RUNS + std::string("Finished\n");
    struct Case {
        const char* drive;
        const char* image;
        bool force;
        int status;
        std::string output;  // after the two "Selected" lines
        std::string errors;
    } cases[] = {
        {plextor, plextor, false, 1, "",
         notMatshita + "the drive calls itself \"PLEXTOR\", not MATSHITA\n" + NOT_MATSHITA_ADVICE},
        {"MATSHITX DVD-RAM UJ-85J 1.00", "MATSHITX DVD-RAM UJ-85J 1.00", false, 1, "",
         notMatshita + "the drive calls itself \"MATSHITX\", not MATSHITA\n" + NOT_MATSHITA_ADVICE},
        {plextor, plextor, true, 0, finished,
         forcedPlextor + "the drive already runs the image's firmware, " + plextor +
             ": the update writes it again, as a repair\n"},
        {plextor, FIRMWARE, true, 0, "Selected device does not match firmware\n" + finished,
         forcedPlextor + "-f overrides: the image is made for \"MATSHITADVD-RAM UJ-85J\", the "
                         "drive is \"PLEXTOR DVDR   PX-716A\"\n"},
        {"Matshita DVD-RAM UJ-85J 1.00", "Matshita DVD-RAM UJ-85J 1.00", false, 0, finished,
         "the drive already runs the image's firmware, Matshita DVD-RAM UJ-85J 1.00: the update "
         "writes it again, as a repair\n"},
    };
    for (const Case& c : cases) {
        SimDrive drive = newSimDrive(c.drive);
        const KelvoRun run = updateDriveE(&drive, firmwareImage(1000, c.image), "y\n", c.force);
        EXPECT_EQ(run.status, c.status) << c.drive;
        EXPECT_EQ(run.output, selected(c.drive, c.image) + c.output) << c.drive;
        EXPECT_EQ(run.errors, c.errors) << c.drive;
        EXPECT_EQ(drive.commands.size(), c.status == 0 ? 3u : 1u) << c.drive;
    }
}

TEST_F(UpdateTest, DriveThatFailsTheInquiryIsNotTakenForAMatshita) {
    SimDrive drive = newSimDrive(FIRMWARE);
    drive.checkConditionOn = 1;
    drive.faultSense = {0x70, 0, 0x02, 0, 0, 0, 0, 0x06, 0, 0, 0, 0, 0x3A, 0};
    const KelvoRun run = updateDriveE(&drive, firmwareImage(1000), "y\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, std::string("Selected firmware: ") + FIRMWARE + "\n");
    EXPECT_EQ(run.errors, "Selected drive e: does not appear to be a matshita device\n"
                          "the device at e: gave no identification (the drive answered CHECK "
                          "CONDITION: NOT READY, MEDIUM NOT PRESENT (2/3A/00))\n" +
                              nothingWritten("check the index with kelvo-list, which lists the "
                                             "drives kelvo can reach"));
}

// The vendor's commands go to a CD/DVD drive alone: any other kind of device is refused by
// what its INQUIRY says it is, whatever its name, -f or not; so is one that does not say.
TEST_F(UpdateTest, DeviceOfAnotherKindIsRefusedEvenWhenForced) {
    const std::string notOptical = ", not a CD/DVD drive: kelvo updates CD/DVD drives only, with "
                                   "or without -f\n";
    const std::string unsaid = "the device at e: does not say what kind of device it is: kelvo "
                               "updates CD/DVD drives only, with or without -f\n";
    struct Case {
        uint8_t byte0;  // peripheral qualifier and device type
        int32_t inquiryLength;
        const char* name;
        bool force;
        std::string errors;
    } cases[] = {
        {0, 36, FIRMWARE, false, "the device at e: is a direct-access device (a disk) "
                                 "(peripheral device type 0)" + notOptical},
        {0, 36, FIRMWARE, true, "the device at e: is a direct-access device (a disk) "
                                "(peripheral device type 0)" + notOptical},
        // A disk is refused as a disk, not as another vendor's drive.
        {0, 36, "ATA     ST3200822A      3.01", false,
         "the device at e: is a direct-access device (a disk) (peripheral device type 0)" +
             notOptical},
        {8, 36, FIRMWARE, true, "the device at e: is a medium changer (peripheral device type 8)" +
                                    notOptical},
        {0x1B, 36, FIRMWARE, true, "the device at e: is a device of a kind without a name here "
                                   "(peripheral device type 27)" + notOptical},
        {0x7F, 36, FIRMWARE, true, unsaid},  // qualifier 3: no device is there at all
        {5, 0, "", true, unsaid},            // forced, and not one byte of INQUIRY came back
    };
    for (const Case& c : cases) {
        SimDrive drive = newSimDrive(c.name);
        drive.peripheralType = c.byte0;
        drive.inquiryLength = c.inquiryLength;
        const KelvoRun run = updateDriveE(&drive, firmwareImage(1000), "y\n", c.force);
        EXPECT_EQ(run.status, 1) << c.errors;
        EXPECT_EQ(run.output, selected(c.inquiryLength > 0 ? c.name : "")) << c.errors;
        EXPECT_EQ(run.errors, c.errors + nothingWritten("give kelvo the index of the CD/DVD "
                                                        "drive (kelvo-list lists them)"));
        EXPECT_EQ(cdbsSent(drive), std::vector<Bytes>{INQUIRY}) << c.errors;
    }
}

// On battery kelvo says so just before its question, and below 10% it begins no update unless
// forced; on mains, without a battery or where Windows cannot tell, it says nothing of power.
TEST_F(UpdateTest, BatteryIsSaidBeforeTheQuestionAndTooLowARefusal) {
    const std::string low = "the machine runs on battery with 9% left, less than the 10% kelvo "
                            "begins an update with\n";
    const std::string connect = ": connect the charger before you answer y\n";
    const char* const newer = "MATSHITADVD-RAM UJ-85J  1.01";
    const struct {
        SYSTEM_POWER_STATUS power;  // AC line, battery flag, percent left
        bool force;
        int status;
        std::string errors;
    } cases[] = {
        {{1, 128, 255, 0, 0, 0}, false, 0, ""},  // a desktop without a battery
        {{1, 8, 5, 0, 0, 0}, false, 0, ""},      // on mains, charging
        {{0, 0, 50, 0, 0, 0}, false, 0, "the machine runs on battery with 50% left" + connect},
        {{0, 2, 10, 0, 0, 0}, false, 0, "the machine runs on battery with 10% left" + connect},
        {{0, 4, 9, 0, 0, 0}, false, 1,
         low + nothingWritten("connect the charger and run kelvo again")},
        {{0, 4, 9, 0, 0, 0}, true, 0, "-f overrides: " + low + connect.substr(2)},
        {{255, 255, 255, 0, 0, 0}, false, 0, ""},  // the line's state unknown
        {{0, 255, 255, 0, 0, 0}, false, 0, ""},    // offline, the charge unknown
    };
    for (const auto& c : cases) {
        fake->powerStatus = c.power;
        SimDrive drive = newSimDrive(FIRMWARE);
        const KelvoRun run = updateDriveE(&drive, firmwareImage(1000, newer), "y\n", c.force);
        EXPECT_EQ(run.status, c.status) << c.errors;
        EXPECT_EQ(run.output, selected(FIRMWARE, newer) +
                                  (c.status == 0 ? UPDATE_RUNS + std::string("Finished\n") : ""));
        EXPECT_EQ(run.errors, c.errors);
    }
    fake->powerStatusFails = true;  // a system that cannot tell: its record is not read
    SimDrive drive = newSimDrive(FIRMWARE);
    EXPECT_EQ(updateDriveE(&drive, firmwareImage(1000, newer), "y\n").errors, "");
}

// On a console the line shows how much is written, each figure over the last, and ends as it
// always does; a failure's message then starts on a line of its own.
TEST_F(UpdateTest, ProgressShowsOnAConsoleOnly) {
    fake->outputIsConsole = true;
    const std::string shown = "  0%\b\b\b\b 50%\b\b\b\b100%\b\b\b\b    \b\b\b\b";
    SimDrive drive = newSimDrive(FIRMWARE);
    KelvoRun run = updateDriveE(&drive, firmwareImage(65536), "y\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, selected(FIRMWARE) + UPDATE_RUNS + shown + "Finished\n");

    SimDrive failing = newSimDrive(FIRMWARE);
    failing.checkConditionOn = 3;
    failing.faultSense = WRITE_ERROR;
    run = updateDriveE(&failing, firmwareImage(65536), "y\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, selected(FIRMWARE) + UPDATE_RUNS + "  0%\b\b\b\b 50%\b\b\b\b"
                                                             "    \b\b\b\b\n");
}

// Nothing follows a failed chunk: the drive is left in the middle of the update.
TEST_F(UpdateTest, FailedChunkEndsTheRunWithoutTheClosingCommand) {
    struct Case {
        const char* what;
        int32_t checkConditionOn;  // commands counted from 1, the INQUIRY first
        Bytes sense;
        int32_t residueOn;
        int32_t hangOn;
        std::string errors;
        DWORD firstChunkFails = 0;  // the system's error for the first chunk's call
    } cases[] = {
        {"check condition on the second chunk", 3, WRITE_ERROR, 0, 0,
         "sp_write returned -258\n" +
             chunkFailed("2 of 4 failed: the drive had accepted 32768 of the image's 100000",
                         WRITE_ERROR_ANSWER)},
        {"residue on the first chunk", 0, {}, 2, 0,
         "sp_write returned 16\n" +
             chunkFailed("1 of 4 failed: the drive had accepted 0 of the image's 100000",
                         "the drive took only part of the data: 16 bytes were not moved\n")},
        {"sense beyond the limit on the last chunk", 5, Bytes(18, 0x70), 0, 0,
         "// sptxSay x 1 2 0 12 (ioctl status length senseLength)\nsp_write returned -1\n" +
             chunkFailed("4 of 4 failed: the drive had accepted 98304 of the image's 100000",
                         "the drive answered CHECK CONDITION with more sense data than asked "
                         "for\n")},
        {"second chunk never completes", 0, {}, 0, 3,
         "// sptxSay.DeviceIoControl: x45D (1117) (no more specific error message "
         "available)\n// sptxSay x 0 0 8030 E (ioctl status length senseLength)\n"
         "sp_write returned -1\n" +
             chunkFailed("2 of 4 failed: the drive had accepted 32768 of the image's 100000",
                         "the system's call failed: (no more specific error message "
                         "available)\n")},
        {"the driver's time-out on the first chunk", 0, {}, 0, 0,
         "// sptxSay.DeviceIoControl: x79 (121) (no more specific error message available)\n"
         "// sptxSay x 0 0 8030 E (ioctl status length senseLength)\nsp_write returned -1\n" +
             chunkFailed("1 of 4 failed: the drive had accepted 0 of the image's 100000",
                         "the drive did not answer within 300 seconds\n"),
         ERROR_SEM_TIMEOUT},
    };
    for (const Case& c : cases) {
        SimDrive drive = newSimDrive(FIRMWARE);
        drive.checkConditionOn = c.checkConditionOn;
        drive.faultSense = c.sense;
        drive.residueOn = c.residueOn;
        drive.residue = 16;
        drive.hangOn = c.hangOn;
        int chunks = 0;
        fake->onPassThrough = [&c, &chunks](DWORD, uint8_t* request) {
            const bool chunk = request[offsetof(SCSI_PASS_THROUGH, Cdb)] == 0xEA;
            if (chunk && ++chunks == 1 && c.firstChunkFails != 0)
                fakeKernel32().answers.push_back({FALSE, c.firstChunkFails, false, 0, 0, {}, 0});
        };
        const KelvoRun run = updateDriveE(&drive, firmwareImage(100000), "y\n");
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.output, selected(FIRMWARE) + UPDATE_RUNS) << c.what;
        EXPECT_EQ(run.errors, SAME_FIRMWARE + c.errors) << c.what;
        EXPECT_NE(drive.commands.back().cdb[0], 0xF5) << c.what;
        EXPECT_FALSE(drive.activated) << c.what;
    }
}

// "Finished" only for a drive that took the image. A closing command that fails is not taken
// for the end of the update: the drive must name the new firmware once it answers again,
// asked with a short time-out and a pause between questions, 30 seconds in all at most.
TEST_F(UpdateTest, FailedClosingCommandIsCheckedWithTheDrive) {
    const char* const newer = "MATSHITADVD-RAM UJ-85J  1.01";
    const std::string unanswered =
        "// sptxSay.DeviceIoControl: x45D (1117) (no more specific error message available)\n";
    const std::string closingLost =
        unanswered + "// sptxSay x 0 0 400 E (ioctl status length senseLength)\n";
    const std::string inquiryLost =
        unanswered + "// sptxSay x 0 0 29 E (ioctl status length senseLength)\n";
    const std::string notTaken =
        "the update may not have taken: power-cycle the drive and check its firmware before "
        "using it\n";
    const std::string callFailed =
        "the system's call failed: (no more specific error message available)\n";
    const std::string stillOld = std::string("the drive now reports ") + FIRMWARE +
                                 ", not the image's " + newer + "\n";
    struct Case {
        const char* what;
        int32_t checkConditionOn;  // commands counted from 1: INQUIRY, the chunk, the closing
        int32_t hangOn;
        int32_t silentAfterRestart;  // -1: no restart
        int status;
        std::string errors;
        size_t questionsAfterClosing;
        bool closingAnswersWhole = false;  // residue 0: the drive took the image
        const char* drive = FIRMWARE;
    } cases[] = {
        {"completed with its whole answer: nothing is asked after it", 0, 0, -1, 0, "", 0, true},
        {"refused, the drive in other case", 3, 0, -1, 1,
         "closing command returned -258\n" + WRITE_ERROR_ANSWER +
             "the drive now reports MATSHITADVD-RAM uj-85j  1.01, not the image's " + newer +
             "\n" + notTaken,
         1, false,
         "MATSHITADVD-RAM uj-85j  1.01"},
        {"refused, the drive unchanged", 3, 0, -1, 1,
         "closing command returned -258\n" + WRITE_ERROR_ANSWER + stillOld + notTaken, 1},
        {"never answered, the drive unchanged", 0, 3, -1, 1,
         closingLost + "closing command returned -1\n" + callFailed + stillOld + notTaken, 1},
        {"lost as the drive restarts, answering after three questions", 0, 0, 3, 0,
         closingLost + inquiryLost + inquiryLost + inquiryLost, 4},
        {"lost as the drive restarts, never answering again", 0, 0, 100, 1,
         closingLost + inquiryLost + inquiryLost + inquiryLost + inquiryLost + inquiryLost +
             inquiryLost + inquiryLost + inquiryLost + inquiryLost + inquiryLost +
             "closing command returned -1\n" + callFailed + "the drive does not answer\n" +
             notTaken,
         10},
    };
    for (const Case& c : cases) {
        FreshFakeKernel32 fresh;
        SimDrive drive = newSimDrive(c.drive);
        drive.checkConditionOn = c.checkConditionOn;
        drive.faultSense = WRITE_ERROR;
        drive.residueOn = c.closingAnswersWhole ? 3 : 0;
        drive.hangOn = c.hangOn;
        drive.restartsOnClosing = c.silentAfterRestart >= 0;
        drive.silentAfterRestart = c.silentAfterRestart;
        const Bytes image = firmwareImage(1000, newer);
        const KelvoRun run = updateDriveE(&drive, image, "y\n");
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_EQ(run.output, selected(c.drive, newer) + UPDATE_RUNS +
                                  (c.status == 0 ? "Finished\n" : ""))
            << c.what;
        EXPECT_EQ(run.errors, c.errors) << c.what;
        EXPECT_TRUE(payloadOf(image) == drive.payload) << c.what;

        const std::vector<Bytes> sent = cdbsSent(drive);
        ASSERT_EQ(sent.size(), 3 + c.questionsAfterClosing) << c.what;
        EXPECT_EQ(sent[2], CLOSING) << c.what;
        EXPECT_EQ(std::vector<Bytes>(sent.begin() + 3, sent.end()),
                  std::vector<Bytes>(c.questionsAfterClosing, INQUIRY))
            << c.what;
        const size_t pauses = c.questionsAfterClosing > 0 ? c.questionsAfterClosing - 1 : 0;
        EXPECT_EQ(fresh->pauses, std::vector<DWORD>(pauses, 1000)) << c.what;
        ULONG waitSeconds = 0;
        for (size_t i = fresh->requests.size() - c.questionsAfterClosing; i < fresh->requests.size();
             ++i) {
            SCSI_PASS_THROUGH record;
            memcpy(&record, fresh->requests[i].buffer.data(), sizeof record);
            waitSeconds += record.TimeOutValue;
        }
        for (DWORD pause : fresh->pauses) waitSeconds += pause / 1000;
        EXPECT_LE(waitSeconds, 30u) << c.what;
    }
}

// From its first chunk to its verdict the update is shielded: Ctrl+C and Ctrl+Break are
// refused, a closing console, a logoff or a shutdown is held until the update is over, and the
// system is kept awake; the first interrupt says so, once. Before and after, nothing changes.
TEST_F(UpdateTest, UpdateIsShieldedFromItsFirstChunkToItsVerdict) {
    const char* const OLDER = "MATSHITADVD-RAM UJ-85J  0.99";
    const std::vector<std::string> raised = {"command 12", "SetConsoleCtrlHandler(add)",
                                             "SetThreadExecutionState(80000001)", "command EA",
                                             "Ctrl+C: 1", "Ctrl+Break: 1", "close: 1"};
    const std::vector<std::string> lowered = {"SetConsoleCtrlHandler(remove)",
                                              "SetThreadExecutionState(80000002)"};
    auto then = [](std::vector<std::string> calls, const std::vector<std::string>& more) {
        calls.insert(calls.end(), more.begin(), more.end());
        return calls;
    };
    struct Case {
        const char* what;
        const char* answer;
        const char* drive;
        int32_t checkConditionOn;
        bool executionStateCall;  // kernel32 has SetThreadExecutionState
        int status;
        std::string errors;
        std::vector<std::string> calls;
    } cases[] = {
        {"finished", "y\n", OLDER, 0, true, 0, UPDATE_SHIELD_NOTICE,
         then(then(raised, {"command F5"}), lowered)},
        {"a chunk refused", "y\n", OLDER, 2, true, 1,
         UPDATE_SHIELD_NOTICE + std::string("sp_write returned -258\n") +
             chunkFailed("1 of 1 failed: the drive had accepted 0 of the image's 1000",
                         "the drive answered CHECK CONDITION: NO SENSE (0/70/70)\n"),
         then(raised, lowered)},
        {"finished on a Windows without SetThreadExecutionState", "y\n", OLDER, 0, false, 0,
         UPDATE_SHIELD_NOTICE,
         {"command 12", "SetConsoleCtrlHandler(add)", "command EA", "Ctrl+C: 1",
          "Ctrl+Break: 1", "close: 1", "command F5", "SetConsoleCtrlHandler(remove)"}},
        {"declined", "n\n", OLDER, 0, true, 0, "", {"command 12"}},
        {"refused, another drive", "y\n", "MATSHITABD-MLT UJ-260   1.00", 0, true, 1,
         "the image is made for \"MATSHITADVD-RAM UJ-85J\", the drive is \"MATSHITABD-MLT "
         "UJ-260\"\n" + OTHER_MODEL_ADVICE,
         {"command 12"}},
    };
    for (const Case& c : cases) {
        FreshFakeKernel32 fresh;
        if (!c.executionStateCall) fresh->kernel32.entries.erase("SetThreadExecutionState");
        fresh->executionState = ES_CONTINUOUS | 0x2;  // a display kept on by someone before
        // The user presses Ctrl+C and Ctrl+Break and closes the console as the first chunk
        // goes out; the handlers answer at once here, as nothing else runs.
        fresh->onPassThrough = [&fresh](DWORD, uint8_t* request) {
            const uint8_t operation = request[offsetof(SCSI_PASS_THROUGH, Cdb)];
            char command[16];
            snprintf(command, sizeof command, "command %02X", operation);
            fresh->sessionCalls.push_back(command);
            if (operation != 0xEA) return;
            const std::vector<PHANDLER_ROUTINE> handlers = fresh->consoleHandlers;
            for (PHANDLER_ROUTINE handler : handlers) {
                fresh->sessionCalls.push_back("Ctrl+C: " + std::to_string(handler(CTRL_C_EVENT)));
                fresh->sessionCalls.push_back("Ctrl+Break: " +
                                              std::to_string(handler(CTRL_BREAK_EVENT)));
                fresh->sessionCalls.push_back("close: " + std::to_string(handler(CTRL_CLOSE_EVENT)));
            }
        };
        SimDrive drive = newSimDrive(c.drive);
        drive.checkConditionOn = c.checkConditionOn;
        drive.faultSense = Bytes(14, 0x70);
        const KelvoRun run = updateDriveE(&drive, firmwareImage(1000), c.answer);
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_EQ(run.errors, c.errors) << c.what;
        EXPECT_EQ(fresh->sessionCalls, c.calls) << c.what;
        EXPECT_TRUE(fresh->consoleHandlers.empty()) << c.what;
        // The closing console was held on the event that the update's end sets.
        const bool shielded = c.calls.size() > 1;
        EXPECT_EQ(fresh->waitMilliseconds, std::vector<DWORD>(shielded ? 1 : 0, INFINITE))
            << c.what;
    }
}

// From the yes to the update's end kelvo holds the machine's one update and, where the driver
// offers it, the drive; a second update, or a drive another program holds, is refused before
// the first chunk, and every ending gives back what was taken.
TEST_F(UpdateTest, UpdateHoldsTheMachineAndTheDriveFromTheYesToTheEnd) {
    const char* const LOCK = "Global\\kelvo-update";
    const char* const HOLDER = "Global\\kelvo-update-holder";
    const std::string otherRuns = "another kelvo update is running on this machine";
    const std::string runAgain =
        ": kelvo updates one drive at a time\n" +
        nothingWritten("run kelvo again once the other update has ended");
    const std::vector<std::string> lockedAndUnlocked = {"lock kelvo", "unlock"};
    const std::vector<std::string> refusedAndAsked = {"lock kelvo", "query"};
    const std::string heldWhileWriting = "kelvo, process 4321, drive e: / kelvo";
    const std::string heldByImapi2 =
        "the drive is held by IMAPI2, another program that keeps it for itself\n" +
        nothingWritten("close the program that burns or plays discs, then run kelvo again");
    const std::string deniedInquiry =
        "// sptxSay.DeviceIoControl: x5 (5) Access is denied.\r\n"
        "// sptxSay x 0 0 29 E (ioctl status length senseLength)\n";
    struct Case {
        const char* what;
        int32_t checkConditionOn;  // commands counted from 1: INQUIRY, the chunk, the closing
        int32_t silentAfterRestart;  // -1: no restart on the closing command
        int status;
        std::string errors;        // "-": told elsewhere
        std::vector<std::string> driveRequests;
        std::string held;          // the lock's words and the drive's holder at the chunk
        const char* othersWords = nullptr;  // another kelvo holds the lock, with these words
        const char* drivesHolder = "";      // another program holds the drive
        bool exclusiveNotOffered = false;
        const char* takesDriveAtQuestion = nullptr;  // another program, as kelvo asks
        bool othersLockAtQuestion = false;  // the other kelvo begins as kelvo asks, not before
    } cases[] = {
        {"finished", 0, -1, 0, "", lockedAndUnlocked, heldWhileWriting},
        {"a chunk failed", 2, -1, 1, "-", lockedAndUnlocked, heldWhileWriting},
        {"closing failed and taken", 0, 0, 0, "-", lockedAndUnlocked, heldWhileWriting},
        {"closing failed and not taken", 3, -1, 1, "-", lockedAndUnlocked, heldWhileWriting},
        {"another kelvo's window begins at the question", 0, -1, 1,
         otherRuns + " (kelvo-gui, process 77, drive D:)" + runAgain, {}, "",
         "kelvo-gui, process 77, drive D:", "", false, nullptr, true},
        // Running already: no drive is opened.
        {"another kelvo runs that left no words", 0, -1, 1, otherRuns + runAgain, {}, "", ""},
        {"the drive held by IMAPI2 before the question", 0, -1, 1, deniedInquiry + heldByImapi2,
         {"query"}, "", nullptr, "IMAPI2"},
        {"the drive taken by IMAPI2 at the question", 0, -1, 1, heldByImapi2, refusedAndAsked,
         "", nullptr, "", false, "IMAPI2"},
        {"no exclusive access in the driver", 0, -1, 0, "", refusedAndAsked,
         "kelvo, process 4321, drive e: / ", nullptr, "", true},
    };
    for (const Case& c : cases) {
        FreshFakeKernel32 fresh;
        fresh->processId = 4321;
        fresh->exclusiveHolder = c.drivesHolder;
        fresh->exclusiveNotOffered = c.exclusiveNotOffered;
        const auto othersBegin = [&fresh, &c, LOCK, HOLDER] {
            fresh->namedObjects[LOCK] = {1, ""};
            fresh->namedObjects[HOLDER] = {1, std::string(c.othersWords) + std::string(200, '\0')};
        };
        if (c.othersWords != nullptr && !c.othersLockAtQuestion) othersBegin();
        std::string held;
        fresh->onPassThrough = [&](DWORD, uint8_t* request) {
            const uint8_t operation = request[offsetof(SCSI_PASS_THROUGH, Cdb)];
            if (operation == 0x12 && c.othersLockAtQuestion) othersBegin();
            if (operation == 0x12 && c.takesDriveAtQuestion != nullptr)
                fresh->exclusiveHolder = c.takesDriveAtQuestion;
            if (operation != 0xEA || !held.empty()) return;
            const bool locked = fresh->namedObjects.count(LOCK) == 1;
            held = std::string(locked ? fresh->namedObjects[HOLDER].bytes.c_str() : "free") +
                   " / " + fresh->exclusiveHolder;
        };
        SimDrive drive = newSimDrive("MATSHITADVD-RAM UJ-85J  0.99");
        drive.checkConditionOn = c.checkConditionOn;
        drive.faultSense = WRITE_ERROR;
        drive.restartsOnClosing = c.silentAfterRestart >= 0;
        drive.silentAfterRestart = c.silentAfterRestart;
        const KelvoRun run = updateDriveE(&drive, firmwareImage(1000), "y\n");
        EXPECT_EQ(run.status, c.status) << c.what;
        if (c.errors != "-") {
            EXPECT_EQ(run.errors, c.errors) << c.what;
        }
        EXPECT_EQ(held, c.held) << c.what;
        EXPECT_EQ(cdbsSent(drive).size() <= 1, c.held.empty()) << c.what;  // the INQUIRY at most
        if (c.othersWords != nullptr && !c.othersLockAtQuestion) {
            EXPECT_TRUE(cdbsSent(drive).empty()) << c.what;  // not even asked
        }
        EXPECT_EQ(fresh->exclusiveRequests, c.driveRequests) << c.what;
        EXPECT_EQ(fresh->exclusiveHolder,
                  c.takesDriveAtQuestion != nullptr ? c.takesDriveAtQuestion : c.drivesHolder)
            << c.what;
        // Released: only another process's objects are left.
        EXPECT_EQ(fresh->namedObjects.size(), c.othersWords != nullptr ? 2u : 0u) << c.what;
        for (const auto& object : fresh->namedObjects)
            EXPECT_EQ(object.second.handles, 1) << c.what;
    }
}

TEST_F(UpdateTest, DriveOpensByLetterOrByDevicePath) {
    struct Case {
        const char* argument;
        const char* device;
    } cases[] = {
        {"e:", "\\\\.\\e:"},
        {"E:\\firmware", "\\\\.\\E:"},
        {"\\\\.\\CdRom0", "\\\\.\\CdRom0"},
    };
    for (const Case& c : cases) {
        FreshFakeKernel32 fresh;
        SimDrive drive = newSimDrive(FIRMWARE);
        fresh->devices[c.device] = &drive;
        const Bytes image = firmwareImage(1000);
        const KelvoRun run = runKelvo({c.argument, writeFile(image)}, "y\n");
        EXPECT_EQ(run.status, 0) << c.argument;
        EXPECT_EQ(fresh->createFileNames, std::vector<std::string>{c.device}) << c.argument;
        EXPECT_TRUE(payloadOf(image) == drive.payload) << c.argument;
    }
}

// A file that cannot be read whole never becomes an image: a pipe (as a shell's <(...) gives)
// cannot seek, an empty file is too short; Windows may deny it, lock it or read it short.
TEST_F(UpdateTest, FileThatCannotBeReadWholeIsRefusedBeforeTheDrive) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const Bytes image = firmwareImage(1000);
    ASSERT_EQ(write(pipeEnds[1], image.data(), image.size()), ssize_t(image.size()));
    close(pipeEnds[1]);
    const std::string file = writeFile(image);
    const std::string cannotRead = "open for read error\nthe file " + file + " cannot be read: ";
    const std::string checkName = nothingWritten("check the file's name and the folder you run "
                                                 "kelvo in");
    struct Case {
        std::string file;
        std::string errors;
        DWORD openError = ERROR_SUCCESS;
        size_t readShortBy = 0;
    } cases[] = {
        {"/dev/fd/" + std::to_string(pipeEnds[0]),
         "open for read error\nthe file /dev/fd/" + std::to_string(pipeEnds[0]) +
             " cannot be read: its size cannot be told (a pipe?)\n" +
             nothingWritten("give kelvo the firmware file itself")},
        {writeFile({}), "flash data appears to be too short\n" +
                            nothingWritten("use the firmware file itself, not a shortcut or a "
                                           "download page")},
        {file, cannotRead + "access is denied\n" + checkName, ERROR_ACCESS_DENIED},
        {file,
         cannotRead + "another program holds it locked\n" +
             nothingWritten("close the program that holds the file, then run kelvo again"),
         ERROR_SHARING_VIOLATION},
        {file, cannotRead + "it holds fewer bytes than its size says\n" + checkName,
         ERROR_SUCCESS, 1},
    };
    for (const Case& c : cases) {
        FreshFakeKernel32 fresh;
        fresh->fileOpenError = c.openError;
        fresh->readShortBy = c.readShortBy;
        const KelvoRun run = runKelvo({"e:", c.file}, "y\n");
        EXPECT_EQ(run.status, 1) << c.file;
        EXPECT_EQ(run.output, "") << c.file;
        EXPECT_EQ(run.errors, c.errors) << c.file;
        EXPECT_TRUE(fresh->createFileNames.empty()) << c.file;
    }
    close(pipeEnds[0]);
}

// A program can be started without even its own name.
TEST(Usage, ProgramStartedWithoutArgumentsNamesItselfKelvo) {
    char* none[] = {nullptr};
    RedirectedStdio stdio("");
    EXPECT_EQ(kelvoMain(0, none), 1);
    const std::string errors = stdio.errors();
    const std::string usage = errors.substr(errors.find('\n') + 1);
    EXPECT_EQ(usage.substr(0, usage.find('\n') + 1), "usage: kelvo <device index> <file to flash>\n");
}

// An image without payload cannot come from a file (too short), only from a container.
TEST_F(UpdateTest, ImageWithoutPayloadSendsOnlyTheClosingCommand) {
    SimDrive drive = newSimDrive(FIRMWARE);
    fake->devices[DRIVE_E] = &drive;
    Scsi* scsi = newScsi();
    ASSERT_EQ(scsiOpen(scsi, DRIVE_E), 0);
    scsiSetSenseLength(scsi, 14);
    scsiSetTimeout(scsi, 300, 0);
    Bytes image = firmwareImage(0);
    TransferProgress progress = {};
    EXPECT_EQ(sendFirmware(scsi, image.data(), uint32_t(image.size()), &progress, {}), 0);
    EXPECT_TRUE(drive.commands.empty());
    uint8_t answer[1024];
    sendClosingCommand(scsi, answer);
    EXPECT_EQ(cdbsSent(drive), std::vector<Bytes>{CLOSING});
}

TEST_F(UpdateTest, ImageInAHexContainerIsSavedAndFlashed) {
    SimDrive drive = newSimDrive(FIRMWARE);
    const Bytes image = firmwareImage(100000);
    files.push_back(directory + "/extracted.dat");
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(directory.c_str()), 0);  // extracted.dat goes to the current directory
    const KelvoRun run = updateDriveE(&drive, hexContainer(image), "y\n");
    ASSERT_EQ(chdir(here), 0);

    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, selected(FIRMWARE) + UPDATE_RUNS + "Finished\n");
    EXPECT_EQ(run.errors, "the image found in the container was saved as " + directory +
                              "/extracted.dat\n" + SAME_FIRMWARE);
    EXPECT_TRUE(payloadOf(image) == drive.payload);
    EXPECT_TRUE(drive.activated);
    FILE* saved = fopen((directory + "/extracted.dat").c_str(), "rb");
    ASSERT_NE(saved, nullptr);
    Bytes extracted(image.size() + 1);
    extracted.resize(fread(extracted.data(), 1, extracted.size(), saved));
    fclose(saved);
    EXPECT_TRUE(extracted == image);
}

// Started from Explorer, kelvo.exe has a console of its own that closes as it ends: it says
// how kelvo is run and waits for Enter, but only where Enter can come from that console.
TEST(OwnConsole, HeldOnlyWhereTheProgramAloneUsesItAndReadsIt) {
    const struct {
        DWORD processes;  // 0: a Windows without GetConsoleProcessList
        bool inputIsConsole;
        bool held;
    } cases[] = {{1, true, true}, {2, true, false}, {1, false, false}, {0, true, false}};
    for (const auto& c : cases) {
        FreshFakeKernel32 fake;
        fake->consoleProcesses = c.processes;
        if (c.processes == 0) fake->kernel32.entries.erase("GetConsoleProcessList");
        fake->inputIsConsole = c.inputIsConsole;
        RedirectedStdio stdio("");
        platformHoldOwnConsole(stderr);
        const std::string errors = stdio.errors();
        EXPECT_EQ(errors.find("kelvo runs in a Command Prompt run as administrator") == 0, c.held);
        EXPECT_EQ(errors.find("press Enter to close this window\n") != std::string::npos, c.held);
        EXPECT_EQ(fake->sessionCalls,
                  std::vector<std::string>(c.held ? 1 : 0, "ReadConsoleA"));
    }
}

}  // namespace
