// kelvoMain keeps every block it allocates until the process ends, as a program that ends
// may. A fuzz target runs it many times in one process, so the blocks that the program's own
// code (tool/, scsi/, sptx/, aspi/) still holds after a run are given back here. The targets
// link with --wrap for malloc, calloc, realloc and free, so only calls from code linked into
// the target are seen, never the C library's own.
#pragma once

// Blocks allocated on this thread from now on are noted.
void reclaimStart();

// Frees every noted block that is still held and stops noting.
void reclaimFinish();
