// Linux's SCSI generic devices, as lsscsi -g lists them: /sys/class/scsi_generic/sgN/device
// is the SCSI device, whose "type" is its peripheral device type and whose "block" folder
// names the block device bound to it (srM for an optical drive whose sr driver is loaded).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "drive_sources.h"
#include "update.h"

// sysfs and /dev lie on filesystems whose directory offsets and inode numbers may need 64 bits.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "built without large-file support");

namespace {

// The names in a folder that are not "." or "..", in no particular order. A folder that
// cannot be read whole is said in a note, unless it is merely missing and `mayBeMissing`.
std::vector<std::string> namesIn(Listing* listing, const std::string& folder,
                                 bool mayBeMissing) {
    std::vector<std::string> names;
    errno = 0;
    DIR* directory = opendir(folder.c_str());
    while (directory != nullptr) {
        errno = 0;
        const dirent* entry = readdir(directory);
        if (entry == nullptr) break;
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    const int error = errno;
    if (directory != nullptr) closedir(directory);
    if (error != 0 && !(mayBeMissing && error == ENOENT)) {
        const std::string words = "cannot read " + folder + ": " + strerror(error);
        listingNote(listing, "sysfs", words.c_str(), "");
    }
    return names;
}

// The sg numbers of the devices, in order: sg2 before sg10.
std::vector<int> sgNumbers(Listing* listing, const std::string& folder) {
    std::vector<int> numbers;
    for (const std::string& name : namesIn(listing, folder, false)) {
        int number = -1;
        char rest = '\0';
        if (sscanf(name.c_str(), "sg%d%c", &number, &rest) == 1 && number >= 0)
            numbers.push_back(number);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

int peripheralType(const std::string& device) {
    FILE* file = fopen((device + "/type").c_str(), "r");
    if (file == nullptr) return -1;
    int type = -1;
    if (fscanf(file, "%d", &type) != 1) type = -1;
    fclose(file);
    return type;
}

bool exists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

// The device's sr node where a block device is bound to it and its node is there, else its
// own sg node: the names a user reads in lsscsi -g and in the README; kelvo takes either.
std::string nodeOf(Listing* listing, const std::string& device, int sg,
                   const std::string& dev) {
    for (const std::string& block : namesIn(listing, device + "/block", true)) {
        if (exists(dev + "/" + block)) return dev + "/" + block;
    }
    return dev + "/sg" + std::to_string(sg);
}

}  // namespace

void listLinuxDrives(Listing* listing, const char* sysfs, const char* dev) {
    const std::string folder = std::string(sysfs) + "/class/scsi_generic";
    for (const int sg : sgNumbers(listing, folder)) {
        const std::string device = folder + "/sg" + std::to_string(sg) + "/device";
        if (peripheralType(device) != OPTICAL_DRIVE_TYPE) continue;
        listingAskDrive(listing, nodeOf(listing, device, sg, dev).c_str(), "SG_IO");
    }
}
