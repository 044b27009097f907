// What unpacking an archive will occupy on the destination's volume at its
// peak, counted as the volume counts it.
#pragma once

#include <cstdint>
#include <cstdio>

// Walks the record headers of `archive` (at its start, `length` bytes
// long) as the unpacker meets them under `root` (the destination with its
// separator, created when missing) and returns the most bytes the
// unpacking occupies beyond what the volume holds now.  Every file and
// every created folder takes whole allocation units of `unit` bytes; a
// file's temporary file (a leftover one truncated first) stands beside the
// file it replaces until it has replaced it, which frees the old file's
// units.  The walk ends where the unpacker would stop: the archive's end,
// a cut, a name it refuses or a path beyond its limits.  Failures it cannot
// foresee only make the figure larger.
uint64_t unpackingPeak(FILE* archive, int64_t length, const char* root, uint32_t unit);
