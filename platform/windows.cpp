// The tool's system on Windows, through kernel32.
#include "platform.h"

#include <atomic>
#include <cstring>
#include <new>

#include "kernel32.h"

typedef EXECUTION_STATE(WINAPI* SetThreadExecutionStateEntry)(EXECUTION_STATE state);

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

// Looked up at run time, so that kelvo.exe still starts on a Windows without it.
SetThreadExecutionStateEntry executionStateCall() {
    HMODULE kernel32 = GetModuleHandleA("KERNEL32");
    if (kernel32 == nullptr) return nullptr;
    const FARPROC found = GetProcAddress(kernel32, "SetThreadExecutionState");
    SetThreadExecutionStateEntry entry = nullptr;
    static_assert(sizeof entry == sizeof found, "entry points");
    memcpy(&entry, &found, sizeof entry);
    return entry;
}

}  // namespace

void platformPause(uint32_t milliseconds) { Sleep(milliseconds); }

// The storage port driver hands any CDB on for a process that could open the drive for
// reading and writing, which the open has already proven.
bool platformPassThroughCarriesUpdate(const char*, FILE*) { return true; }

bool platformOutputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

// The C library takes a sharing violation for a denied access; the system's own code tells.
bool platformFileInUse() {
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

UpdateShield* newUpdateShield(FILE* notices) {
    UpdateShield* shield = new (std::nothrow) UpdateShield();
    if (shield == nullptr) return nullptr;
    shield->notices = notices;
    shield->updateOver = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    raisedShield.store(shield);
    SetConsoleCtrlHandler(holdUpdate, TRUE);
    shield->setExecutionState = executionStateCall();
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
