#include <winsock2.h>

#include "app/window_win32.h"

#include <commctrl.h>
#include <shlobj.h>

#include "app/commands.h"
#include "app/config.h"
#include "app/eventlog.h"
#include "app/globals.h"
#include "app/silent.h"
#include "base/textbuf.h"
#include "net/connection.h"
#include "platform/sys.h"
#include "platform/sys_win32.h"
#include "setup/install.h"
#include "setup/update.h"

HINSTANCE appInstance;
int screenWidth;
int screenHeight;

HWND mainWindow;
HFONT uiFont;
HWND messageList;
HWND dirEdit;
HWND statusText;
HWND progressBar;
LONG progressStyle;

namespace {

const COLORREF BACKGROUND = RGB(200, 200, 200);
HBRUSH statusBrush;  // lives as long as the window

enum : int { LIST_MAX_ENTRIES = 3000 };

void fitClientArea() {
    RECT outer, client;
    GetWindowRect(mainWindow, &outer);
    GetClientRect(mainWindow, &client);
    int frameWidth = (outer.right - outer.left) - (client.right - client.left);
    int frameHeight = (outer.bottom - outer.top) - (client.bottom - client.top);
    SetWindowPos(mainWindow, HWND_TOP, outer.left, outer.top, CLIENT_WIDTH + frameWidth,
                 CLIENT_HEIGHT + frameHeight, 0);
}

HWND createChild(const char* className, const char* text, DWORD style, int x, int y, int w, int h,
                 int id) {
    return CreateWindowExA(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, mainWindow,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), appInstance, nullptr);
}

void setFont(HWND control) { SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(uiFont), TRUE); }

void selectInstallFolder() {
    char path[MAX_PATH];
    path[0] = '\0';
    // The new-style browser needs COM on this thread.
    HRESULT com = CoInitialize(nullptr);
    BROWSEINFOA info = {};
    info.hwndOwner = mainWindow;
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    LPITEMIDLIST item = SHBrowseForFolderA(&info);
    if (item) {
        if (!SHGetPathFromIDListA(item, path)) path[0] = '\0';
        CoTaskMemFree(item);
    }
    if (SUCCEEDED(com)) CoUninitialize();
    if (!path[0]) return;

    char chosen[INSTALL_DIR_CAP];
    if (!copyText(chosen, sizeof chosen, path) || !applyProductFolder(chosen, sizeof chosen, testEdition)) {
        logMessage("select folder - \"%s\" is too long", path);
        return;
    }
    copyText(installDir, sizeof installDir, chosen);
    SetWindowTextA(dirEdit, installDir);
}

void onClose() {
    if (workInProgress) {
        if (!uiAskYesNo("Installation is in progress.\nDo you want to abort the installation?",
                        "Installation in Progress", true))
            return;
        abortRequested = true;
    }
    keepRunning = false;
    PostQuitMessage(0);
}

// Returns true when the command was handled here.
bool onCommand(int id) {
    switch (id) {
        case CMD_SELECT_DIR:
            if (!workInProgress) selectInstallFolder();
            return true;
        case CMD_INSTALL:
            if (!workInProgress) installKAVO();
            return true;
        case CMD_UPDATE:
            if (!workInProgress) updateKAVO();
            return true;
        case CMD_QUIT:
            PostQuitMessage(0);
            return true;
        default:
            return false;
    }
}

int watchServerSocket(SysSocket s) {
    if (WSAAsyncSelect(static_cast<SOCKET>(s), mainWindow, WM_SERVER_SOCKET, FD_READ | FD_CLOSE) != 0)
        return WSAGetLastError();
    return 0;
}

LRESULT onColorStatic(HDC dc, HWND control, HWND window, WPARAM wParam, LPARAM lParam) {
    if (control != statusText) return DefWindowProcA(window, WM_CTLCOLORSTATIC, wParam, lParam);
    SetBkColor(dc, BACKGROUND);
    SetTextColor(dc, RGB(0, 0, 0));
    return reinterpret_cast<LRESULT>(statusBrush);
}

}  // namespace

void createMainWindow() {
    mainWindow = CreateWindowExA(0, MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE,
                                 WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_SYSMENU,
                                 (screenWidth - CLIENT_WIDTH) / 2, (screenHeight - CLIENT_HEIGHT) / 2,
                                 CLIENT_WIDTH, CLIENT_HEIGHT, nullptr, nullptr, appInstance, nullptr);
    if (!mainWindow) return;
    sysSocketWatchHook = watchServerSocket;
    fitClientArea();

    statusBrush = CreateSolidBrush(BACKGROUND);
    uiFont = CreateFontA(20, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_OUTLINE_PRECIS,
                         CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, VARIABLE_PITCH | FF_DONTCARE,
                         "Trebuchet MS");

    messageList = createChild("LISTBOX", "MessageList",
                              WS_BORDER | WS_VSCROLL | WS_HSCROLL | LBS_NOSEL | LBS_NOINTEGRALHEIGHT, 5, 5,
                              390, 160, 0);
    SendMessageA(messageList, LB_SETHORIZONTALEXTENT, 1000, 0);
    setFont(messageList);

    dirEdit = createChild("EDIT", "dir", WS_BORDER | ES_AUTOHSCROLL | ES_READONLY, 5, 180, 300, 25, 0);
    setFont(dirEdit);
    setFont(createChild("BUTTON", "select", BS_PUSHBUTTON, 310, 180, 85, 25, CMD_SELECT_DIR));
    setFont(createChild("BUTTON", "INSTALL", BS_PUSHBUTTON, 310, 210, 85, 35, CMD_INSTALL));
    SetWindowTextA(dirEdit, installDir);

    statusText = createChild("Static", "", SS_LEFT, 10, 210, 250, 20, 0);
    setFont(statusText);

    progressBar = createChild(PROGRESS_CLASSA, nullptr, 0, 5, 230, 300, 15, 0);
    progressStyle = GetWindowLongA(progressBar, GWL_STYLE);
    SendMessageA(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, PROGRESS_RANGE));
    SendMessageA(progressBar, PBM_SETPOS, 0, 0);
    ShowWindow(progressBar, SW_HIDE);

    // An unattended run keeps its window hidden: it exists only for the
    // socket notifications.
    if (silentMode) return;
    ShowWindow(mainWindow, SW_SHOW);
    UpdateWindow(mainWindow);
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_SERVER_SOCKET && message <= WM_SERVER_SOCKET_LAST) {
        onServerSocketEvent(LOWORD(lParam));
        return 0;
    }
    switch (message) {
        case WM_SERVER_RESERVED:
        case WM_KEYDOWN:
            return 0;
        case WM_CLOSE:
        case WM_QUIT:
            onClose();
            return 0;
        case WM_COMMAND:
            if (HIWORD(wParam) == 0 && onCommand(LOWORD(wParam))) return 0;
            break;
        case WM_CTLCOLORSTATIC:
            return onColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), window,
                                 wParam, lParam);
        default:
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void pumpMessages() {
    // Peek only when something waits: under wine a peek that finds nothing
    // also yields the processor, which on a busy machine costs milliseconds
    // per call and so per chunk of a download.
    if (HIWORD(GetQueueStatus(QS_ALLINPUT)) == 0) return;
    MSG msg;
    for (int i = 0; i < 10; ++i) {
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return;
        // A quit message taken here is dispatched like any other and so
        // dropped; the main loop ends on keepRunning instead.
        if (!IsDialogMessageA(mainWindow, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

// ---- the UI verbs of the system seam, on this window ----------------------

// Paint at once: during long work the queue is seldom empty enough for a
// deferred paint to come through.
static void repaintList() {
    InvalidateRect(messageList, nullptr, TRUE);
    UpdateWindow(messageList);
}

void uiListAdd(const char* text) {
    if (!messageList) return;
    // One repaint for the whole change instead of one per list operation:
    // a progress line replaced ten times a second would otherwise cost
    // more than the download itself.
    SendMessageA(messageList, WM_SETREDRAW, FALSE, 0);
    while (SendMessageA(messageList, LB_GETCOUNT, 0, 0) > LIST_MAX_ENTRIES)
        SendMessageA(messageList, LB_DELETESTRING, 0, 0);
    SendMessageA(messageList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    LRESULT count = SendMessageA(messageList, LB_GETCOUNT, 0, 0);
    // A list without selection refuses the select; scroll the newest line
    // into view then.
    if (SendMessageA(messageList, LB_SETCURSEL, static_cast<WPARAM>(count - 1), 0) == LB_ERR)
        SendMessageA(messageList, LB_SETTOPINDEX, static_cast<WPARAM>(count - 1), 0);
    SendMessageA(messageList, WM_SETREDRAW, TRUE, 0);
    repaintList();
}

void uiListDropLast() {
    if (!messageList) return;
    LRESULT count = SendMessageA(messageList, LB_GETCOUNT, 0, 0);
    if (count < 1) return;
    SendMessageA(messageList, WM_SETREDRAW, FALSE, 0);
    SendMessageA(messageList, LB_DELETESTRING, static_cast<WPARAM>(count - 1), 0);
    SendMessageA(messageList, WM_SETREDRAW, TRUE, 0);
    repaintList();
}

void uiListReplaceLast(const char* text) {
    if (!messageList) return;
    LRESULT count = SendMessageA(messageList, LB_GETCOUNT, 0, 0);
    if (count < 1) {
        uiListAdd(text);
        return;
    }
    // The list redraws its scroll bars on every insert and delete, even
    // when nothing about them changes, and under wine each such redraw
    // costs more than a hundred chunks of the download.  With the list
    // hidden for the moment of the change it skips those; the count, and
    // with it the scroll bars, end as they were, so only the line itself
    // needs painting.  A change that moved the view paints everything.
    // Paints still due from before are done first, so that dropping the
    // change's own leftovers afterwards loses none of them.
    UpdateWindow(messageList);
    LRESULT top = SendMessageA(messageList, LB_GETTOPINDEX, 0, 0);
    LONG_PTR style = GetWindowLongPtrA(messageList, GWL_STYLE);
    SetWindowLongPtrA(messageList, GWL_STYLE, style & ~WS_VISIBLE);
    SendMessageA(messageList, LB_DELETESTRING, static_cast<WPARAM>(count - 1), 0);
    SendMessageA(messageList, LB_INSERTSTRING, static_cast<WPARAM>(count - 1), reinterpret_cast<LPARAM>(text));
    SendMessageA(messageList, LB_SETTOPINDEX, static_cast<WPARAM>(count - 1), 0);
    SetWindowLongPtrA(messageList, GWL_STYLE, style);
    if (SendMessageA(messageList, LB_GETTOPINDEX, 0, 0) != top) {
        RedrawWindow(messageList, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW);
        return;
    }
    RedrawWindow(messageList, nullptr, nullptr, RDW_VALIDATE | RDW_NOFRAME);
    RECT item;
    if (SendMessageA(messageList, LB_GETITEMRECT, static_cast<WPARAM>(count - 1), reinterpret_cast<LPARAM>(&item)) !=
        LB_ERR)
        InvalidateRect(messageList, &item, TRUE);
    UpdateWindow(messageList);
}

void uiSetStatus(const char* text) {
    if (statusText) SetWindowTextA(statusText, text);
}

void uiShowProgress(bool show) {
    if (!progressBar) return;
    if (show) {
        ShowWindow(progressBar, SW_SHOW);
        SetWindowLongA(progressBar, GWL_STYLE, progressStyle);
    } else {
        ShowWindow(progressBar, SW_HIDE);
    }
}

void uiSetProgress(int position) {
    if (progressBar) SendMessageA(progressBar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void uiPump() { pumpMessages(); }

void uiSocketReads(SysSocket s, bool on) {
    if (!mainWindow || s == SYS_NO_SOCKET) return;
    WSAAsyncSelect(static_cast<SOCKET>(s), mainWindow, WM_SERVER_SOCKET, on ? FD_READ | FD_CLOSE : FD_CLOSE);
    if (on) PostMessageA(mainWindow, WM_SERVER_SOCKET, static_cast<WPARAM>(s), WSAMAKESELECTREPLY(FD_READ, 0));
}

// An unattended run shows no box: warnings go to the log, questions get
// their silent answers.
void uiWarning(const char* text) {
    if (silentMode) silentWarning(text);
    else MessageBoxA(mainWindow, text, "KAVO Warning", MB_ICONWARNING | MB_OK);
}

bool uiAskYesNo(const char* text, const char* title, bool warningIcon) {
    if (silentMode) return silentAnswer(title);
    return MessageBoxA(mainWindow, text, title, MB_YESNO | (warningIcon ? MB_ICONWARNING : MB_ICONQUESTION)) ==
           IDYES;
}

bool uiAskRetry(const char* text, const char* title) {
    // Unattended, nobody can close the other program: the run stops and
    // says so in its exit code.
    if (silentMode) {
        silentNote(text, title);
        return false;
    }
    return MessageBoxA(mainWindow, text, title, MB_RETRYCANCEL | MB_ICONWARNING) == IDRETRY;
}

void uiInform(const char* text, const char* title) {
    if (silentMode) silentNote(text, title);
    else MessageBoxA(mainWindow, text, title, MB_ICONINFORMATION | MB_OK);
}

void uiQuit() {
    // An unattended run has no message loop to end: the work it runs stops
    // where it safely can, and the run ends with it.
    if (silentMode) {
        abortRequested = true;
        keepRunning = false;
    }
    PostQuitMessage(0);
}
