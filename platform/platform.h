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

// What to do where the system kept kelvo from `device`, into `text` (`size` bytes):
// PLATFORM_ACCESS_ADVICE, or, where kelvo already runs with every right the system gives a
// user (root), what the device is and that even those rights were refused.
void platformAccessAdvice(const char* device, char* text, size_t size);
extern const char PLATFORM_NO_ASPI_ADVICE[];
// What keeps a drive from kelvo alone where the system does not name the program, and what to
// do about a drive another program holds.
extern const char PLATFORM_DRIVE_BUSY[];
extern const char PLATFORM_DRIVE_BUSY_ADVICE[];

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

// One update at a time on the machine, across kelvo's programs: a lock the system keeps with
// the process that holds it, so that however that process ends, the next update is not kept
// back by anything it left behind.
struct UpdateLock;

enum UpdateLockEnd : int32_t {
    UPDATE_LOCK_TAKEN,        // this process holds it now
    UPDATE_LOCK_HELD,         // another process holds it
    UPDATE_LOCK_NOT_OFFERED,  // the system gave no lock: the update goes on as it always has
};

const size_t UPDATE_LOCK_HOLDER_SIZE = 200;

// Takes the machine's update lock for `program` updating the drive `index` (as the user gave
// it), which a second update is told. Where another process holds it, `holder` (`size`
// bytes) says which program, which process and which drive, where the system can say, else "".
UpdateLockEnd platformLockUpdates(const char* program, const char* index, UpdateLock** lock,
                                  char* holder, size_t size);

// Releases it: nothing for null.
void platformUnlockUpdates(UpdateLock* lock);

// Whether another process holds the machine's update lock now, taking nothing: for a face that
// shows it before an update is asked for. `holder` as for platformLockUpdates.
bool platformUpdateRunning(char* holder, size_t size);

// Whether the indexes `a` and `b` name one drive: on Linux an sr node and the sg node of one
// SCSI device do.
bool platformSameDrive(const char* a, const char* b);

// How the holder of the lock describes itself to a second update; its drive's index, as the
// user gave it, stands last, after UPDATE_LOCK_DRIVE.
inline constexpr char UPDATE_LOCK_DRIVE[] = ", drive ";
inline void describeUpdateLockHolder(char* text, size_t size, const char* program,
                                     unsigned long process, const char* index) {
    snprintf(text, size, "%s, process %lu%s%s", program, process, UPDATE_LOCK_DRIVE, index);
}
