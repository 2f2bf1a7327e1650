// A drive as kelvo reaches it, for kelvo and kelvo-list alike: the name a device index opens,
// the open with kelvo's settings for every command, and whether kelvo takes the drive for an
// image without -f.
#pragma once

#include <cstdint>

#include "scsi.h"
#include "update.h"

const int32_t DEVICE_PATH_SIZE = 7;  // "\\.\X:" and its terminator

// The name to open for a device index: a drive letter with a colon becomes the device path
// "\\.\X:" (written into `path`, DEVICE_PATH_SIZE bytes); anything else is used unchanged.
const char* deviceName(const char* index, char* path);

// Opens the device that `index` names and gives it kelvo's settings for every command. The
// name it opened (in `path` for a drive letter), or null when it did not open.
const char* driveOpen(Scsi* scsi, const char* index, char* path);

// kelvo takes the drive for the image without -f: a MATSHITA CD/DVD drive of the image's
// vendor and product.
// `identification` is null for a drive that gave none.
bool driveTakesImage(int32_t peripheralType, const char* identification,
                     const char* firmwareName);
