// The files the tool writes, through the C library of the system it runs on: one
// implementation for each library, chosen when linking (files_msvcrt.cpp, files_posix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Creates or truncates `path` for writing bytes as they are, readable and writable by its
// owner: a descriptor, or -1.
int fileCreate(const char* path);

// Writes all `count` bytes, or reports that it did not.
bool fileWrite(int file, const uint8_t* data, uint32_t count);

bool fileIsRegular(int file);

// Closes the file; false where the close found that the bytes did not reach the disk.
bool fileClose(int file);

// `name` in the current folder, as the system writes a path: false where the folder cannot be
// told.
bool fileInCurrentFolder(const char* name, char* path, size_t size);

// A stream that writes nowhere (the system's null device), or null where it cannot be opened.
FILE* fileNowhere();
