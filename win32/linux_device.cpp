// The kernel itself behind linux_device.h. The queue's limit is read in sysfs, for an sg node
// from the block device bound to the same SCSI device.
#include "linux_device.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <scsi/sg.h>
#include <unistd.h>
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

namespace {

const unsigned SCSI_GENERIC_MAJOR = 21;

bool isScsiGeneric(int fd) {
    struct stat status;
    return fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) &&
           major(status.st_rdev) == SCSI_GENERIC_MAJOR;
}

// The command's end, read from an sg node whose descriptor does not block: waited for in
// poll(2), which a stop and continue only restart.
int awaitSgAnswer(int fd, sg_io_hdr_t* io) {
    for (;;) {
        if (read(fd, io, sizeof *io) >= 0) return 0;
        if (errno != EAGAIN && errno != EINTR) return -1;
        pollfd answer = {fd, POLLIN, 0};
        if (poll(&answer, 1, -1) < 0 && errno != EINTR) return -1;
    }
}

}  // namespace

// SG_IO on an sg node returns when a signal wakes the process, a stop too (SIGSTOP, a debugger,
// the freezer at suspend), leaving its command to run on, and the restarted call sends the
// command again: a chunk would reach the drive twice. Sent by write(2) and collected by
// read(2), it is sent once. A block node's SG_IO waits without being woken. Where the sg node
// refuses the write (a kernel before 5.6 for a 32-bit process), nothing was sent, and SG_IO
// carries it.
int linuxDeviceCommand(int fd, sg_io_hdr* io) {
    if (isScsiGeneric(fd) && write(fd, io, sizeof *io) >= 0) return awaitSgAnswer(fd, io);
    return ioctl(fd, SG_IO, io);
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

namespace {

// `path` opened with `flags` at the descriptor `fd`, which is free.
int openAt(const char* path, int flags, int fd) {
    const int opened = open(path, flags);
    if (opened < 0 || opened == fd) return opened;
    const int moved = dup2(opened, fd);
    const int error = errno;
    close(opened);
    errno = error;
    return moved;
}

}  // namespace

// An sg node counts this process's own descriptor as another opener, so the old one is closed
// first; where the exclusive open is refused, the node is opened as it was.
int linuxDeviceReopen(int fd, bool exclusive) {
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char path[PATH_MAX];
    const ssize_t length = readlink(link, path, sizeof path - 1);
    const int flags = fcntl(fd, F_GETFL);
    if (length < 0 || flags < 0) return -1;
    path[length] = '\0';
    const int kept = (flags & (O_ACCMODE | O_NONBLOCK)) | O_CLOEXEC;
    close(fd);
    if (openAt(path, kept | (exclusive ? O_EXCL : 0), fd) >= 0) return 0;
    const int error = errno;
    openAt(path, kept, fd);
    errno = error;
    return -1;
}
