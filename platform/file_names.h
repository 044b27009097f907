// The system's rules for one name inside a folder (a path component), in
// one place: the packer refuses what the unpacker would refuse, and both
// refuse what the system would read as something else than a plain file or
// folder of that name.  Portable: what depends on the code page goes
// through the seam (sys.h).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Why `name` (n bytes, not terminated) cannot be used as the name of a file
// or folder, or null when it can.  Refused: empty names, "." and "..",
// control bytes, separators and drive or stream colons, the wildcard and
// quoting characters, a trailing dot or space (the system drops them), and
// the names the system reserves for devices.
const char* fileNameProblem(const char* name, size_t n);

// True when the system reads the name as a device: CON, PRN, AUX, NUL,
// CONIN$, CONOUT$, COM0-COM9 and LPT0-LPT9 with the superscript digits one
// to three as well (one character, however many bytes the code page gives
// it); in any letter case, alone or followed by an extension, with spaces
// before the first dot ("nul", "Com1.txt", "LPT1 .log", "NUL.tar.gz").
bool isDeviceName(const char* name, size_t n);

// Orders names and paths as the file system compares them (sysCompareNames):
// two keys that compare equal name the same entry.
// Transparent: a set of paths can be asked about a piece of a longer one
// without a copy.
struct FileNameLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};
