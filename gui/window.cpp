// kelvo's window: the drives, the file, an Update button and the update's end, in standard
// controls, over the state that gui_state.cpp keeps. Every step that waits on a drive or a
// file (listing the drives, reading the file, the checks before the question, the update) runs
// on a thread of its own, which tells the window its progress and its result by posted
// messages: the window answers meanwhile.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <algorithm>
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
    SAVE,
};

// What the threads post to the window.
const UINT PROGRESS_MESSAGE = WM_APP + 1;  // lParam: a TransferProgress, the window's to free
const UINT STAGE_MESSAGE = WM_APP + 2;     // wParam: the update's stage
const UINT JOB_DONE_MESSAGE = WM_APP + 3;  // lParam: the Job that ended

// The system's notices of drives coming and going arrive in bursts (a volume, then its
// device): the drives are listed again once they have been quiet this long.
const UINT_PTR DRIVES_CHANGED_TIMER = 1;
const UINT DRIVES_QUIET_MILLISECONDS = 700;

// What the window cannot be told of (another kelvo's update beginning or ending, the charger
// plugged in) it looks at this often while nothing runs.
const UINT_PTR LOOK_AGAIN_TIMER = 2;
const UINT LOOK_AGAIN_MILLISECONDS = 2000;

// Sent to a window that is aware of each monitor's DPI when its DPI changes (Windows 8.1 on).
const UINT WM_DPICHANGED_MESSAGE = 0x02E0;

// The layout, in pixels at 96 dots per inch, scaled to the window's: rows from top to
// bottom, each of a fixed height or, for the drive list and the report, a share of the height
// left over and never less than its least. Small enough, with the frame, for a 1024x600
// screen and for a 1366x768 one at 150%.
const int MARGIN = 8, GAP = 4, BUTTON_WIDTH = 112, LABEL_WIDTH = 96, LINE = 16;
const int PREFERRED_WIDTH = 680, LEAST_WIDTH = 520;

enum RowId {
    DRIVES_ROW,
    LIST_ROW,
    LISTING_ROW,
    FILE_ROW,
    FILE_WORDS_ROW,
    NEXT_ROW,
    PROGRESS_ROW,
    CHUNKS_ROW,
    STATUS_ROW,
    REPORT_LABEL_ROW,
    REPORT_ROW,
    ROW_COUNT,
};

struct Row {
    int height;  // the least, for a row with a share
    int share;   // of the height left over; 0 for a row of fixed height
    int preferred;  // the height a window of its preferred size gives it
};

const Row ROWS[ROW_COUNT] = {
    {24, 0, 24},            // the drives' label and Refresh
    {60, 2, 120},           // the drive list
    {2 * LINE, 0, 2 * LINE},  // what the listing found
    {24, 0, 24},            // the file's label, its name and Choose file...
    {2 * LINE, 0, 2 * LINE},  // the file's firmware or why it is refused
    {2 * LINE, 0, 2 * LINE},  // the next step and Update
    {14, 0, 14},            // the progress bar
    {LINE + 2, 0, LINE + 2},  // the chunks written, the stage
    {28, 0, 28},            // the heading of the update's end
    {24, 0, 24},            // the report's label and its buttons
    {48, 3, 150},           // the report
};

// Where a control stands in its row.
enum Place {
    WHOLE,           // the row's whole width
    LEFT_OF_BUTTON,  // a text before the row's button, level with it
    BUTTON,          // the button at the row's right
    LABEL,           // a label before a field
    AFTER_LABEL,     // the field between its label and the row's button
    SECOND_BUTTON,   // a button left of the row's button
};

struct Placed {
    Control id;
    RowId row;
    Place place;
};

const Placed PLACES[] = {
    {DRIVES_LABEL, DRIVES_ROW, LEFT_OF_BUTTON}, {REFRESH, DRIVES_ROW, BUTTON},
    {DRIVES, LIST_ROW, WHOLE},                  {LISTING, LISTING_ROW, WHOLE},
    {FILE_LABEL, FILE_ROW, LABEL},              {FILE_PATH, FILE_ROW, AFTER_LABEL},
    {CHOOSE, FILE_ROW, BUTTON},                 {FILE_WORDS, FILE_WORDS_ROW, WHOLE},
    {NEXT_STEP, NEXT_ROW, LEFT_OF_BUTTON},      {UPDATE, NEXT_ROW, BUTTON},
    {PROGRESS, PROGRESS_ROW, WHOLE},            {CHUNKS, CHUNKS_ROW, WHOLE},
    {STATUS, STATUS_ROW, WHOLE},                {REPORT_LABEL, REPORT_LABEL_ROW, LABEL},
    {COPY, REPORT_LABEL_ROW, SECOND_BUTTON},    {SAVE, REPORT_LABEL_ROW, BUTTON},
    {REPORT, REPORT_ROW, WHOLE},
};

// The client height the rows take, each at its least or at its preferred height.
int rowsHeight(bool preferred) {
    int height = 2 * MARGIN + (ROW_COUNT - 1) * GAP;
    for (const Row& row : ROWS) height += preferred ? row.preferred : row.height;
    return height;
}

typedef UINT(WINAPI* GetDpiForWindowEntry)(HWND window);
typedef BOOL(WINAPI* ChangeWindowMessageFilterExEntry)(HWND window, UINT message, DWORD action,
                                                        PCHANGEFILTERSTRUCT status);

// What a drop from another process carries its data in, besides WM_DROPFILES.
const UINT COPY_GLOBAL_DATA_MESSAGE = 0x0049;

typedef BOOL(WINAPI* ShutdownBlockReasonCreateEntry)(HWND window, LPCWSTR reason);
typedef BOOL(WINAPI* ShutdownBlockReasonDestroyEntry)(HWND window);

struct Window {
    Gui* gui;
    HWND handle;
    HWND controls[SAVE + 1];
    HFONT font;
    HFONT bigFont;
    int dpi;        // the window's dots per inch
    int systemDpi;  // the system's, for which it gives its font
    wchar_t shownPath[GUI_PATH_SIZE];  // the chosen file's name in full, as the system gave it
    ITaskbarList3* taskbar;  // the taskbar button's progress, null where the system has none
    bool taskbarAsked;
    bool showingDrives;  // the list is being filled: its notices are the window's own
    TransferProgress progress;  // the update's, as last posted
    struct Job* waiting;  // the jobs not yet started, the first first
    bool jobRunning;
};

// One step that waits on a drive or a file, run on a thread of its own; the window takes its
// result back and frees it.
enum JobKind {
    LIST_DRIVES,
    READ_FILE,
    CHECK_DRIVE,
    RUN_UPDATE,
};

struct Job {
    JobKind kind;
    Window* window;
    Job* next;                       // the next job waiting
    Listing* listing;                // LIST_DRIVES
    GuiFileRead read;                // READ_FILE
    char index[LISTED_INDEX_SIZE];   // CHECK_DRIVE
    char path[GUI_PATH_SIZE];
    UpdateDecision decision;
};

HWND control(const Window& window, Control id) { return window.controls[id]; }

int scaled(const Window& window, int pixels) { return MulDiv(pixels, window.dpi, 96); }

// A text with CR LF for every line end, as an edit control and the clipboard take it: a new
// heap string, null when memory runs out.
char* newCrLfText(const char* text) {
    const size_t length = strlen(text);
    char* shown = static_cast<char*>(malloc(2 * length + 1));
    if (shown == nullptr) return nullptr;
    size_t at = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) shown[at++] = '\r';
        shown[at++] = text[i];
    }
    shown[at] = '\0';
    return shown;
}

void setLines(HWND handle, const char* text) {
    char* shown = newCrLfText(text);
    if (shown == nullptr) return;
    SetWindowTextA(handle, shown);
    free(shown);
}

void setText(const Window& window, Control id, const Text& text) {
    setLines(control(window, id), text.chars);
}

// A control in its place in the tab order; layOut gives it its place in the window.
HWND make(Window* window, Control id, const char* type, const char* text, DWORD style,
          DWORD extended = 0) {
    HWND handle = CreateWindowExA(extended, type, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                                  window->handle, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                  GetModuleHandleA(nullptr), nullptr);
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

const int COLUMN_WIDTHS[] = {70, 90, 220, 270};  // the drive list's, at 96 dots per inch

void sizeColumns(const Window& window) {
    for (int column = 0; column < 4; ++column)
        SendMessageA(control(window, DRIVES), LVM_SETCOLUMNWIDTH, WPARAM(column),
                     scaled(window, COLUMN_WIDTHS[column]));
}

// Each label is made just before the control it names: its mnemonic moves the focus to the
// next control that takes it, and the order made is the order of Tab.
void makeControls(Window* window) {
    make(window, DRIVES_LABEL, "STATIC", "&Drives kelvo can reach:", 0);
    HWND list = make(window, DRIVES, WC_LISTVIEWA, "",
                     WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS,
                     WS_EX_CLIENTEDGE);
    make(window, REFRESH, "BUTTON", "&Refresh", WS_TABSTOP | BS_PUSHBUTTON);
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    const char* const columns[] = {"Index", "Way", "Drive", "kelvo says"};
    for (int column = 0; column < 4; ++column) addColumn(list, column, columns[column], 0);
    sizeColumns(*window);
    make(window, LISTING, "STATIC", "", 0);
    make(window, FILE_LABEL, "STATIC", "&Firmware file:", 0);
    make(window, FILE_PATH, "EDIT", "", WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL,
         WS_EX_CLIENTEDGE);
    make(window, CHOOSE, "BUTTON", "&Choose file...", WS_TABSTOP | BS_PUSHBUTTON);
    make(window, FILE_WORDS, "STATIC", "", 0);
    make(window, NEXT_STEP, "STATIC", "", 0);
    make(window, UPDATE, "BUTTON", "&Update", WS_TABSTOP | BS_PUSHBUTTON | WS_DISABLED);
    make(window, PROGRESS, PROGRESS_CLASSA, "", 0);
    make(window, CHUNKS, "STATIC", "", 0);
    make(window, STATUS, "STATIC", "", 0);
    SendMessageA(control(*window, STATUS), WM_SETFONT, reinterpret_cast<WPARAM>(window->bigFont),
                 TRUE);
    make(window, REPORT_LABEL, "STATIC", "Re&port:", 0);
    make(window, REPORT, "EDIT", "",
         WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, WS_EX_CLIENTEDGE);
    make(window, COPY, "BUTTON", "C&opy report", WS_TABSTOP | BS_PUSHBUTTON | WS_DISABLED);
    make(window, SAVE, "BUTTON", "&Save report...", WS_TABSTOP | BS_PUSHBUTTON | WS_DISABLED);
}

// The rows' heights in pixels for the window's client height: the list and the report share
// what the fixed rows leave.
void rowHeights(const Window& window, int clientHeight, int* heights) {
    int shares = 0;
    int left = clientHeight - scaled(window, rowsHeight(false));
    for (const Row& row : ROWS) shares += row.share;
    for (int row = 0; row < ROW_COUNT; ++row) {
        heights[row] = scaled(window, ROWS[row].height);
        if (ROWS[row].share > 0 && left > 0) heights[row] += left * ROWS[row].share / shares;
    }
}

// Every control in its place for the window's client size.
void layOut(const Window& window) {
    RECT client;
    GetClientRect(window.handle, &client);
    int heights[ROW_COUNT];
    rowHeights(window, client.bottom, heights);
    int tops[ROW_COUNT];
    int y = scaled(window, MARGIN);
    for (int row = 0; row < ROW_COUNT; ++row) {
        tops[row] = y;
        y += heights[row] + scaled(window, GAP);
    }
    const int left = scaled(window, MARGIN), gap = scaled(window, GAP);
    const int right = client.right - scaled(window, MARGIN);
    const int button = scaled(window, BUTTON_WIDTH), label = scaled(window, LABEL_WIDTH);
    // A text beside a button stands level with the button's caption.
    const int textDrop = scaled(window, 4);
    for (const Placed& placed : PLACES) {
        int x = left, width = right - left, top = tops[placed.row];
        int height = heights[placed.row];
        switch (placed.place) {
        case WHOLE: break;
        case LEFT_OF_BUTTON:
            width = right - button - gap - left;
            top += textDrop;
            height -= textDrop;
            break;
        case BUTTON: x = right - button; width = button; break;
        case SECOND_BUTTON: x = right - 2 * button - gap; width = button; break;
        case LABEL:
            width = label;
            top += textDrop;
            height -= textDrop;
            break;
        case AFTER_LABEL: x = left + label; width = right - button - gap - x; break;
        }
        // A button keeps its own height in a row of two lines of text.
        if (placed.place == BUTTON || placed.place == SECOND_BUTTON)
            height = std::min(height, scaled(window, ROWS[DRIVES_ROW].height));
        MoveWindow(control(window, placed.id), x, top, width > 0 ? width : 0, height, TRUE);
    }
}

// The drive list as the state holds it, each row in kelvo's words.
void showDrives(Window* window) {
    HWND list = control(*window, DRIVES);
    const Gui* gui = window->gui;
    window->showingDrives = true;
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
    window->showingDrives = false;
}

// How the last update ended, in large letters and in the title.
void showEnd(const Window& window) {
    const Gui* gui = window.gui;
    setLines(control(window, REPORT), guiReport(gui));
    SetWindowTextA(control(window, STATUS), gui->heading != nullptr ? gui->heading : "");
    if (gui->phase != GUI_ENDED || gui->heading == nullptr) return;
    const char* end = "not finished";
    if (gui->heading == HEADING_NOTHING_WRITTEN) end = "nothing written";
    else if (gui->outcome.end == UPDATE_FINISHED) end = "Finished";
    char title[128];
    snprintf(title, sizeof title, "%s: %s", TITLE, end);
    SetWindowTextA(window.handle, title);
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
    SetWindowTextW(control(window, FILE_PATH), window.shownPath);
    const bool idle = gui->phase == GUI_CHOOSING || gui->phase == GUI_ENDED;
    EnableWindow(control(window, UPDATE), guiMayUpdate(gui));
    EnableWindow(control(window, REFRESH), idle && !gui->listingRunning);
    for (Control id : {DRIVES, CHOOSE}) EnableWindow(control(window, id), idle);
    for (Control id : {COPY, SAVE}) EnableWindow(control(window, id), idle && guiReport(gui)[0] != '\0');
}

void showAll(Window* window) {
    showDrives(window);
    showState(*window);
}

void postProgress(void* context, const TransferProgress& progress) {
    TransferProgress* posted = static_cast<TransferProgress*>(malloc(sizeof progress));
    if (posted == nullptr) return;  // the next one shows it
    *posted = progress;
    if (!PostMessageA(static_cast<HWND>(context), PROGRESS_MESSAGE, 0,
                      reinterpret_cast<LPARAM>(posted)))
        free(posted);
}

void postStage(void* context, UpdateStage stage) {
    PostMessageA(static_cast<HWND>(context), STAGE_MESSAGE, WPARAM(stage), 0);
}

DWORD WINAPI runJob(LPVOID argument) {
    Job* job = static_cast<Job*>(argument);
    switch (job->kind) {
    case LIST_DRIVES: job->listing = guiListDrives(); break;
    case READ_FILE: guiReadFile(&job->read); break;
    case CHECK_DRIVE: job->decision = decideUpdate(job->index, job->path, false); break;
    case RUN_UPDATE:
        guiRunUpdate(job->window->gui,
                     {job->window->handle, postProgress, postStage, nullptr});
        break;
    }
    PostMessageA(job->window->handle, JOB_DONE_MESSAGE, 0, reinterpret_cast<LPARAM>(job));
    return 0;
}

// A new job of `kind`, null when memory runs out.
Job* newJob(Window* window, JobKind kind) {
    Job* job = static_cast<Job*>(calloc(1, sizeof(Job)));
    if (job == nullptr) return nullptr;
    job->kind = kind;
    job->window = window;
    return job;
}

// Starts the first job waiting, where none runs, on a thread of its own; where none can be
// had, on the window's own, which then waits for it. One job runs at a time: the layers below
// serve one caller, and under Wine a file read beside the ASPI library's first load was seen
// to wait for ever.
void startWaitingJob(Window* window) {
    Job* job = window->waiting;
    if (window->jobRunning || job == nullptr) return;
    window->waiting = job->next;
    window->jobRunning = true;
    HANDLE thread = CreateThread(nullptr, 0, runJob, job, 0, nullptr);
    if (thread != nullptr)
        CloseHandle(thread);
    else
        runJob(job);
}

void startJob(Job* job) {
    Window* window = job->window;
    job->next = nullptr;
    Job** last = &window->waiting;
    while (*last != nullptr) last = &(*last)->next;
    *last = job;
    startWaitingJob(window);
}

void askDrives(Window* window) {
    if (!guiAskDrives(window->gui)) return;
    Job* job = newJob(window, LIST_DRIVES);
    if (job != nullptr) startJob(job);
    else guiDrivesListed(window->gui, nullptr);
    showState(*window);
}

// A path the C library's calls open, for a name the system gives in full (the dialog, a drop,
// the command line): the name itself where the system's code page holds it, else its short
// form, whose characters the code page always holds. False where neither is there.
bool pathForLibrary(const wchar_t* name, char* path, int size) {
    BOOL lost = FALSE;
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, -1, path, size, nullptr, &lost) >
            0 &&
        !lost)
        return true;
    wchar_t shortName[GUI_PATH_SIZE];
    const DWORD length = GetShortPathNameW(name, shortName, GUI_PATH_SIZE);
    if (length == 0 || length >= DWORD(GUI_PATH_SIZE)) return false;
    lost = FALSE;
    return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, shortName, -1, path, size, nullptr,
                               &lost) > 0 &&
           !lost;
}

// The file the user named: read and checked on a thread, its name shown as given.
void chooseFile(Window* window, const wchar_t* name) {
    char path[GUI_PATH_SIZE];
    if (!pathForLibrary(name, path, sizeof path)) {
        MessageBoxA(window->handle, WINDOW_NAME_NOT_OPENED, TITLE, MB_ICONWARNING);
        return;
    }
    if (!guiChooseFile(window->gui, path)) return;
    lstrcpynW(window->shownPath, name, GUI_PATH_SIZE);
    Job* job = newJob(window, READ_FILE);
    if (job != nullptr) {
        snprintf(job->read.path, sizeof job->read.path, "%s", path);
        startJob(job);
    }
    showAll(window);
}

void askForFile(Window* window) {
    wchar_t name[GUI_PATH_SIZE] = {};
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window->handle;
    dialog.lpstrFilter = L"Firmware files (*.bin, *.hex, *.dat)\0*.bin;*.hex;*.dat\0All files\0*.*\0";
    dialog.lpstrFile = name;
    dialog.nMaxFile = GUI_PATH_SIZE;
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (GetOpenFileNameW(&dialog)) chooseFile(window, name);
}

// A file dropped on the window is taken as one chosen in the dialog.
void fileDropped(Window* window, HDROP drop) {
    wchar_t name[GUI_PATH_SIZE];
    if (DragQueryFileW(drop, 0, name, GUI_PATH_SIZE) > 0) chooseFile(window, name);
    DragFinish(drop);
}

// The window runs as administrator: Windows keeps the messages of a drop from Explorer, which
// does not, away from it unless it lets them in (Windows 7 on).
void takeDrops(const Window& window) {
    DragAcceptFiles(window.handle, TRUE);
    const auto allow = systemCall<ChangeWindowMessageFilterExEntry>("USER32",
                                                                    "ChangeWindowMessageFilterEx");
    if (allow == nullptr) return;
    for (UINT message : {UINT(WM_DROPFILES), UINT(WM_COPYDATA), COPY_GLOBAL_DATA_MESSAGE})
        allow(window.handle, message, MSGFLT_ALLOW, nullptr);
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

// Update pressed: kelvo's checks before its question, on a thread, since the drive may be
// slow to answer.
void startChecking(Window* window) {
    Job* job = newJob(window, CHECK_DRIVE);
    if (job == nullptr) return;
    if (!guiStartChecking(window->gui, job->index, job->path)) {
        free(job);
        return;
    }
    showEnd(*window);
    SetWindowTextA(window->handle, TITLE);
    showState(*window);
    startJob(job);
}

void startUpdate(Window* window) {
    Job* job = newJob(window, RUN_UPDATE);
    if (job == nullptr) {
        guiUpdateNotStarted(window->gui);
        return;
    }
    startJob(job);
    window->progress = {};
    SetWindowTextA(control(*window, CHUNKS), "");
    SetWindowTextA(window->handle, "kelvo: updating, do not interrupt");
    holdSessionEnd(*window, true);
}

// The checks' decision: a refusal is shown as the update's end, with nothing written; else
// the question, with No as its default answer.
void checked(Window* window, const UpdateDecision& decision) {
    guiChecked(window->gui, decision);
    showState(*window);
    Text question = {};
    guiDescribeConfirmation(window->gui, &question);
    if (question.length > 0) {
        const int answer = MessageBoxA(window->handle, question.chars, "kelvo: update the drive?",
                                       MB_YESNO | MB_DEFBUTTON2 | MB_ICONWARNING);
        if (guiAnswer(window->gui, answer == IDYES)) startUpdate(window);
    }
    showEnd(*window);
    showState(*window);
}

// The taskbar's list, made ready as it must be before its first use (HrInit); null where the
// system has none that shows progress.
ITaskbarList3* newTaskbarList() {
    ITaskbarList3* taskbar = nullptr;
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) ||
        FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ITaskbarList3, reinterpret_cast<void**>(&taskbar))))
        return nullptr;
    if (SUCCEEDED(taskbar->HrInit())) return taskbar;
    taskbar->Release();
    return nullptr;
}

// The update's progress where it is seen from elsewhere: the title, and the taskbar button
// where the system has one that shows it (Windows 7 on).
void showProgressOutside(Window* window) {
    Text share = {};
    describeShare(&share, window->progress);
    char title[128];
    snprintf(title, sizeof title, "%s: %s, do not interrupt", TITLE, share.chars);
    SetWindowTextA(window->handle, title);
    if (!window->taskbarAsked) {
        window->taskbarAsked = true;
        window->taskbar = newTaskbarList();
    }
    if (window->taskbar != nullptr)
        window->taskbar->SetProgressValue(window->handle, window->progress.chunksAccepted,
                                          window->progress.chunks > 0 ? window->progress.chunks : 1);
}

void showProgress(Window* window, TransferProgress* posted) {
    window->progress = *posted;
    free(posted);
    const uint32_t chunks = window->progress.chunks;
    HWND bar = control(*window, PROGRESS);
    SendMessageA(bar, PBM_SETRANGE32, 0, chunks > 0 ? chunks : 1);
    SendMessageA(bar, PBM_SETPOS, chunks > 0 ? window->progress.chunksAccepted : 1, 0);
    Text words = {};
    describeStage(&words, UPDATE_WRITING, window->progress);
    SetWindowTextA(control(*window, CHUNKS), words.chars);
    showProgressOutside(window);
}

void showStage(const Window& window, WPARAM stage) {
    Text words = {};
    describeStage(&words, UpdateStage(stage), window.progress);
    if (words.length > 0 && stage != UPDATE_WRITING)
        SetWindowTextA(control(window, CHUNKS), words.chars);
}

void updateEnded(Window* window) {
    guiEndUpdate(window->gui);
    holdSessionEnd(*window, false);
    if (window->taskbar != nullptr) window->taskbar->SetProgressState(window->handle, TBPF_NOPROGRESS);
    showEnd(*window);
    FLASHWINFO flash = {sizeof flash, window->handle, FLASHW_TRAY | FLASHW_TIMERNOFG, 0, 0};
    if (GetForegroundWindow() != window->handle) FlashWindowEx(&flash);
}

void jobDone(Window* window, Job* job) {
    Gui* gui = window->gui;
    window->jobRunning = false;
    startWaitingJob(window);
    switch (job->kind) {
    case LIST_DRIVES:
        if (guiDrivesListed(gui, job->listing)) {
            job->listing = nullptr;
            startJob(job);
            showState(*window);
            return;
        }
        break;
    case READ_FILE: guiFileRead(gui, &job->read); break;
    case CHECK_DRIVE: checked(window, job->decision); break;
    case RUN_UPDATE: updateEnded(window); break;
    }
    free(job);
    if (guiDrivesPending(gui)) askDrives(window);
    showAll(window);
}

void copyReport(const Window& window) {
    char* text = newCrLfText(guiReport(window.gui));
    if (text == nullptr) return;
    const size_t size = strlen(text) + 1;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
    void* locked = memory != nullptr ? GlobalLock(memory) : nullptr;
    if (locked != nullptr) {
        memcpy(locked, text, size);
        GlobalUnlock(memory);
    }
    free(text);
    if (locked == nullptr || !OpenClipboard(window.handle)) {
        if (memory != nullptr) GlobalFree(memory);
        return;
    }
    EmptyClipboard();
    // Once taken, the memory is the clipboard's.
    if (SetClipboardData(CF_TEXT, memory) == nullptr) GlobalFree(memory);
    CloseClipboard();
}

// The report as a text file for a support request, with CR LF line ends.
void saveReport(const Window& window) {
    wchar_t name[GUI_PATH_SIZE] = L"kelvo-report.txt";
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window.handle;
    dialog.lpstrFilter = L"Text files (*.txt)\0*.txt\0All files\0*.*\0";
    dialog.lpstrFile = name;
    dialog.nMaxFile = GUI_PATH_SIZE;
    dialog.lpstrDefExt = L"txt";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetSaveFileNameW(&dialog)) return;
    char* text = newCrLfText(guiReport(window.gui));
    HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    bool saved = text != nullptr && file != INVALID_HANDLE_VALUE;
    if (saved) {
        const DWORD size = DWORD(strlen(text));
        DWORD written = 0;
        saved = WriteFile(file, text, size, &written, nullptr) && written == size;
    }
    if (file != INVALID_HANDLE_VALUE && !CloseHandle(file)) saved = false;
    free(text);
    if (!saved) MessageBoxA(window.handle, WINDOW_REPORT_NOT_SAVED, TITLE, MB_ICONERROR);
}

void command(Window* window, int id) {
    switch (id) {
    case REFRESH: askDrives(window); break;
    case CHOOSE: askForFile(window); break;
    case UPDATE: startChecking(window); break;
    case COPY: copyReport(*window); break;
    case SAVE: saveReport(*window); break;
    default: break;
    }
}

// A change of the list's selection, a cleared one included.
void selectionChanged(Window* window, const NMLISTVIEW* change) {
    if (window->showingDrives || (change->uChanged & LVIF_STATE) == 0) return;
    const LRESULT chosen =
        SendMessageA(control(*window, DRIVES), LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED);
    guiSelectDrive(window->gui, int32_t(chosen));
    showState(*window);
}

// A volume arrived or left (not a disc put in or taken out), or a device did (a drive reached
// only through ASPI has no volume): the drives are listed again once the burst of notices the
// system sends to every window is over.
void devicesChanged(Window* window, WPARAM event, const DEV_BROADCAST_HDR* header) {
    const bool volume = (event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE) &&
                        header != nullptr && header->dbch_devicetype == DBT_DEVTYP_VOLUME &&
                        (reinterpret_cast<const DEV_BROADCAST_VOLUME*>(header)->dbcv_flags &
                         DBTF_MEDIA) == 0;
    if (!volume && event != DBT_DEVNODES_CHANGED) return;
    SetTimer(window->handle, DRIVES_CHANGED_TIMER, DRIVES_QUIET_MILLISECONDS, nullptr);
}

// The system's message font, as large for the window's dots per inch as for the system's.
void makeFonts(Window* window) {
    NONCLIENTMETRICSA metrics = {};
    metrics.cbSize = sizeof metrics;
    LOGFONTA font = {};
    if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        font = metrics.lfMessageFont;
    else
        GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
    font.lfHeight = MulDiv(font.lfHeight, window->dpi, window->systemDpi);
    if (window->font != nullptr) DeleteObject(window->font);
    if (window->bigFont != nullptr) DeleteObject(window->bigFont);
    window->font = CreateFontIndirectA(&font);
    font.lfHeight = font.lfHeight * 8 / 5;
    font.lfWeight = FW_BOLD;
    window->bigFont = CreateFontIndirectA(&font);
}

// The window's dots per inch: its monitor's where the system says (Windows 10 on), else the
// system's.
int dpiOf(const Window& window) {
    const auto dpiForWindow = systemCall<GetDpiForWindowEntry>("USER32", "GetDpiForWindow");
    const UINT dpi = dpiForWindow != nullptr ? dpiForWindow(window.handle) : 0;
    return dpi != 0 ? int(dpi) : window.systemDpi;
}

// The frame around a client area of `width` by `height` pixels.
SIZE frameFor(const Window& window, int width, int height) {
    RECT frame = {0, 0, width, height};
    AdjustWindowRectEx(&frame, DWORD(GetWindowLongPtrA(window.handle, GWL_STYLE)), FALSE, 0);
    return {frame.right - frame.left, frame.bottom - frame.top};
}

// The preferred size, made smaller where the screen's work area is, and the whole window on
// it.
void placeOnScreen(const Window& window) {
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoA(MonitorFromWindow(window.handle, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT& work = monitor.rcWork;
    const SIZE preferred = frameFor(window, scaled(window, PREFERRED_WIDTH),
                                    scaled(window, rowsHeight(true)));
    const int width = std::min<int>(preferred.cx, work.right - work.left);
    const int height = std::min<int>(preferred.cy, work.bottom - work.top);
    SetWindowPos(window.handle, nullptr, work.left + (work.right - work.left - width) / 2,
                 work.top + (work.bottom - work.top - height) / 2, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

// A new DPI (the window moved to another monitor, or the user changed the scale): fonts,
// columns and layout anew, in the rectangle the system suggests.
void dpiChanged(Window* window, WPARAM dpi, const RECT* suggested) {
    window->dpi = LOWORD(dpi);
    makeFonts(window);
    for (HWND handle : window->controls)
        if (handle != nullptr)
            SendMessageA(handle, WM_SETFONT, reinterpret_cast<WPARAM>(window->font), TRUE);
    SendMessageA(control(*window, STATUS), WM_SETFONT, reinterpret_cast<WPARAM>(window->bigFont),
                 TRUE);
    sizeColumns(*window);
    SetWindowPos(window->handle, nullptr, suggested->left, suggested->top,
                 suggested->right - suggested->left, suggested->bottom - suggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    layOut(*window);
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
            selectionChanged(window, reinterpret_cast<const NMLISTVIEW*>(lParam));
        return 0;
    }
    case PROGRESS_MESSAGE:
        showProgress(window, reinterpret_cast<TransferProgress*>(lParam));
        return 0;
    case STAGE_MESSAGE:
        showStage(*window, wParam);
        return 0;
    case JOB_DONE_MESSAGE:
        jobDone(window, reinterpret_cast<Job*>(lParam));
        return 0;
    case WM_DEVICECHANGE:
        if (window != nullptr)
            devicesChanged(window, wParam, reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam));
        return TRUE;
    case WM_POWERBROADCAST:  // the charger plugged in or out: Update may come or go
        if (window != nullptr) showState(*window);
        return TRUE;
    case WM_TIMER:
        if (wParam == LOOK_AGAIN_TIMER && !updating) showState(*window);
        if (wParam != DRIVES_CHANGED_TIMER) return 0;
        KillTimer(handle, DRIVES_CHANGED_TIMER);
        askDrives(window);
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
    case WM_DROPFILES:
        fileDropped(window, reinterpret_cast<HDROP>(wParam));
        return 0;
    case WM_SIZE:
        if (window != nullptr) layOut(*window);
        return 0;
    case WM_GETMINMAXINFO:
        if (window != nullptr) {
            const SIZE least = frameFor(*window, scaled(*window, LEAST_WIDTH),
                                        scaled(*window, rowsHeight(false)));
            reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {least.cx, least.cy};
        }
        return 0;
    case WM_DPICHANGED_MESSAGE:
        if (window != nullptr) dpiChanged(window, wParam, reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(handle, message, wParam, lParam);
    }
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
    window->systemDpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    window->handle = CreateWindowExA(0, WINDOW_CLASS, TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                     CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                                     nullptr, instance, nullptr);
    if (window->handle == nullptr) return false;
    window->dpi = dpiOf(*window);
    makeFonts(window);
    SetWindowLongPtrA(window->handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
    makeControls(window);
    placeOnScreen(*window);
    layOut(*window);
    takeDrops(*window);
    SetTimer(window->handle, LOOK_AGAIN_TIMER, LOOK_AGAIN_MILLISECONDS, nullptr);
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
    askDrives(&window);
    // A file given on the command line, as Windows gives one dropped on the program's icon.
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments != nullptr && count > 1) chooseFile(&window, arguments[1]);
    LocalFree(arguments);
    SetFocus(control(window, DRIVES));
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(window.handle, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
