// A simulated MATSHITA drive: it answers INQUIRY, takes a firmware image through the write
// command chunk by chunk, checking every chunk as a careful drive would, and activates the
// image on the closing command. Faults can be injected on demand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

const uint8_t SIM_STATUS_GOOD = 0x00;
const uint8_t SIM_STATUS_CHECK_CONDITION = 0x02;

struct SimCommand {
    std::vector<uint8_t> cdb;
    int32_t dataLength;
    int32_t direction;  // 1 data in, 2 data out, anything else no data
};

struct SimDrive {
    char identification[28];    // INQUIRY bytes 8 to 35: vendor, product, revision
    int32_t inquiryLength;      // bytes the drive sends for INQUIRY
    uint8_t peripheralType;     // INQUIRY byte 0: 5 for a CD/DVD drive

    // What the write commands delivered.
    bool headerSeen;
    uint8_t header[48];
    std::vector<uint8_t> payload;  // payload received, in order
    bool activated;                // the closing command found a complete image
    std::string protocolError;     // the first chunk that broke the rules, described

    std::vector<SimCommand> commands;  // every command, in order

    // Faults, each on one command (counted from 1; 0 for none).
    int32_t checkConditionOn;
    std::vector<uint8_t> faultSense;  // sense bytes sent with that CHECK CONDITION
    int32_t residueOn;
    int32_t residue;                  // bytes not moved by that command
    int32_t hangOn;                   // that command never completes
    // The closing command activates the image and restarts the drive: its answer is lost,
    // and so are the answers to the next `silentAfterRestart` commands.
    bool restartsOnClosing;
    int32_t silentAfterRestart;
    int32_t silentLeft;               // commands still to go unanswered
};

struct SimAnswer {
    uint8_t status;
    int32_t transferred;           // data bytes moved
    std::vector<uint8_t> sense;    // after CHECK CONDITION
    bool completes;
};

// A drive that identifies itself as `identification` (up to 28 characters).
SimDrive newSimDrive(const char* identification);

// From now on the drive identifies itself as `identification` (up to 28 characters).
void simDriveIdentifyAs(SimDrive* drive, const char* identification);

// Executes one command; data in is written to `data`, data out read from it.
SimAnswer simDriveExecute(SimDrive* drive, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                          int32_t dataLength, int32_t direction);

// The identification as a string of its 28 characters.
std::string simDriveIdentification(const SimDrive& drive);
