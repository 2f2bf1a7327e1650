// Firmware files that carry the image as hexadecimal text.
#pragma once

#include <cstdint>

// Finds the image's text in `source` and decodes it to the front of `destination` (which
// may be `source` itself), adding the decoded bytes to *extractedSize. Returns 0 when a
// container was found, -1 when there is none.
int extractHexImage(const uint8_t* source, uint32_t sourceSize, uint8_t* destination,
                    int32_t* extractedSize);

// Writes `count` bytes to a new file at `path`. Returns 0, or -1 after an error message.
int writeWholeFile(const char* path, const uint8_t* data, int32_t count);
