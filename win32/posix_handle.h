// What the POSIX stand-in's handles hold, for the files of the stand-in that serve the
// device control codes on one host kernel each.
#pragma once

#include "kernel32.h"

// The descriptor of an open file handle; -1 for any other handle or a closed one.
int standInDescriptor(HANDLE handle);
