// kelvo's window without the window: what it offers for each file and drive, the checks before
// its question and the update it runs, over simulated drives behind the scriptable kernel32's
// drive letters. The steps the window runs on threads run here one after the other.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "fake_kernel32.h"
#include "gui_state.h"
#include "run_kelvo.h"
#include "test_images.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const char* const OLD = "MATSHITADVD-RAM UJ-85J  1.00";
const char* const NEW = "MATSHITADVD-RAM UJ-85J  1.01";
const char* const PLEXTOR = "PLEXTOR DVDR   PX-716A  1.11";

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

// The window's steps, each run where the window would run it on a thread.
void listDrives(Gui* gui) {
    if (guiAskDrives(gui))
        while (guiDrivesListed(gui, guiListDrives())) {
        }
}

void chooseFile(Gui* gui, const std::string& path) {
    ASSERT_TRUE(guiChooseFile(gui, path.c_str()));
    GuiFileRead read = {};
    snprintf(read.path, sizeof read.path, "%s", path.c_str());
    guiReadFile(&read);
    guiFileRead(gui, &read);
}

// Update pressed: the checks, then the question answered `yes` (after `whileAsked`), then the
// update to its end.
void pressUpdate(Gui* gui, bool yes, const UpdateObserver& observer = {},
                 const std::function<void()>& whileAsked = [] {}) {
    char index[LISTED_INDEX_SIZE], path[GUI_PATH_SIZE];
    ASSERT_TRUE(guiStartChecking(gui, index, path));
    EXPECT_FALSE(guiMayUpdate(gui));  // nothing else starts meanwhile
    guiChecked(gui, decideUpdate(index, path, false));
    whileAsked();
    if (!guiAnswer(gui, yes)) return;
    EXPECT_FALSE(guiMayUpdate(gui));
    guiRunUpdate(gui, observer);
    guiEndUpdate(gui);
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

    void unplug(char letter) {
        fake->driveTypes.erase(letter);
        fake->devices.erase(std::string("\\\\.\\") + letter + ":");
    }

    // A window with `letter`'s drive listed and chosen, and the file chosen.
    Gui* readyToUpdate(const std::string& path, int32_t drive = 0) {
        Gui* gui = newGui();
        listDrives(gui);
        chooseFile(gui, path);
        guiSelectDrive(gui, drive);
        EXPECT_TRUE(guiMayUpdate(gui));
        return gui;
    }
};

// What the window offers for each drive of the list, with no file, a valid one and a refused
// one: Update only where kelvo takes the drive for the file without -f.
TEST_F(GuiTest, UpdateIsOfferedOnlyForADriveTheFileFits) {
    cdRom('D', OLD);
    cdRom('E', PLEXTOR);
    fake->driveTypes['F'] = DRIVE_CDROM;  // a letter that does not open
    cdRom('G', "MATSHITADVD-RAM UJ-86J  1.00");
    cdRom('H', NEW);
    cdRom('I', OLD)->peripheralType = 0;  // a disk that calls itself a MATSHITA drive
    const std::string newer = file("new.bin", firmwareImage(1000, NEW));
    const std::string forPlextor = file("plextor.bin", firmwareImage(1000, PLEXTOR));
    Bytes badSum = firmwareImage(1000, NEW);
    badSum[42] ^= 1;
    const std::string refused = file("bad-sum.bin", badSum);
    const std::string expert = ". kelvo.exe -f, the console's expert option, can force it; use "
                               "it only when you know better than the drive's name";
    const std::string plextorDrive =
        "the drive at E: calls itself \"PLEXTOR\", not MATSHITA: kelvo updates MATSHITA drives "
        "alone" + expert;
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
        {newer, 1, false, "the file does not fit: another vendor's drive", plextorDrive},
        // Made for that vendor's drive, it still goes to a MATSHITA drive alone.
        {forPlextor, 1, false, "the file does not fit: another vendor's drive", plextorDrive},
        {newer, 3, false, "the file does not fit: another model",
         "the file is made for \"MATSHITADVD-RAM UJ-85J\", the drive at G: is \"MATSHITADVD-RAM "
         "UJ-86J\": find the firmware file made for the drive's model" + expert},
        {newer, 2, false, "kelvo cannot open it: no such device: // sptxOpen.CreateFile: x2 (2) "
                          "The system cannot find the file specified.",
         "the drive at F: does not answer kelvo: check that it is connected and no other program "
         "uses it, then press Refresh"},
        {newer, 5, false, "not a CD/DVD drive: kelvo updates none but those",
         "the device at I: is a direct-access device (a disk), not a CD/DVD drive: choose the "
         "CD/DVD drive to update"},
        {refused, 0, false, "a MATSHITA drive kelvo updates",
         "download the file again; never force such an image"},
    };
    Gui* gui = newGui();
    listDrives(gui);
    ASSERT_EQ(guiDriveCount(gui), 6);
    EXPECT_EQ(textOf(guiDescribeListing, gui), "");
    for (const auto& c : cases) {
        if (!c.file.empty()) chooseFile(gui, c.file);
        guiSelectDrive(gui, c.drive);
        EXPECT_EQ(guiMayUpdate(gui), c.mayUpdate) << c.driveWords;
        if (c.drive >= 0) {
            EXPECT_EQ(driveWords(gui, c.drive), c.driveWords);
        }
        EXPECT_EQ(textOf(guiDescribeNextStep, gui), c.nextStep) << c.driveWords;
    }
    EXPECT_EQ(textOf(guiDescribeFile, gui),
              "fatal: checksum error in file " + refused + ", expected D95C, current D85C\n");
    // Only INQUIRY went to any drive, and no file was written.
    for (const SimDrive& drive : drives)
        for (const SimCommand& command : drive.commands) EXPECT_EQ(command.cdb[0], 0x12);
}

// A system where nothing was found says so in a sentence, never with an empty list alone.
TEST_F(GuiTest, NoDriveFoundIsSaid) {
    Gui* gui = newGui();
    listDrives(gui);
    EXPECT_EQ(guiDriveCount(gui), 0);
    EXPECT_EQ(textOf(guiDescribeListing, gui),
              "no optical drive found: check that Explorer shows the drive as a CD or DVD drive "
              "with a letter, or that an ASPI layer is installed, then press Refresh\n");
    chooseFile(gui, file("new.bin", firmwareImage(1000, NEW)));
    EXPECT_EQ(textOf(guiDescribeNextStep, gui), "no drive to update was found");

    // A window without the administrator's rights opens no drive.
    cdRom('D', OLD);
    fake->createFileError = ERROR_ACCESS_DENIED;
    listDrives(gui);
    EXPECT_EQ(textOf(guiDescribeListing, gui),
              "Windows keeps kelvo from a drive: start kelvo's window as administrator\n");
}

// The drives are listed on a thread while the window goes on: meanwhile it says so and offers
// no update; a listing asked for again meanwhile drops the one out; the system's notices of
// drives coming and going list them again, but never while a drive is checked or written;
// the chosen drive stays chosen only while it is listed under its index.
TEST_F(GuiTest, ListingsFollowTheDrives) {
    cdRom('D', OLD);
    cdRom('E', OLD);
    const std::string newer = file("new.bin", firmwareImage(1000, NEW));
    Gui* gui = readyToUpdate(newer, 1);

    ASSERT_TRUE(guiAskDrives(gui));  // a refresh: out on its thread
    EXPECT_EQ(textOf(guiDescribeListing, gui), "asking the drives kelvo can reach who they are ...\n");
    EXPECT_EQ(textOf(guiDescribeNextStep, gui), "wait while kelvo asks the drives");
    EXPECT_FALSE(guiMayUpdate(gui));
    EXPECT_FALSE(guiAskDrives(gui));  // a notice meanwhile: this one is dropped when it ends
    Listing* stale = guiListDrives();
    EXPECT_TRUE(guiDrivesListed(gui, stale));  // dropped: list again
    cdRom('C', OLD);                            // a drive plugged in before E:
    EXPECT_FALSE(guiDrivesListed(gui, guiListDrives()));
    ASSERT_EQ(guiDriveCount(gui), 3);
    EXPECT_EQ(gui->selected, 2);  // E:, still listed under its index
    EXPECT_TRUE(guiMayUpdate(gui));

    unplug('E');
    listDrives(gui);
    EXPECT_EQ(gui->selected, -1);  // gone: the choice goes, and Update with it
    EXPECT_FALSE(guiMayUpdate(gui));
    guiSelectDrive(gui, 1);
    guiSelectDrive(gui, -1);  // the selection cleared in the list
    EXPECT_FALSE(guiMayUpdate(gui));
    EXPECT_EQ(textOf(guiDescribeNextStep, gui), "choose the drive to update");

    // While an update runs, a notice waits for its end.
    guiSelectDrive(gui, 1);
    char index[LISTED_INDEX_SIZE], path[GUI_PATH_SIZE];
    ASSERT_TRUE(guiStartChecking(gui, index, path));
    EXPECT_FALSE(guiAskDrives(gui));
    EXPECT_FALSE(guiDrivesPending(gui));
    guiChecked(gui, decideUpdate(index, path, false));
    ASSERT_TRUE(guiAnswer(gui, true));
    EXPECT_FALSE(guiAskDrives(gui));
    guiRunUpdate(gui, {});
    EXPECT_FALSE(guiDrivesPending(gui));
    guiEndUpdate(gui);
    EXPECT_TRUE(guiDrivesPending(gui));
    EXPECT_FALSE(guiDrivesPending(gui));  // once
    listDrives(gui);
    EXPECT_EQ(driveWords(gui, 1), "the file fits; the drive runs it already");
    // A drive chosen after the end may be updated again: the file is read again for it.
    guiSelectDrive(gui, 0);
    EXPECT_TRUE(guiMayUpdate(gui));
}

// What a window shows of an update as it runs: the chunks accepted, each stage in words.
struct Shown {
    std::vector<uint32_t> chunks;
    std::vector<std::string> stages;
};

void countProgress(void* context, const TransferProgress& progress) {
    static_cast<Shown*>(context)->chunks.push_back(progress.chunksAccepted);
}

void sayStage(void* context, UpdateStage stage) {
    Text words = {};
    describeStage(&words, stage, {1, 2, 32768, 40000});
    static_cast<Shown*>(context)->stages.push_back(words.chars);
}

// The update as kelvo runs it, in kelvo's words, and each of its ends under its own heading.
TEST_F(GuiTest, UpdateEndsAsKelvosDoesUnderItsOwnHeading) {
    const std::string selected = std::string("Selected firmware: ") + NEW +
                                 "\nSelected device:   " + OLD + "\n";
    const std::string running = "Firmware update running, do not interrupt ...";
    const std::string notTaken = "the update may not have taken: power-cycle the drive and check "
                                 "its firmware before using it\n";
    const std::string WRITING = "chunk 1 of 2 written";
    const std::string CLOSING =
        "every chunk written: the closing command tells the drive to take the image";
    const std::string ASKING = "the drive failed the closing command: asking it who it is now, "
                               "for up to 30 seconds";
    const struct {
        const char* what;
        int32_t checkConditionOn;  // the drive's commands counted from 1: the listing's
                                   // INQUIRY, the update's, the two chunks, the closing command
        bool restartsOnClosing;
        const char* heading;
        std::string report;
        std::vector<uint32_t> progress;
        std::vector<std::string> stages;
        bool anotherUpdateRuns = false;  // another kelvo holds the machine's update lock
    } cases[] = {
        {"finished", 0, false, "Finished: the drive took the new firmware",
         selected + running + "Finished\n", {0, 1, 2}, {WRITING, CLOSING, ""}},
        {"a chunk failed", 4, false,
         "Stopped at a chunk: the drive has not taken the new firmware",
         selected + running + "\nsp_write returned -258\nchunk 2 of 2 failed: the drive had "
                              "accepted 32768 of the image's 40000 payload bytes\nthe drive "
                              "answered CHECK CONDITION: NO SENSE (0/70/70)\nthe closing command "
                              "was not sent, so the drive has not taken the new image\nwhat to "
                              "do: leave the machine and the drive powered on and run kelvo "
                              "again with the same file (kelvo-list shows what the drive reports "
                              "now); if it fails again, keep the drive powered and try another "
                              "connection or path to it before you turn it off\n",
         {0, 1}, {WRITING, ""}},
        {"the closing command failed, the drive names the image", 0, true,
         "Finished: the drive restarted with the new firmware", "", {0, 1, 2},
         {WRITING, CLOSING, ASKING, ""}},
        {"the closing command failed, the drive does not name the image", 5, false,
         "The update may not have taken: power-cycle the drive",
         selected + running + "\nclosing command returned -258\nthe drive answered CHECK "
                              "CONDITION: NO SENSE (0/70/70)\nthe drive now reports " + OLD +
             ", not the image's " + NEW + "\n" + notTaken,
         {0, 1, 2}, {WRITING, CLOSING, ASKING, ""}},
        {"another kelvo update runs", 0, false, "Nothing was written to the drive",
         selected + "another kelvo update is running on this machine: kelvo updates one drive at "
                    "a time\nnothing was written to the drive: run kelvo again once the other "
                    "update has ended\n",
         {}, {}, true},
    };
    const Bytes image = firmwareImage(40000, NEW);
    for (const auto& c : cases) {
        FreshFakeKernel32 fresh;
        SimDrive* drive = cdRom('E', OLD);
        drive->checkConditionOn = c.checkConditionOn;
        drive->faultSense = Bytes(14, 0x70);
        drive->restartsOnClosing = c.restartsOnClosing;
        Gui* gui = readyToUpdate(file("new.bin", image));
        Shown shown;
        // Another update may begin while the question is open.
        pressUpdate(gui, true, {&shown, countProgress, sayStage, nullptr}, [&] {
            if (!c.anotherUpdateRuns) return;
            fresh->namedObjects["Global\\kelvo-update"] = {1, ""};
            fresh->namedObjects["Global\\kelvo-update-holder"] = {1, std::string(200, '\0')};
        });
        EXPECT_EQ(gui->phase, GUI_ENDED) << c.what;
        EXPECT_STREQ(gui->heading, c.heading) << c.what;
        if (!c.report.empty()) {
            EXPECT_EQ(guiReport(gui), c.report) << c.what;
        }
        EXPECT_EQ(shown.chunks, c.progress) << c.what;
        EXPECT_EQ(shown.stages, c.stages) << c.what;
        EXPECT_EQ(drive->activated, c.heading[0] == 'F') << c.what;
        EXPECT_EQ(fresh->openHandles, 0) << c.what;
        EXPECT_EQ(fresh->namedObjects.size(), c.anotherUpdateRuns ? 2u : 0u) << c.what;
        EXPECT_TRUE(guiDrivesPending(gui)) << c.what;  // the drive may name other firmware now
        listDrives(gui);
        EXPECT_EQ(guiMayUpdate(gui), !c.anotherUpdateRuns) << c.what;
        if (c.anotherUpdateRuns) {
            EXPECT_EQ(textOf(guiDescribeNextStep, gui),
                      "another kelvo update is running on this machine: kelvo updates one drive at "
                      "a time; Update waits until it has ended");
        }
    }
}

// The share of the image written, as the title and the taskbar show it while the window writes.
TEST(WindowWords, ShareOfTheImageWritten) {
    const struct {
        TransferProgress progress;
        std::string share;
    } cases[] = {
        {{0, 2, 0, 40000}, "0% of the image written"},
        {{1, 2, 32768, 40000}, "81% of the image written"},
        {{0, 0, 0, 0}, "100% of the image written"},  // an image without payload
    };
    for (const auto& c : cases) {
        Text text = {};
        describeShare(&text, c.progress);
        EXPECT_EQ(text.chars, c.share);
    }
}

// What the window says at each step of one update, of a drive that runs the file's firmware
// already, until the update could not be handed to its thread.
TEST_F(GuiTest, EachStepIsSaid) {
    cdRom('E', NEW);
    const std::string path = file("new.bin", firmwareImage(1000, NEW));
    Gui* gui = newGui();
    std::vector<std::string> said;
    const auto say = [&said, gui] {
        said.push_back(textOf(guiDescribeListing, gui) + "|" + textOf(guiDescribeFile, gui) +
                       "|" + textOf(guiDescribeNextStep, gui));
    };
    ASSERT_TRUE(guiAskDrives(gui));
    ASSERT_TRUE(guiChooseFile(gui, path.c_str()));
    say();
    GuiFileRead other = {"/a/file/chosen/before", {}, {}};
    guiFileRead(gui, &other);  // no longer the chosen file: left alone
    say();
    GuiFileRead read = {};
    snprintf(read.path, sizeof read.path, "%s", path.c_str());
    guiReadFile(&read);
    guiFileRead(gui, &read);
    say();
    guiDrivesListed(gui, guiListDrives());
    guiSelectDrive(gui, 0);
    say();
    char index[LISTED_INDEX_SIZE], checkedPath[GUI_PATH_SIZE];
    ASSERT_TRUE(guiStartChecking(gui, index, checkedPath));
    say();
    guiChecked(gui, decideUpdate(index, checkedPath, false));
    say();
    EXPECT_NE(textOf(guiDescribeConfirmation, gui)
                  .find(std::string("\n\nthe drive already runs the image's firmware, ") + NEW +
                        ": the update writes it again, as a repair\n\nOnce begun"),
              std::string::npos);
    ASSERT_TRUE(guiAnswer(gui, true));
    say();
    guiUpdateNotStarted(gui);
    say();
    const std::string asking = "asking the drives kelvo can reach who they are ...\n";
    const std::string firmware = std::string("firmware ") + NEW + "\n";
    const std::string writes = std::string("Update writes ") + NEW + " to the drive at E:";
    EXPECT_EQ(said, (std::vector<std::string>{
                        asking + "|reading the file ...\n|wait while the file is read",
                        asking + "|reading the file ...\n|wait while the file is read",
                        asking + "|" + firmware + "|wait while kelvo asks the drives",
                        "|" + firmware + "|" + writes,
                        "|" + firmware + "|kelvo asks the drive at E: who it is, as before every "
                                         "update",
                        "|" + firmware + "|the drive is written only once you answer Yes",
                        "|" + firmware + "|the update runs: keep the machine on and this window "
                                         "open until it ends",
                        "|" + firmware + "|" + writes,
                    }));
    EXPECT_EQ(drives[size_t('E' - 'A')].commands.size(), 2u);  // the two INQUIRYs alone
}

// The question shows what kelvo has just found, No writes nothing, and a refusal of the
// checks is told as nothing written, never as an update that did not finish.
TEST_F(GuiTest, QuestionAndItsAnswers) {
    SimDrive* drive = cdRom('E', OLD);
    Gui* gui = readyToUpdate(file("new.bin", firmwareImage(40000, NEW)));
    char index[LISTED_INDEX_SIZE], path[GUI_PATH_SIZE];
    ASSERT_TRUE(guiStartChecking(gui, index, path));
    EXPECT_EQ(textOf(guiDescribeNextStep, gui),
              "kelvo asks the drive at E: who it is, as before every update");
    guiChecked(gui, decideUpdate(index, path, false));
    EXPECT_EQ(textOf(guiDescribeConfirmation, gui),
              std::string("Write the firmware to the drive?\n\nthe file's firmware:   ") + NEW +
                  "\nthe drive at E: now:   " + OLD +
                  "\n\nOnce begun, the update cannot be stopped. Keep the machine powered (a "
                  "laptop on its charger) until kelvo says the update has ended.");
    EXPECT_FALSE(guiAnswer(gui, false));
    EXPECT_EQ(gui->phase, GUI_CHOOSING);
    EXPECT_EQ(textOf(guiDescribeConfirmation, gui), "");
    EXPECT_TRUE(guiMayUpdate(gui));
    EXPECT_EQ(drive->commands.size(), 2u);  // the two INQUIRYs

    // On battery the question says so; below 10% Update is not offered at all.
    fake->powerStatus = {0, 0, 50, 0, 0, 0};
    ASSERT_TRUE(guiStartChecking(gui, index, path));
    guiChecked(gui, decideUpdate(index, path, false));
    EXPECT_NE(textOf(guiDescribeConfirmation, gui)
                  .find("\n\nthe machine runs on battery with 50% left: connect the charger "
                        "before you answer Yes\n\nOnce begun"),
              std::string::npos);
    EXPECT_FALSE(guiAnswer(gui, false));
    fake->powerStatus.BatteryLifePercent = 9;
    EXPECT_FALSE(guiMayUpdate(gui));
    EXPECT_EQ(textOf(guiDescribeNextStep, gui),
              "connect the charger: the window begins no update on battery below 10% (9% left)");
    fake->powerStatus.ACLineStatus = 1;

    strcpy(drive->identification, "MATSHITABD-MLT UJ-260   1.00");  // another model by now
    pressUpdate(gui, true);
    EXPECT_STREQ(gui->heading, "Nothing was written to the drive");
    EXPECT_EQ(gui->phase, GUI_ENDED);
    EXPECT_EQ(drive->commands.size(), 4u);
}

// Every refusal before the question, made by the one decision kelvo and its window share:
// kelvo prints its lines, and the window's report says the same words, nothing written.
TEST_F(GuiTest, RefusalsBeforeTheQuestionAreKelvosInBothFaces) {
    const std::string selectedFirmware = std::string("Selected firmware: ") + NEW + "\n";
    const std::string notMatshita = "Selected drive E: does not appear to be a matshita device\n";
    const struct {
        const char* what;
        std::function<void(SimDrive*, FakeKernel32*, std::string* file)> change;
        std::string output;
        std::string errors;
    } cases[] = {
        {"the file is gone",
         [](SimDrive*, FakeKernel32*, std::string* file) { unlink(file->c_str()); }, "",
         "open for read error\nthe file FILE cannot be read: there is no such file\nnothing was "
         "written to the drive: check the file's name and the folder you run kelvo in\n"},
        {"the file is damaged",
         [](SimDrive*, FakeKernel32*, std::string* file) {
             FILE* out = fopen(file->c_str(), "r+b");
             fseek(out, 100, SEEK_SET);
             fputc(0x55, out);
             fclose(out);
         },
         "",
         "fatal: checksum error in file FILE, expected D85C, current 895C\nnothing was written "
         "to the drive: download the file again; never force such an image\n"},
        {"the drive does not open",
         [](SimDrive*, FakeKernel32* fake, std::string*) { fake->devices.clear(); },
         selectedFirmware,
         "// sptxOpen.CreateFile: x2 (2) The system cannot find the file specified.\r\nCould "
         "not open device\nnothing was written to the drive: no drive opens as E:; kelvo-list "
         "lists the drives kelvo can reach\n"},
        {"the drive does not say who it is",
         [](SimDrive* drive, FakeKernel32*, std::string*) {
             drive->checkConditionOn = int32_t(drive->commands.size()) + 1;
         },
         selectedFirmware,
         notMatshita + "the device at E: gave no identification (the drive answered CHECK "
                       "CONDITION: NO SENSE (0/70/70))\nnothing was written to the drive: check "
                       "the index with kelvo-list, which lists the drives kelvo can reach\n"},
        {"another vendor's drive",
         [](SimDrive* drive, FakeKernel32*, std::string*) {
             memcpy(drive->identification, PLEXTOR, 28);
         },
         selectedFirmware + "Selected device:   " + PLEXTOR + "\n",
         notMatshita + "the drive calls itself \"PLEXTOR\", not MATSHITA\nnothing was written "
                       "to the drive: check the index with kelvo-list; use -f only for a "
                       "MATSHITA drive sold under another name\n"},
        {"another model",
         [](SimDrive* drive, FakeKernel32*, std::string*) {
             memcpy(drive->identification, "MATSHITABD-MLT UJ-260   1.00", 28);
         },
         selectedFirmware + "Selected device:   MATSHITABD-MLT UJ-260   1.00\nSelected device "
                            "does not match firmware\n",
         "the image is made for \"MATSHITADVD-RAM UJ-85J\", the drive is \"MATSHITABD-MLT "
         "UJ-260\"\nnothing was written to the drive: find the firmware file made for the "
         "drive's model\n"},
        {"the battery runs low while kelvo asks the drive",
         [](SimDrive*, FakeKernel32* fake, std::string*) {
             fake->onPassThrough = [fake](DWORD, uint8_t*) {
                 fake->powerStatus = {0, 0, 6, 0, 0, 0};
             };
         },
         selectedFirmware + "Selected device:   " + OLD + "\n",
         "the machine runs on battery with 6% left, less than the 10% kelvo begins an update "
         "with\nnothing was written to the drive: connect the charger and run kelvo again\n"},
        {"no CD/DVD drive",
         [](SimDrive* drive, FakeKernel32*, std::string*) { drive->peripheralType = 0; },
         selectedFirmware + "Selected device:   " + OLD + "\n",
         "the device at E: is a direct-access device (a disk) (peripheral device type 0), not a "
         "CD/DVD drive: kelvo updates CD/DVD drives only, with or without -f\nnothing was "
         "written to the drive: give kelvo the index of the CD/DVD drive (kelvo-list lists "
         "them)\n"},
    };
    for (const auto& c : cases) {
        std::string report, output, errors;
        for (const bool window : {true, false}) {
            FreshFakeKernel32 fresh;
            SimDrive* drive = cdRom('E', OLD);
            drive->faultSense = Bytes(14, 0x70);
            std::string path = file("new.bin", firmwareImage(1000, NEW));
            Gui* gui = readyToUpdate(path);
            c.change(drive, &*fresh, &path);
            if (window) {
                pressUpdate(gui, true);
                EXPECT_STREQ(gui->heading, "Nothing was written to the drive") << c.what;
                report = guiReport(gui);
            } else {
                const KelvoRun run = runKelvo({"E:", path}, "y\n");
                EXPECT_EQ(run.status, 1) << c.what;
                output = run.output;
                errors = run.errors;
            }
            for (const SimCommand& command : drive->commands)
                EXPECT_EQ(command.cdb[0], 0x12) << c.what;
            for (std::string* text : {&report, &output, &errors}) {
                const size_t at = text->find(path);
                if (at != std::string::npos) text->replace(at, path.size(), "FILE");
            }
        }
        EXPECT_EQ(output, c.output) << c.what;
        EXPECT_EQ(errors, c.errors) << c.what;
        EXPECT_EQ(report, c.output + c.errors) << c.what;
    }
}

}  // namespace
