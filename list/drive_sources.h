// Where the listing finds drives: the system's own pass-through, one implementation for each
// kind of system chosen when linking (system_drives_windows.cpp, system_drives_linux.cpp),
// and the ASPI library wherever one loads (aspi_drives.cpp).
#pragma once

#include "listing.h"

// The drives of the system's own pass-through, in a stable order.
void listSystemDrives(Listing* listing);

// What to check where no drive was found, in the system's own terms.
extern const char* const NO_DRIVE_ADVICE;

// The CD-ROM devices of the ASPI library, where there is one: every host adapter, every
// target its SC_HA_INQUIRY admits, logical units 0 to 7, the type by SC_GET_DEV_TYPE. Only
// the library's own housekeeping requests and the INQUIRY of a CD-ROM reach the bus.
void listAspiDrives(Listing* listing);

// The optical drives (SCSI peripheral type 5) among Linux's SCSI generic devices, in the
// order of their sg numbers, read from the sysfs tree at `sysfs` ("/sys"), each named by its
// sr node in `dev` ("/dev") where it has one, else by its sg node.
void listLinuxDrives(Listing* listing, const char* sysfs, const char* dev);
