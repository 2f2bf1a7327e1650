// kelvo's window without the window: what it offers for each file and drive, and the update
// it runs, over simulated drives behind the scriptable kernel32's drive letters.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fake_kernel32.h"
#include "gui_state.h"
#include "test_images.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const char* const OLD = "MATSHITADVD-RAM UJ-85J  1.00";
const char* const NEW = "MATSHITADVD-RAM UJ-85J  1.01";

std::string textOf(void (*describe)(const Gui*, Text*), const Gui* gui) {
    Text text = {};
    describe(gui, &text);
    return text.chars;
}

std::string driveWords(const Gui* gui, int32_t drive) {
    Text text = {};
    guiDescribeDrive(gui, drive, &text);
    return text.chars;
}

class GuiTest : public ::testing::Test {
protected:
    FreshFakeKernel32 fake;
    std::vector<SimDrive> drives = std::vector<SimDrive>(26);
    std::string directory;

    void SetUp() override {
        char name[] = "/tmp/kelvo-gui-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
    }

    void TearDown() override { EXPECT_EQ(system(("rm -rf '" + directory + "'").c_str()), 0); }

    std::string file(const std::string& name, const Bytes& bytes) {
        const std::string path = directory + "/" + name;
        FILE* out = fopen(path.c_str(), "wb");
        EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
        fclose(out);
        return path;
    }

    SimDrive* cdRom(char letter, const char* identification) {
        SimDrive* drive = &drives[size_t(letter - 'A')];
        *drive = newSimDrive(identification);
        fake->driveTypes[letter] = DRIVE_CDROM;
        fake->devices[std::string("\\\\.\\") + letter + ":"] = drive;
        return drive;
    }
};

// What the window offers for each drive of the list, with no file, a valid one and a refused
// one: Update only where kelvo takes the drive for the file without -f.
TEST_F(GuiTest, UpdateIsOfferedOnlyForADriveTheFileFits) {
    cdRom('D', OLD);
    cdRom('E', "PLEXTOR DVDR   PX-716A  1.11");
    fake->driveTypes['F'] = DRIVE_CDROM;  // a letter that does not open
    cdRom('G', "MATSHITADVD-RAM UJ-86J  1.00");
    cdRom('H', NEW);
    cdRom('I', OLD)->peripheralType = 0;  // a disk that calls itself a MATSHITA drive
    const std::string newer = file("new.bin", firmwareImage(1000, NEW));
    Bytes badSum = firmwareImage(1000, NEW);
    badSum[42] ^= 1;
    const std::string refused = file("bad-sum.bin", badSum);
    const std::string notFitting = "the window updates only a drive the file fits";
    const std::string forceElsewhere = notFitting + "; forcing stays with kelvo.exe -f";
    const struct {
        std::string file;  // "" for none chosen
        int32_t drive;     // of D:, E:, F:, G:, H:, I:; -1 for none
        bool mayUpdate;
        std::string driveWords;
        std::string nextStep;
    } cases[] = {
        {"", 0, false, "a MATSHITA drive kelvo updates", "choose the firmware file"},
        {"", 1, false, "another vendor's drive", "choose the firmware file"},
        {newer, -1, false, "", "choose the drive to update"},
        {newer, 0, true, "the file fits", "Update writes " + std::string(NEW) +
                                               " to the drive at D:"},
        {newer, 4, true, "the file fits; the drive runs it already",
         "Update writes " + std::string(NEW) + " to the drive at H:"},
        {newer, 1, false, "the file does not fit: another vendor's drive", forceElsewhere},
        {newer, 3, false, "the file does not fit: another model", forceElsewhere},
        {newer, 2, false, "kelvo cannot open it: no such device: // sptxOpen.CreateFile: x2 (2) "
                          "The system cannot find the file specified.",
         notFitting},
        {newer, 5, false, "not a CD/DVD drive: kelvo updates none but those", notFitting},
        {refused, 0, false, "a MATSHITA drive kelvo updates",
         "download the file again; never force such an image"},
    };
    Gui* gui = newGui();
    guiRefresh(gui);
    ASSERT_EQ(guiDriveCount(gui), 6);
    EXPECT_EQ(textOf(guiDescribeListing, gui), "");
    for (const auto& c : cases) {
        if (!c.file.empty()) guiChooseFile(gui, c.file.c_str());
        guiSelectDrive(gui, c.drive);
        EXPECT_EQ(guiMayUpdate(gui), c.mayUpdate) << c.driveWords;
        if (c.drive >= 0) {
            EXPECT_EQ(driveWords(gui, c.drive), c.driveWords);
        }
        EXPECT_EQ(textOf(guiDescribeNextStep, gui), c.nextStep) << c.driveWords;
    }
    EXPECT_EQ(textOf(guiDescribeFile, gui),
              "fatal: checksum error in file " + refused + ", expected D95C, current D85C\n");
    EXPECT_EQ(textOf(guiDescribeConfirmation, gui), "");  // nothing to confirm
    // Only INQUIRY went to any drive, and no file was written.
    for (const SimDrive& drive : drives)
        for (const SimCommand& command : drive.commands) EXPECT_EQ(command.cdb[0], 0x12);
}

// A system where nothing was found says so in a sentence, never with an empty list alone.
TEST_F(GuiTest, NoDriveFoundIsSaid) {
    Gui* gui = newGui();
    guiRefresh(gui);
    EXPECT_EQ(guiDriveCount(gui), 0);
    EXPECT_EQ(textOf(guiDescribeListing, gui),
              "no optical drive found: run kelvo-list as an administrator, and check that "
              "Windows shows the drive as a CD-ROM drive with a letter, or that an ASPI layer is "
              "installed\n");
    guiChooseFile(gui, file("new.bin", firmwareImage(1000, NEW)).c_str());
    EXPECT_EQ(textOf(guiDescribeNextStep, gui), "no drive to update was found");

    // A window without the administrator's rights opens no drive.
    cdRom('D', OLD);
    fake->createFileError = ERROR_ACCESS_DENIED;
    guiRefresh(gui);
    EXPECT_EQ(textOf(guiDescribeListing, gui),
              "Windows keeps kelvo from a drive: start kelvo's window as administrator\n");
}

void countProgress(void* context, const TransferProgress& progress) {
    static_cast<std::vector<uint32_t>*>(context)->push_back(progress.chunksAccepted);
}

// The update as kelvo runs it, in kelvo's words: the whole payload and the closing command,
// or the failed chunk and what to do; afterwards nothing more is offered until the file is
// read again.
TEST_F(GuiTest, UpdateEndsAsKelvosDoes) {
    const std::string selected = std::string("Selected firmware: ") + NEW +
                                 "\nSelected device:   " + OLD + "\n";
    const std::string running = "Firmware update running, do not interrupt ...";
    const struct {
        int32_t checkConditionOn;
        bool finished;
        std::string report;
        std::vector<uint32_t> progress;
    } cases[] = {
        {0, true, selected + running + "Finished\n", {0, 1, 2}},
        // The drive's commands counted from 1: the listing's INQUIRY, the update's, the chunks.
        {4, false,
         selected + running + "\nsp_write returned -258\nchunk 2 of 2 failed: the drive had "
                              "accepted 32768 of the image's 40000 payload bytes\nthe drive "
                              "answered CHECK CONDITION: NO SENSE (0/70/70)\nthe closing command "
                              "was not sent, so the drive has not taken the new image\nwhat to "
                              "do: leave the machine and the drive powered on and run kelvo "
                              "again with the same file (kelvo-list shows what the drive reports "
                              "now); if it fails again, keep the drive powered and try another "
                              "connection or path to it before you turn it off\n",
         {0, 1}},
    };
    const Bytes image = firmwareImage(40000, NEW);
    for (const auto& c : cases) {
        FreshFakeKernel32 fresh;
        SimDrive* drive = cdRom('E', OLD);
        drive->checkConditionOn = c.checkConditionOn;
        drive->faultSense = Bytes(14, 0x70);
        Gui* gui = newGui();
        guiRefresh(gui);
        guiChooseFile(gui, file("new.bin", image).c_str());
        guiSelectDrive(gui, 0);
        ASSERT_TRUE(guiMayUpdate(gui));
        const std::string question = textOf(guiDescribeConfirmation, gui);
        EXPECT_NE(question.find(std::string("the file's firmware:   ") + NEW + "\n"),
                  std::string::npos);
        EXPECT_NE(question.find(std::string("the drive at E: now:   ") + OLD + "\n"),
                  std::string::npos);
        EXPECT_NE(question.find("cannot be stopped"), std::string::npos);
        EXPECT_NE(question.find("powered"), std::string::npos);

        std::vector<uint32_t> progress;
        ASSERT_TRUE(guiStartUpdate(gui));
        EXPECT_FALSE(guiMayUpdate(gui));  // nothing else starts meanwhile
        guiRunUpdate(gui, {&progress, countProgress, nullptr, nullptr});
        guiEndUpdate(gui);
        EXPECT_EQ(gui->finished, c.finished);
        EXPECT_EQ(std::string(gui->report.chars), c.report);
        EXPECT_EQ(progress, c.progress);
        EXPECT_EQ(drive->activated, c.finished);
        if (c.finished) {
            EXPECT_TRUE(Bytes(image.begin() + 48, image.end()) == drive->payload);
        }
        EXPECT_EQ(gui->phase, GUI_ENDED);
        EXPECT_FALSE(guiMayUpdate(gui));
        EXPECT_EQ(fresh->openHandles, 0);
        guiRefresh(gui);  // the file is read again, for another update
        guiSelectDrive(gui, 0);
        EXPECT_TRUE(guiMayUpdate(gui));
    }
}

}  // namespace
