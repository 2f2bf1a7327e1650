// The backends' trace lines: each written to the record's trace stream as it happens, and kept
// as the text of the record's last operation, for a caller that shows them elsewhere.
#pragma once

#include <cstddef>
#include <cstdio>

const size_t TRACE_KEPT_SIZE = 2048;

struct TraceKept {
    char text[TRACE_KEPT_SIZE];  // the lines as written, each with its line end; cut where full
    size_t length;
};

// Starts the text of a new operation.
void traceForget(TraceKept* kept);

// Writes what `format` makes on `stream` and keeps it; the format ends its own line.
void traceWrite(FILE* stream, TraceKept* kept, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
