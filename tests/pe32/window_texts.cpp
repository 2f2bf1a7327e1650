// What kelvo's window shows, read back as a screen reader reads it: each control of the
// window whose class is given, by its id, with its text (line ends as "\n"), one a line; the
// window's own title first; then "disabled:ID" for each control that is disabled. Exit status
// 1 where no such window is open.
//
//   window_texts.exe WINDOW-CLASS
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const int TEXT_SIZE = 65536;

void printText(int id, HWND control) {
    static char text[TEXT_SIZE];
    // WM_GETTEXT itself: GetWindowText gives another process only a control's caption, which
    // an edit control does not keep its text in.
    const int length = int(SendMessageA(control, WM_GETTEXT, TEXT_SIZE, LPARAM(text)));
    printf("%d:", id);
    for (int i = 0; i < length; ++i) {
        if (text[i] == '\r') continue;
        if (text[i] == '\n') fputs("\\n", stdout);
        else putchar(text[i]);
    }
    putchar('\n');
}

BOOL CALLBACK printControl(HWND control, LPARAM) {
    printText(GetDlgCtrlID(control), control);
    return TRUE;
}

BOOL CALLBACK printDisabled(HWND control, LPARAM) {
    if (!IsWindowEnabled(control)) printf("disabled:%d\n", GetDlgCtrlID(control));
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: window_texts WINDOW-CLASS\n");
        return 2;
    }
    HWND window = FindWindowA(argv[1], nullptr);
    if (window == nullptr) return 1;
    printText(0, window);
    EnumChildWindows(window, printControl, 0);
    EnumChildWindows(window, printDisabled, 0);
    return 0;
}
