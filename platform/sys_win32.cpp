// Win32 side of the system seam (the exe and the Windows unit tests).
#include "platform/sys.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <restartmanager.h>

#include <cerrno>
#include <io.h>
#include <share.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "base/textbuf.h"

int sysCreateFolder(const char* path) {
    return CreateDirectoryA(path, nullptr) ? SYS_OK : static_cast<int>(GetLastError());
}

int sysDeleteFile(const char* path) {
    return DeleteFileA(path) ? SYS_OK : static_cast<int>(GetLastError());
}

int sysRemoveFolder(const char* path) {
    return RemoveDirectoryA(path) ? SYS_OK : static_cast<int>(GetLastError());
}

int sysRenamePath(const char* from, const char* to) {
    return MoveFileA(from, to) ? SYS_OK : static_cast<int>(GetLastError());
}

int sysReplaceFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? SYS_OK : static_cast<int>(GetLastError());
}

// NTFS logs its folder changes in order; a write-through move waits for them.
int sysFlushFolder(const char*) { return SYS_OK; }

int sysWriteFileThrough(const char* path, const void* data, size_t size) {
    if (size > 0x7FFFFFFF) return ERROR_INVALID_PARAMETER;
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    DWORD written = 0;
    BOOL ok = WriteFile(h, data, static_cast<DWORD>(size), &written, nullptr) && written == size &&
              FlushFileBuffers(h);
    DWORD err = ok ? 0 : GetLastError();
    if (!CloseHandle(h) && ok) {
        ok = FALSE;
        err = GetLastError();
    }
    if (ok) return SYS_OK;
    return err ? static_cast<int>(err) : SYS_ERROR_DISK_FULL;
}

int sysReplaceFileThrough(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? SYS_OK
                                                                                     : static_cast<int>(GetLastError());
}

// NTFS logs the names in order with the files' own changes: flushing the
// files is all there is to do.  One thread flushes while the caller writes
// on: a flush straight after a file's writes waits for the disk (half a
// millisecond a file under wine here, a second for 2,000 files), and that
// wait now overlaps the writing of the next files.
struct SysFlushBatch {
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE changed;
    std::deque<std::string> queue;
    bool closing = false;
    DWORD error = 0;
    HANDLE thread = nullptr;
};

namespace {

DWORD flushOne(const std::string& path) {
    // Writing is what a flush needs; nobody else may write meanwhile.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD err = FlushFileBuffers(h) ? 0 : GetLastError();
    CloseHandle(h);
    return err;
}

DWORD WINAPI flushInBackground(LPVOID arg) {
    SysFlushBatch* b = static_cast<SysFlushBatch*>(arg);
    EnterCriticalSection(&b->lock);
    for (;;) {
        while (b->queue.empty() && !b->closing) SleepConditionVariableCS(&b->changed, &b->lock, INFINITE);
        if (b->queue.empty()) break;
        std::string path = std::move(b->queue.front());
        b->queue.pop_front();
        LeaveCriticalSection(&b->lock);
        DWORD err = flushOne(path);
        EnterCriticalSection(&b->lock);
        if (err && !b->error) b->error = err;
    }
    LeaveCriticalSection(&b->lock);
    return 0;
}

}  // namespace

SysFlushBatch* sysFlushStart() {
    SysFlushBatch* b = new SysFlushBatch;
    InitializeCriticalSection(&b->lock);
    InitializeConditionVariable(&b->changed);
    // Without the thread, sysFlushFinish flushes everything itself.
    b->thread = CreateThread(nullptr, 64 * 1024, flushInBackground, b, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    return b;
}

void sysFlushAdd(SysFlushBatch* b, const char* path) {
    if (!b || !path) return;
    EnterCriticalSection(&b->lock);
    b->queue.emplace_back(path);
    LeaveCriticalSection(&b->lock);
    WakeConditionVariable(&b->changed);
}

int sysFlushFinish(SysFlushBatch* b) {
    if (!b) return ERROR_INVALID_PARAMETER;
    EnterCriticalSection(&b->lock);
    b->closing = true;
    LeaveCriticalSection(&b->lock);
    WakeConditionVariable(&b->changed);
    if (b->thread) {
        // Thousands of flushes may still be queued: the window stays alive.
        while (WaitForSingleObject(b->thread, 20) == WAIT_TIMEOUT) uiPump();
        CloseHandle(b->thread);
    }
    for (const std::string& path : b->queue) {
        DWORD err = flushOne(path);
        if (err && !b->error) b->error = err;
    }
    DWORD err = b->error;
    DeleteCriticalSection(&b->lock);
    delete b;
    return static_cast<int>(err);
}

bool sysFreeSpace(const char* folder, uint64_t* bytes, uint32_t* unit) {
    ULARGE_INTEGER available;
    if (!bytes || !unit || !GetDiskFreeSpaceExA(folder, &available, nullptr, nullptr)) return false;
    *bytes = available.QuadPart;
    // The cluster size is the volume's: asked of its root folder.
    char root[MAX_PATH];
    DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
    if (!GetVolumePathNameA(folder, root, sizeof root) ||
        !GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        return false;
    *unit = sectorsPerCluster * bytesPerSector;
    return true;
}

bool sysFileSize(const char* path, uint64_t* bytes) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!bytes || !GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    *bytes = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

static_assert(sizeof(wchar_t) == sizeof(uint16_t), "UTF-16 units");

size_t sysNameToUtf16(const char* name, size_t n, uint16_t* out, size_t cap) {
    if (!name || n == 0 || n > 0x7FFFFFFF || cap > 0x7FFFFFFF) return 0;
    int k = MultiByteToWideChar(CP_ACP, 0, name, static_cast<int>(n), reinterpret_cast<wchar_t*>(out),
                                static_cast<int>(cap));
    return k > 0 ? static_cast<size_t>(k) : 0;
}

int sysCompareNames(const char* a, size_t an, const char* b, size_t bn) {
    uint16_t wa[1024], wb[1024];
    size_t ka = sysNameToUtf16(a, an, wa, 1024), kb = sysNameToUtf16(b, bn, wb, 1024);
    int r = 0;
    if ((ka || !an) && (kb || !bn))
        r = CompareStringOrdinal(reinterpret_cast<wchar_t*>(wa), static_cast<int>(ka), reinterpret_cast<wchar_t*>(wb),
                                 static_cast<int>(kb), TRUE);
    if (r != 0) return r - CSTR_EQUAL;
    // Not convertible (longer than any name or path of the installer): bytes.
    int c = memcmp(a, b, an < bn ? an : bn);
    return c ? c : (an < bn ? -1 : an > bn ? 1 : 0);
}

namespace {

DWORD lastOpenError = 0;

// The runtime's open keeps the system's error; errno is the fallback.
FILE* noteOpen(FILE* f) {
    if (f) return f;
    lastOpenError = GetLastError();
    if (lastOpenError == 0) lastOpenError = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    return f;
}

}  // namespace

FILE* sysOpenFile(const char* path, const char* mode) {
    SetLastError(0);
    return noteOpen(fopen(path, mode));
}

FILE* sysOpenFileNoWriters(const char* path, const char* mode) {
    SetLastError(0);
    return noteOpen(_fsopen(path, mode, _SH_DENYWR));
}

int sysOpenFailure() { return static_cast<int>(lastOpenError); }

struct SysFileHold {
    HANDLE handle;
};

int sysHoldFile(const char* path, SysFileHold** hold) {
    *hold = nullptr;
    // No sharing at all: the open fails while any other program has the
    // file open for reading, writing or deleting, whatever it shares.
    HANDLE h = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    *hold = new SysFileHold{h};
    return SYS_OK;
}

void sysReleaseHold(SysFileHold* hold) {
    if (!hold) return;
    CloseHandle(hold->handle);
    delete hold;
}

// The Restart Manager names the programs that have a file open.  It is
// loaded when needed, so that the exe starts where it is missing.
bool sysFileHolder(const char* path, char* out, size_t cap) {
    if (!path || !out || cap == 0) return false;
    out[0] = '\0';
    HMODULE rm = LoadLibraryA("rstrtmgr.dll");
    if (!rm) return false;
    typedef DWORD(WINAPI * StartFn)(DWORD*, DWORD, WCHAR*);
    typedef DWORD(WINAPI * RegisterFn)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
    typedef DWORD(WINAPI * ListFn)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, LPDWORD);
    typedef DWORD(WINAPI * EndFn)(DWORD);
    StartFn start = reinterpret_cast<StartFn>(reinterpret_cast<void*>(GetProcAddress(rm, "RmStartSession")));
    RegisterFn add = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(rm, "RmRegisterResources")));
    ListFn list = reinterpret_cast<ListFn>(reinterpret_cast<void*>(GetProcAddress(rm, "RmGetList")));
    EndFn end = reinterpret_cast<EndFn>(reinterpret_cast<void*>(GetProcAddress(rm, "RmEndSession")));
    bool found = false;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    WCHAR wide[MAX_PATH];
    if (start && add && list && end && MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) > 0 &&
        start(&session, 0, key) == ERROR_SUCCESS) {
        LPCWSTR files[] = {wide};
        RM_PROCESS_INFO info[4];
        UINT needed = 0, count = 4;
        DWORD reasons = 0;
        DWORD r = add(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS
                      ? list(session, &needed, &count, info, &reasons)
                      : ERROR_INVALID_PARAMETER;
        if ((r == ERROR_SUCCESS || r == ERROR_MORE_DATA) && count > 0 && needed > 0) {
            char name[CCH_RM_MAX_APP_NAME + 1];
            if (WideCharToMultiByte(CP_ACP, 0, info[0].strAppName, -1, name, sizeof name, nullptr, nullptr) <= 0)
                name[0] = '\0';
            found = formatText(out, cap, "%s (pid %lu)", name[0] ? name : "a program",
                               static_cast<unsigned long>(info[0].Process.dwProcessId));
        }
        end(session);
    }
    FreeLibrary(rm);
    return found;
}

bool sysSeekEnd(FILE* f) { return f && _fseeki64(f, 0, SEEK_END) == 0; }
bool sysSeekStart(FILE* f) { return f && _fseeki64(f, 0, SEEK_SET) == 0; }
bool sysSeekTo(FILE* f, int64_t offset) { return f && offset >= 0 && _fseeki64(f, offset, SEEK_SET) == 0; }
int64_t sysTell(FILE* f) { return f ? static_cast<int64_t>(_ftelli64(f)) : -1; }
size_t sysReadAt(FILE* f, int64_t offset, void* buf, size_t n) {
    if (!f || offset < 0 || n > 0x7FFFFFFF) return 0;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    if (h == INVALID_HANDLE_VALUE) return 0;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD got = 0;
    return ReadFile(h, buf, static_cast<DWORD>(n), &got, &at) ? got : 0;
}

namespace {

bool isSeparatorChar(char c) { return c == '\\' || c == '/'; }

// The path the system gives an open file or folder, without its "\\?\"
// prefix: links and junctions on the way resolved.
bool finalPath(HANDLE h, char* out, DWORD cap) {
    DWORD n = GetFinalPathNameByHandleA(h, out, cap, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= cap) return false;
    if (strncmp(out, "\\\\?\\UNC\\", 8) == 0) {
        memmove(out + 1, out + 7, strlen(out + 7) + 1);  // \\?\UNC\server -> \\server
        out[0] = '\\';
    } else if (strncmp(out, "\\\\?\\", 4) == 0) {
        memmove(out, out + 4, strlen(out + 4) + 1);
    }
    return true;
}

}  // namespace

int sysDeleteInside(const char* folder, const char* path) {
    if (!folder || !path) return ERROR_FILE_NOT_FOUND;
    size_t fl = strlen(folder);
    while (fl > 0 && isSeparatorChar(folder[fl - 1])) --fl;
    size_t pl = strlen(path);
    if (pl <= fl + 1 || _strnicmp(path, folder, fl) != 0 || !isSeparatorChar(path[fl])) return SYS_ERROR_NOT_INSIDE;
    HANDLE dir = CreateFileA(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    char expected[2048];
    bool known = finalPath(dir, expected, sizeof expected);
    CloseHandle(dir);
    if (!known) return ERROR_PATH_NOT_FOUND;
    // What the file must be when nothing on the way leads elsewhere.
    size_t el = strlen(expected);
    if (el > 0 && isSeparatorChar(expected[el - 1])) expected[--el] = '\0';
    if (el + 1 + (pl - fl - 1) >= sizeof expected) return ERROR_FILENAME_EXCED_RANGE;
    expected[el] = '\\';
    for (size_t i = fl + 1; i <= pl; ++i) expected[el + i - fl] = path[i] == '/' ? '\\' : path[i];
    // The file or folder itself, never through a link put in its place.
    HANDLE h = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    BY_HANDLE_FILE_INFORMATION info;
    char actual[2048];
    int result = SYS_OK;
    if (!GetFileInformationByHandle(h, &info) || !finalPath(h, actual, sizeof actual)) result = static_cast<int>(GetLastError());
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || lstrcmpiA(actual, expected) != 0)
        result = SYS_ERROR_NOT_INSIDE;
    if (result == SYS_OK) {
        FILE_DISPOSITION_INFO disposition = {};
        disposition.DeleteFile = TRUE;
        if (!SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition))
            result = static_cast<int>(GetLastError());
    }
    CloseHandle(h);
    return result;
}

int sysPathKind(const char* path) {
    DWORD a = GetFileAttributesA(path);
    if (a == INVALID_FILE_ATTRIBUTES) return 0;
    return (a & FILE_ATTRIBUTE_DIRECTORY) ? 2 : 1;
}

bool sysCurrentFolder(char* buf, size_t cap) {
    if (!buf || cap == 0) return false;
    DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(cap), buf);
    if (n == 0 || n >= cap) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

bool sysFullPath(const char* path, char* out, size_t cap) {
    if (!out || cap == 0) return false;
    out[0] = '\0';
    if (!path || !*path || cap > MAXDWORD) return false;
    std::string full(cap, '\0'), longer(cap, '\0');
    DWORD n = GetFullPathNameA(path, static_cast<DWORD>(cap), &full[0], nullptr);
    if (n == 0 || n >= cap) return false;
    // The long form needs the path to exist; a missing file keeps the full one.
    DWORD m = GetLongPathNameA(full.c_str(), &longer[0], static_cast<DWORD>(cap));
    const char* best = m > 0 && m < cap ? longer.c_str() : full.c_str();
    if (!copyText(out, cap, best)) return false;
    for (char* p = out; *p; ++p)
        if (*p == '/') *p = '\\';
    return true;
}

struct SysFolderScan {
    HANDLE find;
    WIN32_FIND_DATAA first;
    bool haveFirst;
};

SysFolderScan* sysScanBegin(const char* folder) {
    char pattern[1024];
    if (!copyText(pattern, sizeof pattern, folder ? folder : "")) return nullptr;
    if (pattern[0] && !endsWithSeparator(pattern) && !appendText(pattern, sizeof pattern, "\\"))
        return nullptr;
    if (!appendText(pattern, sizeof pattern, "*")) return nullptr;
    SysFolderScan* scan = new SysFolderScan;
    scan->find = FindFirstFileA(pattern, &scan->first);
    if (scan->find == INVALID_HANDLE_VALUE) {
        delete scan;
        return nullptr;
    }
    scan->haveFirst = true;
    return scan;
}

bool sysScanNext(SysFolderScan* scan, SysFolderEntry* entry) {
    if (!scan || !entry) return false;
    WIN32_FIND_DATAA data;
    if (scan->haveFirst) {
        data = scan->first;
        scan->haveFirst = false;
    } else if (!FindNextFileA(scan->find, &data)) {
        return false;
    }
    memcpy(entry->name, data.cFileName, sizeof entry->name);
    entry->name[sizeof entry->name - 1] = '\0';
    entry->isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry->isHidden = (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
    entry->isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

void sysScanEnd(SysFolderScan* scan) {
    if (!scan) return;
    FindClose(scan->find);
    delete scan;
}

struct SysFolderClaim {
    HANDLE object;
};

int sysClaimFolder(const char* folder, SysFolderClaim** claim) {
    if (!claim) return ERROR_INVALID_PARAMETER;
    *claim = nullptr;
    // The folder's identity is its volume and its file number: every path
    // that reaches it (any letter case, short or relative names, a
    // substituted drive, a link) opens the same folder and gets the same.
    HANDLE dir = CreateFileA(folder, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    BY_HANDLE_FILE_INFORMATION info;
    BOOL known = GetFileInformationByHandle(dir, &info);
    DWORD err = GetLastError();
    CloseHandle(dir);
    if (!known) return static_cast<int>(err);
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
    // A named object lives while a process holds it, so the claim ends with
    // the process whatever way it ends.  The global namespace lets runs of
    // other users (other sessions) meet it too; their object is one this
    // user may not open, which says just as well that it is taken.
    char name[96];
    snprintf(name, sizeof name, "Global\\KAVO_installer_folder_%08lX_%08lX%08lX",
             static_cast<unsigned long>(info.dwVolumeSerialNumber), static_cast<unsigned long>(info.nFileIndexHigh),
             static_cast<unsigned long>(info.nFileIndexLow));
    HANDLE object = CreateMutexA(nullptr, FALSE, name);
    err = GetLastError();
    if (!object) return err == ERROR_ACCESS_DENIED ? SYS_ERROR_BUSY : static_cast<int>(err);
    if (err == ERROR_ALREADY_EXISTS) {
        CloseHandle(object);
        return SYS_ERROR_BUSY;
    }
    *claim = new SysFolderClaim{object};
    return SYS_OK;
}

void sysReleaseFolder(SysFolderClaim* claim) {
    if (!claim) return;
    CloseHandle(claim->object);
    delete claim;
}

int sysRegSetText(const char* key, const char* name, const char* value) {
    HKEY k;
    LONG err = RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr);
    if (err != ERROR_SUCCESS) return static_cast<int>(err);
    err = RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                         static_cast<DWORD>(strlen(value) + 1));
    RegCloseKey(k);
    return static_cast<int>(err);
}

int sysRegSetNumber(const char* key, const char* name, uint32_t value) {
    HKEY k;
    LONG err = RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr);
    if (err != ERROR_SUCCESS) return static_cast<int>(err);
    DWORD v = value;
    err = RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    RegCloseKey(k);
    return static_cast<int>(err);
}

namespace {

// The raw value; false when it is missing, of another type or too big.
bool regRead(const char* key, const char* name, DWORD wantType, BYTE* buf, DWORD* size) {
    HKEY k;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    LONG err = RegQueryValueExA(k, name, nullptr, &type, buf, size);
    RegCloseKey(k);
    return err == ERROR_SUCCESS && type == wantType;
}

}  // namespace

bool sysRegGetText(const char* key, const char* name, char* buf, size_t cap) {
    if (!buf || cap == 0) return false;
    // One byte kept back: a stored text need not end in a NUL.
    DWORD size = static_cast<DWORD>(cap - 1);
    if (!regRead(key, name, REG_SZ, reinterpret_cast<BYTE*>(buf), &size)) {
        buf[0] = '\0';
        return false;
    }
    buf[size] = '\0';
    return true;
}

bool sysRegGetNumber(const char* key, const char* name, uint32_t* value) {
    DWORD v = 0, size = sizeof v;
    if (!value || !regRead(key, name, REG_DWORD, reinterpret_cast<BYTE*>(&v), &size) || size != sizeof v)
        return false;
    *value = v;
    return true;
}

int sysRegDeleteKey(const char* key) {
    LONG err = RegDeleteKeyA(HKEY_CURRENT_USER, key);
    return err == ERROR_FILE_NOT_FOUND ? SYS_OK : static_cast<int>(err);
}

double nowSeconds() {
    // FILETIME counts 100 ns steps since 1601; keep whole milliseconds.
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    uint64_t ms = t / 10000ULL - 11644473600000ULL;
    return static_cast<double>(ms / 1000) + static_cast<double>(ms % 1000) / 1000.0;
}

void sysSleepMs(int ms) { Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0); }

int sysNetStart() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data);
}

SysSocket sysSocketOpen() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? SYS_NO_SOCKET : static_cast<SysSocket>(s);
}

int sysSocketClose(SysSocket s) {
    return closesocket(static_cast<SOCKET>(s)) == 0 ? 0 : -1;
}

int sysConnect(SysSocket s, const uint8_t address[4], uint16_t port, int timeoutMs) {
    SOCKET sock = static_cast<SOCKET>(s);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    memcpy(&sa.sin_addr, address, 4);
    // Connect without blocking and wait a bounded time, so that an
    // unreachable server does not freeze the window for the system's
    // default of twenty seconds or more.
    u_long on = 1;
    ioctlsocket(sock, FIONBIO, &on);
    int result = 0;
    if (connect(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        int e = WSAGetLastError();
        if (e != WSAEWOULDBLOCK) {
            result = e;
        } else {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(sock, &writable);
            FD_SET(sock, &failed);
            timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
            int r = select(0, nullptr, &writable, &failed, &tv);
            if (r == 0) {
                result = WSAETIMEDOUT;
            } else if (r < 0) {
                result = WSAGetLastError();
            } else if (FD_ISSET(sock, &failed)) {
                int err = 0;
                int len = sizeof err;
                getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
                result = err ? err : WSAECONNREFUSED;
            }
        }
    }
    u_long off = 0;
    ioctlsocket(sock, FIONBIO, &off);
    WSASetLastError(result);
    return result;
}

int sysRecv(SysSocket s, void* buf, int n, bool peek) {
    int r = recv(static_cast<SOCKET>(s), static_cast<char*>(buf), n, peek ? MSG_PEEK : 0);
    return r == SOCKET_ERROR ? -1 : r;
}

int sysSend(SysSocket s, const void* buf, int n) {
    int r = send(static_cast<SOCKET>(s), static_cast<const char*>(buf), n, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

int sysNetError() { return WSAGetLastError(); }

int sysWaitReadable(SysSocket s, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(s), &readable);
    timeval limit = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int r = select(0, &readable, nullptr, nullptr, &limit);
    return r == SOCKET_ERROR ? -1 : (r > 0 ? 1 : 0);
}

// The exe points this at its window's registration (WSAAsyncSelect for read
// and close notifications); the unit tests only need a non-blocking socket.
int (*sysSocketWatchHook)(SysSocket s) = nullptr;

int sysSocketWatch(SysSocket s) {
    if (sysSocketWatchHook) return sysSocketWatchHook(s);
    u_long on = 1;
    return ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) == 0 ? 0 : WSAGetLastError();
}
