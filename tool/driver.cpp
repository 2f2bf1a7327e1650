#include "driver.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "firmware_file.h"
#include "hex_container.h"
#include "image.h"
#include "platform.h"
#include "scsi.h"
#include "update.h"

namespace {

const int ANSWER_BUFFER_SIZE = 1024;

// Reads, extracts and checks the firmware file, saying what is wrong. A container's image is
// also saved for the user; a failed save costs only the copy: the update goes on with the
// image in memory.
bool loadImage(const char* path, FirmwareFile* image) {
    if (!firmwareFileRead(path, image, stderr)) return false;
    if (firmwareFileTakeOutImage(image))
        writeWholeFile("extracted.dat", image->bytes, int32_t(image->size), stderr);
    return firmwareFileIsValid(*image, path, stderr);
}

// Whether the drive took the image. A closing command that completed did; its answer's
// length means nothing, the answer being ignored. One that failed (a drive may fail it as it
// restarts) did only if the drive, once it answers again, names the image's firmware in all
// its characters. Otherwise nothing may claim success, and the user learns what the drive is.
bool driveTookImage(Scsi* scsi, const char* firmwareName, SayResult closing) {
    if (closing >= 0) return true;
    const char* now = identifyRestartedDevice(scsi);
    if (now != nullptr && deviceRunsFirmware(firmwareName, now)) return true;
    fprintf(stderr, "closing command returned %d\n", closing);
    if (now == nullptr)
        fprintf(stderr, "the drive does not answer\n");
    else
        fprintf(stderr, "the drive now reports %s, not the image's %s\n", now, firmwareName);
    fprintf(stderr, "the update may not have taken: power-cycle the drive and check its "
                    "firmware before using it\n");
    return false;
}

// The update itself, from its first chunk to its verdict: the exit status.
int updateDrive(Scsi* scsi, const FirmwareFile& image, const char* firmwareName) {
    const SayResult failed = sendFirmware(scsi, image.bytes, image.size);
    if (failed != 0) {
        fprintf(stderr, "sp_write returned %d\n", failed);
        return 1;
    }
    uint8_t closingAnswer[ANSWER_BUFFER_SIZE];
    const SayResult closing = sendClosingCommand(scsi, closingAnswer);
    if (!driveTookImage(scsi, firmwareName, closing)) return 1;
    printf("Finished\n");
    fflush(stdout);
    return 0;
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
    fprintf(stderr, "kelvo V " KELVO_VERSION " compiled at %s %s\n", __DATE__, __TIME__);
    if (argc < 3) {
        fprintf(stderr, "usage: %s <device index> <file to flash>\n", argc > 0 ? argv[0] : "kelvo");
        return 1;
    }
    const int force = forceFlag(argc, argv);
    const char* const deviceArgument = argv[1];
    const char* const fileName = argv[2];

    FirmwareFile image = {};
    if (!loadImage(fileName, &image)) return 1;
    const FirmwareName firmware = imageName(image.bytes, image.size);
    printf("Selected firmware: %s\n", firmware.text);

    Scsi* scsi = newScsi();
    if (scsi == nullptr) {
        fprintf(stderr, "Internal error: newScsi() returned NULL.\n");
        return 1;
    }
    char path[7];
    const char* const device = deviceName(deviceArgument, path);
    if (scsiOpen(scsi, device) < 0) {
        fprintf(stderr, "Could not open device\n");
        return 1;
    }
    scsiSetSenseLength(scsi, 14);
    scsiSetTimeout(scsi, 300, 0);

    const char* identification = identifyDevice(scsi);
    if (identification != nullptr) printf("Selected device:   %s\n", identification);
    // The vendor's write and closing commands mean something only to the vendor's drives;
    // -f is for the user who knows a drive to be one under another name.
    if (identification == nullptr || (!deviceIsMatshita(identification) && !force)) {
        fprintf(stderr, "Selected drive %s does not appear to be a matshita device\n",
                deviceArgument);
        return 1;
    }
    if (!deviceMatchesFirmware(firmware.text, identification)) {
        printf("Selected device does not match firmware\n");
        if (!force) return 1;
    }
    // An update the system would let begin but not finish is not begun.
    if (scsi->selected == scsi->sptx && !platformPassThroughCarriesUpdate(device, stderr))
        return 1;
    if (!askConfirmation(stdin, stdout)) {
        printf("Not confirmed, exiting\n");
        return 0;
    }
    printf("Firmware update running, do not interrupt ...");
    fflush(stdout);
    // Once the first chunk goes out, the update runs to its end and its verdict is told,
    // whatever the user or the system does meanwhile.
    UpdateShield* shield = newUpdateShield(stderr);
    const int status = updateDrive(scsi, image, firmware.text);
    updateShieldLower(shield);
    if (status == 0) scsiClose(scsi);
    return status;
}
