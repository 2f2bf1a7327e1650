// The simulated drive behind the Linux kernel's SCSI target in user space (target_core_user):
// the kernel hands every command of a TCMU device to this process through the command ring
// that /dev/uioN maps, so that a local SCSI device made of it (tcm_loop) is the drive, and
// every command a program sends it crosses the kernel's whole SCSI stack.
//
//   tcmu_drive <uio node> <identification> <payload file> [write milliseconds [command log]]
//
// Runs until the device goes away. Each time the closing command activates an image, the
// payload the drive received is written to <payload file>. Each write command takes
// <write milliseconds> (0 unless given), as a drive writing its flash does: long enough for
// a test to interrupt the program that updates it in the middle of an update. With a command
// log, the operation code of every command the drive receives is appended to it, one line
// each in two hex digits, before the drive answers: what reached the drive is known once a
// program that sent it has its answer.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "drive.h"
#include "tcmu_layout.h"

namespace {

const size_t RESPONSE_SENSE_SIZE = 96;  // TCMU_SENSE_BUFFERSIZE
const uint16_t CAN_REPORT_READ_LENGTH = 1 << 1;  // TCMU_MAILBOX_FLAG_CAP_READ_LEN

const uint32_t OPERATION_MASK = 0x7;
const uint32_t OPERATION_PAD = 0;
const uint32_t OPERATION_COMMAND = 1;
const uint8_t UNKNOWN_OPERATION = 0x1;  // TCMU_UFLAG_UNKNOWN_OP
const uint8_t READ_LENGTH_SET = 0x2;    // TCMU_UFLAG_READ_LEN

const uint8_t WRITE_CHUNK = 0xEA;
const uint8_t CLOSING = 0xF5;
const int32_t VENDOR_CDB_LENGTH = 12;

template <typename T>
T readAt(const uint8_t* base, size_t offset) {
    T value;
    memcpy(&value, base + offset, sizeof value);
    return value;
}

template <typename T>
void writeAt(uint8_t* base, size_t offset, T value) {
    memcpy(base + offset, &value, sizeof value);
}

struct Piece {
    size_t offset;
    size_t length;
};

// The CDB's length by its group code; the vendor's groups use 12 bytes here.
int32_t cdbLength(uint8_t operationCode) {
    switch (operationCode >> 5) {
    case 0: return 6;
    case 1: case 2: return 10;
    case 4: return 16;
    default: return VENDOR_CDB_LENGTH;
    }
}

size_t mapSize(const char* node) {
    const char* name = strrchr(node, '/');
    char path[128];
    snprintf(path, sizeof path, "/sys/class/uio/%s/maps/map0/size", name ? name + 1 : node);
    FILE* file = fopen(path, "r");
    unsigned long long size = 0;
    if (file == nullptr || fscanf(file, "%llx", &size) != 1) size = 0;
    if (file != nullptr) fclose(file);
    return size_t(size);
}

void savePayload(const SimDrive& drive, const char* path) {
    FILE* file = fopen(path, "wb");
    if (file == nullptr) return;
    fwrite(drive.payload.data(), 1, drive.payload.size(), file);
    fclose(file);
}

// One command: its data gathered from the ring's data area, executed by the drive, the
// answer written back over the entry (whose request and response share their bytes).
struct Served {
    SimDrive drive;
    const char* payloadPath;
    unsigned writeMilliseconds;
    FILE* commandLog;  // or none
};

void execute(uint8_t* map, uint8_t* entry, Served* served) {
    SimDrive* drive = &served->drive;
    const uint8_t* cdb = map + readAt<uint64_t>(entry, TCMU_AT_REQUEST_CDB_OFFSET);
    const int32_t length = cdbLength(cdb[0]);
    if (served->commandLog != nullptr) {
        fprintf(served->commandLog, "%02X\n", cdb[0]);
        fflush(served->commandLog);
    }
    const std::vector<uint8_t> command(cdb, cdb + length);
    std::vector<Piece> pieces(readAt<uint32_t>(entry, TCMU_AT_REQUEST_PIECE_COUNT));
    size_t total = 0;
    const size_t pieceSize = 2 * sizeof(size_t);  // struct iovec: map offset, length
    for (size_t i = 0; i < pieces.size(); ++i) {
        const size_t piece = TCMU_AT_REQUEST_PIECES + pieceSize * i;
        pieces[i] = {readAt<size_t>(entry, piece), readAt<size_t>(entry, piece + sizeof(size_t))};
        total += pieces[i].length;
    }
    std::vector<uint8_t> data(total);
    const int32_t direction = total == 0 ? 0 : command[0] == WRITE_CHUNK ? 2 : 1;
    size_t at = 0;
    for (const Piece& piece : pieces) {
        if (direction == 2) memcpy(data.data() + at, map + piece.offset, piece.length);
        at += piece.length;
    }

    const SimAnswer answer =
        simDriveExecute(drive, command.data(), length, data.data(), int32_t(total), direction);
    if (command[0] == WRITE_CHUNK) usleep(served->writeMilliseconds * 1000);

    at = 0;
    for (const Piece& piece : pieces) {
        if (direction == 1) memcpy(map + piece.offset, data.data() + at, piece.length);
        at += piece.length;
    }
    memset(entry + TCMU_AT_RESPONSE_STATUS, 0,
           TCMU_AT_RESPONSE_SENSE + RESPONSE_SENSE_SIZE - TCMU_AT_RESPONSE_STATUS);
    entry[TCMU_AT_RESPONSE_STATUS] = answer.status;
    memcpy(entry + TCMU_AT_RESPONSE_SENSE, answer.sense.data(),
           std::min(answer.sense.size(), RESPONSE_SENSE_SIZE));
    if (direction == 1 && size_t(answer.transferred) < total &&
        (readAt<uint16_t>(map, TCMU_AT_MAILBOX_FLAGS) & CAN_REPORT_READ_LENGTH) != 0) {
        entry[TCMU_AT_ENTRY_USER_FLAGS] |= READ_LENGTH_SET;
        writeAt<uint32_t>(entry, TCMU_AT_RESPONSE_READ_LENGTH, uint32_t(answer.transferred));
    }
    if (command[0] == CLOSING && drive->activated) savePayload(*drive, served->payloadPath);
}

void serveRing(uint8_t* map, Served* served) {
    uint32_t* head = reinterpret_cast<uint32_t*>(map + TCMU_AT_MAILBOX_HEAD);
    uint32_t* tail = reinterpret_cast<uint32_t*>(map + TCMU_AT_MAILBOX_TAIL);
    const uint32_t ringOffset = readAt<uint32_t>(map, TCMU_AT_MAILBOX_RING_OFFSET);
    const uint32_t ringSize = readAt<uint32_t>(map, TCMU_AT_MAILBOX_RING_SIZE);
    uint32_t next = *tail;
    while (next != __atomic_load_n(head, __ATOMIC_ACQUIRE)) {
        uint8_t* entry = map + ringOffset + next;
        const uint32_t lengthAndOperation =
            readAt<uint32_t>(entry, TCMU_AT_ENTRY_LENGTH_AND_OPERATION);
        const uint32_t operation = lengthAndOperation & OPERATION_MASK;
        if (operation == OPERATION_COMMAND)
            execute(map, entry, served);
        else if (operation != OPERATION_PAD)
            entry[TCMU_AT_ENTRY_USER_FLAGS] |= UNKNOWN_OPERATION;
        next = (next + (lengthAndOperation & ~OPERATION_MASK)) % ringSize;
        __atomic_store_n(tail, next, __ATOMIC_RELEASE);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 6) {
        fprintf(stderr,
                "usage: %s <uio node> <identification> <payload file> "
                "[write milliseconds [command log]]\n",
                argv[0]);
        return 1;
    }
    FILE* commandLog = argc == 6 ? fopen(argv[5], "a") : nullptr;
    if (argc == 6 && commandLog == nullptr) {
        fprintf(stderr, "tcmu_drive: cannot open %s\n", argv[5]);
        return 1;
    }
    const int device = open(argv[1], O_RDWR);
    const size_t size = mapSize(argv[1]);
    void* map = device >= 0 && size > 0
                    ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, device, 0)
                    : MAP_FAILED;
    if (map == MAP_FAILED) {
        fprintf(stderr, "tcmu_drive: cannot map %s\n", argv[1]);
        return 1;
    }
    Served served = {newSimDrive(argv[2]), argv[3], argc >= 5 ? unsigned(atoi(argv[4])) : 0,
                     commandLog};
    // Each write tells the kernel that answers are ready; each read waits for its signal that
    // commands are queued. Commands queued before the node was opened (the kernel scans a
    // new drive at once) raised no signal that a read would see: they are served first.
    uint32_t events = 0;
    do {
        serveRing(static_cast<uint8_t*>(map), &served);
        if (write(device, &events, sizeof events) != sizeof events) break;
    } while (read(device, &events, sizeof events) == sizeof events);
    return 0;
}
