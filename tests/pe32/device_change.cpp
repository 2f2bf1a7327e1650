// Tells kelvo's window that a drive letter came or went, as Windows tells every top-level
// window when a drive or a disc does: WM_DEVICECHANGE with DBT_DEVICEARRIVAL or
// DBT_DEVICEREMOVECOMPLETE and a DEV_BROADCAST_VOLUME whose unit mask names the letter, sent
// to the window of the class given with SendMessageTimeout, as the system's broadcast is, so
// that the window has handled it when this program ends. Exit status 1 where no such window is
// open, 3 where the window did not take the message.
//
//   device_change.exe WINDOW-CLASS arrival|removal LETTER
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

}  // namespace

int main(int argc, char** argv) {
    WPARAM event = 0;
    const DWORD unitMask = argc == 4 ? unitMaskOf(argv[3]) : 0;
    if (argc != 4 || !eventNamed(argv[2], &event) || unitMask == 0) {
        fprintf(stderr, "usage: device_change WINDOW-CLASS arrival|removal LETTER\n");
        return 2;
    }
    HWND window = FindWindowA(argv[1], nullptr);
    if (window == nullptr) return 1;
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = unitMask;
    volume.dbcv_flags = 0;  // a drive, not a disc in it
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutA(window, WM_DEVICECHANGE, event, LPARAM(&volume), SMTO_ABORTIFHUNG,
                            SEND_TIMEOUT_MILLISECONDS, &answer) == 0) {
        fprintf(stderr, "device_change: the window did not take the message (error %lu)\n",
                GetLastError());
        return 3;
    }
    return 0;
}
