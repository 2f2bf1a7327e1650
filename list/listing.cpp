#include "listing.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "drive_access.h"
#include "files.h"
#include "firmware_file.h"
#include "image.h"
#include "platform.h"
#include "update.h"
#include "words.h"

namespace {

const size_t LINE_SIZE = 4096;

// Prints one line, without blanks at its end (a field left empty leaves none behind); nothing
// for a listing that keeps its lines to itself.
void printLine(FILE* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void printLine(FILE* out, const char* format, ...) {
    if (out == nullptr) return;
    char line[LINE_SIZE];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    size_t length = strlen(line);
    while (length > 0 && line[length - 1] == ' ') --length;
    fprintf(out, "%.*s\n", static_cast<int>(length), line);
}

// Lines as one: their line ends (CR LF from the system's texts) become single blanks, so that
// one drive's or one file's whole story stays on its line.
void asOneLine(const char* raw, char* text, size_t size) {
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

// Opens and asks the drive as kelvo does: the INQUIRY's answer, the state word for its line
// and, for a drive that gave no identification, a few words on why.
const char* askAsKelvo(Scsi* scsi, const char* index, DeviceInquiry* inquiry,
                       const char** why) {
    char devicePath[DEVICE_PATH_SIZE];
    *inquiry = {nullptr, -1};
    if (driveOpen(scsi, index, devicePath) == nullptr) {
        *why = scsiBrief(scsiOutcome(scsi));
        return scsiHeldElsewhere(scsiOutcome(scsi)) ? LISTED_BUSY : LISTED_CANNOT_OPEN;
    }
    *inquiry = inquireDevice(scsi);
    *why = scsiBrief(scsiOutcome(scsi));
    if (inquiry->identification == nullptr)
        return scsiHeldElsewhere(scsiOutcome(scsi)) ? LISTED_BUSY : LISTED_NO_ANSWER;
    return deviceIsMatshita(inquiry->identification) ? LISTED_MATSHITA : LISTED_NOT_MATSHITA;
}

// A file's name as the line gives it: in quotes, with `"` and `\` escaped, as a script reads it.
void quoteFileName(const char* path, char* quoted, size_t size) {
    size_t length = 0;
    quoted[length++] = '"';
    for (const char* at = path; *at != '\0' && length + 3 < size; ++at) {
        if (*at == '"' || *at == '\\') quoted[length++] = '\\';
        quoted[length++] = *at;
    }
    quoted[length++] = '"';
    quoted[length] = '\0';
}

}  // namespace

const char LISTED_MATSHITA[] = "matshita";
const char LISTED_NOT_MATSHITA[] = "not-matshita";
const char LISTED_CANNOT_OPEN[] = "cannot-open";
const char LISTED_NO_ANSWER[] = "no-answer";
const char LISTED_BUSY[] = "busy";

Listing* newListing(FILE* out) {
    Listing* listing = static_cast<Listing*>(calloc(1, sizeof(Listing)));
    if (listing == nullptr) return nullptr;
    listing->out = out;
    listing->scsi = newScsi();
    listing->nowhere = fileNowhere();
    if (listing->scsi == nullptr || listing->nowhere == nullptr) {
        free(listing);
        return nullptr;
    }
    scsiSetTrace(listing->scsi, listing->nowhere);
    return listing;
}

void listingFree(Listing* listing) {
    if (listing == nullptr) return;
    scsiFree(listing->scsi);
    fclose(listing->nowhere);
    free(listing->drives);
    free(listing);
}

namespace {

// Where a kelvo update writes the drive named `index`, under that name or another of the same
// drive, its holder's words: the drive is not asked, since its commands would go between the
// update's.
bool updateWrites(const char* index, char* holder, size_t size) {
    if (!platformUpdateRunning(holder, size)) return false;
    const char* const drive = strstr(holder, UPDATE_LOCK_DRIVE);
    return drive != nullptr && platformSameDrive(drive + strlen(UPDATE_LOCK_DRIVE), index);
}

}  // namespace

void listingAskDrive(Listing* listing, const char* index, const char* path) {
    ListedDrive drive = {};
    snprintf(drive.index, sizeof drive.index, "%s", index);
    drive.path = path;
    char holder[UPDATE_LOCK_HOLDER_SIZE];
    if (updateWrites(index, holder, sizeof holder)) {
        drive.state = LISTED_BUSY;
        snprintf(drive.reason, sizeof drive.reason, "a kelvo update writes it (%s)", holder);
        printLine(listing->out, "drive %-9s %-12s %-12s %s", index, path, drive.state,
                  drive.reason);
        if (!keepDrive(listing, drive)) listing->outOfMemory = true;
        return;
    }
    DeviceInquiry inquiry;
    const char* why = nullptr;
    drive.state = askAsKelvo(listing->scsi, index, &inquiry, &why);
    drive.denied = drive.state == LISTED_CANNOT_OPEN &&
                   scsiOpenFailure(listing->scsi) == SCSI_OPEN_DENIED;
    char trace[TEXT_SIZE];
    asOneLine(scsiLastTrace(listing->scsi), trace, sizeof trace);
    scsiClose(listing->scsi);
    if (drive.state == LISTED_BUSY) why = "another program or a kelvo update holds it";
    if (inquiry.identification != nullptr) {
        drive.answered = true;
        drive.peripheralType = inquiry.peripheralType;
        snprintf(drive.identification, sizeof drive.identification, "%s", inquiry.identification);
        free(inquiry.identification);
        printLine(listing->out, "drive %-9s %-12s %-12s \"%s\"", index, path, drive.state,
                  drive.identification);
    } else {
        snprintf(drive.reason, sizeof drive.reason, "%s%s%s", why, trace[0] != '\0' ? ": " : "",
                 trace);
        printLine(listing->out, "drive %-9s %-12s %-12s %s", index, path, drive.state,
                  drive.reason);
    }
    if (!keepDrive(listing, drive)) listing->outOfMemory = true;
}

void listingNote(Listing* listing, const char* subject, const char* words,
                 const char* traceLines) {
    char trace[TEXT_SIZE];
    asOneLine(traceLines, trace, sizeof trace);
    const char* const between = words[0] != '\0' && trace[0] != '\0' ? ": " : "";
    if (listing->noteCount < LISTED_NOTES) {
        ListedNote& note = listing->notes[listing->noteCount++];
        snprintf(note.subject, sizeof note.subject, "%s", subject);
        snprintf(note.text, sizeof note.text, "%s%s%s", words, between, trace);
    }
    printLine(listing->out, "note %s %s%s%s", subject, words, between, trace);
}

bool listingJudgeFile(Listing* listing, const char* path) {
    FirmwareFile file = {};
    const FileVerdict verdict = firmwareFileLoad(path, &file);
    char quoted[LINE_SIZE];
    quoteFileName(path, quoted, sizeof quoted);
    if (verdict.fault != FILE_VALID) {
        free(file.bytes);
        Text words = {};
        describeFileFault(&words, verdict, path);
        char message[TEXT_SIZE];
        asOneLine(words.chars, message, sizeof message);
        printLine(listing->out, "file %s invalid %s", quoted, message);
        return false;
    }
    const FirmwareName firmware = imageName(file.bytes, file.size);
    free(file.bytes);
    fprintf(listing->out, "file %s valid \"%s\" fits", quoted, firmware.text);
    int32_t fitting = 0;
    for (int32_t i = 0; i < listing->driveCount; ++i) {
        const ListedDrive& drive = listing->drives[i];
        const DriveJudgement judgement =
            judgeDrive(drive.answered ? drive.identification : nullptr, drive.peripheralType,
                       firmware.text);
        if (!driveTakesImage(judgement)) continue;
        fprintf(listing->out, " %s%s", drive.index, judgement.runsImage ? "(installed)" : "");
        ++fitting;
    }
    fprintf(listing->out, "%s\n", fitting == 0 ? " none" : "");
    return true;
}
