// The captured text on Windows: a pipe of the C library's own (msvcrt's _pipe), read up to a
// NUL byte that each take writes behind the text, since an anonymous pipe cannot tell how
// much it holds without blocking. The pipe holds far more than any one take's text.
#include "text_capture.h"

#include <fcntl.h>
#include <io.h>

#include <cstdlib>

namespace {

const unsigned PIPE_SIZE = 65536;
const char END_OF_TEXT = '\0';  // never part of a trace line or a file's message

}  // namespace

TextCapture* newTextCapture(void) {
    TextCapture* capture = static_cast<TextCapture*>(calloc(1, sizeof(TextCapture)));
    int ends[2];
    if (capture == nullptr || _pipe(ends, PIPE_SIZE, _O_BINARY | _O_NOINHERIT) != 0) {
        free(capture);
        return nullptr;
    }
    capture->readEnd = ends[0];
    capture->stream = _fdopen(ends[1], "wb");
    if (capture->stream == nullptr) {
        _close(ends[0]);
        _close(ends[1]);
        free(capture);
        return nullptr;
    }
    return capture;
}

size_t textCaptureTake(TextCapture* capture, char* text, size_t size) {
    fputc(END_OF_TEXT, capture->stream);
    fflush(capture->stream);
    size_t length = 0;
    char byte = END_OF_TEXT;
    while (_read(capture->readEnd, &byte, 1) == 1 && byte != END_OF_TEXT)
        if (length + 1 < size) text[length++] = byte;
    if (size > 0) text[length] = '\0';
    return length;
}
