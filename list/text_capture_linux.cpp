// The captured text on POSIX systems: a pipe whose two ends never block, so that a message
// longer than the pipe holds is cut rather than waited for.
#include "text_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// Non-blocking, and closed in any program this one starts.
bool neverBlocksNorLeaks(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

}  // namespace

TextCapture* newTextCapture(void) {
    TextCapture* capture = static_cast<TextCapture*>(calloc(1, sizeof(TextCapture)));
    int ends[2];
    if (capture == nullptr || pipe(ends) != 0) {
        free(capture);
        return nullptr;
    }
    capture->readEnd = ends[0];
    const bool ready = neverBlocksNorLeaks(ends[0]) && neverBlocksNorLeaks(ends[1]);
    capture->stream = ready ? fdopen(ends[1], "w") : nullptr;
    if (capture->stream == nullptr) {
        close(ends[0]);
        close(ends[1]);
        free(capture);
        return nullptr;
    }
    return capture;
}

size_t textCaptureTake(TextCapture* capture, char* text, size_t size) {
    fflush(capture->stream);
    clearerr(capture->stream);
    size_t length = 0;
    char block[512];
    ssize_t got = 0;
    while ((got = read(capture->readEnd, block, sizeof block)) > 0) {
        for (ssize_t i = 0; i < got; ++i)
            if (length + 1 < size) text[length++] = block[i];
    }
    if (size > 0) text[length] = '\0';
    return length;
}
