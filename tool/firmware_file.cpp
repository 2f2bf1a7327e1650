#include "firmware_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "hex_container.h"
#include "image.h"
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

const char* const OPEN_FOR_READ_ERROR = "open for read error\n";

// Why the file could not be read, in a user's words, from the C library's `error`. The
// system's own code is asked first, before another call replaces it.
const char* whyUnreadable(const char* path, int error) {
    if (error == EACCES && platformFileInUse()) return "another program holds it locked";
    struct stat status;
    if (error == EISDIR || (stat(path, &status) == 0 && S_ISDIR(status.st_mode)))
        return "it is a folder";
    if (error == ENOENT || error == ENOTDIR) return "there is no such file";
    if (error == EACCES || error == EPERM) return "access is denied";
    if (error == ESPIPE) return "its size cannot be told (a pipe?)";
    if (error == 0) return "it holds fewer bytes than its size says";
    return strerror(error);
}

}  // namespace

bool firmwareFileRead(const char* path, FirmwareFile* file, FILE* errors) {
    errno = 0;
    FILE* stream = fopen(path, "rb");
    const long size = stream != nullptr ? fileSize(stream) : -1;
    const char* problem = nullptr;
    if (size < 0) {
        problem = OPEN_FOR_READ_ERROR;
    } else if (static_cast<uint32_t>(size) < MINIMUM_FILE_SIZE) {
        problem = "flash data appears to be too short\n";
    } else if ((file->bytes = static_cast<uint8_t*>(malloc(static_cast<size_t>(size)))) ==
               nullptr) {
        problem = "error allocating memory for flash data\n";
    } else if (fread(file->bytes, 1, static_cast<size_t>(size), stream) !=
               static_cast<size_t>(size)) {
        // Part of the buffer would be undefined: refuse rather than judge what is in memory.
        problem = OPEN_FOR_READ_ERROR;
    }
    const int readError = errno;
    if (problem != nullptr) {
        fputs(problem, errors);
        if (problem == OPEN_FOR_READ_ERROR)
            fprintf(errors, "the file %s cannot be read: %s\n", path,
                    whyUnreadable(path, readError));
    }
    if (stream != nullptr) fclose(stream);
    if (problem != nullptr) return false;
    file->size = static_cast<uint32_t>(size);
    return true;
}

bool firmwareFileTakeOutImage(FirmwareFile* file) {
    if (!mayBeContainer(file->size)) return false;
    int32_t extracted = 0;
    if (extractHexImage(file->bytes, file->size, file->bytes, &extracted) != 0) return false;
    file->size = static_cast<uint32_t>(extracted);
    return true;
}

bool firmwareFileIsValid(const FirmwareFile& file, const char* path, FILE* errors) {
    const bool valid = imageCheckLength(file.bytes, file.size, errors) == 0 &&
                       imageCheckChecksum(file.bytes, file.size, path, errors) == 0 &&
                       imageCheckPayloadFits(file.size, errors) == 0;
    // Still of a container's size after the search: no container was found in it.
    if (!valid && mayBeContainer(file.size))
        fprintf(errors, "the file has the size of a hex container, but none was found in it, so "
                        "it was checked as a plain image\n");
    return valid;
}

bool firmwareFileLoad(const char* path, FirmwareFile* file, const char* extractedPath,
                      FILE* errors) {
    if (!firmwareFileRead(path, file, errors)) return false;
    if (firmwareFileTakeOutImage(file) && extractedPath != nullptr)
        writeWholeFile(extractedPath, file->bytes, int32_t(file->size), errors);
    return firmwareFileIsValid(*file, path, errors);
}
