// A power cut at one step of a small update.  The input is one byte that
// picks the step, then the installed release and the package: for each of
// up to eight paths one byte, its low nibble the old file (0: none, else
// that many bytes), its high nibble the package's file (0: not in the
// package, 15: an empty file, else that many bytes).  The package is
// unpacked with the power cut at step 1 + (first byte modulo the steps of
// the whole update below the destination: each file created, write, flush,
// move, deletion and folder change), what the disk kept at that moment
// started again and recovered.  (The whole update, which gives the count,
// runs only when the first byte is not below it and the count of these
// bytes is not known from an earlier input.)  The destination
// must then hold exactly the old release or exactly the new one (the old
// files with the package's laid over them), with no temporary file and no
// journal; an unpacking after it must give the new release.  One cut per
// input keeps an input at three unpackings; the fuzzer's coverage of the
// recovery tells the cut points apart.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "archive/unwrap.h"
#include "archive/unwrap_journal.h"
#include "platform/sys.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/unit/fake_ui.h"

namespace {

const std::string DEST = "/w/dest";
const std::string ARCHIVE = "/w/in.wrp";
const char* const PATHS[8] = {"a", "b", "D/a", "D/c", "N/x", "N/M/y", "D/E/z", "k.txt"};

// The archive of the package, written here from the format: a listing is
// its files and folders, then the end byte 0x04; a folder is 0x01, the
// name's length and the name, then its listing; a file is 0x02, the name's
// length, the name, the content's length (4 bytes, low byte first) and the
// content.
struct Folder {
    std::map<std::string, std::string> files;
    std::map<std::string, Folder> folders;
};

void put(Folder& root, const std::string& path, const std::string& content) {
    Folder* at = &root;
    size_t start = 0, cut;
    while ((cut = path.find('/', start)) != std::string::npos) {
        at = &at->folders[path.substr(start, cut - start)];
        start = cut + 1;
    }
    at->files[path.substr(start)] = content;
}

void listing(const Folder& f, std::string& out) {
    for (const auto& [name, content] : f.files) {
        out += '\x02';
        out += static_cast<char>(name.size());
        out += name;
        for (int i = 0; i < 4; ++i) out += static_cast<char>((content.size() >> (8 * i)) & 0xFF);
        out += content;
    }
    for (const auto& [name, sub] : f.folders) {
        out += '\x01';
        out += static_cast<char>(name.size());
        out += name;
        listing(sub, out);
    }
    out += '\x04';
}

MemNode* destNode() { return memFs.find(DEST); }

[[noreturn]] void fail(const char* what, long k, const MemFs& oldFs, const MemFs& newFs) {
    fprintf(stderr, "\n*** fuzz_journal: %s (power cut at step %ld)\n--- old\n%s--- new\n%s--- found\n%s", what, k,
            oldFs.dump().c_str(), newFs.dump().c_str(), memFs.dump().c_str());
    for (const std::string& line : fakeUi.list) fprintf(stderr, "%s\n", line.c_str());
    abort();
}

bool unpack() { return unwrapFolder(ARCHIVE.c_str(), DEST.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
    if (inputSize < 1 || inputSize > 9) return -1;
    const uint8_t cutPick = input[0];
    const uint8_t* data = input + 1;
    const size_t size = inputSize - 1;
    MemReleaseAtEnd release;
    MemFs oldFs, newFs;
    oldFs.put("/run", true);
    oldFs.put(DEST, true);
    Folder package;
    for (size_t i = 0; i < size; ++i) {
        unsigned oldLength = data[i] & 15;
        if (oldLength) oldFs.put(DEST + "/" + PATHS[i], false, std::string(oldLength, static_cast<char>('a' + i)));
    }
    newFs = oldFs;
    for (size_t i = 0; i < size; ++i) {
        unsigned newLength = data[i] >> 4;
        if (!newLength) continue;
        std::string content(newLength == 15 ? 0 : newLength, static_cast<char>('A' + i));
        put(package, PATHS[i], content);
        newFs.put(DEST + "/" + PATHS[i], false, content);
    }
    std::string archive;
    listing(package, archive);
    const MemNode& oldDest = *oldFs.find(DEST);
    const MemNode& newDest = *newFs.find(DEST);

    auto start = [&](long cutAt) {
        resetAppState();
        memReset(oldFs, DEST);
        memFs.write(ARCHIVE, archive);
        memFs.power.folder = DEST;
        memFs.power.at = cutAt;
    };
    // The step count of each release and package already updated whole:
    // the same bytes update the same way, so most inputs (which differ from
    // an earlier one in the cut byte only, or keep a cut byte below the
    // count) cost no whole update.  A first byte below the count cuts at
    // once; a larger one of a package not seen finds the power never cut,
    // and that run is the whole update, which gives the count.
    // The counts live in a table of fixed size (a newer one takes an older
    // one's slot): an input that allocated memory it keeps would look like a
    // leak to the fuzzer, which then runs it again under the leak checker.
    struct Known {
        uint64_t bytes = 0;  // one per path
        size_t size = 0;
        long steps = -1;
    };
    static Known stepsOf[1 << 16];
    uint64_t bytes = 0;
    for (size_t i = 0; i < size; ++i) bytes |= static_cast<uint64_t>(data[i]) << (8 * i);
    Known& known = stepsOf[((bytes ^ size) * 0x9E3779B97F4A7C15ULL) >> 48];
    const bool seen = known.bytes == bytes && known.size == size && known.steps > 0;
    long k = 1 + (seen ? cutPick % known.steps : cutPick);
    start(k);
    bool whole = unpack();
    if (!memFs.power.cut) {
        if (!whole || !(*destNode() == newDest)) fail("the whole update did not give the new release", 0, oldFs, newFs);
        const long steps = memFs.power.steps;
        known.bytes = bytes;
        known.size = size;
        known.steps = steps;
        if (steps < 1) return 0;
        k = 1 + cutPick % steps;
        start(k);
        unpack();
        if (!memFs.power.cut) fail("the power cut was never reached", k, oldFs, newFs);
    }
    // The next start on what the disk kept.
    MemFs after;  // fresh: nothing looked up in the old tree, no steps counted
    after.root = std::move(*memFs.power.image);
    after.volume = memFs.volume;
    memFs = std::move(after);
    fakeUi.reset();
    recoverUnwrap(DEST.c_str());
    const MemNode& now = *destNode();
    if (!(now == oldDest) && !(now == newDest)) fail("neither the old nor the new release", k, oldFs, newFs);
    if (!(memFs.kind(ARCHIVE) == 1)) fail("the archive went", k, oldFs, newFs);
    // And an update after it completes.
    if (!unpack() || !(*destNode() == newDest)) fail("the update after recovery failed", k, oldFs, newFs);
    return 0;
}
