// Feeds arbitrary bytes to the unpacker as an archive.  Layout of the
// scratch area (the process works inside root/ so the log file lands there):
//
//   root/in.wrp          the archive
//   root/box/dest/       the destination
//
// After each run root/ and root/box/ must hold nothing new: anything there
// was written outside the destination.  A run that reports success must
// also be an archive that the listing reads as well formed and safe.
#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>

#include "app/eventlog.h"
#include "archive/unwrap.h"
#include "archive/wrp_list.h"
#include "platform/sys.h"
#include "tests/unit/fake_ui.h"

namespace {

std::string root, box, dest, archive;

std::set<std::string> entries(const std::string& folder) {
    std::set<std::string> out;
    DIR* d = opendir(folder.c_str());
    if (!d) return out;
    while (struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) out.insert(e->d_name);
    closedir(d);
    return out;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void removeTree(const std::string& path) { nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

void violation(const char* what, const std::string& detail) {
    fprintf(stderr, "fuzz_unwrap: %s: %s\n", what, detail.c_str());
    abort();
}

void setUp() {
    char pattern[] = "/tmp/kavo_fuzz_unwrap_XXXXXX";
    if (!mkdtemp(pattern)) abort();
    root = pattern;
    box = root + "/box";
    dest = box + "/dest";
    archive = root + "/in.wrp";
    if (sysCreateFolder(box.c_str()) != SYS_OK) abort();
    if (chdir(root.c_str()) != 0) abort();
    atexit([] { removeTree(root); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (root.empty()) setUp();
    resetAppState();

    FILE* f = fopen(archive.c_str(), "wb");
    if (!f) abort();
    if (size) fwrite(data, 1, size, f);
    fclose(f);

    bool ok = unwrapFolder(archive.c_str(), dest.c_str());

    for (const std::string& name : entries(root))
        if (name != "in.wrp" && name != "box" && name != LOG_FILE_NAME) violation("written outside", root + "/" + name);
    for (const std::string& name : entries(box))
        if (name != "dest") violation("written outside", box + "/" + name);

    if (ok) {
        FILE* a = fopen(archive.c_str(), "rb");
        WrpListOutcome outcome;
        listArchive(a, nullptr, nullptr, &outcome);
        fclose(a);
        if (!outcome.wellFormed || outcome.unsafeNames) violation("success on a bad archive", outcome.problem);
    }

    removeTree(dest);
    remove((root + "/" LOG_FILE_NAME).c_str());
    return 0;
}
