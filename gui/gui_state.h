// What kelvo's window shows and what a click there does, apart from the window itself: the
// drives as kelvo-list finds them, the file as kelvo checks it, kelvo's decision and the update
// as kelvo makes and runs them, in kelvo's own words. The slow steps (listing the drives,
// reading the file, the checks before the question, the update) each run on a thread of the
// window's, touching only what they are handed; their results come back to the state on the
// window's thread. The host tests drive it without a window or threads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decision.h"
#include "firmware_file.h"
#include "listing.h"
#include "update.h"
#include "words.h"

const int32_t GUI_PATH_SIZE = 1024;

enum GuiPhase : int32_t {
    GUI_CHOOSING,  // a file and a drive may be chosen
    GUI_CHECKING,  // kelvo's checks before its question run on the chosen drive
    GUI_ASKING,    // the question is open
    GUI_UPDATING,  // the update runs: nothing else may start
    GUI_ENDED,     // the update ended, or was refused before writing: `heading` says how
};

// A text that grows as needed: what kelvo says of an update is never cut.
struct GuiReport {
    char* chars;  // null while empty
    size_t length;
    size_t capacity;
};

struct Gui {
    Listing* listing;        // the drives of the last listing that ended, null before the first
    bool listingRunning;    // a listing is out on its thread
    bool listingDropped;     // the one out is no longer wanted: dropped when it ends
    bool drivesChanged;      // the system's drives changed while a drive was checked or written
    char filePath[GUI_PATH_SIZE];  // "" until a file is chosen
    bool fileReading;        // the chosen file is being read on its thread
    FirmwareFile file;
    FileVerdict verdict;
    int32_t selected;        // the drive chosen in the list, -1 for none
    GuiPhase phase;
    UpdateDecision decision;  // kelvo's checks before the question, from GUI_ASKING on
    UpdateOutcome outcome;    // the update's end, once it ran
    const char* heading;      // how the last update ended, null before the first
    GuiReport report;         // what kelvo says of the last update, traces included
    bool heldBack;            // the update was not begun after the yes: another holds the drive
};

// A window with no drive listed and no file: null when memory runs out.
Gui* newGui(void);

// ---- The drives ----

// The drives are to be listed again (a refresh, the system's notice of a drive that came or
// went): true where the caller is to run guiListDrives on a thread now. A listing already out
// is dropped when it ends and another is asked for then; while a drive is checked or written
// the drives are listed once the update has ended (guiDrivesPending).
bool guiAskDrives(Gui* gui);

// Lists every drive kelvo can reach, as kelvo-list does: on any thread, touching no state.
// Null when memory runs out.
Listing* guiListDrives(void);

// The listing of guiListDrives, on the window's thread: shown, or dropped where no longer
// wanted (then true: the caller is to list again). The chosen drive stays chosen where it is
// still listed under its index.
bool guiDrivesListed(Gui* gui, Listing* listing);

// True once, where the drives changed while a drive was checked or written and may be listed
// now.
bool guiDrivesPending(Gui* gui);

int32_t guiDriveCount(const Gui* gui);
const ListedDrive& guiDrive(const Gui* gui, int32_t drive);
void guiSelectDrive(Gui* gui, int32_t drive);

// ---- The file ----

// A file read on a thread of its own.
struct GuiFileRead {
    char path[GUI_PATH_SIZE];
    FirmwareFile file;
    FileVerdict verdict;
};

// Chooses the file: the caller is to run guiReadFile on a thread for it (false: not now, an
// update runs).
bool guiChooseFile(Gui* gui, const char* path);

// Reads and checks the file as kelvo does: on any thread, touching no state; nothing is
// written, no extracted.dat.
void guiReadFile(GuiFileRead* read);

// The file read, on the window's thread: shown where it is still the chosen one, else given
// back.
void guiFileRead(Gui* gui, GuiFileRead* read);

// ---- What the window says ----

// kelvo's judgement of a listed drive in a few words, for the chosen file where there is one.
void guiDescribeDrive(const Gui* gui, int32_t drive, Text* text);

// The chosen file: the firmware it holds, or kelvo's words on why it is refused.
void guiDescribeFile(const Gui* gui, Text* text);

// What the listing is doing or what kept it from finding drives (no drive, no ASPI library, no
// rights): a sentence each; empty where drives were found.
void guiDescribeListing(const Gui* gui, Text* text);

// Update is offered only for a drive that the file fits, as kelvo takes it without -f, while
// nothing else runs, and not on a battery kelvo would not begin an update on.
bool guiMayUpdate(const Gui* gui);

// What to do next, or why Update is not offered.
void guiDescribeNextStep(const Gui* gui, Text* text);

// ---- The update ----

// Update pressed: kelvo's checks before its question are to run now, on a thread, for the
// chosen drive's index and the chosen file (copied into `index` and `path`). False where
// Update is not offered.
bool guiStartChecking(Gui* gui, char* index, char* path);

// The decision of those checks, on the window's thread: a refusal ends here, with nothing
// written; else the question is asked.
void guiChecked(Gui* gui, const UpdateDecision& decision);

// The question before the update: the firmware's and the drive's names side by side, the
// battery where the machine runs on one, and what an update that has begun means. Empty
// unless it is being asked.
void guiDescribeConfirmation(const Gui* gui, Text* text);

// The user's answer: yes starts the update (the caller is to run guiRunUpdate on a thread),
// anything else leaves the drive untouched.
bool guiAnswer(Gui* gui, bool yes);

// The update on the decided drive, told to `observer`, on a thread of its own: it touches only
// the decision, the outcome and the report, which the window leaves alone until it has ended.
void guiRunUpdate(Gui* gui, const UpdateObserver& observer);

// Where the update could not be handed to its thread after all: nothing was written, and the
// drive is free again.
void guiUpdateNotStarted(Gui* gui);

// Once the update's thread has ended: its heading and report may be shown.
void guiEndUpdate(Gui* gui);

// The report as the window shows it, "" for none.
const char* guiReport(const Gui* gui);
