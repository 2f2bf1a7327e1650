#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int fileCreate(const char* path) {
    return open(path, O_WRONLY | O_CREAT | O_TRUNC, S_IRUSR | S_IWUSR);
}

bool fileWrite(int file, const uint8_t* data, uint32_t count) {
    return write(file, data, count) == ssize_t(count);
}

bool fileIsRegular(int file) {
    struct stat status;
    return fstat(file, &status) == 0 && S_ISREG(status.st_mode);
}

bool fileClose(int file) { return close(file) == 0; }

// The root ("/") already ends in the separator.
bool fileInCurrentFolder(const char* name, char* path, size_t size) {
    char folder[4096];
    if (getcwd(folder, sizeof folder) == nullptr) return false;
    const bool separated = strcmp(folder, "/") == 0;
    snprintf(path, size, "%s%s%s", folder, separated ? "" : "/", name);
    return true;
}

FILE* fileNowhere() { return fopen("/dev/null", "w"); }
