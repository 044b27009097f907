#include "platform/file_names.h"

#include "platform/sys.h"

namespace {

// Longest name or path component the installer checks (a folder command's
// path holds at most 999 bytes).
const size_t NAME_UNITS = 1024;

uint16_t upperAscii(uint16_t c) { return (c >= 'a' && c <= 'z') ? static_cast<uint16_t>(c - 'a' + 'A') : c; }

bool stemIs(const uint16_t* name, size_t stem, const char* word) {
    size_t i = 0;
    for (; word[i]; ++i)
        if (i >= stem || upperAscii(name[i]) != static_cast<unsigned char>(word[i])) return false;
    return i == stem;
}

bool isPortDigit(uint16_t c) {
    // '0'-'9' and the superscript one, two and three.
    return (c >= '0' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3;
}

}  // namespace

bool isDeviceName(const char* name, size_t n) {
    // Matched on the characters, not the bytes: a superscript digit is one
    // byte in Windows-1252 and two in UTF-8.
    uint16_t u[NAME_UNITS];
    size_t k = name ? sysNameToUtf16(name, n, u, NAME_UNITS) : 0;
    // The part before the first dot, without the spaces in front of that dot.
    size_t stem = 0;
    while (stem < k && u[stem] != '.') ++stem;
    while (stem > 0 && u[stem - 1] == ' ') --stem;
    static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* word : plain)
        if (stemIs(u, stem, word)) return true;
    if (stem != 4 || !isPortDigit(u[3])) return false;
    return stemIs(u, 3, "COM") || stemIs(u, 3, "LPT");
}

const char* fileNameProblem(const char* name, size_t n) {
    if (!name || n == 0) return "empty name";
    if ((n == 1 && name[0] == '.') || (n == 2 && name[0] == '.' && name[1] == '.')) return "relative folder name";
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F) return "control byte in name";
        switch (c) {
            case '/':
            case '\\':
            case ':': return "separator in name";
            case '*':
            case '?':
            case '"':
            case '<':
            case '>':
            case '|': return "reserved character in name";
            default: break;
        }
    }
    if (name[n - 1] == '.' || name[n - 1] == ' ') return "name ends in a dot or space";
    if (isDeviceName(name, n)) return "device name";
    return nullptr;
}

bool FileNameLess::operator()(std::string_view a, std::string_view b) const {
    return sysCompareNames(a.data(), a.size(), b.data(), b.size()) < 0;
}
