// The simulated ASPI for Win32 library, built as a shared library named WNASPI32.DLL for the
// host and as a PE32 DLL of that name for kelvo.exe under Wine: one bus with the simulated
// drive at one address. A program loads it as it would load the real library, and it
// completes commands through the program's own events (SetEvent).
//
// The program reads no configuration; the library does, for the tests and the demo, from the
// file named by the environment variable WNASPI32_SIM_CONFIG, when it is first called. Lines
// are "key = value"; '#' starts a comment; every key is optional. Under Wine, files are named
// as Windows names them (Z:/tmp/drive for /tmp/drive).
//
//   adapters = 1              host adapters reported (0: GetASPI32SupportInfo says none)
//   address = 0.1.0           host adapter, target and logical unit of the drive
//   drive = FILE              the drive's identification, 28 characters: read at start and
//                             at every INQUIRY the drive answers (a test may change it
//                             between two), written back when the drive activates a new image
//   payload = FILE            the payload received so far, written after every write chunk
//   log = FILE                one line for every SC_EXEC_SCSI_CMD as it arrives
//   residual = 1              the adapter reports residual byte counts (1) or not (0)
//   alignment = 3             the adapter's buffer alignment mask
//   targets = 8               the adapter's number of targets
//   max_transfer = 65536      the adapter's largest transfer, in bytes
//   completion = at-once      at-once: before SendASPI32Command returns; later: from the
//                             library's own thread, delay_ms afterwards (at once when no
//                             thread can start)
//   delay_ms = 5
//   check_condition_on = N    the drive's faults, on its Nth command counted from 1:
//   sense = 70 00 05 ...        CHECK CONDITION with these sense bytes (hexadecimal),
//   residue_on = N              `residue` bytes not moved,
//   residue = B
//   hang_on = N                 a command that never completes
//   hold_on = N                 a command that completes only once FILE exists, which the
//   hold_until = FILE           library looks for every few milliseconds (completion = later)
//   refuse = 1                every SC_EXEC_SCSI_CMD refused with E0h, its block untouched,
//                             as a library that is only a stub does
//
// More devices beside the drive, for listings of the bus; each key may come again:
//
//   device = 0.2.0 5 PLEXTOR DVDR   PX-716A  1.11
//                             a device at host adapter, target and logical unit, its SCSI
//                             peripheral type (5 CD-ROM, 0 disk) and its identification of up
//                             to 28 characters, which it answers INQUIRY with; with no
//                             identification it answers no command (selection time-out),
//                             while SC_GET_DEV_TYPE still names its type, as a library that
//                             found it when it scanned the bus does
//   failing_adapter = 1       a host adapter that is counted but fails SC_HA_INQUIRY
//                             (SS_INVALID_HA), as one whose driver went away
//   dev_type = answer         SC_GET_DEV_TYPE answered (the drive at `address` is a CD-ROM);
//                             refuse: E0h, as a library that does not know the request;
//                             fail: SS_ERR
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "aspi_block.h"
#include "drive.h"
#include "kernel32.h"
#include "library_thread.h"

// The published entry points: C names, undecorated, called as C functions are.
#ifdef _WIN32
#define ASPI_EXPORT __declspec(dllexport)
#define ASPI_CALL __cdecl
#else
#define ASPI_EXPORT __attribute__((visibility("default")))
#define ASPI_CALL
#endif

namespace {

using namespace aspiBlock;

const char* const DEFAULT_IDENTIFICATION = "MATSHITADVD-RAM UJ-85J  1.00";
const uint8_t INQUIRY_COMMAND = 0x12;
const uint8_t WRITE_COMMAND = 0xEA;
const int RELEASE_POLL_MILLISECONDS = 5;
const uint8_t SS_NO_ADAPTERS = 0xE8;
const uint8_t CD_ROM = 5;

struct Address {
    int hostAdapter;
    int target;
    int lun;
};

// A device beside the drive: in memory only, new with every process.
struct OtherDevice {
    Address address;
    uint8_t type;
    bool answers;
    std::string identification;
};

enum DeviceTypeAnswer { DEVICE_TYPE_ANSWERED, DEVICE_TYPE_REFUSED, DEVICE_TYPE_FAILED };

struct Config {
    int adapters = 1;
    int hostAdapter = 0;
    int target = 1;
    int lun = 0;
    std::string driveFile;
    std::string payloadFile;
    std::string logFile;
    bool residual = true;
    uint32_t alignment = 3;
    uint32_t targets = 8;
    uint32_t maxTransfer = 0x10000;
    bool completesLater = false;
    int delayMilliseconds = 5;
    int holdOn = 0;  // the drive's command held until holdUntil exists, counted from 1
    std::string holdUntil;
    bool refusesCommands = false;
    SimDrive faults = {};  // only the fault fields count
    std::vector<OtherDevice> others;
    DeviceTypeAnswer deviceTypes = DEVICE_TYPE_ANSWERED;
    int failingAdapter = -1;
};

// Guarded by the library's lock (LibraryLockHeld).
struct Library {
    bool started = false;
    Config config;
    SimDrive drive;
    std::vector<SimDrive> others;  // one for each of config.others
};

Library& library() {
    static Library instance;
    return instance;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::vector<uint8_t> hexBytes(const std::string& text) {
    std::vector<uint8_t> bytes;
    const char* at = text.c_str();
    for (char* end = nullptr;; at = end) {
        const unsigned long value = strtoul(at, &end, 16);
        if (end == at) return bytes;
        bytes.push_back(uint8_t(value));
    }
}

// "0.2.0 5 PLEXTOR DVDR   PX-716A  1.11": the identification is the rest of the line after one
// blank, its own blanks kept.
void addDevice(Config* config, const std::string& value) {
    OtherDevice device = {};
    int type = 0;
    int used = 0;
    if (sscanf(value.c_str(), "%d.%d.%d %d%n", &device.address.hostAdapter,
               &device.address.target, &device.address.lun, &type, &used) != 4) {
        fprintf(stderr, "WNASPI32.DLL (simulated): bad device \"%s\"\n", value.c_str());
        return;
    }
    device.type = uint8_t(type);
    device.answers = size_t(used) < value.size();
    if (device.answers) device.identification = value.substr(size_t(used) + 1);
    config->others.push_back(device);
}

void setting(Config* config, const std::string& key, const std::string& value) {
    const int number = atoi(value.c_str());
    const uint32_t unsignedNumber = uint32_t(strtoul(value.c_str(), nullptr, 0));
    SimDrive& faults = config->faults;
    if (key == "adapters") config->adapters = number;
    else if (key == "address")
        sscanf(value.c_str(), "%d.%d.%d", &config->hostAdapter, &config->target, &config->lun);
    else if (key == "drive") config->driveFile = value;
    else if (key == "payload") config->payloadFile = value;
    else if (key == "log") config->logFile = value;
    else if (key == "residual") config->residual = number != 0;
    else if (key == "alignment") config->alignment = unsignedNumber;
    else if (key == "targets") config->targets = unsignedNumber;
    else if (key == "max_transfer") config->maxTransfer = unsignedNumber;
    else if (key == "completion") config->completesLater = value == "later";
    else if (key == "delay_ms") config->delayMilliseconds = number;
    else if (key == "check_condition_on") faults.checkConditionOn = number;
    else if (key == "sense") faults.faultSense = hexBytes(value);
    else if (key == "residue_on") faults.residueOn = number;
    else if (key == "residue") faults.residue = number;
    else if (key == "hang_on") faults.hangOn = number;
    else if (key == "hold_on") config->holdOn = number;
    else if (key == "hold_until") config->holdUntil = value;
    else if (key == "refuse") config->refusesCommands = number != 0;
    else if (key == "device") addDevice(config, value);
    else if (key == "failing_adapter") config->failingAdapter = number;
    else if (key == "dev_type")
        config->deviceTypes = value == "refuse" ? DEVICE_TYPE_REFUSED
                              : value == "fail" ? DEVICE_TYPE_FAILED
                                                : DEVICE_TYPE_ANSWERED;
    else fprintf(stderr, "WNASPI32.DLL (simulated): unknown setting \"%s\"\n", key.c_str());
}

void readConfig(Config* config, const char* path) {
    FILE* file = fopen(path, "r");
    if (file == nullptr) {
        perror(path);
        return;
    }
    char line[512];
    while (fgets(line, sizeof line, file) != nullptr) {
        std::string text = line;
        text = trimmed(text.substr(0, text.find('#')));
        const size_t equals = text.find('=');
        if (equals != std::string::npos)
            setting(config, trimmed(text.substr(0, equals)), trimmed(text.substr(equals + 1)));
    }
    fclose(file);
}

// The identification the drive file holds now; false where there is no file to read.
bool storedIdentification(const Config& config, std::string* identification) {
    FILE* file = config.driveFile.empty() ? nullptr : fopen(config.driveFile.c_str(), "rb");
    if (file == nullptr) return false;
    char stored[28];
    identification->assign(stored, fread(stored, 1, sizeof stored, file));
    fclose(file);
    return true;
}

// The drive as the last run left it, with the faults asked for.
SimDrive driveFor(const Config& config) {
    std::string identification = DEFAULT_IDENTIFICATION;
    storedIdentification(config, &identification);
    SimDrive drive = newSimDrive(identification.c_str());
    drive.checkConditionOn = config.faults.checkConditionOn;
    drive.faultSense = config.faults.faultSense;
    drive.residueOn = config.faults.residueOn;
    drive.residue = config.faults.residue;
    drive.hangOn = config.faults.hangOn;
    return drive;
}

void writeFile(const std::string& path, const void* bytes, size_t size) {
    if (path.empty()) return;
    FILE* file = fopen(path.c_str(), "wb");
    bool written = file != nullptr && (size == 0 || fwrite(bytes, 1, size, file) == size);
    if (file != nullptr && fclose(file) != 0) written = false;
    if (!written) perror(path.c_str());
}

// Called with the lock held.
void start(Library* lib) {
    if (lib->started) return;
    lib->started = true;
    const char* path = getenv("WNASPI32_SIM_CONFIG");
    if (path != nullptr) readConfig(&lib->config, path);
    lib->drive = driveFor(lib->config);
    for (const OtherDevice& other : lib->config.others) {
        lib->others.push_back(newSimDrive(other.identification.c_str()));
        lib->others.back().peripheralType = other.type;
    }
}

void logCommand(const Library& lib, const uint8_t* block) {
    if (lib.config.logFile.empty()) return;
    FILE* log = fopen(lib.config.logFile.c_str(), "a");
    if (log == nullptr) return;
    fprintf(log, "%d.%d.%d flags %02X length %u cdb", block[HA_ID], block[TARGET], block[LUN],
            block[FLAGS], read32(block, BUF_LEN));
    for (int i = 0; i < block[CDB_LEN] && i < 16; ++i) fprintf(log, " %02X", block[CDB + i]);
    fprintf(log, "\n");
    fclose(log);
}

int32_t directionOf(uint8_t flags) {
    if (flags & SRB_DIR_IN) return 1;
    if (flags & SRB_DIR_OUT) return 2;
    return 0;
}

bool isDriveAddress(const Config& config, const uint8_t* block) {
    return block[HA_ID] == config.hostAdapter && block[TARGET] == config.target &&
           block[LUN] == config.lun;
}

// The other device at the block's address, or -1.
int otherAt(const Config& config, const uint8_t* block) {
    for (size_t i = 0; i < config.others.size(); ++i) {
        const Address& at = config.others[i].address;
        if (block[HA_ID] == at.hostAdapter && block[TARGET] == at.target && block[LUN] == at.lun)
            return int(i);
    }
    return -1;
}

// The device that answers a command at the block's address: the drive, another device that
// answers, or none (null).
SimDrive* deviceAt(Library* lib, const uint8_t* block) {
    if (isDriveAddress(lib->config, block)) return &lib->drive;
    const int other = otherAt(lib->config, block);
    if (other < 0 || !lib->config.others[size_t(other)].answers) return nullptr;
    return &lib->others[size_t(other)];
}

// A test may change the drive file between two INQUIRYs: the drive answers as it says now.
void identifyAsStored(Library* lib) {
    std::string identification;
    if (storedIdentification(lib->config, &identification))
        simDriveIdentifyAs(&lib->drive, identification.c_str());
}

// What the drive made of the command, as the adapter reports it; false when it never ends.
bool execute(Library* lib, const uint8_t* block, Outcome* outcome) {
    const uint32_t bufLen = read32(block, BUF_LEN);
    *outcome = {SS_ERR, HASTAT_OK, 0, bufLen, {}, block[SENSE_LEN]};
    if (block[HA_ID] >= lib->config.adapters) {
        outcome->status = SS_INVALID_HA;
        return true;
    }
    SimDrive* const device = deviceAt(lib, block);
    if (device == nullptr) {
        outcome->haStat = HASTAT_SEL_TO;
        return true;
    }
    const int32_t direction = directionOf(block[FLAGS]);
    uint8_t* data =
        direction != 0 ? static_cast<uint8_t*>(readPointer(block, BUF_POINTER)) : nullptr;
    const int32_t length = direction != 0 ? int32_t(bufLen) : 0;
    if (length < 0 || (data == nullptr && length > 0) || block[CDB_LEN] > 16) {
        outcome->status = SS_INVALID_SRB;
        return true;
    }
    if (device == &lib->drive && block[CDB_LEN] > 0 && block[CDB] == INQUIRY_COMMAND)
        identifyAsStored(lib);
    const bool wasActive = lib->drive.activated;
    const SimAnswer answer =
        simDriveExecute(device, block + CDB, block[CDB_LEN], data, length, direction);
    if (!answer.completes) return false;
    if (device == &lib->drive && block[CDB] == WRITE_COMMAND)
        writeFile(lib->config.payloadFile, lib->drive.payload.data(), lib->drive.payload.size());
    if (lib->drive.activated && !wasActive) {
        const std::string identification = simDriveIdentification(lib->drive);
        writeFile(lib->config.driveFile, identification.data(), identification.size());
    }

    const bool checkCondition = answer.status == SIM_STATUS_CHECK_CONDITION;
    outcome->status = checkCondition ? SS_ERR : SS_COMP;
    outcome->targStat = answer.status;
    if ((block[FLAGS] & SRB_ENABLE_RESIDUAL_COUNT) && lib->config.residual)
        outcome->bufLen = uint32_t(length - answer.transferred);
    // The sense area takes what the request allows; the count says what the drive sent.
    if (checkCondition) {
        outcome->sense = answer.sense;
        outcome->senseLen = uint8_t(answer.sense.size());
    }
    return true;
}

bool fileExists(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    fclose(file);
    return true;
}

// The test that holds a command lets it go by creating the file: a handshake, so that what
// the program does meanwhile is seen however slow the machine is.
void waitForRelease(const std::string& path) {
    while (!fileExists(path)) sleepMilliseconds(RELEASE_POLL_MILLISECONDS);
}

void completeLater(void* request) {
    uint8_t* block = static_cast<uint8_t*>(request);
    Library& lib = library();
    sleepMilliseconds(lib.config.delayMilliseconds);
    Outcome outcome;
    bool completes = false;
    bool held = false;
    {
        LibraryLockHeld hold;
        const size_t before = lib.drive.commands.size();
        completes = execute(&lib, block, &outcome);
        const size_t after = lib.drive.commands.size();
        held = after > before && after == size_t(lib.config.holdOn);
    }
    if (!completes) return;
    // Without the lock: the program may go on calling the library meanwhile.
    if (held) waitForRelease(lib.config.holdUntil);
    void* event = nullptr;
    {
        LibraryLockHeld hold;
        event = finish(block, outcome);
    }
    // With the lock let go: the program may end as soon as it sees the event.
    if (event != nullptr) SetEvent(event);
}

DWORD inquire(Library* lib, uint8_t* block) {
    uint8_t unique[HA_UNIQUE_SIZE] = {};
    const Config& config = lib->config;
    unique[0] = uint8_t(config.alignment);
    unique[1] = uint8_t(config.alignment >> 8);
    unique[2] = config.residual ? 1 : 0;
    unique[3] = uint8_t(config.targets);
    write32(unique, 4, config.maxTransfer);
    const bool known = block[HA_ID] < config.adapters && block[HA_ID] != config.failingAdapter;
    answerInquiry(block, known ? SS_COMP : SS_INVALID_HA, uint8_t(config.adapters), unique);
    return block[STATUS];
}

DWORD deviceType(Library* lib, uint8_t* block) {
    const Config& config = lib->config;
    uint8_t status = SS_COMP;
    if (config.deviceTypes == DEVICE_TYPE_REFUSED) return SS_INVALID_SRB;  // block untouched
    const int other = otherAt(config, block);
    if (config.deviceTypes == DEVICE_TYPE_FAILED) status = SS_ERR;
    else if (block[HA_ID] >= config.adapters) status = SS_INVALID_HA;
    else if (isDriveAddress(config, block)) block[DEVICE_TYPE_FIELD] = CD_ROM;
    else if (other >= 0) block[DEVICE_TYPE_FIELD] = config.others[size_t(other)].type;
    else status = SS_NO_DEVICE;
    block[STATUS] = status;
    return status;
}

DWORD command(Library* lib, uint8_t* block) {
    logCommand(*lib, block);
    if (lib->config.refusesCommands) return SS_INVALID_SRB;
    block[STATUS] = SS_PENDING;
    if (lib->config.completesLater && startLibraryThread(completeLater, block))
        return SS_PENDING;
    Outcome outcome;
    if (execute(lib, block, &outcome)) complete(block, outcome);
    return block[STATUS];
}

}  // namespace

extern "C" {

ASPI_EXPORT DWORD ASPI_CALL GetASPI32SupportInfo(void) {
    Library& lib = library();
    LibraryLockHeld hold;
    start(&lib);
    if (lib.config.adapters <= 0) return DWORD(SS_NO_ADAPTERS) << 8;
    return DWORD(SS_COMP) << 8 | DWORD(lib.config.adapters & 0xFF);
}

ASPI_EXPORT DWORD ASPI_CALL SendASPI32Command(void* srb) {
    uint8_t* block = static_cast<uint8_t*>(srb);
    Library& lib = library();
    LibraryLockHeld hold;
    start(&lib);
    switch (block[CMD]) {
    case SC_HA_INQUIRY: return inquire(&lib, block);
    case SC_GET_DEV_TYPE: return deviceType(&lib, block);
    case SC_EXEC_SCSI_CMD: return command(&lib, block);
    default: block[STATUS] = SS_INVALID_SRB; return SS_INVALID_SRB;
    }
}

}  // extern "C"
