// The simulated ASPI library's one lock and its own threads, from the system it is built for:
// the C++ library's threads in the host's shared library, Win32's own in the PE32
// WNASPI32.DLL, whose toolchain has no std::thread.
#pragma once

// Holds the library's one lock for as long as it lives.
struct LibraryLockHeld {
    LibraryLockHeld();
    ~LibraryLockHeld();
    LibraryLockHeld(const LibraryLockHeld&) = delete;
    LibraryLockHeld& operator=(const LibraryLockHeld&) = delete;
};

// Runs work(argument) on a new thread that nobody waits for: false when none could start.
bool startLibraryThread(void (*work)(void*), void* argument);

void sleepMilliseconds(int milliseconds);
