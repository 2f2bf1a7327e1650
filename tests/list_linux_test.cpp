// kelvo-list on Linux: the optical drives among the SCSI generic devices of a sysfs tree that
// the test builds, asked through the pass-through's SG_IO against the scripted kernel.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "drive_sources.h"
#include "fake_linux_device.h"

namespace {

const std::vector<uint8_t> INQUIRY = {0x12, 0, 0, 0, 0x24, 0};

// What a drive sends for kelvo's INQUIRY of 41 bytes: 36 of them, the last five not sent.
FakeSgAnswer inquiryAnswer(const char* identification) {
    FakeSgAnswer answer = {};
    answer.dataIn.assign(36, 0);
    answer.dataIn[0] = 5;
    memcpy(answer.dataIn.data() + 8, identification, 28);
    answer.resid = 5;
    return answer;
}

class ListLinuxTest : public ::testing::Test {
protected:
    FreshFakeLinuxDevice kernel;
    std::string root;

    void SetUp() override {
        char name[] = "/tmp/kelvo-list-tree-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
        ASSERT_EQ(mkdir((root + "/dev").c_str(), 0755), 0);
    }

    void TearDown() override { EXPECT_EQ(system(("rm -rf '" + root + "'").c_str()), 0); }

    void make(const std::string& path, const char* text = nullptr) {
        ASSERT_EQ(system(("mkdir -p \"$(dirname '" + path + "')\"").c_str()), 0);
        if (text == nullptr) {
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
            return;
        }
        FILE* file = fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        fputs(text, file);
        fclose(file);
    }

    // A SCSI generic device of the peripheral type, with a block device bound to it or not.
    void sgDevice(int sg, const char* type, const char* block = nullptr) {
        const std::string device =
            root + "/sys/class/scsi_generic/sg" + std::to_string(sg) + "/device";
        make(device + "/type", type);
        if (block != nullptr) make(device + "/block/" + block);
    }

    std::string listed() {
        CapturedStream out;
        Listing* listing = newListing(out.stream());
        listLinuxDrives(listing, (root + "/sys").c_str(), (root + "/dev").c_str());
        return out.text();
    }
};

TEST_F(ListLinuxTest, OpticalDrivesAreListedByTheirSrNodeElseTheirSgNode) {
    sgDevice(0, "5\n", "sr0");   // an optical drive with its sr node
    make(root + "/dev/sr0", "");
    make(root + "/dev/sg0", "");
    sgDevice(1, "0\n", "sda");   // a disk: never opened
    make(root + "/dev/sda", "");
    make(root + "/dev/sg1", "");
    sgDevice(5, "8\n");          // a medium changer and an enclosure: never opened either
    make(root + "/dev/sg5", "");
    sgDevice(6, "13\n");
    make(root + "/dev/sg6", "");
    sgDevice(2, "5\n");          // no sr driver bound: its sg node
    make(root + "/dev/sg2", "");
    sgDevice(3, "5\n", "sr1");   // bound, but no sr node in /dev: its sg node
    make(root + "/dev/sg3", "");
    sgDevice(4, "5\n");          // no node at all
    sgDevice(10, "5\n", "sr2");  // a node this user may not open: after sg4, not after sg1
    make(root + "/dev/sr2");
    make(root + "/sys/class/scsi_generic/sgX/device/type", "5\n");  // not an sg name
    kernel->answers = {inquiryAnswer("MATSHITADVD-RAM UJ-85J  1.00"),
                       inquiryAnswer("HL-DT-STDVD-RAM GH22NP  1.02"),
                       {ENOTTY, 0, 0, 0, 0, {}, {}}};

    const std::string dev = root + "/dev/";
    const std::string expected =
        "drive " + dev + "sr0 SG_IO        matshita     \"MATSHITADVD-RAM UJ-85J  1.00\"\n" +
        "drive " + dev + "sg2 SG_IO        not-matshita \"HL-DT-STDVD-RAM GH22NP  1.02\"\n" +
        "drive " + dev + "sg3 SG_IO        no-answer    failed: // sptxSay.DeviceIoControl: x1 (1) "
        "Incorrect function. // sptxSay x 0 0 29 E (ioctl status length senseLength)\n" +
        "drive " + dev + "sg4 SG_IO        cannot-open  no such device: // sptxOpen.CreateFile: x2 (2) The "
        "system cannot find the file specified.\n" +
        "drive " + dev + "sr2 SG_IO        cannot-open  access denied: // sptxOpen.CreateFile: x5 (5) Access "
        "is denied.\n";
    EXPECT_EQ(listed(), expected);
    // Nothing but kelvo's INQUIRY went to a drive: one to each drive that opened.
    ASSERT_EQ(kernel->calls.size(), 3u);
    for (const FakeSgCall& call : kernel->calls) {
        EXPECT_EQ(call.cdb, INQUIRY);
        EXPECT_EQ(call.header.dxfer_len, 41u);
        EXPECT_EQ(call.header.dxfer_direction, SG_DXFER_FROM_DEV);
    }
}

TEST_F(ListLinuxTest, NoScsiGenericDevicesListNothing) {
    // No class/scsi_generic at all (the sg driver is not loaded): said, not kept silent.
    EXPECT_EQ(listed(), "note sysfs cannot read " + root +
                            "/sys/class/scsi_generic: No such file or directory\n");
    make(root + "/sys/class/scsi_generic");
    EXPECT_EQ(listed(), "");
    sgDevice(0, "");  // a type that cannot be read
    EXPECT_EQ(listed(), "");
    EXPECT_TRUE(kernel->calls.empty());
}

}  // namespace
