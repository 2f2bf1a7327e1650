// A stream whose text the program reads back: the SCSI layers' trace lines and the firmware
// file's checks write their messages to a stream, and the listing shows them on its own lines.
// One implementation for each kind of system, chosen when linking: text_capture_linux.cpp and
// text_capture_windows.cpp, both over a pipe of the process's own, so that nothing is written
// to any file.
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
