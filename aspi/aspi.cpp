#include "aspi.h"

#include <cstdlib>
#include <cstring>

#include "kernel32.h"
#include "win32_error.h"

// ASPI for Win32 is a 32-bit interface: on 32-bit builds the request block must be exactly
// the library's. Elsewhere the start-up refuses by its own check of where CDBByte lies.
static_assert(sizeof(void*) != 4 || sizeof(SrbExecScsiCmd) == 337, "request block size");
static_assert(sizeof(void*) != 4 || offsetof(SrbExecScsiCmd, CDBByte) == 48, "CDBByte offset");
static_assert(sizeof(void*) != 4 || offsetof(SrbExecScsiCmd, SenseArea) == 64,
              "SenseArea offset");

#ifdef _WIN32
#define ASPI_CALL __cdecl
#else
#define ASPI_CALL
#endif

typedef DWORD(ASPI_CALL* GetAspi32SupportInfoEntry)(void);
typedef DWORD(ASPI_CALL* SendAspi32CommandEntry)(void* srb);
typedef BOOL(WINAPI* SetDllDirectoryEntry)(LPCSTR directory);

namespace {

// SRB_HAInquiry in the published layout, padded to the size of the command block.
#pragma pack(push, 1)
struct SrbHaInquiry {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t HA_Count;
    uint8_t HA_SCSI_ID;
    uint8_t HA_ManagerId[16];
    uint8_t HA_Identifier[16];
    uint8_t HA_Unique[16];
    uint16_t HA_Rsvd1;
    uint8_t unused[277];
};
#pragma pack(pop)
static_assert(offsetof(SrbHaInquiry, HA_Unique) == 42, "HA_Unique offset");
static_assert(sizeof(SrbHaInquiry) == 337, "inquiry block size");

// SRB_GDEVBlock in the published layout, padded as the inquiry block is: a library that
// writes more than the published fields writes into the padding.
#pragma pack(push, 1)
struct SrbGetDeviceType {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint8_t SRB_DeviceType;
    uint8_t SRB_Rsvd1;
    uint8_t unused[325];
};
#pragma pack(pop)
static_assert(offsetof(SrbGetDeviceType, SRB_Target) == 8, "SRB_Target offset");
static_assert(offsetof(SrbGetDeviceType, SRB_DeviceType) == 10, "SRB_DeviceType offset");
static_assert(sizeof(SrbGetDeviceType) == 337, "device type block size");

const uint8_t SC_HA_INQUIRY = 0x00;
const uint8_t SC_GET_DEV_TYPE = 0x01;
const uint8_t SC_EXEC_SCSI_CMD = 0x02;

const uint8_t SRB_ENABLE_RESIDUAL_COUNT = 0x04;
const uint8_t SRB_DIR_IN = 0x08;
const uint8_t SRB_DIR_OUT = 0x10;
const uint8_t SRB_EVENT_NOTIFY = 0x40;

const uint8_t SS_PENDING = 0x00;
const uint8_t SS_COMP = 0x01;
const uint8_t SS_ERR = 0x04;
const uint8_t SS_INVALID_HA = 0x81;
const uint8_t SS_NO_DEVICE = 0x82;

const uint8_t HASTAT_OK = 0x00;
const uint8_t HASTAT_SEL_TO = 0x11;
const uint8_t HASTAT_DO_DU = 0x12;

const uint8_t STATUS_GOOD = 0x00;
const uint8_t STATUS_CHECK_CONDITION = 0x02;

const int32_t MAX_CDB_LENGTH = 16;
const int32_t MAX_SENSE_LENGTH = 255;
const int32_t MAX_ADDRESS_PART = 255;
const int32_t DEFAULT_TIMEOUT_MILLISECONDS = 100800000;
const int32_t MAX_MILLISECONDS = 2147483647;
const uint32_t LARGEST_UNREPORTED_TRANSFER = 0x10000;

// The adapter examination's answers before (or without) the adapter's own.
const int32_t DEFAULT_ALIGNMENT_MASK = 3;
const int32_t NARROW_HIGHEST_TARGET = 7;
const int32_t WIDE_HIGHEST_TARGET = 15;
const uint8_t WIDE_TARGET_COUNT = 16;
const int32_t HIGHEST_LUN = 7;

const size_t PUBLISHED_CDB_OFFSET = 48;

// The process-wide ASPI state, shared by every record: one library for the whole process.
int aspiStarted = 0;
const char* const aspiLibraryName = "WNASPI32.DLL";
HMODULE aspiModule = nullptr;
GetAspi32SupportInfoEntry aspiGetASPI32SupportInfo = nullptr;
SendAspi32CommandEntry aspiSendASPI32Command = nullptr;
FARPROC aspiGetASPI32Buffer = nullptr;
FARPROC aspiFreeASPI32Buffer = nullptr;
FARPROC aspiTranslateASPI32Address = nullptr;
int32_t aspiHighestHostAdapter = -1;
const size_t aspiCdbOffset = offsetof(SrbExecScsiCmd, CDBByte);

unsigned long asHex(uint32_t value) { return value; }

long asDecimal(uint32_t value) { return static_cast<int32_t>(value); }

template <typename Entry>
Entry entryPoint(FARPROC found) {
    return reinterpret_cast<Entry>(reinterpret_cast<void (*)(void)>(found));
}

// One number as "%d" reads it: blanks, a sign, at least one digit. A number too large for a
// long comes back as the largest one, never wrapped into the range of an address.
bool readNumber(const char** at, long* number) {
    char* end = nullptr;
    *number = strtol(*at, &end, 10);
    if (end == *at) return false;
    *at = end;
    return true;
}

// The rule of "%d.%d.%d%c" with exactly three conversions: three numbers joined by points
// and nothing, not even a blank, behind the third.
bool parseAddress(const char* name, long parts[3]) {
    const char* at = name;
    for (int i = 0; i < 3; ++i) {
        if (i > 0 && *at++ != '.') return false;
        if (!readNumber(&at, &parts[i])) return false;
    }
    return *at == '\0';
}

bool isAddressPart(long value) { return value >= 0 && value <= MAX_ADDRESS_PART; }

uint32_t littleEndian32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

// A WNASPI32.DLL planted in the current directory, next to a downloaded firmware file, must
// not be the one loaded: the current directory leaves the library search, while the
// application's folder and the system's folders, where ASPI installs put the library, stay.
// Windows without the call keeps its search as it is. False when the call refused.
bool leaveCurrentDirectoryOutOfSearch(FILE* trace) {
    HMODULE kernel32 = GetModuleHandleA("KERNEL32");
    if (kernel32 == nullptr) return true;
    SetDllDirectoryEntry setDllDirectory =
        entryPoint<SetDllDirectoryEntry>(GetProcAddress(kernel32, "SetDllDirectoryA"));
    if (setDllDirectory == nullptr || setDllDirectory("")) return true;
    sayLastError(trace, "// aspiStartup.SetDllDirectory");
    return false;
}

// A housekeeping request (SC_HA_INQUIRY, SC_GET_DEV_TYPE) is complete when the call returns:
// a returned value other than the block's status is said and the status judged; a status
// other than SS_COMP is said. True for SS_COMP.
bool housekeepingCompleted(Aspi* aspi, const char* function, DWORD returned, uint8_t status) {
    if (returned != status) {
        fprintf(aspi->trace, "// %s.SendASPI32Command = x%lX (%ld) != x%lX (%ld)\n", function,
                asHex(returned), asDecimal(returned), asHex(status), asDecimal(status));
    }
    if (status == SS_COMP) return true;
    fprintf(aspi->trace, "// %s.SRB_Status = x%lX (%ld)\n", function, asHex(status),
            asDecimal(status));
    return false;
}

void setAdapterDefaults(Aspi* aspi) {
    aspi->residualReporting = 0;
    aspi->maxTransferLength = -1;
    aspi->alignmentMask = DEFAULT_ALIGNMENT_MASK;
    aspi->highestHostAdapter = aspiHighestHostAdapter;
    aspi->highestTarget = NARROW_HIGHEST_TARGET;
    aspi->highestLun = HIGHEST_LUN;
}

void takeAdapterValues(Aspi* aspi, const uint8_t* unique) {
    const uint32_t maxTransfer = littleEndian32(unique + 4);
    aspi->maxTransferLength =
        maxTransfer > LARGEST_UNREPORTED_TRANSFER ? static_cast<int32_t>(maxTransfer) : -1;
    aspi->alignmentMask = unique[0] | unique[1] << 8;
    aspi->residualReporting = unique[2] == 1 ? 1 : 0;
    aspi->highestHostAdapter = aspiHighestHostAdapter;
    aspi->highestTarget = unique[3] == WIDE_TARGET_COUNT ? WIDE_HIGHEST_TARGET
                                                         : NARROW_HIGHEST_TARGET;
    aspi->highestLun = HIGHEST_LUN;
}

// Nothing is known of a command until the library has answered it.
void resetResult(Aspi* aspi) {
    aspi->lastResult = -1;
    aspi->lastTransferLength = -1;
    aspi->sense = nullptr;
    aspi->senseLength = -1;
    aspi->lastEnding = {-1, 0, false, false};
}

bool fillRequestBlock(Aspi* aspi, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                      int32_t dataLength, int32_t direction) {
    if (cdb != nullptr ? cdbLength < 0 : cdbLength != 0) return false;
    if (cdbLength > MAX_CDB_LENGTH) return false;
    if (data == nullptr && dataLength != 0) return false;
    // The library would take a negative length as a buffer of some 4 GB.
    if (dataLength < 0) return false;
    if (aspi->senseLimit < 0 || aspi->senseLimit > MAX_SENSE_LENGTH) return false;

    SrbExecScsiCmd* srb = &aspi->srb;
    memset(srb, 0, sizeof *srb);
    srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
    if (cdbLength > 0) memcpy(srb->CDBByte, cdb, static_cast<size_t>(cdbLength));
    srb->SRB_CDBLen = static_cast<uint8_t>(cdbLength);
    srb->SRB_BufLen = static_cast<uint32_t>(dataLength);
    if (direction == 1 || direction == 2) {
        srb->SRB_Flags = direction == 1 ? SRB_DIR_IN : SRB_DIR_OUT;
        srb->SRB_BufPointer = data;
    }
    if (aspi->residualReporting != 0) srb->SRB_Flags |= SRB_ENABLE_RESIDUAL_COUNT;
    srb->SRB_SenseLen = static_cast<uint8_t>(aspi->senseLimit);
    return true;
}

// The library writes the status from its own thread when the command completes later.
uint8_t currentStatus(const Aspi* aspi) {
    return __atomic_load_n(&aspi->srb.SRB_Status, __ATOMIC_ACQUIRE);
}

void closeCompletionEvent(Aspi* aspi, HANDLE event) {
    if (CloseHandle(event)) return;
    sayLastError(aspi->trace, "// aspiSayForMilliSeconds.CloseHandle");
    fprintf(aspi->trace, "// aspiSayForMilliSeconds.CloseHandle = x%lX (%ld)\n", 0UL, 0L);
}

// A library that has already finished may return a pending 0 with a final status.
void traceDifferingStatus(Aspi* aspi, DWORD returned, uint8_t status) {
    if (returned == status || returned == SS_PENDING) return;
    fprintf(aspi->trace,
            "// aspiSayForMilliSeconds.SendASPI32Command = x%lX (%ld) != x%lX (%ld)\n",
            asHex(returned), asDecimal(returned), asHex(status), asDecimal(status));
}

int waitForCompletion(Aspi* aspi, HANDLE event, int32_t milliseconds) {
    const DWORD waited = WaitForSingleObject(event, static_cast<DWORD>(milliseconds));
    if (waited == WAIT_OBJECT_0) return 0;
    aspi->lastEnding.timedOut = waited == WAIT_TIMEOUT;
    if (waited == WAIT_FAILED) {
        aspi->lastEnding.systemError = GetLastError();
        sayLastError(aspi->trace, "// aspiSayForMilliSeconds.WaitForSingleObject");
    }
    fprintf(aspi->trace, "// aspiSayForMilliSeconds.WaitForSingleObject = x%lX (%ld)\n",
            asHex(waited), asDecimal(waited));
    return -1;
}

// What the block says of the command, as aspiSay reads it back.
struct Completion {
    uint8_t status;
    uint8_t haStat;
    uint8_t targStat;
    int32_t residual;
    int32_t senseLength;
    bool residualReporting;
};

// A data overrun or underrun with no residual count to go by (none asked for, or SRB_BufLen
// left as it was sent) counts as a whole transfer; a selection time-out that still carries a
// CHECK CONDITION counts as that CHECK CONDITION.
void normalizeCompletion(Completion* done, int32_t dataLength) {
    if (done->status == SS_COMP) {
        done->haStat = HASTAT_OK;
        done->targStat = STATUS_GOOD;
    } else if (done->status == SS_ERR && done->haStat == HASTAT_DO_DU) {
        done->haStat = HASTAT_OK;
        if (!done->residualReporting || done->residual == dataLength) {
            done->residual = 0;
            done->residualReporting = true;
        }
    } else if (done->status == SS_ERR && done->haStat == HASTAT_SEL_TO &&
               done->targStat == STATUS_CHECK_CONDITION) {
        done->haStat = HASTAT_OK;
    }
}

bool isCheckCondition(const Completion& done) {
    return done.status == SS_ERR && done.haStat == HASTAT_OK &&
           done.targStat == STATUS_CHECK_CONDITION;
}

int32_t residueResult(Aspi* aspi, const Completion& done, int32_t dataLength) {
    if (!done.residualReporting) return 0;
    if (done.residual < 0 || done.residual > dataLength) return -1;
    aspi->lastTransferLength = dataLength - done.residual;
    return done.residual;
}

int32_t checkConditionResult(Aspi* aspi, int32_t result, const Completion& done,
                             int32_t senseLimit) {
    if (result > 0) result = -256;
    result = -((-result) | 2);
    if (done.senseLength > senseLimit) return -1;
    aspi->sense = aspi->srb.SenseArea;
    aspi->senseLength = done.senseLength;
    return result;
}

// Whether the drive answered, and with which status, or nothing answered at the address.
void noteEnding(Aspi* aspi, const Completion& done) {
    if (done.status == SS_COMP || (done.status == SS_ERR && done.haStat == HASTAT_OK))
        aspi->lastEnding.status = done.targStat;
    else if (done.status == SS_NO_DEVICE || done.status == SS_INVALID_HA ||
             done.haStat == HASTAT_SEL_TO)
        aspi->lastEnding.noDevice = true;
}

void traceFailedCommand(Aspi* aspi, int waited) {
    const SrbExecScsiCmd& srb = aspi->srb;
    fprintf(aspi->trace,
            "// aspiSay: x %lX %02lX:%02lX:%02lX %lX %lX (aspi status BufLen SenseLen)\n",
            asHex(static_cast<uint32_t>(waited)), asHex(srb.SRB_Status), asHex(srb.SRB_HaStat),
            asHex(srb.SRB_TargStat), asHex(srb.SRB_BufLen), asHex(srb.SRB_SenseLen));
}

}  // namespace

Aspi* newAspi(void) {
    Aspi* aspi = static_cast<Aspi*>(calloc(1, sizeof(Aspi)));
    if (aspi == nullptr) return nullptr;
    aspi->trace = stderr;
    aspi->lun = -1;
    aspi->residualReporting = -1;
    aspi->maxTransferLength = -1;
    aspi->alignmentMask = -1;
    aspi->highestHostAdapter = -1;
    aspi->highestTarget = -1;
    aspi->highestLun = -1;
    aspi->senseLimit = -1;
    aspi->timeoutMilliseconds = -1;
    aspi->lastResult = -1;
    aspi->lastTransferLength = -1;
    aspi->sense = nullptr;
    aspi->senseLength = -1;
    aspi->lastEnding = {-1, 0, false, false};
    return aspi;
}

int aspiOpen(Aspi* aspi, const char* name) {
    if (aspi == nullptr || name == nullptr) return -1;
    long address[3];
    if (!parseAddress(name, address)) return -1;
    if (!isAddressPart(address[0]) || !isAddressPart(address[1]) || !isAddressPart(address[2]))
        return -1;
    aspi->hostAdapter = static_cast<int32_t>(address[0]);
    aspi->target = static_cast<int32_t>(address[1]);
    aspi->lun = static_cast<int32_t>(address[2]);
    if (aspiStartup(aspi) < 0) return -1;
    aspiExamine(aspi, aspi->hostAdapter);
    return 0;
}

int aspiStartup(Aspi* aspi) {
    if (aspi == nullptr) return -1;
    if (aspiStarted != 0) return aspiStarted;
    aspiStarted = -1;
    FILE* trace = aspi->trace;
    if (aspiCdbOffset != PUBLISHED_CDB_OFFSET) {
        fprintf(trace, "// aspiStartup: %s\n", NO_ASPI_HERE);
        return -1;
    }
    if (!leaveCurrentDirectoryOutOfSearch(trace)) return -1;
    aspiModule = LoadLibraryA(aspiLibraryName);
    if (aspiModule == nullptr) {
        sayLastError(trace, "// aspiStartup.LoadLibrary");
        fprintf(trace, "// \"%s\" was the \"specified module\"\n", aspiLibraryName);
        return -1;
    }
    aspiGetASPI32SupportInfo = entryPoint<GetAspi32SupportInfoEntry>(
        GetProcAddress(aspiModule, "GetASPI32SupportInfo"));
    if (aspiGetASPI32SupportInfo == nullptr) {
        sayLastError(trace, "// aspiStartup.GetProcAddress.GetASPI32SupportInfo");
        return -1;
    }
    aspiSendASPI32Command =
        entryPoint<SendAspi32CommandEntry>(GetProcAddress(aspiModule, "SendASPI32Command"));
    if (aspiSendASPI32Command == nullptr) {
        sayLastError(trace, "// aspiStartup.GetProcAddress.SendASPI32Command");
        return -1;
    }
    aspiGetASPI32Buffer = GetProcAddress(aspiModule, "GetASPI32Buffer");
    aspiFreeASPI32Buffer = GetProcAddress(aspiModule, "FreeASPI32Buffer");
    aspiTranslateASPI32Address = GetProcAddress(aspiModule, "TranslateASPI32Address");

    const DWORD support = aspiGetASPI32SupportInfo();
    if (((support >> 8) & 0xFF) != SS_COMP) {
        fprintf(trace, "// aspiStartup.GetASPI32SupportInfo = x%lX (%ld)\n", asHex(support),
                asDecimal(support));
        return -1;
    }
    aspiHighestHostAdapter = static_cast<int32_t>(support & 0xFF) - 1;
    aspiStarted = 1;
    return 0;
}

int aspiExamine(Aspi* aspi, int32_t hostAdapter) {
    if (aspi == nullptr || !isAddressPart(hostAdapter)) return -1;
    setAdapterDefaults(aspi);
    if (aspiStartup(aspi) < 0) return -1;

    SrbHaInquiry inquiry;
    memset(&inquiry, 0, sizeof inquiry);
    inquiry.SRB_Cmd = SC_HA_INQUIRY;
    inquiry.SRB_HaId = static_cast<uint8_t>(hostAdapter);
    const DWORD returned = aspiSendASPI32Command(&inquiry);
    if (!housekeepingCompleted(aspi, "aspiExamine", returned, inquiry.SRB_Status)) return -1;
    takeAdapterValues(aspi, inquiry.HA_Unique);
    return 0;
}

int32_t aspiAdapterCount(Aspi* aspi) {
    if (aspi == nullptr) return -1;
    if (aspiStartup(aspi) < 0) return aspiModule == nullptr ? ASPI_NO_LIBRARY : -1;
    return aspiHighestHostAdapter + 1;
}

int32_t aspiGetDeviceType(Aspi* aspi, int32_t hostAdapter, int32_t target, int32_t lun) {
    if (aspi == nullptr || !isAddressPart(hostAdapter) || !isAddressPart(target) ||
        !isAddressPart(lun))
        return -1;
    if (aspiStartup(aspi) < 0) return -1;
    SrbGetDeviceType request;
    memset(&request, 0, sizeof request);
    request.SRB_Cmd = SC_GET_DEV_TYPE;
    request.SRB_HaId = static_cast<uint8_t>(hostAdapter);
    request.SRB_Target = static_cast<uint8_t>(target);
    request.SRB_Lun = static_cast<uint8_t>(lun);
    const DWORD returned = aspiSendASPI32Command(&request);
    // No device at an address is the common answer of a walk over the bus, not a failure.
    if (request.SRB_Status == SS_NO_DEVICE) return ASPI_NO_DEVICE;
    if (!housekeepingCompleted(aspi, "aspiGetDeviceType", returned, request.SRB_Status))
        return -1;
    return request.SRB_DeviceType;
}

int aspiSetSenseLength(Aspi* aspi, int32_t length) {
    if (aspi == nullptr || length < 0 || length > MAX_SENSE_LENGTH) return -1;
    aspi->senseLimit = length;
    return 0;
}

int aspiSetTimeout(Aspi* aspi, int32_t seconds, int32_t nanoseconds) {
    if (aspi == nullptr) return -1;
    if (seconds < 0 || nanoseconds < 0 || nanoseconds >= 1000000000) {
        aspi->timeoutMilliseconds = DEFAULT_TIMEOUT_MILLISECONDS;
        return 0;
    }
    const int32_t partMilliseconds = (nanoseconds + 999999) / 1000000;
    if (seconds > (MAX_MILLISECONDS - partMilliseconds) / 1000) {
        aspi->timeoutMilliseconds = DEFAULT_TIMEOUT_MILLISECONDS;
        return 0;
    }
    const int32_t milliseconds = seconds * 1000 + partMilliseconds;
    if (milliseconds == 0) return -1;
    aspi->timeoutMilliseconds = milliseconds;
    return 0;
}

int aspiSayForMilliSeconds(Aspi* aspi, int32_t milliseconds) {
    if (aspi == nullptr || milliseconds < 0) return -1;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        sayLastError(aspi->trace, "// aspiSayForMilliSeconds.CreateEvent");
        return -1;
    }
    SrbExecScsiCmd* srb = &aspi->srb;
    srb->SRB_HaId = static_cast<uint8_t>(aspi->hostAdapter);
    srb->SRB_Target = static_cast<uint8_t>(aspi->target);
    srb->SRB_Lun = static_cast<uint8_t>(aspi->lun);
    // A record that was never opened has no address to send to, and without a started
    // library there is nothing to send with.
    if (!isAddressPart(aspi->hostAdapter) || !isAddressPart(aspi->target) ||
        !isAddressPart(aspi->lun) || aspiStarted != 1) {
        closeCompletionEvent(aspi, event);
        return -1;
    }
    srb->SRB_Flags |= SRB_EVENT_NOTIFY;
    srb->SRB_PostProc = event;

    const DWORD returned = aspiSendASPI32Command(srb);
    traceDifferingStatus(aspi, returned, currentStatus(aspi));
    // A block left pending with anything but SS_PENDING returned was not taken (a library may
    // refuse every request so): nothing will ever signal its event.
    int result = 0;
    if (currentStatus(aspi) == SS_PENDING)
        result = returned == SS_PENDING ? waitForCompletion(aspi, event, milliseconds) : -1;
    closeCompletionEvent(aspi, event);
    return result;
}

int32_t aspiSay(Aspi* aspi, const uint8_t* cdb, int32_t cdbLength, uint8_t* data,
                int32_t dataLength, int32_t direction) {
    if (aspi == nullptr) return -1;
    const bool residualReporting = aspi->residualReporting != 0;
    const int32_t senseLimit = aspi->senseLimit;
    resetResult(aspi);
    if (!fillRequestBlock(aspi, cdb, cdbLength, data, dataLength, direction)) return -1;
    if (aspi->timeoutMilliseconds < 0) return -1;

    const int waited = aspiSayForMilliSeconds(aspi, aspi->timeoutMilliseconds);
    const SrbExecScsiCmd& srb = aspi->srb;
    Completion done = {srb.SRB_Status, srb.SRB_HaStat, srb.SRB_TargStat,
                       static_cast<int32_t>(srb.SRB_BufLen), srb.SRB_SenseLen, residualReporting};
    int32_t result = -1;
    if (waited == 0) {
        normalizeCompletion(&done, dataLength);
        noteEnding(aspi, done);
        if (done.status == SS_COMP) {
            result = residueResult(aspi, done, dataLength);
        } else if (isCheckCondition(done)) {
            result = residueResult(aspi, done, dataLength);
            result = checkConditionResult(aspi, result, done, senseLimit);
        }
    }
    aspi->lastResult = result;
    if (result == -1) traceFailedCommand(aspi, waited);
    return result;
}
