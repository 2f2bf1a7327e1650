// The length every CDB must have, by its operation code.
#pragma once

#include <cstdint>
#include <cstdio>

// Table entries that are not lengths.
const uint8_t CDB_LENGTH_IN_BYTE_7 = 0x62;  // variable-length CDB: 8 plus byte 7, to 4 bytes
const uint8_t CDB_LENGTH_ANY = 0x63;        // open group: the caller's length stands

extern const uint8_t cdbLengthTable[256];

// The length that goes down for this CDB: the caller's, or the one its operation code
// demands after a request on `diagnostics` to report the caller's mistake.
int32_t cdbCheckLength(const uint8_t* cdb, int32_t callerLength, FILE* diagnostics);
