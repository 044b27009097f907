// What unpacking an archive will occupy on the destination's volume at its
// peak, counted as the volume counts it.
#pragma once

#include <cstdint>
#include <cstdio>

struct UnwrapPlan;

// Walks the record headers of `archive` (at its start, `length` bytes
// long; contents are skipped, never read) as the unpacker meets them under
// `root` (the destination with its separator, created when missing) and
// returns the most bytes the unpacking occupies beyond what the volume
// holds now.  Every file and every created folder takes whole allocation
// units of `unit` bytes.  Every temporary file of the package (a leftover
// one truncated first) stands beside the old files until all are written,
// and no replaced file gives its room back before that; the journal stands
// beside them twice while its second state is written.  The walk ends
// where the unpacker would stop: the archive's end, a cut, a name it
// refuses, a path beyond its limits or a temporary-name clash.  Failures it
// cannot foresee only make the figure larger.  `plan`, when given, receives
// the files the walk met and every folder it names, those it would create
// marked.
uint64_t unpackingPeak(FILE* archive, int64_t length, const char* root, uint32_t unit, UnwrapPlan* plan = nullptr);
