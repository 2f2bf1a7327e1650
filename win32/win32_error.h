// The one trace line for a Win32 call that failed inside a backend.
#pragma once

#include <cstdio>

// Prints `label`, the thread's last-error code in hexadecimal and decimal and the system's
// text for it, as one line on `trace`. Call it right after the failing call.
void sayLastError(FILE* trace, const char* label);
