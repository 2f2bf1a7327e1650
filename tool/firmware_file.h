// The firmware file as the user names it: read whole, its image taken out of a hex container
// where it is one, and checked. kelvo and kelvo-list both go through here, so that the two
// never disagree about a file; what is found is told as a value, in words by whoever shows it.
#pragma once

#include <cstdint>

#include "image.h"

struct FirmwareFile {
    uint8_t* bytes;  // one heap block: the file as read, later the image at its front
    uint32_t size;   // the file's size, after a container's extraction the image's
};

enum FileFault : int32_t {
    FILE_VALID,
    FILE_UNREADABLE,     // "open for read error": `unreadable` says why
    FILE_TOO_SHORT,      // fewer bytes than a firmware file has
    FILE_NO_MEMORY,      // no memory for the whole file
    FILE_IMAGE_INVALID,  // `image` says which check failed
};

// Why a file could not be read.
enum FileUnreadable : int32_t {
    UNREADABLE_NO_SUCH_FILE,
    UNREADABLE_FOLDER,
    UNREADABLE_ACCESS_DENIED,
    UNREADABLE_LOCKED,      // another program holds it and keeps others out
    UNREADABLE_NO_SIZE,     // its size cannot be told (a pipe)
    UNREADABLE_SHORT_READ,  // it gave fewer bytes than its size says
    UNREADABLE_OTHER,       // `error` is the C library's errno
};

enum ContainerSearch : int32_t {
    CONTAINER_NOT_SEARCHED,  // the file is not of a container's size
    CONTAINER_NOT_FOUND,     // of a container's size, but no image text in it
    CONTAINER_FOUND,         // the image was taken out of it
};

struct FileVerdict {
    FileFault fault;
    FileUnreadable unreadable;
    int error;
    ContainerSearch container;
    ImageCheck image;
};

// Reads, takes out and checks the file as kelvo does. Nothing is printed or saved.
FileVerdict firmwareFileLoad(const char* path, FirmwareFile* file);
