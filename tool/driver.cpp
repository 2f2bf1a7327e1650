#include "driver.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "drive_access.h"
#include "firmware_file.h"
#include "image.h"
#include "platform.h"
#include "scsi.h"
#include "update.h"

namespace {

const int ANSWER_BUFFER_SIZE = 1024;

const size_t EXPLANATION_SIZE = 1400;

// What the user is told after the usage line: every form of the arguments.
const char* const USAGE_HELP =
    "  <device index>  the drive: a drive letter with a colon (E:), an ASPI address of host\n"
    "                  adapter, target and logical unit (0.1.0), or a device path (\\\\.\\CdRom0;\n"
    "                  on Linux /dev/sr0 or /dev/sg0)\n"
    "  <file to flash> the firmware image, or a hex container that holds it\n"
    "  -f              as the third argument: update a drive that does not match the image\n"
    "kelvo-list lists the drives kelvo can reach, and which firmware file fits which drive.\n";

// Whether what the user gave as the device index is a number alone ("1"), which names no drive.
bool isBareNumber(const char* argument) {
    if (*argument == '\0') return false;
    for (; *argument != '\0'; ++argument) {
        if (!isdigit(static_cast<unsigned char>(*argument))) return false;
    }
    return true;
}

// The update's progress on a terminal: the share of the payload written stands after "do not
// interrupt ...", each figure over the last, and is wiped before the verdict, so that the line
// ends as it always does.
void showProgress(const TransferProgress& progress, void*) {
    const uint64_t percent =
        progress.bytes == 0 ? 100 : uint64_t(progress.bytesAccepted) * 100 / progress.bytes;
    printf("%3u%%\b\b\b\b", unsigned(percent));
    fflush(stdout);
}

void wipeProgress() { printf("    \b\b\b\b"); }

// On a terminal a failure's message starts on a line of its own, not after "... do not
// interrupt ...".
void endProgressLine(bool onTerminal) {
    if (onTerminal) printf("\n");
    fflush(stdout);
}

// Where the update stopped, what the drive said, what it means and what to do now.
void explainFailedChunk(Scsi* scsi, const TransferProgress& progress) {
    char answer[EXPLANATION_SIZE];
    scsiExplainLast(scsi, answer, sizeof answer);
    fprintf(stderr,
            "chunk %u of %u failed: the drive had accepted %u of the image's %u payload bytes\n"
            "%s\n"
            "the closing command was not sent, so the drive has not taken the new image\n"
            "what to do: leave the machine and the drive powered on and run kelvo again with the "
            "same file (kelvo-list shows what the drive reports now); if it fails again, keep "
            "the drive powered and try another connection or path to it before you turn it off\n",
            progress.chunksAccepted + 1, progress.chunks, progress.bytesAccepted, progress.bytes,
            answer);
}

// Whether the drive took the image: it did after a closing command that completed, else (a
// restarting drive may fail it) only if it then names the image's firmware in all its
// characters; if not, says what the drive answered and what it is now.
bool driveTookImage(Scsi* scsi, const char* firmwareName, SayResult closing, bool onTerminal) {
    if (closing >= 0) return true;
    char answer[EXPLANATION_SIZE];
    scsiExplainLast(scsi, answer, sizeof answer);
    const char* now = identifyRestartedDevice(scsi);
    if (now != nullptr && deviceRunsFirmware(firmwareName, now)) return true;
    endProgressLine(onTerminal);
    fprintf(stderr, "closing command returned %d\n", closing);
    fprintf(stderr, "%s\n", answer);
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
    const bool onTerminal = platformOutputIsTerminal();
    TransferProgress progress = {};
    if (onTerminal) progress.report = showProgress;
    const SayResult failed = sendFirmware(scsi, image.bytes, image.size, &progress);
    if (onTerminal) wipeProgress();
    if (failed != 0) {
        endProgressLine(onTerminal);
        fprintf(stderr, "sp_write returned %d\n", failed);
        explainFailedChunk(scsi, progress);
        return 1;
    }
    uint8_t closingAnswer[ANSWER_BUFFER_SIZE];
    const SayResult closing = sendClosingCommand(scsi, closingAnswer);
    if (!driveTookImage(scsi, firmwareName, closing, onTerminal)) return 1;
    printf("Finished\n");
    fflush(stdout);
    return 0;
}

// A drive that gave no identification: what was there, and where to look.
void explainNoIdentification(Scsi* scsi, const char* deviceArgument) {
    char answer[EXPLANATION_SIZE];
    scsiExplainLast(scsi, answer, sizeof answer);
    fprintf(stderr, "the device at %s gave no identification (%s); kelvo-list lists the drives "
                    "kelvo can reach\n", deviceArgument, answer);
}

void refuseDeviceType(const char* deviceArgument, int32_t type) {
    fflush(stdout);
    if (type < 0) {
        fprintf(stderr, "the device at %s does not say what kind of device it is: kelvo updates "
                        "CD/DVD drives only, with or without -f\n", deviceArgument);
        return;
    }
    fprintf(stderr, "the device at %s is %s (peripheral device type %d), not a CD/DVD drive: "
                    "kelvo updates CD/DVD drives only, with or without -f\n",
            deviceArgument, peripheralTypeName(type), type);
}

// Says why kelvo does not take the drive for the image: another vendor's drive (unless forced:
// a MATSHITA drive may carry another name), no CD/DVD drive (the vendor's commands mean
// something else to a disk, -f or not), another model. True where -f lets the update go on.
bool forcedPastRefusal(const char* deviceArgument, const DeviceInquiry& inquiry,
                       const char* firmwareName, int force) {
    const bool optical = inquiry.peripheralType == OPTICAL_DRIVE_TYPE;
    const bool otherKind = inquiry.peripheralType >= 0 && !optical;
    if (!otherKind && !deviceIsMatshita(inquiry.identification) && !force) {
        fprintf(stderr, "Selected drive %s does not appear to be a matshita device\n",
                deviceArgument);
        return false;
    }
    if (!optical) {
        refuseDeviceType(deviceArgument, inquiry.peripheralType);
        return false;
    }
    if (!deviceMatchesFirmware(firmwareName, inquiry.identification)) {
        printf("Selected device does not match firmware\n");
        return force != 0;
    }
    return true;
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
        fputs(USAGE_HELP, stderr);
        return 1;
    }
    const int force = forceFlag(argc, argv);
    const char* const deviceArgument = argv[1];
    const char* const fileName = argv[2];

    FirmwareFile image = {};
    if (!firmwareFileLoad(fileName, &image, "extracted.dat", stderr)) return 1;
    const FirmwareName firmware = imageName(image.bytes, image.size);
    printf("Selected firmware: %s\n", firmware.text);

    Scsi* scsi = newScsi();
    if (scsi == nullptr) {
        fprintf(stderr, "Internal error: newScsi() returned NULL.\n");
        return 1;
    }
    char path[DEVICE_PATH_SIZE];
    const char* const device = driveOpen(scsi, deviceArgument, path);
    if (device == nullptr) {
        fprintf(stderr, "Could not open device\n");
        if (isBareNumber(deviceArgument))
            fprintf(stderr, "the device index is a drive letter with a colon (E:), an ASPI "
                            "address (0.1.0) or a device path, not a number alone\n");
        return 1;
    }

    const DeviceInquiry inquiry = inquireDevice(scsi);
    if (inquiry.identification == nullptr) {
        fprintf(stderr, "Selected drive %s does not appear to be a matshita device\n",
                deviceArgument);
        explainNoIdentification(scsi, deviceArgument);
        return 1;
    }
    printf("Selected device:   %s\n", inquiry.identification);
    if (!driveTakesImage(inquiry.peripheralType, inquiry.identification, firmware.text) &&
        !forcedPastRefusal(deviceArgument, inquiry, firmware.text, force))
        return 1;
    // An update the system would let begin but not finish is not begun.
    if (scsiPath(scsi) == SCSI_PATH_PASS_THROUGH &&
        !platformPassThroughCarriesUpdate(device, stderr))
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
