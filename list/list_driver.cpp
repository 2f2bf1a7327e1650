#include "list_driver.h"

#include <cstdio>
#include <cstring>

#include "listing.h"

namespace {

const char* const HELP =
    "Lists the optical drives kelvo can reach and tells which firmware file fits which drive.\n"
    "Nothing but INQUIRY (and the ASPI library's housekeeping) goes to a drive; no file is\n"
    "written.\n"
    "\n"
    "  drive INDEX PATH STATE \"IDENTIFICATION\"   (or the system's REASON)\n"
    "        INDEX: the <device index> to give kelvo; PATH: pass-through, ASPI or SG_IO;\n"
    "        STATE: matshita (kelvo updates it), not-matshita (kelvo refuses it unless -f),\n"
    "        cannot-open or no-answer (the REASON follows, as kelvo's trace says it)\n"
    "  note SUBJECT REASON                     what kept drives from the listing\n"
    "  file \"FILE\" valid \"FIRMWARE\" fits INDEX ...\n"
    "                                          the drives kelvo takes it for; none;\n"
    "                                          INDEX(installed): the drive runs it already\n"
    "  file \"FILE\" invalid REASON              kelvo's own reason\n"
    "\n"
    "Exit status: 0 when every file is valid, 1 otherwise.\n";

void printUsage(FILE* out, const char* program) {
    fprintf(out, "usage: %s [--help] [FIRMWARE FILE ...]\n", program);
}

// "--" ends the options; "-" alone is a file name, as it is for kelvo. "/?" is Windows' habit.
bool isOption(const char* argument) {
    return (argument[0] == '-' && argument[1] != '\0') || strcmp(argument, "/?") == 0;
}

bool asksForHelp(const char* option) {
    return strcmp(option, "--help") == 0 || strcmp(option, "-h") == 0 || strcmp(option, "/?") == 0;
}

// Whether argv[i] is a file argument, the options having been read.
bool isFile(int i, int optionsEnd, char** argv) { return i > optionsEnd || !isOption(argv[i]); }

}  // namespace

int kelvoListMain(int argc, char** argv) {
    const char* const program = argc > 0 ? argv[0] : "kelvo-list";
    int optionsEnd = argc;  // the index of "--", where there is one
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            optionsEnd = i;
            break;
        }
        if (!isOption(argv[i])) continue;
        if (!asksForHelp(argv[i])) {
            printUsage(stderr, program);
            return 1;
        }
        printUsage(stdout, program);
        fputs(HELP, stdout);
        return 0;
    }
    Listing* listing = newListing(stdout);
    if (listing == nullptr) {
        fprintf(stderr, "kelvo-list: no memory or null device for the listing\n");
        return 1;
    }
    listingFindDrives(listing);
    bool allValid = true;
    for (int i = 1; i < argc; ++i) {
        if (i != optionsEnd && isFile(i, optionsEnd, argv))
            allValid = listingJudgeFile(listing, argv[i]) && allValid;
    }
    fflush(stdout);
    return allValid && !listing->outOfMemory ? 0 : 1;
}
