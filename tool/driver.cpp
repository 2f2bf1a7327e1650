#include "driver.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "hex_container.h"
#include "image.h"
#include "scsi.h"
#include "update.h"

namespace {

const uint32_t MINIMUM_FILE_SIZE = 288;
const uint32_t CONTAINER_SIZE_ABOVE = 0x300000;
const uint32_t CONTAINER_SIZE_BELOW = 0x400000;
const int ANSWER_BUFFER_SIZE = 1024;

struct LoadedFile {
    uint8_t* bytes;
    uint32_t size;
};

// The file's size by seeking to its end, then back to the start; -1 when it cannot be told,
// or when not even its first byte can be read (some systems open and seek a directory).
long fileSize(FILE* stream) {
    if (fseek(stream, 0, SEEK_END) != 0) return -1;
    const long size = ftell(stream);
    if (size < 0 || fseek(stream, 0, SEEK_SET) != 0) return -1;
    if (size > 0 && (fgetc(stream) == EOF || fseek(stream, 0, SEEK_SET) != 0)) return -1;
    return size;
}

// Reads the whole firmware file into one heap block, or says why not and returns false.
bool loadFirmwareFile(const char* path, LoadedFile* file) {
    FILE* stream = fopen(path, "rb");
    const long size = stream != nullptr ? fileSize(stream) : -1;
    const char* problem = nullptr;
    if (size < 0) {
        problem = "open for read error\n";
    } else if (static_cast<uint32_t>(size) < MINIMUM_FILE_SIZE) {
        problem = "flash data appears to be too short\n";
    } else if ((file->bytes = static_cast<uint8_t*>(malloc(static_cast<size_t>(size)))) ==
               nullptr) {
        problem = "error allocating memory for flash data\n";
    } else if (fread(file->bytes, 1, static_cast<size_t>(size), stream) !=
               static_cast<size_t>(size)) {
        // Part of the buffer would be undefined: refuse rather than judge what is in memory.
        problem = "open for read error\n";
    }
    if (stream != nullptr) fclose(stream);
    if (problem != nullptr) {
        fputs(problem, stderr);
        return false;
    }
    file->size = static_cast<uint32_t>(size);
    return true;
}

// A file of container size may hold the image as text; when it does, the image replaces the
// text at the front of the buffer and is also saved for the user. A failed save costs only
// the copy: the update goes on with the image in memory.
void extractContainedImage(LoadedFile* file) {
    if (file->size <= CONTAINER_SIZE_ABOVE || file->size >= CONTAINER_SIZE_BELOW) return;
    int32_t extracted = 0;
    if (extractHexImage(file->bytes, file->size, file->bytes, &extracted) != 0) return;
    writeWholeFile("extracted.dat", file->bytes, extracted, stderr);
    file->size = static_cast<uint32_t>(extracted);
}

bool imageIsValid(const LoadedFile& file, const char* fileName) {
    return imageCheckLength(file.bytes, file.size, stderr) == 0 &&
           imageCheckChecksum(file.bytes, file.size, fileName, stderr) == 0 &&
           imageCheckPayloadFits(file.size, stderr) == 0;
}

int equalsIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b)))
            return 0;
    }
    return *a == *b;
}

}  // namespace

int forceFlag(int argc, char** argv) { return argc == 4 && strcmp(argv[3], "-f") == 0; }

const char* deviceName(const char* argument, char* path) {
    if (argument[0] == '\0' || argument[1] != ':') return argument;
    memcpy(path, "\\\\.\\D:", 7);
    path[4] = argument[0];
    return path;
}

int askConfirmation(FILE* in, FILE* out) {
    fprintf(out, "Continue? ");
    fflush(out);
    char answer[ANSWER_BUFFER_SIZE] = {};
    if (fscanf(in, "%1023s", answer) != 1) return 0;
    return equalsIgnoringCase(answer, "y") || equalsIgnoringCase(answer, "yes");
}

int kelvoMain(int argc, char** argv) {
    fprintf(stderr, "kelvo V 1.01 compiled at %s %s\n", __DATE__, __TIME__);
    if (argc < 3) {
        fprintf(stderr, "usage: %s <device index> <file to flash>\n", argc > 0 ? argv[0] : "kelvo");
        return 1;
    }
    const int force = forceFlag(argc, argv);
    const char* const deviceArgument = argv[1];
    const char* const fileName = argv[2];

    LoadedFile image = {};
    if (!loadFirmwareFile(fileName, &image)) return 1;
    extractContainedImage(&image);
    if (!imageIsValid(image, fileName)) return 1;
    const FirmwareName firmware = imageName(image.bytes, image.size);
    printf("Selected firmware: %s\n", firmware.text);

    Scsi* scsi = newScsi();
    if (scsi == nullptr) {
        fprintf(stderr, "Internal error: newScsi() returned NULL.\n");
        return 1;
    }
    char path[7];
    if (scsiOpen(scsi, deviceName(deviceArgument, path)) < 0) {
        fprintf(stderr, "Could not open device\n");
        return 1;
    }
    scsiSetSenseLength(scsi, 14);
    scsiSetTimeout(scsi, 300, 0);

    const char* identification = identifyDevice(scsi);
    if (identification == nullptr) {
        fprintf(stderr, "Selected drive %s does not appear to be a matshita device\n",
                deviceArgument);
        return 1;
    }
    printf("Selected device:   %s\n", identification);
    if (!deviceMatchesFirmware(firmware.text, identification)) {
        printf("Selected device does not match firmware\n");
        if (!force) return 1;
    }
    if (!askConfirmation(stdin, stdout)) {
        printf("Not confirmed, exiting\n");
        return 0;
    }
    printf("Firmware update running, do not interrupt ...");
    fflush(stdout);
    const SayResult failed = sendFirmware(scsi, image.bytes, image.size);
    if (failed != 0) {
        fprintf(stderr, "sp_write returned %d\n", failed);
        return 1;
    }
    uint8_t closingAnswer[ANSWER_BUFFER_SIZE];
    sendClosingCommand(scsi, closingAnswer);
    printf("Finished\n");
    scsiClose(scsi);
    return 0;
}
