// kernel32 for POSIX hosts, behaving like Windows wherever the caller can tell. A handle knows
// its kind and is never freed, so a wrong or closed one fails with ERROR_INVALID_HANDLE.
// DeviceIoControl is in a file per host kernel: linux_pass_through.cpp on Linux.
#include "kernel32.h"
#include "posix_handle.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

enum ObjectKind { FILE_OBJECT = 0x46494c45, EVENT_OBJECT = 0x45564e54 };

struct StandInObject {
    int kind;  // an ObjectKind while open, 0 once closed; read by other threads
    int fd;
    pthread_mutex_t lock;
    pthread_cond_t signalled;
    bool isSet;
};

struct SystemText {
    DWORD code;
    const char* text;
};

const SystemText systemTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     "Not enough memory resources are available to process this command.\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\n"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process.\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\n"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\n"},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.\n"},
    {ERROR_NOT_READY, "The device is not ready.\n"},
    {ERROR_CRC, "Data error (cyclic redundancy check).\n"},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available.\n"},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired.\n"},
    {ERROR_BUSY, "The requested resource is in use.\n"},
    {ERROR_OPERATION_ABORTED, "The I/O operation has been aborted because of either a thread "
                              "exit or an application request.\n"},
    {ERROR_NOACCESS, "Invalid access to memory location.\n"},
    {ERROR_BUS_RESET, "The I/O bus was reset.\n"},
};

DWORD win32CodeForErrno(int error) {
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: case EISDIR: case EROFS: return ERROR_ACCESS_DENIED;
    case EMFILE: case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY: case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EIO: return ERROR_IO_DEVICE;
    default: return ERROR_GEN_FAILURE;
    }
}

StandInObject* objectOf(HANDLE handle, ObjectKind kind) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    StandInObject* object = static_cast<StandInObject*>(handle);
    return __atomic_load_n(&object->kind, __ATOMIC_ACQUIRE) == kind ? object : nullptr;
}

bool isObject(HANDLE handle) {
    return objectOf(handle, FILE_OBJECT) != nullptr || objectOf(handle, EVENT_OBJECT) != nullptr;
}

int openFlagsFor(DWORD access) {
    const bool reads = (access & GENERIC_READ) != 0;
    const bool writes = (access & GENERIC_WRITE) != 0;
    if (reads && writes) return O_RDWR;
    return writes ? O_WRONLY : O_RDONLY;
}

// Deadline for a wait of the given milliseconds on the clock the condition variable uses.
timespec deadlineAfter(DWORD milliseconds) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

}  // namespace

int standInDescriptor(HANDLE handle) {
    const StandInObject* object = objectOf(handle, FILE_OBJECT);
    return object != nullptr ? object->fd : -1;
}

extern "C" {

DWORD GetLastError(void) { return lastError; }

void SetLastError(DWORD code) { lastError = code; }

DWORD FormatMessageA(DWORD flags, const void*, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                     void*) {
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    for (const SystemText& known : systemTexts) {
        if (known.code != messageId) continue;
        const size_t length = strlen(known.text);
        if (length >= size) {
            lastError = ERROR_INSUFFICIENT_BUFFER;
            return 0;
        }
        memcpy(buffer, known.text, length + 1);
        return static_cast<DWORD>(length);
    }
    lastError = ERROR_MR_MID_NOT_FOUND;
    return 0;
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD creation,
                   DWORD, HANDLE) {
    if (name == nullptr || creation != OPEN_EXISTING) {
        lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    StandInObject* object = new (std::nothrow) StandInObject();
    if (object == nullptr) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return INVALID_HANDLE_VALUE;
    }
    // Non-blocking, so that an optical drive opens with no disc in it: the commands that
    // follow are each waited for whatever the flag says (linuxDeviceCommand).
    object->fd = open(name, openFlagsFor(access) | O_NONBLOCK | O_CLOEXEC);
    if (object->fd < 0) {
        lastError = win32CodeForErrno(errno);
        delete object;
        return INVALID_HANDLE_VALUE;
    }
    __atomic_store_n(&object->kind, int(FILE_OBJECT), __ATOMIC_RELEASE);
    lastError = ERROR_SUCCESS;
    return object;
}

BOOL CloseHandle(HANDLE handle) {
    if (!isObject(handle)) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    StandInObject* object = static_cast<StandInObject*>(handle);
    if (object->kind == FILE_OBJECT) close(object->fd);
    __atomic_store_n(&object->kind, 0, __ATOMIC_RELEASE);
    return TRUE;
}

HMODULE LoadLibraryA(LPCSTR name) {
    void* module = name ? dlopen(name, RTLD_NOW | RTLD_GLOBAL) : nullptr;
    lastError = module ? ERROR_SUCCESS : ERROR_MOD_NOT_FOUND;
    return module;
}

// The host's loader keeps no module of that name, and so offers no search to change.
HMODULE GetModuleHandleA(LPCSTR) {
    lastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    void* symbol = (module && name) ? dlsym(module, name) : nullptr;
    lastError = symbol ? ERROR_SUCCESS : ERROR_PROC_NOT_FOUND;
    FARPROC entry = nullptr;
    static_assert(sizeof entry == sizeof symbol, "entry points are data pointers here");
    memcpy(&entry, &symbol, sizeof entry);
    return entry;
}

// Auto-reset events only: the backends never ask for a manual-reset one.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    if (manualReset) {
        lastError = ERROR_NOT_SUPPORTED;
        return nullptr;
    }
    StandInObject* object = new (std::nothrow) StandInObject();
    if (object == nullptr) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&object->signalled, &attributes);
    pthread_condattr_destroy(&attributes);
    pthread_mutex_init(&object->lock, nullptr);
    object->isSet = initialState != FALSE;
    object->fd = -1;
    __atomic_store_n(&object->kind, int(EVENT_OBJECT), __ATOMIC_RELEASE);
    lastError = ERROR_SUCCESS;
    return object;
}

BOOL SetEvent(HANDLE event) {
    StandInObject* object = objectOf(event, EVENT_OBJECT);
    if (object == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    pthread_mutex_lock(&object->lock);
    object->isSet = true;
    pthread_cond_signal(&object->signalled);
    pthread_mutex_unlock(&object->lock);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    StandInObject* object = objectOf(handle, EVENT_OBJECT);
    if (object == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    const timespec deadline = deadlineAfter(milliseconds);
    pthread_mutex_lock(&object->lock);
    int waited = 0;
    while (!object->isSet && waited == 0) {
        waited = pthread_cond_timedwait(&object->signalled, &object->lock, &deadline);
    }
    const bool signalled = object->isSet;
    object->isSet = false;
    pthread_mutex_unlock(&object->lock);
    return signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

}  // extern "C"
