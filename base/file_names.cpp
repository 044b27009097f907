#include "base/file_names.h"

namespace {

char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The part before the first dot, without the spaces in front of that dot:
// what the system matches against its device names.
size_t deviceStem(const char* name, size_t n) {
    size_t stem = 0;
    while (stem < n && name[stem] != '.') ++stem;
    while (stem > 0 && name[stem - 1] == ' ') --stem;
    return stem;
}

bool stemIs(const char* name, size_t stem, const char* word) {
    size_t i = 0;
    for (; word[i]; ++i)
        if (i >= stem || upperAscii(name[i]) != word[i]) return false;
    return i == stem;
}

bool isPortDigit(unsigned char c) {
    // '0'-'9' and the superscript one, two and three of the code page.
    return (c >= '0' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3;
}

}  // namespace

bool isDeviceName(const char* name, size_t n) {
    if (!name) return false;
    size_t stem = deviceStem(name, n);
    static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* word : plain)
        if (stemIs(name, stem, word)) return true;
    if (stem != 4 || !isPortDigit(static_cast<unsigned char>(name[3]))) return false;
    return stemIs(name, 3, "COM") || stemIs(name, 3, "LPT");
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

char foldNameByte(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'A' && u <= 'Z') return static_cast<char>(u + 0x20);
    if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return static_cast<char>(u + 0x20);
    if (c == '\\') return '/';
    return c;
}

std::string foldedName(const char* text, size_t n) {
    std::string out(text ? n : 0, '\0');
    for (size_t i = 0; i < out.size(); ++i) out[i] = foldNameByte(text[i]);
    return out;
}
