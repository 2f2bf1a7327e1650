// The firmware file as the user names it: read whole, its image taken out of a hex container
// where it is one, and checked. kelvo and kelvo-list both go through here, so that the two
// never disagree about a file.
#pragma once

#include <cstdint>
#include <cstdio>

struct FirmwareFile {
    uint8_t* bytes;  // one heap block: the file as read, later the image at its front
    uint32_t size;   // the file's size, after a container's extraction the image's
};

// Reads, extracts and checks the file as kelvo does, saying what is wrong on `errors`: true for
// a valid image. A container's image is also saved as `extractedPath` where one is given; a
// failed save costs only the copy.
bool firmwareFileLoad(const char* path, FirmwareFile* file, const char* extractedPath,
                      FILE* errors);

// Reads the file at `path` into a new heap block: true, or false after the reason on `errors`.
bool firmwareFileRead(const char* path, FirmwareFile* file, FILE* errors);

// A file of a container's size may hold the image as text: when it does, the image replaces
// the text at the front of the block and the size becomes the image's, and the result is true.
bool firmwareFileTakeOutImage(FirmwareFile* file);

// The image's length and checksum, and whether the write command can address its payload:
// true, or false after the reason on `errors` (`path` names the file in the checksum's).
bool firmwareFileIsValid(const FirmwareFile& file, const char* path, FILE* errors);
