// The firmware image: a 48-byte header followed by the payload, numbers big-endian.
#pragma once

#include <cstdint>

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

// What the checks found, in the order kelvo runs them: the first that fails counts, with the
// numbers it compared.
enum ImageFault : int32_t {
    IMAGE_VALID,
    IMAGE_LENGTH_WRONG,       // `size` is not `declaredSize`
    IMAGE_CHECKSUM_WRONG,     // `payloadChecksum` is not `storedChecksum`
    IMAGE_PAYLOAD_TOO_LARGE,  // the write command cannot address all of `size` - 48 bytes
};

struct ImageCheck {
    ImageFault fault;
    uint32_t size;
    uint32_t declaredSize;
    uint16_t storedChecksum;
    uint16_t payloadChecksum;
};

ImageCheck imageCheck(const uint8_t* image, uint32_t size);
