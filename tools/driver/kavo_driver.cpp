// End-to-end test driver.  Runs inside wine next to the installer, starts it
// with an exact command line (CreateProcessA, so no quoting is rewritten)
// and works its window from the outside, one script line at a time:
//
//   kavo_driver.exe <script file> <report file>
//
// Script lines (blank lines and lines starting with # are skipped):
//   cd <folder>                   working folder for the next start
//   start <command line>          start the installer
//   window <ms>                   wait for its main window
//   info                          title, class, sizes and every control
//   list | edit | status          list entries, edit text, status and bar
//   command <id> [code]           post WM_COMMAND (notification code 0 by default)
//   close                         post WM_CLOSE
//   box <title> <yes|no|ok> <ms>  wait for a message box, report its text and
//                                 how long after the last command or close it
//                                 showed ("box.after_ms", to within 25 ms), press
//   nobox <title> <ms>            fail if such a box shows within ms
//   waitbox <title> <ms>          wait for a message box and report its text, press nothing
//   anybox <title> <yes|no|ok> <ms>  like box, for a box of any process (one the
//                                 installer's own child process shows)
//   waitlist <ms> <text>          wait until a list entry contains text
//   waitgone <ms> <text>          wait until no list entry contains text
//   waitstatus <ms> <text>        wait until the status text equals text
//   waitexit <ms>                 wait for the process to end, report its exit code
//   watchexit <ms>                the same, watching its top-level windows meanwhile:
//                                 reports each one that became visible, and
//                                 whether its main window existed hidden
//   sleep <ms>
//   shot <file.png>               screenshot of the window and its boxes
//   lnk <file>                    target and working folder of a shortcut (a bare
//                                 name is looked up on the desktop)
//   exists <file>                 reports 1 or 0 (a bare name is looked up on the desktop)
//   kill                          end the installer (as a crash would) and wait until it is gone
//   copy <from> <to>              copy a file (the first path has no spaces)
//   timescale <n>                 multiply every later wait limit by n (slow,
//                                 emulated runs); sleeps stay as written
//   use <n>                       work on installer n (0 to 3; 0 at first) from
//                                 here on: several can run at once
//   hold <none|read|all> <ms> <file>  another program's open of a file: opened now
//                                 sharing nothing, reading, or reading, writing
//                                 and deleting, and closed after ms (0: at
//                                 "release" or the end); the script goes on
//   release                       close every file held
//   waitfile <ms> <file>          wait until a file exists (the test's signal)
//   regdel <key>                  remove a key below HKEY_CURRENT_USER
// Boxes are answered yes, no, ok, retry or cancel.
// The report gets "key: value" lines; a failed step writes "fail: ..." and
// ends the run with exit code 1 (the installer is then ended too).
#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/driver/png_writer.h"

namespace {

FILE* report;
PROCESS_INFORMATION child;
bool childStarted;
std::string workFolder;
HWND mainWnd;
int timeScale = 1;
DWORD postTick;    // when the last command or close was posted (0: none yet)

// Each installer started has a slot; the steps work on the current one,
// whose process and window are `child`, `childStarted` and `mainWnd`.
struct Slot {
    PROCESS_INFORMATION child;
    bool started;
    HWND wnd;
};
Slot slots[4];
int current = 0;

void useSlot(int n) {
    slots[current] = {child, childStarted, mainWnd};
    current = n;
    child = slots[n].child;
    childStarted = slots[n].started;
    mainWnd = slots[n].wnd;
}

// Ends every installer still running; true when there was one.
bool endAll() {
    useSlot(current);
    bool any = false;
    for (Slot& slot : slots) {
        DWORD code = 0;
        if (slot.started && GetExitCodeProcess(slot.child.hProcess, &code) && code == STILL_ACTIVE) {
            TerminateProcess(slot.child.hProcess, 99);
            any = true;
        }
    }
    return any;
}

void out(const std::string& key, const std::string& value) {
    fprintf(report, "%s: %s\n", key.c_str(), value.c_str());
    fflush(report);
}

[[noreturn]] void fail(int lineNo, const std::string& why) {
    out("fail", "line " + std::to_string(lineNo) + ": " + why);
    endAll();
    fclose(report);
    ExitProcess(1);
}

std::string className(HWND w) {
    char buf[256] = "";
    GetClassNameA(w, buf, sizeof buf);
    return buf;
}

std::string windowText(HWND w) {
    char buf[4096] = "";
    DWORD_PTR got = 0;
    SendMessageTimeoutA(w, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 3000, &got);
    buf[sizeof buf - 1] = '\0';
    return buf;
}

std::string escape(const std::string& s) {
    std::string r;
    for (char c : s) {
        if (c == '\n') r += "\\n";
        else if (c == '\r') r += "\\r";
        else if (c == '\t') r += "\\t";
        else r += c;
    }
    return r;
}

struct Found {
    DWORD pid;
    std::string cls, title;
    HWND hwnd;
};

BOOL CALLBACK findTop(HWND w, LPARAM lp) {
    Found* f = reinterpret_cast<Found*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if ((f->pid && pid != f->pid) || !IsWindowVisible(w)) return TRUE;
    if (className(w) != f->cls) return TRUE;
    if (!f->title.empty()) {
        char t[512] = "";
        GetWindowTextA(w, t, sizeof t);
        if (f->title != t) return TRUE;
    }
    f->hwnd = w;
    return FALSE;
}

struct Watched {
    DWORD pid;
    std::vector<HWND> seen;
    bool hiddenMain;
};

BOOL CALLBACK watchTop(HWND w, LPARAM lp) {
    Watched* v = reinterpret_cast<Watched*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid != v->pid) return TRUE;
    if (!IsWindowVisible(w)) {
        if (className(w) == "wndClass_KAVO_installer") v->hiddenMain = true;
        return TRUE;
    }
    for (HWND s : v->seen)
        if (s == w) return TRUE;
    v->seen.push_back(w);
    char t[512] = "";
    GetWindowTextA(w, t, sizeof t);
    out("visible", className(w) + "|" + t);
    return TRUE;
}

// A window of the installer, or of any process when anyProcess is set.
HWND findWindowOf(const std::string& cls, const std::string& title, bool anyProcess = false) {
    Found f{anyProcess ? 0 : child.dwProcessId, cls, title, nullptr};
    EnumWindows(findTop, reinterpret_cast<LPARAM>(&f));
    return f.hwnd;
}

bool childRunning() {
    DWORD code = 0;
    return childStarted && GetExitCodeProcess(child.hProcess, &code) && code == STILL_ACTIVE;
}

std::vector<std::string> listEntries() {
    std::vector<std::string> entries;
    HWND list = FindWindowExA(mainWnd, nullptr, "LISTBOX", nullptr);
    if (!list) return entries;
    DWORD_PTR count = 0;
    SendMessageTimeoutA(list, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 3000, &count);
    // Read as UTF-16: the system marshals the wide form of LB_GETTEXT across
    // processes reliably, the narrow one not everywhere.
    for (DWORD_PTR i = 0; i < count && static_cast<LONG_PTR>(count) > 0; ++i) {
        DWORD_PTR len = 0;
        SendMessageTimeoutW(list, LB_GETTEXTLEN, i, 0, SMTO_ABORTIFHUNG, 3000, &len);
        if (static_cast<LONG_PTR>(len) < 0) len = 0;
        std::vector<wchar_t> wide(len + 64, L'\0');
        DWORD_PTR got = 0;
        SendMessageTimeoutW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(wide.data()), SMTO_ABORTIFHUNG, 3000, &got);
        wide.back() = L'\0';
        std::vector<char> narrow(wide.size() * 2 + 1, '\0');
        WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, narrow.data(), static_cast<int>(narrow.size()), nullptr, nullptr);
        entries.push_back(narrow.data());
    }
    return entries;
}

HWND childByClass(const char* cls, int nth = 0) {
    HWND w = nullptr;
    for (int i = 0; i <= nth; ++i) {
        w = FindWindowExA(mainWnd, w, cls, nullptr);
        if (!w) return nullptr;
    }
    return w;
}

std::string rectText(const RECT& r) {
    char b[80];
    snprintf(b, sizeof b, "%ld %ld %ld %ld", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return b;
}

BOOL CALLBACK dumpChild(HWND w, LPARAM) {
    if (GetParent(w) != mainWnd) return TRUE;
    RECT r;
    GetWindowRect(w, &r);
    MapWindowPoints(nullptr, mainWnd, reinterpret_cast<POINT*>(&r), 2);
    char style[16];
    snprintf(style, sizeof style, "%08lX", static_cast<unsigned long>(GetWindowLongA(w, GWL_STYLE)));
    std::string cls = className(w);
    // The list's own text is not readable through WM_GETTEXT; report it empty.
    std::string text = (cls == "ListBox" || cls == "LISTBOX") ? "" : escape(windowText(w));
    out("control", cls + "|" + text + "|" + std::to_string(GetDlgCtrlID(w)) + "|" + rectText(r) + "|" + style +
                       "|" + (IsWindowVisible(w) ? "visible" : "hidden"));
    return TRUE;
}

void screenshot(int lineNo, const std::string& file) {
    RECT r;
    if (!mainWnd || !GetWindowRect(mainWnd, &r)) fail(lineNo, "no window for shot");
    // Include the process's message boxes so that a question is in the picture.
    Found f{child.dwProcessId, "#32770", "", nullptr};
    EnumWindows(findTop, reinterpret_cast<LPARAM>(&f));
    if (f.hwnd) {
        RECT b;
        GetWindowRect(f.hwnd, &b);
        UnionRect(&r, &r, &b);
    }
    int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
    if (r.left < 0) r.left = 0;
    if (r.top < 0) r.top = 0;
    if (r.right > sw) r.right = sw;
    if (r.bottom > sh) r.bottom = sh;
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) fail(lineNo, "empty shot");
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, dib);
    BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    const uint8_t* px = static_cast<const uint8_t*>(bits);
    for (size_t i = 0; i < static_cast<size_t>(w) * h; ++i) {
        rgb[i * 3] = px[i * 4 + 2];
        rgb[i * 3 + 1] = px[i * 4 + 1];
        rgb[i * 3 + 2] = px[i * 4];
    }
    SelectObject(mem, old);
    DeleteObject(dib);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    if (!writePng(file.c_str(), w, h, rgb)) fail(lineNo, "cannot write " + file);
    out("shot", file + " " + std::to_string(w) + "x" + std::to_string(h));
}

// A bare name is looked up on the desktop, where the installer puts shortcuts.
std::string onDesktop(int lineNo, const std::string& name) {
    if (name.find(':') != std::string::npos) return name;
    char desktop[MAX_PATH] = "";
    if (SHGetFolderPathA(nullptr, CSIDL_DESKTOP, nullptr, SHGFP_TYPE_CURRENT, desktop) != S_OK)
        fail(lineNo, "no desktop folder");
    return std::string(desktop) + "\\" + name;
}

void readShortcut(int lineNo, const std::string& name) {
    std::string file = onDesktop(lineNo, name);
    out("lnk.file", file);
    CoInitialize(nullptr);
    IShellLinkA* link = nullptr;
    IPersistFile* persist = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&link))))
        fail(lineNo, "no shell link object");
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
        link->Release();
        fail(lineNo, "no persist file");
    }
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide, MAX_PATH);
    if (FAILED(persist->Load(wide, STGM_READ))) {
        persist->Release();
        link->Release();
        fail(lineNo, "cannot load " + file);
    }
    char target[MAX_PATH] = "", dir[MAX_PATH] = "";
    link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
    link->GetWorkingDirectory(dir, MAX_PATH);
    out("lnk.target", target);
    out("lnk.workdir", dir);
    persist->Release();
    link->Release();
    CoUninitialize();
}

bool pressBox(HWND box, const std::string& button) {
    int id = button == "yes"      ? IDYES
             : button == "no"     ? IDNO
             : button == "ok"     ? IDOK
             : button == "retry"  ? IDRETRY
             : button == "cancel" ? IDCANCEL
                                  : 0;
    if (!id) return false;
    HWND b = GetDlgItem(box, id);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(b));
    return true;
}

// Files held open by this process, as a scanner or the product would hold
// them; one with a time is closed by a thread of its own when it is up.
std::vector<HANDLE> heldFiles;

struct Held {
    HANDLE file;
    DWORD ms;
};

DWORD WINAPI releaseLater(LPVOID arg) {
    Held* h = static_cast<Held*>(arg);
    Sleep(h->ms);
    CloseHandle(h->file);
    delete h;
    return 0;
}

std::string word(std::string& rest) {
    size_t s = rest.find_first_not_of(' ');
    if (s == std::string::npos) {
        rest.clear();
        return "";
    }
    size_t e = rest.find(' ', s);
    std::string w = rest.substr(s, e == std::string::npos ? std::string::npos : e - s);
    rest = e == std::string::npos ? "" : rest.substr(e + 1);
    return w;
}

int number(int lineNo, const std::string& w) {
    char* end = nullptr;
    long v = strtol(w.c_str(), &end, 10);
    if (w.empty() || *end) fail(lineNo, "not a number: " + w);
    return static_cast<int>(v);
}

void needWindow(int lineNo) {
    if (!mainWnd || !IsWindow(mainWnd)) fail(lineNo, "no main window");
}

template <typename Pred>
bool waitFor(int ms, Pred pred) {
    ms *= timeScale;
    DWORD start = GetTickCount();
    for (;;) {
        if (pred()) return true;
        if (static_cast<int>(GetTickCount() - start) >= ms) return false;
        Sleep(25);
    }
}

void runLine(int lineNo, const std::string& line) {
    std::string rest = line;
    std::string verb = word(rest);
    if (verb == "cd") {
        workFolder = rest;
    } else if (verb == "start") {
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        std::vector<char> cmd(rest.begin(), rest.end());
        cmd.push_back('\0');
        // On a loaded machine wine now and then loses a new process while it
        // is being set up (ERROR_INTERNAL_ERROR: it ended before its start-up
        // finished, so the installer's WinMain never ran). A fresh attempt is
        // the same test; any other error fails the line.
        int attempt = 0;
        for (;;) {
            if (CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               workFolder.empty() ? nullptr : workFolder.c_str(), &si, &child))
                break;
            DWORD err = GetLastError();
            if (err != ERROR_INTERNAL_ERROR || ++attempt > 3)
                fail(lineNo, "CreateProcess failed " + std::to_string(err));
            out("start.retry", std::to_string(attempt));
            Sleep(500);
        }
        childStarted = true;
        mainWnd = nullptr;
        out("started", std::to_string(child.dwProcessId));
    } else if (verb == "window") {
        int ms = number(lineNo, word(rest));
        if (!waitFor(ms, [] { return (mainWnd = findWindowOf("wndClass_KAVO_installer", "")) != nullptr; }))
            fail(lineNo, "main window did not appear");
        out("window", "found");
    } else if (verb == "info") {
        needWindow(lineNo);
        char title[256] = "";
        GetWindowTextA(mainWnd, title, sizeof title);
        out("title", title);
        out("class", className(mainWnd));
        RECT c, w;
        GetClientRect(mainWnd, &c);
        GetWindowRect(mainWnd, &w);
        out("client", std::to_string(c.right - c.left) + " " + std::to_string(c.bottom - c.top));
        out("rect", rectText(w));
        char style[16];
        snprintf(style, sizeof style, "%08lX", static_cast<unsigned long>(GetWindowLongA(mainWnd, GWL_STYLE)));
        out("style", style);
        out("screen", std::to_string(GetSystemMetrics(SM_CXSCREEN)) + " " +
                          std::to_string(GetSystemMetrics(SM_CYSCREEN)));
        EnumChildWindows(mainWnd, dumpChild, 0);
    } else if (verb == "list") {
        needWindow(lineNo);
        std::vector<std::string> e = listEntries();
        out("list.count", std::to_string(e.size()));
        for (size_t i = 0; i < e.size(); ++i) out("list[" + std::to_string(i) + "]", escape(e[i]));
    } else if (verb == "edit") {
        needWindow(lineNo);
        out("edit", windowText(childByClass("Edit")));
    } else if (verb == "status") {
        needWindow(lineNo);
        out("status", windowText(childByClass("Static")));
        HWND bar = childByClass("msctls_progress32");
        DWORD_PTR pos = 0;
        if (bar) SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 3000, &pos);
        out("progress.visible", bar && IsWindowVisible(bar) ? "1" : "0");
        out("progress.pos", std::to_string(static_cast<long>(pos)));
    } else if (verb == "command") {
        needWindow(lineNo);
        int id = number(lineNo, word(rest));
        std::string code = word(rest);
        int c = code.empty() ? 0 : number(lineNo, code);
        PostMessageA(mainWnd, WM_COMMAND, MAKEWPARAM(id, c), 0);
        postTick = GetTickCount() | 1;
    } else if (verb == "close") {
        needWindow(lineNo);
        PostMessageA(mainWnd, WM_CLOSE, 0, 0);
        postTick = GetTickCount() | 1;
    } else if (verb == "box" || verb == "nobox" || verb == "waitbox" || verb == "anybox") {
        std::string title = word(rest);
        for (char& ch : title)
            if (ch == '_') ch = ' ';  // titles with spaces are written with "_"
        bool any = verb == "anybox";
        std::string button = verb == "box" || any ? word(rest) : "";
        int ms = number(lineNo, word(rest));
        HWND box = nullptr;
        bool seen = waitFor(ms, [&] { return (box = findWindowOf("#32770", title, any)) != nullptr; });
        if (verb == "nobox") {
            if (seen) fail(lineNo, "unexpected box " + title + ": " + escape(windowText(GetDlgItem(box, 0xFFFF))));
            out("nobox", title);
            return;
        }
        if (!seen) fail(lineNo, "no box " + title);
        if (postTick) out("box.after_ms", std::to_string(GetTickCount() - postTick));
        Sleep(100);  // let the box finish laying out its text
        out("box", title + "|" + escape(windowText(GetDlgItem(box, 0xFFFF))));
        if (verb == "waitbox") return;
        if (!pressBox(box, button)) fail(lineNo, "unknown button " + button);
        waitFor(3000, [&] { return !IsWindow(box) || !IsWindowVisible(box); });
    } else if (verb == "waitlist" || verb == "waitgone") {
        needWindow(lineNo);
        int ms = number(lineNo, word(rest));
        bool want = verb == "waitlist";
        bool ok = waitFor(ms, [&] {
            for (const std::string& e : listEntries())
                if (e.find(rest) != std::string::npos) return want;
            return !want;
        });
        if (!ok) fail(lineNo, (want ? "list never showed: " : "list still shows: ") + rest);
    } else if (verb == "waitstatus") {
        needWindow(lineNo);
        int ms = number(lineNo, word(rest));
        if (!waitFor(ms, [&] { return windowText(childByClass("Static")) == rest; }))
            fail(lineNo, "status never became: " + rest);
    } else if (verb == "waitexit") {
        int ms = number(lineNo, word(rest));
        if (!childStarted) fail(lineNo, "nothing started");
        if (WaitForSingleObject(child.hProcess, static_cast<DWORD>(ms) * timeScale) != WAIT_OBJECT_0)
            fail(lineNo, "installer still running");
        DWORD code = 0;
        GetExitCodeProcess(child.hProcess, &code);
        out("exit", std::to_string(code));
        childStarted = false;
    } else if (verb == "watchexit") {
        int ms = number(lineNo, word(rest)) * timeScale;
        if (!childStarted) fail(lineNo, "nothing started");
        Watched watched{child.dwProcessId, {}, false};
        DWORD start = GetTickCount();
        // Often enough that a window shown for a moment is seen; a box
        // would stay until answered.
        while (WaitForSingleObject(child.hProcess, 10) == WAIT_TIMEOUT) {
            EnumWindows(watchTop, reinterpret_cast<LPARAM>(&watched));
            if (static_cast<int>(GetTickCount() - start) >= ms) fail(lineNo, "installer still running");
        }
        DWORD code = 0;
        GetExitCodeProcess(child.hProcess, &code);
        out("visible.count", std::to_string(watched.seen.size()));
        out("hidden.main", watched.hiddenMain ? "1" : "0");
        out("exit", std::to_string(code));
        childStarted = false;
    } else if (verb == "sleep") {
        Sleep(static_cast<DWORD>(number(lineNo, word(rest))));
    } else if (verb == "shot") {
        screenshot(lineNo, rest);
    } else if (verb == "lnk") {
        readShortcut(lineNo, rest);
    } else if (verb == "exists") {
        out("exists", GetFileAttributesA(onDesktop(lineNo, rest).c_str()) != INVALID_FILE_ATTRIBUTES ? "1" : "0");
    } else if (verb == "copy") {
        std::string from = word(rest);
        if (!CopyFileA(from.c_str(), rest.c_str(), FALSE))
            fail(lineNo, "cannot copy " + from + " to " + rest + " - " + std::to_string(GetLastError()));
    } else if (verb == "kill") {
        // Returns once the process is gone, its handles closed with it.
        if (childRunning() && TerminateProcess(child.hProcess, 99))
            WaitForSingleObject(child.hProcess, 10000);
        childStarted = false;
    } else if (verb == "timescale") {
        timeScale = number(lineNo, word(rest));
        if (timeScale < 1) fail(lineNo, "time scale below 1");
    } else if (verb == "use") {
        int n = number(lineNo, word(rest));
        if (n < 0 || n >= static_cast<int>(sizeof slots / sizeof slots[0])) fail(lineNo, "no installer slot " + rest);
        useSlot(n);
    } else if (verb == "hold") {
        std::string share = word(rest);
        DWORD ms = static_cast<DWORD>(number(lineNo, word(rest)));
        DWORD mode = share == "none" ? 0 : share == "read" ? FILE_SHARE_READ
                                                            : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        HANDLE f = CreateFileA(rest.c_str(), GENERIC_READ, mode, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) fail(lineNo, "cannot hold " + rest + " - " + std::to_string(GetLastError()));
        if (ms == 0) {
            heldFiles.push_back(f);
        } else {
            HANDLE t = CreateThread(nullptr, 0, releaseLater, new Held{f, ms}, 0, nullptr);
            if (!t) fail(lineNo, "cannot start the holder");
            CloseHandle(t);
        }
    } else if (verb == "release") {
        for (HANDLE h : heldFiles) CloseHandle(h);
        heldFiles.clear();
    } else if (verb == "waitfile") {
        int ms = number(lineNo, word(rest)) * timeScale;
        DWORD start = GetTickCount();
        while (GetFileAttributesA(rest.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (static_cast<int>(GetTickCount() - start) >= ms) fail(lineNo, "no file " + rest);
            Sleep(20);
        }
    } else if (verb == "regdel") {
        LONG err = RegDeleteKeyA(HKEY_CURRENT_USER, rest.c_str());
        if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND)
            fail(lineNo, "cannot remove HKCU\\" + rest + " - " + std::to_string(err));
    } else if (verb == "alive") {
        out("alive", childRunning() ? "1" : "0");
    } else {
        fail(lineNo, "unknown step " + verb);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: kavo_driver <script> <report>\n");
        return 2;
    }
    FILE* script = fopen(argv[1], "rb");
    report = fopen(argv[2], "wb");
    if (!script || !report) return 2;
    char buf[8192];
    int lineNo = 0;
    while (fgets(buf, sizeof buf, script)) {
        ++lineNo;
        std::string line = buf;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        runLine(lineNo, line);
    }
    fclose(script);
    out("done", "ok");
    // Leave nothing behind between tests.
    if (endAll()) out("killed", "1");
    fclose(report);
    return 0;
}
