// The temporary-name rule of unpacking, in one place.  A file is written to
// its name + ".unwrap" and then moved onto its name, the file it replaces
// kept as name + ".wrpold" until the landing is whole; were either name an
// entry the same archive makes, the landing would overwrite that entry and
// move it away, and the run would still report success.
#pragma once

#include <cstddef>
#include <set>
#include <string>

#include "platform/file_names.h"

class TempNameClash {
public:
    // The unpacker needs only the order it meets: a file whose temporary
    // name is an entry noted before.  The packer refuses either order
    // (`bothOrders`), so a package never depends on the enumeration order.
    explicit TempNameClash(bool bothOrders) : bothOrders_(bothOrders) {}

    // Notes an entry by its path (or its name, when all entries noted lie
    // in one folder), compared as the file system compares names; true when
    // it clashes with an entry noted before.
    bool note(const char* path, size_t n, bool isFolder);
    void clear() {
        tempLike_.clear();
        files_.clear();
    }

private:
    bool bothOrders_;
    std::set<std::string, FileNameLess> tempLike_;  // entries whose names end in the suffix
    std::set<std::string, FileNameLess> files_;     // files (both orders only)
    std::string temp_;                              // a temporary name looked up, kept for its memory
};
