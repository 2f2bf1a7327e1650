// Writes a sample firmware image: the header names the drive it is made for and carries the
// payload's length and checksum; the payload is a fixed pattern, so every run gives the same.
// With --container, the file is a container of 3.5 MiB instead, carrying the image as
// hexadecimal text 4096 bytes in.
//
//   make_image [--container] <output> <payload bytes> [drive identification, 28 characters]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const defaultIdentification = "MATSHITADVD-RAM UJ-85J  1.00";
const size_t CONTAINER_SIZE = 3670016;
const size_t CONTAINER_TEXT_OFFSET = 4096;

void putBigEndian(unsigned char* at, unsigned long value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8) at[i] = static_cast<unsigned char>(value);
}

// "<4d415453 48495441 ... >" amid filler, as the containers carry an image; empty when the
// text does not fit.
std::vector<unsigned char> containerOf(const std::vector<unsigned char>& image) {
    std::string text = "<";
    char digits[3];
    for (size_t i = 0; i < image.size(); ++i) {
        snprintf(digits, sizeof digits, "%02x", image[i]);
        text += digits;
        if (i % 4 == 3 || i + 1 == image.size()) text += ' ';
    }
    text += '>';
    std::vector<unsigned char> container(CONTAINER_SIZE, 'x');
    if (CONTAINER_TEXT_OFFSET + text.size() > container.size()) return {};
    memcpy(&container[CONTAINER_TEXT_OFFSET], text.data(), text.size());
    return container;
}

}  // namespace

int main(int argc, char** argv) {
    const bool container = argc > 1 && strcmp(argv[1], "--container") == 0;
    if (container) {
        --argc;
        ++argv;
    }
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: make_image [--container] <output> <payload bytes> "
                        "[drive identification]\n");
        return 2;
    }
    const unsigned long payload = strtoul(argv[2], nullptr, 10);
    const char* identification = argc == 4 ? argv[3] : defaultIdentification;
    std::vector<unsigned char> image(48 + payload, 0);
    memcpy(image.data(), identification, strnlen(identification, 28));
    unsigned sum = 0;
    for (unsigned long i = 0; i < payload; ++i) {
        image[48 + i] = static_cast<unsigned char>((i * 7 + i / 251 + 3) & 0xFF);
        sum += i % 2 == 0 ? image[48 + i] << 8 : image[48 + i];
    }
    putBigEndian(&image[36], payload, 4);
    putBigEndian(&image[42], sum & 0xFFFF, 2);
    if (container) image = containerOf(image);
    if (image.empty()) {
        fprintf(stderr, "%s: an image of %lu payload bytes does not fit a container\n", argv[1],
                payload);
        return 1;
    }
    FILE* out = fopen(argv[1], "wb");
    if (out == nullptr || fwrite(image.data(), 1, image.size(), out) != image.size() ||
        fclose(out) != 0) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
