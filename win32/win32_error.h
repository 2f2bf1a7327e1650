// The one trace line for a Win32 call that failed inside a backend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "trace.h"

// Prints `label`, the thread's last-error code in hexadecimal and decimal and the system's
// text for it, as one line on `trace`, and keeps it in `kept` where one is given. Call it
// right after the failing call.
void sayLastError(FILE* trace, const char* label, TraceKept* kept = nullptr);

// The system's text for a Win32 error code, without its line end: "(no more specific error
// message available)" where the system has none.
void win32ErrorText(uint32_t code, char* text, size_t size);
