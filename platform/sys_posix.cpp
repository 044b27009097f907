// POSIX side of the system seam: used by the native build (unit tests,
// sanitizers, fuzzing, the maker's tools).  Windows error numbers are
// produced from errno so that log lines read the same in both builds.
#include "platform/sys.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace {

std::string nativePath(const char* path) {
    std::string p = path ? path : "";
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

int fileError(int e) {
    switch (e) {
        case 0: return SYS_OK;
        case ENOENT: return SYS_ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return SYS_ERROR_PATH_NOT_FOUND;
        case EEXIST: return SYS_ERROR_ALREADY_EXISTS;
        case ENOTEMPTY: return SYS_ERROR_DIR_NOT_EMPTY;
        case ENAMETOOLONG: return SYS_ERROR_FILENAME_EXCED_RANGE;
        case EBUSY: return SYS_ERROR_SHARING_VIOLATION;
        case ENOSPC: return SYS_ERROR_DISK_FULL;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR: return SYS_ERROR_ACCESS_DENIED;
        default: return 1000 + e;
    }
}

// ENOENT means "file not found" when the folder exists and "path not found"
// when it does not, as the system reports it on Windows.
int missingError(const std::string& p) {
    size_t slash = p.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return SYS_ERROR_FILE_NOT_FOUND;
    struct stat st;
    if (stat(p.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return SYS_ERROR_PATH_NOT_FOUND;
    return SYS_ERROR_FILE_NOT_FOUND;
}

int pathError(const std::string& p, int e) {
    return e == ENOENT ? missingError(p) : fileError(e);
}

int netErrorFrom(int e) {
    switch (e) {
        case 0: return 0;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINPROGRESS: return SYS_WSAEWOULDBLOCK;
        case ECONNRESET:
        case EPIPE: return SYS_WSAECONNRESET;
        case ETIMEDOUT: return SYS_WSAETIMEDOUT;
        case ECONNREFUSED: return SYS_WSAECONNREFUSED;
        case ENETUNREACH: return 10051;
        case EHOSTUNREACH: return 10065;
        case EBADF:
        case ENOTSOCK: return 10038;
        case ENOTCONN: return 10057;
        case EADDRNOTAVAIL: return 10049;
        default: return 11000 + e;
    }
}

int lastNetError = 0;

}  // namespace

int sysCreateFolder(const char* path) {
    std::string p = nativePath(path);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (mkdir(p.c_str(), 0777) == 0) return SYS_OK;
    int e = errno;
    if (e == EEXIST) return SYS_ERROR_ALREADY_EXISTS;
    if (e == ENOENT) return SYS_ERROR_PATH_NOT_FOUND;
    return fileError(e);
}

int sysDeleteFile(const char* path) {
    std::string p = nativePath(path);
    struct stat st;
    if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return SYS_ERROR_ACCESS_DENIED;
    if (unlink(p.c_str()) == 0) return SYS_OK;
    return pathError(p, errno);
}

int sysRemoveFolder(const char* path) {
    std::string p = nativePath(path);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (rmdir(p.c_str()) == 0) return SYS_OK;
    return pathError(p, errno);
}

int sysRenamePath(const char* from, const char* to) {
    std::string a = nativePath(from), b = nativePath(to);
    // The system's rename refuses an existing target; POSIX would replace it.
    struct stat st;
    if (lstat(b.c_str(), &st) == 0) return SYS_ERROR_ALREADY_EXISTS;
    if (rename(a.c_str(), b.c_str()) == 0) return SYS_OK;
    return pathError(a, errno);
}

int sysReplaceFile(const char* from, const char* to) {
    std::string a = nativePath(from), b = nativePath(to);
    if (rename(a.c_str(), b.c_str()) == 0) return SYS_OK;
    return pathError(a, errno);
}

namespace {

std::string folderOf(const std::string& p) {
    size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
}

int fsyncPath(const std::string& p) {
    int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return pathError(p, errno);
    int r = fsync(fd) == 0 ? SYS_OK : fileError(errno);
    close(fd);
    return r;
}

}  // namespace

int sysFlushFolder(const char* folder) {
    std::string p = nativePath(folder);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    int fd = open(p.empty() ? "." : p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return pathError(p, errno);
    int r = syncfs(fd) == 0 ? SYS_OK : fileError(errno);
    close(fd);
    return r;
}

// One sync per file system holding any of the files, at the end: it takes
// their contents and their folders' entries, and costs what one file's
// fsync does (2,000 fsyncs took 20 s here at a load of 12).
struct SysFlushBatch {
    std::vector<std::pair<dev_t, int>> systems;  // an open file on each file system, to name it
    int error = SYS_OK;
};

SysFlushBatch* sysFlushStart() { return new SysFlushBatch; }

void sysFlushAdd(SysFlushBatch* b, const char* path) {
    if (!b || !path || b->error != SYS_OK) return;
    std::string p = nativePath(path);
    struct stat st;
    if (stat(p.c_str(), &st) != 0) {
        b->error = pathError(p, errno);
        return;
    }
    for (const auto& s : b->systems)
        if (s.first == st.st_dev) return;
    int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        b->error = pathError(p, errno);
        return;
    }
    b->systems.emplace_back(st.st_dev, fd);
}

int sysFlushFinish(SysFlushBatch* b) {
    if (!b) return SYS_ERROR_ACCESS_DENIED;
    int r = b->error;
    for (const auto& s : b->systems) {
        if (r == SYS_OK && syncfs(s.second) != 0) r = fileError(errno);
        close(s.second);
    }
    delete b;
    return r;
}

int sysWriteFileThrough(const char* path, const void* data, size_t size) {
    std::string p = nativePath(path);
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_SYNC | O_CLOEXEC, 0666);
    if (fd < 0) return pathError(p, errno);
    const char* at = static_cast<const char*>(data);
    size_t left = size;
    int r = SYS_OK;
    while (left > 0) {
        ssize_t w = write(fd, at, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            r = w < 0 ? fileError(errno) : SYS_ERROR_DISK_FULL;
            break;
        }
        at += w;
        left -= static_cast<size_t>(w);
    }
    if (r == SYS_OK && fsync(fd) != 0) r = fileError(errno);
    if (close(fd) != 0 && r == SYS_OK) r = fileError(errno);
    if (r == SYS_OK) r = fsyncPath(folderOf(p));
    return r;
}

int sysReplaceFileThrough(const char* from, const char* to) {
    std::string a = nativePath(from), b = nativePath(to);
    if (rename(a.c_str(), b.c_str()) != 0) return pathError(a, errno);
    // The move is in the folders' entries: both reach the disk.
    int r = fsyncPath(folderOf(b));
    if (r == SYS_OK && folderOf(a) != folderOf(b)) r = fsyncPath(folderOf(a));
    return r;
}

bool sysFreeSpace(const char* folder, uint64_t* bytes, uint32_t* unit) {
    struct statvfs st;
    if (!bytes || !unit || statvfs(nativePath(folder).c_str(), &st) != 0) return false;
    *bytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
    *unit = static_cast<uint32_t>(st.f_frsize);
    return true;
}

bool sysFileSize(const char* path, uint64_t* bytes) {
    struct stat st;
    if (!bytes || stat(nativePath(path).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    *bytes = static_cast<uint64_t>(st.st_size);
    return true;
}

namespace {

// Windows-1252: the bytes 0x80-0x9F that are not the code points of the
// same number.
const uint16_t CP1252_80[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Upper case of the characters that Windows-1252 holds (Unicode's simple
// upper-case mapping; the others have none).
uint16_t upper1252(uint16_t u) {
    if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7)) return static_cast<uint16_t>(u - 0x20);
    switch (u) {
        case 0x00B5: return 0x039C;
        case 0x00FF: return 0x0178;
        case 0x0153: return 0x0152;
        case 0x0161: return 0x0160;
        case 0x017E: return 0x017D;
        case 0x0192: return 0x0191;
        default: return u;
    }
}

uint16_t unitOf(unsigned char c) { return c >= 0x80 && c < 0xA0 ? CP1252_80[c - 0x80] : c; }

}  // namespace

size_t sysNameToUtf16(const char* name, size_t n, uint16_t* out, size_t cap) {
    if (!name || n == 0 || n > cap) return 0;
    for (size_t i = 0; i < n; ++i) out[i] = unitOf(static_cast<unsigned char>(name[i]));
    return n;
}

int sysCompareNames(const char* a, size_t an, const char* b, size_t bn) {
    for (size_t i = 0; i < an && i < bn; ++i) {
        uint16_t x = upper1252(unitOf(static_cast<unsigned char>(a[i])));
        uint16_t y = upper1252(unitOf(static_cast<unsigned char>(b[i])));
        if (x != y) return x < y ? -1 : 1;
    }
    return an < bn ? -1 : an > bn ? 1 : 0;
}

namespace {
int lastOpenError = SYS_OK;
}  // namespace

FILE* sysOpenFile(const char* path, const char* mode) {
    if (!path || !mode) {
        errno = EINVAL;
        lastOpenError = SYS_ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    std::string p = nativePath(path);
    struct stat st;
    if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EACCES;  // as the Windows runtime reports a folder
        lastOpenError = SYS_ERROR_ACCESS_DENIED;
        return nullptr;
    }
    FILE* f = fopen(p.c_str(), mode);
    if (!f) lastOpenError = pathError(p, errno);
    return f;
}

FILE* sysOpenFileNoWriters(const char* path, const char* mode) { return sysOpenFile(path, mode); }

int sysOpenFailure() { return lastOpenError; }

// No sharing rules here: a hold is an open descriptor, which proves the
// file is there and can be opened.
struct SysFileHold {
    int fd;
};

int sysHoldFile(const char* path, SysFileHold** hold) {
    *hold = nullptr;
    std::string p = nativePath(path ? path : "");
    int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return pathError(p, errno);
    *hold = new SysFileHold{fd};
    return SYS_OK;
}

void sysReleaseHold(SysFileHold* hold) {
    if (!hold) return;
    close(hold->fd);
    delete hold;
}

bool sysFileHolder(const char*, char*, size_t) { return false; }

bool sysSeekEnd(FILE* f) { return f && fseeko(f, 0, SEEK_END) == 0; }
bool sysSeekStart(FILE* f) { return f && fseeko(f, 0, SEEK_SET) == 0; }
bool sysSeekTo(FILE* f, int64_t offset) { return f && offset >= 0 && fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0; }
int64_t sysTell(FILE* f) { return f ? static_cast<int64_t>(ftello(f)) : -1; }
size_t sysReadAt(FILE* f, int64_t offset, void* buf, size_t n) {
    if (!f || offset < 0) return 0;
    for (;;) {
        ssize_t r = pread(fileno(f), buf, n, static_cast<off_t>(offset));
        if (r >= 0) return static_cast<size_t>(r);
        if (errno != EINTR) return 0;
    }
}

int sysDeleteInside(const char* folder, const char* path) {
    if (!folder || !path) return SYS_ERROR_FILE_NOT_FOUND;
    std::string f = nativePath(folder), p = nativePath(path);
    while (f.size() > 1 && f.back() == '/') f.pop_back();
    if (p.size() <= f.size() + 1 || p.compare(0, f.size(), f) != 0 || p[f.size()] != '/') return SYS_ERROR_NOT_INSIDE;
    std::string rel = p.substr(f.size() + 1);
    // Each component opened from the one before without following a link:
    // what is deleted is what lies inside, whatever was planted on the way.
    int dir = open(f.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return pathError(f, errno);
    int result = SYS_OK;
    size_t start = 0;
    for (;;) {
        size_t cut = rel.find('/', start);
        std::string name = rel.substr(start, cut == std::string::npos ? std::string::npos : cut - start);
        if (name.empty() || name == "." || name == "..") {
            result = SYS_ERROR_NOT_INSIDE;
            break;
        }
        if (cut == std::string::npos) {
            struct stat st;
            if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) result = pathError(p, errno);
            else if (S_ISLNK(st.st_mode)) result = SYS_ERROR_NOT_INSIDE;
            else if (unlinkat(dir, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0)
                result = errno == ENOTEMPTY || errno == EEXIST ? SYS_ERROR_DIR_NOT_EMPTY : pathError(p, errno);
            break;
        }
        int next = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            result = errno == ELOOP || errno == ENOTDIR ? SYS_ERROR_NOT_INSIDE : pathError(p, errno);
            break;
        }
        close(dir);
        dir = next;
        start = cut + 1;
    }
    close(dir);
    return result;
}

int sysPathKind(const char* path) {
    struct stat st;
    if (stat(nativePath(path).c_str(), &st) != 0) return 0;
    return S_ISDIR(st.st_mode) ? 2 : 1;
}

bool sysCurrentFolder(char* buf, size_t cap) {
    if (!buf || cap == 0) return false;
    if (!getcwd(buf, cap)) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

bool sysFullPath(const char* path, char* out, size_t cap) {
    if (!out || cap == 0) return false;
    out[0] = '\0';
    std::string p = nativePath(path);
    if (p.empty()) return false;
    if (p[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) return false;
        p = std::string(cwd) + "/" + p;
    }
    // The longest part that exists is resolved by the system (links
    // included); the rest, which no link can change, as written.
    std::vector<std::string> rest;
    std::string head = p, resolved;
    for (;;) {
        char real[PATH_MAX];
        if (realpath(head.c_str(), real)) {
            resolved = real;
            break;
        }
        if (errno != ENOENT && errno != ENOTDIR) return false;
        size_t slash = head.find_last_of('/');
        rest.push_back(head.substr(slash + 1));
        head.erase(slash == 0 ? 1 : slash);
    }
    for (auto it = rest.rbegin(); it != rest.rend(); ++it) {
        if (it->empty() || *it == ".") continue;
        if (*it == "..") {
            size_t slash = resolved.find_last_of('/');
            resolved.erase(slash == 0 ? 1 : slash);
        } else {
            if (resolved.back() != '/') resolved += '/';
            resolved += *it;
        }
    }
    if (resolved.size() >= cap) return false;
    memcpy(out, resolved.c_str(), resolved.size() + 1);
    return true;
}

struct SysFolderScan {
    DIR* dir;
    std::string folder;
};

SysFolderScan* sysScanBegin(const char* folder) {
    std::string p = nativePath(folder);
    if (p.empty()) p = ".";
    DIR* d = opendir(p.c_str());
    if (!d) return nullptr;
    if (p.back() != '/') p += '/';
    return new SysFolderScan{d, p};
}

bool sysScanNext(SysFolderScan* scan, SysFolderEntry* entry) {
    if (!scan || !entry) return false;
    for (;;) {
        struct dirent* de = readdir(scan->dir);
        if (!de) return false;
        size_t n = strlen(de->d_name);
        if (n >= sizeof entry->name) continue;  // the system's names hold at most 259 bytes
        memcpy(entry->name, de->d_name, n + 1);
        std::string full = scan->folder + de->d_name;
        struct stat st;
        entry->isLink = lstat(full.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        if (stat(full.c_str(), &st) != 0) {
            entry->isFolder = false;
            entry->size = 0;
        } else {
            entry->isFolder = S_ISDIR(st.st_mode);
            entry->size = entry->isFolder ? 0 : static_cast<uint64_t>(st.st_size);
        }
        entry->isHidden = false;
        return true;
    }
}

void sysScanEnd(SysFolderScan* scan) {
    if (!scan) return;
    closedir(scan->dir);
    delete scan;
}

struct SysFolderClaim {
    int fd;
};

int sysClaimFolder(const char* folder, SysFolderClaim** claim) {
    if (!claim) return SYS_ERROR_ACCESS_DENIED;
    *claim = nullptr;
    std::string p = nativePath(folder);
    int fd = open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return pathError(p, errno);
    // The lock belongs to the folder's inode, whatever path opened it, and
    // goes with the last descriptor, so with the process.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        close(fd);
        return e == EWOULDBLOCK ? SYS_ERROR_BUSY : fileError(e);
    }
    *claim = new SysFolderClaim{fd};
    return SYS_OK;
}

void sysReleaseFolder(SysFolderClaim* claim) {
    if (!claim) return;
    close(claim->fd);
    delete claim;
}

double nowSeconds() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec / 1000) / 1000.0;
}

void sysSleepMs(int ms) {
    if (ms <= 0) return;
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int sysNetStart() { return 0; }

SysSocket sysSocketOpen() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        lastNetError = netErrorFrom(errno);
        return SYS_NO_SOCKET;
    }
    return s;
}

int sysSocketClose(SysSocket s) {
    if (s < 0 || close(static_cast<int>(s)) != 0) {
        lastNetError = s < 0 ? 10038 : netErrorFrom(errno);
        return -1;
    }
    return 0;
}

int sysConnect(SysSocket s, const uint8_t address[4], uint16_t port, int timeoutMs) {
    int fd = static_cast<int>(s);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    memcpy(&sa.sin_addr, address, 4);
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int result = 0;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS) {
            result = netErrorFrom(errno);
        } else {
            struct pollfd p = {fd, POLLOUT, 0};
            int r;
            do {
                r = poll(&p, 1, timeoutMs);
            } while (r < 0 && errno == EINTR);
            if (r == 0) {
                result = SYS_WSAETIMEDOUT;
            } else {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                result = netErrorFrom(err);
            }
        }
    }
    fcntl(fd, F_SETFL, flags);
    lastNetError = result;
    return result;
}

int sysRecv(SysSocket s, void* buf, int n, bool peek) {
    ssize_t r = recv(static_cast<int>(s), buf, static_cast<size_t>(n), peek ? MSG_PEEK : 0);
    if (r < 0) {
        lastNetError = netErrorFrom(errno);
        return -1;
    }
    return static_cast<int>(r);
}

int sysSend(SysSocket s, const void* buf, int n) {
    ssize_t r = send(static_cast<int>(s), buf, static_cast<size_t>(n), MSG_NOSIGNAL);
    if (r < 0) {
        lastNetError = netErrorFrom(errno);
        return -1;
    }
    return static_cast<int>(r);
}

int sysNetError() { return lastNetError; }

int sysWaitReadable(SysSocket s, int timeoutMs) {
    struct pollfd p = {static_cast<int>(s), POLLIN, 0};
    int r;
    do r = poll(&p, 1, timeoutMs);
    while (r < 0 && errno == EINTR);
    if (r < 0) {
        lastNetError = netErrorFrom(errno);
        return -1;
    }
    return r > 0 ? 1 : 0;
}

int sysSocketWatch(SysSocket s) {
    int fd = static_cast<int>(s);
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return netErrorFrom(errno);
    return 0;
}
