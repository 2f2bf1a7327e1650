// The library's one start per process, opening an address, and the device's settings.
#include "aspi.h"

#include <cstdlib>
#include <cstring>

#include "kernel32.h"
#include "library.h"
#include "win32_error.h"

typedef DWORD (*GetAspi32SupportInfoEntry)(void);
typedef BOOL(WINAPI* SetDllDirectoryEntry)(LPCSTR directory);

int aspiStarted = 0;
HMODULE aspiModule = nullptr;
SendAspi32CommandEntry aspiSendASPI32Command = nullptr;
int32_t aspiHighestHostAdapter = -1;

namespace {

// SRB_HAInquiry in the published layout, padded to the size of the command block.
#pragma pack(push, 1)
struct SrbHaInquiry {
    SrbHeader header;
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

const uint8_t SC_HA_INQUIRY = 0x00;

const int32_t DEFAULT_TIMEOUT_MILLISECONDS = SCSI_DEFAULT_TIMEOUT_SECONDS * 1000;
const int32_t MAX_MILLISECONDS = 2147483647;
const uint32_t LARGEST_UNREPORTED_TRANSFER = 0x10000;

// The adapter examination's answers before (or without) the adapter's own.
const int32_t DEFAULT_ALIGNMENT_MASK = 3;
const int32_t NARROW_HIGHEST_TARGET = 7;
const int32_t WIDE_HIGHEST_TARGET = 15;
const uint8_t WIDE_TARGET_COUNT = 16;

const size_t PUBLISHED_CDB_OFFSET = 48;

const char* const aspiLibraryName = "WNASPI32.DLL";
GetAspi32SupportInfoEntry aspiGetASPI32SupportInfo = nullptr;
FARPROC aspiGetASPI32Buffer = nullptr;
FARPROC aspiFreeASPI32Buffer = nullptr;
FARPROC aspiTranslateASPI32Address = nullptr;
const size_t aspiCdbOffset = offsetof(SrbExecScsiCmd, CDBByte);

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

// The parts of an ASPI address, each from 0 to 255.
bool readAddress(const char* name, long parts[3]) {
    return parseAddress(name, parts) && isAddressPart(parts[0]) && isAddressPart(parts[1]) &&
           isAddressPart(parts[2]);
}

uint32_t littleEndian32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

// Takes the current directory out of the library search, so that a WNASPI32.DLL planted next to
// a downloaded firmware file is never loaded. False when the call (where it exists) refused.
bool leaveCurrentDirectoryOutOfSearch(Aspi* aspi) {
    HMODULE kernel32 = GetModuleHandleA("KERNEL32");
    if (kernel32 == nullptr) return true;
    SetDllDirectoryEntry setDllDirectory =
        entryPoint<SetDllDirectoryEntry>(GetProcAddress(kernel32, "SetDllDirectoryA"));
    if (setDllDirectory == nullptr || setDllDirectory("")) return true;
    sayLastError(aspi->trace, "// aspiStartup.SetDllDirectory", &aspi->lastTrace);
    return false;
}

void setAdapterDefaults(Aspi* aspi) {
    aspi->residualReporting = 0;
    aspi->maxTransferLength = -1;
    aspi->alignmentMask = DEFAULT_ALIGNMENT_MASK;
    aspi->highestHostAdapter = aspiHighestHostAdapter;
    aspi->highestTarget = NARROW_HIGHEST_TARGET;
    aspi->highestLun = SCSI_ASPI_HIGHEST_LUN;
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
    aspi->highestLun = SCSI_ASPI_HIGHEST_LUN;
}

}  // namespace

bool aspiNamesAddress(const char* name) {
    long address[3];
    return name != nullptr && readAddress(name, address);
}

int32_t aspiStartState(void) {
    if (aspiStarted == -1 && aspiModule == nullptr) return ASPI_NO_LIBRARY;
    return aspiStarted;
}

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
    aspi->lastEnding = SCSI_NOT_SENT;
    traceForget(&aspi->lastTrace);
    return aspi;
}

int aspiOpen(Aspi* aspi, const char* name) {
    if (aspi == nullptr || name == nullptr) return -1;
    traceForget(&aspi->lastTrace);
    long address[3];
    if (!readAddress(name, address)) return -1;
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
    TraceKept* kept = &aspi->lastTrace;
    if (aspiCdbOffset != PUBLISHED_CDB_OFFSET) {
        traceWrite(trace, kept, "// aspiStartup: %s\n", NO_ASPI_HERE);
        return -1;
    }
    if (!leaveCurrentDirectoryOutOfSearch(aspi)) return -1;
    aspiModule = LoadLibraryA(aspiLibraryName);
    if (aspiModule == nullptr) {
        sayLastError(trace, "// aspiStartup.LoadLibrary", kept);
        traceWrite(trace, kept, "// \"%s\" was the \"specified module\"\n", aspiLibraryName);
        return -1;
    }
    aspiGetASPI32SupportInfo = entryPoint<GetAspi32SupportInfoEntry>(
        GetProcAddress(aspiModule, "GetASPI32SupportInfo"));
    if (aspiGetASPI32SupportInfo == nullptr) {
        sayLastError(trace, "// aspiStartup.GetProcAddress.GetASPI32SupportInfo", kept);
        return -1;
    }
    aspiSendASPI32Command =
        entryPoint<SendAspi32CommandEntry>(GetProcAddress(aspiModule, "SendASPI32Command"));
    if (aspiSendASPI32Command == nullptr) {
        sayLastError(trace, "// aspiStartup.GetProcAddress.SendASPI32Command", kept);
        return -1;
    }
    aspiGetASPI32Buffer = GetProcAddress(aspiModule, "GetASPI32Buffer");
    aspiFreeASPI32Buffer = GetProcAddress(aspiModule, "FreeASPI32Buffer");
    aspiTranslateASPI32Address = GetProcAddress(aspiModule, "TranslateASPI32Address");

    const DWORD support = aspiGetASPI32SupportInfo();
    if (((support >> 8) & 0xFF) != SS_COMP) {
        traceWrite(trace, kept, "// aspiStartup.GetASPI32SupportInfo = x%lX (%ld)\n",
                   asHex(support), asDecimal(support));
        return -1;
    }
    aspiHighestHostAdapter = static_cast<int32_t>(support & 0xFF) - 1;
    aspiStarted = 1;
    return 0;
}

int aspiExamine(Aspi* aspi, int32_t hostAdapter) {
    if (aspi == nullptr || !isAddressPart(hostAdapter)) return -1;
    traceForget(&aspi->lastTrace);
    setAdapterDefaults(aspi);
    if (aspiStartup(aspi) < 0) return -1;

    SrbHaInquiry inquiry;
    memset(&inquiry, 0, sizeof inquiry);
    inquiry.header.SRB_Cmd = SC_HA_INQUIRY;
    inquiry.header.SRB_HaId = static_cast<uint8_t>(hostAdapter);
    const DWORD returned = aspiSendASPI32Command(&inquiry);
    if (!housekeepingCompleted(aspi, "aspiExamine", returned, inquiry.header.SRB_Status))
        return -1;
    takeAdapterValues(aspi, inquiry.HA_Unique);
    return 0;
}

int aspiSetSenseLength(Aspi* aspi, int32_t length) {
    if (aspi == nullptr || length < 0 || length > SCSI_MAX_SENSE_LENGTH) return -1;
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
