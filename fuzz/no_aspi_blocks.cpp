// ASPI for Win32 request blocks carry 32-bit pointers, so a native 64-bit program never sends
// one: its ASPI backend refuses to start. The scriptable kernel32 still links against the
// block helpers; here any use of them is a fault of the fuzz target itself.
#include <cstdio>
#include <cstdlib>

#include "aspi_block.h"

namespace {

[[noreturn]] void unreachable(const char* what) {
    fprintf(stderr, "fuzz target: ASPI block %s in a 64-bit program\n", what);
    abort();
}

}  // namespace

namespace aspiBlock {

uint32_t read32(const uint8_t*, size_t) { unreachable("read"); }
void write32(uint8_t*, size_t, uint32_t) { unreachable("write"); }
void* readPointer(const uint8_t*, size_t) { unreachable("pointer read"); }
void* finish(uint8_t*, const Outcome&) { unreachable("finished"); }
void complete(uint8_t*, const Outcome&) { unreachable("completed"); }
void answerInquiry(uint8_t*, uint8_t, uint8_t, const uint8_t*) { unreachable("inquiry"); }

}  // namespace aspiBlock
