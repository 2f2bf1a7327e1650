// Every drive kelvo can reach, as kelvo-list and kelvo's window find them.
#include <cstdio>

#include "drive_sources.h"

void listingFindDrives(Listing* listing) {
    listSystemDrives(listing);
    listAspiDrives(listing);
    if (listing->driveCount == 0 && !listing->outOfMemory) {
        char words[512];
        snprintf(words, sizeof words, "no optical drive found: %s", NO_DRIVE_ADVICE);
        listingNote(listing, "no-drive", words, "");
    }
}
