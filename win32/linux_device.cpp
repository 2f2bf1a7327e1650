// The kernel itself behind linux_device.h. The queue's limit is read in sysfs, for an sg node
// from the block device bound to the same SCSI device.
#include "linux_device.h"

#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

const int64_t BYTES_PER_KIB = 1024;

int64_t readKibibytes(const char* path) {
    FILE* file = fopen(path, "r");
    if (file == nullptr) return -1;
    int64_t kibibytes = -1;
    if (fscanf(file, "%" SCNd64, &kibibytes) != 1 || kibibytes <= 0) kibibytes = -1;
    fclose(file);
    return kibibytes > 0 ? kibibytes * BYTES_PER_KIB : -1;
}

// The first block device bound to a SCSI generic node's SCSI device, as in
// /sys/dev/char/21:0/device/block/sr0.
int64_t boundBlockQueueLimit(unsigned deviceMajor, unsigned deviceMinor) {
    char blocks[64];
    snprintf(blocks, sizeof blocks, "/sys/dev/char/%u:%u/device/block", deviceMajor,
             deviceMinor);
    DIR* folder = opendir(blocks);
    if (folder == nullptr) return -1;
    int64_t limit = -1;
    while (const dirent* entry = readdir(folder)) {
        if (entry->d_name[0] == '.') continue;
        char path[512];
        snprintf(path, sizeof path, "%s/%s/queue/max_sectors_kb", blocks, entry->d_name);
        limit = readKibibytes(path);
        break;
    }
    closedir(folder);
    return limit;
}

}  // namespace

int linuxDeviceIoctl(int fd, unsigned long request, void* argument) {
    return ioctl(fd, request, argument);
}

int64_t linuxDeviceQueueLimit(int fd) {
    struct stat status;
    if (fstat(fd, &status) != 0) return -1;
    const unsigned deviceMajor = major(status.st_rdev);
    const unsigned deviceMinor = minor(status.st_rdev);
    if (S_ISBLK(status.st_mode)) {
        char path[64];
        snprintf(path, sizeof path, "/sys/dev/block/%u:%u/queue/max_sectors_kb", deviceMajor,
                 deviceMinor);
        return readKibibytes(path);
    }
    if (!S_ISCHR(status.st_mode)) return -1;
    return boundBlockQueueLimit(deviceMajor, deviceMinor);
}
