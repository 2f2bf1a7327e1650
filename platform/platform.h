// What the tool asks of the system it runs on, apart from the drive. One implementation for
// each system, chosen when linking: windows.cpp (through kernel32) and linux.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Waits about `milliseconds` before going on.
void platformPause(uint32_t milliseconds);

// Whether the pass-through carries every command of an update, the closing one included, to
// `device` (the name it was opened by) for this process; if not, `lack` (of `size` bytes) takes
// a line that says what it lacks.
bool platformPassThroughCarriesUpdate(const char* device, char* lack, size_t size);

// The machine's power as the system reports it: on battery with `percent` (0 to 100) left, or
// not (on mains, without a battery, or where the system cannot tell how it runs or how much is
// left).
struct PlatformPower {
    bool onBattery;
    int32_t percent;  // only where onBattery
};
PlatformPower platformPower();

// Called first in main: from then on a file or pipe that takes both standard output and standard
// error gets their lines in the order the program wrote them.
void platformKeepStreamsInOrder();

// Whether standard output is a terminal (a console on Windows), where a line may be redrawn.
bool platformOutputIsTerminal();

// Whether the file that just failed to open is held by another program that keeps others out.
bool platformFileInUse();

// What a user of this system is told: the forms of a device index here, what to do where the
// system keeps the user from a drive, and where no ASPI library reaches an ASPI address.
extern const char PLATFORM_INDEX_FORMS[];
extern const char PLATFORM_ACCESS_ADVICE[];
extern const char PLATFORM_NO_ASPI_ADVICE[];

// Raised before an update's first chunk and lowered once its end is told: while up, interrupts
// neither end nor stop the program, the system does not sleep, and the first one kept away
// says so on `notices`, once. Null only when memory runs out.
struct UpdateShield;
UpdateShield* newUpdateShield(FILE* notices);

// Lowers the shield: what interrupts did while it was up stays undone. Nothing for null.
void updateShieldLower(UpdateShield* shield);

// Where the program's console was made for it alone (a double-click in Explorer: the window
// closes as the program ends) and its standard input is that console: says how kelvo is run,
// on `notices`, and waits for Enter. Elsewhere nothing.
void platformHoldOwnConsole(FILE* notices);

// What the first interrupt kept away says.
inline constexpr char UPDATE_SHIELD_NOTICE[] =
    "interrupt ignored: the drive is being written, and the update will finish\n";
