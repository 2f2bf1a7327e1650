#include "hex_container.h"

#include <cstring>

#include "files.h"

namespace {

// '<' and the vendor MATSHITA as the first two groups, exactly as the containers write them.
const char MARKER[] = "<4d415453 48495441";
const uint32_t MARKER_LENGTH = sizeof MARKER - 1;
// Text within the first 4 KiB of a file is never taken for the image.
const uint32_t SEARCH_START = 4096;
// The last start position searched lies this many bytes before the end of the data.
const uint32_t SEARCH_END_DISTANCE = 33;
const uint32_t GROUP_DIGITS = 8;
const uint32_t GROUP_BYTES = 4;
const uint8_t TERMINATOR = '>';

// The offset of the first marker in the search window, or 0 when there is none (the window
// never begins at 0).
uint32_t findMarker(const uint8_t* source, uint32_t size) {
    if (size < SEARCH_START + SEARCH_END_DISTANCE) return 0;
    const uint32_t last = size - SEARCH_END_DISTANCE;
    for (uint32_t at = SEARCH_START; at <= last; ++at) {
        if (source[at] == MARKER[0] && source[at + 1] == MARKER[1] &&
            memcmp(source + at, MARKER, MARKER_LENGTH) == 0)
            return at;
    }
    return 0;
}

// The containers' own arithmetic, which validates nothing: hexadecimal digits of either case
// get their usual value, any other byte whatever the subtraction leaves in 8 bits.
constexpr uint8_t digitValue(uint8_t c) {
    if (c >= 'a') return uint8_t(c - ('a' - 10));
    if (c >= 'A') return uint8_t(c - ('A' - 10));
    return uint8_t(c - '0');
}

// The same values looked up: branching on every character, in text that mixes digits and
// letters at random, made the whole extraction about ten times slower.
struct DigitValues {
    uint8_t of[256];
};

constexpr DigitValues allDigitValues() {
    DigitValues values{};
    for (int c = 0; c < 256; ++c) values.of[c] = digitValue(uint8_t(c));
    return values;
}

constexpr DigitValues DIGIT_VALUES = allDigitValues();

uint8_t byteFromDigits(const uint8_t* digits) {
    return uint8_t(DIGIT_VALUES.of[digits[0]] << 4 | DIGIT_VALUES.of[digits[1]]);
}

// Decodes the groups that start at `first` into `image` and returns how many bytes it wrote.
// Every 9 characters of text give 4 bytes, so with `image` at the front of the same buffer
// the writing never overtakes the reading. Decoding stops at a terminator where a group would
// begin, or where the data ends before a whole group or before the character after its
// separator; only whole groups count.
int32_t decodeGroups(const uint8_t* source, uint32_t size, uint32_t first, uint8_t* image) {
    int32_t written = 0;
    for (uint32_t at = first; size - at >= GROUP_DIGITS;) {
        for (uint32_t i = 0; i < GROUP_BYTES; ++i)
            image[written + i] = byteFromDigits(source + at + 2 * i);
        written += GROUP_BYTES;
        const uint32_t next = at + GROUP_DIGITS + 1;  // past the separator, whatever it is
        if (next >= size || source[next] == TERMINATOR) break;
        at = next;
    }
    return written;
}

}  // namespace

int extractHexImage(const uint8_t* source, uint32_t sourceSize, uint8_t* destination,
                    int32_t* extractedSize) {
    const uint32_t marker = findMarker(source, sourceSize);
    if (marker == 0) return -1;
    // The marker's own digits are the image's first two groups.
    *extractedSize += decodeGroups(source, sourceSize, marker + 1, destination);
    return 0;
}

int writeWholeFile(const char* path, const uint8_t* data, int32_t count, FILE* errors) {
    const int file = fileCreate(path);
    if (file < 0) {
        fprintf(errors, "ERROR: failed to open %s for write\n", path);
        return -1;
    }
    const bool written = count >= 0 && fileWrite(file, data, uint32_t(count));
    const bool regular = fileIsRegular(file);
    // A close can be the first to report that the bytes did not reach the disk.
    const bool closed = fileClose(file);
    if (!written || !closed) {
        // A copy cut short must never stay where it could be flashed later. Only a regular
        // file goes: a device written to (as /dev/full) is no copy.
        if (regular) remove(path);
        fprintf(errors, "ERROR: failed to write %s\n", path);
        return -1;
    }
    return 0;
}
