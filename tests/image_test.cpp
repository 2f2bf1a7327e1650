#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "image.h"
#include "words.h"

namespace {

std::vector<uint8_t> imageWith(const std::vector<uint8_t>& payload, uint32_t declaredLength,
                               uint16_t storedChecksum) {
    std::vector<uint8_t> image(IMAGE_HEADER_SIZE, 0);
    memcpy(image.data(), "MATSHITADVD-RAM UJ-85J  1.00", 28);
    image[36] = uint8_t(declaredLength >> 24);
    image[37] = uint8_t(declaredLength >> 16);
    image[38] = uint8_t(declaredLength >> 8);
    image[39] = uint8_t(declaredLength);
    image[42] = uint8_t(storedChecksum >> 8);
    image[43] = uint8_t(storedChecksum);
    image.insert(image.end(), payload.begin(), payload.end());
    return image;
}

// What kelvo says of the image's first `size` bytes as the file fw.bin: nothing when valid.
std::string verdictOf(const std::vector<uint8_t>& image, uint32_t size) {
    FileVerdict verdict = {};
    verdict.image = imageCheck(image.data(), size);
    if (verdict.image.fault != IMAGE_VALID) verdict.fault = FILE_IMAGE_INVALID;
    Text text = {};
    describeFileFault(&text, verdict, "fw.bin");
    return text.chars;
}

TEST(ImageLength, PassesOnlyWhenSizeIsDeclaredLengthPlusHeader) {
    struct Case {
        uint32_t payload;
        uint32_t declared;
        const char* message;
    } cases[] = {
        {240, 240, ""},
        {0, 0, ""},
        {241, 240, "fatal: firmware file length 289 does not match header info 288\n"},
        {239, 240, "fatal: firmware file length 287 does not match header info 288\n"},
        {240, 0x7FFFFFFF, "fatal: firmware file length 288 does not match header info -2147483601\n"},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> image = imageWith(std::vector<uint8_t>(c.payload), c.declared, 0);
        EXPECT_EQ(verdictOf(image, uint32_t(image.size())), c.message) << c.payload;
    }
}

// An image cut short inside its header (only a container can yield one) has no length to
// compare, even where the declared length wraps around to its size.
TEST(ImageLength, ImageShorterThanItsHeaderFails) {
    struct Case {
        uint32_t size;
        uint32_t declared;
        const char* message;
    } cases[] = {
        {44, 0xFFFFFFFC, "fatal: firmware file length 44 does not match header info 44\n"},
        {47, 0xFFFFFFFF, "fatal: firmware file length 47 does not match header info 47\n"},
        {12, 0, "fatal: firmware file length 12 does not match header info 48\n"},
        {0, 0, "fatal: firmware file length 0 does not match header info 48\n"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image = imageWith({}, c.declared, 0);
        // Bytes past the image's end must not be read as its header.
        if (c.size <= 36) std::fill(image.begin() + c.size, image.end(), 0xFF);
        EXPECT_EQ(verdictOf(image, c.size), c.message) << c.size;
    }
}

TEST(ImageChecksum, SumsBigEndianWordsOfThePayload) {
    struct Case {
        std::vector<uint8_t> payload;
        uint16_t sum;
    } cases[] = {
        {{}, 0x0000},
        {{0x01, 0x02, 0x03, 0x04}, 0x0406},
        {{0xFF, 0xFF, 0x00, 0x02}, 0x0001},
        {{0x01, 0x02, 0x03}, 0x0402},  // the missing low byte counts as zero
        {{0xAB}, 0xAB00},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image = imageWith(c.payload, uint32_t(c.payload.size()), 0);
        const uint32_t size = uint32_t(image.size());
        image.push_back(0xEE);  // beyond the image: never part of the sum
        EXPECT_EQ(imagePayloadChecksum(image.data(), size), c.sum) << c.payload.size();
    }
}

TEST(ImageChecksum, MismatchNamesFileAndBothValues) {
    const std::vector<uint8_t> image = imageWith({0x00, 0xAB}, 2, 0x1234);
    EXPECT_EQ(verdictOf(image, uint32_t(image.size())),
              "fatal: checksum error in file fw.bin, expected 1234, current 00AB\n");
    const std::vector<uint8_t> good = imageWith({0x00, 0xAB}, 2, 0x00AB);
    EXPECT_EQ(verdictOf(good, uint32_t(good.size())), "");
}

TEST(ImageName, TakesTheFirst28BytesUpToAZero) {
    std::vector<uint8_t> image = imageWith({}, 0, 0);
    EXPECT_STREQ(imageName(image.data(), uint32_t(image.size())).text,
                 "MATSHITADVD-RAM UJ-85J  1.00");
    image[8] = 0;
    EXPECT_STREQ(imageName(image.data(), uint32_t(image.size())).text, "MATSHITA");
    // Twelve bytes are all an image may have; the name stops there.
    image[8] = 'D';
    image[12] = 0xFF;
    EXPECT_STREQ(imageName(image.data(), 12).text, "MATSHITADVD-");
}

TEST(ImagePayload, LongerThanTheWriteCommandCanAddressIsRefused) {
    const std::vector<uint8_t> largest = imageWith(std::vector<uint8_t>(0x1000000), 0x1000000, 0);
    EXPECT_EQ(verdictOf(largest, uint32_t(largest.size())), "");
    const std::vector<uint8_t> beyond = imageWith(std::vector<uint8_t>(0x1000001), 0x1000001, 0);
    EXPECT_EQ(verdictOf(beyond, uint32_t(beyond.size())),
              "fatal: firmware payload of 16777217 bytes exceeds the 16777216 bytes the write "
              "command can address\n");
}

}  // namespace
