// kelvo's window: the drives, the file, an Update button and the update's end, in standard
// controls, over the state that gui_state.cpp keeps. The update runs on a thread of its own,
// which tells the window its progress and its end by posted messages.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "gui_state.h"
#include "system_call.h"

namespace {

const char WINDOW_CLASS[] = "kelvoWindow";
const char TITLE[] = "kelvo";

enum Control : int {
    DRIVES_LABEL = 100,
    DRIVES,
    REFRESH,
    LISTING,
    FILE_LABEL,
    FILE_PATH,
    CHOOSE,
    FILE_WORDS,
    NEXT_STEP,
    UPDATE,
    PROGRESS,
    CHUNKS,
    STATUS,
    REPORT_LABEL,
    REPORT,
    COPY,
};

// What the update's thread posts to the window.
const UINT PROGRESS_MESSAGE = WM_APP + 1;  // wParam: chunks accepted, lParam: chunks
const UINT ENDED_MESSAGE = WM_APP + 2;

// Layout in pixels at 96 dots per inch, scaled to the screen's.
const int WIDTH = 680, MARGIN = 12, ROW = 24, BUTTON_WIDTH = 120, GAP = 8;

typedef BOOL(WINAPI* ShutdownBlockReasonCreateEntry)(HWND window, LPCWSTR reason);
typedef BOOL(WINAPI* ShutdownBlockReasonDestroyEntry)(HWND window);

struct Window {
    Gui* gui;
    HWND handle;
    HWND controls[COPY + 1];
    HFONT font;
    HFONT bigFont;
    int dpi;
    HANDLE worker;
};

HWND control(const Window& window, Control id) { return window.controls[id]; }

int scaled(const Window& window, int pixels) { return MulDiv(pixels, window.dpi, 96); }

// The text of a report as an edit control shows it: CR LF for every line end.
void setLines(HWND handle, const char* text) {
    const size_t length = strlen(text);
    char* shown = static_cast<char*>(malloc(2 * length + 1));
    if (shown == nullptr) return;
    size_t at = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) shown[at++] = '\r';
        shown[at++] = text[i];
    }
    shown[at] = '\0';
    SetWindowTextA(handle, shown);
    free(shown);
}

void setText(const Window& window, Control id, const Text& text) {
    setLines(control(window, id), text.chars);
}

HWND make(Window* window, Control id, const char* type, const char* text, DWORD style, int x,
          int y, int width, int height, DWORD extended = 0) {
    HWND handle = CreateWindowExA(
        extended, type, text, WS_CHILD | WS_VISIBLE | style, scaled(*window, x),
        scaled(*window, y), scaled(*window, width), scaled(*window, height), window->handle,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr), nullptr);
    SendMessageA(handle, WM_SETFONT, reinterpret_cast<WPARAM>(window->font), TRUE);
    window->controls[id] = handle;
    return handle;
}

void addColumn(HWND list, int column, const char* name, int width) {
    LVCOLUMNA entry = {};
    entry.mask = LVCF_TEXT | LVCF_WIDTH;
    entry.pszText = const_cast<char*>(name);
    entry.cx = width;
    SendMessageA(list, LVM_INSERTCOLUMNA, WPARAM(column), reinterpret_cast<LPARAM>(&entry));
}

void makeControls(Window* window) {
    const int inner = WIDTH - 2 * MARGIN;
    const int right = WIDTH - MARGIN - BUTTON_WIDTH;
    int y = MARGIN;
    make(window, DRIVES_LABEL, "STATIC", "&Drives kelvo can reach:", 0, MARGIN, y + 4,
         inner - BUTTON_WIDTH, ROW - 4);
    make(window, REFRESH, "BUTTON", "&Refresh", WS_TABSTOP | BS_PUSHBUTTON, right, y,
         BUTTON_WIDTH, ROW);
    y += ROW + GAP;
    HWND list = make(window, DRIVES, WC_LISTVIEWA, "",
                     WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, MARGIN, y,
                     inner, 130, WS_EX_CLIENTEDGE);
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    addColumn(list, 0, "Index", scaled(*window, 70));
    addColumn(list, 1, "Way", scaled(*window, 90));
    addColumn(list, 2, "Drive", scaled(*window, 220));
    addColumn(list, 3, "kelvo says", scaled(*window, 270));
    y += 130 + 4;
    make(window, LISTING, "STATIC", "", 0, MARGIN, y, inner, 2 * ROW);
    y += 2 * ROW + GAP;
    make(window, FILE_LABEL, "STATIC", "&Firmware file:", 0, MARGIN, y + 4, 100, ROW - 4);
    make(window, FILE_PATH, "EDIT", "", WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL, MARGIN + 100,
         y, inner - 100 - BUTTON_WIDTH - GAP, ROW, WS_EX_CLIENTEDGE);
    make(window, CHOOSE, "BUTTON", "&Choose file...", WS_TABSTOP | BS_PUSHBUTTON, right, y,
         BUTTON_WIDTH, ROW);
    y += ROW + 4;
    make(window, FILE_WORDS, "STATIC", "", 0, MARGIN, y, inner, 2 * ROW);
    y += 2 * ROW + GAP;
    make(window, NEXT_STEP, "STATIC", "", 0, MARGIN, y + 4, inner - BUTTON_WIDTH - GAP, ROW);
    make(window, UPDATE, "BUTTON", "&Update", WS_TABSTOP | BS_PUSHBUTTON | WS_DISABLED, right, y,
         BUTTON_WIDTH, ROW);
    y += ROW + GAP;
    make(window, PROGRESS, PROGRESS_CLASSA, "", 0, MARGIN, y, inner, 18);
    y += 18 + 4;
    make(window, CHUNKS, "STATIC", "", 0, MARGIN, y, inner, ROW);
    y += ROW;
    HWND status = make(window, STATUS, "STATIC", "", 0, MARGIN, y, inner, 36);
    SendMessageA(status, WM_SETFONT, reinterpret_cast<WPARAM>(window->bigFont), TRUE);
    y += 36 + GAP;
    make(window, REPORT_LABEL, "STATIC", "Re&port:", 0, MARGIN, y + 4, inner - BUTTON_WIDTH,
         ROW - 4);
    make(window, COPY, "BUTTON", "C&opy report", WS_TABSTOP | BS_PUSHBUTTON | WS_DISABLED,
         right, y, BUTTON_WIDTH, ROW);
    y += ROW + 4;
    make(window, REPORT, "EDIT", "",
         WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
         MARGIN, y, inner, 150, WS_EX_CLIENTEDGE);
}

// The drive list as the state holds it, each row in kelvo's words.
void showDrives(const Window& window) {
    HWND list = control(window, DRIVES);
    const Gui* gui = window.gui;
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    for (int32_t i = 0; i < guiDriveCount(gui); ++i) {
        const ListedDrive& drive = guiDrive(gui, i);
        LVITEMA item = {};
        item.mask = LVIF_TEXT;
        item.iItem = i;
        item.pszText = const_cast<char*>(drive.index);
        SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        Text words = {};
        guiDescribeDrive(gui, i, &words);
        const char* const cells[] = {drive.path, drive.answered ? drive.identification : "",
                                     words.chars};
        for (int cell = 0; cell < 3; ++cell) {
            item.iSubItem = cell + 1;
            item.pszText = const_cast<char*>(cells[cell]);
            SendMessageA(list, LVM_SETITEMTEXTA, WPARAM(i), reinterpret_cast<LPARAM>(&item));
        }
    }
    if (gui->selected >= 0) {
        LVITEMA state = {};
        state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        state.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageA(list, LVM_SETITEMSTATE, WPARAM(gui->selected), reinterpret_cast<LPARAM>(&state));
    }
}

// Everything the state says, and which controls may start anything.
void showState(const Window& window) {
    const Gui* gui = window.gui;
    Text listing = {}, file = {}, next = {};
    guiDescribeListing(gui, &listing);
    guiDescribeFile(gui, &file);
    guiDescribeNextStep(gui, &next);
    setText(window, LISTING, listing);
    setText(window, FILE_WORDS, file);
    setText(window, NEXT_STEP, next);
    SetWindowTextA(control(window, FILE_PATH), gui->filePath);
    const bool idle = gui->phase != GUI_UPDATING;
    EnableWindow(control(window, UPDATE), guiMayUpdate(gui));
    for (Control id : {DRIVES, REFRESH, CHOOSE}) EnableWindow(control(window, id), idle);
    EnableWindow(control(window, COPY), gui->phase == GUI_ENDED);
}

void showEnd(const Window& window) {
    const Gui* gui = window.gui;
    setLines(control(window, REPORT), gui->report.chars);
    const char* const status = gui->finished ? "Finished: the drive took the new firmware"
                                             : "The update did not finish: see the report";
    SetWindowTextA(control(window, STATUS), status);
    char title[128];
    snprintf(title, sizeof title, "%s: %s", TITLE, gui->finished ? "Finished" : "not finished");
    SetWindowTextA(window.handle, title);
}

void refresh(Window* window) {
    SetCursor(LoadCursor(nullptr, IDC_WAIT));
    guiRefresh(window->gui);
    showDrives(*window);
    showState(*window);
    SetCursor(LoadCursor(nullptr, IDC_ARROW));
}

void chooseFile(Window* window, const char* path) {
    guiChooseFile(window->gui, path);
    showDrives(*window);
    showState(*window);
}

void askForFile(Window* window) {
    char path[GUI_PATH_SIZE] = {};
    OPENFILENAMEA dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window->handle;
    dialog.lpstrFilter = "Firmware files (*.bin, *.hex, *.dat)\0*.bin;*.hex;*.dat\0All files\0*.*\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = sizeof path;
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (GetOpenFileNameA(&dialog)) chooseFile(window, path);
}

void postProgress(void* context, const TransferProgress& progress) {
    PostMessageA(static_cast<HWND>(context), PROGRESS_MESSAGE, progress.chunksAccepted,
                 LPARAM(progress.chunks));
}

DWORD WINAPI runUpdate(LPVOID argument) {
    Window* window = static_cast<Window*>(argument);
    guiRunUpdate(window->gui, {window->handle, postProgress, nullptr, nullptr});
    PostMessageA(window->handle, ENDED_MESSAGE, 0, 0);
    return 0;
}

// Holds a logoff or shutdown with a reason Windows shows, where Windows has the call.
void holdSessionEnd(const Window& window, bool hold) {
    if (hold) {
        const auto create =
            systemCall<ShutdownBlockReasonCreateEntry>("USER32", "ShutdownBlockReasonCreate");
        if (create != nullptr)
            create(window.handle, L"kelvo is writing a drive's firmware: a drive cut off now "
                                  L"may be left unusable");
    } else {
        const auto destroy =
            systemCall<ShutdownBlockReasonDestroyEntry>("USER32", "ShutdownBlockReasonDestroy");
        if (destroy != nullptr) destroy(window.handle);
    }
}

void startUpdate(Window* window) {
    Text question = {};
    guiDescribeConfirmation(window->gui, &question);
    if (question.length == 0) return;
    const int answer = MessageBoxA(window->handle, question.chars, "kelvo: update the drive?",
                                   MB_YESNO | MB_DEFBUTTON2 | MB_ICONWARNING);
    if (answer != IDYES || !guiStartUpdate(window->gui)) return;
    showState(*window);
    SetWindowTextA(control(*window, STATUS), "");
    setLines(control(*window, REPORT), "");
    SetWindowTextA(window->handle, "kelvo: updating, do not interrupt");
    holdSessionEnd(*window, true);
    window->worker = CreateThread(nullptr, 0, runUpdate, window, 0, nullptr);
    if (window->worker == nullptr) {
        guiUpdateNotStarted(window->gui);
        holdSessionEnd(*window, false);
        showState(*window);
    }
}

void showProgress(const Window& window, WPARAM accepted, LPARAM chunks) {
    HWND bar = control(window, PROGRESS);
    SendMessageA(bar, PBM_SETRANGE32, 0, chunks > 0 ? chunks : 1);
    SendMessageA(bar, PBM_SETPOS, chunks > 0 ? accepted : 1, 0);
    char words[80];
    snprintf(words, sizeof words, "chunk %u of %u written", unsigned(accepted), unsigned(chunks));
    SetWindowTextA(control(window, CHUNKS), words);
}

void ended(Window* window) {
    WaitForSingleObject(window->worker, INFINITE);
    CloseHandle(window->worker);
    window->worker = nullptr;
    guiEndUpdate(window->gui);
    holdSessionEnd(*window, false);
    showEnd(*window);
    showState(*window);
}

void copyReport(const Window& window) {
    const char* const report = window.gui->report.chars;
    const size_t length = strlen(report);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, 2 * length + 1);
    if (memory == nullptr || !OpenClipboard(window.handle)) return;
    char* text = static_cast<char*>(GlobalLock(memory));
    size_t at = 0;
    for (size_t i = 0; i < length; ++i) {
        if (report[i] == '\n') text[at++] = '\r';
        text[at++] = report[i];
    }
    text[at] = '\0';
    GlobalUnlock(memory);
    EmptyClipboard();
    SetClipboardData(CF_TEXT, memory);
    CloseClipboard();
}

void command(Window* window, int id) {
    const bool updating = window->gui->phase == GUI_UPDATING;
    if (updating) return;
    switch (id) {
    case REFRESH: refresh(window); break;
    case CHOOSE: askForFile(window); break;
    case UPDATE: startUpdate(window); break;
    case COPY: copyReport(*window); break;
    default: break;
    }
}

void driveChosen(Window* window, const NMLISTVIEW* change) {
    if ((change->uNewState & LVIS_SELECTED) == 0 || window->gui->phase == GUI_UPDATING) return;
    guiSelectDrive(window->gui, change->iItem);
    showState(*window);
}

LRESULT CALLBACK windowProcedure(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    Window* window = reinterpret_cast<Window*>(GetWindowLongPtrA(handle, GWLP_USERDATA));
    const bool updating = window != nullptr && window->gui->phase == GUI_UPDATING;
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) command(window, LOWORD(wParam));
        return 0;
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom == DRIVES && header->code == LVN_ITEMCHANGED)
            driveChosen(window, reinterpret_cast<const NMLISTVIEW*>(lParam));
        return 0;
    }
    case PROGRESS_MESSAGE:
        showProgress(*window, wParam, lParam);
        return 0;
    case ENDED_MESSAGE:
        ended(window);
        return 0;
    case WM_CLOSE:
        if (updating) {
            SetWindowTextA(control(*window, NEXT_STEP),
                           "the window stays open until the update has ended: a drive cut off "
                           "now may be left unusable");
            MessageBeep(MB_ICONWARNING);
            return 0;
        }
        DestroyWindow(handle);
        return 0;
    case WM_QUERYENDSESSION:
        return updating ? FALSE : TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(handle, message, wParam, lParam);
    }
}

void makeFonts(Window* window) {
    NONCLIENTMETRICSA metrics = {};
    metrics.cbSize = sizeof metrics;
    LOGFONTA font = {};
    if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        font = metrics.lfMessageFont;
    else
        GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
    window->font = CreateFontIndirectA(&font);
    font.lfHeight = font.lfHeight * 8 / 5;
    font.lfWeight = FW_BOLD;
    window->bigFont = CreateFontIndirectA(&font);
}

bool open(Window* window, HINSTANCE instance) {
    WNDCLASSEXA type = {};
    type.cbSize = sizeof type;
    type.lpfnWndProc = windowProcedure;
    type.hInstance = instance;
    type.hCursor = LoadCursor(nullptr, IDC_ARROW);
    type.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    type.lpszClassName = WINDOW_CLASS;
    if (RegisterClassExA(&type) == 0) return false;
    HDC screen = GetDC(nullptr);
    window->dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    makeFonts(window);
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame = {0, 0, scaled(*window, WIDTH), scaled(*window, 650)};
    AdjustWindowRectEx(&frame, style, FALSE, 0);
    window->handle = CreateWindowExA(0, WINDOW_CLASS, TITLE, style, CW_USEDEFAULT, CW_USEDEFAULT,
                                     frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                     nullptr, instance, nullptr);
    if (window->handle == nullptr) return false;
    SetWindowLongPtrA(window->handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
    makeControls(window);
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    Window window = {};
    window.gui = newGui();
    if (window.gui == nullptr || !open(&window, instance)) {
        MessageBoxA(nullptr, "kelvo's window could not be made: no memory", TITLE, MB_ICONERROR);
        return 1;
    }
    ShowWindow(window.handle, show);
    UpdateWindow(window.handle);
    refresh(&window);
    // A file given on the command line, as Windows gives one dropped on the program's icon.
    if (__argc > 1) chooseFile(&window, __argv[1]);
    SetFocus(control(window, DRIVES));
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(window.handle, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
