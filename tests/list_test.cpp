// kelvo-list on Windows, as a user runs it, against the scriptable kernel32: drive letters of
// every type, drives that answer, refuse or cannot be opened, firmware files of every kind.
// What is printed, the exit status, and what reached each drive.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fake_kernel32.h"
#include "list_driver.h"
#include "run_kelvo.h"
#include "test_images.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const char* const OLD = "MATSHITADVD-RAM UJ-85J  1.00";
const char* const NEW = "MATSHITADVD-RAM UJ-85J  1.01";
const char* const PLEXTOR = "PLEXTOR DVDR   PX-716A  1.11";
const Bytes INQUIRY = {0x12, 0, 0, 0, 0x24, 0};

struct ListRun {
    int status;
    std::string output;
    std::string errors;
};

class ListTest : public ::testing::Test {
protected:
    FreshFakeKernel32 fake;
    std::string directory;
    std::string home;
    std::vector<SimDrive> drives = std::vector<SimDrive>(26);

    void SetUp() override {
        char name[] = "/tmp/kelvo-list-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
        char* here = getcwd(nullptr, 0);
        home = here;
        free(here);
        // In the test's own folder, where a saved extracted.dat would show.
        ASSERT_EQ(chdir(directory.c_str()), 0);
    }

    void TearDown() override {
        EXPECT_EQ(chdir(home.c_str()), 0);
        EXPECT_EQ(system(("rm -rf '" + directory + "'").c_str()), 0);
    }

    void writeFile(const std::string& name, const Bytes& bytes) {
        FILE* file = fopen(name.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
        fclose(file);
    }

    // A CD-ROM drive at the letter, behind the pass-through path.
    SimDrive* cdRom(char letter, const char* identification) {
        SimDrive* drive = &drives[size_t(letter - 'A')];
        *drive = newSimDrive(identification);
        fake->driveTypes[letter] = DRIVE_CDROM;
        fake->devices[std::string("\\\\.\\") + letter + ":"] = drive;
        return drive;
    }

    ListRun list(const std::vector<std::string>& arguments) {
        std::vector<std::string> words = {"kelvo-list"};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        RedirectedStdio stdio("");
        ListRun run;
        run.status = kelvoListMain(int(words.size()), argv.data());
        run.output = stdio.output();
        run.errors = stdio.errors();
        return run;
    }
};

TEST_F(ListTest, EveryCdRomLetterIsAskedAndEveryFileJudged) {
    fake->driveTypes = {{'A', DRIVE_REMOVABLE}, {'C', DRIVE_FIXED},   {'H', DRIVE_REMOTE},
                        {'I', DRIVE_RAMDISK},   {'J', DRIVE_UNKNOWN}, {'K', DRIVE_NO_ROOT_DIR}};
    SimDrive* old = cdRom('D', OLD);
    SimDrive* plextor = cdRom('E', PLEXTOR);
    fake->driveTypes['F'] = DRIVE_CDROM;  // a letter that does not open
    SimDrive* refusing = cdRom('G', OLD);
    refusing->checkConditionOn = 1;
    SimDrive* hanging = cdRom('L', OLD);
    hanging->hangOn = 1;
    fake->extraTexts[ERROR_IO_DEVICE] = "The request could not be performed.\r\n";
    SimDrive* updated = cdRom('M', NEW);
    // Held for itself by another program (or a kelvo update): the CD-ROM driver denies the
    // commands of every other handle.
    SimDrive* held = cdRom('N', OLD);
    fake->onPassThrough = [](DWORD, uint8_t*) {
        if (fakeKernel32().requests.size() == 6)
            fakeKernel32().answers.push_back({FALSE, ERROR_ACCESS_DENIED, false, 0, 0, {}, 0});
    };
    // Written by a kelvo update: not asked at all.
    SimDrive* written = cdRom('O', OLD);
    fake->namedObjects["Global\\kelvo-update"] = {1, ""};
    fake->namedObjects["Global\\kelvo-update-holder"] = {
        1, "kelvo-gui, process 5, drive O:" + std::string(200, '\0')};
    // Letters a Windows may report beside the drives (Z: under Wine) are asked about too.
    fake->driveTypes['Z'] = DRIVE_FIXED;

    writeFile("new.bin", firmwareImage(1000, NEW));
    writeFile("old.bin", firmwareImage(1000, OLD));
    writeFile("other.bin", firmwareImage(1000, "MATSHITADVD-RAM UJ-86J  1.00"));
    writeFile("plextor.bin", firmwareImage(1000, PLEXTOR));
    Bytes badSum = firmwareImage(1000, NEW);
    badSum[42] ^= 1;
    writeFile("bad-sum.bin", badSum);
    writeFile("short.bin", Bytes(287, 0));
    writeFile("container.bin", hexContainer(firmwareImage(100000, NEW)));

    const ListRun run = list({"new.bin", "old.bin", "other.bin", "plextor.bin", "bad-sum.bin",
                              "short.bin", "missing.bin", "container.bin"});
    const std::string expected =
        "drive D:        pass-through matshita     \"MATSHITADVD-RAM UJ-85J  1.00\"\n"
        "drive E:        pass-through not-matshita \"PLEXTOR DVDR   PX-716A  1.11\"\n"
        "drive F:        pass-through cannot-open  no such device: // sptxOpen.CreateFile: x2 (2) "
        "The system cannot find the file specified.\n"
        "drive G:        pass-through no-answer    refused\n"
        "drive L:        pass-through no-answer    failed: // sptxSay.DeviceIoControl: x45D (1117) The "
        "request could not be performed. // sptxSay x 0 0 29 E (ioctl status length "
        "senseLength)\n"
        "drive M:        pass-through matshita     \"MATSHITADVD-RAM UJ-85J  1.01\"\n"
        "drive N:        pass-through busy         another program or a kelvo update holds it: "
        "// sptxSay.DeviceIoControl: x5 (5) Access is denied. // sptxSay x 0 0 29 E (ioctl "
        "status length senseLength)\n"
        "drive O:        pass-through busy         a kelvo update writes it (kelvo-gui, process "
        "5, drive O:)\n"
        "file \"new.bin\" valid \"MATSHITADVD-RAM UJ-85J  1.01\" fits D: M:(installed)\n"
        "file \"old.bin\" valid \"MATSHITADVD-RAM UJ-85J  1.00\" fits D:(installed) M:\n"
        "file \"other.bin\" valid \"MATSHITADVD-RAM UJ-86J  1.00\" fits none\n"
        "file \"plextor.bin\" valid \"PLEXTOR DVDR   PX-716A  1.11\" fits none\n"
        "file \"bad-sum.bin\" invalid fatal: checksum error in file bad-sum.bin, expected D95C, "
        "current D85C\n"
        "file \"short.bin\" invalid flash data appears to be too short\n"
        "file \"missing.bin\" invalid open for read error the file missing.bin cannot be read: "
        "there is no such file\n"
        "file \"container.bin\" valid \"MATSHITADVD-RAM UJ-85J  1.01\" fits D: M:(installed)\n";
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.status, 1);

    // Only the CD-ROM letters were opened, each once, and each drive received one INQUIRY,
    // asked as kelvo asks it (41 bytes in), and nothing else; every handle was closed.
    EXPECT_EQ(fake->driveTypeRoots,
              (std::vector<std::string>{"A:\\", "C:\\", "D:\\", "E:\\", "F:\\", "G:\\", "H:\\",
                                        "I:\\", "J:\\", "K:\\", "L:\\", "M:\\", "N:\\",
                                        "O:\\", "Z:\\"}));
    EXPECT_EQ(fake->createFileNames,
              (std::vector<std::string>{"\\\\.\\D:", "\\\\.\\E:", "\\\\.\\F:", "\\\\.\\G:",
                                        "\\\\.\\L:", "\\\\.\\M:", "\\\\.\\N:"}));
    for (const SimDrive* drive : {old, plextor, refusing, hanging, updated}) {
        ASSERT_EQ(drive->commands.size(), 1u);
        EXPECT_EQ(drive->commands[0].cdb, INQUIRY);
        EXPECT_EQ(drive->commands[0].dataLength, 41);
        EXPECT_EQ(drive->commands[0].direction, 1);
    }
    EXPECT_TRUE(held->commands.empty());  // denied before the drive
    EXPECT_TRUE(written->commands.empty());
    EXPECT_EQ(fake->openHandles, 0);
    // The container's image was taken out in memory only.
    EXPECT_NE(access("extracted.dat", F_OK), 0);
}

TEST_F(ListTest, ExitStatusAndOptions) {
    writeFile("new.bin", firmwareImage(1000, NEW));
    writeFile("-x", firmwareImage(1000, NEW));
    writeFile("-", firmwareImage(1000, NEW));
    writeFile("a\\\"b.bin", firmwareImage(1000, NEW));
    const std::string usage = "usage: kelvo-list [--help] [FIRMWARE FILE ...]\n";
    const std::string noDrive =
        "note no-drive no optical drive found: run kelvo-list as an administrator, and check "
        "that Windows shows the drive as a CD-ROM drive with a letter, or that an ASPI layer is "
        "installed\n";
    const std::string newLine =
        noDrive + "file \"new.bin\" valid \"MATSHITADVD-RAM UJ-85J  1.01\" fits none\n";
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string output;
        std::string errors;
    } cases[] = {
        {{}, 0, noDrive, ""},  // no drives, no files: a listing that ran
        {{"new.bin"}, 0, newLine, ""},
        {{"new.bin", "missing.bin"}, 1,
         newLine + "file \"missing.bin\" invalid open for read error the file missing.bin "
                   "cannot be read: there is no such file\n", ""},
        {{"-f"}, 1, "", usage},
        {{"new.bin", "--list"}, 1, "", usage},
        {{"--", "-x"}, 0, noDrive + "file \"-x\" valid \"MATSHITADVD-RAM UJ-85J  1.01\" fits none\n",
         ""},
        {{"-"}, 0, noDrive + "file \"-\" valid \"MATSHITADVD-RAM UJ-85J  1.01\" fits none\n", ""},
        // A name a script reads back: quotes and backslashes inside it escaped.
        {{"a\\\"b.bin"}, 0,
         noDrive + "file \"a\\\\\\\"b.bin\" valid \"MATSHITADVD-RAM UJ-85J  1.01\" fits "
                   "none\n",
         ""},
    };
    for (const Case& c : cases) {
        const ListRun run = list(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.output;
        EXPECT_EQ(run.output, c.output);
        EXPECT_EQ(run.errors, c.errors);
    }
    const ListRun help = list({"new.bin", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output.substr(0, usage.size()), usage);
    EXPECT_NE(help.output.find("drive INDEX PATH STATE"), std::string::npos);
    EXPECT_EQ(help.errors, "");
    EXPECT_TRUE(fake->createFileNames.empty());
}

}  // namespace
