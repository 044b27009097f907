// The name rules of the archive, as the fuzz oracles read them: which names
// the unpacker must refuse, and how full paths compare when the unpacker
// looks for temporary-name clashes.
#pragma once

#include <string>
#include <string_view>

// Device names: the part before the first dot, trailing spaces off, is one
// of the system's device names in any letter case.
inline bool isDevice(const std::string& s) {
    std::string base = s.substr(0, s.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    for (const char* dev : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (base == dev) return true;
    unsigned char last = base.size() == 4 ? static_cast<unsigned char>(base[3]) : 0;
    bool digit = (last >= '0' && last <= '9') || last == 0xB9 || last == 0xB2 || last == 0xB3;
    return digit && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0);
}

inline bool nameOk(const std::string& s) {
    if (s.empty() || s == "." || s == ".." || s.back() == '.' || s.back() == ' ' || isDevice(s)) return false;
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F || std::string("/\\:*?\"<>|").find(static_cast<char>(c)) != std::string::npos)
            return false;
    return true;
}

// Equal after folded() below, without building the strings.
inline bool sameFolded(std::string_view a, std::string_view b) {
    auto fold = [](unsigned char c) {
        return c == '\\' ? '/' : ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) ? c + 0x20 : c;
    };
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

// Either separator alike, no trailing one, ASCII and Latin-1 capitals folded.
inline std::string folded(std::string p) {
    while (!p.empty() && (p.back() == '/' || p.back() == '\\')) p.pop_back();
    for (char& ch : p) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\\') ch = '/';
        if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) ch = static_cast<char>(c + 0x20);
    }
    return p;
}
