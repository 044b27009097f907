// The benchmarks' clock on Windows: seconds from the performance counter.
#pragma once

#include <windows.h>

inline double benchSeconds() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}
