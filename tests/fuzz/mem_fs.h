// A file system in memory for the fuzz build: the seam's files and folders
// (sys_memory.cpp) and the models' own copies of what the disk must hold.
//
// Behaves like the POSIX side of the seam: "/" and "\" separate, "." and
// ".." resolve, names are case-sensitive, a path ending in a separator names
// only a folder, relative paths start at the current folder "/run".  Entries
// may be hidden (enumeration says so) or locked (in use: cannot be written,
// deleted, moved or replaced).  Results are the seam's system error numbers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Byte order without memcmp: the fuzzer hooks every memcmp call, and path
// lookups make many.
struct NameOrder {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const {
        for (size_t i = 0; i < a.size() && i < b.size(); ++i)
            if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
        return a.size() < b.size();
    }
};

struct MemNode {
    bool folder = false, hidden = false, locked = false;
    uint64_t fakeSize = 0;  // size the enumeration reports instead, when set (huge files)
    // Shared until written (every write gives the node a string of its own).
    std::shared_ptr<std::string> data = empty();
    std::map<std::string, MemNode, NameOrder> kids;  // enumeration order: by bytes

    static const std::shared_ptr<std::string>& empty() {
        static const std::shared_ptr<std::string> none = std::make_shared<std::string>();
        return none;
    }
    bool operator==(const MemNode& o) const {
        return folder == o.folder && hidden == o.hidden && locked == o.locked && *data == *o.data && kids == o.kids;
    }
};

class MemFs {
public:
    MemFs() { root.folder = true; }
    MemNode root;

    // Adds a file or folder (parents included) for a test's starting state.
    MemNode& put(const std::string& path, bool folder, const std::string& content = "");
    MemNode* find(const std::string& path);
    // The absolute path that `path` resolves to ("/a/b"; "" for the root).
    static std::string normal(const std::string& path);

    int mkdir(const std::string& path);
    int removeFile(const std::string& path);
    int rmdir(const std::string& path);
    // `replace`: the target may be an existing file (not a folder, not locked).
    int rename(const std::string& from, const std::string& to, bool replace);
    int kind(const std::string& path);  // 0 missing, 1 file, 2 folder
    // stdio stream on the file; null with errno set, like fopen.
    FILE* open(const std::string& path, const char* mode);
    // Writes a whole file as "wb" then fwrite would; 0 or an error number.
    int write(const std::string& path, const std::string& content);

    // One line per entry, for failure reports.
    std::string dump() const;

private:
    struct Where {
        MemNode* parent = nullptr;  // the folder holding the last component, null when unreachable
        std::string name;           // last component ("" for the root)
        MemNode* node = nullptr;    // the entry itself, when it exists
        bool trailing = false;      // the path ended in a separator
    };
    Where resolve(const std::string& path);
    static int missing(const Where& w);

    // The folder of the last path resolved, by its text: the product works
    // on one folder after the other with long paths.  Dropped whenever an
    // entry goes away, and never copied with the tree.
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
