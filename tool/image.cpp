#include "image.h"

#include <algorithm>
#include <cstring>

namespace {

const uint32_t PAYLOAD_LENGTH_OFFSET = 36;
const uint32_t CHECKSUM_OFFSET = 42;

// The header as far as the image holds it, zero behind a short image: an image that came out
// of a container can be shorter than a header, and nothing may be read beyond it.
struct Header {
    uint8_t bytes[IMAGE_HEADER_SIZE];
};

Header headerOf(const uint8_t* image, uint32_t size) {
    Header header{};
    memcpy(header.bytes, image, std::min(size, IMAGE_HEADER_SIZE));
    return header;
}

uint32_t bigEndian32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 |
           bytes[3];
}

}  // namespace

FirmwareName imageName(const uint8_t* image, uint32_t size) {
    const Header header = headerOf(image, size);
    FirmwareName name{};
    memcpy(name.text, header.bytes, IMAGE_NAME_LENGTH);
    return name;
}

uint32_t imageDeclaredSize(const uint8_t* image, uint32_t size) {
    return bigEndian32(headerOf(image, size).bytes + PAYLOAD_LENGTH_OFFSET) + IMAGE_HEADER_SIZE;
}

uint16_t imageStoredChecksum(const uint8_t* image, uint32_t size) {
    const Header header = headerOf(image, size);
    return uint16_t(header.bytes[CHECKSUM_OFFSET] << 8 | header.bytes[CHECKSUM_OFFSET + 1]);
}

// Big-endian 16-bit words summed modulo 65536. An odd payload's last word has only its high
// byte in the image; its low byte counts as zero, as if the payload were padded.
uint16_t imagePayloadChecksum(const uint8_t* image, uint32_t size) {
    uint16_t sum = 0;
    for (uint32_t at = IMAGE_HEADER_SIZE; at < size; at += 2) {
        const uint8_t low = at + 1 < size ? image[at + 1] : 0;
        sum = uint16_t(sum + (image[at] << 8 | low));
    }
    return sum;
}

ImageCheck imageCheck(const uint8_t* image, uint32_t size) {
    ImageCheck check = {IMAGE_VALID, size, imageDeclaredSize(image, size),
                        imageStoredChecksum(image, size), 0};
    // Below a whole header the declared size can wrap around to the image's own size.
    if (size < IMAGE_HEADER_SIZE || size != check.declaredSize) {
        check.fault = IMAGE_LENGTH_WRONG;
        return check;
    }
    check.payloadChecksum = imagePayloadChecksum(image, size);
    if (check.payloadChecksum != check.storedChecksum)
        check.fault = IMAGE_CHECKSUM_WRONG;
    else if (size - IMAGE_HEADER_SIZE > IMAGE_MAX_PAYLOAD)
        check.fault = IMAGE_PAYLOAD_TOO_LARGE;
    return check;
}
