// Arbitrary bytes as an archive for the unpacker, checked against a reader
// of the archive grammar written here from the format and the unpacking
// rules (its own name check, path limits, temporary-name clashes, the two
// phases with the journal's room).  The reader acts on its own copy of the
// file system, which behaves as the platform does: names alike but for
// letter case are one entry, and the destination is a volume of little
// room in allocation units.  Afterwards both must hold the same tree and
// unwrapFolder must answer what the reader says: a run that fails in its
// first phase (a cut, a refused name, too little room) leaves the tree
// exactly as it was; one that meets a target it cannot replace (a file in
// use, a folder) replaces nothing and keeps its temporary files and its
// journal for the next try.  The destination already holds files, one of
// them in use, one large.  The reader also counts the room at the
// unpacking's peak as the README gives it: a package that does not fit is
// refused before anything is written, with its figures in MB; one that fits
// gets no such line.  Bit 0x80 of the first byte, which a record's type
// leaves unread, puts the destination on a volume of 1 MB units instead,
// so that those figures are not all "0.0".
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <vector>

#include "archive/unwrap.h"
#include "platform/sys.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/name_rules.h"
#include "tests/unit/fake_ui.h"

namespace {

const std::string DEST = "/w/dest";
// Eight units of room: "big" (seven units) can be renewed, or 64-byte
// files added, up to exactly the room there is.
const uint32_t UNIT = 64;
const uint64_t FREE_SPACE = 8 * UNIT;
const uint32_t BIG_UNIT = 1 << 20;
const uint64_t BIG_FREE_SPACE = 8 * BIG_UNIT + 300 * 1024;

MemFs startState() {
    MemFs fs;
    fs.put("/run", true);
    fs.put("/w/keep", false, "outside");
    fs.put(DEST + "/a", false, "old a");
    fs.put(DEST + "/L", false, "old L").locked = true;
    fs.put(DEST + "/d/a", false, "old d/a");
    fs.put(DEST + "/f", false, "a file");
    fs.put(DEST + "/q.unwrap", true);
    fs.put(DEST + "/big", false, std::string(7 * UNIT, 'b'));
    fs.put(DEST + "/\x8A", false, "S caron");
    return fs;
}

// The journal's size by its documented layout: a head of 47 bytes with the
// package's name (none here), a tail of 8, per folder the package names 4
// bytes and its path relative to the destination, per file 44 bytes and
// its path.
const char* const JOURNAL = "KAVO_unwrap.journal";
const char* const JOURNAL_NEW = "KAVO_unwrap.journal.new";

bool journalName(const std::string& s) { return foldHash({s}) == foldHash({JOURNAL}) || foldHash({s}) == foldHash({JOURNAL_NEW}); }

struct Reader {
    const uint8_t* a;
    size_t n, pos = 0;
    MemFs& fs;
    // The first pass only plans (what the unpacker lists before it writes),
    // the second acts.
    bool planning = true;
    bool fileFailed = false, refused = false, ranOut = false;
    bool full(int error) {
        if (error == SYS_ERROR_DISK_FULL) ranOut = true;
        return error == SYS_ERROR_DISK_FULL;
    }
    std::set<uint64_t> made;       // folders and files this run's records named (foldHash)
    std::set<uint64_t> madeFiles;  // the files among them
    std::set<uint64_t> plannedFiles, plannedFolders, plannedTemps, namedFolders;
    uint64_t journalBytes = 47 + 8;
    std::vector<std::pair<std::string, std::string>> moves;  // temporary file, target; each target once
    std::set<uint64_t> moving;
    // The room the first phase takes beyond what the volume holds now, in
    // whole units: every file and new folder, each temporary file beside
    // the old files (a leftover one cut to nothing first), the journal.
    uint64_t unit;
    int64_t used = 0, peak = 0;
    std::map<uint64_t, uint64_t> tempSizes;  // each temporary file's size as this run leaves it
    int64_t units(uint64_t size) const { return static_cast<int64_t>((size + unit - 1) / unit * unit); }
    void grow(int64_t bytes) { peak = std::max(peak, used += bytes); }

    Reader(const uint8_t* archive, size_t size, MemFs& into) : a(archive), n(size), fs(into), unit(into.volume.unit) {}

    void restart() {
        pos = 0;
        made.clear();
        madeFiles.clear();
        planning = false;
    }
    // A file beside an entry named like its temporary file or its backup,
    // in either order and whatever the entry's kind, stops the run: the
    // suffix compared as the platform compares names.
    bool clashes(const std::string& folder, const std::string& name, bool isFile) {
        for (const char* suffix : {".unwrap", ".wrpold"}) {
            if (isFile && made.count(foldHash({folder, name, suffix}))) return true;
            size_t n = name.size();
            if (n > 7 && foldHash({name.substr(n - 7)}) == foldHash({suffix}) &&
                madeFiles.count(foldHash({folder, name.substr(0, n - 7)})))
                return true;
        }
        return false;
    }
    bool byte(uint8_t& b) { return pos < n ? (b = a[pos++], true) : false; }
    bool bytes(std::string& out, size_t k) {
        if (n - pos < k) return false;
        out.assign(reinterpret_cast<const char*>(a) + pos, k);
        pos += k;
        return true;
    }
    bool refuse() { return refused = true, false; }
    size_t relative(const std::string& path) const { return path.size() - DEST.size() - 1; }

    // One listing through its end record; false stops the run.
    bool listing(const std::string& folder) {
        for (;;) {
            uint8_t type, len;
            std::string name, size;
            if (!byte(type)) return false;
            if (!(type & 3)) {
                if (type & 4) return true;
                continue;
            }
            if (!byte(len) || !bytes(name, len) || (!(type & 1) && !bytes(size, 4))) return false;
            bool bad = !nameOk(name) || journalName(name);
            if (type & 1) {
                std::string path = folder + name + "/";
                if (bad || path.size() > 259 || clashes(folder, name, false)) return refuse();
                uint64_t h = foldHash({folder, name});
                if (planning) {
                    // A folder is new where no entry of that name is, nor a
                    // temporary file this run writes; the journal names
                    // every folder once.
                    if (fs.kind(folder + name) == 0 && !plannedFolders.count(h) && !plannedTemps.count(h)) {
                        plannedFolders.insert(h);
                        grow(units(1));
                    }
                    if (namedFolders.insert(h).second) journalBytes += 4 + relative(path) - 1;
                } else {
                    int e = fs.mkdir(path);
                    if (full(e) || (e != 0 && e != 183)) return false;
                }
                made.insert(h);
                if (!listing(path)) return false;
                continue;
            }
            uint32_t want = 0;
            for (int i = 3; i >= 0; --i) want = want << 8 | static_cast<uint8_t>(size[i]);
            std::string target = folder + name, temp = target + ".unwrap", content;
            if (bad || target.size() > 259 || clashes(folder, name, true)) return refuse();
            made.insert(foldHash({folder, name}));
            madeFiles.insert(foldHash({folder, name}));
            if (planning) {
                if (temp.size() > 259) {
                    if (want > 0) return false;
                    continue;
                }
                uint64_t h = foldHash({folder, name, ".unwrap"});
                plannedTemps.insert(h);
                if (plannedFiles.insert(foldHash({folder, name})).second) journalBytes += 44 + relative(target);
                MemNode* old = fs.find(temp);
                auto known = tempSizes.find(h);
                uint64_t had = known != tempSizes.end() ? known->second : old && !old->folder ? old->data->size() : 0;
                grow(units(want) - units(had));
                tempSizes[h] = want;
                if (n - pos < want) return false;
                pos += want;
                continue;
            }
            // A temporary file that cannot be made (its path too long as
            // well) stops the run only when content is due.
            if (FILE* f = temp.size() <= 259 ? fs.open(temp, "wb") : nullptr) {
                fclose(f);
            } else {
                fileFailed = true;
                if (want > 0) return false;
                continue;
            }
            size_t take = std::min<size_t>(want, n - pos);
            bytes(content, take);
            if (full(fs.write(temp, content)) || take < want) return false;
            if (moving.insert(foldHash({folder, name})).second) moves.push_back({temp, target});
        }
    }

    bool journal() {
        std::string fresh = DEST + "\\" + JOURNAL_NEW;
        if (full(fs.write(fresh, std::string(journalBytes, 'j')))) return false;
        return fs.rename(fresh, DEST + "\\" + JOURNAL, true) == 0;
    }

    // The whole run: 1 done, 0 nothing changed, -1 stopped before its moves
    // (a target in use or a folder: the temporary files and the journal stay).
    int run() {
        listing(DEST + "\\");
        // The journal stands through the first phase, and twice while its
        // ready state is written beside it.
        const int64_t twice = 2 * units(journalBytes);
        peak = std::max(peak + twice / 2, used + twice);
        if (static_cast<uint64_t>(peak) > fs.volume.free) return 0;
        restart();
        if (!journal()) return 0;
        if (!listing(DEST + "\\") || fileFailed || !journal()) return 0;
        for (const auto& move : moves) {
            MemNode* target = fs.find(move.second);
            if (target && (target->locked || target->folder)) return -1;
        }
        // Each replaced file goes to its backup first, so the new one takes
        // the package's letter case; the backups go at the end.
        for (const auto& [temp, target] : moves) {
            if (fs.find(target)) fs.removeFile(target);
            if (fs.rename(temp, target, false) != 0) return -1;
        }
        fs.removeFile(DEST + "\\" + JOURNAL);
        return 1;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const MemFs start = startState();
    MemReleaseAtEnd release;
    resetAppState();
    memReset(start, DEST);
    const bool big = size > 0 && (data[0] & 0x80);
    memFs.volume = big ? MemVolume{DEST, BIG_FREE_SPACE, BIG_UNIT} : MemVolume{DEST, FREE_SPACE, UNIT};
    memFs.write("/w/in.wrp", std::string(reinterpret_cast<const char*>(data), size));
    MemFs before = memFs;
    bool ok = unwrapFolder("/w/in.wrp", DEST.c_str());

    MemFs expected = before;
    Reader r(data, size, expected);
    int outcome = r.run();
    // A package lands whole or not at all: one stopped before its moves
    // keeps its temporary files and journal (its bytes are the unpacker's own).
    if (outcome == 0) expected = before;
    bool kept = memFs.kind(DEST + "/" + JOURNAL) == 1;
    for (MemFs* fs : {&memFs, &expected, &before}) {
        fs->root.kids.erase("run");
        fs->find(DEST)->kids.erase(JOURNAL);
    }
    // The refusal for room, with the reader's figures, exactly when the peak exceeds the room.
    char line[300] = "";
    const uint64_t room = big ? BIG_FREE_SPACE : FREE_SPACE;
    if (static_cast<uint64_t>(r.peak) > room)
        snprintf(line, sizeof line,
                 "unwrapFolder ERROR - not enough disk space: %.1lf MB needed, %.1lf MB free (%s\\) - every new file "
                 "is written beside the installed ones before any of them is replaced",
                 r.peak / 1048576.0, room / 1048576.0, DEST.c_str());
    bool roomLine = false, figures = !line[0];
    for (const std::string& l : fakeUi.list) {
        roomLine = roomLine || l.rfind("unwrapFolder ERROR - not enough disk space", 0) == 0;
        figures = figures || l == line;
    }
    if (ok != (outcome == 1) || kept != (outcome == -1) || !(memFs.root == expected.root) || roomLine != !!line[0] ||
        !figures) {
        fprintf(stderr, "\n*** fuzz_unwrap: unwrapFolder %s, reader says %d%s, peak %lld of %llu\n%s\n--- expected\n%s--- found\n%s",
                ok ? "true" : "false", outcome, r.ranOut ? " (out of room)" : "", static_cast<long long>(r.peak),
                static_cast<unsigned long long>(room), line, expected.dump().c_str(), memFs.dump().c_str());
        for (const std::string& line : fakeUi.list) fprintf(stderr, "%s\n", line.c_str());
        abort();
    }
    return 0;
}
