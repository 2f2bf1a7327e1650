// The conversation with the drive: identification, the chunked firmware write and the
// closing command.
#pragma once

#include <cstdint>

#include "scsi.h"

const uint32_t CHUNK_PAYLOAD = 0x8000;

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

// What a peripheral device type is, in words: "a direct-access device (a disk)".
const char* peripheralTypeName(int32_t type);

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
    // Called before the first chunk and after each one the drive accepted; null for none.
    void (*report)(const TransferProgress& progress, void* context);
    void* context;
};

// Sends the payload of an image of `size` bytes in chunks, each behind the image's header,
// moving each chunk to the front of `image` (so the image cannot be sent twice). Returns 0,
// or the result of the chunk that failed; `progress` says how far it got.
SayResult sendFirmware(Scsi* scsi, uint8_t* image, uint32_t size, TransferProgress* progress);

// Tells the drive the image is complete; `buffer` takes up to 1024 bytes of the answer.
SayResult sendClosingCommand(Scsi* scsi, uint8_t* buffer);

// Asks a drive that may be restarting after its closing command who it is now: again and
// again while it does not answer, for at most RESTART_WAIT_SECONDS in all. Null when it never
// answered.
const int32_t RESTART_WAIT_SECONDS = 30;
char* identifyRestartedDevice(Scsi* scsi);
