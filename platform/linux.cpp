// The tool's system on Linux, where the pass-through is the kernel's SG_IO.
#include "platform.h"

#include <errno.h>
#include <linux/capability.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <new>

// While it is up the shielded signals are blocked in the program's own thread and taken by a
// watcher thread of the shield's. No handler ever runs in the thread that talks to the drive:
// a handler would cut a command's SG_IO short, and the kernel would send it to the drive again
// on the restart.
struct UpdateShield {
    FILE* notices;
    sigset_t shielded;
    sigset_t previousMask;
    pthread_t watcher;
    bool watching;
    std::atomic<bool> lowering;  // the watcher's next signal is its last
};

namespace {

// The signals that would end or stop the program, SIGPIPE among them: a write to a reader
// that is gone (a pipe to a program ended by the same Ctrl+C) must not end an update either.
const int SHIELDED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE};
const size_t SHIELDED_COUNT = std::size(SHIELDED_SIGNALS);

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

// Through a drive's block node (/dev/srN) the kernel passes a process the commands on its
// list of harmless ones, the vendor's write command among them, and every other command, the
// closing one too, only with CAP_SYS_RAWIO: without it an update would be written whole and
// never taken. A SCSI generic node (/dev/sgN) opened for writing, as kelvo opens it, passes
// every command to whoever may write it.
bool platformPassThroughCarriesUpdate(const char* device, FILE* errors) {
    struct stat status;
    if (stat(device, &status) != 0 || !S_ISBLK(status.st_mode) || mayUseRawIo()) return true;
    fprintf(errors, "update not started: through %s the kernel passes the drive's closing command "
                    "only for root or a process with CAP_SYS_RAWIO\n", device);
    return false;
}

namespace {

// Takes every shielded signal that reaches the program until the shield is lowered. The
// notice is written straight to the descriptor, past the stream and its lock, which the
// program's own thread may hold.
void* watchSignals(void* argument) {
    const UpdateShield* shield = static_cast<const UpdateShield*>(argument);
    bool noticed = false;
    for (;;) {
        int taken = 0;
        if (sigwait(&shield->shielded, &taken) != 0) continue;
        if (shield->lowering.load()) return nullptr;
        if (taken == SIGPIPE || noticed) continue;
        noticed = true;
        const ssize_t written =
            write(fileno(shield->notices), UPDATE_SHIELD_NOTICE, strlen(UPDATE_SHIELD_NOTICE));
        (void)written;  // nothing better to do where even the notice cannot be written
    }
}

}  // namespace

UpdateShield* newUpdateShield(FILE* notices) {
    UpdateShield* shield = new (std::nothrow) UpdateShield();
    if (shield == nullptr) return nullptr;
    shield->notices = notices;
    fflush(notices);
    sigemptyset(&shield->shielded);
    for (int signal : SHIELDED_SIGNALS) sigaddset(&shield->shielded, signal);
    pthread_sigmask(SIG_BLOCK, &shield->shielded, &shield->previousMask);
    // Without a watcher the signals stay blocked all the same; only the notice is lost.
    shield->watching = pthread_create(&shield->watcher, nullptr, watchSignals, shield) == 0;
    return shield;
}

// A signal still pending when the shield comes down (one sent as the watcher ended, or a
// SIGPIPE of the program's own writes) is let go of first, by ignoring it for a moment: the
// program ends as the update ends, not as the signal would have it.
void updateShieldLower(UpdateShield* shield) {
    if (shield == nullptr) return;
    // Woken by a signal of its own rather than cancelled: a cancelled thread unwinds through
    // a library that a program may not have (libgcc_s, loaded on the first cancellation).
    if (shield->watching) {
        shield->lowering.store(true);
        pthread_kill(shield->watcher, SIGPIPE);
        pthread_join(shield->watcher, nullptr);
    }
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous[SHIELDED_COUNT];
    for (size_t i = 0; i < SHIELDED_COUNT; ++i) sigaction(SHIELDED_SIGNALS[i], &ignore, &previous[i]);
    pthread_sigmask(SIG_SETMASK, &shield->previousMask, nullptr);
    for (size_t i = 0; i < SHIELDED_COUNT; ++i) sigaction(SHIELDED_SIGNALS[i], &previous[i], nullptr);
    delete shield;
}
