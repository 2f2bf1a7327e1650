#include "firmware_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "hex_container.h"
#include "platform.h"

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

bool mayBeContainer(uint32_t size) {
    return size > CONTAINER_SIZE_ABOVE && size < CONTAINER_SIZE_BELOW;
}

// Why the file could not be read, from the C library's `error`. The system's own code is
// asked first, before another call replaces it.
FileUnreadable whyUnreadable(const char* path, int error) {
    if (error == EACCES && platformFileInUse()) return UNREADABLE_LOCKED;
    struct stat status;
    if (error == EISDIR || (stat(path, &status) == 0 && S_ISDIR(status.st_mode)))
        return UNREADABLE_FOLDER;
    if (error == ENOENT || error == ENOTDIR) return UNREADABLE_NO_SUCH_FILE;
    if (error == EACCES || error == EPERM) return UNREADABLE_ACCESS_DENIED;
    if (error == ESPIPE) return UNREADABLE_NO_SIZE;
    if (error == 0) return UNREADABLE_SHORT_READ;
    return UNREADABLE_OTHER;
}

// Reads the file into a new heap block.
FileVerdict readWhole(const char* path, FirmwareFile* file) {
    FileVerdict verdict = {};
    errno = 0;
    FILE* stream = fopen(path, "rb");
    const long size = stream != nullptr ? fileSize(stream) : -1;
    if (size < 0) {
        verdict.fault = FILE_UNREADABLE;
    } else if (static_cast<uint32_t>(size) < MINIMUM_FILE_SIZE) {
        verdict.fault = FILE_TOO_SHORT;
    } else if ((file->bytes = static_cast<uint8_t*>(malloc(static_cast<size_t>(size)))) ==
               nullptr) {
        verdict.fault = FILE_NO_MEMORY;
    } else if (fread(file->bytes, 1, static_cast<size_t>(size), stream) !=
               static_cast<size_t>(size)) {
        // Part of the buffer would be undefined: refuse rather than judge what is in memory.
        verdict.fault = FILE_UNREADABLE;
    }
    const int readError = errno;
    if (verdict.fault == FILE_UNREADABLE) {
        verdict.unreadable = whyUnreadable(path, readError);
        verdict.error = readError;
    }
    if (stream != nullptr) fclose(stream);
    if (verdict.fault == FILE_VALID) file->size = static_cast<uint32_t>(size);
    return verdict;
}

// A file of a container's size may hold the image as text: when it does, the image replaces
// the text at the front of the block and the size becomes the image's.
ContainerSearch takeOutImage(FirmwareFile* file) {
    if (!mayBeContainer(file->size)) return CONTAINER_NOT_SEARCHED;
    int32_t extracted = 0;
    if (extractHexImage(file->bytes, file->size, file->bytes, &extracted) != 0)
        return CONTAINER_NOT_FOUND;
    file->size = static_cast<uint32_t>(extracted);
    return CONTAINER_FOUND;
}

}  // namespace

FileVerdict firmwareFileLoad(const char* path, FirmwareFile* file) {
    FileVerdict verdict = readWhole(path, file);
    if (verdict.fault != FILE_VALID) return verdict;
    verdict.container = takeOutImage(file);
    verdict.image = imageCheck(file->bytes, file->size);
    if (verdict.image.fault != IMAGE_VALID) verdict.fault = FILE_IMAGE_INVALID;
    return verdict;
}
