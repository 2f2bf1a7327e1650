// What kelvo's window shows, read back as a screen reader reads it: each control of the
// window whose class is given, by its id, with its text (line ends as "\n"), one a line; the
// window's own title first; then "disabled:ID" for each control that is disabled; then
// "rect:ID:LEFT,TOP,RIGHT,BOTTOM" for the window (as 0, its frame included) and each control,
// in screen coordinates; then "utf8:ID:TEXT" for each control whose text holds more than ASCII,
// read as wide text, which the code page of the lines above may not hold. Exit status 1 where
// no such window is open.
//
//   window_texts.exe WINDOW-CLASS
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const int TEXT_SIZE = 65536;

// A text on one line, its line ends as "\n".
void printLine(const char* text, int length) {
    for (int i = 0; i < length; ++i) {
        if (text[i] == '\r') continue;
        if (text[i] == '\n') fputs("\\n", stdout);
        else putchar(text[i]);
    }
    putchar('\n');
}

void printText(int id, HWND control) {
    static char text[TEXT_SIZE];
    // WM_GETTEXT itself: GetWindowText gives another process only a control's caption, which
    // an edit control does not keep its text in.
    const int length = int(SendMessageA(control, WM_GETTEXT, TEXT_SIZE, LPARAM(text)));
    printf("%d:", id);
    printLine(text, length);
}

BOOL CALLBACK printControl(HWND control, LPARAM) {
    printText(GetDlgCtrlID(control), control);
    return TRUE;
}

BOOL CALLBACK printDisabled(HWND control, LPARAM) {
    if (!IsWindowEnabled(control)) printf("disabled:%d\n", GetDlgCtrlID(control));
    return TRUE;
}

void printRect(int id, HWND window) {
    RECT rect = {};
    GetWindowRect(window, &rect);
    printf("rect:%d:%ld,%ld,%ld,%ld\n", id, rect.left, rect.top, rect.right, rect.bottom);
}

// The window's own controls: a control's parts (a list's header) are inside it.
BOOL CALLBACK printControlRect(HWND control, LPARAM window) {
    if (GetParent(control) == HWND(window)) printRect(GetDlgCtrlID(control), control);
    return TRUE;
}

BOOL CALLBACK printWideText(HWND control, LPARAM) {
    static wchar_t text[TEXT_SIZE];
    static char utf8[4 * TEXT_SIZE];
    const int length = int(SendMessageW(control, WM_GETTEXT, TEXT_SIZE, LPARAM(text)));
    bool ascii = true;
    for (int i = 0; i < length; ++i) ascii = ascii && text[i] < 0x80;
    if (ascii) return TRUE;
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, utf8, sizeof utf8, nullptr,
                                         nullptr);
    printf("utf8:%d:", GetDlgCtrlID(control));
    printLine(utf8, size);
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
    printRect(0, window);
    EnumChildWindows(window, printControlRect, LPARAM(window));
    EnumChildWindows(window, printWideText, 0);
    return 0;
}
