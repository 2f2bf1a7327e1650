// The SCSI command layer: one handle through which the tool opens a drive, sets the sense
// length limit and the time-out, sends CDBs and closes the drive again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct Aspi;
struct Sptx;

// Direction of a command's data phase.
enum DataDirection : int32_t {
    DATA_IN = 1,   // device to host
    DATA_OUT = 2,  // host to device
};

// Result of every say operation: 0 or more is the residue (bytes requested but not moved).
typedef int32_t SayResult;
const SayResult SAY_REFUSED = -1;          // refused, failed, or outcome unusable
const SayResult SAY_CHECK_CONDITION = -2;  // CHECK CONDITION, whole transfer done
const SayResult SAY_CHECK_CONDITION_RESIDUE = -258;
const SayResult SAY_CHECK_CONDITION_COUNT_UNUSABLE = -3;

// The SCSI status bytes that the layers tell apart.
const int32_t SCSI_STATUS_GOOD = 0x00;
const int32_t SCSI_STATUS_CHECK_CONDITION = 0x02;
const int32_t SCSI_STATUS_CONDITION_MET = 0x04;

// The most sense bytes a command may be allowed: the sense length travels in one byte.
const int32_t SCSI_MAX_SENSE_LENGTH = 255;

// The time-out a backend keeps when given an invalid or overflowing one: 28 hours.
const int32_t SCSI_DEFAULT_TIMEOUT_SECONDS = 100800;

// How the last command ended beyond its SayResult: what a user is told of a failure.
struct ScsiEnding {
    int32_t status;        // the SCSI status byte the device returned, -1 where none came back
    uint32_t systemError;  // the Win32 error code of a system call that failed, else 0
    bool timedOut;         // it did not complete within the time-out
    bool noDevice;         // nothing answered at the address
};
// The ending of a command that never reached the system.
const ScsiEnding SCSI_NOT_SENT = {-1, 0, false, false};

// What the ASPI library made of a name that is an ASPI address, at the last open.
enum ScsiAspiLibrary : int32_t {
    SCSI_ASPI_NOT_ASKED,    // the name is no ASPI address
    SCSI_ASPI_STARTED,      // the library took it
    SCSI_ASPI_NO_LIBRARY,   // there is no library this program could load
    SCSI_ASPI_NOT_STARTED,  // the library loaded but did not start
};

// What the handle keeps of its last open or command, for scsiOutcome.
const int32_t SCSI_KEPT_SENSE = 18;
const int32_t SCSI_KEPT_TRACE = 2048;
struct ScsiLast {
    bool openFailed;  // the last thing done was an open that failed
    SayResult result;
    ScsiEnding ending;
    int32_t timeoutSeconds;  // the backend's time-out for that command
    uint8_t sense[SCSI_KEPT_SENSE];
    int32_t senseLength;
    ScsiAspiLibrary aspiLibrary;  // for an open
    char trace[SCSI_KEPT_TRACE];  // the trace lines it wrote, as written (cut where full)
};

struct Scsi {
    void* selected;  // the record of the backend chosen by the last successful open, or null
    Aspi* aspi;
    Sptx* sptx;
    ScsiLast last;
};

Scsi* newScsi(void);
int scsiOpen(Scsi* scsi, const char* name);
void scsiClose(Scsi* scsi);
// Closes the handle and gives back what it holds, for a program that makes handles again and
// again (a window's listings); nothing for null.
void scsiFree(Scsi* scsi);
int scsiSetSenseLength(Scsi* scsi, int32_t length);
int scsiSetTimeout(Scsi* scsi, int32_t seconds, int32_t nanoseconds);
SayResult scsiSay(Scsi* scsi, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                  int32_t dataLength, int32_t direction);

// The way the last successful open reached the device.
enum ScsiPath : int32_t {
    SCSI_PATH_NONE,          // nothing is open
    SCSI_PATH_PASS_THROUGH,  // the system's SCSI pass-through, by device name
    SCSI_PATH_ASPI,          // the ASPI for Win32 library, by address
};
ScsiPath scsiPath(const Scsi* scsi);

// The one reading of how the last open or command ended, from which every word about it is
// made: a user's explanation (scsiExplain) and a listing's few words (scsiBrief).
enum ScsiOutcomeKind : int32_t {
    SCSI_OUTCOME_COMPLETED,        // the whole command was done
    SCSI_OUTCOME_NOT_OPENED,       // the system did not open the device: `systemError`
    SCSI_OUTCOME_CHECK_CONDITION,  // the drive refused it: `senseKey`, `asc`, `ascq`
    SCSI_OUTCOME_SENSE_TOO_LONG,   // CHECK CONDITION with more sense data than asked for
    SCSI_OUTCOME_STATUS,           // another status than GOOD (BUSY and the like): `status`
    SCSI_OUTCOME_PARTIAL,          // GOOD, but `residue` bytes were not moved
    SCSI_OUTCOME_UNUSABLE,         // GOOD, but the count of bytes moved made no sense
    SCSI_OUTCOME_TIMED_OUT,        // no answer within `timeoutSeconds`
    SCSI_OUTCOME_NO_DEVICE,        // nothing answered at the address
    SCSI_OUTCOME_SYSTEM_ERROR,     // the system's call failed: `systemError`
    SCSI_OUTCOME_NOT_SENT,         // nothing reached the system
};

struct ScsiOutcome {
    ScsiOutcomeKind kind;
    int32_t status;          // the SCSI status byte, -1 where none came back
    uint32_t systemError;    // the Win32 error code, 0 for none
    int32_t timeoutSeconds;
    int32_t residue;
    int32_t senseKey;        // -1 where the sense data holds none
    int32_t asc;             // -1 where the sense data is too short for the code
    int32_t ascq;
};

ScsiOutcome scsiOutcome(const Scsi* scsi);

// The outcome in a user's words, on one line without its end, e.g. "the drive answered CHECK
// CONDITION: MEDIUM ERROR, WRITE ERROR (3/0C/00)" or "no device answered". Cut to `size`.
void scsiExplain(const ScsiOutcome& outcome, char* text, size_t size);

// The same in a few words, for a listing: "access denied", "no device answered", "not
// ready", "timed out", "no such device", "refused", "busy", "failed".
const char* scsiBrief(const ScsiOutcome& outcome);

// Whether another program (or a kelvo update) holds the drive for itself: the system refused
// the open as in use, or refused a command on a drive it had let this handle open.
bool scsiHeldElsewhere(const ScsiOutcome& outcome);

// Why the last open failed, by what a user can do about it.
enum ScsiOpenFailure : int32_t {
    SCSI_OPEN_NO_ASPI,    // an ASPI address, and no ASPI library started to reach it
    SCSI_OPEN_DENIED,     // the system keeps this user from the device
    SCSI_OPEN_NOT_FOUND,  // nothing that opens is there
};
ScsiOpenFailure scsiOpenFailure(const Scsi* scsi);

// The trace lines that the last open, command or listing request wrote, each with its line
// end, as written: kept for a caller that shows them elsewhere. Empty for none.
const char* scsiLastTrace(const Scsi* scsi);

// The drive for this handle alone, while it writes, where the path offers it: the
// pass-through asks the CD-ROM driver's exclusive access (the stand-in on Linux an exclusive
// open of the node); ASPI has no such request.
enum ScsiExclusive : int32_t {
    SCSI_EXCLUSIVE_TAKEN,        // no other handle or program reaches the drive now
    SCSI_EXCLUSIVE_HELD,         // another program holds the drive: `holder` names it
    SCSI_EXCLUSIVE_NOT_OFFERED,  // the system or the path has no such lock: nothing changed
};
const size_t SCSI_EXCLUSIVE_HOLDER_SIZE = 65;

// Takes the drive for the handle alone, as `caller` (letters and digits). Where another
// program holds it, `holder` (`size` bytes) takes the name that program gave, "" for none.
ScsiExclusive scsiLockExclusive(Scsi* scsi, const char* caller, char* holder, size_t size);

// Gives the drive back to everyone.
void scsiUnlockExclusive(Scsi* scsi);

// Whether the driver says another program holds the drive exclusively; `holder` (`size`
// bytes) then takes its name.
bool scsiExclusiveHolder(Scsi* scsi, char* holder, size_t size);

// ---- For a listing of the drives (kelvo-list) ----

// Where both backends write their trace lines from now on (standard error until then); the
// lines are kept all the same (scsiLastTrace).
void scsiSetTrace(Scsi* scsi, FILE* trace);

// The answer of scsiAspiAdapters where there is no ASPI library to load, and of
// scsiAspiDeviceType for an address with no device.
const int32_t SCSI_NO_ASPI_LIBRARY = -2;
const int32_t SCSI_NO_DEVICE = -2;

// The ASPI library's host adapters, the library loaded and started as scsiOpen does it: their
// number, SCSI_NO_ASPI_LIBRARY, or -1 when the library loaded but did not start.
int32_t scsiAspiAdapters(Scsi* scsi);

// The highest logical unit an ASPI address names: ASPI for Win32 addresses units 0 to 7.
const int32_t SCSI_ASPI_HIGHEST_LUN = 7;

// The highest target id of a host adapter as an open of its addresses takes it: what its
// SC_HA_INQUIRY admits (7, or 15 for a wide adapter), or where the adapter did not answer
// (`*answered` false), the 7 of a narrow adapter, with which kelvo goes on all the same. -1
// where the library has not started.
int32_t scsiAspiHighestTarget(Scsi* scsi, int32_t hostAdapter, bool* answered);

// The peripheral device type at an ASPI address by SC_GET_DEV_TYPE (5 for a CD-ROM),
// SCSI_NO_DEVICE, or -1 when the library failed the request.
int32_t scsiAspiDeviceType(Scsi* scsi, int32_t hostAdapter, int32_t target, int32_t lun);
