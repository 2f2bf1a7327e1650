// A scriptable kernel32 for the tests: the calls the backends make, answering as the test
// says, including the faults a real system will not give on demand. Device handles lead to
// simulated drives; pass-through requests reach them as the storage port driver would hand
// them on. Linked instead of the POSIX stand-in: the backends are unchanged.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "aspi_block.h"
#include "drive.h"
#include "kernel32.h"

// One DeviceIoControl call as the driver received it.
struct FakeIoRequest {
    HANDLE device;
    DWORD controlCode;
    std::vector<uint8_t> buffer;  // the input buffer's bytes
    DWORD inSize;
    DWORD outSize;
    bool inIsOut;                 // one buffer served as input and output
};

// An answer to one pass-through request, instead of the drive's.
struct FakeIoAnswer {
    BOOL succeeds;
    DWORD error;                  // the last-error code when it fails
    bool touchesBuffer;           // false: the request comes back as it went
    UCHAR scsiStatus;
    ULONG transferred;
    std::vector<uint8_t> sense;
    UCHAR reportedSenseLength;
};

struct FakeLibrary {
    std::map<std::string, FARPROC> entries;
};

// How the ASPI library completes one SC_EXEC_SCSI_CMD.
enum FakeCompletion {
    FAKE_COMPLETES_AT_ONCE,       // before SendASPI32Command returns, the event signalled
    FAKE_COMPLETES_WHILE_WAITED,  // pending on return; completed once the caller waits
    FAKE_NEVER_COMPLETES,         // pending for good
};

// The library's answer to one SC_EXEC_SCSI_CMD.
struct FakeAspiAnswer {
    FakeCompletion completion;
    DWORD returned;  // what SendASPI32Command returns
    aspiBlock::Outcome outcome;
};

// The ASPI for Win32 library that fakeAspiLibrary() stands for.
struct FakeAspi {
    DWORD supportInfo;      // GetASPI32SupportInfo's answer
    DWORD inquiryReturned;  // SendASPI32Command's result for SC_HA_INQUIRY
    BYTE inquiryStatus;
    uint8_t haUnique[aspiBlock::HA_UNIQUE_SIZE];
    std::vector<int> inquiredAdapters;
    std::vector<std::vector<uint8_t>> commands;  // each SC_EXEC_SCSI_CMD block's header as sent
    std::deque<FakeAspiAnswer> answers;          // one a command; then SS_COMP at once
    uint8_t* pending;                            // a block the library has yet to complete
    FakeAspiAnswer pendingAnswer;
};

// What a wait on an event does.
enum FakeWait {
    FAKE_WAIT_FOR_SIGNAL,  // as Windows: 0 once signalled, WAIT_TIMEOUT when it never is
    FAKE_WAIT_EXPIRES,     // WAIT_TIMEOUT at once
    FAKE_WAIT_FAILS,       // WAIT_FAILED with ERROR_INVALID_HANDLE
};

// A named object of the system's global namespace (a mutex, a mapping of the paging file).
struct FakeNamedObject {
    int handles;        // open in any process; a test adds one for another process's
    std::string bytes;  // a mapping's
};

struct FakeKernel32 {
    // Error texts
    bool formatMessageFails;
    std::vector<DWORD> formatMessageFlags;   // the flags of every call
    std::map<DWORD, std::string> extraTexts; // texts beyond the stand-in's own

    // Devices: names that open, and the drive each leads to.
    std::map<std::string, SimDrive*> devices;
    DWORD createFileError;                   // non-zero: every CreateFileA fails so
    std::vector<std::string> createFileNames;
    DWORD createFileAccess;
    DWORD createFileShareMode;
    DWORD createFileCreation;
    DWORD createFileFlags;
    DWORD closeHandleError;                  // non-zero: every CloseHandle fails so
    int closeHandleCalls;
    int openHandles;

    // Files as msvcrt opens and reads them, where a test links fake_msvcrt.cpp
    DWORD fileOpenError;                     // non-zero: every fopen fails so
    size_t readShortBy;                      // every fread gives this many items fewer

    // Pass-through
    bool capabilitiesFail;
    IO_SCSI_CAPABILITIES capabilities;
    std::vector<FakeIoRequest> requests;
    std::deque<FakeIoAnswer> answers;        // taken one a request, before the drive answers
    // Sees every pass-through request as the driver receives it, before it is answered; it may
    // still script the answer.
    std::function<void(DWORD code, uint8_t* request)> onPassThrough;

    // The CD-ROM driver's exclusive access: who holds the drive ("" nobody), and every
    // request ("lock NAME", "query", "unlock"); where not offered, every request fails.
    bool exclusiveNotOffered;
    std::string exclusiveHolder;
    HANDLE exclusiveOwner;  // the handle that took it; null: another program's, whose lock
                            // refuses every handle's pass-through with access denied
    std::vector<std::string> exclusiveRequests;

    // Libraries
    std::map<std::string, FakeLibrary> libraries;  // names that load
    FakeLibrary kernel32;                 // GetModuleHandleA("KERNEL32"): SetDllDirectoryA,
                                          // SetThreadExecutionState
    DWORD setDllDirectoryError;           // non-zero: SetDllDirectoryA fails so
    std::vector<std::string> loaderCalls; // SetDllDirectoryA and LoadLibraryA, as called

    // Events
    bool createEventFails;
    bool closeEventFails;
    FakeWait wait;
    std::vector<DWORD> waitMilliseconds;
    int openEvents;

    // Sleep: nothing waits; each pause asked for is kept.
    std::vector<DWORD> pauses;

    // How the process meets its session: the console control handlers registered (the last
    // one first, as Windows calls them) and, in order, every SetConsoleCtrlHandler and
    // SetThreadExecutionState call; a test may add entries of its own to the same record.
    std::vector<PHANDLER_ROUTINE> consoleHandlers;
    std::vector<std::string> sessionCalls;
    EXECUTION_STATE executionState;
    bool outputIsConsole;  // GetConsoleMode answers for standard output
    bool inputIsConsole;   // GetConsoleMode answers for standard input; ReadConsoleA is a call
    DWORD consoleProcesses;  // GetConsoleProcessList's count, where kernel32 has the call

    // GetSystemPowerStatus's answer: after a reset a desktop on mains, without a battery.
    SYSTEM_POWER_STATUS powerStatus;
    bool powerStatusFails;

    // Named objects, by name; each goes once its last handle is closed.
    std::map<std::string, FakeNamedObject> namedObjects;
    DWORD processId;  // GetCurrentProcessId

    // The ASPI library, a working one with one host adapter after a reset
    FakeAspi aspi;

    // ---- The listing's (kelvo-list) ----
    // Drive letters: GetLogicalDrives reports these, GetDriveTypeA answers with their types
    // (DRIVE_NO_ROOT_DIR for any other root).
    std::map<char, UINT> driveTypes;
    std::vector<std::string> driveTypeRoots;  // every root GetDriveTypeA was asked about
    // SC_GET_DEV_TYPE: unknown to the library (E0h returned, the block untouched) until
    // answered; then the answer's status, and its type for SS_COMP.
    bool deviceTypeAnswered;
    DWORD deviceTypeReturned;
    BYTE deviceTypeStatus;
    BYTE deviceType;
    std::vector<std::vector<uint8_t>> deviceTypeRequests;  // the first 12 bytes of each block
    // ---- end of the listing's ----
};

// A library with the two entry points every ASPI for Win32 library has, answering from
// fakeKernel32().aspi; load it as "WNASPI32.DLL".
FakeLibrary fakeAspiLibrary();

// The one fake the kernel32 calls of this process answer from.
FakeKernel32& fakeKernel32();

// Back to a system where nothing opens, nothing fails and nothing was called.
void resetFakeKernel32();

// A test's scope: the fake starts afresh and is left afresh.
struct FreshFakeKernel32 {
    FreshFakeKernel32() { resetFakeKernel32(); }
    ~FreshFakeKernel32() { resetFakeKernel32(); }
    FakeKernel32& operator*() const { return fakeKernel32(); }
    FakeKernel32* operator->() const { return &fakeKernel32(); }
};
