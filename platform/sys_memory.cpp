// In-memory side of the system seam for the fuzz build (see sys_memory.h).
#include "platform/sys_memory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/sys.h"

MemFs memFs;
double memClock;
Wire memWire;
std::vector<size_t> memPeekStarts;
std::string memFence;

namespace {

int lastNetError = 0;

// Stops the run when the product changes something outside the fence.
void fenced(const char* what, const char* path) {
    if (memFence.empty() || !path) return;
    // Most calls name the log in the current folder or a plain path below
    // the fence; only the others need resolving.
    if (!strstr(path, "..")) {
        if (path[0] != '/' && path[0] != '\\') return;
        size_t i = 0;
        while (i < memFence.size() && (path[i] == memFence[i] || (path[i] == '\\' && memFence[i] == '/'))) ++i;
        if (i == memFence.size() && (path[i] == '/' || path[i] == '\\')) return;
    }
    static std::string norm;  // keeps its memory from call to call
    MemFs::normalInto(path, norm);
    auto within = [&](const std::string& dir) {
        return norm.compare(0, dir.size(), dir) == 0 && (norm.size() == dir.size() || norm[dir.size()] == '/');
    };
    if (within(memFence) || within("/run")) return;
    fprintf(stderr, "\n*** %s outside %s: \"%s\"\n", what, memFence.c_str(), path);
    abort();
}

}  // namespace

void memReset(MemFs start, const std::string& fence) {
    memFs = std::move(start);
    memClock = 1.7e9;
    memWire = Wire();
    memPeekStarts.clear();
    memFence = fence;
}

void memRelease() {
    memFs = MemFs();
    memPeekStarts.clear();  // keeps its memory for the next input
}

int sysCreateFolder(const char* path) {
    fenced("folder created", path);
    return path ? memFs.mkdir(path) : SYS_ERROR_PATH_NOT_FOUND;
}
int sysDeleteFile(const char* path) {
    fenced("file deleted", path);
    return path ? memFs.removeFile(path) : SYS_ERROR_FILE_NOT_FOUND;
}
int sysRemoveFolder(const char* path) {
    fenced("folder removed", path);
    return path ? memFs.rmdir(path) : SYS_ERROR_FILE_NOT_FOUND;
}
int sysRenamePath(const char* from, const char* to) {
    fenced("moved", from);
    fenced("moved", to);
    return from && to ? memFs.rename(from, to, false) : SYS_ERROR_FILE_NOT_FOUND;
}
int sysReplaceFile(const char* from, const char* to) {
    fenced("moved", from);
    fenced("replaced", to);
    return from && to ? memFs.rename(from, to, true) : SYS_ERROR_FILE_NOT_FOUND;
}

int sysFlushFolder(const char* folder) {
    return folder && memFs.step(folder) ? SYS_OK : SYS_ERROR_ACCESS_DENIED;
}

// The flushes are steps of their own, taken at the end, in the order the
// files were handed over.
struct SysFlushBatch {
    std::vector<std::string> paths;
};
// Finished batches are kept for the next (one per unpacking otherwise);
// never destroyed, so the leak check at exit reaches them.
std::vector<SysFlushBatch*>& spareBatches = *new std::vector<SysFlushBatch*>;
SysFlushBatch* sysFlushStart() {
    if (spareBatches.empty()) return new SysFlushBatch;
    SysFlushBatch* b = spareBatches.back();
    spareBatches.pop_back();
    b->paths.clear();
    return b;
}
void sysFlushAdd(SysFlushBatch* b, const char* path) {
    if (b && path) b->paths.emplace_back(path);
}
int sysFlushFinish(SysFlushBatch* b) {
    if (!b) return SYS_ERROR_ACCESS_DENIED;
    int r = SYS_OK;
    for (const std::string& p : b->paths)
        if (r == SYS_OK && !memFs.flushPath(p)) r = SYS_ERROR_ACCESS_DENIED;
    spareBatches.push_back(b);
    return r;
}

int sysWriteFileThrough(const char* path, const void* data, size_t size) {
    fenced("written", path);
    FILE* f = path ? memFs.open(path, "wb") : nullptr;
    if (!f) return SYS_ERROR_ACCESS_DENIED;
    bool whole = fwrite(data, 1, size, f) == size && memFs.flush(f);
    return fclose(f) == 0 && whole ? SYS_OK : SYS_ERROR_DISK_FULL;
}

// Every move is kept as it was done (see MemPowerCut).
int sysReplaceFileThrough(const char* from, const char* to) { return sysReplaceFile(from, to); }

bool sysFreeSpace(const char* folder, uint64_t* bytes, uint32_t* unit) {
    if (!bytes || !unit || !folder || memFs.kind(folder) != 2) return false;
    bool limited = memFs.onVolume(folder);
    *bytes = limited ? memFs.volume.free : UINT64_MAX;
    *unit = limited ? memFs.volume.unit : 1;
    return true;
}

bool sysFileSize(const char* path, uint64_t* bytes) {
    MemNode* n = path && bytes ? memFs.find(path) : nullptr;
    if (!n || n->folder) return false;
    *bytes = n->fakeSize ? n->fakeSize : n->data->size();
    return true;
}

size_t sysNameToUtf16(const char* name, size_t n, uint16_t* out, size_t cap) {
    static const uint16_t* const units = memCodePage();
    if (!name || n == 0 || n > cap) return 0;
    for (size_t i = 0; i < n; ++i) out[i] = units[static_cast<unsigned char>(name[i])];
    return n;
}

int sysCompareNames(const char* a, size_t an, const char* b, size_t bn) {
    NameOrder less;
    std::string_view x(a, an), y(b, bn);
    return less(x, y) ? -1 : less(y, x) ? 1 : 0;
}

FILE* sysOpenFile(const char* path, const char* mode) {
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    if (mode[0] != 'r') fenced("written", path);
    return memFs.open(path, mode);
}

FILE* sysOpenFileNoWriters(const char* path, const char* mode) { return sysOpenFile(path, mode); }

int sysOpenFailure() {
    switch (errno) {
        case ENOENT: return SYS_ERROR_FILE_NOT_FOUND;
        case ENOSPC: return SYS_ERROR_DISK_FULL;
        case EBUSY: return SYS_ERROR_SHARING_VIOLATION;
        default: return SYS_ERROR_ACCESS_DENIED;
    }
}

// A locked entry stands for a file another program has open.
struct SysFileHold {};
int sysHoldFile(const char* path, SysFileHold** hold) {
    *hold = nullptr;
    MemNode* n = path ? memFs.find(path) : nullptr;
    if (!n) return SYS_ERROR_FILE_NOT_FOUND;
    if (n->folder) return SYS_ERROR_ACCESS_DENIED;
    if (n->locked) return SYS_ERROR_SHARING_VIOLATION;
    static SysFileHold one;
    *hold = &one;
    return SYS_OK;
}
void sysReleaseHold(SysFileHold*) {}
bool sysFileHolder(const char*, char*, size_t) { return false; }

// One process: every claim is granted.
struct SysFolderClaim {};
int sysClaimFolder(const char*, SysFolderClaim** claim) {
    *claim = new SysFolderClaim;
    return SYS_OK;
}
void sysReleaseFolder(SysFolderClaim* claim) { delete claim; }

bool sysSeekEnd(FILE* f) { return f && fseeko(f, 0, SEEK_END) == 0; }
bool sysSeekStart(FILE* f) { return f && fseeko(f, 0, SEEK_SET) == 0; }
bool sysSeekTo(FILE* f, int64_t offset) { return f && offset >= 0 && fseeko(f, offset, SEEK_SET) == 0; }
int64_t sysTell(FILE* f) { return f ? static_cast<int64_t>(ftello(f)) : -1; }
size_t sysReadAt(FILE* f, int64_t offset, void* buf, size_t n) {
    return f && sysSeekTo(f, offset) ? fread(buf, 1, n, f) : 0;
}

int sysPathKind(const char* path) { return path ? memFs.kind(path) : 0; }

// No links here: inside is a matter of the path alone.
int sysDeleteInside(const char* folder, const char* path) {
    if (!folder || !path) return SYS_ERROR_FILE_NOT_FOUND;
    std::string f = MemFs::normal(folder), p = MemFs::normal(path);
    if (p.size() <= f.size() + 1 || p.compare(0, f.size(), f) != 0 || p[f.size()] != '/') return SYS_ERROR_NOT_INSIDE;
    return memFs.kind(path) == 2 ? sysRemoveFolder(path) : sysDeleteFile(path);
}

bool sysCurrentFolder(char* buf, size_t cap) {
    if (!buf || cap < 5) return false;
    memcpy(buf, "/run", 5);
    return true;
}

// No links and no short names: the path as the file system resolves it.
bool sysFullPath(const char* path, char* out, size_t cap) {
    if (!out || cap == 0) return false;
    out[0] = '\0';
    if (!path || !*path) return false;
    static std::string full;  // keeps its memory from call to call
    MemFs::normalInto(path, full);
    if (full.empty()) full = "/";
    if (full.size() >= cap) return false;
    memcpy(out, full.c_str(), full.size() + 1);
    return true;
}

// Walks the folder's map in place: nothing the product does changes a
// folder while it enumerates it.
struct SysFolderScan {
    const MemNode* folder;
    MemKids::const_iterator next;
    int dots;
};

// Ended scans are kept for reuse: the folder tree scans every folder on
// every rebuild, and each allocation costs under the sanitizer.  Never
// destroyed, so that the leak check at exit still reaches them.
std::vector<SysFolderScan*>& spareScans = *new std::vector<SysFolderScan*>;

SysFolderScan* sysScanBegin(const char* folder) {
    MemNode* n = folder ? memFs.find(folder) : nullptr;
    if (!n || !n->folder) return nullptr;
    SysFolderScan* scan = spareScans.empty() ? new SysFolderScan : spareScans.back();
    if (!spareScans.empty()) spareScans.pop_back();
    *scan = SysFolderScan{n, n->kids.begin(), 0};
    return scan;
}

bool sysScanNext(SysFolderScan* scan, SysFolderEntry* entry) {
    if (!scan || !entry) return false;
    if (scan->dots < 2) {
        *entry = SysFolderEntry();
        strcpy(entry->name, scan->dots++ ? ".." : ".");
        entry->isFolder = true;
        return true;
    }
    // The system's names hold at most 259 bytes.
    while (scan->next != scan->folder->kids.end() && scan->next->first.size() >= sizeof entry->name) ++scan->next;
    if (scan->next == scan->folder->kids.end()) return false;
    const auto& [name, kid] = *scan->next++;
    memcpy(entry->name, name.c_str(), name.size() + 1);
    entry->isFolder = kid.folder;
    entry->isHidden = kid.hidden;
    entry->isLink = false;
    entry->size = kid.folder ? 0 : kid.fakeSize ? kid.fakeSize : kid.data->size();
    return true;
}

void sysScanEnd(SysFolderScan* scan) {
    if (scan) spareScans.push_back(scan);
}

double nowSeconds() { return memClock; }
void sysSleepMs(int ms) {
    if (ms > 0) memClock += ms / 1000.0;
}

int sysNetStart() { return 0; }
SysSocket sysSocketOpen() { return 3; }
int sysSocketClose(SysSocket) { return 0; }
int sysConnect(SysSocket, const uint8_t*, uint16_t, int) { return 0; }
int sysRecv(SysSocket, void* buf, int n, bool peek) {
    int r = memWire.recv(buf, n, peek);
    if (r < 0) lastNetError = SYS_WSAEWOULDBLOCK;
    if (peek && r > 0 && (memPeekStarts.empty() || memPeekStarts.back() != memWire.pos))
        memPeekStarts.push_back(memWire.pos);
    return r;
}
// The server reads everything at once.
int sysSend(SysSocket, const void*, int n) { return n; }
int sysNetError() { return lastNetError; }
// A look at the stream stands for the wait: one that finds nothing lets
// the scripted peer's clock run on.
int sysWaitReadable(SysSocket, int) {
    char byte;
    return memWire.recv(&byte, 1, true) < 0 ? 0 : 1;
}
int sysSocketWatch(SysSocket) { return 0; }

// A smaller quarantine than the sanitizer's 256 MB: freed memory is reused
// within a few inputs instead of fresh pages being faulted in for every
// allocation, which made the runs three times slower.  Use after free
// within an input is still caught.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
