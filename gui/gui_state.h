// What kelvo's window shows and what a click there does, apart from the window itself: the
// drives as kelvo-list finds them, the file as kelvo checks it, the update as kelvo runs it,
// in kelvo's own words. Nothing here decides differently from kelvo; the host tests drive it
// without a window.
#pragma once

#include <cstdint>

#include "drive_access.h"
#include "firmware_file.h"
#include "listing.h"
#include "update.h"
#include "words.h"

const int32_t GUI_PATH_SIZE = 1024;

enum GuiPhase : int32_t {
    GUI_CHOOSING,  // a file and a drive may be chosen
    GUI_UPDATING,  // the update runs: nothing else may start
    GUI_ENDED,     // the update has ended; `finished` says how
};

struct Gui {
    Listing* listing;  // the drives of the last refresh, null before the first
    char filePath[GUI_PATH_SIZE];  // "" until a file is chosen
    FirmwareFile file;
    FileVerdict verdict;
    int32_t selected;  // the drive chosen in the list, -1 for none
    GuiPhase phase;
    bool finished;     // the drive took the image
    Text report;       // what kelvo prints of the update, both streams and the traces
};

// A window with no drive listed and no file: null when memory runs out.
Gui* newGui(void);

// Lists every drive kelvo can reach, again; the file stays chosen, the choice of drive goes.
void guiRefresh(Gui* gui);

// Reads and checks the file as kelvo does; nothing is written, no extracted.dat.
void guiChooseFile(Gui* gui, const char* path);

void guiSelectDrive(Gui* gui, int32_t drive);

int32_t guiDriveCount(const Gui* gui);
const ListedDrive& guiDrive(const Gui* gui, int32_t drive);

// kelvo's judgement of a listed drive in a few words, for the chosen file where there is one.
void guiDescribeDrive(const Gui* gui, int32_t drive, Text* text);

// The chosen file: the firmware it holds, or kelvo's words on why it is refused.
void guiDescribeFile(const Gui* gui, Text* text);

// What kept the listing from finding drives (no drive, no ASPI library, no rights): a
// sentence each; empty where drives were found.
void guiDescribeListing(const Gui* gui, Text* text);

// Update is offered only for a drive that the file fits, as kelvo takes it without -f.
bool guiMayUpdate(const Gui* gui);

// What to do next, or why Update is not offered.
void guiDescribeNextStep(const Gui* gui, Text* text);

// The question before the update: the firmware's and the drive's names side by side, and
// what an update that has begun means.
void guiDescribeConfirmation(const Gui* gui, Text* text);

// Starts an update where one may: from here on nothing else may start. False where none may.
bool guiStartUpdate(Gui* gui);

// Where the update could not be handed to its thread after all: back to choosing.
void guiUpdateNotStarted(Gui* gui);

// The started update on the chosen drive, opened and asked again as kelvo does, told to
// `observer`; on a thread of its own, while the window only shows what it posts. Its words go
// to `report`, its end to `finished`; nothing else of the state changes.
void guiRunUpdate(Gui* gui, const UpdateObserver& observer);

// Once the update's thread has ended: `report` and `finished` may be shown.
void guiEndUpdate(Gui* gui);
