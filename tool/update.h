// The conversation with the drive: identification, the chunked firmware write and the
// closing command.
#pragma once

#include <cstdint>

#include "scsi.h"

const uint32_t CHUNK_PAYLOAD = 0x8000;

// The user's answer at the prompt, then the closing command's data: one buffer of this size.
const int32_t ANSWER_BUFFER_SIZE = 1024;

// The peripheral device type of a CD/DVD drive, the only kind of device kelvo updates.
const int32_t OPTICAL_DRIVE_TYPE = 5;

// What the device's INQUIRY said of it.
struct DeviceInquiry {
    char* identification;    // vendor, product, revision: a new heap string, null on failure
    int32_t peripheralType;  // 0 to 31; -1 where the device did not say or no device is there
};

// One INQUIRY, as kelvo sends it.
DeviceInquiry inquireDevice(Scsi* scsi);

// The drive's INQUIRY identification (vendor, product, revision; at most 28 characters) as a
// new heap string, or null when the INQUIRY fails.
char* identifyDevice(Scsi* scsi);

// The first `length` characters equal ignoring case, or both texts ending together before.
bool equalIgnoringCase(const char* first, const char* second, int32_t length);

// Vendor and product (the first 24 characters) equal, ignoring case.
bool deviceMatchesFirmware(const char* firmwareName, const char* identification);

// The drive names the image's firmware in all its characters: it runs that firmware.
bool deviceRunsFirmware(const char* firmwareName, const char* identification);

// The vendor identification (the first 8 characters) is MATSHITA, ignoring case: only such a
// drive is known to take the vendor's write and closing commands as an update.
bool deviceIsMatshita(const char* identification);

// Writes one chunk: the image header followed by `chunk` payload bytes, from the front of
// `buffer`, to the drive's firmware area at `payloadOffset`.
SayResult sp_write(Scsi* scsi, uint32_t payloadOffset, uint8_t* buffer, uint32_t chunk);

// How far a transfer got: the chunks and payload bytes the drive accepted, of all of them.
struct TransferProgress {
    uint32_t chunksAccepted;
    uint32_t chunks;
    uint32_t bytesAccepted;
    uint32_t bytes;
};

// Where an update stands.
enum UpdateStage : int32_t {
    UPDATE_WRITING,       // the chunks go out
    UPDATE_CLOSING,       // every chunk was accepted; the closing command goes out
    UPDATE_ASKING_DRIVE,  // the closing command failed; the drive is asked who it is now
    UPDATE_OVER,          // its outcome is known
};

// Whoever shows an update as it runs: a console, a window. Either call may be null; both come
// from the thread that runs the update.
struct UpdateObserver {
    void* context;
    // Before the first chunk and after each one the drive accepted.
    void (*progress)(void* context, const TransferProgress& progress);
    void (*stage)(void* context, UpdateStage stage);
    // After each command that wrote trace lines, with the lines as written: for a face whose
    // traces do not go to a stream of their own.
    void (*traced)(void* context, const char* lines);
};

// How an update ended.
enum UpdateEnd : int32_t {
    UPDATE_FINISHED,      // the drive took the image
    UPDATE_CHUNK_FAILED,  // a chunk failed: nothing more was sent, the image was not taken
    UPDATE_NOT_TAKEN,     // the closing command failed and the drive does not name the image
};

struct UpdateOutcome {
    UpdateEnd end;
    TransferProgress transfer;
    SayResult failedChunk;       // the failed chunk's result
    SayResult closing;           // the closing command's result
    ScsiOutcome answer;          // how the failed chunk or the closing command ended
    char* driveAfterClosing;     // after a failed closing command: who the drive says it is
                                 // now (a new heap string), null where it does not answer
};

// The update from its first chunk to its outcome: the payload of an image of `size` bytes
// in chunks, each behind the image's header, then the closing command. "Finished" only for
// a drive that took the image: one whose closing command completed, or that names the image's
// firmware in all its characters when asked again after it failed.
UpdateOutcome updateDrive(Scsi* scsi, uint8_t* image, uint32_t size, const char* firmwareName,
                          const UpdateObserver& observer);

// Sends the payload in chunks, moving each chunk to the front of `image` (so the image cannot
// be sent twice). Returns 0, or the result of the chunk that failed; `progress` says how far
// it got.
SayResult sendFirmware(Scsi* scsi, uint8_t* image, uint32_t size, TransferProgress* progress,
                       const UpdateObserver& observer);

// Tells the drive the image is complete; `buffer` takes up to ANSWER_BUFFER_SIZE bytes of the
// answer.
SayResult sendClosingCommand(Scsi* scsi, uint8_t* buffer);

// Asks a drive that may be restarting after its closing command who it is now: again and
// again while it does not answer, for at most RESTART_WAIT_SECONDS in all. Null when it never
// answered.
const int32_t RESTART_WAIT_SECONDS = 30;
char* identifyRestartedDevice(Scsi* scsi, const UpdateObserver& observer);
