// msvcrt's descriptors: binary mode, or every LF written would become CR LF.
#include "files.h"

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

int fileCreate(const char* path) {
    return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

bool fileWrite(int file, const uint8_t* data, uint32_t count) {
    return _write(file, data, count) == int(count);
}

bool fileIsRegular(int file) {
    struct _stat status;
    return _fstat(file, &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG;
}

bool fileClose(int file) { return _close(file) == 0; }

// A drive's root ("C:\") already ends in the separator.
bool fileInCurrentFolder(const char* name, char* path, size_t size) {
    char folder[4096];
    if (_getcwd(folder, sizeof folder) == nullptr) return false;
    const size_t length = strlen(folder);
    const bool separated = length > 0 && folder[length - 1] == '\\';
    snprintf(path, size, "%s%s%s", folder, separated ? "" : "\\", name);
    return true;
}

FILE* fileNowhere() { return fopen("NUL", "w"); }
