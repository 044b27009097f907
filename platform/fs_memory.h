// A file system in memory for the fuzz build: the seam's files and folders
// (sys_memory.cpp) and the models' own copies of what the disk must hold.
//
// Behaves like the product's platform where the product's rules depend on
// it, and like the POSIX side of the seam otherwise: "/" and "\" separate,
// "." and ".." resolve, a path ending in a separator names only a folder,
// relative paths start at the current folder "/run".  Names keep their
// letter case but are compared without it, as the platform compares them:
// each byte read as its character of Windows-1252 and upper-cased by the C
// library's Unicode tables (not by any table of the installer).  One folder
// may be a volume of limited room: files take whole allocation units and
// folders one unit each, and a write that does not fit fails.  Entries may
// be hidden (enumeration says so) or locked (in use: cannot be written,
// deleted, moved or replaced).  Results are the seam's system error numbers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The UTF-16 unit each byte of a name stands for (Windows-1252, read by the
// C library's converter).
const uint16_t* memCodePage();
// That character upper-cased: two names whose bytes map alike name the same
// entry.
const uint32_t* memNameFold();

// Order of names as the platform compares them (also the enumeration
// order); without memcmp: the fuzzer hooks every memcmp call, and path
// lookups make many.
struct NameOrder {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const {
        static const uint32_t* const fold = memNameFold();
        for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
            uint32_t x = fold[static_cast<unsigned char>(a[i])], y = fold[static_cast<unsigned char>(b[i])];
            if (x != y) return x < y;
        }
        return a.size() < b.size();
    }
};

// Entries and contents come from free lists of the process's own, one per
// size of block: a file system is copied, cut and thrown away several
// times for every fuzz input, and the address checker's allocator made
// that the costliest part of an input.  A block on a free list stays
// poisoned, so that the checker still sees a use after it was given back.
void memPoison(void* p, size_t n);
void memUnpoison(void* p, size_t n);

template <class T>
struct MemPool {
    using value_type = T;
    MemPool() = default;
    template <class U>
    MemPool(const MemPool<U>&) {}
    T* allocate(size_t n) {
        void*& head = freeList();
        if (n != 1 || !head) return static_cast<T*>(::operator new(n * sizeof(T)));
        void* p = head;
        head = *static_cast<void**>(p);
        memUnpoison(p, sizeof(T));
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t n) {
        if (n != 1) {
            ::operator delete(p);
            return;
        }
        static_assert(sizeof(T) >= sizeof(void*), "a block holds the free list's link");
        *reinterpret_cast<void**>(p) = freeList();
        freeList() = p;
        memPoison(reinterpret_cast<char*>(p) + sizeof(void*), sizeof(T) - sizeof(void*));
    }
    // Never given back: the leak check at exit reaches every block from here.
    static void*& freeList() {
        static void* head = nullptr;
        return head;
    }
    friend bool operator==(const MemPool&, const MemPool&) { return true; }
    friend bool operator!=(const MemPool&, const MemPool&) { return false; }
};

struct MemNode;
using MemKids = std::map<std::string, MemNode, NameOrder, MemPool<std::pair<const std::string, MemNode>>>;

// A folder whose entries lie on a volume of limited room.
struct MemVolume {
    std::string folder;           // absolute, as the product names it; empty: no limit anywhere
    uint64_t free = UINT64_MAX;   // bytes left
    uint32_t unit = 1;            // allocation unit
};

struct MemNode {
    bool folder = false, hidden = false, locked = false;
    uint64_t fakeSize = 0;  // size the enumeration reports instead, when set (huge files)
    // Shared until written (every write gives the node a string of its own).
    std::shared_ptr<std::string> data = empty();
    MemKids kids;  // enumeration order: by bytes

    static const std::shared_ptr<std::string>& empty() {
        static const std::shared_ptr<std::string> none = std::make_shared<std::string>();
        return none;
    }
    bool operator==(const MemNode& o) const {
        return folder == o.folder && hidden == o.hidden && locked == o.locked && *data == *o.data && kids == o.kids;
    }
};

// A power cut, for tests of what survives one.  Every change below
// `folder` is a step: creating or truncating a file, each write that reaches
// the file, each flush, each move, deletion and folder change.  At step
// `at` (counted from 1) the power goes: that step and every later change
// fail, and `image` keeps what the disk held at that moment.  Content
// written since the file's last flush is lost then (the file is left
// empty); moves and folder changes are kept as they were done.
struct MemPowerCut {
    std::string folder;           // empty: nothing is counted
    long steps = 0, at = 0;       // at 0: the power never goes
    bool cut = false;
    std::shared_ptr<MemNode> image;
};

class MemFs {
public:
    MemFs() { root.folder = true; }
    MemNode root;
    MemVolume volume;
    MemPowerCut power;

    // Counts a step below power.folder; false when the power is gone (the
    // change must fail).
    bool step(std::string_view path);
    bool counts(std::string_view path) const;
    bool stepAnyway();
    // Makes the content written to `f` so far survive a power cut.
    bool flush(FILE* f);
    // The same for a closed file, by its path; false for no file.
    bool flushPath(const std::string& path);
    // The tree as a power cut now would leave it.
    MemNode durable() const;

    bool onVolume(std::string_view path) const;
    uint64_t units(uint64_t size) const { return (size + volume.unit - 1) / volume.unit * volume.unit; }
    // Takes `bytes` of the volume's room; false (nothing taken) when it has less.
    bool take(uint64_t bytes);

    // Adds a file or folder (parents included) for a test's starting state.
    MemNode& put(std::string_view path, bool folder, const std::string& content = "");
    MemNode* find(std::string_view path);
    // The absolute path that `path` resolves to ("/a/b"; "" for the root).
    static std::string normal(std::string_view path);
    static void normalInto(std::string_view path, std::string& out);

    int mkdir(std::string_view path);
    int removeFile(std::string_view path);
    int rmdir(std::string_view path);
    // `replace`: the target may be an existing file (not a folder, not locked).
    int rename(std::string_view from, std::string_view to, bool replace);
    int kind(std::string_view path);  // 0 missing, 1 file, 2 folder
    // stdio stream on the file; null with errno set, like fopen.
    FILE* open(std::string_view path, const char* mode);
    // Writes a whole file as "wb" then fwrite would; 0 or an error number
    // (SYS_ERROR_DISK_FULL when the content does not fit the volume).
    int write(std::string_view path, const std::string& content);

    // One line per entry, for failure reports.
    std::string dump() const;

    // Contents written since their file's last flush (only while steps are
    // counted).
    std::vector<std::shared_ptr<std::string>> unsynced;
    void markUnsynced(const std::shared_ptr<std::string>& data);

private:
    struct Where {
        MemNode* parent = nullptr;  // the folder holding the last component, null when unreachable
        std::string_view name;      // last component ("" for the root), within the path resolved
        MemNode* node = nullptr;    // the entry itself, when it exists
        bool trailing = false;      // the path ended in a separator
    };
    Where resolve(std::string_view path);
    static int missing(const Where& w);

    // The folder of the last path resolved, by its text: the product works
    // on one folder after the other with long paths.  Dropped whenever a
    // folder goes away or moves, and never copied with the tree.
    struct LastFolder {
        std::string text;
        MemNode* node = nullptr;
        LastFolder() = default;
        LastFolder(const LastFolder&) {}
        LastFolder& operator=(const LastFolder&) {
            node = nullptr;
            return *this;
        }
    } last;
};
