// bare_unpack: the yardstick of the unpacking benchmark.  A plain per-file
// loop over a package archive and nothing around it: per folder record one
// folder made, per file record a temporary file written in 64 KB blocks,
// closed and moved onto its name.  No name rules, no free-space count, no
// progress, no window.  Built for Windows and run under wine next to the
// installer, so that both pay the same per-call costs.
//
//   bare_unpack.exe [--flush] ARCHIVE FOLDER
//
// --flush: each temporary file is flushed to the disk before it is closed
// (FlushFileBuffers), the plain way to have every file on the disk before
// it takes its name: the yardstick for an unpacking that must survive a
// power cut.
//
// Prints "<files> files, <bytes> bytes in <s> s", timed from opening the
// archive to the last file moved into place.  Exit 1 on a malformed archive
// or a failed step.  The archive is trusted only so far: a name with a
// separator, a colon or a dot-only name ends the run.
#include <windows.h>

#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/wrp_format.h"
#include "bench/bench_clock.h"

namespace {

char block[1 << 16];
char archiveBuffer[1 << 16];
bool flushEach = false;
unsigned long files = 0;
unsigned long long bytes = 0;

bool plainName(const char* name, size_t n) {
    if (n == 0 || strspn(name, ".") == n) return false;
    for (size_t i = 0; i < n; ++i)
        if (name[i] == '/' || name[i] == '\\' || name[i] == ':' || name[i] == '\0') return false;
    return true;
}

bool copyFile(FILE* src, const std::string& target, uint32_t size) {
    std::string temp = target + WRP_TEMP_SUFFIX;
    FILE* dst = fopen(temp.c_str(), "wb");
    if (!dst) return false;
    setvbuf(dst, nullptr, _IONBF, 0);
    uint32_t copied = 0;
    while (copied < size) {
        uint32_t left = size - copied;
        size_t want = left < sizeof block ? left : sizeof block;
        size_t got = fread(block, 1, want, src);
        if (got == 0 || fwrite(block, 1, got, dst) != got) break;
        copied += static_cast<uint32_t>(got);
    }
    if (flushEach && (fflush(dst) != 0 || !FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(dst))))))
        copied = 0;
    if (fclose(dst) != 0 || copied != size) return false;
    bytes += size;
    ++files;
    return MoveFileExA(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

// One listing up to its end record, under `folder` (ends with a separator).
bool unpackListing(FILE* src, const std::string& folder, int depth) {
    if (depth > 128) return false;
    for (;;) {
        int type = fgetc(src);
        if (type == EOF) return false;
        WrpRecordKind kind = wrpRecordKind(static_cast<uint8_t>(type));
        if (kind == WrpRecordKind::End) return true;
        if (kind == WrpRecordKind::Skip) continue;
        int n = fgetc(src);
        char name[WRP_NAME_MAX + 1];
        if (n == EOF || fread(name, 1, static_cast<size_t>(n), src) != static_cast<size_t>(n)) return false;
        name[n] = '\0';
        if (!plainName(name, static_cast<size_t>(n))) return false;
        std::string path = folder + name;
        if (kind == WrpRecordKind::Folder) {
            if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
            if (!unpackListing(src, path + "\\", depth + 1)) return false;
        } else {
            uint8_t size[WRP_SIZE_BYTES];
            if (fread(size, 1, sizeof size, src) != sizeof size) return false;
            if (!copyFile(src, path, wrpGetU32(size))) return false;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--flush") == 0) {
        flushEach = true;
        ++argv;
        --argc;
    }
    if (argc != 3) {
        fprintf(stderr, "usage: bare_unpack [--flush] ARCHIVE FOLDER\n");
        return 2;
    }
    double start = benchSeconds();
    FILE* src = fopen(argv[1], "rb");
    if (!src) {
        fprintf(stderr, "bare_unpack: cannot read %s\n", argv[1]);
        return 1;
    }
    setvbuf(src, archiveBuffer, _IOFBF, sizeof archiveBuffer);
    std::string root = argv[2];
    CreateDirectoryA(root.c_str(), nullptr);
    if (root.back() != '\\' && root.back() != '/') root += "\\";
    bool ok = unpackListing(src, root, 0);
    fclose(src);
    double took = benchSeconds() - start;
    printf("%lu files, %llu bytes in %.3f s\n", files, bytes, took);
    if (!ok) fprintf(stderr, "bare_unpack: malformed archive or failed step\n");
    return ok ? 0 : 1;
}
