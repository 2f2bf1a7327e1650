// The ASPI library is started once per process, and a failed start-up is never tried again.
// So every scenario here needs a process of its own: this program runs the one it is named,
// and each is its own test entry.
//
//   aspi_startup_tests <scenario>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "aspi.h"
#include "capture.h"
#include "fake_kernel32.h"

namespace {

const char* const LIBRARY = "WNASPI32.DLL";
const char* const LEAVE_CURRENT_DIRECTORY = "SetDllDirectoryA(\"\")";
const char* const LOAD = "LoadLibraryA(\"WNASPI32.DLL\")";
typedef std::vector<std::string> Calls;

// What a scenario found wrong, one line a finding.
struct Findings {
    std::string text;

    template <typename Actual, typename Expected>
    void expect(const char* what, const Actual& actual, const Expected& expected) {
        if (actual == expected) return;
        text += std::string(what) + ": unexpected value\n";
    }

    void expectText(const char* what, const std::string& actual, const std::string& expected) {
        if (actual == expected) return;
        text += std::string(what) + ": \"" + actual + "\", expected \"" + expected + "\"\n";
    }
};

Aspi* newRecord(FILE* trace) {
    Aspi* aspi = newAspi();
    aspi->trace = trace;
    return aspi;
}

// kernel32 with or without SetDllDirectoryA: the library is loaded either way, and where the
// call exists, only once the current directory has left the search.
Findings startsOnceForEveryRecord(DWORD supportInfo, int32_t highestHostAdapter,
                                  bool hasSetDllDirectory, const Calls& loaderCalls) {
    FreshFakeKernel32 fake;
    fake->libraries[LIBRARY] = fakeAspiLibrary();
    fake->aspi.supportInfo = supportInfo;
    if (!hasSetDllDirectory) fake->kernel32.entries.clear();
    CapturedStream trace;
    Aspi* first = newRecord(trace.stream());
    Aspi* second = newRecord(trace.stream());
    Findings found;
    found.expect("first open", aspiOpen(first, "0.1.0"), 0);
    found.expect("start-up again", aspiStartup(first), 1);
    found.expect("second open", aspiOpen(second, "1.2.0"), 0);
    found.expect("first record's highest adapter", first->highestHostAdapter, highestHostAdapter);
    found.expect("second record's highest adapter", second->highestHostAdapter,
                 highestHostAdapter);
    found.expect("loader calls", fake->loaderCalls, loaderCalls);
    found.expect("adapters examined", fake->aspi.inquiredAdapters, std::vector<int>{0, 1});
    found.expect("adapter count", aspiAdapterCount(second), highestHostAdapter + 1);
    found.expectText("trace", trace.text(), "");
    free(first);
    free(second);
    return found;
}

enum StartupFault {
    SEARCH_UNCHANGED, NO_LIBRARY, NO_SUPPORT_INFO, NO_SEND_COMMAND, SUPPORT_STATUS
};

Findings failsForGood(StartupFault fault, DWORD supportInfo, const std::string& expectedTrace) {
    FreshFakeKernel32 fake;
    fake->libraries[LIBRARY] = fakeAspiLibrary();
    fake->aspi.supportInfo = supportInfo;
    if (fault == SEARCH_UNCHANGED) fake->setDllDirectoryError = ERROR_ACCESS_DENIED;
    if (fault == NO_LIBRARY) fake->libraries.clear();
    if (fault == NO_SUPPORT_INFO) fake->libraries[LIBRARY].entries.erase("GetASPI32SupportInfo");
    if (fault == NO_SEND_COMMAND) fake->libraries[LIBRARY].entries.erase("SendASPI32Command");
    Findings found;
    CapturedStream firstTrace;
    Aspi* first = newRecord(firstTrace.stream());
    found.expect("first open", aspiOpen(first, "0.1.0"), -1);
    found.expectText("first trace", firstTrace.text(), expectedTrace);

    // Nothing is tried again, and nothing more is said.
    CapturedStream laterTrace;
    Aspi* later = newRecord(laterTrace.stream());
    found.expect("start-up again", aspiStartup(later), -1);
    found.expect("later open", aspiOpen(later, "0.1.0"), -1);
    found.expect("examination", aspiExamine(later, 0), -1);
    found.expect("default alignment", later->alignmentMask, 3);
    found.expect("default highest target", later->highestTarget, 7);
    // Only a library that was never loaded is no library at all.
    found.expect("adapter count", aspiAdapterCount(later),
                 fault == SEARCH_UNCHANGED || fault == NO_LIBRARY ? ASPI_NO_LIBRARY : -1);
    found.expectText("later trace", laterTrace.text(), "");
    // A search that still holds the current directory is not used to look for the library.
    found.expect("loader calls", fake->loaderCalls,
                 fault == SEARCH_UNCHANGED ? Calls{LEAVE_CURRENT_DIRECTORY}
                                           : Calls{LEAVE_CURRENT_DIRECTORY, LOAD});
    found.expect("adapters examined", fake->aspi.inquiredAdapters.size(), 0u);

    // The address was taken before the start-up failed: a command must still go nowhere.
    CapturedStream commandTrace;
    later->trace = commandTrace.stream();
    aspiSetSenseLength(later, 14);
    aspiSetTimeout(later, 300, 0);
    const uint8_t inquiry[6] = {0x12, 0, 0, 0, 0x24, 0};
    uint8_t data[41];
    found.expect("command without a library", aspiSay(later, inquiry, 6, data, 41, 1), -1);
    found.expect("commands sent", fake->aspi.commands.size(), 0u);
    free(first);
    free(later);
    return found;
}

Findings run(const std::string& scenario) {
    if (scenario == "three-adapters")
        return startsOnceForEveryRecord(0x0103, 2, true, {LEAVE_CURRENT_DIRECTORY, LOAD});
    if (scenario == "no-adapter")
        return startsOnceForEveryRecord(0x0100, -1, true, {LEAVE_CURRENT_DIRECTORY, LOAD});
    if (scenario == "no-set-dll-directory")
        return startsOnceForEveryRecord(0x0101, 0, false, {LOAD});
    if (scenario == "set-dll-directory-fails")
        return failsForGood(SEARCH_UNCHANGED, 0x0101,
                            "// aspiStartup.SetDllDirectory: x5 (5) Access is denied.\r\n");
    if (scenario == "no-library")
        return failsForGood(
            NO_LIBRARY, 0x0101,
            "// aspiStartup.LoadLibrary: x7E (126) The specified module could not be found.\r\n"
            "// \"WNASPI32.DLL\" was the \"specified module\"\n");
    if (scenario == "no-support-info")
        return failsForGood(NO_SUPPORT_INFO, 0x0101,
                            "// aspiStartup.GetProcAddress.GetASPI32SupportInfo: x7F (127) The "
                            "specified procedure could not be found.\r\n");
    if (scenario == "no-send-command")
        return failsForGood(NO_SEND_COMMAND, 0x0101,
                            "// aspiStartup.GetProcAddress.SendASPI32Command: x7F (127) The "
                            "specified procedure could not be found.\r\n");
    if (scenario == "support-status-e8")
        return failsForGood(SUPPORT_STATUS, 0xE800,
                            "// aspiStartup.GetASPI32SupportInfo = xE800 (59392)\n");
    if (scenario == "support-status-4")
        return failsForGood(SUPPORT_STATUS, 0x0401,
                            "// aspiStartup.GetASPI32SupportInfo = x401 (1025)\n");
    return {"no such scenario: " + scenario + "\n"};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <scenario>\n", argv[0]);
        return 2;
    }
    const Findings found = run(argv[1]);
    fputs(found.text.c_str(), stderr);
    printf("%s: %s\n", argv[1], found.text.empty() ? "1 passed, 0 failed" : "0 passed, 1 failed");
    return found.text.empty() ? 0 : 1;
}
