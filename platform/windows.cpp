// The tool's system on Windows, through kernel32.
#include "platform.h"

#include <atomic>
#include <new>

#include "kernel32.h"
#include "system_call.h"

typedef EXECUTION_STATE(WINAPI* SetThreadExecutionStateEntry)(EXECUTION_STATE state);
typedef DWORD(WINAPI* GetConsoleProcessListEntry)(LPDWORD processes, DWORD count);

struct UpdateShield {
    FILE* notices;
    std::atomic<bool> noticed;
    HANDLE updateOver;  // manual-reset, set once the update has ended; null if none was made
    SetThreadExecutionStateEntry setExecutionState;  // null where kernel32 lacks the call
    EXECUTION_STATE previousState;
};

namespace {

// The shield a console control handler serves: one a run, never released, so that a handler
// still running after the update finds it whole.
std::atomic<UpdateShield*> raisedShield{nullptr};

void noticeOnce(UpdateShield* shield) {
    if (shield->noticed.exchange(true)) return;
    fputs(UPDATE_SHIELD_NOTICE, shield->notices);
    fflush(shield->notices);
}

// Refuses Ctrl+C and Ctrl+Break; a close, logoff or shutdown cannot be refused, but Windows
// waits for the handler before it ends the process, and that wait is spent on the update.
BOOL WINAPI holdUpdate(DWORD event) {
    UpdateShield* shield = raisedShield.load();
    if (shield == nullptr) return FALSE;
    noticeOnce(shield);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    if (shield->updateOver != nullptr) WaitForSingleObject(shield->updateOver, INFINITE);
    return TRUE;
}

// What a double-click on kelvo.exe shows before its window closes.
const char OWN_CONSOLE_NOTICE[] =
    "kelvo runs in a Command Prompt run as administrator: open one, go to kelvo's folder, run "
    "kelvo-list to find the drive, then kelvo with the drive and the firmware file\n"
    "press Enter to close this window\n";

}  // namespace

const char PLATFORM_INDEX_FORMS[] =
    "a drive letter with a colon (E:), an ASPI address (0.1.0) or a device path";
const char PLATFORM_ACCESS_ADVICE[] = "run kelvo in a Command Prompt run as administrator";
// An administrator refused is told the same: the pass-through needs no more than that.
void platformAccessAdvice(const char*, char* text, size_t size) {
    snprintf(text, size, "%s", PLATFORM_ACCESS_ADVICE);
}

const char PLATFORM_NO_ASPI_ADVICE[] =
    "give kelvo the drive letter (E:) or device path that kelvo-list shows instead";

const char PLATFORM_DRIVE_BUSY[] = "another program keeps it for itself";
const char PLATFORM_DRIVE_BUSY_ADVICE[] =
    "close the program that burns or plays discs, then run kelvo again";

void platformPause(uint32_t milliseconds) { Sleep(milliseconds); }

// The storage port driver hands any CDB on for a process that could open the drive for
// reading and writing, which the open has already proven.
bool platformPassThroughCarriesUpdate(const char*, char*, size_t) { return true; }

// msvcrt buffers standard error too where it is not a console, and writes it out only when the
// buffer fills or the program ends; kelvo flushes standard output at each write already.
void platformKeepStreamsInOrder() { setvbuf(stderr, nullptr, _IONBF, 0); }

namespace {

// GetSystemPowerStatus's values: the AC line offline, no battery, a value it does not know,
// and the most a charge in percent can be.
const BYTE LINE_OFFLINE = 0;
const BYTE BATTERY_ABSENT = 128;
const BYTE NOT_KNOWN = 255;
const BYTE FULL_PERCENT = 100;

// The system writes this record: its layout is Windows' own, the same for 32 and 64 bits.
static_assert(sizeof(SYSTEM_POWER_STATUS) == 12, "SYSTEM_POWER_STATUS is 12 bytes");

}  // namespace

PlatformPower platformPower() {
    SYSTEM_POWER_STATUS status = {};
    if (!GetSystemPowerStatus(&status) || status.ACLineStatus != LINE_OFFLINE ||
        status.BatteryFlag == BATTERY_ABSENT || status.BatteryFlag == NOT_KNOWN ||
        status.BatteryLifePercent > FULL_PERCENT)
        return {false, 0};
    return {true, status.BatteryLifePercent};
}

bool platformOutputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

// The C library takes a sharing violation for a denied access; the system's own code tells.
bool platformFileInUse() {
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// A console that this process alone uses was made for it: nothing else keeps it open.
void platformHoldOwnConsole(FILE* notices) {
    const auto processList = systemCall<GetConsoleProcessListEntry>("KERNEL32", "GetConsoleProcessList");
    DWORD processes[2];
    if (processList == nullptr || processList(processes, 2) != 1) return;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) return;
    fputs(OWN_CONSOLE_NOTICE, notices);
    fflush(notices);
    char line[256];
    DWORD read = 0;
    ReadConsoleA(input, line, sizeof line, &read, nullptr);
}

// A process that updates again (kelvo's window) raises the one shield it made again, so that
// a window left open all day does not gather a shield and an event for every update.
UpdateShield* newUpdateShield(FILE* notices) {
    UpdateShield* shield = raisedShield.load();
    if (shield == nullptr) {
        shield = new (std::nothrow) UpdateShield();
        if (shield == nullptr) return nullptr;
        shield->updateOver = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        raisedShield.store(shield);
    } else if (shield->updateOver != nullptr) {
        ResetEvent(shield->updateOver);
    }
    shield->notices = notices;
    shield->noticed.store(false);
    SetConsoleCtrlHandler(holdUpdate, TRUE);
    shield->setExecutionState =
        systemCall<SetThreadExecutionStateEntry>("KERNEL32", "SetThreadExecutionState");
    if (shield->setExecutionState != nullptr)
        shield->previousState = shield->setExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    return shield;
}

void updateShieldLower(UpdateShield* shield) {
    if (shield == nullptr) return;
    SetConsoleCtrlHandler(holdUpdate, FALSE);
    // The state before, where it was one that lasts; else back to none that lasts.
    if (shield->setExecutionState != nullptr) {
        const EXECUTION_STATE previous = shield->previousState;
        shield->setExecutionState((previous & ES_CONTINUOUS) != 0 ? previous : ES_CONTINUOUS);
    }
    if (shield->updateOver != nullptr) SetEvent(shield->updateOver);
}

// The lock is a mutex whose existence counts: kelvo makes it when it takes the lock and closes
// its one handle when it releases it, and Windows closes that handle with the process however
// it ends. Beside it a small mapping of the paging file holds the holder's words; the taker
// owns the mutex until they are up, so that a second update waits for them, not for the lock.
struct UpdateLock {
    HANDLE mutex;
    HANDLE holder;  // null where the words could not be left
};

namespace {

// In the global namespace, so that a kelvo in another user's session sees it too.
const char UPDATE_LOCK_NAME[] = "Global\\kelvo-update";
const char UPDATE_HOLDER_NAME[] = "Global\\kelvo-update-holder";
const DWORD HOLDER_BYTES = UPDATE_LOCK_HOLDER_SIZE;
// A taker that does not put its words up within this time has stopped: the lock is said
// without them.
const DWORD HOLDER_WORDS_WAIT_MILLISECONDS = 5000;

HANDLE leaveHolderWords(const char* program, const char* index) {
    const HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                              HOLDER_BYTES, UPDATE_HOLDER_NAME);
    if (mapping == nullptr) return nullptr;
    char* const words = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, HOLDER_BYTES));
    if (words == nullptr) {
        CloseHandle(mapping);
        return nullptr;
    }
    describeUpdateLockHolder(words, HOLDER_BYTES, program, GetCurrentProcessId(), index);
    UnmapViewOfFile(words);
    return mapping;
}

// The holder's words, "" where it left none (yet) or this user may not read them; false where
// no holder has put any up.
bool readHolderWords(char* holder, size_t size) {
    holder[0] = '\0';
    const HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, UPDATE_HOLDER_NAME);
    // Access is denied to the words another user's kelvo put up.
    if (mapping == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    const char* const words =
        static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, HOLDER_BYTES));
    if (words != nullptr) {
        snprintf(holder, size, "%.*s", int(HOLDER_BYTES - 1), words);
        UnmapViewOfFile(words);
    }
    CloseHandle(mapping);
    return true;
}

}  // namespace

UpdateLockEnd platformLockUpdates(const char* program, const char* index, UpdateLock** lock,
                                  char* holder, size_t size) {
    *lock = nullptr;
    holder[0] = '\0';
    SetLastError(ERROR_SUCCESS);
    const HANDLE mutex = CreateMutexA(nullptr, TRUE, UPDATE_LOCK_NAME);
    const DWORD error = GetLastError();
    // Access is denied to an object another user's kelvo made and still holds.
    if (mutex == nullptr)
        return error == ERROR_ACCESS_DENIED ? UPDATE_LOCK_HELD : UPDATE_LOCK_NOT_OFFERED;
    if (error == ERROR_ALREADY_EXISTS) {
        const DWORD waited = WaitForSingleObject(mutex, HOLDER_WORDS_WAIT_MILLISECONDS);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
            readHolderWords(holder, size);
            ReleaseMutex(mutex);
        }
        CloseHandle(mutex);
        return UPDATE_LOCK_HELD;
    }
    *lock = new (std::nothrow) UpdateLock{mutex, nullptr};
    if (*lock != nullptr) (*lock)->holder = leaveHolderWords(program, index);
    ReleaseMutex(mutex);
    if (*lock != nullptr) return UPDATE_LOCK_TAKEN;
    CloseHandle(mutex);
    return UPDATE_LOCK_NOT_OFFERED;
}

// Only the holder's words are looked at: a handle on the lock, however short, would keep it in
// being for a kelvo that takes it at that moment, which would then find it held.
bool platformUpdateRunning(char* holder, size_t size) { return readHolderWords(holder, size); }

bool platformSameDrive(const char* a, const char* b) { return strcmp(a, b) == 0; }

void platformUnlockUpdates(UpdateLock* lock) {
    if (lock == nullptr) return;
    if (lock->holder != nullptr) CloseHandle(lock->holder);
    CloseHandle(lock->mutex);
    delete lock;
}
