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

// The sense key of sense data in fixed or descriptor format, or -1 where it holds none.
int32_t senseKey(const uint8_t* sense, int32_t length);

// "MEDIUM ERROR, WRITE ERROR (3/0C/00)" for sense data in fixed or descriptor format; the
// key alone and the numbers where the code has no name here; "no sense data" for none.
void senseDescribe(const uint8_t* sense, int32_t length, char* text, size_t size);
