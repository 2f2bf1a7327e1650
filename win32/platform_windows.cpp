// The tool's system on Windows, through kernel32: the real one in kelvo.exe, the tests'
// scriptable one in the tests.
#include "platform.h"

#include "kernel32.h"

void platformPause(uint32_t milliseconds) { Sleep(milliseconds); }

// The storage port driver hands any CDB on for a process that could open the drive for
// reading and writing, which the open has already proven.
bool platformPassThroughCarriesUpdate(FILE*) { return true; }
