// What the tool asks of the system it runs on, apart from the drive. One implementation for
// each kind of system, chosen when linking: win32/platform_windows.cpp (through kernel32)
// and win32/platform_posix.cpp (Linux and the host build).
#pragma once

#include <cstdint>
#include <cstdio>

// Waits about `milliseconds` before going on.
void platformPause(uint32_t milliseconds);

// Whether the system's pass-through carries every command of an update to `device` (the name
// it was opened by) for this process, the closing command included. When it does not, says
// on `errors` what the process lacks.
bool platformPassThroughCarriesUpdate(const char* device, FILE* errors);

// Whether standard output is a terminal (a console on Windows), where a line may be redrawn.
bool platformOutputIsTerminal();

// Whether the file that just failed to open is held by another program that keeps others out.
bool platformFileInUse();

// Keeps what the user or the system does from cutting an update short: raised right before
// the update's first chunk, lowered once the update's end has been told. While it is up,
// interrupts neither end nor stop the program, the system does not sleep, and the first
// interrupt kept away says so on `notices`, once. Null only when memory runs out.
struct UpdateShield;
UpdateShield* newUpdateShield(FILE* notices);

// Lowers the shield: what interrupts did while it was up stays undone. Nothing for null.
void updateShieldLower(UpdateShield* shield);

// What the first interrupt kept away says.
inline constexpr char UPDATE_SHIELD_NOTICE[] =
    "interrupt ignored: the drive is being written, and the update will finish\n";
