// The firmware image: a 48-byte header followed by the payload, numbers big-endian.
#pragma once

#include <cstdint>
#include <cstdio>

const uint32_t IMAGE_HEADER_SIZE = 48;
const uint32_t IMAGE_NAME_LENGTH = 28;

// The write command carries the payload offset in 24 bits, so no payload may be longer.
const uint32_t IMAGE_MAX_PAYLOAD = 0x1000000;

struct FirmwareName {
    char text[IMAGE_NAME_LENGTH + 1];
};

// The drive identification the image is made for (header offsets 0 to 27).
FirmwareName imageName(const uint8_t* image, uint32_t size);

// The header's payload length plus the header itself, modulo 2^32.
uint32_t imageDeclaredSize(const uint8_t* image, uint32_t size);
uint16_t imageStoredChecksum(const uint8_t* image, uint32_t size);
uint16_t imagePayloadChecksum(const uint8_t* image, uint32_t size);

// Each check returns 0 when the image passes, else prints its message on `errors` and
// returns -1.
int imageCheckLength(const uint8_t* image, uint32_t size, FILE* errors);
int imageCheckChecksum(const uint8_t* image, uint32_t size, const char* fileName, FILE* errors);
int imageCheckPayloadFits(uint32_t size, FILE* errors);
