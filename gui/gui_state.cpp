#include "gui_state.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image.h"
#include "platform.h"
#include "update_hold.h"

namespace {

const size_t REPORT_FIRST_CAPACITY = 4096;

void reportAdd(GuiReport* report, const char* text) {
    const size_t added = strlen(text);
    const size_t needed = report->length + added + 1;
    if (needed > report->capacity) {
        const size_t capacity = std::max(needed, 2 * report->capacity + REPORT_FIRST_CAPACITY);
        char* grown = static_cast<char*>(realloc(report->chars, capacity));
        if (grown == nullptr) return;
        report->chars = grown;
        report->capacity = capacity;
    }
    memcpy(report->chars + report->length, text, added + 1);
    report->length += added;
}

void reportClear(GuiReport* report) {
    free(report->chars);
    *report = {};
}

// Starts a line of its own where the report's last one is not ended.
void startLine(GuiReport* report) {
    if (report->length > 0 && report->chars[report->length - 1] != '\n') reportAdd(report, "\n");
}

// What the window's update tells its face, with every trace line also kept in the report.
struct Relay {
    Gui* gui;
    const UpdateObserver* face;
};

void relayProgress(void* context, const TransferProgress& progress) {
    const Relay* relay = static_cast<const Relay*>(context);
    if (relay->face->progress != nullptr) relay->face->progress(relay->face->context, progress);
}

void relayStage(void* context, UpdateStage stage) {
    const Relay* relay = static_cast<const Relay*>(context);
    if (relay->face->stage != nullptr) relay->face->stage(relay->face->context, stage);
}

void keepTrace(void* context, const char* lines) {
    GuiReport* report = &static_cast<const Relay*>(context)->gui->report;
    startLine(report);
    reportAdd(report, lines);
}

// A drive is being checked or written: the drives and the file stay as they are.
bool busy(const Gui* gui) {
    return gui->phase == GUI_CHECKING || gui->phase == GUI_ASKING || gui->phase == GUI_UPDATING;
}

bool fileValid(const Gui* gui) {
    return gui->filePath[0] != '\0' && !gui->fileReading && gui->verdict.fault == FILE_VALID;
}

FirmwareName firmwareOf(const Gui* gui) { return imageName(gui->file.bytes, gui->file.size); }

DriveJudgement judgementOf(const Gui* gui, const ListedDrive& drive) {
    const FirmwareName firmware = fileValid(gui) ? firmwareOf(gui) : FirmwareName{};
    return judgeDrive(drive.answered ? drive.identification : nullptr, drive.peripheralType,
                      firmware.text);
}

bool driveChosen(const Gui* gui) { return gui->selected >= 0 && gui->selected < guiDriveCount(gui); }

// Why the file does not fit a drive that answered, as kelvo would refuse it.
const char* whyNotFitting(const DriveJudgement& judgement) {
    if (!judgement.optical) return "not a CD/DVD drive: kelvo updates none but those";
    if (!judgement.matshita) return "the file does not fit: another vendor's drive";
    return "the file does not fit: another model";
}

// Where the chosen drive of the last listing stands in `listing`: by its index, -1 where gone.
int32_t sameDriveIn(const Gui* gui, const Listing* listing) {
    if (!driveChosen(gui)) return -1;
    const char* const index = guiDrive(gui, gui->selected).index;
    for (int32_t i = 0; i < listing->driveCount; ++i) {
        if (strcmp(listing->drives[i].index, index) == 0) return i;
    }
    return -1;
}

}  // namespace

Gui* newGui(void) {
    Gui* gui = static_cast<Gui*>(calloc(1, sizeof(Gui)));
    if (gui != nullptr) gui->selected = -1;
    return gui;
}

bool guiAskDrives(Gui* gui) {
    if (busy(gui)) {
        gui->drivesChanged = true;
        return false;
    }
    if (gui->listingRunning) {
        gui->listingDropped = true;
        return false;
    }
    gui->listingRunning = true;
    return true;
}

Listing* guiListDrives(void) {
    Listing* listing = newListing(nullptr);
    if (listing != nullptr) listingFindDrives(listing);
    return listing;
}

bool guiDrivesListed(Gui* gui, Listing* listing) {
    gui->listingRunning = false;
    if (gui->listingDropped) {
        gui->listingDropped = false;
        listingFree(listing);
        gui->listingRunning = true;
        return true;
    }
    if (listing == nullptr) return false;  // no memory: the last listing stays
    gui->selected = sameDriveIn(gui, listing);
    listingFree(gui->listing);
    gui->listing = listing;
    return false;
}

bool guiDrivesPending(Gui* gui) {
    if (busy(gui) || !gui->drivesChanged) return false;
    gui->drivesChanged = false;
    return true;
}

int32_t guiDriveCount(const Gui* gui) {
    return gui->listing != nullptr ? gui->listing->driveCount : 0;
}

const ListedDrive& guiDrive(const Gui* gui, int32_t drive) { return gui->listing->drives[drive]; }

void guiSelectDrive(Gui* gui, int32_t drive) {
    if (busy(gui)) return;
    gui->selected = drive >= 0 && drive < guiDriveCount(gui) ? drive : -1;
}

bool guiChooseFile(Gui* gui, const char* path) {
    if (busy(gui)) return false;
    free(gui->file.bytes);
    gui->file = {};
    gui->verdict = {};
    snprintf(gui->filePath, sizeof gui->filePath, "%s", path);
    gui->fileReading = true;
    return true;
}

void guiReadFile(GuiFileRead* read) { read->verdict = firmwareFileLoad(read->path, &read->file); }

void guiFileRead(Gui* gui, GuiFileRead* read) {
    if (strcmp(read->path, gui->filePath) != 0) {
        free(read->file.bytes);
        return;
    }
    free(gui->file.bytes);
    gui->file = read->file;
    gui->verdict = read->verdict;
    gui->fileReading = false;
}

void guiDescribeDrive(const Gui* gui, int32_t index, Text* text) {
    const ListedDrive& drive = guiDrive(gui, index);
    if (!drive.answered) {
        const char* const what = drive.state == LISTED_BUSY          ? "busy"
                                 : drive.state == LISTED_CANNOT_OPEN ? "kelvo cannot open it"
                                                                     : "it does not answer";
        textAdd(text, "%s: %s", what, drive.reason);
        return;
    }
    const DriveJudgement judgement = judgementOf(gui, drive);
    if (!fileValid(gui)) {
        if (!judgement.optical) textAdd(text, "%s", whyNotFitting(judgement));
        else if (!judgement.matshita) textAdd(text, "another vendor's drive");
        else textAdd(text, "a MATSHITA drive kelvo updates");
        return;
    }
    if (driveTakesImage(judgement))
        textAdd(text, judgement.runsImage ? "the file fits; the drive runs it already"
                                          : "the file fits");
    else
        textAdd(text, "%s", whyNotFitting(judgement));
}

void guiDescribeFile(const Gui* gui, Text* text) {
    if (gui->filePath[0] == '\0') return;
    if (gui->fileReading)
        textAdd(text, "reading the file ...\n");
    else if (fileValid(gui))
        textAdd(text, "firmware %s\n", firmwareOf(gui).text);
    else
        describeFileFault(text, gui->verdict, gui->filePath);
}

void guiDescribeListing(const Gui* gui, Text* text) {
    if (gui->listingRunning) {
        textAdd(text, "asking the drives kelvo can reach who they are ...\n");
        return;
    }
    if (gui->listing == nullptr) return;
    // The listing's own advice where it found nothing names a console program.
    for (int32_t i = 0; i < gui->listing->noteCount; ++i) {
        const ListedNote& note = gui->listing->notes[i];
        textAdd(text, "%s\n", strcmp(note.subject, "no-drive") == 0 ? WINDOW_NO_DRIVE : note.text);
    }
    for (int32_t i = 0; i < guiDriveCount(gui); ++i) {
        if (guiDrive(gui, i).denied) {
            textAdd(text, "Windows keeps kelvo from a drive: start kelvo's window as "
                          "administrator\n");
            return;
        }
    }
}

bool guiMayUpdate(const Gui* gui) {
    char holder[UPDATE_LOCK_HOLDER_SIZE];
    return !busy(gui) && !gui->listingRunning && !platformUpdateRunning(holder, sizeof holder) &&
           fileValid(gui) && driveChosen(gui) &&
           driveTakesImage(judgementOf(gui, guiDrive(gui, gui->selected))) &&
           !batteryTooLow(platformPower());
}

void guiDescribeNextStep(const Gui* gui, Text* text) {
    if (gui->phase == GUI_CHECKING) {
        textAdd(text, "kelvo asks the drive at %s who it is, as before every update",
                guiDrive(gui, gui->selected).index);
    } else if (gui->phase == GUI_ASKING) {
        textAdd(text, "the drive is written only once you answer Yes");
    } else if (gui->phase == GUI_UPDATING) {
        textAdd(text, "the update runs: keep the machine on and this window open until it ends");
    } else if (gui->filePath[0] == '\0') {
        textAdd(text, "choose the firmware file");
    } else if (gui->fileReading) {
        textAdd(text, "wait while the file is read");
    } else if (!fileValid(gui)) {
        textAdd(text, "%s", fileAdvice(gui->verdict));
    } else if (gui->listingRunning) {
        textAdd(text, "wait while kelvo asks the drives");
    } else if (!driveChosen(gui)) {
        textAdd(text, guiDriveCount(gui) == 0 ? "no drive to update was found"
                                              : "choose the drive to update");
    } else if (char holder[UPDATE_LOCK_HOLDER_SIZE]; platformUpdateRunning(holder, sizeof holder)) {
        describeOtherUpdate(text, holder);
        textAdd(text, "; Update waits until it has ended");
    } else if (const PlatformPower power = platformPower(); batteryTooLow(power)) {
        textAdd(text, "connect the charger: the window begins no update on battery below %d%% "
                      "(%d%% left)", int(LOW_BATTERY_PERCENT), int(power.percent));
    } else if (guiMayUpdate(gui)) {
        textAdd(text, "Update writes %s to the drive at %s", firmwareOf(gui).text,
                guiDrive(gui, gui->selected).index);
    } else {
        const ListedDrive& drive = guiDrive(gui, gui->selected);
        describeNotFittingInWindow(text, drive.index, drive.answered ? drive.identification : nullptr,
                                   judgementOf(gui, drive), drive.peripheralType,
                                   firmwareOf(gui).text);
    }
}

bool guiStartChecking(Gui* gui, char* index, char* path) {
    if (!guiMayUpdate(gui)) return false;
    snprintf(index, LISTED_INDEX_SIZE, "%s", guiDrive(gui, gui->selected).index);
    snprintf(path, GUI_PATH_SIZE, "%s", gui->filePath);
    gui->phase = GUI_CHECKING;
    gui->heading = nullptr;
    gui->outcome = {};
    reportClear(&gui->report);
    return true;
}

void guiChecked(Gui* gui, const UpdateDecision& decision) {
    gui->decision = decision;
    Said said = {};
    describeDecision(&said, decision, guiDrive(gui, gui->selected).index, gui->filePath);
    for (int32_t part = 0; part < said.count; ++part) reportAdd(&gui->report, said.parts[part].chars);
    if (decision.end == DECISION_ASK) {
        gui->phase = GUI_ASKING;
        return;
    }
    decisionFree(&gui->decision);
    gui->heading = HEADING_NOTHING_WRITTEN;
    gui->phase = GUI_ENDED;
}

void guiDescribeConfirmation(const Gui* gui, Text* text) {
    if (gui->phase != GUI_ASKING) return;
    const UpdateDecision& decision = gui->decision;
    textAdd(text, "Write the firmware to the drive?\n\n");
    textAdd(text, "the file's firmware:   %s\n", decision.firmware.text);
    textAdd(text, "the drive at %s now:   %s\n\n", guiDrive(gui, gui->selected).index,
            decision.inquiry.identification);
    if (decision.judgement.runsImage) {
        describeSameFirmware(text, decision.firmware.text);
        textAdd(text, "\n");
    }
    const size_t before = text->length;
    describePower(text, decision.power, false, "Yes");
    if (text->length > before) textAdd(text, "\n");
    textAdd(text, "Once begun, the update cannot be stopped. Keep the machine powered (a laptop "
                  "on its charger) until kelvo says the update has ended.");
}

bool guiAnswer(Gui* gui, bool yes) {
    if (gui->phase != GUI_ASKING) return false;
    if (yes) {
        gui->phase = GUI_UPDATING;
        return true;
    }
    decisionFree(&gui->decision);
    reportClear(&gui->report);
    gui->phase = GUI_CHOOSING;
    return false;
}

void guiRunUpdate(Gui* gui, const UpdateObserver& observer) {
    if (gui->phase != GUI_UPDATING) return;
    UpdateDecision& decision = gui->decision;
    GuiReport* report = &gui->report;
    UpdateHold hold = holdForUpdate(decision.scsi, "kelvo-gui", guiDrive(gui, gui->selected).index);
    gui->heldBack = hold.end != HOLD_TAKEN;
    if (gui->heldBack) {
        Text refusal = {};
        describeHoldRefusal(&refusal, hold);
        reportAdd(report, refusal.chars);
        scsiClose(decision.scsi);
        return;
    }
    reportAdd(report, "Firmware update running, do not interrupt ...");
    Relay relay = {gui, &observer};
    const UpdateObserver relayed = {&relay, relayProgress, relayStage, keepTrace};
    UpdateShield* shield = newUpdateShield(gui->listing->nowhere);
    gui->outcome = updateDrive(decision.scsi, decision.image.bytes, decision.image.size,
                               decision.firmware.text, relayed);
    updateShieldLower(shield);
    holdRelease(&hold, decision.scsi);
    if (gui->outcome.end == UPDATE_FINISHED) {
        reportAdd(report, "Finished\n");
    } else {
        startLine(report);
        Text failure = {};
        describeUpdateFailure(&failure, gui->outcome, decision.firmware.text);
        reportAdd(report, failure.chars);
    }
    scsiClose(decision.scsi);
}

void guiUpdateNotStarted(Gui* gui) {
    if (gui->phase != GUI_UPDATING) return;
    decisionFree(&gui->decision);
    reportClear(&gui->report);
    gui->phase = GUI_CHOOSING;
}

void guiEndUpdate(Gui* gui) {
    if (gui->phase != GUI_UPDATING) return;
    gui->heading = gui->heldBack ? HEADING_NOTHING_WRITTEN : updateHeading(gui->outcome);
    free(gui->outcome.driveAfterClosing);
    gui->outcome.driveAfterClosing = nullptr;
    decisionFree(&gui->decision);
    gui->phase = GUI_ENDED;
    // The drive may name other firmware now, or have restarted as another device.
    gui->drivesChanged = true;
}

const char* guiReport(const Gui* gui) {
    return gui->report.chars != nullptr ? gui->report.chars : "";
}
