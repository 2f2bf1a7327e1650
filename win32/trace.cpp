#include "trace.h"

#include <cstdarg>

void traceForget(TraceKept* kept) {
    kept->text[0] = '\0';
    kept->length = 0;
}

void traceWrite(FILE* stream, TraceKept* kept, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    vfprintf(stream, format, arguments);
    va_end(arguments);
    if (kept != nullptr && kept->length + 1 < TRACE_KEPT_SIZE) {
        const int added = vsnprintf(kept->text + kept->length, TRACE_KEPT_SIZE - kept->length,
                                    format, again);
        if (added > 0) kept->length += size_t(added);
        if (kept->length >= TRACE_KEPT_SIZE) kept->length = TRACE_KEPT_SIZE - 1;
    }
    va_end(again);
}
