// What kelvo says of each step's result, made from the values the steps report: kelvo prints
// these texts on its streams, kelvo-list and a window show the same words. Each text is one
// or more whole lines, each ending in "\n".
#pragma once

#include <cstddef>
#include <cstdint>

#include "decision.h"
#include "drive_access.h"
#include "firmware_file.h"
#include "scsi.h"
#include "update.h"
#include "update_hold.h"

const size_t TEXT_SIZE = 4096;

// Lines of text, cut where they would not fit.
struct Text {
    char chars[TEXT_SIZE];
    size_t length;
};

void textAdd(Text* text, const char* format, ...) __attribute__((format(printf, 2, 3)));

// What kelvo says, in the order it says it, each part for one of its two streams: the console
// prints each part on its own stream, a window shows the parts one after the other.
enum KelvoStream : int32_t {
    KELVO_OUTPUT,
    KELVO_ERRORS,
};
const int32_t SAID_PARTS = 8;
struct Said {
    KelvoStream streams[SAID_PARTS];
    Text parts[SAID_PARTS];
    int32_t count;
};

// Adds `text` to what is said on `stream`, in the last part where that is on the same stream.
void saidAdd(Said* said, KelvoStream stream, const Text& text);

// How every refusal before the first chunk ends: nothing was written, and what to do.
void addNothingWritten(Text* text, const char* whatToDo);

// A file that is not a valid image: the messages kelvo has always printed for it, then what
// they mean where that is not plain. `path` is the file as the user named it.
void describeFileFault(Text* text, const FileVerdict& verdict, const char* path);

// What to do about such a file.
const char* fileAdvice(const FileVerdict& verdict);

// After "Could not open device": what kept the device index `index` from opening, and what to
// do.
void describeOpenFailure(Text* text, const char* index, ScsiOpenFailure failure);

// What kelvo says of its decision for the drive `index` and the file `fileName` (as the user
// named them), up to its question: the firmware and the drive it selected, each refusal with
// what it means and that nothing was written, the checks -f goes past, and a drive that already
// runs the image's firmware. Not the question itself.
void describeDecision(Said* said, const UpdateDecision& decision, const char* index,
                      const char* fileName);

// A device that gave no identification ("Selected drive X does not appear to be a matshita
// device", then what it answered), or is no CD/DVD drive: why kelvo stops.
void describeNoIdentification(Text* text, const char* index, const ScsiOutcome& outcome);
void describeOtherKind(Text* text, const char* index, int32_t peripheralType);

// What kelvo says of a drive it does not take for the image: why it does not go on with it,
// or with -f (`force`) each check it goes past. `output` takes what kelvo prints on standard
// output, `errors` what on standard error, in that order.
void describeDriveForImage(Text* output, Text* errors, const char* index,
                           const DeviceInquiry& inquiry, const DriveJudgement& judgement,
                           const char* firmwareName, bool force);

// A drive another program keeps for itself: who, where the system names it, and that nothing
// was written.
void describeDriveHeld(Text* text, const char* holder);

// Why the update was not begun after the user's yes: what another program holds, and that
// nothing was written.
void describeHoldRefusal(Text* text, const UpdateHold& hold);

// A drive that already runs the image's firmware.
void describeSameFirmware(Text* text, const char* firmwareName);

// The machine on battery: to connect the charger before the question is answered with `yes`;
// below LOW_BATTERY_PERCENT why kelvo does not begin, and what to do, or with -f (`force`) that
// it goes past that. Nothing on mains, without a battery or where the system cannot tell.
void describePower(Text* text, const PlatformPower& power, bool force, const char* yes);

// The update's end, where it did not finish: where it stopped, what the drive answered, what
// it means and what to do.
void describeUpdateFailure(Text* text, const UpdateOutcome& outcome, const char* firmwareName);

// Where a running update stands, in a few words, for a face that shows it as it runs.
void describeStage(Text* text, UpdateStage stage, const TransferProgress& progress);

// How much of the payload the drive has accepted, as a share: "42% of the image written".
void describeShare(Text* text, const TransferProgress& progress);

// How an update ended, as the heading a face shows above kelvo's words: nothing written (a
// refusal before the first chunk) or the update's outcome.
extern const char HEADING_NOTHING_WRITTEN[];
const char* updateHeading(const UpdateOutcome& outcome);

// ---- What kelvo's window says in its own terms ----

// A file whose name the window cannot hand to the C library (outside the system's code page,
// with no short name), and what to do.
extern const char WINDOW_NAME_NOT_OPENED[];

// A report that could not be saved.
extern const char WINDOW_REPORT_NOT_SAVED[];

// Another kelvo update running on the machine, in one line without its end: `holder` says
// which program, process and drive, "" where the system cannot say.
void describeOtherUpdate(Text* text, const char* holder);

// Where the window found no drive: what to check, and that Refresh looks again.
extern const char WINDOW_NO_DRIVE[];

// Why the window offers no update for the listed drive at `index` (`identification` null
// where it did not answer), and what to do: find the file made for it, or choose another
// drive; forcing, where it could go on, only as the console's expert option.
void describeNotFittingInWindow(Text* text, const char* index, const char* identification,
                                const DriveJudgement& judgement, int32_t peripheralType,
                                const char* firmwareName);
