// What the tool asks of the system it runs on, apart from the drive. One implementation for
// each kind of system, chosen when linking: win32/platform_windows.cpp (through kernel32)
// and win32/platform_posix.cpp (Linux and the host build).
#pragma once

#include <cstdint>
#include <cstdio>

// Waits about `milliseconds` before going on.
void platformPause(uint32_t milliseconds);

// Whether the system's pass-through carries every command of an update for this process,
// the closing command included. When it does not, says on `errors` what the process lacks.
bool platformPassThroughCarriesUpdate(FILE* errors);
