// The tool's system on Linux, where the pass-through is the kernel's SG_IO.
#include "platform.h"

#include <dirent.h>
#include <errno.h>
#include <linux/capability.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>

#include "linux_power.h"

// While up, the shielded signals are blocked and taken by a watcher thread: a handler in the
// thread that talks to the drive would cut an SG_IO short and the kernel would send it again.
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

const char PLATFORM_INDEX_FORMS[] = "a device path (/dev/sr0 or /dev/sg0)";
const char PLATFORM_ACCESS_ADVICE[] =
    "run kelvo as root (sudo), or give it the drive's /dev/sgN node where you may write that";
void platformAccessAdvice(const char* device, char* text, size_t size) {
    if (geteuid() != 0) {
        snprintf(text, size, "%s", PLATFORM_ACCESS_ADVICE);
        return;
    }
    struct stat status;
    char node[96] = "a node kelvo cannot examine";
    if (stat(device, &status) == 0 && (S_ISBLK(status.st_mode) || S_ISCHR(status.st_mode)))
        snprintf(node, sizeof node, "a %s device node (major %u, minor %u)",
                 S_ISBLK(status.st_mode) ? "block" : "character", major(status.st_rdev),
                 minor(status.st_rdev));
    else if (stat(device, &status) == 0)
        snprintf(node, sizeof node, "not a device node");
    snprintf(text, size,
             "even root was refused %s, %s: the kernel or a security module (SELinux, AppArmor) "
             "keeps it from every user; check the node (ls -l %s) and the kernel's log (dmesg)",
             device, node, device);
}

const char PLATFORM_NO_ASPI_ADVICE[] =
    "give kelvo the drive's device path (/dev/sr0 or /dev/sg0) that kelvo-list shows instead";

const char PLATFORM_DRIVE_BUSY[] =
    "a disc in it is mounted, or another program keeps it for itself";
const char PLATFORM_DRIVE_BUSY_ADVICE[] =
    "unmount the disc (umount) or close the program that burns or plays discs, then run kelvo "
    "again";

void platformPause(uint32_t milliseconds) {
    timespec left = {time_t(milliseconds / 1000),
                     long(milliseconds % 1000) * NANOSECONDS_PER_MILLISECOND};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// A block node (/dev/srN) passes commands off the kernel's harmless list, the closing one among
// them, only with CAP_SYS_RAWIO; any other node opened for writing passes every command.
bool platformPassThroughCarriesUpdate(const char* device, char* lack, size_t size) {
    struct stat status;
    if (stat(device, &status) != 0 || !S_ISBLK(status.st_mode) || mayUseRawIo()) return true;
    snprintf(lack, size,
             "update not started: through %s the kernel passes the drive's closing command only "
             "for root or a process with CAP_SYS_RAWIO\n",
             device);
    return false;
}

namespace {

const int32_t FULL_PERCENT = 100;

// The first line of a supply's attribute file, "" where it has none.
std::string supplyAttribute(const std::string& supply, const char* name) {
    char line[64] = "";
    FILE* file = fopen((supply + "/" + name).c_str(), "r");
    if (file == nullptr) return "";
    if (fgets(line, sizeof line, file) == nullptr) line[0] = '\0';
    fclose(file);
    line[strcspn(line, "\n")] = '\0';
    return line;
}

bool feedsTheMachine(const std::string& supply) {
    const std::string type = supplyAttribute(supply, "type");
    return (type == "Mains" || type == "USB") && supplyAttribute(supply, "online") == "1";
}

// A mouse's or a keyboard's battery (scope Device) does not run the machine.
bool systemBattery(const std::string& supply) {
    return supplyAttribute(supply, "type") == "Battery" &&
           supplyAttribute(supply, "scope") != "Device";
}

// The charge left in a discharging battery, -1 for one that does not discharge or does not
// say.
int32_t dischargingPercent(const std::string& supply) {
    if (supplyAttribute(supply, "status") != "Discharging") return -1;
    const std::string capacity = supplyAttribute(supply, "capacity");
    char* end = nullptr;
    const long percent = strtol(capacity.c_str(), &end, 10);
    if (capacity.empty() || *end != '\0' || percent < 0 || percent > FULL_PERCENT) return -1;
    return int32_t(percent);
}

}  // namespace

PlatformPower linuxPower(const char* folder) {
    DIR* supplies = opendir(folder);
    if (supplies == nullptr) return {false, 0};
    bool mains = false;
    int32_t percent = -1;
    while (const dirent* entry = readdir(supplies)) {
        if (entry->d_name[0] == '.') continue;
        const std::string supply = std::string(folder) + "/" + entry->d_name;
        if (feedsTheMachine(supply)) mains = true;
        else if (systemBattery(supply)) percent = std::max(percent, dischargingPercent(supply));
    }
    closedir(supplies);
    if (mains || percent < 0) return {false, 0};
    return {true, percent};
}

PlatformPower platformPower() { return linuxPower("/sys/class/power_supply"); }

// The C library leaves standard error unbuffered, as C asks.
void platformKeepStreamsInOrder() {}

bool platformOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

// A terminal's window does not close with the program.
void platformHoldOwnConsole(FILE*) {}

// POSIX has no mandatory locks that fopen meets.
bool platformFileInUse() { return false; }

namespace {

// Takes every shielded signal until the shield is lowered. The notice goes straight to the
// descriptor, past the stream's lock, which the program's own thread may hold.
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

// A signal still pending as the shield comes down (a SIGPIPE of the program's own writes
// among them) is dropped by ignoring it for a moment: the program ends as the update ends.
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

// The lock is a Unix socket bound to a name in the kernel's abstract namespace: no file is
// made, the kernel lets one socket at a time have the name, and it frees the name as the
// process ends, however it ends. A second socket's name carries the holder's words, which
// anyone may read in /proc/net/unix.
struct UpdateLock {
    int lock;
    int holder;  // -1 where the words could not be left
};

namespace {

const char UPDATE_LOCK_NAME[] = "kelvo-update";
const char HOLDER_PREFIX[] = "kelvo-update holder: ";
const char ABSTRACT_SOCKETS[] = "/proc/net/unix";

// A socket bound to `name` in the abstract namespace, or -1 with errno set. The name's
// terminating zero is part of it, as a 32-bit kelvo under qemu-user would otherwise have it
// added for it, and two kelvos would not meet on one name.
int bindAbstract(const char* name) {
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) return -1;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const size_t length = std::min(strlen(name), sizeof address.sun_path - 2);
    memcpy(address.sun_path + 1, name, length);
    const socklen_t size = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + length + 1);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        const int error = errno;
        close(socket);
        errno = error;
        return -1;
    }
    return socket;
}

// The holder's words from its socket's name (shown as "@kelvo-update holder: ...@"), "" where
// it left none (yet).
void readHolderWords(char* holder, size_t size) {
    FILE* sockets = fopen(ABSTRACT_SOCKETS, "re");
    if (sockets == nullptr) return;
    char line[512];
    while (fgets(line, sizeof line, sockets) != nullptr) {
        const char* const words = strstr(line, HOLDER_PREFIX);
        if (words == nullptr || words == line || words[-1] != '@') continue;
        const char* const start = words + strlen(HOLDER_PREFIX);
        const size_t length = strcspn(start, "@\n");
        snprintf(holder, size, "%.*s", int(length), start);
        break;
    }
    fclose(sockets);
}

}  // namespace

// The holder's words go up before the lock, so that whoever finds the lock held finds them too.
UpdateLockEnd platformLockUpdates(const char* program, const char* index, UpdateLock** lock,
                                  char* holder, size_t size) {
    *lock = nullptr;
    holder[0] = '\0';
    char words[UPDATE_LOCK_HOLDER_SIZE];
    describeUpdateLockHolder(words, sizeof words, program, getpid(), index);
    char name[sizeof HOLDER_PREFIX + UPDATE_LOCK_HOLDER_SIZE];
    snprintf(name, sizeof name, "%s%s", HOLDER_PREFIX, words);
    const int wordsSocket = bindAbstract(name);
    const int lockSocket = bindAbstract(UPDATE_LOCK_NAME);
    const int error = errno;
    if (lockSocket < 0) {
        if (wordsSocket >= 0) close(wordsSocket);
        if (error != EADDRINUSE) return UPDATE_LOCK_NOT_OFFERED;
        readHolderWords(holder, size);
        return UPDATE_LOCK_HELD;
    }
    *lock = new (std::nothrow) UpdateLock{lockSocket, wordsSocket};
    if (*lock != nullptr) return UPDATE_LOCK_TAKEN;
    close(lockSocket);
    if (wordsSocket >= 0) close(wordsSocket);
    return UPDATE_LOCK_NOT_OFFERED;
}

// The holder's words stand while it holds the lock.
bool platformUpdateRunning(char* holder, size_t size) {
    holder[0] = '\0';
    readHolderWords(holder, size);
    return holder[0] != '\0';
}

namespace {

// The SCSI device behind a device node, as sysfs names it; "" for what is no device node.
std::string scsiDeviceOf(const char* node) {
    struct stat status;
    if (stat(node, &status) != 0 || !(S_ISBLK(status.st_mode) || S_ISCHR(status.st_mode)))
        return "";
    char link[64];
    snprintf(link, sizeof link, "/sys/dev/%s/%u:%u/device",
             S_ISBLK(status.st_mode) ? "block" : "char", major(status.st_rdev),
             minor(status.st_rdev));
    char* const device = realpath(link, nullptr);
    if (device == nullptr) return "";
    const std::string named = device;
    free(device);
    return named;
}

}  // namespace

bool platformSameDrive(const char* a, const char* b) {
    if (strcmp(a, b) == 0) return true;
    const std::string device = scsiDeviceOf(a);
    return !device.empty() && device == scsiDeviceOf(b);
}

void platformUnlockUpdates(UpdateLock* lock) {
    if (lock == nullptr) return;
    if (lock->holder >= 0) close(lock->holder);
    close(lock->lock);
    delete lock;
}
