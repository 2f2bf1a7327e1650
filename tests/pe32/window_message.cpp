// Sends kelvo's window a message the system sends every top-level window, with
// SendMessageTimeout as the system does, so that the window has handled it when this program
// ends:
//   arrival|removal LETTER  a drive letter came or went: WM_DEVICECHANGE with
//                           DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE and a
//                           DEV_BROADCAST_VOLUME whose unit mask names the letter
//   queryendsession         a logoff is asked for: WM_QUERYENDSESSION, and the window's
//                           answer printed (0: the window holds it, 1: it lets it go)
// Exit status 1 where no window of the class given is open, 3 where the window did not take
// the message.
//
//   window_message.exe WINDOW-CLASS arrival|removal LETTER
//   window_message.exe WINDOW-CLASS queryendsession
#include <windows.h>

#include <dbt.h>

#include <cctype>
#include <cstdio>
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

int usage() {
    fprintf(stderr, "usage: window_message WINDOW-CLASS arrival|removal LETTER\n"
                    "       window_message WINDOW-CLASS queryendsession\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    WPARAM event = 0;
    const bool ending = argc == 3 && strcmp(argv[2], "queryendsession") == 0;
    const DWORD unitMask = argc == 4 ? unitMaskOf(argv[3]) : 0;
    if (!ending && (argc != 4 || !eventNamed(argv[2], &event) || unitMask == 0)) return usage();
    HWND window = FindWindowA(argv[1], nullptr);
    if (window == nullptr) return 1;
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
