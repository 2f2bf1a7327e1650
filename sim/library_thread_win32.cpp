#include <windows.h>

#include <new>

#include "library_thread.h"

namespace {

SRWLOCK& libraryLock() {
    static SRWLOCK lock = SRWLOCK_INIT;
    return lock;
}

struct Job {
    void (*work)(void*);
    void* argument;
};

DWORD WINAPI runJob(LPVOID parameter) {
    const Job job = *static_cast<Job*>(parameter);
    delete static_cast<Job*>(parameter);
    job.work(job.argument);
    return 0;
}

}  // namespace

LibraryLockHeld::LibraryLockHeld() { AcquireSRWLockExclusive(&libraryLock()); }

LibraryLockHeld::~LibraryLockHeld() { ReleaseSRWLockExclusive(&libraryLock()); }

bool startLibraryThread(void (*work)(void*), void* argument) {
    Job* job = new (std::nothrow) Job{work, argument};
    if (job == nullptr) return false;
    HANDLE thread = CreateThread(nullptr, 0, runJob, job, 0, nullptr);
    if (thread == nullptr) {
        delete job;
        return false;
    }
    CloseHandle(thread);
    return true;
}

void sleepMilliseconds(int milliseconds) { Sleep(DWORD(milliseconds)); }
