// Firmware files that carry the image as hexadecimal text: "<4d415453 48495441 ...>", groups
// of eight digits each followed by one separator character, the text closed by '>'.
#pragma once

#include <cstdint>
#include <cstdio>

// Finds the image's text in `source` and decodes it to the front of `destination` (which
// may be `source` itself), adding the decoded bytes to *extractedSize. Returns 0 when a
// container was found, -1 when there is none; then nothing has been written.
//
// Text that runs into the end of `source` before its closing '>' yields the whole groups
// decoded up to there: the image's own length and checksum then judge what came out.
int extractHexImage(const uint8_t* source, uint32_t sourceSize, uint8_t* destination,
                    int32_t* extractedSize);

// Creates or truncates the file at `path`, owner read and write, and writes `count` bytes to
// it. Returns 0, or -1 after an error message on `errors`; a regular file that could not be
// written whole is removed.
int writeWholeFile(const char* path, const uint8_t* data, int32_t count, FILE* errors);
