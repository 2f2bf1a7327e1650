// The command-line driver and the pieces of it that stand on their own.
#pragma once

#include <cstdio>

// The whole run, from the arguments to the exit status.
int kelvoMain(int argc, char** argv);

// 1 when exactly three arguments are given and the third is "-f", else 0.
int forceFlag(int argc, char** argv);

// Prints the prompt on `out` and reads one word from `in`: 1 for "y" or "yes" in any case,
// 0 for anything else, end of input included.
int askConfirmation(FILE* in, FILE* out);
