#include "aspi_block.h"

#include <algorithm>
#include <cstring>

#include "kernel32.h"

namespace aspiBlock {

uint32_t read32(const uint8_t* block, size_t offset) {
    const uint8_t* at = block + offset;
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

void write32(uint8_t* block, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) block[offset + i] = uint8_t(value >> (8 * i));
}

void* readPointer(const uint8_t* block, size_t offset) {
    static_assert(sizeof(void*) == 4, "ASPI for Win32 blocks carry 32-bit pointers");
    return reinterpret_cast<void*>(uintptr_t(read32(block, offset)));
}

void* finish(uint8_t* block, const Outcome& outcome) {
    void* const event =
        (block[FLAGS] & SRB_EVENT_NOTIFY) ? readPointer(block, POST_PROC) : nullptr;
    const size_t room = std::min<size_t>(block[SENSE_LEN], outcome.sense.size());
    if (room > 0) memcpy(block + SENSE_AREA, outcome.sense.data(), room);
    block[HA_STAT] = outcome.haStat;
    block[TARG_STAT] = outcome.targStat;
    write32(block, BUF_LEN, outcome.bufLen);
    block[SENSE_LEN] = outcome.senseLen;
    // The sender may be reading the status from another thread: everything else first.
    __atomic_store_n(&block[STATUS], outcome.status, __ATOMIC_RELEASE);
    return event;
}

void complete(uint8_t* block, const Outcome& outcome) {
    void* const event = finish(block, outcome);
    if (event != nullptr) SetEvent(event);
}

void answerInquiry(uint8_t* block, uint8_t status, uint8_t adapterCount,
                   const uint8_t unique[HA_UNIQUE_SIZE]) {
    if (status == SS_COMP) {
        block[HA_COUNT] = adapterCount;
        memcpy(block + HA_UNIQUE, unique, HA_UNIQUE_SIZE);
    }
    block[STATUS] = status;
}

}  // namespace aspiBlock
