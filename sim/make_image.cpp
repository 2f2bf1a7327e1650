// Writes a sample firmware image: the header names the drive it is made for and carries the
// payload's length and checksum; the payload is a fixed pattern, so every run gives the same.
//
//   make_image <output> <payload bytes> [drive identification, up to 28 characters]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char* const defaultIdentification = "MATSHITADVD-RAM UJ-85J  1.00";

void putBigEndian(unsigned char* at, unsigned long value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8) at[i] = static_cast<unsigned char>(value);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: %s <output> <payload bytes> [drive identification]\n", argv[0]);
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
    FILE* out = fopen(argv[1], "wb");
    if (out == nullptr || fwrite(image.data(), 1, image.size(), out) != image.size() ||
        fclose(out) != 0) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
