#include "update_check.h"

#include <sanitizer/common_interface_defs.h>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "driver.h"
#include "reclaim.h"

namespace {

const char* const FIRMWARE = "MATSHITADVD-RAM UJ-85J  1.00";
const char* const OTHER_REVISION = "MATSHITADVD-RAM UJ-85J  0.99";
const uint32_t HEADER_SIZE = 48;
const uint32_t NAME_LENGTH = 28;
const uint32_t CHUNK_PAYLOAD = 0x8000;
const int32_t OPTICAL_DRIVE = 5;  // the peripheral device type of a CD/DVD drive
// Files shorter than this are refused before anything is sent; the plans stay above it.
const uint32_t SMALLEST_PAYLOAD = 240;
// One plan in this many has whole chunks (1 to 3) before a short last one; fewer bytes a run
// make more runs a second.
const uint32_t LONG_PLANS = 8;
const uint32_t MOST_WHOLE_CHUNKS = 3;
const uint32_t SHORT_CHUNK_RANGE = 256;
const uint32_t LARGEST_PAYLOAD =
    MOST_WHOLE_CHUNKS * CHUNK_PAYLOAD + SMALLEST_PAYLOAD + SHORT_CHUNK_RANGE;
const Bytes INQUIRY_CDB = {0x12, 0, 0, 0, 0x24, 0};
const int32_t INQUIRY_LENGTH = 41;
const Bytes CLOSING_CDB = {0xF5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const int32_t CLOSING_LENGTH = 1024;
// How every refusal before the first chunk ends.
const std::string NOTHING_WRITTEN = "nothing was written to the drive: ";

[[noreturn]] void broken(const std::string& property, const std::string& detail) {
    fprintf(stderr, "PROPERTY BROKEN: %s\n%s\n", property.c_str(), detail.c_str());
    abort();
}

std::string cutAtZero(const uint8_t* bytes, size_t length) {
    return std::string(reinterpret_cast<const char*>(bytes),
                       std::find(bytes, bytes + length, 0) - bytes);
}

std::string hexOf(const Bytes& bytes) {
    std::string text;
    char byte[4];
    for (uint8_t b : bytes) {
        snprintf(byte, sizeof byte, "%02X ", b);
        text += byte;
    }
    return text;
}

std::string describe(const KelvoRun& run) {
    return "status " + std::to_string(run.status) + "\n--- output:\n" + run.output +
           "\n--- errors:\n" + run.errors;
}

// Vendor and product, the first 24 characters, equal ignoring case; equal where both end.
bool namesMatch(const std::string& firmware, const std::string& drive) {
    for (size_t i = 0; i < 24; ++i) {
        const int a = i < firmware.size() ? tolower(static_cast<unsigned char>(firmware[i])) : 0;
        const int b = i < drive.size() ? tolower(static_cast<unsigned char>(drive[i])) : 0;
        if (a != b) return false;
        if (a == 0) return true;
    }
    return true;
}

// The identification is the INQUIRY data from byte 8 on, at most 28 bytes, and never a byte
// beyond what the answer said was sent.
std::string identificationFrom(const SentCommand& inquiry) {
    const int32_t end = std::min<int32_t>(inquiry.reportedLength, 8 + int32_t(NAME_LENGTH));
    if (end <= 8) return "";
    return cutAtZero(inquiry.data.data() + 8, size_t(end - 8));
}

// In memory where the machine has a place for it: the image is written for every run.
std::string directoryForFiles() {
    std::string name = access("/dev/shm", W_OK) == 0 ? "/dev/shm/kelvo-fuzz-XXXXXX"
                                                       : "/tmp/kelvo-fuzz-XXXXXX";
    if (mkdtemp(&name[0]) == nullptr) broken("setup", "cannot create a directory for the image");
    return name;
}

// The payload of every plan is the front of one pattern, and its checksum is looked up.
struct Payload {
    Bytes bytes;
    std::vector<uint16_t> sumBefore;  // the checksum of the first 2*i bytes
};

const Payload& payloadPattern() {
    static const Payload payload = [] {
        Payload p;
        for (uint32_t i = 0; i < LARGEST_PAYLOAD; ++i)
            p.bytes.push_back(uint8_t((i * 13) ^ (i >> 8) ^ (i >> 15)));
        uint16_t sum = 0;
        for (uint32_t at = 0; at < LARGEST_PAYLOAD; at += 2) {
            p.sumBefore.push_back(sum);
            sum = uint16_t(sum + (p.bytes[at] << 8 | p.bytes[at + 1]));
        }
        p.sumBefore.push_back(sum);
        return p;
    }();
    return payload;
}

uint16_t checksumOf(uint32_t payload) {
    const Payload& p = payloadPattern();
    const uint16_t sum = p.sumBefore[payload / 2];
    return payload % 2 == 0 ? sum : uint16_t(sum + (p.bytes[payload - 1] << 8));
}

// Standard input, output and error as files in memory, made once: the fuzzer runs the
// program thousands of times a second. Sanitizer reports go to the real standard error.
struct Stdio {
    int saved[3];
    int files[3];
};

const Stdio& stdio() {
    static const Stdio files = [] {
        Stdio s;
        for (int fd = 0; fd < 3; ++fd) {
            s.saved[fd] = dup(fd);
            s.files[fd] = memfd_create("kelvo-stdio", 0);
            if (s.saved[fd] < 0 || s.files[fd] < 0) broken("setup", "no descriptors for stdio");
        }
        __sanitizer_set_report_fd(reinterpret_cast<void*>(intptr_t(s.saved[2])));
        return s;
    }();
    return files;
}

std::string contentsOf(int fd) {
    std::string text(size_t(std::max<off_t>(lseek(fd, 0, SEEK_END), 0)), '\0');
    if (!text.empty() && pread(fd, &text[0], text.size(), 0) != ssize_t(text.size()))
        broken("setup", "cannot read what the program wrote");
    return text;
}

// kelvoMain as the shell runs it, `input` on its standard input.
KelvoRun runKelvo(std::vector<std::string> words, const std::string& input) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    const Stdio& s = stdio();
    fflush(stdout);
    fflush(stderr);
    for (int fd = 0; fd < 3; ++fd) {
        if (ftruncate(s.files[fd], 0) != 0 || lseek(s.files[fd], 0, SEEK_SET) != 0)
            broken("setup", "cannot empty a stdio file");
    }
    if (pwrite(s.files[0], input.data(), input.size(), 0) != ssize_t(input.size()))
        broken("setup", "cannot write standard input");
    for (int fd = 0; fd < 3; ++fd) dup2(s.files[fd], fd);
    __fpurge(stdin);
    clearerr(stdin);
    KelvoRun run;
    run.status = kelvoMain(int(words.size()), argv.data());
    fflush(stdout);
    fflush(stderr);
    for (int fd = 0; fd < 3; ++fd) dup2(s.saved[fd], fd);
    __fpurge(stdin);
    clearerr(stdin);
    run.output = contentsOf(s.files[1]);
    const std::string errors = contentsOf(s.files[2]);
    const size_t bannerEnd = errors.find('\n');
    run.errors = bannerEnd == std::string::npos ? "" : errors.substr(bannerEnd + 1);
    return run;
}

void writeFile(const std::string& path, const Bytes& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
        broken("setup", "cannot write " + path);
    fclose(file);
}

// Each hexadecimal value printed with its decimal twin as "x%lX (%ld)" must be the same
// 32-bit value.
void checkNumberPairs(const std::string& line) {
    for (size_t at = line.find(" x"); at != std::string::npos; at = line.find(" x", at + 1)) {
        char* end = nullptr;
        const char* hexStart = line.c_str() + at + 2;
        const unsigned long long hex = strtoull(hexStart, &end, 16);
        if (end == hexStart || strncmp(end, " (", 2) != 0) continue;
        const long long decimal = strtoll(end + 2, nullptr, 10);
        if (int32_t(uint32_t(hex)) != decimal) broken("trace numbers agree", line);
    }
}

struct TraceForm {
    const char* start;
    std::regex rest;
};

// The system's trace and error lines: a fixed start, then values.
void checkTraceLine(const std::string& line) {
    static const char* const errorTrace = R"(x[0-9A-F]+ \(-?[0-9]+\) [^\r\n]+\r?)";
    static const char* const value = R"(x[0-9A-F]+ \(-?[0-9]+\))";
    static const char* const differing = R"(x[0-9A-F]+ \(-?[0-9]+\) != x[0-9A-F]+ \(-?[0-9]+\))";
    static const TraceForm forms[] = {
        {"// sptxSay.DeviceIoControl: ", std::regex(errorTrace)},
        {"// sptxOpen.CreateFile: ", std::regex(errorTrace)},
        {"// sptxClose.CloseHandle: ", std::regex(errorTrace)},
        {"// aspiSayForMilliSeconds.CreateEvent: ", std::regex(errorTrace)},
        {"// aspiSayForMilliSeconds.WaitForSingleObject: ", std::regex(errorTrace)},
        {"// aspiSayForMilliSeconds.CloseHandle: ", std::regex(errorTrace)},
        {"// sptxSay x ", std::regex(R"([0-9A-F]+ [0-9A-F]+ [0-9A-F]+ [0-9A-F]+ )"
                                     R"(\(ioctl status length senseLength\))")},
        {"// aspiSay: x ", std::regex(R"([0-9A-F]+ [0-9A-F]{2,}:[0-9A-F]{2,}:[0-9A-F]{2,} )"
                                      R"([0-9A-F]+ [0-9A-F]+ \(aspi status BufLen SenseLen\))")},
        {"// aspiSayForMilliSeconds.SendASPI32Command = ", std::regex(differing)},
        {"// aspiExamine.SendASPI32Command = ", std::regex(differing)},
        {"// aspiSayForMilliSeconds.WaitForSingleObject = ", std::regex(value)},
        {"// aspiSayForMilliSeconds.CloseHandle = ", std::regex(value)},
        {"// aspiExamine.SRB_Status = ", std::regex(value)},
        {"sp_write returned ", std::regex("-?[0-9]+")},
        {"closing command returned ", std::regex("-[0-9]+")},
        {"Selected drive ", std::regex(".* does not appear to be a matshita device")},
        // The drive's answer to a command that failed, in words.
        {"the drive answered ", std::regex(".+")},
        {"the drive did not answer within ", std::regex("[0-9]+ seconds")},
        {"the drive took only part of the data: ", std::regex("[0-9]+ bytes were not moved")},
        {"the drive completed the command, but its answer was unusable", std::regex("")},
        {"the system's call failed: ", std::regex(".+")},
        {"no device answered", std::regex("")},
        {"the command was not sent", std::regex("")},
    };
    for (const TraceForm& form : forms) {
        const size_t length = strlen(form.start);
        if (line.compare(0, length, form.start) != 0) continue;
        if (!std::regex_match(line.begin() + std::string::difference_type(length), line.end(),
                              form.rest))
            break;
        checkNumberPairs(line);
        return;
    }
    broken("every trace line is one of the system's forms", line);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start != text.size()) broken("every trace line ends", text.substr(start));
    return lines;
}

void expectCommand(const SentCommand& command, const Bytes& cdb, int32_t dataLength,
                   bool dataIn, const char* what) {
    if (command.cdb != cdb || command.dataLength != dataLength || command.dataIn != dataIn)
        broken(std::string("the ") + what + " goes out as it should",
               hexOf(command.cdb) + "data " + std::to_string(command.dataLength) +
                   (command.dataIn ? " in" : " out"));
}

// Chunk `index` carries the image's header, then the payload from its offset on.
void expectChunk(const SentCommand& command, const Bytes& image, uint32_t index) {
    const uint32_t payload = uint32_t(image.size()) - HEADER_SIZE;
    const uint32_t offset = index * CHUNK_PAYLOAD;
    const uint32_t chunk = std::min(payload - offset, CHUNK_PAYLOAD);
    const uint32_t length = chunk + HEADER_SIZE;
    const Bytes cdb = {0xEA, 0, 0, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset),
                       uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 0, 0, 0};
    expectCommand(command, cdb, int32_t(length), false, "chunk");
    Bytes data(image.begin(), image.begin() + HEADER_SIZE);
    data.insert(data.end(), image.begin() + HEADER_SIZE + offset,
                image.begin() + HEADER_SIZE + offset + chunk);
    if (command.data != data)
        broken("every chunk carries the header and its payload", "chunk " + std::to_string(index));
}

void expectRun(const KelvoRun& run, int status, const std::string& output, size_t commands,
               size_t sent, const char* why) {
    if (run.status != status || run.output != output || sent != commands)
        broken(why, describe(run) + "\n--- commands sent: " + std::to_string(sent) +
                        ", expected " + std::to_string(commands) + "\n--- expected output:\n" +
                        output);
}

// The peripheral device type the INQUIRY reported, as the drive sent it: -1 for none.
int32_t peripheralTypeFrom(const SentCommand& inquiry) {
    if (inquiry.reportedLength < 1 || (inquiry.data[0] >> 5) == 3) return -1;
    return inquiry.data[0] & 0x1F;
}

// The errors end with one line that starts with `start` and whose rest matches `rest`, then
// `after` exactly, and every line before them is one of the system's forms.
void expectErrorsEndWithLine(const KelvoRun& run, const std::string& start, const char* rest,
                             const std::string& after, const char* why) {
    const std::string& errors = run.errors;
    if (errors.size() < after.size() ||
        errors.compare(errors.size() - after.size(), after.size(), after) != 0)
        broken(why, describe(run));
    const std::vector<std::string> lines = linesOf(errors.substr(0, errors.size() - after.size()));
    if (lines.empty() || lines.back().compare(0, start.size(), start) != 0 ||
        !std::regex_match(lines.back().begin() + std::string::difference_type(start.size()),
                          lines.back().end(), std::regex(rest)))
        broken(why, describe(run));
    for (size_t i = 0; i + 1 < lines.size(); ++i) checkTraceLine(lines[i]);
}

// The errors end with `end` exactly, and every line before it is one of the system's forms.
void expectErrorsEnd(const KelvoRun& run, const std::string& end, const char* why) {
    const std::string& errors = run.errors;
    if (errors.size() < end.size() ||
        errors.compare(errors.size() - end.size(), end.size(), end) != 0)
        broken(why, describe(run) + "\n--- expected errors to end with:\n" + end);
    for (const std::string& line : linesOf(errors.substr(0, errors.size() - end.size())))
        checkTraceLine(line);
}

bool isMatshita(const std::string& drive) {
    static const char vendor[] = "matshita";
    if (drive.size() < 8) return false;
    for (size_t i = 0; i < 8; ++i)
        if (tolower(static_cast<unsigned char>(drive[i])) != vendor[i]) return false;
    return true;
}

std::string notMatshita(const std::string& device) {
    return "Selected drive " + device + " does not appear to be a matshita device\n";
}

// The first `length` characters of a name, without the blanks that pad its fields.
std::string trimmed(const std::string& name, size_t length) {
    std::string part = name.substr(0, std::min(length, name.size()));
    while (!part.empty() && part.back() == ' ') part.pop_back();
    return part;
}

std::string otherVendor(const std::string& drive) {
    return "the drive calls itself \"" + trimmed(drive, 8) + "\", not MATSHITA\n";
}

std::string otherModel(const std::string& firmware, const std::string& drive) {
    return "the image is made for \"" + trimmed(firmware, 24) + "\", the drive is \"" +
           trimmed(drive, 24) + "\"\n";
}

// The run without the lines told before the prompt, which must be there, in one piece.
KelvoRun withoutLines(const KelvoRun& run, const std::string& lines) {
    KelvoRun rest = run;
    const size_t at = rest.errors.find(lines);
    if (at == std::string::npos)
        broken("what -f goes past and a drive that runs the image are told before the prompt",
               describe(run) + "\n--- expected among the errors:\n" + lines);
    rest.errors.erase(at, lines.size());
    return rest;
}

// After a closing command that failed, the drive is asked who it is, up to ten times while it
// does not answer; "Finished" only when its first answer names the image's firmware whole.
void expectClosingVerdict(const std::vector<SentCommand>& sent, size_t closing,
                          const std::string& firmware, std::string output, const KelvoRun& run) {
    const size_t most = 10;
    size_t question = closing + 1;
    for (; question < sent.size(); ++question) {
        expectCommand(sent[question], INQUIRY_CDB, INQUIRY_LENGTH, true, "INQUIRY after closing");
        if (sent[question].usable || question - closing == most) break;
    }
    if (question >= sent.size()) broken("a failed closing command is checked with the drive",
                                        describe(run));
    const bool answered = sent[question].usable;
    const std::string now = answered ? identificationFrom(sent[question]) : "";
    if (answered && now == firmware) {
        expectRun(run, 0, output + "Finished\n", question + 1, sent.size(),
                  "\"Finished\" after a failed closing command: the drive names the image");
        return expectErrorsEnd(run, "", "only traces before \"Finished\"");
    }
    expectRun(run, 1, output, question + 1, sent.size(),
              "no \"Finished\" for a drive that does not name the image after its closing");
    const std::string verdict =
        (answered ? "the drive now reports " + now + ", not the image's " + firmware + "\n"
                  : "the drive does not answer\n") +
        "the update may not have taken: power-cycle the drive and check its firmware before "
        "using it\n";
    expectErrorsEnd(run, verdict, "a drive that did not take the image is reported");
}

// The lines that explain a failed chunk: which of how many, the payload the drive had
// accepted, its answer in words, and what now.
const size_t CHUNK_EXPLANATION_LINES = 4;

const std::string& failedChunkLine(const std::vector<std::string>& lines, const KelvoRun& run) {
    if (lines.size() <= CHUNK_EXPLANATION_LINES) broken("a failure is reported", describe(run));
    return lines[lines.size() - CHUNK_EXPLANATION_LINES - 1];
}

void expectFailedChunkExplained(const KelvoRun& run, const std::vector<std::string>& lines,
                                uint32_t index, uint32_t chunks, uint32_t payload) {
    failedChunkLine(lines, run);  // there are lines enough
    const std::vector<std::string> explanation(lines.end() - CHUNK_EXPLANATION_LINES, lines.end());
    const std::string where = "chunk " + std::to_string(index + 1) + " of " +
                              std::to_string(chunks) + " failed: the drive had accepted " +
                              std::to_string(index * CHUNK_PAYLOAD) + " of the image's " +
                              std::to_string(payload) + " payload bytes";
    if (explanation[0] != where ||
        explanation[2] != "the closing command was not sent, so the drive has not taken the "
                          "new image" ||
        explanation[3].compare(0, 11, "what to do:") != 0)
        broken("a failed chunk says where it stopped and what now", describe(run));
    checkTraceLine(explanation[1]);  // the drive's answer in words
    for (size_t i = 0; i + CHUNK_EXPLANATION_LINES + 1 < lines.size(); ++i)
        checkTraceLine(lines[i]);
}

// From the prompt on, for a drive kelvo goes on with: `output` is what came before it, and
// the run's errors hold no line told before the prompt.
void checkFromThePrompt(const UpdatePlan& plan, const std::vector<SentCommand>& sent,
                        const KelvoRun& run, std::string output) {
    const std::vector<std::string> lines = linesOf(run.errors);
    const std::string firmware = cutAtZero(plan.image.data(), NAME_LENGTH);
    output += "Continue? ";
    if (!plan.confirms) {
        output += "Not confirmed, exiting\n";
        expectRun(run, 0, output, 1, sent.size(), "an update not confirmed sends nothing");
        return expectErrorsEnd(run, "", "an update not confirmed prints no error");
    }
    output += "Firmware update running, do not interrupt ...";

    const uint32_t payload = uint32_t(plan.image.size()) - HEADER_SIZE;
    const uint32_t chunks = (payload + CHUNK_PAYLOAD - 1) / CHUNK_PAYLOAD;
    for (uint32_t index = 0; index < chunks; ++index) {
        if (sent.size() < 2 + index) break;
        const SentCommand& chunk = sent[1 + index];
        expectChunk(chunk, plan.image, index);
        if (chunk.accepted) continue;
        expectRun(run, 1, output, 2 + index, sent.size(),
                  "after the first failed chunk nothing more goes to the drive, exit status 1");
        expectFailedChunkExplained(run, lines, index, chunks, payload);
        const std::string& line = failedChunkLine(lines, run);
        const std::string expected =
            chunk.usable ? "sp_write returned " + std::to_string(chunk.dataLength - chunk.reportedLength)
                         : "";
        if (line.compare(0, 18, "sp_write returned ") != 0 || line == "sp_write returned 0" ||
            (chunk.usable && line != expected) ||
            (!chunk.usable && line.compare(0, 19, "sp_write returned -") != 0))
            broken("the failed chunk's result is reported", describe(run));
        return;
    }
    const size_t closing = chunks + 1;
    if (sent.size() <= closing) broken("every chunk accepted: the closing command goes out",
                                       describe(run));
    expectCommand(sent[closing], CLOSING_CDB, CLOSING_LENGTH, true, "closing command");
    if (!sent[closing].usable) return expectClosingVerdict(sent, closing, firmware, output, run);
    expectRun(run, 0, output + "Finished\n", closing + 1, sent.size(),
              "\"Finished\" when every chunk was accepted and the closing command completed");
    expectErrorsEnd(run, "", "only traces before \"Finished\"");
}

}  // namespace

UpdatePlan planUpdate(FuzzedDataProvider& in) {
    UpdatePlan plan;
    plan.force = in.ConsumeBool();
    plan.confirms = !in.ConsumeBool();
    const uint32_t shape =
        in.ConsumeIntegralInRange<uint32_t>(0, (LONG_PLANS - 1) * MOST_WHOLE_CHUNKS + MOST_WHOLE_CHUNKS - 1);
    const uint32_t shortPlans = (LONG_PLANS - 1) * MOST_WHOLE_CHUNKS;
    const uint32_t wholeChunks = shape < shortPlans ? 0 : shape - shortPlans + 1;
    const uint32_t payload = wholeChunks * CHUNK_PAYLOAD + SMALLEST_PAYLOAD +
                             in.ConsumeIntegralInRange<uint32_t>(0, SHORT_CHUNK_RANGE);
    Bytes& image = plan.image;
    image.resize(HEADER_SIZE);
    memcpy(image.data(), FIRMWARE, NAME_LENGTH);
    for (uint32_t at = NAME_LENGTH; at < HEADER_SIZE; ++at) image[at] = uint8_t(0xA0 + at);
    for (int byte = 0; byte < 4; ++byte) image[36 + byte] = uint8_t(payload >> (24 - 8 * byte));
    const uint16_t sum = checksumOf(payload);
    image[42] = uint8_t(sum >> 8);
    image[43] = uint8_t(sum);
    const Bytes& pattern = payloadPattern().bytes;
    image.insert(image.end(), pattern.begin(), pattern.begin() + payload);
    return plan;
}

SimDrive plannedDrive(FuzzedDataProvider& in) {
    // The image's drive at its own firmware or another one: after a failed closing command,
    // only the image's whole name may count as the update taken.
    SimDrive drive = newSimDrive(in.ConsumeBool() ? FIRMWARE : OTHER_REVISION);
    if (in.ConsumeBool()) {
        const std::string name = in.ConsumeBytesAsString(NAME_LENGTH);
        memset(drive.identification, 0, sizeof drive.identification);
        memcpy(drive.identification, name.data(), name.size());
    }
    drive.inquiryLength = 36 - in.ConsumeIntegralInRange<int32_t>(0, 36);
    return drive;
}

KelvoRun runUpdate(const std::string& device, const UpdatePlan& plan) {
    static const std::string directory = directoryForFiles();
    const std::string path = directory + "/firmware.bin";
    writeFile(path, plan.image);
    std::vector<std::string> arguments = {"kelvo", device, path};
    if (plan.force) arguments.push_back("-f");
    reclaimStart();
    KelvoRun run = runKelvo(arguments, plan.confirms ? "y\n" : "n\n");
    reclaimFinish();
    return run;
}

void checkUpdate(const std::string& device, const UpdatePlan& plan,
                 const std::vector<SentCommand>& sent, const KelvoRun& run) {
    const std::string firmware = cutAtZero(plan.image.data(), NAME_LENGTH);
    std::string output = "Selected firmware: " + firmware + "\n";
    if (!sent.empty()) expectCommand(sent[0], INQUIRY_CDB, INQUIRY_LENGTH, true, "INQUIRY");
    if (sent.empty() || !sent[0].usable) {
        expectRun(run, 1, output, sent.empty() ? 0 : 1, sent.size(), "a failed INQUIRY ends the run");
        return expectErrorsEndWithLine(
            run, "the device at " + device + " gave no identification (", R"(.+\))",
            NOTHING_WRITTEN + "check the index with kelvo-list, which lists the drives kelvo can "
                              "reach\n",
            "a failed INQUIRY is explained");
    }
    const std::string identification = identificationFrom(sent[0]);
    output += "Selected device:   " + identification + "\n";
    const int32_t type = peripheralTypeFrom(sent[0]);
    const bool otherKind = type >= 0 && type != OPTICAL_DRIVE;
    if (!otherKind && !isMatshita(identification) && !plan.force) {
        expectRun(run, 1, output, 1, sent.size(), "another vendor's drive ends the run");
        return expectErrorsEnd(run,
                               notMatshita(device) + otherVendor(identification) + NOTHING_WRITTEN +
                                   "check the index with kelvo-list; use -f only for a MATSHITA "
                                   "drive sold under another name\n",
                               "another vendor's drive is reported");
    }
    if (type != OPTICAL_DRIVE) {
        expectRun(run, 1, output, 1, sent.size(), "a device that is no CD/DVD drive ends the run");
        return expectErrorsEndWithLine(
            run, "the device at " + device + " ",
            ".*kelvo updates CD/DVD drives only, with or without -f",
            NOTHING_WRITTEN + "give kelvo the index of the CD/DVD drive (kelvo-list lists them)\n",
            "a device that is no CD/DVD drive is refused, even forced");
    }
    const bool matches = namesMatch(firmware, identification);
    if (!matches) {
        output += "Selected device does not match firmware\n";
        if (!plan.force) {
            expectRun(run, 1, output, 1, sent.size(), "a mismatch ends the run");
            return expectErrorsEnd(run,
                                   otherModel(firmware, identification) + NOTHING_WRITTEN +
                                       "find the firmware file made for the drive's model\n",
                                   "a mismatch is explained");
        }
    }
    std::string beforePrompt;
    if (!isMatshita(identification)) beforePrompt += "-f overrides: " + otherVendor(identification);
    if (!matches) beforePrompt += "-f overrides: " + otherModel(firmware, identification);
    if (identification == firmware)
        beforePrompt += "the drive already runs the image's firmware, " + firmware +
                        ": the update writes it again, as a repair\n";
    checkFromThePrompt(plan, sent, withoutLines(run, beforePrompt), output);
}
