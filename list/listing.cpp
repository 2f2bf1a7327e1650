#include "listing.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "driver.h"
#include "firmware_file.h"
#include "image.h"
#include "update.h"

namespace {

const size_t TEXT_SIZE = 2048;  // a trace line holds at most the system's 1,233-byte text
const size_t LINE_SIZE = 4096;

// What a drive's line says of it.
const char* const MATSHITA = "matshita";          // kelvo updates it
const char* const NOT_MATSHITA = "not-matshita";  // kelvo refuses it unless forced
const char* const CANNOT_OPEN = "cannot-open";    // kelvo says "Could not open device"
const char* const NO_ANSWER = "no-answer";        // the INQUIRY failed

// kelvo's settings for every command: 14 sense bytes, 300 seconds.
const int32_t SENSE_LENGTH = 14;
const int32_t TIMEOUT_SECONDS = 300;

// Prints one line, without blanks at its end (a field left empty leaves none behind).
void printLine(FILE* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void printLine(FILE* out, const char* format, ...) {
    char line[LINE_SIZE];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    size_t length = strlen(line);
    while (length > 0 && line[length - 1] == ' ') --length;
    fprintf(out, "%.*s\n", static_cast<int>(length), line);
}

// The captured text as one line: its line ends (CR LF from the system's texts) become single
// blanks, so that one drive's or one file's whole story stays on its line.
void takeAsOneLine(Listing* listing, char* text, size_t size) {
    char raw[TEXT_SIZE];
    textCaptureTake(listing->capture, raw, sizeof raw);
    size_t length = 0;
    bool blank = true;  // no blank at the start, none twice
    for (const char* at = raw; *at != '\0' && length + 1 < size; ++at) {
        const bool lineEnd = *at == '\r' || *at == '\n';
        if (lineEnd && blank) continue;
        text[length++] = lineEnd ? ' ' : *at;
        blank = lineEnd;
    }
    while (length > 0 && text[length - 1] == ' ') --length;
    text[length] = '\0';
}

bool keepDrive(Listing* listing, const ListedDrive& drive) {
    if (listing->driveCount == listing->driveCapacity) {
        const int32_t capacity = listing->driveCapacity * 2 + 8;
        ListedDrive* drives = static_cast<ListedDrive*>(
            realloc(listing->drives, sizeof(ListedDrive) * size_t(capacity)));
        if (drives == nullptr) return false;
        listing->drives = drives;
        listing->driveCapacity = capacity;
    }
    listing->drives[listing->driveCount++] = drive;
    return true;
}

// Opens and asks the drive as kelvo does; the identification (null when there is none) and
// the state word for its line.
const char* askAsKelvo(Scsi* scsi, const char* index, char** identification) {
    char devicePath[7];
    *identification = nullptr;
    if (scsiOpen(scsi, deviceName(index, devicePath)) < 0) return CANNOT_OPEN;
    scsiSetSenseLength(scsi, SENSE_LENGTH);
    scsiSetTimeout(scsi, TIMEOUT_SECONDS, 0);
    *identification = identifyDevice(scsi);
    scsiClose(scsi);
    if (*identification == nullptr) return NO_ANSWER;
    return deviceIsMatshita(*identification) ? MATSHITA : NOT_MATSHITA;
}

// The drive takes the image as kelvo would without -f: a MATSHITA drive of the image's vendor
// and product.
bool takesImage(const ListedDrive& drive, const char* firmwareName) {
    return drive.answered && deviceIsMatshita(drive.identification) &&
           deviceMatchesFirmware(firmwareName, drive.identification);
}

}  // namespace

Listing* newListing(FILE* out) {
    Listing* listing = static_cast<Listing*>(calloc(1, sizeof(Listing)));
    if (listing == nullptr) return nullptr;
    listing->out = out;
    listing->scsi = newScsi();
    listing->capture = newTextCapture();
    if (listing->scsi == nullptr || listing->capture == nullptr) {
        free(listing);
        return nullptr;
    }
    scsiSetTrace(listing->scsi, listing->capture->stream);
    return listing;
}

void listingAskDrive(Listing* listing, const char* index, const char* path) {
    ListedDrive drive = {};
    snprintf(drive.index, sizeof drive.index, "%s", index);
    char* identification = nullptr;
    const char* state = askAsKelvo(listing->scsi, index, &identification);
    char trace[TEXT_SIZE];
    takeAsOneLine(listing, trace, sizeof trace);
    if (identification != nullptr) {
        drive.answered = true;
        snprintf(drive.identification, sizeof drive.identification, "%s", identification);
        free(identification);
        printLine(listing->out, "drive %-9s %-12s %-12s \"%s\"", index, path, state,
                  drive.identification);
    } else {
        printLine(listing->out, "drive %-9s %-12s %-12s %s", index, path, state, trace);
    }
    if (!keepDrive(listing, drive)) listing->outOfMemory = true;
}

void listingNote(Listing* listing, const char* subject) {
    char trace[TEXT_SIZE];
    takeAsOneLine(listing, trace, sizeof trace);
    printLine(listing->out, "note %s %s", subject, trace);
}

void listingForgetTrace(Listing* listing) {
    char trace[TEXT_SIZE];
    takeAsOneLine(listing, trace, sizeof trace);
}

bool listingJudgeFile(Listing* listing, const char* path) {
    FILE* messages = listing->capture->stream;
    FirmwareFile file = {};
    bool valid = firmwareFileRead(path, &file, messages);
    if (valid) {
        firmwareFileTakeOutImage(&file);
        valid = firmwareFileIsValid(file, path, messages);
    }
    char message[TEXT_SIZE];
    takeAsOneLine(listing, message, sizeof message);
    if (!valid) {
        free(file.bytes);
        printLine(listing->out, "file %s invalid %s", path, message);
        return false;
    }
    const FirmwareName firmware = imageName(file.bytes, file.size);
    free(file.bytes);
    fprintf(listing->out, "file %s valid \"%s\" fits", path, firmware.text);
    int32_t fitting = 0;
    for (int32_t i = 0; i < listing->driveCount; ++i) {
        const ListedDrive& drive = listing->drives[i];
        if (!takesImage(drive, firmware.text)) continue;
        // kelvo's own test of an update that took.
        const bool installed = deviceRunsFirmware(firmware.text, drive.identification);
        fprintf(listing->out, " %s%s", drive.index, installed ? "(installed)" : "");
        ++fitting;
    }
    fprintf(listing->out, "%s\n", fitting == 0 ? " none" : "");
    return true;
}
