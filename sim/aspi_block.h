// ASPI for Win32 request blocks as a library sees them: the published 32-bit layout read and
// written byte by byte, so that a program's own idea of the layout is checked, not copied.
// Shared by the simulated WNASPI32.DLL and the tests' fake library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace aspiBlock {

// Both request blocks
const size_t CMD = 0;
const size_t STATUS = 1;
const size_t HA_ID = 2;
const size_t FLAGS = 3;

// SRB_HAInquiry
const size_t HA_COUNT = 8;
const size_t HA_UNIQUE = 42;
const size_t HA_UNIQUE_SIZE = 16;

// SRB_GDEVBlock (its target and logical unit where SRB_ExecSCSICmd has them)
const size_t DEVICE_TYPE_FIELD = 10;

// SRB_ExecSCSICmd
const size_t TARGET = 8;
const size_t LUN = 9;
const size_t BUF_LEN = 12;
const size_t BUF_POINTER = 16;
const size_t SENSE_LEN = 20;
const size_t CDB_LEN = 21;
const size_t HA_STAT = 22;
const size_t TARG_STAT = 23;
const size_t POST_PROC = 24;
const size_t CDB = 48;
const size_t SENSE_AREA = 64;
const size_t HEADER_SIZE = 64;  // everything before the sense area

const uint8_t SC_HA_INQUIRY = 0x00;
const uint8_t SC_GET_DEV_TYPE = 0x01;
const uint8_t SC_EXEC_SCSI_CMD = 0x02;

const uint8_t SRB_POSTING = 0x01;
const uint8_t SRB_ENABLE_RESIDUAL_COUNT = 0x04;
const uint8_t SRB_DIR_IN = 0x08;
const uint8_t SRB_DIR_OUT = 0x10;
const uint8_t SRB_EVENT_NOTIFY = 0x40;

const uint8_t SS_PENDING = 0x00;
const uint8_t SS_COMP = 0x01;
const uint8_t SS_ERR = 0x04;
const uint8_t SS_INVALID_HA = 0x81;
const uint8_t SS_NO_DEVICE = 0x82;
const uint8_t SS_INVALID_SRB = 0xE0;

const uint8_t HASTAT_OK = 0x00;
const uint8_t HASTAT_SEL_TO = 0x11;
const uint8_t HASTAT_DO_DU = 0x12;

uint32_t read32(const uint8_t* block, size_t offset);
void write32(uint8_t* block, size_t offset, uint32_t value);
void* readPointer(const uint8_t* block, size_t offset);

// The end of a command, as the library writes it into the block.
struct Outcome {
    uint8_t status;
    uint8_t haStat;
    uint8_t targStat;
    uint32_t bufLen;             // SRB_BufLen afterwards: the residual count, if asked for
    std::vector<uint8_t> sense;  // as much as SRB_SenseLen allows goes into the sense area
    uint8_t senseLen;            // SRB_SenseLen afterwards, as the device reported it
};

// Writes the outcome, the status last, and returns the event the block asks to be signalled
// with, or null. Once the status is written the block is its sender's again, so nothing is
// read from it afterwards.
void* finish(uint8_t* block, const Outcome& outcome);

// finish(), then signals the event at once.
void complete(uint8_t* block, const Outcome& outcome);

// Answers SC_HA_INQUIRY with the status and, when it is SS_COMP, the adapter's HA_Unique.
void answerInquiry(uint8_t* block, uint8_t status, uint8_t adapterCount,
                   const uint8_t unique[HA_UNIQUE_SIZE]);

}  // namespace aspiBlock
