// An update of a small release and what comes after it, checked against
// what the README says a landing guarantees.  The input: one byte that
// picks the step of the power cut (1 + the byte modulo the steps of the
// whole update below the destination: each file created, write, flush,
// move, deletion and folder change), one byte of what happens besides (its
// low three bits the kind, the next three an index), then the installed
// release and the package: for each of up to eight paths one byte, its low
// nibble the old file (0: none, else that many bytes), its high nibble the
// package's file (0: not in the package, 15: an empty file, else that many
// bytes).  The kinds:
//   0  a power cut, and the next start on what the disk kept (content
//      written since a file's last flush is lost, the file left empty);
//   1-3  the same, then one of the landing's temporary files or backups
//      deleted (1), cut to half (2) or overwritten with other bytes (3);
//   4  the same, then one byte of the journal flipped;
//   5  no power cut: a file the landing replaces is held by another program;
//   6  no power cut: the volume has no room;
//   7  no power cut: the backup name of a replaced file is a folder, so a
//      move fails after every file was taken.
// The landing carries the installation's records, as every INSTALL and
// update does.  After the next start the destination holds exactly the
// old release or exactly the new one (the old files with the package's laid
// over them), with its record of installed files naming every file of it
// and every file it names there, and its release record the release of
// those files; only a landing that waits before its moves may leave its
// temporary files and journal.  A journal damaged by hand moves nothing.
// Then the next command on the folder (its recovery, a repair where the
// journal cannot be trusted, and the same package again) gives the new
// release with records that agree and nothing of the installer's left.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "app/globals.h"
#include "archive/release_file.h"
#include "archive/unwrap.h"
#include "archive/unwrap_journal.h"
#include "platform/crypto.h"
#include "platform/sys.h"
#include "setup/installation.h"
#include "setup/package_check.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/unit/fake_ui.h"

namespace {

const std::string DEST = "/d";
const std::string ARCHIVE = "/a.wrp";
const char* const PATHS[8] = {"a", "b", "D/a", "D/c", "N/x", "N/M/y", "D/E/z", "k.txt"};
// The records, as the README names them.
const char* const RECORD = "KAVO_data/installed_files.txt";
const char* const RELEASE_RECORD = "KAVO_data/KAVO_installed.release";
const char* const JOURNAL = "KAVO_unwrap.journal";

MemNode* destNode() { return memFs.find(DEST); }

bool endsWith(const std::string& s, const char* tail) {
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// A release as the destination must hold it: which of the paths are files
// and with what, the folders being those that hold them.  Compared with the
// tree by walking it, so that an input builds no second tree to compare.
struct Release {
    bool present[8] = {};
    std::string content[8];
    const std::string* releaseFile = nullptr;  // the release these files are

    // `leftovers`: a landing waiting before its moves may keep its journal
    // and temporary files.
    bool holds(const MemNode& dest, bool leftovers) const {
        char path[16];
        size_t files = 0, folders = 0;
        if (!walk(dest, path, 0, files, folders, leftovers)) return false;
        size_t wantFiles = 0, wantFolders = 0;
        for (size_t i = 0; i < 8; ++i) wantFiles += present[i];
        for (const char* f : FOLDERS) wantFolders += holdsFolder(f);
        return files == wantFiles && folders == wantFolders && recordsAgree(leftovers);
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
    // be a file or folder of the release, plain (not hidden, not locked);
    // the records' folder is looked at by recordsAgree.
    bool walk(const MemNode& at, char* path, size_t length, size_t& files, size_t& folders, bool leftovers) const {
        for (const auto& [name, kid] : at.kids) {
            if (length == 0 && name == "KAVO_data" && kid.folder) continue;
            if (leftovers && !kid.folder && (endsWith(name, ".unwrap") || (length == 0 && name == JOURNAL)))
                continue;
            if (kid.hidden || kid.locked || kid.fakeSize || length + name.size() + 2 > 16) return false;
            memcpy(path + length, name.data(), name.size());
            path[length + name.size()] = '\0';
            if (kid.folder) {
                // A folder a waiting landing made holds its files alone.
                if (!holdsFolder(path) && leftovers && onlyWaiting(kid)) continue;
                if (!holdsFolder(path)) return false;
                ++folders;
                path[length + name.size()] = '/';
                if (!walk(kid, path, length + name.size() + 1, files, folders, leftovers)) return false;
                continue;
            }
            size_t i = 0;
            while (i < 8 && strcmp(PATHS[i], path) != 0) ++i;
            if (i == 8 || !present[i] || *kid.data != content[i]) return false;
            ++files;
        }
        return true;
    }
    static bool onlyWaiting(const MemNode& folder) {
        for (const auto& [name, kid] : folder.kids)
            if (kid.folder ? !onlyWaiting(kid) : !endsWith(name, ".unwrap")) return false;
        return true;
    }
    // The record of installed files names every file of the release and
    // itself and the release record, and every file it names is there; the
    // release record is the release of these files.  Nothing else lies in
    // the records' folder.
    bool recordsAgree(bool leftovers) const {
        MemNode* data = memFs.find(DEST + "/KAVO_data");
        if (!data || !data->folder) return false;
        for (const auto& [name, kid] : data->kids) {
            bool record = name == "installed_files.txt" || name == "KAVO_installed.release";
            if (!record && !(leftovers && endsWith(name, ".unwrap"))) return false;
        }
        MemNode* release = memFs.find(DEST + "/" + RELEASE_RECORD);
        MemNode* record = memFs.find(DEST + "/" + RECORD);
        if (!release || !record || *release->data != *releaseFile) return false;
        std::set<std::string> listed;
        const std::string& text = *record->data;
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
            at = end == std::string::npos ? text.size() : end + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() < 3 || line[1] != ' ' || line[0] != 'F') continue;
            std::string rel = line.substr(2);
            std::replace(rel.begin(), rel.end(), '\\', '/');
            if (memFs.kind(DEST + "/" + rel) != 1) return false;
            listed.insert(rel);
        }
        for (size_t i = 0; i < 8; ++i)
            if (present[i] && !listed.count(PATHS[i])) return false;
        return listed.count(RECORD) && listed.count(RELEASE_RECORD);
    }
};

// The records of the old installation, written from the README's format:
// a header line, then "D <path>" and "F <path>" with "\" between components.
std::string oldRecord(const Release& r) {
    std::string out = "KAVO installed files 1\r\nD KAVO_data\r\n";
    for (size_t i = 0; i < 8; ++i)
        if (r.present[i]) {
            std::string p = PATHS[i];
            std::replace(p.begin(), p.end(), '/', '\\');
            out += "F " + p + "\r\n";
        }
    return out + "F KAVO_data\\installed_files.txt\r\nF KAVO_data\\KAVO_installed.release\r\n";
}

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
    if (MemNode* r = memFs.find(DEST + "/" + RECORD)) fprintf(stderr, "--- record\n%s", r->data->c_str());
    for (const std::string& line : fakeUi.list) fprintf(stderr, "%s\n", line.c_str());
    abort();
}

// Two signed releases of one key, made once: the installation's record
// holds the old one, and every landing here lands the new one.
struct Releases {
    uint8_t key[CRYPTO_PRIVATE_KEY_BYTES];
    std::string older, newer;
    Releases() {
        if (!sysNewKeyPair(key)) abort();
        memReset(MemFs(), "");
        memFs.put("/run", true);
        for (const char* name : RELEASE_PACKAGE_NAMES) memFs.put(std::string("/rel/wrp/") + name, false, "\x04");
        memFs.put("/rel/update.ini", false, "v\n");
        older = make(1);
        newer = make(2);
        memFs.put("/run/new.release", false, newer);
        installerPackageKey = key;
        if (!acceptRelease("/run/new.release", "wrp\\KAVO.release", "fuzz")) abort();
        memRelease();
        fakeUi.reset();
    }
    std::string make(uint64_t number) {
        if (!writeRelease("/rel", false, number, UINT64_MAX / 2, key)) abort();
        return *memFs.find("/rel/wrp/KAVO.release")->data;
    }
};

// One landing of the package with the installation's records.
bool land() {
    InstallationRecords records(VersionFiles::Keep, false);
    LandingRequest request;
    request.extras = &records;
    FILE* f = sysOpenFile(ARCHIVE.c_str(), "rb");
    bool ok = unwrapFolderFrom(f, ARCHIVE.c_str(), DEST.c_str(), &request);
    if (f) fclose(f);
    return ok;
}

// The next command on the folder: its recovery or repair, then the package.
bool nextCommand() { return settleForCommand(DEST.c_str(), "fuzz") != Settled::Stuck && land(); }

// The landing's own files in the tree: temporary files and backups.
void leftovers(const MemNode& at, const std::string& path, std::vector<std::string>& out) {
    for (const auto& [name, kid] : at.kids) {
        if (kid.folder) leftovers(kid, path + "/" + name, out);
        else if (endsWith(name, ".unwrap") || endsWith(name, ".wrpold")) out.push_back(path + "/" + name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
    static const Releases releases;
    if (inputSize < 2 || inputSize > 10) return -1;
    const uint8_t cutPick = input[0];
    const unsigned kind = input[1] & 7, index = (input[1] >> 3) & 7;
    const uint8_t* data = input + 2;
    const size_t size = inputSize - 2;
    MemReleaseAtEnd release;
    // The start: the old release with its records and the archive, which
    // every start shares (the unpacker only reads it).
    MemFs oldFs;
    Release oldRelease, newRelease, package;
    oldRelease.releaseFile = &releases.older;
    newRelease.releaseFile = &releases.newer;
    oldFs.put("/run", true);
    oldFs.put(DEST, true);
    // The files a landing replaces: the records, and the old files the package brings anew.
    std::vector<std::string> replaced = {RECORD, RELEASE_RECORD};
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
        if (oldLength) replaced.push_back(PATHS[i]);
        newRelease.present[i] = true;
        newRelease.content[i].assign(newLength == 15 ? 0 : newLength, static_cast<char>('A' + i));
        package.present[i] = true;
        package.content[i] = newRelease.content[i];
    }
    oldFs.put(DEST + "/" + RECORD, false, oldRecord(oldRelease));
    oldFs.put(DEST + "/" + RELEASE_RECORD, false, releases.older);
    std::string archive;
    listing(package, "", archive);
    oldFs.put(ARCHIVE, false, archive);

    auto start = [&](long cutAt) {
        resetAppState();
        installerPackageKey = releases.key;
        memReset(oldFs, DEST);
        memFs.power.folder = DEST;
        memFs.power.at = cutAt;
    };
    // The next start on the disk as it is now, with a fresh file system:
    // nothing looked up in the old tree, no steps counted.
    auto restart = [&](MemNode root) {
        MemFs after;
        after.root = std::move(root);
        memFs = std::move(after);
        fakeUi.reset();
    };
    long k = 0;

    if (kind >= 5) {
        // A run that fails, then the cause gone, the next start and the next command.
        start(0);
        const std::string target = DEST + "/" + replaced[index % replaced.size()];
        if (kind == 5) memFs.find(target)->locked = true;
        if (kind == 6) memFs.volume = MemVolume{DEST, 0, 1};
        if (kind == 7) memFs.put(target + ".wrpold/x", false, "in the way");
        landingHoldWaitSeconds = 1.0;
        if (land()) fail("a landing that had to fail completed", 0, oldRelease, newRelease);
        if (kind == 5) memFs.find(target)->locked = false;
        if (kind == 7) {
            memFs.removeFile(target + ".wrpold/x");
            memFs.rmdir(target + ".wrpold");
        }
        if (!oldRelease.holds(*destNode(), kind != 6)) fail("a failed landing changed the installation", 0, oldRelease, newRelease);
        MemNode now = memFs.root;
        restart(std::move(now));
        settleAtStart(DEST.c_str());
        if (!oldRelease.holds(*destNode(), true)) fail("the next start after a failed landing changed it", 0, oldRelease, newRelease);
    } else {
        // The step count of each shape of release and package already
        // updated whole.  A shape is, for each path, whether the old file is
        // there and whether the package's is absent, empty or not: lengths
        // change no step (a file's content is written at once), so most
        // inputs cost no whole update.  A first byte below the count cuts at
        // once; a larger one of a shape not seen finds the power never cut,
        // and that run is the whole update, which gives the count.
        // The counts live in a table of fixed size: an input that allocated
        // memory it keeps would look like a leak to the fuzzer.
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
        k = 1 + (seen ? cutPick % known.steps : cutPick);
        start(k);
        bool whole = land();
        if (!memFs.power.cut) {
            if (!whole || !newRelease.holds(*destNode(), false))
                fail("the whole update did not give the new release", 0, oldRelease, newRelease);
            const long steps = memFs.power.steps;
            if (steps > 255) fail("more steps than the cut byte reaches", 0, oldRelease, newRelease);
            known.shape = shape;
            known.steps = steps;
            if (steps < 1) return 0;
            k = 1 + cutPick % steps;
            start(k);
            land();
            if (!memFs.power.cut) fail("the power cut was never reached", k, oldRelease, newRelease);
        }
        restart(std::move(*memFs.power.image));
        // What a hand does to the disk before the next start.
        if (kind >= 1 && kind <= 3) {
            std::vector<std::string> found;
            leftovers(*destNode(), DEST, found);
            if (!found.empty()) {
                const std::string& victim = found[index % found.size()];
                std::string content = *memFs.find(victim)->data;
                if (kind == 1) memFs.removeFile(victim);
                if (kind == 2) memFs.write(victim, content.substr(0, content.size() / 2));
                if (kind == 3) {
                    for (char& c : content) c = static_cast<char>(c ^ 0x20);
                    memFs.write(victim, content);
                }
            }
        }
        MemNode* journal = memFs.find(DEST + "/" + JOURNAL);
        const bool damaged = kind == 4 && journal && !journal->data->empty();
        if (damaged) {
            std::string bytes = *journal->data;
            bytes[(index * 131 + cutPick) % bytes.size()] ^= static_cast<char>(1 << (index & 7));
            memFs.write(DEST + "/" + JOURNAL, bytes);
        }
        MemNode before = damaged ? *destNode() : MemNode();
        settleAtStart(DEST.c_str());
        if (damaged) {
            // A journal nobody can trust moves nothing.
            MemNode now = *destNode();
            now.kids.erase(std::string(JOURNAL) + ".new");
            before.kids.erase(std::string(JOURNAL) + ".new");
            if (!(now == before)) fail("a damaged journal moved something", k, oldRelease, newRelease);
        } else if (newRelease.holds(*destNode(), false)) {
            // Landed whole: the command after it is an update like any other.
            if (!(memFs.kind(ARCHIVE) == 1)) fail("the archive went", k, oldRelease, newRelease);
            return 0;
        } else if (!oldRelease.holds(*destNode(), true)) {
            fail("neither the old nor the new release, with records that agree", k, oldRelease, newRelease);
        }
    }
    if (!(memFs.kind(ARCHIVE) == 1)) fail("the archive went", k, oldRelease, newRelease);
    // And the next command on the folder completes, with nothing left over.
    if (!nextCommand() || !newRelease.holds(*destNode(), false))
        fail("the command after it did not give the new release", k, oldRelease, newRelease);
    std::vector<std::string> found;
    leftovers(*destNode(), DEST, found);
    if (!found.empty() || memFs.kind(DEST + "/" + JOURNAL) != 0) fail("the installer's files were left", k, oldRelease, newRelease);
    return 0;
}
