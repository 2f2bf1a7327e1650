#include "win32_error.h"

#include <cstdint>
#include <cstring>

#include "kernel32.h"

namespace {

const DWORD TEXT_BUFFER_SIZE = 1234;

// The system's text for `code`, line end and all, into a zero-filled buffer of
// TEXT_BUFFER_SIZE bytes.
void systemText(DWORD code, char* text) {
    // IGNORE_INSERTS: a text's inserts such as %1 have no arguments to be expanded from.
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       0, text, TEXT_BUFFER_SIZE, nullptr);
    if (length == 0) strcpy(text, "(no more specific error message available)");
}

}  // namespace

void win32ErrorText(uint32_t code, char* text, size_t size) {
    char raw[TEXT_BUFFER_SIZE] = {};
    systemText(code, raw);
    size_t length = strlen(raw);
    while (length > 0 && (raw[length - 1] == '\n' || raw[length - 1] == '\r')) --length;
    snprintf(text, size, "%.*s", static_cast<int>(length), raw);
}

void sayLastError(FILE* trace, const char* label, TraceKept* kept) {
    if (trace == nullptr || label == nullptr) return;
    const DWORD code = GetLastError();
    char text[TEXT_BUFFER_SIZE] = {};
    systemText(code, text);
    const size_t textLength = strlen(text);
    const bool ended = textLength > 0 && text[textLength - 1] == '\n';
    traceWrite(trace, kept, "%s: x%lX (%ld) %s%s", label, static_cast<unsigned long>(code),
               static_cast<long>(static_cast<int32_t>(code)), text, ended ? "" : "\n");
}
