#include "fake_kernel32.h"

#include "cdrom_exclusive.h"

#include <algorithm>
#include <cstring>

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

enum HandleKind { DEVICE_HANDLE, EVENT_HANDLE, NAMED_HANDLE };

struct FakeHandle {
    HandleKind kind;
    SimDrive* drive;
    bool signalled;
    bool manualReset;  // stays signalled once set
    std::string name;  // a named object's
};

FakeKernel32& state() {
    static FakeKernel32 fake;
    return fake;
}

FakeHandle* handleOf(HANDLE handle, HandleKind kind) {
    FakeHandle* fake = static_cast<FakeHandle*>(handle);
    return (fake != nullptr && handle != INVALID_HANDLE_VALUE && fake->kind == kind) ? fake
                                                                                       : nullptr;
}

const std::map<DWORD, std::string> systemTexts = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
};

const std::string* textFor(const FakeKernel32& fake, DWORD code) {
    auto extra = fake.extraTexts.find(code);
    if (extra != fake.extraTexts.end()) return &extra->second;
    auto known = systemTexts.find(code);
    return known != systemTexts.end() ? &known->second : nullptr;
}

bool isPassThrough(DWORD code) {
    return code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
}

BOOL answerCapabilities(LPVOID out, DWORD outSize) {
    FakeKernel32& fake = state();
    if (fake.capabilitiesFail || out == nullptr || outSize < sizeof(IO_SCSI_CAPABILITIES)) {
        lastError = ERROR_INVALID_FUNCTION;
        return FALSE;
    }
    memcpy(out, &fake.capabilities, sizeof fake.capabilities);
    return TRUE;
}

void writeOutcome(uint8_t* request, UCHAR status, ULONG transferred,
                  const std::vector<uint8_t>& sense, UCHAR reportedSenseLength) {
    SCSI_PASS_THROUGH* record = reinterpret_cast<SCSI_PASS_THROUGH*>(request);
    const size_t room = record->SenseInfoLength;
    if (!sense.empty())
        memcpy(request + record->SenseInfoOffset, sense.data(), std::min(room, sense.size()));
    record->ScsiStatus = status;
    record->DataTransferLength = transferred;
    record->SenseInfoLength = reportedSenseLength;
}

// The drive's answer, passed on as the port driver does. The sense count is passed on as the
// drive gives it, unclamped, so that a drive sending more than was allowed can be seen.
BOOL answerFromDrive(SimDrive* drive, DWORD code, uint8_t* request) {
    SCSI_PASS_THROUGH* record = reinterpret_cast<SCSI_PASS_THROUGH*>(request);
    uint8_t* data = nullptr;
    if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        data = static_cast<uint8_t*>(reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(request)->DataBuffer);
    } else {
        data = request + record->DataBufferOffset;
    }
    const int32_t direction = record->DataIn == SCSI_IOCTL_DATA_IN ? 1 : 2;
    const SimAnswer answer =
        simDriveExecute(drive, record->Cdb, record->CdbLength, data,
                        int32_t(record->DataTransferLength), direction);
    if (!answer.completes) {
        lastError = ERROR_IO_DEVICE;  // the port driver gave up after the time-out
        return FALSE;
    }
    writeOutcome(request, answer.status, ULONG(answer.transferred), answer.sense,
                 UCHAR(answer.sense.size()));
    return TRUE;
}

void finishPendingAspiCommand(HANDLE event) {
    FakeAspi& aspi = state().aspi;
    if (aspi.pending == nullptr) return;
    if (aspiBlock::readPointer(aspi.pending, aspiBlock::POST_PROC) != event) return;
    aspiBlock::complete(aspi.pending, aspi.pendingAnswer.outcome);
    aspi.pending = nullptr;
}

DWORD answerAspiInquiry(uint8_t* block) {
    FakeAspi& aspi = state().aspi;
    aspi.inquiredAdapters.push_back(block[aspiBlock::HA_ID]);
    aspiBlock::answerInquiry(block, aspi.inquiryStatus, BYTE(aspi.supportInfo), aspi.haUnique);
    return aspi.inquiryReturned;
}

DWORD answerAspiCommand(uint8_t* block) {
    FakeAspi& aspi = state().aspi;
    // A sender reuses a block only once it gave up on the request it held.
    aspi.pending = nullptr;
    aspi.commands.emplace_back(block, block + aspiBlock::HEADER_SIZE);
    FakeAspiAnswer answer = {FAKE_COMPLETES_AT_ONCE, aspiBlock::SS_COMP,
                             {aspiBlock::SS_COMP, 0, 0, 0, {}, 0}};
    if (!aspi.answers.empty()) {
        answer = aspi.answers.front();
        aspi.answers.pop_front();
    }
    if (answer.completion == FAKE_COMPLETES_AT_ONCE) {
        aspiBlock::complete(block, answer.outcome);
    } else if (answer.completion == FAKE_COMPLETES_WHILE_WAITED) {
        aspi.pending = block;
        aspi.pendingAnswer = answer;
    }
    return answer.returned;
}

// ---- The listing's (kelvo-list) ----
const size_t DEVICE_TYPE_BLOCK_SIZE = 12;  // SRB_GDEVBlock as published

DWORD answerAspiDeviceType(uint8_t* block) {
    FakeKernel32& fake = state();
    fake.deviceTypeRequests.emplace_back(block, block + DEVICE_TYPE_BLOCK_SIZE);
    if (!fake.deviceTypeAnswered) return aspiBlock::SS_INVALID_SRB;
    if (fake.deviceTypeStatus == aspiBlock::SS_COMP)
        block[aspiBlock::DEVICE_TYPE_FIELD] = fake.deviceType;
    block[aspiBlock::STATUS] = fake.deviceTypeStatus;
    return fake.deviceTypeReturned;
}
// ---- end of the listing's ----

DWORD fakeGetASPI32SupportInfo(void) { return state().aspi.supportInfo; }

DWORD fakeSendASPI32Command(void* srb) {
    uint8_t* block = static_cast<uint8_t*>(srb);
    switch (block[aspiBlock::CMD]) {
    case aspiBlock::SC_HA_INQUIRY: return answerAspiInquiry(block);
    case aspiBlock::SC_EXEC_SCSI_CMD: return answerAspiCommand(block);
    case aspiBlock::SC_GET_DEV_TYPE: return answerAspiDeviceType(block);  // the listing's
    default: return aspiBlock::SS_INVALID_SRB;
    }
}

template <typename Entry>
FARPROC asFarProc(Entry entry) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(entry));
}

BOOL WINAPI fakeSetDllDirectoryA(LPCSTR directory) {
    FakeKernel32& fake = state();
    fake.loaderCalls.push_back("SetDllDirectoryA(\"" + std::string(directory) + "\")");
    if (fake.setDllDirectoryError == 0) return TRUE;
    lastError = fake.setDllDirectoryError;
    return FALSE;
}

std::string hex(DWORD value) {
    char text[12];
    snprintf(text, sizeof text, "%lX", static_cast<unsigned long>(value));
    return text;
}

// As Windows keeps it: a state with ES_CONTINUOUS lasts until the next such call.
EXECUTION_STATE WINAPI fakeSetThreadExecutionState(EXECUTION_STATE requested) {
    FakeKernel32& fake = state();
    fake.sessionCalls.push_back("SetThreadExecutionState(" + hex(requested) + ")");
    const EXECUTION_STATE previous = fake.executionState;
    if ((requested & ES_CONTINUOUS) != 0) fake.executionState = requested;
    return previous;
}

DWORD WINAPI fakeGetConsoleProcessList(LPDWORD, DWORD) { return state().consoleProcesses; }

// As the CD-ROM class driver answers: the lock goes to the first caller, and the state names it.
BOOL answerExclusiveAccess(HANDLE device, const void* in, void* out) {
    FakeKernel32& fake = state();
    CdromExclusiveLock request = {};
    memcpy(&request, in, sizeof request.access);
    const ULONG type = request.access.requestType;
    if (type == CDROM_EXCLUSIVE_LOCK) memcpy(&request, in, sizeof request);
    const char* const caller = reinterpret_cast<const char*>(request.callerName);
    fake.exclusiveRequests.push_back(type == CDROM_EXCLUSIVE_LOCK ? std::string("lock ") + caller
                                     : type == CDROM_EXCLUSIVE_QUERY ? "query"
                                                                     : "unlock");
    if (fake.exclusiveNotOffered || (type == CDROM_EXCLUSIVE_LOCK && !fake.exclusiveHolder.empty())) {
        lastError = fake.exclusiveNotOffered ? ERROR_INVALID_FUNCTION : ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (type == CDROM_EXCLUSIVE_LOCK) fake.exclusiveHolder = caller;
    if (type == CDROM_EXCLUSIVE_LOCK) fake.exclusiveOwner = device;
    if (type == CDROM_EXCLUSIVE_UNLOCK) fake.exclusiveHolder.clear();
    if (type == CDROM_EXCLUSIVE_QUERY) {
        CdromExclusiveState answer = {};
        answer.locked = !fake.exclusiveHolder.empty();
        memcpy(answer.callerName, fake.exclusiveHolder.c_str(), fake.exclusiveHolder.size());
        memcpy(out, &answer, sizeof answer);
    }
    return TRUE;
}

BOOL answerScripted(const FakeIoAnswer& answer, uint8_t* request) {
    if (answer.touchesBuffer)
        writeOutcome(request, answer.scsiStatus, answer.transferred, answer.sense,
                     answer.reportedSenseLength);
    if (!answer.succeeds) lastError = answer.error;
    return answer.succeeds;
}

}  // namespace

FakeKernel32& fakeKernel32() { return state(); }

void resetFakeKernel32() {
    state() = FakeKernel32{};
    state().wait = FAKE_WAIT_FOR_SIGNAL;
    state().aspi.supportInfo = 0x0101;
    state().aspi.inquiryReturned = aspiBlock::SS_COMP;
    state().aspi.inquiryStatus = aspiBlock::SS_COMP;
    state().kernel32.entries["SetDllDirectoryA"] = asFarProc(&fakeSetDllDirectoryA);
    state().kernel32.entries["SetThreadExecutionState"] = asFarProc(&fakeSetThreadExecutionState);
    state().kernel32.entries["GetConsoleProcessList"] = asFarProc(&fakeGetConsoleProcessList);
    state().executionState = ES_CONTINUOUS;
    state().powerStatus = {1, 128, 255, 0, 0xFFFFFFFF, 0xFFFFFFFF};
    lastError = ERROR_SUCCESS;
}

FakeLibrary fakeAspiLibrary() {
    FakeLibrary library;
    library.entries["GetASPI32SupportInfo"] = asFarProc(&fakeGetASPI32SupportInfo);
    library.entries["SendASPI32Command"] = asFarProc(&fakeSendASPI32Command);
    return library;
}

extern "C" {

DWORD GetLastError(void) { return lastError; }

void SetLastError(DWORD code) { lastError = code; }

DWORD FormatMessageA(DWORD flags, const void*, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                     void*) {
    FakeKernel32& fake = state();
    fake.formatMessageFlags.push_back(flags);
    const std::string* text = fake.formatMessageFails ? nullptr : textFor(fake, messageId);
    // As Windows does, a call that finds no text leaves its own code behind: a caller that
    // reads the last error only afterwards reports the wrong one.
    if (text == nullptr || text->size() >= size) {
        lastError = ERROR_MR_MID_NOT_FOUND;
        return 0;
    }
    memcpy(buffer, text->c_str(), text->size() + 1);
    return DWORD(text->size());
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creation, DWORD flags, HANDLE) {
    FakeKernel32& fake = state();
    fake.createFileNames.push_back(name);
    fake.createFileAccess = access;
    fake.createFileShareMode = shareMode;
    fake.createFileCreation = creation;
    fake.createFileFlags = flags;
    const auto device = fake.devices.find(name);
    if (fake.createFileError != 0 || device == fake.devices.end()) {
        lastError = fake.createFileError != 0 ? fake.createFileError : ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    fake.openHandles += 1;
    return new FakeHandle{DEVICE_HANDLE, device->second, false, false, ""};
}

BOOL CloseHandle(HANDLE handle) {
    FakeKernel32& fake = state();
    if (FakeHandle* named = handleOf(handle, NAMED_HANDLE)) {
        const auto object = fake.namedObjects.find(named->name);
        if (object != fake.namedObjects.end() && --object->second.handles == 0)
            fake.namedObjects.erase(object);
        delete named;
        return TRUE;
    }
    FakeHandle* device = handleOf(handle, DEVICE_HANDLE);
    FakeHandle* event = handleOf(handle, EVENT_HANDLE);
    if (device != nullptr) fake.closeHandleCalls += 1;
    const bool refused = (device != nullptr && fake.closeHandleError != 0) ||
                         (event != nullptr && fake.closeEventFails);
    if (refused || (device == nullptr && event == nullptr)) {
        lastError = device != nullptr ? fake.closeHandleError : ERROR_INVALID_HANDLE;
        return FALSE;
    }
    (device != nullptr ? fake.openHandles : fake.openEvents) -= 1;
    delete static_cast<FakeHandle*>(handle);
    return TRUE;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                     DWORD outSize, LPDWORD returned, LPOVERLAPPED) {
    FakeKernel32& fake = state();
    FakeHandle* handle = handleOf(device, DEVICE_HANDLE);
    if (returned != nullptr) *returned = 0;
    if (handle == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (code == IOCTL_SCSI_GET_CAPABILITIES) return answerCapabilities(out, outSize);
    if (code == CDROM_EXCLUSIVE_ACCESS_CODE) return answerExclusiveAccess(device, in, out);
    const uint8_t* bytes = static_cast<const uint8_t*>(in);
    fake.requests.push_back(
        {device, code, std::vector<uint8_t>(bytes, bytes + inSize), inSize, outSize, in == out});
    if (!isPassThrough(code) || in != out || inSize < sizeof(SCSI_PASS_THROUGH)) {
        lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (!fake.exclusiveHolder.empty() && device != fake.exclusiveOwner) {
        lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (fake.onPassThrough) fake.onPassThrough(code, static_cast<uint8_t*>(in));
    if (!fake.answers.empty()) {
        const FakeIoAnswer answer = fake.answers.front();
        fake.answers.pop_front();
        return answerScripted(answer, static_cast<uint8_t*>(in));
    }
    return answerFromDrive(handle->drive, code, static_cast<uint8_t*>(in));
}

HMODULE LoadLibraryA(LPCSTR name) {
    FakeKernel32& fake = state();
    fake.loaderCalls.push_back("LoadLibraryA(\"" + std::string(name) + "\")");
    const auto library = fake.libraries.find(name);
    if (library == fake.libraries.end()) {
        lastError = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    return &library->second;
}

HMODULE GetModuleHandleA(LPCSTR name) {
    if (std::string(name) == "KERNEL32") return &state().kernel32;
    lastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    const FakeLibrary* library = static_cast<const FakeLibrary*>(module);
    const auto entry = library->entries.find(name);
    if (entry == library->entries.end() || entry->second == nullptr) {
        lastError = ERROR_PROC_NOT_FOUND;
        return nullptr;
    }
    return entry->second;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    FakeKernel32& fake = state();
    if (fake.createEventFails) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    fake.openEvents += 1;
    return new FakeHandle{EVENT_HANDLE, nullptr, initialState != FALSE, manualReset != FALSE, ""};
}

namespace {

BOOL setSignalled(HANDLE event, bool signalled) {
    FakeHandle* handle = handleOf(event, EVENT_HANDLE);
    if (handle == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    handle->signalled = signalled;
    return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE event) { return setSignalled(event, true); }

BOOL ResetEvent(HANDLE event) { return setSignalled(event, false); }

// Nothing else runs while a test waits, so an event that is not signalled yet never will be,
// unless the ASPI library finishes a command while the caller waits for it.
DWORD WaitForSingleObject(HANDLE event, DWORD milliseconds) {
    FakeKernel32& fake = state();
    if (handleOf(event, NAMED_HANDLE) != nullptr) return WAIT_OBJECT_0;  // a mutex nobody owns
    fake.waitMilliseconds.push_back(milliseconds);
    if (fake.wait == FAKE_WAIT_FOR_SIGNAL) finishPendingAspiCommand(event);
    FakeHandle* handle = handleOf(event, EVENT_HANDLE);
    if (handle == nullptr || fake.wait == FAKE_WAIT_FAILS) {
        lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (fake.wait == FAKE_WAIT_EXPIRES || !handle->signalled) return WAIT_TIMEOUT;
    if (!handle->manualReset) handle->signalled = false;
    return WAIT_OBJECT_0;
}

namespace {

HANDLE openNamed(LPCSTR name, bool create, DWORD bytes) {
    FakeKernel32& fake = state();
    const auto object = fake.namedObjects.find(name);
    if (object == fake.namedObjects.end() && !create) {
        lastError = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    lastError = object != fake.namedObjects.end() ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    FakeNamedObject& named = fake.namedObjects[name];
    if (named.handles++ == 0) named.bytes.assign(bytes, '\0');
    return new FakeHandle{NAMED_HANDLE, nullptr, false, false, name};
}

}  // namespace

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name) { return openNamed(name, true, 0); }

HANDLE CreateFileMappingA(HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD sizeLow,
                          LPCSTR name) {
    return openNamed(name, true, sizeLow);
}

HANDLE OpenFileMappingA(DWORD, BOOL, LPCSTR name) { return openNamed(name, false, 0); }

HANDLE OpenMutexA(DWORD, BOOL, LPCSTR name) { return openNamed(name, false, 0); }

LPVOID MapViewOfFile(HANDLE mapping, DWORD, DWORD, DWORD, size_t) {
    FakeHandle* named = handleOf(mapping, NAMED_HANDLE);
    if (named == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return &state().namedObjects[named->name].bytes[0];
}

BOOL UnmapViewOfFile(const void*) { return TRUE; }

BOOL ReleaseMutex(HANDLE mutex) { return handleOf(mutex, NAMED_HANDLE) != nullptr; }

DWORD GetCurrentProcessId(void) { return state().processId; }

void Sleep(DWORD milliseconds) { state().pauses.push_back(milliseconds); }

HANDLE GetStdHandle(DWORD which) {
    if (which == STD_INPUT_HANDLE) return reinterpret_cast<HANDLE>(uintptr_t(0x0A));
    return which == STD_OUTPUT_HANDLE ? reinterpret_cast<HANDLE>(uintptr_t(0x0B))
                                      : INVALID_HANDLE_VALUE;
}

BOOL GetConsoleMode(HANDLE console, LPDWORD mode) {
    const bool output = state().outputIsConsole && console == GetStdHandle(STD_OUTPUT_HANDLE);
    const bool input = state().inputIsConsole && console == GetStdHandle(STD_INPUT_HANDLE);
    if (!output && !input) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *mode = 0;
    return TRUE;
}

BOOL GetSystemPowerStatus(LPSYSTEM_POWER_STATUS status) {
    if (state().powerStatusFails) return FALSE;
    *status = state().powerStatus;
    return TRUE;
}

BOOL ReadConsoleA(HANDLE console, LPVOID, DWORD, LPDWORD read, LPVOID) {
    state().sessionCalls.push_back("ReadConsoleA");
    *read = 0;
    return console == GetStdHandle(STD_INPUT_HANDLE) && state().inputIsConsole;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
    FakeKernel32& fake = state();
    fake.sessionCalls.push_back(add ? "SetConsoleCtrlHandler(add)" : "SetConsoleCtrlHandler(remove)");
    std::vector<PHANDLER_ROUTINE>& handlers = fake.consoleHandlers;
    if (add) {
        handlers.insert(handlers.begin(), routine);
        return TRUE;
    }
    const auto found = std::find(handlers.begin(), handlers.end(), routine);
    if (found == handlers.end()) {
        lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    handlers.erase(found);
    return TRUE;
}

// ---- The listing's (kelvo-list): the drive letters ----

DWORD GetLogicalDrives(void) {
    DWORD letters = 0;
    for (const auto& drive : state().driveTypes) letters |= DWORD(1) << (drive.first - 'A');
    return letters;
}

UINT GetDriveTypeA(LPCSTR rootPath) {
    FakeKernel32& fake = state();
    fake.driveTypeRoots.push_back(rootPath);
    const std::string root = rootPath;
    const auto drive = fake.driveTypes.find(root.empty() ? '?' : root[0]);
    if (root.size() != 3 || root.substr(1) != ":\\" || drive == fake.driveTypes.end())
        return DRIVE_NO_ROOT_DIR;
    return drive->second;
}

// ---- end of the listing's ----

}  // extern "C"
