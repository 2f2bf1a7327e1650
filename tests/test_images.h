// Firmware files made by the tests: valid images, and the hex containers that carry them.
#pragma once

#include <cstdint>
#include <vector>

// A valid image for `name` whose payload differs from chunk to chunk, and whose header
// bytes that the tool does not examine are not zero either.
std::vector<uint8_t> firmwareImage(uint32_t payloadSize,
                                   const char* name = "MATSHITADVD-RAM UJ-85J  1.00");

// The image as hexadecimal text in a file of about 3.5 MB, as some firmware is shipped.
std::vector<uint8_t> hexContainer(const std::vector<uint8_t>& image);
