#include "drive_sources.h"
#include "update.h"

namespace {

// One adapter's devices. An adapter that does not answer its inquiry is walked as kelvo opens
// its addresses all the same, so that its drives and the files are judged as kelvo will. A
// failed SC_GET_DEV_TYPE is the library's, not one device's (a library that does not know the
// request fails it everywhere): the note says where the walk of that adapter stopped.
void listAdapter(Listing* listing, int32_t hostAdapter) {
    char subject[40];
    snprintf(subject, sizeof subject, "aspi-adapter:%d", hostAdapter);
    bool answered = false;
    const int32_t highestTarget = scsiAspiHighestTarget(listing->scsi, hostAdapter, &answered);
    if (!answered)
        listingNote(listing, subject,
                    "the adapter did not answer; kelvo goes on with its addresses all the same",
                    scsiLastTrace(listing->scsi));
    for (int32_t target = 0; target <= highestTarget; ++target) {
        for (int32_t lun = 0; lun <= SCSI_ASPI_HIGHEST_LUN; ++lun) {
            const int32_t type = scsiAspiDeviceType(listing->scsi, hostAdapter, target, lun);
            if (type < 0 && type != SCSI_NO_DEVICE) {
                char words[80];
                snprintf(words, sizeof words, "not listed from %d.%d.%d on", hostAdapter,
                         target, lun);
                listingNote(listing, subject, words, scsiLastTrace(listing->scsi));
                return;
            }
            if (type != OPTICAL_DRIVE_TYPE) continue;
            char index[40];
            snprintf(index, sizeof index, "%d.%d.%d", hostAdapter, target, lun);
            listingAskDrive(listing, index, "ASPI");
        }
    }
}

}  // namespace

// Where there is no library at all (most systems today) nothing is said: kelvo then takes an
// ASPI address as a device path, as the README tells.
void listAspiDrives(Listing* listing) {
    const int32_t adapters = scsiAspiAdapters(listing->scsi);
    if (adapters == SCSI_NO_ASPI_LIBRARY) return;
    if (adapters < 0) {
        listingNote(listing, "aspi", "the ASPI library did not start",
                    scsiLastTrace(listing->scsi));
        return;
    }
    for (int32_t hostAdapter = 0; hostAdapter < adapters; ++hostAdapter)
        listAdapter(listing, hostAdapter);
}
