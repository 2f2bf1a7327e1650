// The firmware file's calls to the C library as msvcrt answers them over kernel32, for a test
// linked with them wrapped (-Wl,--wrap=fopen64,--wrap=fread; fopen is fopen64 in a build with
// large-file support). msvcrt takes a sharing violation for a denied access (errno EACCES)
// and leaves the system's own code for GetLastError; a read may give fewer bytes than asked.
// Unless the fake kernel32 says otherwise, the host's C library answers.
#include <cerrno>
#include <cstdio>

#include "fake_kernel32.h"

extern "C" {

FILE* __real_fopen64(const char* path, const char* mode);
size_t __real_fread(void* buffer, size_t size, size_t count, FILE* stream);

FILE* __wrap_fopen64(const char* path, const char* mode) {
    const DWORD error = fakeKernel32().fileOpenError;
    if (error == ERROR_SUCCESS) return __real_fopen64(path, mode);
    SetLastError(error);
    errno = EACCES;
    return nullptr;
}

size_t __wrap_fread(void* buffer, size_t size, size_t count, FILE* stream) {
    const size_t fewer = fakeKernel32().readShortBy;
    return __real_fread(buffer, size, count > fewer ? count - fewer : 0, stream);
}

}  // extern "C"
