// What the POSIX stand-in's handles hold, for its DeviceIoControl on each host kernel.
#pragma once

#include "kernel32.h"

// The descriptor of an open file handle; -1 for any other handle or a closed one.
int standInDescriptor(HANDLE handle);
