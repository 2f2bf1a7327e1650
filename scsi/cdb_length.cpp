#include "cdb_length.h"

namespace {

const uint8_t b = CDB_LENGTH_IN_BYTE_7;
const uint8_t c = CDB_LENGTH_ANY;

// Demanded length of a CDB whose length is given in its own byte 7.
int32_t variableCdbLength(const uint8_t* cdb) { return (cdb[7] + 11) & ~3; }

void reportWrongLength(FILE* diagnostics, const uint8_t* cdb, int32_t demanded,
                       int32_t callerLength) {
    fprintf(diagnostics, "=== PLEASE REPORT FOLLOWING ERROR ===\n");
    fprintf(diagnostics, "CDB length should be %lu instead of %lu:\n",
            static_cast<unsigned long>(static_cast<uint32_t>(demanded)),
            static_cast<unsigned long>(static_cast<uint32_t>(callerLength)));
    for (int32_t i = 0; i < demanded; ++i) fprintf(diagnostics, "%02X ", cdb[i]);
    fprintf(diagnostics, "\n");
}

}  // namespace

// Rows follow the SCSI group code: groups 0 to 2, 4 and 5 have fixed lengths, group 3 is
// open but for the variable-length CDB 7Fh, and the vendor groups 6 and 7 are open.
const uint8_t cdbLengthTable[256] = {
     6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  // 00h
     6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  6,  // 10h
    10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10,  // 20h
    10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10,  // 30h
    10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10,  // 40h
    10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10,  // 50h
     c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  // 60h
     c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  b,  // 70h
    16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16,  // 80h
    16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16,  // 90h
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,  // A0h
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,  // B0h
     c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  // C0h
     c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  // D0h
     c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  // E0h
     c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  c,  // F0h
};

int32_t cdbCheckLength(const uint8_t* cdb, int32_t callerLength, FILE* diagnostics) {
    const uint8_t entry = cdbLengthTable[cdb[0]];
    if (entry == CDB_LENGTH_ANY) return callerLength;
    const int32_t demanded = entry == CDB_LENGTH_IN_BYTE_7 ? variableCdbLength(cdb) : entry;
    if (demanded == callerLength) return callerLength;
    reportWrongLength(diagnostics, cdb, demanded, callerLength);
    return demanded;
}
