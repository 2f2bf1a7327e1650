// What the answer targets share: an update planned from the fuzzer's bytes, run through
// kelvoMain as a user runs it, and the properties every such run must have, whatever the
// drive, the driver or the library answered. A run that breaks one aborts with the reason.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "drive.h"

typedef std::vector<uint8_t> Bytes;

// The update asked for: the file, the drive it goes to, the user's choices.
struct UpdatePlan {
    Bytes image;
    bool force;
    bool confirms;
};

// A valid image for a MATSHITA drive, mostly of one short chunk and now and then of up to
// four, -f and the answer at the prompt.
UpdatePlan planUpdate(FuzzedDataProvider& in);

// The drive that the plan's image is made for, at the image's firmware or another revision,
// answering INQUIRY with a length from the fuzzer and now and then with a name of the fuzzer's.
SimDrive plannedDrive(FuzzedDataProvider& in);

// One command as the drive received it and what the backend made of the answer, as its
// documented rules say: `accepted` for a result of 0, `usable` for a result of 0 or more.
struct SentCommand {
    Bytes cdb;
    int32_t dataLength;
    bool dataIn;
    Bytes data;                // what went out; for data in, what the buffer held afterwards
    bool accepted;
    bool usable;
    int32_t reportedLength;    // bytes the answer said were moved (usable results only)
};

// The data a command carries to the drive, or the caller's buffer for data in.
struct DataArea {
    uint8_t* bytes;
    int32_t length;
};

// The drive's faithful answer to a command, and a few ways a driver or library can
// misreport it, drawn from the fuzzer's bytes.
enum AnswerKind {
    ANSWER_AS_DRIVE,    // the drive's own
    ANSWER_ALTERED,     // the drive ran the command; status, count or sense as the fuzzer says
    ANSWER_INSTEAD,     // the command never reached the drive; an answer of the fuzzer's
    ANSWER_KINDS
};

struct KelvoRun {
    int status;
    std::string output;
    std::string errors;  // the banner line taken off
};

// kelvoMain with `device`, the plan's image in a file and the plan's answer at the prompt;
// what the program's own code kept is given back afterwards.
KelvoRun runUpdate(const std::string& device, const UpdatePlan& plan);

// Aborts, naming the property, unless the run is what the commands' outcomes allow: the
// output, the exit status, the commands sent (each chunk behind the image's header at its
// offset, nothing after a failed one), the identification from what the drive sent alone,
// and every trace line one of the system's forms.
void checkUpdate(const std::string& device, const UpdatePlan& plan,
                 const std::vector<SentCommand>& sent, const KelvoRun& run);
