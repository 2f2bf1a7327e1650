#include "gui_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image.h"
#include "platform.h"

namespace {

// Where only kelvo.exe goes past a refusal.
const char* const FORCE_ELSEWHERE = "forcing stays with kelvo.exe -f";

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

// Starts a line of its own where the report's last one is not ended.
void startLine(Text* text) {
    if (text->length > 0 && text->chars[text->length - 1] != '\n') textAdd(text, "\n");
}

void keepTrace(void* context, const char* lines) {
    Text* report = &static_cast<const Relay*>(context)->gui->report;
    startLine(report);
    textAdd(report, "%s", lines);
}

bool fileValid(const Gui* gui) { return gui->filePath[0] != '\0' && gui->verdict.fault == FILE_VALID; }

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

// The open, the INQUIRY and kelvo's judgement again, as kelvo makes them before its question,
// their words in the report: the drive's open name, or null where kelvo would stop.
const char* openAsKelvo(Gui* gui, char* path, DeviceInquiry* inquiry, bool* runsImage) {
    Text& report = gui->report;
    Scsi* scsi = gui->listing->scsi;
    const ListedDrive& drive = guiDrive(gui, gui->selected);
    const FirmwareName firmware = firmwareOf(gui);
    const char* const device = driveOpen(scsi, drive.index, path);
    textAdd(&report, "%s", scsiLastTrace(scsi));
    if (device == nullptr) {
        textAdd(&report, "Could not open device\n");
        describeOpenFailure(&report, drive.index, scsiOpenFailure(scsi));
        return nullptr;
    }
    *inquiry = inquireDevice(scsi);
    textAdd(&report, "%s", scsiLastTrace(scsi));
    if (inquiry->identification == nullptr) {
        describeNoIdentification(&report, drive.index, scsiOutcome(scsi));
        return nullptr;
    }
    textAdd(&report, "Selected device:   %s\n", inquiry->identification);
    const DriveJudgement judgement =
        judgeDrive(inquiry->identification, inquiry->peripheralType, firmware.text);
    // The window never forces: a drive that changed since the list is refused here.
    describeDriveForImage(&report, &report, drive.index, *inquiry, judgement, firmware.text, false);
    if (!driveGoesOn(judgement, false)) return nullptr;
    if (scsiPath(scsi) == SCSI_PATH_PASS_THROUGH &&
        !platformPassThroughCarriesUpdate(device, gui->listing->nowhere)) {
        addNothingWritten(&report, PLATFORM_ACCESS_ADVICE);
        return nullptr;
    }
    *runsImage = judgement.runsImage;
    return device;
}

}  // namespace

Gui* newGui(void) {
    Gui* gui = static_cast<Gui*>(calloc(1, sizeof(Gui)));
    if (gui != nullptr) gui->selected = -1;
    return gui;
}

void guiRefresh(Gui* gui) {
    if (gui->phase == GUI_UPDATING) return;
    // A new listing for every refresh: what the last one found (and its handle) is gone.
    Listing* listing = newListing(nullptr);
    if (listing == nullptr) return;
    listingFindDrives(listing);
    listingFree(gui->listing);
    gui->listing = listing;
    gui->selected = -1;
    // After an update the image in memory has been sent: it is read again for the next.
    if (gui->phase == GUI_ENDED && gui->filePath[0] != '\0') {
        char path[GUI_PATH_SIZE];
        memcpy(path, gui->filePath, sizeof path);
        guiChooseFile(gui, path);
    }
    gui->phase = GUI_CHOOSING;
}

void guiChooseFile(Gui* gui, const char* path) {
    if (gui->phase == GUI_UPDATING) return;
    free(gui->file.bytes);
    gui->file = {};
    snprintf(gui->filePath, sizeof gui->filePath, "%s", path);
    gui->verdict = firmwareFileLoad(gui->filePath, &gui->file);
    gui->phase = GUI_CHOOSING;
}

void guiSelectDrive(Gui* gui, int32_t drive) {
    if (gui->phase == GUI_UPDATING) return;
    gui->selected = drive >= 0 && drive < guiDriveCount(gui) ? drive : -1;
}

int32_t guiDriveCount(const Gui* gui) {
    return gui->listing != nullptr ? gui->listing->driveCount : 0;
}

const ListedDrive& guiDrive(const Gui* gui, int32_t drive) { return gui->listing->drives[drive]; }

void guiDescribeDrive(const Gui* gui, int32_t index, Text* text) {
    const ListedDrive& drive = guiDrive(gui, index);
    if (!drive.answered) {
        textAdd(text, "%s: %s", drive.state == LISTED_CANNOT_OPEN ? "kelvo cannot open it"
                                                                   : "it does not answer",
                drive.reason);
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
    if (fileValid(gui))
        textAdd(text, "firmware %s\n", firmwareOf(gui).text);
    else
        describeFileFault(text, gui->verdict, gui->filePath);
}

void guiDescribeListing(const Gui* gui, Text* text) {
    if (gui->listing == nullptr) return;
    for (int32_t i = 0; i < gui->listing->noteCount; ++i)
        textAdd(text, "%s\n", gui->listing->notes[i].text);
    for (int32_t i = 0; i < guiDriveCount(gui); ++i) {
        if (guiDrive(gui, i).denied) {
            textAdd(text, "Windows keeps kelvo from a drive: start kelvo's window as "
                          "administrator\n");
            return;
        }
    }
}

bool guiMayUpdate(const Gui* gui) {
    return gui->phase == GUI_CHOOSING && fileValid(gui) && driveChosen(gui) &&
           driveTakesImage(judgementOf(gui, guiDrive(gui, gui->selected)));
}

void guiDescribeNextStep(const Gui* gui, Text* text) {
    if (gui->phase == GUI_UPDATING) {
        textAdd(text, "the update runs: keep the machine on and this window open until it ends");
    } else if (gui->phase == GUI_ENDED) {
        textAdd(text, "to update again, choose the file or refresh the drives");
    } else if (gui->filePath[0] == '\0') {
        textAdd(text, "choose the firmware file");
    } else if (!fileValid(gui)) {
        textAdd(text, "%s", fileAdvice(gui->verdict));
    } else if (!driveChosen(gui)) {
        textAdd(text, guiDriveCount(gui) == 0 ? "no drive to update was found"
                                              : "choose the drive to update");
    } else if (guiMayUpdate(gui)) {
        textAdd(text, "Update writes %s to the drive at %s", firmwareOf(gui).text,
                guiDrive(gui, gui->selected).index);
    } else {
        const ListedDrive& drive = guiDrive(gui, gui->selected);
        const bool forcible = drive.answered && judgementOf(gui, drive).optical;
        textAdd(text, "the window updates only a drive the file fits%s%s",
                forcible ? "; " : "", forcible ? FORCE_ELSEWHERE : "");
    }
}

void guiDescribeConfirmation(const Gui* gui, Text* text) {
    if (!guiMayUpdate(gui)) return;
    const ListedDrive& drive = guiDrive(gui, gui->selected);
    textAdd(text, "Write the firmware to the drive?\n\n");
    textAdd(text, "the file's firmware:   %s\n", firmwareOf(gui).text);
    textAdd(text, "the drive at %s now:   %s\n\n", drive.index, drive.identification);
    textAdd(text, "Once begun, the update cannot be stopped. Keep the machine powered (a laptop "
                  "on its charger) until kelvo says the update has ended.");
}

bool guiStartUpdate(Gui* gui) {
    if (!guiMayUpdate(gui)) return false;
    gui->phase = GUI_UPDATING;
    gui->finished = false;
    gui->report = {};
    return true;
}

void guiUpdateNotStarted(Gui* gui) {
    if (gui->phase == GUI_UPDATING) gui->phase = GUI_CHOOSING;
}

void guiRunUpdate(Gui* gui, const UpdateObserver& observer) {
    if (gui->phase != GUI_UPDATING) return;
    Text& report = gui->report;
    const FirmwareName firmware = firmwareOf(gui);
    textAdd(&report, "Selected firmware: %s\n", firmware.text);
    char path[DEVICE_PATH_SIZE];
    DeviceInquiry inquiry = {nullptr, -1};
    bool runsImage = false;
    if (openAsKelvo(gui, path, &inquiry, &runsImage) == nullptr) {
        scsiClose(gui->listing->scsi);
        return;
    }
    if (runsImage) describeSameFirmware(&report, firmware.text);
    textAdd(&report, "Firmware update running, do not interrupt ...");
    Relay relay = {gui, &observer};
    const UpdateObserver relayed = {&relay, relayProgress, relayStage, keepTrace};
    UpdateShield* shield = newUpdateShield(gui->listing->nowhere);
    const UpdateOutcome outcome =
        updateDrive(gui->listing->scsi, gui->file.bytes, gui->file.size, firmware.text, relayed);
    updateShieldLower(shield);
    gui->finished = outcome.end == UPDATE_FINISHED;
    if (gui->finished) {
        textAdd(&report, "Finished\n");
    } else {
        startLine(&report);
        describeUpdateFailure(&report, outcome, firmware.text);
    }
    scsiClose(gui->listing->scsi);
}

void guiEndUpdate(Gui* gui) {
    if (gui->phase == GUI_UPDATING) gui->phase = GUI_ENDED;
}
