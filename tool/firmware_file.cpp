#include "firmware_file.h"

#include <cstdlib>

#include "hex_container.h"
#include "image.h"

namespace {

const uint32_t MINIMUM_FILE_SIZE = 288;
const uint32_t CONTAINER_SIZE_ABOVE = 0x300000;
const uint32_t CONTAINER_SIZE_BELOW = 0x400000;

// The file's size by seeking to its end, then back to the start; -1 when it cannot be told,
// or when not even its first byte can be read (some systems open and seek a directory).
long fileSize(FILE* stream) {
    if (fseek(stream, 0, SEEK_END) != 0) return -1;
    const long size = ftell(stream);
    if (size < 0 || fseek(stream, 0, SEEK_SET) != 0) return -1;
    if (size > 0 && (fgetc(stream) == EOF || fseek(stream, 0, SEEK_SET) != 0)) return -1;
    return size;
}

}  // namespace

bool firmwareFileRead(const char* path, FirmwareFile* file, FILE* errors) {
    FILE* stream = fopen(path, "rb");
    const long size = stream != nullptr ? fileSize(stream) : -1;
    const char* problem = nullptr;
    if (size < 0) {
        problem = "open for read error\n";
    } else if (static_cast<uint32_t>(size) < MINIMUM_FILE_SIZE) {
        problem = "flash data appears to be too short\n";
    } else if ((file->bytes = static_cast<uint8_t*>(malloc(static_cast<size_t>(size)))) ==
               nullptr) {
        problem = "error allocating memory for flash data\n";
    } else if (fread(file->bytes, 1, static_cast<size_t>(size), stream) !=
               static_cast<size_t>(size)) {
        // Part of the buffer would be undefined: refuse rather than judge what is in memory.
        problem = "open for read error\n";
    }
    if (stream != nullptr) fclose(stream);
    if (problem != nullptr) {
        fputs(problem, errors);
        return false;
    }
    file->size = static_cast<uint32_t>(size);
    return true;
}

bool firmwareFileTakeOutImage(FirmwareFile* file) {
    if (file->size <= CONTAINER_SIZE_ABOVE || file->size >= CONTAINER_SIZE_BELOW) return false;
    int32_t extracted = 0;
    if (extractHexImage(file->bytes, file->size, file->bytes, &extracted) != 0) return false;
    file->size = static_cast<uint32_t>(extracted);
    return true;
}

bool firmwareFileIsValid(const FirmwareFile& file, const char* path, FILE* errors) {
    return imageCheckLength(file.bytes, file.size, errors) == 0 &&
           imageCheckChecksum(file.bytes, file.size, path, errors) == 0 &&
           imageCheckPayloadFits(file.size, errors) == 0;
}
