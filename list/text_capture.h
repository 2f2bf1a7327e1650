// A stream whose text the listing reads back into its own lines: the SCSI layers' traces and
// the file checks' messages. One file per system, chosen when linking, each over a pipe of the
// process's own, so that nothing is written to any file.
#pragma once

#include <cstddef>
#include <cstdio>

struct TextCapture {
    FILE* stream;  // write here
    int readEnd;   // the pipe's other end, read by textCaptureTake
};

// Null when the system gives no pipe or no memory.
TextCapture* newTextCapture(void);

// Everything written to the stream since the last call, into `text` (cut to `size` - 1
// bytes and terminated); the length kept. Text beyond what the pipe holds (far more than a
// drive's trace lines or a file's message) may be lost, never waited for.
size_t textCaptureTake(TextCapture* capture, char* text, size_t size);
