// unwrap_timer: the installer's own unpacking (unwrapFolder) in a console
// program, timed, so that the archive benchmark can set it beside the plain
// per-file loop (bare_unpack) under the same wine.  The window's share (the
// pump between records, the progress bar) is not in it; the installer's own
// "unwrapFolder - ... sec" line in the download benchmark has that.
//
//   unwrap_timer.exe ARCHIVE FOLDER
//
// Prints "unwrapFolder <ok|failed> in <s> s"; exit 1 when it failed.
#include <windows.h>

#include <cstdio>

#include "archive/unwrap.h"
#include "bench/bench_clock.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: unwrap_timer ARCHIVE FOLDER\n");
        return 2;
    }
    double start = benchSeconds();
    bool ok = unwrapFolder(argv[1], argv[2]);
    printf("unwrapFolder %s in %.3f s\n", ok ? "ok" : "failed", benchSeconds() - start);
    return ok ? 0 : 1;
}
