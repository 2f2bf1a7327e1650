// The drive letters of Windows that are CD-ROM drives, A: to Z:, each asked as kelvo asks
// "E:".
#include "drive_sources.h"
#include "kernel32.h"

namespace {

const int LETTERS = 26;

}  // namespace

const char* const NO_DRIVE_ADVICE =
    "run kelvo-list as an administrator, and check that Windows shows the drive as a CD-ROM "
    "drive with a letter, or that an ASPI layer is installed";

void listSystemDrives(Listing* listing) {
    const DWORD letters = GetLogicalDrives();
    for (int i = 0; i < LETTERS; ++i) {
        if ((letters & (DWORD(1) << i)) == 0) continue;
        const char root[] = {char('A' + i), ':', '\\', '\0'};
        if (GetDriveTypeA(root) != DRIVE_CDROM) continue;
        const char index[] = {root[0], ':', '\0'};
        listingAskDrive(listing, index, "pass-through");
    }
}
