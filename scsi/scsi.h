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

// How the last command ended beyond its SayResult: what a user is told of a failure.
struct ScsiEnding {
    int32_t status;        // the SCSI status byte the device returned, -1 where none came back
    uint32_t systemError;  // the Win32 error code of a system call that failed, else 0
    bool timedOut;         // it did not complete within the time-out
    bool noDevice;         // nothing answered at the address
};
// The ending of a command that never reached the system.
const ScsiEnding SCSI_NOT_SENT = {-1, 0, false, false};

// What the handle keeps of its last open or command, for scsiExplainLast.
const int32_t SCSI_KEPT_SENSE = 18;
struct ScsiLast {
    bool openFailed;  // the last thing done was an open that failed
    SayResult result;
    ScsiEnding ending;
    int32_t timeoutSeconds;  // the backend's time-out for that command
    uint8_t sense[SCSI_KEPT_SENSE];
    int32_t senseLength;
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

// The last open's or command's end, in a user's words, on one line without its end, e.g.
// "the drive answered CHECK CONDITION: MEDIUM ERROR, WRITE ERROR (3/0C/00)" or "no device
// answered". Always a text, cut to `size`.
void scsiExplainLast(const Scsi* scsi, char* text, size_t size);

// The same in a few words, for a listing: "access denied", "no device answered", "not
// ready", "timed out", "no such device", "refused", "failed".
const char* scsiBriefLast(const Scsi* scsi);

// ---- For a listing of the drives (kelvo-list) ----

// Where both backends write their trace lines from now on (standard error until then).
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

// The highest target id that the host adapter's SC_HA_INQUIRY admits (7, or 15 for a wide
// adapter), or -1 when the adapter did not answer.
int32_t scsiAspiHighestTarget(Scsi* scsi, int32_t hostAdapter);

// The peripheral device type at an ASPI address by SC_GET_DEV_TYPE (5 for a CD-ROM),
// SCSI_NO_DEVICE, or -1 when the library failed the request.
int32_t scsiAspiDeviceType(Scsi* scsi, int32_t hostAdapter, int32_t target, int32_t lun);
