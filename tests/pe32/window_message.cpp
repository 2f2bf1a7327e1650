// Sends kelvo's window a message the system sends every top-level window, with
// SendMessageTimeout as the system does, so that the window has handled it when this program
// ends:
//   arrival|removal LETTER  a drive letter came or went: WM_DEVICECHANGE with
//                           DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE and a
//                           DEV_BROADCAST_VOLUME whose unit mask names the letter
//   queryendsession         a logoff is asked for: WM_QUERYENDSESSION, and the window's
//                           answer printed (0: the window holds it, 1: it lets it go)
//   drop FILE               a file dropped on the window: WM_DROPFILES with a DROPFILES of
//                           the wide name in the window's process, posted as the shell
//                           posts it
// Exit status 1 where no window of the class given is open, 3 where the window did not take
// the message.
//
//   window_message.exe WINDOW-CLASS arrival|removal LETTER
//   window_message.exe WINDOW-CLASS queryendsession
//   window_message.exe WINDOW-CLASS drop FILE
#include <windows.h>

#include <dbt.h>
#include <shlobj.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Ample for a window on a busy machine; one that is hung is given up on at once.
const UINT SEND_TIMEOUT_MILLISECONDS = 30000;

struct DeviceEvent {
    const char* name;
    WPARAM event;
};

const DeviceEvent EVENTS[] = {
    {"arrival", DBT_DEVICEARRIVAL},
    {"removal", DBT_DEVICEREMOVECOMPLETE},
};

// The event named, or false.
bool eventNamed(const char* name, WPARAM* event) {
    for (const DeviceEvent& known : EVENTS) {
        if (strcmp(name, known.name) != 0) continue;
        *event = known.event;
        return true;
    }
    return false;
}

// "E" or "E:" as the drive's bit in a unit mask (A is bit 0), or 0.
DWORD unitMaskOf(const char* letter) {
    const int upper = toupper(static_cast<unsigned char>(letter[0]));
    const bool wellFormed = upper >= 'A' && upper <= 'Z' &&
                            (letter[1] == '\0' || strcmp(letter + 1, ":") == 0);
    return wellFormed ? DWORD(1) << (upper - 'A') : 0;
}

// The window's answer to the message; false where it did not take it.
bool sendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* answer) {
    if (SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG,
                            SEND_TIMEOUT_MILLISECONDS, answer) != 0)
        return true;
    fprintf(stderr, "window_message: the window did not take the message (error %lu)\n",
            GetLastError());
    return false;
}

// The DROPFILES the shell makes for one file dropped at the window's top left corner: the
// record, the wide name, and the empty name that ends the list.
DROPFILES* newDrop(const wchar_t* name, size_t* size) {
    const size_t nameBytes = (wcslen(name) + 1) * sizeof(wchar_t);
    *size = sizeof(DROPFILES) + nameBytes + sizeof(wchar_t);
    DROPFILES* files = static_cast<DROPFILES*>(calloc(1, *size));
    if (files == nullptr) return nullptr;
    files->pFiles = sizeof(DROPFILES);
    files->fWide = TRUE;
    memcpy(files + 1, name, nameBytes);
    return files;
}

// The drop's memory in the window's process, where the shell makes it: Wine does not carry a
// WM_DROPFILES's memory to another process, and the window reads it with GlobalLock, which
// takes fixed memory as it is. Null where the window's process cannot be written.
void* copyToProcessOf(HWND window, const DROPFILES* drop, size_t size) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, processId);
    if (process == nullptr) return nullptr;
    void* copy = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (copy != nullptr && !WriteProcessMemory(process, copy, drop, size, nullptr)) copy = nullptr;
    CloseHandle(process);
    return copy;
}

// The file named as the last argument, in its wide form, which argv cannot hold for every name.
bool dropFile(HWND window) {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    size_t size = 0;
    DROPFILES* drop = arguments != nullptr && count == 4 ? newDrop(arguments[3], &size) : nullptr;
    LocalFree(arguments);
    void* copy = drop != nullptr ? copyToProcessOf(window, drop, size) : nullptr;
    free(drop);
    if (copy != nullptr && PostMessageW(window, WM_DROPFILES, WPARAM(copy), 0)) return true;
    fprintf(stderr, "window_message: the drop was not made (error %lu)\n", GetLastError());
    return false;
}

int usage() {
    fprintf(stderr, "usage: window_message WINDOW-CLASS arrival|removal LETTER\n"
                    "       window_message WINDOW-CLASS queryendsession\n"
                    "       window_message WINDOW-CLASS drop FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    WPARAM event = 0;
    const bool ending = argc == 3 && strcmp(argv[2], "queryendsession") == 0;
    const bool dropping = argc == 4 && strcmp(argv[2], "drop") == 0;
    const DWORD unitMask = argc == 4 ? unitMaskOf(argv[3]) : 0;
    if (!ending && !dropping && (argc != 4 || !eventNamed(argv[2], &event) || unitMask == 0))
        return usage();
    HWND window = FindWindowA(argv[1], nullptr);
    if (window == nullptr) return 1;
    if (dropping) return dropFile(window) ? 0 : 3;
    DWORD_PTR answer = 0;
    if (ending) {
        if (!sendMessage(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, &answer)) return 3;
        printf("%lu\n", static_cast<unsigned long>(answer));
        return 0;
    }
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = unitMask;
    volume.dbcv_flags = 0;  // a drive, not a disc in it
    return sendMessage(window, WM_DEVICECHANGE, event, LPARAM(&volume), &answer) ? 0 : 3;
}
