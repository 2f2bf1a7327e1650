// The SCSI command layer: one handle through which the tool opens a drive, sets the sense
// length limit and the time-out, sends CDBs and closes the drive again.
#pragma once

#include <cstdint>

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

struct Scsi {
    void* selected;  // the record of the backend chosen by the last successful open, or null
    Aspi* aspi;
    Sptx* sptx;
};

Scsi* newScsi(void);
int scsiOpen(Scsi* scsi, const char* name);
void scsiClose(Scsi* scsi);
int scsiSetSenseLength(Scsi* scsi, int32_t length);
int scsiSetTimeout(Scsi* scsi, int32_t seconds, int32_t nanoseconds);
SayResult scsiSay(Scsi* scsi, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                  int32_t dataLength, int32_t direction);
