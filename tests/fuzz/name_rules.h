// The name rules of the archive, as the fuzz oracles read them: which names
// the unpacker must refuse, and when two paths name the same entry.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/fs_memory.h"

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
        if (c < 0x20 || c == 0x7F || std::string_view("/\\:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
            return false;
    return true;
}

// A 64-bit hash of the parts' bytes, joined: paths that hash alike name the
// same entry on the platform (either separator alike, letter case ignored
// as the in-memory system ignores it).
inline uint64_t foldHash(std::initializer_list<std::string_view> parts) {
    static const uint32_t* const fold = memNameFold();
    uint64_t h = 1469598103934665603ull;
    for (std::string_view part : parts)
        for (unsigned char c : part) h = (h ^ fold[c == '\\' ? '/' : c]) * 1099511628211ull;
    return h;
}
