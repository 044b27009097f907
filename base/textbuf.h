// Bounded text helpers.  Every text of the installer lives in a buffer of a
// fixed capacity (terminating NUL included); these never write past it and
// report truncation as failure, because a cut path names another file.
#pragma once

#include <cstdarg>
#include <cstddef>

// Copies src into dst; false (dst holds the cut text) when it does not fit.
bool copyText(char* dst, size_t cap, const char* src);
// Appends src to the text in dst; false (dst unchanged) when it does not fit.
bool appendText(char* dst, size_t cap, const char* src);
// Appends n bytes of src; false (dst unchanged) when they do not fit.
bool appendBytes(char* dst, size_t cap, const char* src, size_t n);
// printf into dst; false (dst holds the cut text) when the result is cut.
bool formatText(char* dst, size_t cap, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
bool formatTextV(char* dst, size_t cap, const char* format, va_list args);

// True for "/" and "\", the separators the system takes.
inline bool isSeparator(char c) { return c == '/' || c == '\\'; }
// True when the text ends in "/" or "\".
bool endsWithSeparator(const char* text);
// ASCII-only case folding comparisons.
bool startsWithNoCase(const char* text, const char* prefix);
