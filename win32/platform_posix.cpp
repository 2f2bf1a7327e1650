// The tool's system on Linux, where the pass-through is the kernel's SG_IO.
#include "platform.h"

#include <errno.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

const long NANOSECONDS_PER_MILLISECOND = 1000000;

// The capability sets of this process, two words each (_LINUX_CAPABILITY_VERSION_3).
bool mayUseRawIo() {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, sets) != 0) return false;
    return (sets[CAP_TO_INDEX(CAP_SYS_RAWIO)].effective & CAP_TO_MASK(CAP_SYS_RAWIO)) != 0;
}

}  // namespace

void platformPause(uint32_t milliseconds) {
    timespec left = {time_t(milliseconds / 1000),
                     long(milliseconds % 1000) * NANOSECONDS_PER_MILLISECOND};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// A process that may write a drive's node may send it the commands on the kernel's list of
// harmless ones, the vendor's write command among them; every other command, the closing one
// too, only with CAP_SYS_RAWIO. Without it an update would be written whole and never
// activated.
bool platformPassThroughCarriesUpdate(FILE* errors) {
    if (mayUseRawIo()) return true;
    fprintf(errors, "update not started: the kernel sends the drive's closing command only for "
                    "root or a process with CAP_SYS_RAWIO\n");
    return false;
}
