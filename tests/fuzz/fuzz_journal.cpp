// A power cut at one step of a small update.  The input is one byte that
// picks the step, then the installed release and the package: for each of
// up to eight paths one byte, its low nibble the old file (0: none, else
// that many bytes), its high nibble the package's file (0: not in the
// package, 15: an empty file, else that many bytes).  The package is
// unpacked with the power cut at step 1 + (the first byte's low six bits
// modulo the steps of the whole update below the destination: each file
// created, write, flush, move, deletion and folder change), what the disk
// kept at that moment started again and recovered.  (The whole update,
// which gives the count, runs only when those bits are not below it and the
// count for an input of this shape is not known from an earlier one.)  The destination
// must then hold exactly the old release or exactly the new one (the old
// files with the package's laid over them), with no temporary file and no
// journal; an unpacking after it must give the new release.  One cut per
// input keeps an input at three unpackings; the fuzzer's coverage of the
// recovery tells the cut points apart.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>

#include "archive/unwrap.h"
#include "archive/unwrap_journal.h"
#include "platform/sys.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/unit/fake_ui.h"

namespace {

const std::string DEST = "/d";
const std::string ARCHIVE = "/a.wrp";
const char* const PATHS[8] = {"a", "b", "D/a", "D/c", "N/x", "N/M/y", "D/E/z", "k.txt"};

MemNode* destNode() { return memFs.find(DEST); }

// A release as the destination must hold it: which of the paths are files
// and with what, the folders being those that hold them.  Compared with the
// tree by walking it, so that an input builds no second tree to compare.
struct Release {
    bool present[8] = {};
    std::string content[8];

    bool holds(const MemNode& dest) const {
        char path[16];
        size_t files = 0, folders = 0;
        if (!walk(dest, path, 0, files, folders)) return false;
        size_t wantFiles = 0, wantFolders = 0;
        for (size_t i = 0; i < 8; ++i) wantFiles += present[i];
        for (const char* f : FOLDERS) wantFolders += holdsFolder(f);
        return files == wantFiles && folders == wantFolders;
    }
    std::string describe() const {
        std::string out;
        for (size_t i = 0; i < 8; ++i)
            if (present[i]) out += std::string(PATHS[i]) + " (" + std::to_string(content[i].size()) + " bytes)\n";
        return out;
    }

private:
    static constexpr const char* FOLDERS[4] = {"D", "D/E", "N", "N/M"};
    bool holdsFolder(const char* f) const {
        size_t n = strlen(f);
        for (size_t i = 0; i < 8; ++i)
            if (present[i] && strncmp(PATHS[i], f, n) == 0 && PATHS[i][n] == '/') return true;
        return false;
    }
    // Every entry below `at` (its path so far `path`, `length` bytes) must
    // be a file or folder of the release, plain (not hidden, not locked).
    bool walk(const MemNode& at, char* path, size_t length, size_t& files, size_t& folders) const {
        for (const auto& [name, kid] : at.kids) {
            if (kid.hidden || kid.locked || kid.fakeSize || length + name.size() + 2 > 16) return false;
            memcpy(path + length, name.data(), name.size());
            path[length + name.size()] = '\0';
            if (kid.folder) {
                if (!holdsFolder(path)) return false;
                ++folders;
                path[length + name.size()] = '/';
                if (!walk(kid, path, length + name.size() + 1, files, folders)) return false;
                continue;
            }
            size_t i = 0;
            while (i < 8 && strcmp(PATHS[i], path) != 0) ++i;
            if (i == 8 || !present[i] || *kid.data != content[i]) return false;
            ++files;
        }
        return true;
    }
};

// The archive of the package, written here from the format: a listing is
// its files and folders, each in name order, then the end byte 0x04; a
// folder is 0x01, the name's length and the name, then its listing; a file
// is 0x02, the name's length, the name, the content's length (4 bytes, low
// byte first) and the content.  `prefix`: the folder listed ("" or "D/").
void listing(const Release& package, std::string_view prefix, std::string& out) {
    std::string_view files[8], folders[8];
    size_t fileIndex[8], nFiles = 0, nFolders = 0;
    for (size_t i = 0; i < 8; ++i) {
        std::string_view path = PATHS[i];
        if (!package.present[i] || path.substr(0, prefix.size()) != prefix) continue;
        std::string_view rest = path.substr(prefix.size());
        size_t cut = rest.find('/');
        if (cut == std::string_view::npos) {
            fileIndex[nFiles] = i;
            files[nFiles++] = rest;
        } else if (std::find(folders, folders + nFolders, rest.substr(0, cut)) == folders + nFolders) {
            folders[nFolders++] = rest.substr(0, cut);
        }
    }
    for (size_t n = 0; n < nFiles; ++n) {
        size_t first = n;  // the next file in name order
        for (size_t m = n + 1; m < nFiles; ++m)
            if (files[m] < files[first]) first = m;
        std::swap(files[n], files[first]);
        std::swap(fileIndex[n], fileIndex[first]);
        const std::string& content = package.content[fileIndex[n]];
        out += '\x02';
        out += static_cast<char>(files[n].size());
        out += files[n];
        for (int i = 0; i < 4; ++i) out += static_cast<char>((content.size() >> (8 * i)) & 0xFF);
        out += content;
    }
    std::sort(folders, folders + nFolders);
    for (size_t n = 0; n < nFolders; ++n) {
        out += '\x01';
        out += static_cast<char>(folders[n].size());
        out += folders[n];
        char sub[16];
        size_t length = prefix.size() + folders[n].size();
        memcpy(sub, prefix.data(), prefix.size());
        memcpy(sub + prefix.size(), folders[n].data(), folders[n].size());
        sub[length] = '/';
        listing(package, std::string_view(sub, length + 1), out);
    }
    out += '\x04';
}

[[noreturn]] void fail(const char* what, long k, const Release& oldRelease, const Release& newRelease) {
    fprintf(stderr, "\n*** fuzz_journal: %s (power cut at step %ld)\n--- old\n%s--- new\n%s--- found\n%s", what, k,
            oldRelease.describe().c_str(), newRelease.describe().c_str(), memFs.dump().c_str());
    for (const std::string& line : fakeUi.list) fprintf(stderr, "%s\n", line.c_str());
    abort();
}

bool unpack() { return unwrapFolder(ARCHIVE.c_str(), DEST.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
    if (inputSize < 1 || inputSize > 9) return -1;
    // Six bits: more than the steps of any update here, so that a cut byte
    // rarely lies beyond a package's steps (which costs a whole update to
    // count them).
    const uint8_t cutPick = input[0] & 63;
    const uint8_t* data = input + 1;
    const size_t size = inputSize - 1;
    MemReleaseAtEnd release;
    // The start: the old release and the archive, which every start shares
    // (the unpacker only reads it).
    MemFs oldFs;
    Release oldRelease, newRelease, package;
    oldFs.put("/run", true);
    oldFs.put(DEST, true);
    for (size_t i = 0; i < size; ++i) {
        unsigned oldLength = data[i] & 15, newLength = data[i] >> 4;
        if (oldLength) {
            oldRelease.present[i] = true;
            oldRelease.content[i].assign(oldLength, static_cast<char>('a' + i));
            oldFs.put(DEST + "/" + PATHS[i], false, oldRelease.content[i]);
        }
        newRelease.present[i] = oldRelease.present[i];
        newRelease.content[i] = oldRelease.content[i];
        if (!newLength) continue;
        newRelease.present[i] = true;
        newRelease.content[i].assign(newLength == 15 ? 0 : newLength, static_cast<char>('A' + i));
        package.present[i] = true;
        package.content[i] = newRelease.content[i];
    }
    std::string archive;
    listing(package, "", archive);
    oldFs.put(ARCHIVE, false, archive);

    auto start = [&](long cutAt) {
        resetAppState();
        memReset(oldFs, DEST);
        memFs.power.folder = DEST;
        memFs.power.at = cutAt;
    };
    // The step count of each shape of release and package already updated
    // whole.  A shape is, for each path, whether the old file is there and
    // whether the package's is absent, empty or not: lengths change no step
    // (a file's content is written at once), so most inputs, which differ
    // from an earlier one in the cut byte or in a length only, cost no whole
    // update.  A first byte below the count cuts at once; a larger one of a
    // shape not seen finds the power never cut, and that run is the whole
    // update, which gives the count.  Should a shape ever be wrong about a
    // count, the cut is not reached and the count is taken again.
    // The counts live in a table of fixed size (a newer one takes an older
    // one's slot): an input that allocated memory it keeps would look like a
    // leak to the fuzzer, which then runs it again under the leak checker.
    struct Known {
        uint32_t shape = 0;
        long steps = -1;
    };
    static Known stepsOf[1 << 16];
    uint32_t shape = static_cast<uint32_t>(size);  // 6^8 shapes times 9 sizes fit in 32 bits
    for (size_t i = 0; i < size; ++i) {
        unsigned newLength = data[i] >> 4;
        shape = shape * 6 + ((data[i] & 15) ? 3 : 0) + (newLength == 0 ? 0 : newLength == 15 ? 1 : 2);
    }
    Known& known = stepsOf[(shape * 0x9E3779B9u) >> 16];
    const bool seen = known.shape == shape && known.steps > 0;
    long k = 1 + (seen ? cutPick % known.steps : cutPick);
    start(k);
    bool whole = unpack();
    if (!memFs.power.cut) {
        if (!whole || !newRelease.holds(*destNode())) fail("the whole update did not give the new release", 0, oldRelease, newRelease);
        const long steps = memFs.power.steps;
        if (steps > 64) fail("more steps than the cut byte reaches (the input needs more bits for it)", 0, oldRelease, newRelease);
        known.shape = shape;
        known.steps = steps;
        if (steps < 1) return 0;
        k = 1 + cutPick % steps;
        start(k);
        unpack();
        if (!memFs.power.cut) fail("the power cut was never reached", k, oldRelease, newRelease);
    }
    // The next start on what the disk kept.
    MemFs after;  // fresh: nothing looked up in the old tree, no steps counted
    after.root = std::move(*memFs.power.image);
    after.volume = memFs.volume;
    memFs = std::move(after);
    fakeUi.reset();
    recoverUnwrap(DEST.c_str());
    const MemNode& now = *destNode();
    if (!oldRelease.holds(now) && !newRelease.holds(now)) fail("neither the old nor the new release", k, oldRelease, newRelease);
    if (!(memFs.kind(ARCHIVE) == 1)) fail("the archive went", k, oldRelease, newRelease);
    // And an update after it completes.
    if (!unpack() || !newRelease.holds(*destNode())) fail("the update after recovery failed", k, oldRelease, newRelease);
    return 0;
}
