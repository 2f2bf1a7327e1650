#include "words.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace {

const size_t EXPLANATION_SIZE = 1400;
const int32_t VENDOR_LENGTH = 8;
const int32_t MODEL_LENGTH = 24;  // vendor and product: what must match

// What starts the line of a check that -f overrides.
const char* const FORCED = "-f overrides: ";

struct PeripheralTypeName {
    int32_t type;
    const char* name;
};

const PeripheralTypeName PERIPHERAL_TYPE_NAMES[] = {
    {0x00, "a direct-access device (a disk)"},
    {0x01, "a sequential-access device (a tape)"},
    {0x02, "a printer"},
    {0x03, "a processor device"},
    {0x04, "a write-once device"},
    {OPTICAL_DRIVE_TYPE, "a CD/DVD drive"},
    {0x06, "a scanner"},
    {0x07, "an optical memory device"},
    {0x08, "a medium changer"},
    {0x09, "a communications device"},
    {0x0C, "a storage array controller"},
    {0x0D, "an enclosure services device"},
    {0x0E, "a simplified direct-access device"},
    {0x0F, "an optical card reader/writer"},
    {0x11, "an object-based storage device"},
    {0x1F, "a device of unknown type"},
};

// What a peripheral device type is, in words: "a direct-access device (a disk)".
const char* peripheralTypeName(int32_t type) {
    for (const PeripheralTypeName& known : PERIPHERAL_TYPE_NAMES) {
        if (known.type == type) return known.name;
    }
    return "a device of a kind without a name here";
}

// Whether what the user gave as the device index is a number alone ("1"), which names no drive.
bool isBareNumber(const char* index) {
    if (*index == '\0') return false;
    for (; *index != '\0'; ++index) {
        if (!isdigit(static_cast<unsigned char>(*index))) return false;
    }
    return true;
}

void describeNotMatshita(Text* text, const char* index) {
    textAdd(text, "Selected drive %s does not appear to be a matshita device\n", index);
}

// The first `length` characters of a drive's name, without the blanks that pad its fields.
struct Name {
    char text[IMAGE_NAME_LENGTH + 1];
};

Name nameOf(const char* identification, int32_t length) {
    Name name = {};
    snprintf(name.text, sizeof name.text, "%.*s", int(length), identification);
    for (size_t end = strlen(name.text); end > 0 && name.text[end - 1] == ' '; --end)
        name.text[end - 1] = '\0';
    return name;
}

const char* whyUnreadable(const FileVerdict& verdict) {
    switch (verdict.unreadable) {
    case UNREADABLE_NO_SUCH_FILE: return "there is no such file";
    case UNREADABLE_FOLDER: return "it is a folder";
    case UNREADABLE_ACCESS_DENIED: return "access is denied";
    case UNREADABLE_LOCKED: return "another program holds it locked";
    case UNREADABLE_NO_SIZE: return "its size cannot be told (a pipe?)";
    case UNREADABLE_SHORT_READ: return "it holds fewer bytes than its size says";
    case UNREADABLE_OTHER: break;
    }
    return strerror(verdict.error);
}

void describeImageFault(Text* text, const ImageCheck& image, const char* path) {
    switch (image.fault) {
    case IMAGE_LENGTH_WRONG:
        textAdd(text, "fatal: firmware file length %d does not match header info %d\n",
                int32_t(image.size), int32_t(image.declaredSize));
        return;
    case IMAGE_CHECKSUM_WRONG:
        textAdd(text, "fatal: checksum error in file %s, expected %04X, current %04X\n", path,
                image.storedChecksum, image.payloadChecksum);
        return;
    case IMAGE_PAYLOAD_TOO_LARGE:
        textAdd(text,
                "fatal: firmware payload of %lu bytes exceeds the %lu bytes the write command "
                "can address\n",
                static_cast<unsigned long>(image.size - IMAGE_HEADER_SIZE),
                static_cast<unsigned long>(IMAGE_MAX_PAYLOAD));
        return;
    case IMAGE_VALID:
        return;
    }
}

}  // namespace

void textAdd(Text* text, const char* format, ...) {
    if (text->length + 1 >= TEXT_SIZE) return;
    va_list arguments;
    va_start(arguments, format);
    const int added =
        vsnprintf(text->chars + text->length, TEXT_SIZE - text->length, format, arguments);
    va_end(arguments);
    if (added > 0) text->length = std::min(text->length + size_t(added), TEXT_SIZE - 1);
}

void saidAdd(Said* said, KelvoStream stream, const Text& text) {
    if (text.length == 0) return;
    const bool sameStream = said->count > 0 && said->streams[said->count - 1] == stream;
    if (!sameStream) {
        if (said->count == SAID_PARTS) return;
        said->streams[said->count] = stream;
        said->parts[said->count++] = {};
    }
    textAdd(&said->parts[said->count - 1], "%s", text.chars);
}

void addNothingWritten(Text* text, const char* whatToDo) {
    textAdd(text, "nothing was written to the drive: %s\n", whatToDo);
}

void describeFileFault(Text* text, const FileVerdict& verdict, const char* path) {
    switch (verdict.fault) {
    case FILE_UNREADABLE:
        textAdd(text, "open for read error\n");
        textAdd(text, "the file %s cannot be read: %s\n", path, whyUnreadable(verdict));
        return;
    case FILE_TOO_SHORT:
        textAdd(text, "flash data appears to be too short\n");
        return;
    case FILE_NO_MEMORY:
        textAdd(text, "error allocating memory for flash data\n");
        return;
    case FILE_IMAGE_INVALID:
        describeImageFault(text, verdict.image, path);
        // Still of a container's size after the search: no container was found in it.
        if (verdict.container == CONTAINER_NOT_FOUND)
            textAdd(text, "the file has the size of a hex container, but none was found in it, "
                          "so it was checked as a plain image\n");
        return;
    case FILE_VALID:
        return;
    }
}

const char* fileAdvice(const FileVerdict& verdict) {
    switch (verdict.fault) {
    case FILE_UNREADABLE:
        if (verdict.unreadable == UNREADABLE_LOCKED)
            return "close the program that holds the file, then run kelvo again";
        if (verdict.unreadable == UNREADABLE_FOLDER || verdict.unreadable == UNREADABLE_NO_SIZE)
            return "give kelvo the firmware file itself";
        return "check the file's name and the folder you run kelvo in";
    case FILE_TOO_SHORT:
        return "use the firmware file itself, not a shortcut or a download page";
    case FILE_NO_MEMORY:
        return "close other programs and run kelvo again";
    case FILE_IMAGE_INVALID:
        if (verdict.image.fault == IMAGE_CHECKSUM_WRONG)
            return "download the file again; never force such an image";
        return "download the file again; do not use this one";
    case FILE_VALID:
        break;
    }
    return "";
}

void describeOpenFailure(Text* text, const char* index, ScsiOpenFailure failure) {
    char whatToDo[768];
    char access[512];
    switch (failure) {
    case SCSI_OPEN_NO_ASPI:
        snprintf(whatToDo, sizeof whatToDo, "no ASPI library reaches %s; %s", index,
                 PLATFORM_NO_ASPI_ADVICE);
        break;
    case SCSI_OPEN_DENIED:
        platformAccessAdvice(index, access, sizeof access);
        snprintf(whatToDo, sizeof whatToDo, "the system keeps this user from the drive; %s",
                 access);
        break;
    case SCSI_OPEN_NOT_FOUND:
        snprintf(whatToDo, sizeof whatToDo,
                 "no drive opens as %s; kelvo-list lists the drives kelvo can reach", index);
        break;
    }
    addNothingWritten(text, whatToDo);
}

void describeNoIdentification(Text* text, const char* index, const ScsiOutcome& outcome) {
    describeNotMatshita(text, index);
    char answer[EXPLANATION_SIZE];
    scsiExplain(outcome, answer, sizeof answer);
    textAdd(text, "the device at %s gave no identification (%s)\n", index, answer);
    addNothingWritten(text, "check the index with kelvo-list, which lists the drives kelvo can "
                            "reach");
}

void describeOtherKind(Text* text, const char* index, int32_t peripheralType) {
    if (peripheralType < 0)
        textAdd(text, "the device at %s does not say what kind of device it is: kelvo updates "
                      "CD/DVD drives only, with or without -f\n", index);
    else
        textAdd(text, "the device at %s is %s (peripheral device type %d), not a CD/DVD drive: "
                      "kelvo updates CD/DVD drives only, with or without -f\n",
                index, peripheralTypeName(peripheralType), peripheralType);
    addNothingWritten(text, "give kelvo the index of the CD/DVD drive (kelvo-list lists them)");
}

namespace {

void describeOtherVendor(Text* text, const char* identification, bool forced) {
    textAdd(text, "%sthe drive calls itself \"%s\", not MATSHITA\n", forced ? FORCED : "",
            nameOf(identification, VENDOR_LENGTH).text);
    if (!forced)
        addNothingWritten(text, "check the index with kelvo-list; use -f only for a MATSHITA "
                                "drive sold under another name");
}

void describeOtherModel(Text* text, const char* firmwareName, const char* identification,
                        bool forced) {
    textAdd(text, "%sthe image is made for \"%s\", the drive is \"%s\"\n", forced ? FORCED : "",
            nameOf(firmwareName, MODEL_LENGTH).text, nameOf(identification, MODEL_LENGTH).text);
    if (!forced) addNothingWritten(text, "find the firmware file made for the drive's model");
}

}  // namespace


void describeDriveForImage(Text* output, Text* errors, const char* index,
                           const DeviceInquiry& inquiry, const DriveJudgement& judgement,
                           const char* firmwareName, bool force) {
    if (driveTakesImage(judgement)) return;
    const char* const identification = inquiry.identification;
    // The vendor is said first, unforced, unless the device is no drive of this kind at all.
    if (!judgement.otherKind && !judgement.matshita && !force) {
        describeNotMatshita(errors, index);
        describeOtherVendor(errors, identification, false);
        return;
    }
    if (!judgement.optical) {
        describeOtherKind(errors, index, inquiry.peripheralType);
        return;
    }
    if (!judgement.matchesImage) textAdd(output, "Selected device does not match firmware\n");
    if (!judgement.matshita) describeOtherVendor(errors, identification, true);
    if (!judgement.matchesImage) describeOtherModel(errors, firmwareName, identification, force);
}

void describeSameFirmware(Text* text, const char* firmwareName) {
    textAdd(text, "the drive already runs the image's firmware, %s: the update writes it "
                  "again, as a repair\n", firmwareName);
}

void describePower(Text* text, const PlatformPower& power, bool force, const char* yes) {
    if (!power.onBattery) return;
    if (!batteryTooLow(power)) {
        textAdd(text, "the machine runs on battery with %d%% left: connect the charger before "
                      "you answer %s\n", int(power.percent), yes);
        return;
    }
    textAdd(text, "%sthe machine runs on battery with %d%% left, less than the %d%% kelvo "
                  "begins an update with\n", force ? FORCED : "", int(power.percent),
            int(LOW_BATTERY_PERCENT));
    if (force)
        textAdd(text, "connect the charger before you answer %s\n", yes);
    else
        addNothingWritten(text, "connect the charger and run kelvo again");
}

void describeDriveHeld(Text* text, const char* holder) {
    if (holder[0] != '\0')
        textAdd(text, "the drive is held by %s, another program that keeps it for itself\n",
                holder);
    else
        textAdd(text, "the drive is busy: %s\n", PLATFORM_DRIVE_BUSY);
    addNothingWritten(text, PLATFORM_DRIVE_BUSY_ADVICE);
}

namespace {

// A second update refused: which one runs, that nothing was written, and what to do.
void describeOtherUpdateRefusal(Text* text, const char* holder) {
    describeOtherUpdate(text, holder);
    textAdd(text, "\n");
    addNothingWritten(text, "run kelvo again once the other update has ended");
}

}  // namespace

void describeHoldRefusal(Text* text, const UpdateHold& hold) {
    if (hold.end == HOLD_DRIVE_HELD) {
        describeDriveHeld(text, hold.holder);
        return;
    }
    if (hold.end == HOLD_OTHER_UPDATE) describeOtherUpdateRefusal(text, hold.holder);
}

void describeOtherUpdate(Text* text, const char* holder) {
    if (holder[0] != '\0')
        textAdd(text, "another kelvo update is running on this machine (%s): kelvo updates one "
                      "drive at a time", holder);
    else
        textAdd(text, "another kelvo update is running on this machine: kelvo updates one drive "
                      "at a time");
}

void describeUpdateFailure(Text* text, const UpdateOutcome& outcome, const char* firmwareName) {
    char answer[EXPLANATION_SIZE];
    scsiExplain(outcome.answer, answer, sizeof answer);
    if (outcome.end == UPDATE_CHUNK_FAILED) {
        const TransferProgress& transfer = outcome.transfer;
        textAdd(text, "sp_write returned %d\n", outcome.failedChunk);
        textAdd(text,
                "chunk %u of %u failed: the drive had accepted %u of the image's %u payload "
                "bytes\n%s\n",
                transfer.chunksAccepted + 1, transfer.chunks, transfer.bytesAccepted,
                transfer.bytes, answer);
        textAdd(text, "the closing command was not sent, so the drive has not taken the new "
                      "image\n");
        textAdd(text, "what to do: leave the machine and the drive powered on and run kelvo "
                      "again with the same file (kelvo-list shows what the drive reports now); "
                      "if it fails again, keep the drive powered and try another connection or "
                      "path to it before you turn it off\n");
        return;
    }
    if (outcome.end != UPDATE_NOT_TAKEN) return;
    textAdd(text, "closing command returned %d\n%s\n", outcome.closing, answer);
    if (outcome.driveAfterClosing == nullptr)
        textAdd(text, "the drive does not answer\n");
    else
        textAdd(text, "the drive now reports %s, not the image's %s\n", outcome.driveAfterClosing,
                firmwareName);
    textAdd(text, "the update may not have taken: power-cycle the drive and check its firmware "
                  "before using it\n");
}

namespace {

// Where the steps stopped at the drive, before it was selected: why, and what to do.
void describeDriveNotReached(Text* text, const UpdateDecision& decision, const char* index) {
    switch (decision.end) {
    case DECISION_NO_HANDLE:
        textAdd(text, "Internal error: newScsi() returned NULL.\n");
        addNothingWritten(text, "close other programs and run kelvo again");
        return;
    case DECISION_NOT_OPENED:
        textAdd(text, "Could not open device\n");
        if (isBareNumber(index))
            textAdd(text, "the device index is %s, not a number alone\n", PLATFORM_INDEX_FORMS);
        describeOpenFailure(text, index, decision.openFailure);
        return;
    case DECISION_NOT_IDENTIFIED:
        describeNoIdentification(text, index, decision.answer);
        return;
    case DECISION_DRIVE_HELD:
        describeDriveHeld(text, decision.holder);
        return;
    case DECISION_OTHER_UPDATE:
        describeOtherUpdateRefusal(text, decision.otherUpdate);
        return;
    default:
        return;
    }
}

}  // namespace

void describeDecision(Said* said, const UpdateDecision& decision, const char* index,
                      const char* fileName) {
    Text output = {}, errors = {};
    if (decision.end == DECISION_FILE_REFUSED) {
        describeFileFault(&errors, decision.file, fileName);
        addNothingWritten(&errors, fileAdvice(decision.file));
        saidAdd(said, KELVO_ERRORS, errors);
        return;
    }
    textAdd(&output, "Selected firmware: %s\n", decision.firmware.text);
    saidAdd(said, KELVO_OUTPUT, output);
    textAdd(&errors, "%s", decision.trace);
    describeDriveNotReached(&errors, decision, index);
    saidAdd(said, KELVO_ERRORS, errors);
    if (decision.inquiry.identification == nullptr) return;

    output = {};
    errors = {};
    textAdd(&output, "Selected device:   %s\n", decision.inquiry.identification);
    describeDriveForImage(&output, &errors, index, decision.inquiry, decision.judgement,
                          decision.firmware.text, decision.force);
    if (decision.end == DECISION_CANNOT_FINISH) {
        textAdd(&errors, "%s", decision.lack);
        char access[512];
        platformAccessAdvice(decision.device, access, sizeof access);
        addNothingWritten(&errors, access);
    } else if (decision.end == DECISION_ASK && decision.judgement.runsImage) {
        describeSameFirmware(&errors, decision.firmware.text);
    }
    // Last, just before the question.
    if (decision.end == DECISION_ASK || decision.end == DECISION_LOW_BATTERY)
        describePower(&errors, decision.power, decision.force, "y");
    saidAdd(said, KELVO_OUTPUT, output);
    saidAdd(said, KELVO_ERRORS, errors);
}

void describeStage(Text* text, UpdateStage stage, const TransferProgress& progress) {
    switch (stage) {
    case UPDATE_WRITING:
        textAdd(text, "chunk %u of %u written", progress.chunksAccepted, progress.chunks);
        return;
    case UPDATE_CLOSING:
        textAdd(text, "every chunk written: the closing command tells the drive to take the image");
        return;
    case UPDATE_ASKING_DRIVE:
        textAdd(text, "the drive failed the closing command: asking it who it is now, for up to "
                      "%d seconds", RESTART_WAIT_SECONDS);
        return;
    case UPDATE_OVER:
        return;
    }
}

void describeShare(Text* text, const TransferProgress& progress) {
    const uint64_t percent =
        progress.bytes == 0 ? 100 : uint64_t(progress.bytesAccepted) * 100 / progress.bytes;
    textAdd(text, "%u%% of the image written", unsigned(percent));
}

const char HEADING_NOTHING_WRITTEN[] = "Nothing was written to the drive";

const char* updateHeading(const UpdateOutcome& outcome) {
    switch (outcome.end) {
    case UPDATE_FINISHED:
        return outcome.closing < 0 ? "Finished: the drive restarted with the new firmware"
                                   : "Finished: the drive took the new firmware";
    case UPDATE_CHUNK_FAILED:
        return "Stopped at a chunk: the drive has not taken the new firmware";
    case UPDATE_NOT_TAKEN:
        return "The update may not have taken: power-cycle the drive";
    }
    return "";
}

const char WINDOW_NAME_NOT_OPENED[] =
    "kelvo cannot open a file of this name on this Windows: copy the firmware file to a folder "
    "whose name has only letters of the system's language, such as C:\\firmware, and choose it "
    "there";

const char WINDOW_REPORT_NOT_SAVED[] =
    "The report was not saved: choose a folder you may write to, or use Copy report";

const char WINDOW_NO_DRIVE[] =
    "no optical drive found: check that Explorer shows the drive as a CD or DVD drive with a "
    "letter, or that an ASPI layer is installed, then press Refresh";

void describeNotFittingInWindow(Text* text, const char* index, const char* identification,
                                const DriveJudgement& judgement, int32_t peripheralType,
                                const char* firmwareName) {
    const char* const expert = "kelvo.exe -f, the console's expert option, can force it; use it "
                               "only when you know better than the drive's name";
    if (identification == nullptr) {
        textAdd(text, "the drive at %s does not answer kelvo: check that it is connected and no "
                      "other program uses it, then press Refresh", index);
    } else if (!judgement.optical) {
        textAdd(text, "the device at %s is %s, not a CD/DVD drive: choose the CD/DVD drive to "
                      "update", index, peripheralTypeName(peripheralType));
    } else if (!judgement.matshita) {
        textAdd(text, "the drive at %s calls itself \"%s\", not MATSHITA: kelvo updates MATSHITA "
                      "drives alone. %s", index, nameOf(identification, VENDOR_LENGTH).text,
                expert);
    } else {
        textAdd(text, "the file is made for \"%s\", the drive at %s is \"%s\": find the firmware "
                      "file made for the drive's model. %s",
                nameOf(firmwareName, MODEL_LENGTH).text, index,
                nameOf(identification, MODEL_LENGTH).text, expert);
    }
}
