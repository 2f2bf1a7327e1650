#include "test_images.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "image.h"

std::vector<uint8_t> firmwareImage(uint32_t payloadSize, const char* name) {
    std::vector<uint8_t> image(IMAGE_HEADER_SIZE + payloadSize);
    memcpy(image.data(), name, IMAGE_NAME_LENGTH);
    for (uint32_t at = 28; at < IMAGE_HEADER_SIZE; ++at) image[at] = uint8_t(0xA0 + at);
    for (uint32_t i = 0; i < payloadSize; ++i)
        image[IMAGE_HEADER_SIZE + i] = uint8_t((i * 13) ^ (i >> 8));
    for (int byte = 0; byte < 4; ++byte) image[36 + byte] = uint8_t(payloadSize >> (24 - 8 * byte));
    const uint16_t checksum = imagePayloadChecksum(image.data(), uint32_t(image.size()));
    image[42] = uint8_t(checksum >> 8);
    image[43] = uint8_t(checksum);
    return image;
}

std::vector<uint8_t> hexContainer(const std::vector<uint8_t>& image) {
    std::string text(5000, '.');
    text += '<';
    char group[10];
    for (size_t at = 0; at < image.size(); at += 4) {
        snprintf(group, sizeof group, "%02x%02x%02x%02x ", image[at], image[at + 1],
                 image[at + 2], image[at + 3]);
        text += group;
    }
    text += '>';
    text.resize(3500000, '.');
    return std::vector<uint8_t>(text.begin(), text.end());
}
