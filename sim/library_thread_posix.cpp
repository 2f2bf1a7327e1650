#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

#include "library_thread.h"

namespace {

std::mutex& libraryLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

LibraryLockHeld::LibraryLockHeld() { libraryLock().lock(); }

LibraryLockHeld::~LibraryLockHeld() { libraryLock().unlock(); }

bool startLibraryThread(void (*work)(void*), void* argument) {
    try {
        std::thread(work, argument).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void sleepMilliseconds(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
