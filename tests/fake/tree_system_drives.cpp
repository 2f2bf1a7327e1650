// kelvo-list's system drives for the tests that run it as a program: Linux's, read from the
// sys/ and dev/ folders of the tree that KELVO_LIST_TREE names, and none without it, so that
// the machine's own drives never enter a test. Linked instead of system_drives_linux.cpp.
#include <cstdlib>
#include <string>

#include "drive_sources.h"

void listSystemDrives(Listing* listing) {
    const char* tree = getenv("KELVO_LIST_TREE");
    if (tree == nullptr) return;
    listLinuxDrives(listing, (std::string(tree) + "/sys").c_str(),
                    (std::string(tree) + "/dev").c_str());
}

const char* const NO_DRIVE_ADVICE = "check the tree that KELVO_LIST_TREE names";
