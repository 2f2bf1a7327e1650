// The slice of the Win32 API that the backends use: Windows' own, elsewhere the same names
// served by a stand-in chosen when linking, so that the backends compile unchanged.
#pragma once

#ifdef _WIN32

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

// Why a program whose request blocks are not ASPI's 32-bit ones has no ASPI.
inline constexpr char NO_ASPI_HERE[] = "ASPI for Win32 serves 32-bit programs only";

#else

#include <cstddef>
#include <cstdint>

// Why a program whose request blocks are not ASPI's 32-bit ones has no ASPI.
inline constexpr char NO_ASPI_HERE[] = "there is no ASPI for Win32 on Linux";

typedef uint8_t UCHAR;
typedef uint8_t BYTE;
typedef uint8_t BOOLEAN;
typedef uint16_t USHORT;
typedef uint16_t WORD;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef uintptr_t ULONG_PTR;
typedef void* PVOID;
typedef void* LPVOID;
typedef void* HANDLE;
typedef void* HMODULE;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef DWORD* LPDWORD;
typedef void* LPSECURITY_ATTRIBUTES;
typedef void* LPOVERLAPPED;
typedef int (*FARPROC)();

#define WINAPI
#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define SYNCHRONIZE 0x00100000UL
#define FILE_SHARE_READ 0x00000001UL
#define FILE_SHARE_WRITE 0x00000002UL
#define OPEN_EXISTING 3UL

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200UL
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000UL

#define ERROR_SUCCESS 0UL
#define ERROR_INVALID_FUNCTION 1UL
#define ERROR_FILE_NOT_FOUND 2UL
#define ERROR_PATH_NOT_FOUND 3UL
#define ERROR_TOO_MANY_OPEN_FILES 4UL
#define ERROR_ACCESS_DENIED 5UL
#define ERROR_INVALID_HANDLE 6UL
#define ERROR_NOT_ENOUGH_MEMORY 8UL
#define ERROR_GEN_FAILURE 31UL
#define ERROR_SHARING_VIOLATION 32UL
#define ERROR_NOT_SUPPORTED 50UL
#define ERROR_INVALID_PARAMETER 87UL
#define ERROR_INSUFFICIENT_BUFFER 122UL
#define ERROR_MOD_NOT_FOUND 126UL
#define ERROR_PROC_NOT_FOUND 127UL
#define ERROR_FILENAME_EXCED_RANGE 206UL
#define ERROR_MR_MID_NOT_FOUND 317UL
#define ERROR_IO_DEVICE 1117UL

// Codes the Linux pass-through gives for what the kernel reports about a command.
#define ERROR_NOT_READY 21UL
#define ERROR_CRC 23UL
#define ERROR_DEV_NOT_EXIST 55UL
#define ERROR_SEM_TIMEOUT 121UL
#define ERROR_BUSY 170UL
#define ERROR_OPERATION_ABORTED 995UL
#define ERROR_NOACCESS 998UL
#define ERROR_BUS_RESET 1111UL

#define INFINITE 0xFFFFFFFFUL
#define WAIT_OBJECT_0 0x00000000UL
#define WAIT_TIMEOUT 0x00000102UL
#define WAIT_FAILED 0xFFFFFFFFUL

#define IOCTL_SCSI_GET_CAPABILITIES 0x00041010UL
#define IOCTL_SCSI_PASS_THROUGH 0x0004D004UL
#define IOCTL_SCSI_PASS_THROUGH_DIRECT 0x0004D014UL

#define SCSI_IOCTL_DATA_OUT 0
#define SCSI_IOCTL_DATA_IN 1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2

// The console's control events, and what keeps the system from sleeping.
#define CTRL_C_EVENT 0UL
#define CTRL_BREAK_EVENT 1UL
#define CTRL_CLOSE_EVENT 2UL
#define CTRL_LOGOFF_EVENT 5UL
#define CTRL_SHUTDOWN_EVENT 6UL
typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD controlType);

typedef DWORD EXECUTION_STATE;
#define ES_SYSTEM_REQUIRED 0x00000001UL
#define ES_CONTINUOUS 0x80000000UL

typedef struct _SCSI_PASS_THROUGH {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    ULONG_PTR DataBufferOffset;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH;

typedef struct _SCSI_PASS_THROUGH_DIRECT {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH_DIRECT;

typedef struct _IO_SCSI_CAPABILITIES {
    ULONG Length;
    ULONG MaximumTransferLength;
    ULONG MaximumPhysicalPages;
    ULONG SupportedAsynchronousEvents;
    ULONG AlignmentMask;
    BOOLEAN TaggedQueuing;
    BOOLEAN AdapterScansDown;
    BOOLEAN AdapterUsesPio;
} IO_SCSI_CAPABILITIES;

extern "C" {

DWORD GetLastError(void);
void SetLastError(DWORD code);
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     LPSTR buffer, DWORD size, void* arguments);

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creation, DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID in, DWORD inSize, LPVOID out,
                     DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped);

HMODULE LoadLibraryA(LPCSTR name);
HMODULE GetModuleHandleA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
void Sleep(DWORD milliseconds);

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add);

}  // extern "C"

// ---- The machine's update lock: named objects of the system's global namespace. Only the
// tests' fake implements them here; the POSIX programs take Linux's own lock instead. ----

#define ERROR_ALREADY_EXISTS 183UL
#define WAIT_ABANDONED 0x00000080UL
#define PAGE_READWRITE 0x04UL
#define FILE_MAP_WRITE 0x0002UL
#define FILE_MAP_READ 0x0004UL

extern "C" {

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);
HANDLE OpenMutexA(DWORD access, BOOL inherit, LPCSTR name);
HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protection,
                          DWORD sizeHigh, DWORD sizeLow, LPCSTR name);
HANDLE OpenFileMappingA(DWORD access, BOOL inherit, LPCSTR name);
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                     size_t bytes);
BOOL UnmapViewOfFile(const void* view);
DWORD GetCurrentProcessId(void);

}  // extern "C"

// ---- end of the update lock's calls ----

// ---- The listing's calls (kelvo-list): the drive letters and what each is. Only the tests'
// fake implements them here; the POSIX programs list Linux's own nodes instead. ----

typedef unsigned int UINT;

#define DRIVE_UNKNOWN 0U
#define DRIVE_NO_ROOT_DIR 1U
#define DRIVE_REMOVABLE 2U
#define DRIVE_FIXED 3U
#define DRIVE_REMOTE 4U
#define DRIVE_CDROM 5U
#define DRIVE_RAMDISK 6U

extern "C" {

DWORD GetLogicalDrives(void);
UINT GetDriveTypeA(LPCSTR rootPath);

}  // extern "C"

// ---- end of the listing's calls ----

// ---- The tool's own (progress on a console, a console of its own, the machine's power): only
// the tests' fake implements them here. ----

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define ERROR_LOCK_VIOLATION 33UL

extern "C" {

HANDLE GetStdHandle(DWORD which);
BOOL GetConsoleMode(HANDLE console, LPDWORD mode);
BOOL ReadConsoleA(HANDLE console, LPVOID buffer, DWORD toRead, LPDWORD read, LPVOID control);

}  // extern "C"

// What the system knows of the machine's power.
typedef struct _SYSTEM_POWER_STATUS {
    BYTE ACLineStatus;        // 0 offline, 1 online, 255 unknown
    BYTE BatteryFlag;         // 128 no battery, 255 unknown, else charge bits
    BYTE BatteryLifePercent;  // 0 to 100, 255 unknown
    BYTE SystemStatusFlag;
    DWORD BatteryLifeTime;
    DWORD BatteryFullLifeTime;
} SYSTEM_POWER_STATUS, *LPSYSTEM_POWER_STATUS;

extern "C" {

BOOL GetSystemPowerStatus(LPSYSTEM_POWER_STATUS status);

}  // extern "C"

#endif
