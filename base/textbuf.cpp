#include "base/textbuf.h"

#include <cstdio>
#include <cstring>

bool copyText(char* dst, size_t cap, const char* src) {
    if (!dst || cap == 0) return false;
    if (!src) src = "";
    size_t n = strlen(src);
    if (n < cap) {
        memcpy(dst, src, n + 1);
        return true;
    }
    memcpy(dst, src, cap - 1);
    dst[cap - 1] = '\0';
    return false;
}

bool appendBytes(char* dst, size_t cap, const char* src, size_t n) {
    if (!dst || cap == 0 || (!src && n)) return false;
    size_t have = strnlen(dst, cap);
    if (have >= cap || n >= cap - have) return false;
    memcpy(dst + have, src, n);
    dst[have + n] = '\0';
    return true;
}

bool appendText(char* dst, size_t cap, const char* src) {
    if (!src) src = "";
    return appendBytes(dst, cap, src, strlen(src));
}

bool formatTextV(char* dst, size_t cap, const char* format, va_list args) {
    if (!dst || cap == 0) return false;
    if (!format) {
        dst[0] = '\0';
        return false;
    }
    int n = vsnprintf(dst, cap, format, args);
    if (n < 0) {
        dst[0] = '\0';
        return false;
    }
    return static_cast<size_t>(n) < cap;
}

bool formatText(char* dst, size_t cap, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool ok = formatTextV(dst, cap, format, args);
    va_end(args);
    return ok;
}

bool endsWithSeparator(const char* text) {
    if (!text || !*text) return false;
    return isSeparator(text[strlen(text) - 1]);
}

static char foldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithNoCase(const char* text, const char* prefix) {
    if (!text || !prefix) return false;
    for (; *prefix; ++prefix, ++text) {
        if (!*text || foldAscii(*text) != foldAscii(*prefix)) return false;
    }
    return true;
}
