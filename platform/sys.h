// The installer's one seam to the operating system.
//
// Everything that is not about the window itself (settings, archive, protocol,
// folder tree, the install and update sequences) reaches the system only
// through these calls, so that it builds both into the Windows exe and
// natively for fast tests, sanitizers and fuzzing.  There is a Win32
// implementation (sys_win32.cpp) and a POSIX one (sys_posix.cpp).
//
// Error numbers are always Windows system error numbers (2 file not found,
// 183 already exists, 10035 would block, ...): the log lines carry them, and
// the POSIX side maps errno onto them so both builds log alike.
//
// Paths are narrow text with "\" or "/" as separators; the POSIX side turns
// "\" into "/".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---- system error numbers used by the installer -------------------------
enum : int {
    SYS_OK = 0,
    SYS_ERROR_FILE_NOT_FOUND = 2,
    SYS_ERROR_PATH_NOT_FOUND = 3,
    SYS_ERROR_ACCESS_DENIED = 5,
    SYS_ERROR_SHARING_VIOLATION = 32,
    SYS_ERROR_DISK_FULL = 112,
    SYS_ERROR_DIR_NOT_EMPTY = 145,
    SYS_ERROR_BUSY = 170,
    SYS_ERROR_ALREADY_EXISTS = 183,
    SYS_ERROR_FILENAME_EXCED_RANGE = 206,
    SYS_ERROR_NOT_INSIDE = 681,          // the system's "stopped on a symbolic link": a path that leads elsewhere
    SYS_WSAEWOULDBLOCK = 10035,
    SYS_WSAECONNRESET = 10054,
    SYS_WSAETIMEDOUT = 10060,
    SYS_WSAECONNREFUSED = 10061,
};

// ---- files and folders ---------------------------------------------------
// Each returns 0 on success or a system error number.
int sysCreateFolder(const char* path);   // last level only
int sysDeleteFile(const char* path);
int sysRemoveFolder(const char* path);   // empty folders only
int sysRenamePath(const char* from, const char* to);  // fails when `to` exists
// Moves the file `from` onto `to` in one step, replacing `to` when it exists:
// the old `to` stays whole until the new one has taken its place, so there
// is no moment with neither.  A target in use (locked) or a folder fails.
int sysReplaceFile(const char* from, const char* to);
// Durability, for steps that must survive a power cut in the order they
// were taken (the int verbs return 0 or a system error number).
// The entries of `folder` (files created, moved or deleted in it) reach
// the disk.  Where the file system keeps its folder changes in order by
// itself (NTFS), there is nothing more to do.
int sysFlushFolder(const char* folder);
// Writes a whole small file (created or truncated) through the cache and
// flushes it: when this returns 0, every byte is on the disk.
int sysWriteFileThrough(const char* path, const void* data, size_t size);
// sysReplaceFile that returns only once the move is on the disk.
int sysReplaceFileThrough(const char* from, const char* to);
// Files written one after another, each to reach the disk before a later
// step: each closed file is handed over as it is done and flushed while
// the next ones are written (a flush mostly waits for the disk), or all in
// one sync of the file system where there is one (POSIX).  sysFlushFinish
// returns once every file handed over, and its name in its folder, is on
// the disk (pumping the window while it waits): 0 or the first failure's
// error number.  Always finish a batch
// before touching its files again (a flush may hold one open).
struct SysFlushBatch;
SysFlushBatch* sysFlushStart();
void sysFlushAdd(SysFlushBatch* batch, const char* path);
int sysFlushFinish(SysFlushBatch* batch);
// Bytes free for this user on the volume that holds `folder` (an existing
// folder) and the volume's allocation unit: every file takes a whole number
// of units; false when the system cannot tell.
bool sysFreeSpace(const char* folder, uint64_t* bytes, uint32_t* unit);
// Size of an existing file, also of one that is in use; false for a folder
// or a missing path.
bool sysFileSize(const char* path, uint64_t* bytes);

// ---- names ---------------------------------------------------------------
// Names are text of the ANSI code page.  Windows turns them into UTF-16
// with that code page; the POSIX and in-memory sides read them as
// Windows-1252 and say so here, because they have no code page of their own.
// The UTF-16 units of `name` (n bytes) in out[0..cap); their count, 0 when
// the name does not convert or does not fit.
size_t sysNameToUtf16(const char* name, size_t n, uint16_t* out, size_t cap);
// Orders two names (or two paths built alike) as the file system compares
// them: converted to UTF-16, then compared unit by unit with letter case
// ignored as the system ignores it.  <0, 0 (the same entry), >0.
int sysCompareNames(const char* a, size_t an, const char* b, size_t bn);

// stdio stream on a path ("rb", "wb", "rt", "at", ...); null on failure, with
// errno set by the runtime.
FILE* sysOpenFile(const char* path, const char* mode);

// The system error number of the last sysOpenFile or sysOpenFileNoWriters
// that failed (2 missing, 5 denied, 32 in use by another program, ...).
int sysOpenFailure();

// Like sysOpenFile, but until the stream is closed nobody else may write,
// truncate, rename or delete the file; reading it stays allowed.  For the
// files whose content a run relies on while it works on them (the download
// and the unpacker's temporary files).  POSIX has no such sharing rule: there
// it is sysOpenFile.
FILE* sysOpenFileNoWriters(const char* path, const char* mode);

// 64-bit seek/tell on a stream (archives may be 2 GiB or more).
bool sysSeekEnd(FILE* f);
bool sysSeekStart(FILE* f);
bool sysSeekTo(FILE* f, int64_t offset);   // absolute; may lie past the end
int64_t sysTell(FILE* f);
// Reads up to `n` bytes at `offset` past the stream's buffer, for walks that
// read a few bytes and seek far: through the stream, every seek would
// throw its buffer away and the next read refill all of it.  Bytes read (0
// at the end or on an error); the stream's position is undefined after it:
// seek before reading through the stream again.
size_t sysReadAt(FILE* f, int64_t offset, void* buf, size_t n);

// Deletes the file or empty folder `path`, which names an entry below
// `folder`, only where the opened entry itself is no link and lies inside
// `folder` along the very components of `path` (no component a link or
// junction that leads elsewhere): checked on the open entry, not by its
// name.  0, or SYS_ERROR_NOT_INSIDE for a path that leads elsewhere
// (nothing deleted), or the system's error.
int sysDeleteInside(const char* folder, const char* path);

// Kind of a path: 0 missing, 1 file, 2 folder.
int sysPathKind(const char* path);

// The process's current folder, as the system gives it.  False when it does
// not fit `cap` (then `buf` holds an empty text).
bool sysCurrentFolder(char* buf, size_t cap);

// The one absolute spelling of `path` (existing or not), so that two paths
// can be compared as text: relative paths taken from the current folder,
// "." and ".." resolved, the system's own separator only ("\" on Windows,
// "/" elsewhere), and on Windows short (8.3) names in their long form where
// the path exists.  On POSIX links are resolved as far as the path exists.
// Letter case stays as given: compare with sysCompareNames.  False when the
// result does not fit `cap` (then `out` holds an empty text).
bool sysFullPath(const char* path, char* out, size_t cap);

// Folder enumeration in the system's own order, "." and ".." included as the
// system gives them (callers skip names that begin with ".").
struct SysFolderEntry {
    char name[260];          // 8-bit name as the enumeration gives it
    bool isFolder;
    bool isHidden;           // the hidden attribute (never set on POSIX)
    bool isLink;             // a symbolic link or junction (its target may lie elsewhere)
    uint64_t size;           // full size; the archive keeps the low 32 bits
};
struct SysFolderScan;        // opaque
// Starts an enumeration of `folder` (with or without a trailing separator);
// null when it cannot start.
SysFolderScan* sysScanBegin(const char* folder);
bool sysScanNext(SysFolderScan* scan, SysFolderEntry* entry);
void sysScanEnd(SysFolderScan* scan);

// ---- files about to be replaced ----------------------------------------
// A landing takes each file it replaces before it moves anything: the file
// is opened so that no other program may have it open at the same time, and
// kept so until its move.  0 with *hold set, else the system's error number
// (32 when another program has it open).  POSIX has no such sharing rule:
// there it only checks that the file can be opened.
struct SysFileHold;          // opaque
int sysHoldFile(const char* path, SysFileHold** hold);
void sysReleaseHold(SysFileHold* hold);   // null: nothing
// The program that has `path` open, as the system names it ("name.exe
// (pid 1234)"); false when the system cannot tell.
bool sysFileHolder(const char* path, char* out, size_t cap);

// ---- claiming a folder --------------------------------------------------
// A claim on an existing folder, held until sysReleaseFolder or the end of
// the process (a crash included, so none is ever left behind).  While it is
// held, every other claim of that folder fails, from any process and under
// any spelling of its path: the folder is known by the file system's own
// identity of it, not by its name, so letter case, trailing separators,
// relative paths, short names and other routes to it all meet.
struct SysFolderClaim;       // opaque
// 0 with *claim set; SYS_ERROR_BUSY when the folder is claimed already;
// another system error number when it cannot be claimed (not a folder ...).
int sysClaimFolder(const char* folder, SysFolderClaim** claim);
void sysReleaseFolder(SysFolderClaim* claim);

// ---- the per-user registry ----------------------------------------------
// Keys are paths below the current user's hive (HKEY_CURRENT_USER), such as
// "Software\Microsoft\Windows\CurrentVersion\Uninstall\KAVO".  The
// POSIX and in-memory sides keep the keys in a map of the process, so that
// the code that writes them runs in the native tests.
// Each setter creates the key when it is missing; 0 or a system error number.
int sysRegSetText(const char* key, const char* name, const char* value);
int sysRegSetNumber(const char* key, const char* name, uint32_t value);
// A text value into buf (cap bytes); false when the key or the value is
// missing, is not text, or does not fit.
bool sysRegGetText(const char* key, const char* name, char* buf, size_t cap);
bool sysRegGetNumber(const char* key, const char* name, uint32_t* value);
// Removes a key with its values (it has no sub-keys); 0, also when it was
// not there, or a system error number.
int sysRegDeleteKey(const char* key);

// ---- clock ---------------------------------------------------------------
// Wall-clock seconds since 1970-01-01 with millisecond resolution.
double nowSeconds();
void sysSleepMs(int ms);

// ---- sockets (TCP client) ------------------------------------------------
typedef intptr_t SysSocket;
const SysSocket SYS_NO_SOCKET = -1;

int sysNetStart();                       // 0 or the start-up error code
SysSocket sysSocketOpen();               // SYS_NO_SOCKET on failure
int sysSocketClose(SysSocket s);         // 0, or -1 (sysNetError tells why)
// Connects the still blocking socket, waiting at most timeoutMs; 0 or a
// system error number (SYS_WSAETIMEDOUT when the wait ran out).
int sysConnect(SysSocket s, const uint8_t address[4], uint16_t port, int timeoutMs);
// Like recv / send: byte count, 0 when the peer closed (recv), -1 on error.
int sysRecv(SysSocket s, void* buf, int n, bool peek);
int sysSend(SysSocket s, const void* buf, int n);
int sysNetError();                       // error of the last failed socket call
// Waits at most timeoutMs for the socket to have something to read (data,
// or the peer's close): 1 when it has, 0 when the time ran out, -1 on error.
int sysWaitReadable(SysSocket s, int timeoutMs);
// Makes the socket non-blocking and, in the exe, asks for read and close
// notifications to the main window.  0 or an error number.
int sysSocketWatch(SysSocket s);

// ---- user-interface verbs ------------------------------------------------
// Implemented by the main window in the exe, by a recorder in the unit tests
// and by the console in the native tools.
void uiListAdd(const char* text);        // trim to 3000 entries, append, show last
void uiListDropLast();                   // remove the newest entry, if any
// Puts text in place of the newest entry (appends to an empty list) as one
// change, so that only that line is repainted.
void uiListReplaceLast(const char* text);
void uiSetStatus(const char* text);
void uiShowProgress(bool show);          // show (with the bar's saved style) or hide
void uiSetProgress(int position);        // 0..1000
void uiPump();                           // dispatch at most 10 pending messages
// The main window's read notifications for the server socket.  Off leaves
// only its close notifications (while a download reads the socket itself,
// every chunk would post one more); on asks for them again and has one
// posted, so that data which arrived meanwhile is read.
void uiSocketReads(SysSocket s, bool on);
void uiWarning(const char* text);        // modal "KAVO Warning" box
// Modal Yes/No question owned by the main window; true for Yes.
bool uiAskYesNo(const char* text, const char* title, bool warningIcon);
// Modal box with Retry and Cancel and the warning icon; true for Retry.
bool uiAskRetry(const char* text, const char* title);
// Modal box with an OK button and the information icon.
void uiInform(const char* text, const char* title);
void uiQuit();                           // post the quit message (exit code 0)
