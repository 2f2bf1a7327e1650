// The listing: each drive kelvo can reach, asked as kelvo asks it, and each firmware file,
// judged as kelvo judges it, on a line of its own. Drives, files and the SCSI layers are
// kelvo's own code (tool/ and scsi/scsi.h), so that the two programs never disagree.
#pragma once

#include <cstdint>
#include <cstdio>

#include "scsi.h"

const int32_t LISTED_INDEX_SIZE = 128;
const int32_t LISTED_IDENTIFICATION_SIZE = 29;  // 28 characters and the terminator
const int32_t LISTED_REASON_SIZE = 4608;  // a few words, then a trace of up to 4 KiB
const int32_t LISTED_NOTES = 16;

// One drive of the listing, as kelvo finds it under `index`.
struct ListedDrive {
    char index[LISTED_INDEX_SIZE];
    const char* path;   // how the system reaches it: "pass-through", "ASPI" or "SG_IO"
    const char* state;  // LISTED_MATSHITA, LISTED_NOT_MATSHITA, LISTED_CANNOT_OPEN, LISTED_NO_ANSWER,
                        // LISTED_BUSY
    bool answered;      // the INQUIRY answered: `identification` holds what it said
    int32_t peripheralType;
    char identification[LISTED_IDENTIFICATION_SIZE];
    char reason[LISTED_REASON_SIZE];  // where it did not answer: a few words, then the trace
    bool denied;                      // the system kept this user from opening it
};

// What a drive's line says of it.
extern const char LISTED_MATSHITA[];      // kelvo updates it
extern const char LISTED_NOT_MATSHITA[];  // kelvo refuses it unless forced
extern const char LISTED_CANNOT_OPEN[];   // kelvo says "Could not open device"
extern const char LISTED_NO_ANSWER[];     // the INQUIRY failed
extern const char LISTED_BUSY[];          // another program or a kelvo update holds it

// Something that kept drives from the listing, or from being listed as they answer.
struct ListedNote {
    char subject[40];
    char text[LISTED_REASON_SIZE];  // what, then the trace that tells more
};

struct Listing {
    FILE* out;              // the listing's lines; null for none
    Scsi* scsi;             // one handle for every drive; its traces are read from the handle
    FILE* nowhere;          // where the handle writes its traces meanwhile
    ListedDrive* drives;
    int32_t driveCount;
    int32_t driveCapacity;
    bool outOfMemory;       // a drive could not be kept: the listing is incomplete
    ListedNote notes[LISTED_NOTES];  // the first of them
    int32_t noteCount;
};

// A listing that prints on `out` (null: one that keeps its drives and notes alone); null when
// memory, the null device or the SCSI handle cannot be had.
Listing* newListing(FILE* out);

// Gives back what the listing holds, its SCSI handle among it.
void listingFree(Listing* listing);

// Lists the system's own drives and the ASPI library's, and where there are none, says what
// to check: what kelvo-list and kelvo's window show.
void listingFindDrives(Listing* listing);

// Opens the drive named `index` (as the user gives it to kelvo) as kelvo does, asks it who it
// is with kelvo's INQUIRY, prints its line and keeps it for the files. `path` says how the
// system reaches it: "pass-through", "ASPI" or "SG_IO".
void listingAskDrive(Listing* listing, const char* index, const char* path);

// A line about something that kept drives from the listing, or from being listed as they
// answer: `subject` (one word), then `words` saying what, then `trace`, trace lines of the
// SCSI layers that tell more ("" for none).
void listingNote(Listing* listing, const char* subject, const char* words, const char* trace);

// Checks the file as kelvo does (a container's image taken out in memory, nothing saved) and
// prints its line: valid, its firmware name and the listed drives kelvo takes it for; or
// kelvo's reason. True when it is valid.
bool listingJudgeFile(Listing* listing, const char* path);
