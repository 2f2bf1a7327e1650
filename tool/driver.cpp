// kelvo on a console: each step's result, told on the program's two streams.
#include "driver.h"

#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "decision.h"
#include "drive_access.h"
#include "files.h"
#include "firmware_file.h"
#include "hex_container.h"
#include "image.h"
#include "platform.h"
#include "scsi.h"
#include "update.h"
#include "update_hold.h"
#include "words.h"

namespace {

const char* const EXTRACTED_IMAGE = "extracted.dat";
const size_t PATH_SIZE = 4200;

// What the user is told after the usage line: every form of the arguments.
const char* const USAGE_HELP =
    "  <device index>  the drive: a drive letter with a colon (E:), an ASPI address of host\n"
    "                  adapter, target and logical unit (0.1.0), or a device path (\\\\.\\CdRom0;\n"
    "                  on Linux /dev/sr0 or /dev/sg0)\n"
    "  <file to flash> the firmware image, or a hex container that holds it\n"
    "  -f              as the third argument: update a drive that does not match the image\n"
    "kelvo-list lists the drives kelvo can reach, and which firmware file fits which drive.\n";

const char* const FORCE_FLAG = "-f";

// Standard output, flushed at once: whatever goes to standard error after it follows it in a
// console, a pipe or a log of both.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    fflush(stdout);
}

void tell(const Text& text) { fputs(text.chars, stderr); }

bool looksLikeForceFlag(const char* argument) {
    static const char* const forms[] = {"-f", "/f", "--force", "-force", "/force"};
    for (const char* form : forms) {
        if (equalIgnoringCase(argument, form, int32_t(strlen(form)) + 1)) return true;
    }
    return false;
}

// A force flag in another place or form than the one that counts leaves -f off: say so, once.
void noteForceFlagOff(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const bool counts = i == 3 && argc == 4 && strcmp(argv[i], FORCE_FLAG) == 0;
        if (counts || !looksLikeForceFlag(argv[i])) continue;
        fprintf(stderr, "-f is off: the force flag is exactly -f as the third and last argument, "
                        "not \"%s\" as argument %d of %d\n", argv[i], i, argc - 1);
        return;
    }
}

// The copy of a container's image; the update needs only the image in memory.
void saveExtractedImage(const FirmwareFile& image) {
    if (writeWholeFile(EXTRACTED_IMAGE, image.bytes, int32_t(image.size), stderr) != 0) {
        fprintf(stderr, "the update does not need %s: it goes on with the image in memory\n",
                EXTRACTED_IMAGE);
        return;
    }
    char path[PATH_SIZE];
    if (!fileInCurrentFolder(EXTRACTED_IMAGE, path, sizeof path))
        snprintf(path, sizeof path, "%s in the current folder", EXTRACTED_IMAGE);
    fprintf(stderr, "the image found in the container was saved as %s\n", path);
}

// What kelvo says of its decision, each part on its stream.
void sayAll(const Said& said) {
    for (int32_t part = 0; part < said.count; ++part) {
        if (said.streams[part] == KELVO_OUTPUT)
            say("%s", said.parts[part].chars);
        else
            tell(said.parts[part]);
    }
}

// The update's progress on a terminal: the share of the payload written stands after "do not
// interrupt ...", each figure over the last, and is wiped once the writing is over, so that
// the line ends as it always does.
struct ConsoleProgress {
    bool onTerminal;
    bool shown;
};

void showProgress(void* context, const TransferProgress& progress) {
    ConsoleProgress* console = static_cast<ConsoleProgress*>(context);
    if (!console->onTerminal) return;
    const uint64_t percent =
        progress.bytes == 0 ? 100 : uint64_t(progress.bytesAccepted) * 100 / progress.bytes;
    say("%3u%%\b\b\b\b", unsigned(percent));
    console->shown = true;
}

void wipeProgress(void* context, UpdateStage stage) {
    ConsoleProgress* console = static_cast<ConsoleProgress*>(context);
    if (stage == UPDATE_WRITING || !console->shown) return;
    say("    \b\b\b\b");
    console->shown = false;
}

// The update itself, from its first chunk to its verdict: the exit status. On a terminal a
// failure's message starts on a line of its own, not after "... do not interrupt ...".
int updateOnConsole(Scsi* scsi, const FirmwareFile& image, const char* firmwareName) {
    ConsoleProgress console = {platformOutputIsTerminal(), false};
    const UpdateObserver observer = {&console, showProgress, wipeProgress, nullptr};
    const UpdateOutcome outcome =
        updateDrive(scsi, image.bytes, image.size, firmwareName, observer);
    if (outcome.end == UPDATE_FINISHED) {
        say("Finished\n");
        return 0;
    }
    if (console.onTerminal) say("\n");
    Text text = {};
    describeUpdateFailure(&text, outcome, firmwareName);
    tell(text);
    return 1;
}

}  // namespace

int forceFlag(int argc, char** argv) { return argc == 4 && strcmp(argv[3], FORCE_FLAG) == 0; }

int askConfirmation(FILE* in, FILE* out) {
    fprintf(out, "Continue? ");
    fflush(out);
    char answer[ANSWER_BUFFER_SIZE] = {};
    if (fscanf(in, "%1023s", answer) != 1) return 0;
    return equalIgnoringCase(answer, "y", ANSWER_BUFFER_SIZE) ||
           equalIgnoringCase(answer, "yes", ANSWER_BUFFER_SIZE);
}

int kelvoMain(int argc, char** argv) {
    fprintf(stderr, "kelvo V " KELVO_VERSION " compiled at %s %s\n", __DATE__, __TIME__);
    noteForceFlagOff(argc, argv);
    if (argc < 3) {
        fprintf(stderr, "usage: %s <device index> <file to flash>\n", argc > 0 ? argv[0] : "kelvo");
        fputs(USAGE_HELP, stderr);
        return 1;
    }
    const bool force = forceFlag(argc, argv) != 0;
    const char* const deviceArgument = argv[1];
    const char* const fileName = argv[2];

    UpdateDecision decision = decideUpdate(deviceArgument, fileName, force);
    if (decision.file.container == CONTAINER_FOUND) saveExtractedImage(decision.image);
    Said said = {};
    describeDecision(&said, decision, deviceArgument, fileName);
    sayAll(said);
    if (decision.end != DECISION_ASK) return 1;
    if (!askConfirmation(stdin, stdout)) {
        say("Not confirmed, exiting\n");
        return 0;
    }
    UpdateHold hold = holdForUpdate(decision.scsi, "kelvo", deviceArgument);
    if (hold.end != HOLD_TAKEN) {
        Text refusal = {};
        describeHoldRefusal(&refusal, hold);
        tell(refusal);
        return 1;
    }
    say("Firmware update running, do not interrupt ...");
    // Once the first chunk goes out, the update runs to its end and its verdict is told,
    // whatever the user or the system does meanwhile.
    scsiSetTrace(decision.scsi, stderr);
    UpdateShield* shield = newUpdateShield(stderr);
    const int status = updateOnConsole(decision.scsi, decision.image, decision.firmware.text);
    updateShieldLower(shield);
    holdRelease(&hold, decision.scsi);
    if (status == 0) scsiClose(decision.scsi);
    return status;
}
