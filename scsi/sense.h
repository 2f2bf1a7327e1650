// The names of what a drive reports with CHECK CONDITION: the sense key and the additional
// sense code and qualifier, as the SCSI standards' tables name them.
#pragma once

#include <cstddef>
#include <cstdint>

struct SenseName {
    uint8_t asc;
    uint8_t ascq;
    const char* name;
};

// The additional sense codes and qualifiers that optical drives report, in order.
extern const SenseName SENSE_NAMES[];
extern const size_t SENSE_NAME_COUNT;

// What sense data in fixed or descriptor format says: -1 for what it is too short to hold.
struct SenseCodes {
    int32_t key;
    int32_t asc;
    int32_t ascq;
};
SenseCodes senseRead(const uint8_t* sense, int32_t length);

// "MEDIUM ERROR, WRITE ERROR (3/0C/00)"; the key alone and the numbers where the code has no
// name here, the key alone where there is no code; "no sense data" without a key.
void senseDescribe(const SenseCodes& codes, char* text, size_t size);
