#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"
#include "drive_access.h"
#include "driver.h"
#include "update.h"

namespace {

struct Arguments {
    std::vector<std::string> words;
    std::vector<char*> pointers;
    explicit Arguments(std::vector<std::string> given) : words(std::move(given)) {
        for (std::string& word : words) pointers.push_back(&word[0]);
        pointers.push_back(nullptr);
    }
    int count() const { return int(words.size()); }
    char** values() { return pointers.data(); }
};

TEST(ForceFlag, OnlyAnExactThirdArgumentForces) {
    struct Case {
        std::vector<std::string> arguments;
        int force;
    } cases[] = {
        {{"kelvo", "e:", "fw.bin", "-f"}, 1},
        {{"kelvo", "e:", "fw.bin"}, 0},
        {{"kelvo", "e:", "fw.bin", "-F"}, 0},
        {{"kelvo", "e:", "fw.bin", "-ff"}, 0},
        {{"kelvo", "e:", "fw.bin", "f"}, 0},
        {{"kelvo", "e:", "fw.bin", ""}, 0},
        {{"kelvo", "e:", "fw.bin", "-f", "x"}, 0},
        {{"kelvo", "e:", "fw.bin", "-f", "-f"}, 0},
    };
    for (const Case& c : cases) {
        Arguments arguments(c.arguments);
        EXPECT_EQ(forceFlag(arguments.count(), arguments.values()), c.force)
            << arguments.count() << " arguments";
    }
}

TEST(DeviceName, DriveLetterBecomesADevicePath) {
    struct Case {
        const char* argument;
        const char* name;
    } cases[] = {
        {"e:", "\\\\.\\e:"},
        {"E:", "\\\\.\\E:"},
        {"e:anything else", "\\\\.\\e:"},
        {"1.0.0", "1.0.0"},
        {"\\\\.\\CdRom0", "\\\\.\\CdRom0"},
        {"", ""},
        {"e", "e"},
        {":e", ":e"},
    };
    for (const Case& c : cases) {
        char path[7];
        EXPECT_STREQ(deviceName(c.argument, path), c.name) << c.argument;
    }
}

TEST(Confirmation, OnlyYOrYesInAnyCaseConfirms) {
    struct Case {
        std::string input;
        int confirmed;
    } cases[] = {
        {"y\n", 1},         {"Y\n", 1},          {"yes\n", 1},   {"YES\n", 1},
        {"yEs", 1},         {"  \n\t yes\n", 1}, {"yes no\n", 1}, {"n\n", 0},
        {"no\n", 0},        {"ye\n", 0},         {"yess\n", 0},  {"yes!\n", 0},
        {"", 0},            {"   \n", 0},        {"\"y\"\n", 0},
        {std::string(5000, 'y') + "\n", 0},
        {std::string(1023, 'y'), 0},
    };
    for (const Case& c : cases) {
        InputStream in(c.input);
        CapturedStream out;
        EXPECT_EQ(askConfirmation(in.stream(), out.stream()), c.confirmed)
            << c.input.substr(0, 20);
        EXPECT_EQ(out.text(), "Continue? ");
    }
}

TEST(DriveVendor, OnlyMatshitaInAnyCase) {
    struct Case {
        const char* drive;
        bool matshita;
    } cases[] = {
        {"MATSHITADVD-RAM UJ-85J  1.00", true},
        {"matshita", true},
        {"MATSHITB", false},  // the vendor's last character is compared too
        {"MATSHIT", false},
        {"PLEXTOR DVDR   PX-716A  1.11", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(deviceIsMatshita(c.drive), c.matshita) << c.drive;
}

TEST(DriveMatch, VendorAndProductCompareIgnoringCase) {
    struct Case {
        const char* firmware;
        const char* drive;
        bool match;
    } cases[] = {
        {"MATSHITADVD-RAM UJ-85J  1.00", "MATSHITADVD-RAM UJ-85J  1.00", true},
        {"MATSHITADVD-RAM UJ-85J  1.00", "matshitadvd-ram uj-85j  1.00", true},
        {"MATSHITADVD-RAM UJ-85J  1.00", "MATSHITADVD-RAM UJ-85J  1.02", true},
        {"MATSHITADVD-RAM UJ-85J  1.00", "MATSHITADVD-RAM UJ-85J  ", true},
        {"MATSHITADVD-RAM UJ-85J  1.00", "MATSHITADVD-RAM UJ-85J", false},
        {"MATSHITADVD-RAM UJ-85J  1.00", "MATSHITADVD-RAM UJ-85K  1.00", false},
        // The product's last character is the last one compared.
        {"MATSHITADVD-RAM UJ-85JSA1.00", "MATSHITADVD-RAM UJ-85JSB1.00", false},
        {"MATSHITADVD-RAM UJ-85J  1.00", "MATSHITABD-MLT UJ-260   1.00", false},
        {"MATSHITA", "MATSHITA", true},
        {"MATSHITA", "MATSHITADVD", false},
        {"", "", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(deviceMatchesFirmware(c.firmware, c.drive), c.match)
            << c.firmware << " / " << c.drive;
}

}  // namespace
