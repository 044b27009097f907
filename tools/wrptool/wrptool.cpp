// wrptool: packs, lists and unpacks package archives on the maker's machine
// with the installer's own archive code.  It has no window, so it brings
// console versions of the user-interface verbs.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/globals.h"
#include "archive/unwrap.h"
#include "archive/wrap.h"
#include "platform/sys.h"
#include "tools/wrptool/wrp_list.h"

// ---- console user interface ----------------------------------------------
void uiListAdd(const char* text) { printf("%s\n", text); }
void uiListDropLast() {}
void uiListReplaceLast(const char* text) { uiListAdd(text); }
void uiSetStatus(const char*) {}
void uiShowProgress(bool) {}
void uiSetProgress(int) {}
void uiPump() {}
void uiSocketReads(SysSocket, bool) {}
void uiWarning(const char* text) { fprintf(stderr, "%s\n", text); }
bool uiAskYesNo(const char* text, const char*, bool) {
    fprintf(stderr, "%s (answered No)\n", text);
    return false;
}
void uiQuit() {}

namespace {

enum Exit { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_MALFORMED = 3 };

const struct {
    const char* name;
    uint16_t mode;
} modeNames[] = {
    {"ALL", PACK_ALL},           {"OSKE_EXE", PACK_OSKE_EXE}, {"OSKE_ALL", PACK_OSKE_ALL},
    {"VELN_EXE", PACK_VELN_EXE}, {"VELN_ALL", PACK_VELN_ALL}, {"KAVO_EXE", PACK_KAVO_EXE},
    {"UBRA_EXE", PACK_UBRA_EXE}, {"UBRA_ALL", PACK_UBRA_ALL},
};

void usage(FILE* out) {
    fprintf(out,
            "usage: wrptool pack <folder> <archive> [mode]\n"
            "       wrptool list <archive>\n"
            "       wrptool unpack <archive> <folder>\n"
            "       wrptool --help\n"
            "\n"
            "pack    writes <folder> as a package archive; mode is a name or its\n"
            "        number (default ALL):\n");
    for (const auto& m : modeNames) fprintf(out, "          %-9s %d\n", m.name, m.mode);
    fprintf(out,
            "list    prints one line per record: offset, type, size, path; a\n"
            "        malformed archive (cut short, missing end record) or names\n"
            "        that unpacking refuses are reported on stderr, exit code 3\n"
            "unpack  recreates the archive's tree in <folder>\n"
            "\n"
            "exit codes: 0 done, 1 failed, 2 usage, 3 malformed archive\n");
}

bool parseMode(const char* text, uint16_t* mode) {
    const char* name = strncmp(text, "PACK_", 5) == 0 ? text + 5 : text;
    for (const auto& m : modeNames) {
        if (strcmp(name, m.name) == 0) {
            *mode = m.mode;
            return true;
        }
    }
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end || value < 0 || value > 0xFFFF || !isPackageMode(static_cast<uint16_t>(value)))
        return false;
    *mode = static_cast<uint16_t>(value);
    return true;
}

void printRecord(const WrpRecordInfo& r, void*) {
    switch (r.kind) {
        case 'd': printf("%10llu  dir             %s", (unsigned long long)r.offset, r.path); break;
        case 'f':
            printf("%10llu  file %10u  %s", (unsigned long long)r.offset, r.size, r.path);
            break;
        case 'e': printf("%10llu  end             %s", (unsigned long long)r.offset, *r.path ? r.path : "."); break;
        default:
            printf("%10llu  skip 0x%02X        %s", (unsigned long long)r.offset, r.type, r.path);
            break;
    }
    if (r.unsafe) printf("  [refused by unpack: %s]", r.unsafe);
    putchar('\n');
}

int listCommand(const char* archivePath) {
    FILE* f = sysOpenFile(archivePath, "rb");
    if (!f) {
        fprintf(stderr, "wrptool: cannot open \"%s\"\n", archivePath);
        return EXIT_FAILED;
    }
    WrpListOutcome outcome;
    listArchive(f, printRecord, nullptr, &outcome);
    fclose(f);
    fflush(stdout);
    int rc = EXIT_OK;
    if (!outcome.wellFormed) {
        fprintf(stderr, "wrptool: malformed archive: %s (record at offset %llu)\n", outcome.problem,
                (unsigned long long)outcome.problemOffset);
        rc = EXIT_MALFORMED;
    }
    if (outcome.unsafeNames) {
        fprintf(stderr, "wrptool: the archive holds names that unpacking refuses\n");
        rc = EXIT_MALFORMED;
    }
    if (outcome.trailingBytes)
        fprintf(stderr, "wrptool: %llu bytes after the final end record (never read)\n",
                (unsigned long long)outcome.trailingBytes);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    // Log lines go to the console, not into a log file next to the caller.
    consoleMode = true;
    if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return EXIT_OK;
    }
    const char* cmd = argc >= 2 ? argv[1] : "";
    if (strcmp(cmd, "pack") == 0 && (argc == 4 || argc == 5)) {
        uint16_t mode = PACK_ALL;
        if (argc == 5 && !parseMode(argv[4], &mode)) {
            fprintf(stderr, "wrptool: unknown mode \"%s\"\n", argv[4]);
            return EXIT_USAGE;
        }
        return wrapFolder(argv[2], argv[3], mode) ? EXIT_OK : EXIT_FAILED;
    }
    if (strcmp(cmd, "list") == 0 && argc == 3) return listCommand(argv[2]);
    if (strcmp(cmd, "unpack") == 0 && argc == 4) return unwrapFolder(argv[2], argv[3]) ? EXIT_OK : EXIT_FAILED;
    usage(stderr);
    return EXIT_USAGE;
}
