// The firmware file as the driver takes it, without a device: the fuzzer's bytes are the
// file. They are checked as an image, and searched and decoded as a container would be, in
// place, and what came out checked as an image; every accepted image is checked once more
// against the header by a reading of its own, and the decoding against a plain decoder.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hex_container.h"
#include "image.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const char MARKER[] = "<4d415453 48495441";
const size_t SEARCH_START = 4096;
const size_t SEARCH_END_DISTANCE = 33;

[[noreturn]] void broken(const char* property, const std::string& detail) {
    fprintf(stderr, "PROPERTY BROKEN: %s\n%s\n", property, detail.c_str());
    abort();
}

uint32_t bigEndian32(const uint8_t* at) {
    return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | at[3];
}

// The containers' arithmetic, which checks nothing: any byte gives a value in 8 bits.
uint8_t digit(uint8_t c) {
    if (c >= 'a') return uint8_t(c - 'a' + 10);
    if (c >= 'A') return uint8_t(c - 'A' + 10);
    return uint8_t(c - '0');
}

// The container's text decoded the plain way, character by character: the groups from the
// first marker in the search window up to a '>' where a group would begin or the end.
bool plainDecode(const Bytes& file, Bytes* image) {
    if (file.size() < SEARCH_START + SEARCH_END_DISTANCE) return false;
    const std::string text(file.begin(), file.end());
    const size_t marker = text.find(MARKER, SEARCH_START);
    if (marker == std::string::npos || marker > file.size() - SEARCH_END_DISTANCE) return false;
    for (size_t at = marker + 1; at + 8 <= file.size(); at += 9) {
        for (size_t i = 0; i < 8; i += 2)
            image->push_back(uint8_t(digit(file[at + i]) << 4 | digit(file[at + i + 1])));
        if (at + 9 >= file.size() || file[at + 9] == '>') break;
    }
    return true;
}

// The checks as the driver makes them, in its order: a refused image names the first check
// that failed, with the numbers it compared, which must differ as that check says.
void checkImage(const uint8_t* image, uint32_t size) {
    const ImageCheck check = imageCheck(image, size);
    if (check.size != size) broken("the check reports the image's size", "");
    switch (check.fault) {
    case IMAGE_LENGTH_WRONG:
        if (size >= 48 && check.declaredSize == size)
            broken("a length refused differs from the header's", std::to_string(size));
        return;
    case IMAGE_CHECKSUM_WRONG:
        if (check.storedChecksum == check.payloadChecksum)
            broken("a checksum refused differs from the header's", "");
        return;
    case IMAGE_PAYLOAD_TOO_LARGE:
        if (size - 48 <= 0x1000000) broken("a payload refused is longer than 16 MiB", "");
        return;
    case IMAGE_VALID:
        break;
    }
    if (size < 48) broken("an accepted image holds a header", std::to_string(size));
    if (uint64_t(bigEndian32(image + 36)) + 48 != size)
        broken("an accepted image is as long as its header says", std::to_string(size));
    if (size - 48 > 0x1000000) broken("an accepted payload fits the write command", "");
    uint16_t sum = 0;
    for (uint32_t at = 48; at < size; at += 2) {
        const uint16_t word = uint16_t(image[at] << 8 | (at + 1 < size ? image[at + 1] : 0));
        sum = uint16_t(sum + word);
    }
    if (sum != (image[42] << 8 | image[43])) broken("an accepted image's checksum holds", "");
    const FirmwareName name = imageName(image, size);
    if (name.text[IMAGE_NAME_LENGTH] != '\0' ||
        memcmp(name.text, image, strnlen(name.text, IMAGE_NAME_LENGTH)) != 0)
        broken("the firmware name is the header's first 28 bytes", "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A block of exactly the file's size, so that a read beyond it is caught.
    const Bytes file(data, data + size);
    uint8_t* buffer = static_cast<uint8_t*>(malloc(std::max<size_t>(size, 1)));
    if (size > 0) memcpy(buffer, data, size);
    checkImage(buffer, uint32_t(size));

    int32_t extracted = 0;
    const int found = extractHexImage(buffer, uint32_t(size), buffer, &extracted);
    Bytes plain;
    const bool plainFound = plainDecode(file, &plain);
    if ((found == 0) != plainFound) broken("the container is found where its marker is", "");
    if (found != 0) {
        if (extracted != 0 || memcmp(buffer, data, size) != 0)
            broken("a file without a container is left as it was", "");
    } else {
        if (size_t(extracted) != plain.size() || memcmp(buffer, plain.data(), plain.size()) != 0)
            broken("the container's text decodes as the plain decoder does",
                   std::to_string(extracted) + " against " + std::to_string(plain.size()));
        checkImage(buffer, uint32_t(extracted));
    }
    free(buffer);
    return 0;
}
