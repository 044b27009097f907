// The installation's own files read back as hostile input: the landing
// journal, the record of installed files and the release record, each
// checked against a model written here from its published rules (the
// journal's layout in archive/unwrap_journal.h, the record's in the README,
// the release checks in setup/installation.h and the README).  The first
// input byte picks the reader (its value modulo 3) and a mode (the value
// divided by 3).
//
// 0  The journal.  Bytes 1 and 2 describe a landing in /i: its state
//    ("PRML"[b1 & 3]), how far it got ((b1 >> 2) & 3: temporary files
//    written, files moved, backups removed) and which of "a", "D/b" were
//    installed before (b2 bits 0, 1); "N/c" is new in the new folder "N".
//    Mode bit 0 clear: the journal is journalBytes of that landing, then
//    one change (b3 modulo 12; b4 picks the entry or offset, b5 the
//    value): a file's digest or size that lies (1, 2); its temporary file
//    deleted or damaged, its backup deleted, its moved target damaged
//    (3-6); an entry's path or the package name from the table of refused
//    paths (7); an unknown flag (8); an entry added after the files (9);
//    one byte set (10); the journal cut (11).  Mode bit 0 set: the rest of
//    the input is the journal, its checksum put right when mode bit 1 is
//    set.  A journal the model refuses must move nothing; one it accepts
//    unchanged (or with only the lies and damage above) must leave the
//    folder wholly old or wholly new as its state and the files' digests
//    say.  Then, where a journal is left, an unpacking of another package
//    into /i must be refused while nobody can trust it, and otherwise land
//    whole with nothing of the earlier landing left.
// 1  The record of installed files: the rest of the input, in an
//    installation with a file in use and neighbours outside it, read by
//    readInstalledRecord (mode bit 0 clear: the lines taken and the lines
//    skipped must be the model's) or uninstalled (set: exactly the files
//    and folders the model says go, nothing outside).
// 2  The release record: b1 the release offered (modulo 5; bit 7 the
//    edition the run starts in), b2 the record (modulo 9: none, one of
//    seven releases, other bytes; bit 7 a record of installed files
//    besides), b3 the release this user installed last (modulo 6), b4-b7 a
//    change of the record's bytes (none, a flipped byte, a cut, a byte
//    added).  editionFromRecord (mode bit 0 clear) or releaseMayLand (set)
//    must answer as the model does.
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
#include "setup/uninstall.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/name_rules.h"
#include "tests/unit/fake_ui.h"

namespace {

const std::string DEST = "/i";
const std::string JOURNAL = DEST + "/KAVO_unwrap.journal";

[[noreturn]] void fail(const char* what, const std::string& detail) {
    fprintf(stderr, "\n*** fuzz_records: %s\n%s\n--- found\n%s", what, detail.c_str(), memFs.dump().c_str());
    for (const std::string& line : fakeUi.list) fprintf(stderr, "%s\n", line.c_str());
    abort();
}

// No folder "/run" (the current folder) in any tree: the log file cannot
// be opened there, and its lines reach the UI's list alone, at a fraction
// of the cost.

// ---- the journal ----------------------------------------------------------

const char* const FILES[3] = {"a", "D/b", "N/c"};
const char* const NEW[3] = {"new a", "new b!", "new c!!"};
const char* const OLD[2] = {"old a", "old b"};
// Paths the layout's rules refuse, for any entry and the package name.
const char* const REFUSED[] = {"..", ".", "", "/a", "a//b", "D/../..", "../o/x", "C:a", "D\\..\\..", "CON", "a.",
                               "a ", "x*y", "N/\x01", "nul.txt", "D/"};

uint32_t fnv1a(const std::string& s, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<uint8_t>(s[i])) * 16777619u;
    return h;
}

uint32_t le32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
    return v;
}

// A relative path the journal may name: components between "/", each
// passing the shared name check, and short enough for the system's 259
// bytes under the destination ("/i\") with the temporary suffix of a file
// or the separator of a folder.
bool journalPathOk(const std::string& p, size_t extra) {
    if (p.empty() || 3 + p.size() + extra > 259) return false;
    for (size_t start = 0, cut;; start = cut + 1) {
        cut = p.find('/', start);
        if (!nameOk(p.substr(start, cut == std::string::npos ? cut : cut - start))) return false;
        if (cut == std::string::npos) return true;
    }
}

// The layout read field by field: 0 when the journal must be refused, else
// its state.
char journalVerdict(const std::string& b) {
    size_t at = 0;
    auto take = [&](size_t n) { return b.size() - at >= n ? (at += n, true) : false; };
    if (!take(11) || b.compare(0, 8, "KAVOJRNL") != 0 || b[8] != 2 || !memchr("PRML", b[9], 4)) return 0;
    size_t nameLength = static_cast<uint8_t>(b[10]);
    if (!take(nameLength + 32 + 4) || (nameLength && !nameOk(b.substr(11, nameLength)))) return 0;
    bool fileSeen = false;
    std::set<uint64_t> folders;  // a folder's parent comes before it
    for (uint32_t i = 0, count = le32(b, at - 4); i < count; ++i) {
        if (!take(4)) return 0;
        char kind = b[at - 4];
        uint8_t flags = static_cast<uint8_t>(b[at - 3]);
        size_t length = static_cast<uint8_t>(b[at - 2]) | static_cast<uint8_t>(b[at - 1]) << 8;
        if (!take(length)) return 0;
        std::string path = b.substr(at - length, length);
        if (kind == 'D') {
            size_t cut = path.rfind('/');
            if ((flags & ~1) || fileSeen || !journalPathOk(path, 1) ||
                (cut != std::string::npos && !folders.count(foldHash({path.substr(0, cut)}))))
                return 0;
            folders.insert(foldHash({path}));
        } else if (kind == 'F') {
            if ((flags & ~3) || !journalPathOk(path, 7) || !take(8 + 32)) return 0;
            fileSeen = true;
        } else {
            return 0;
        }
    }
    if (b.size() - at != 8 || b.compare(at, 4, "END.") != 0 || le32(b, at + 4) != fnv1a(b, at + 4)) return 0;
    return b[9];
}

// A landing of the three files in /i, and where it stands.
struct Landing {
    char state;
    unsigned pos;
    bool old[3] = {};
    UnwrapPlan plan;
    MemFs disk, oldTree, newTree;

    Landing(uint8_t b1, uint8_t b2) : state("PRML"[b1 & 3]), pos((b1 >> 2) & 3) {
        static const struct Digests {
            uint8_t of[3][CRYPTO_DIGEST_BYTES];
            Digests() {
                for (int i = 0; i < 3; ++i) {
                    SysHash* h = sysHashBegin();
                    if (!h || !sysHashAdd(h, NEW[i], strlen(NEW[i])) || !sysHashEnd(h, of[i])) abort();
                }
            }
        } digests;
        old[0] = b2 & 1;
        old[1] = b2 & 2;
        MemFs base;
        base.put("/o/x", false, "outside");
        base.put("/y.wrp", false, std::string("\x02\x01y\x01\0\0\0Y\x04", 10));
        base.put(DEST + "/D/keep", false, "keep");
        for (int i = 0; i < 2; ++i)
            if (old[i]) base.put(DEST + "/" + FILES[i], false, OLD[i]);
        oldTree = newTree = disk = base;
        disk.put(DEST + "/N", true);
        plan.package = "OSKE_ALL.wrp";
        memset(plan.packageDigest, 0x5A, sizeof plan.packageDigest);
        plan.folders = {{"D", 0}, {"N", LAND_FOLDER_MADE}};
        for (unsigned i = 0; i < 3; ++i) {
            const std::string target = DEST + "/" + FILES[i];
            newTree.put(target, false, NEW[i]);
            bool moved = state == 'L' || (state == 'M' && i < pos);
            if (moved) disk.put(target, false, NEW[i]);
            else if (state != 'P' || i < pos) disk.put(target + ".unwrap", false, NEW[i]);
            if (old[i] && ((state == 'M' && i < pos) || (state == 'L' && i >= pos)))
                disk.put(target + ".wrpold", false, OLD[i]);
            LandingFile f;
            f.path = FILES[i];
            f.flags = old[i] ? LAND_REPLACES : 0;
            if (state != 'P') {
                f.size = strlen(NEW[i]);
                memcpy(f.sha256, digests.of[i], sizeof f.sha256);
            }
            plan.files.push_back(f);
        }
    }
};

void putRightChecksum(std::string& b) {
    if (b.size() < 4) return;
    uint32_t h = fnv1a(b, b.size() - 4);
    for (int i = 0; i < 4; ++i) b[b.size() - 4 + i] = static_cast<char>(h >> (8 * i));
}

void journalInput(unsigned mode, const uint8_t* in, size_t n) {
    if (n < 2 || (!(mode & 1) && n != 5)) return;
    Landing landing(in[0], in[1]);
    const unsigned kind = mode & 1 ? 0 : in[2] % 12, k = mode & 1 ? 0 : in[3], v = mode & 1 ? 0 : in[4];
    const unsigned file = k % 3;
    // Lies and damage whose effect the layout's rules say: the file is no
    // longer proved.
    bool lies[3] = {};
    UnwrapPlan& plan = landing.plan;
    const std::string target = DEST + "/" + FILES[file];
    if (kind == 1) plan.files[file].sha256[k % CRYPTO_DIGEST_BYTES] ^= 1;
    if (kind == 2) ++plan.files[file].size;
    lies[file] = (kind == 1 || kind == 2) && landing.state != 'P';
    const char* hostile = REFUSED[v % (sizeof REFUSED / sizeof *REFUSED)];
    if (kind == 7) {
        std::string& path = k % 6 == 5 ? plan.package : k % 6 < 2 ? plan.folders[k % 6].path : plan.files[k % 6 - 2].path;
        path = v >= 200 ? std::string(v, 'l') : hostile;
    }
    if (kind == 8) {
        uint8_t& flags = k % 5 < 2 ? plan.folders[k % 5].flags : plan.files[k % 5 - 2].flags;
        flags |= static_cast<uint8_t>(k % 5 < 2 ? 2 << (v % 7) : 4 << (v % 6));
    }
    const std::string built = journalBytes(landing.state, plan);
    std::string bytes = mode & 1 ? std::string(reinterpret_cast<const char*>(in + 2), n - 2) : built;
    if (kind == 9) {
        // An entry after the files: a folder, a file or an unknown kind, counted or not.
        std::string path = v & 8 ? hostile : "N/e", entry = std::string(1, "DFX"[v % 3]) + '\0';
        entry += static_cast<char>(path.size());
        entry += '\0';
        entry += path + (v % 3 == 1 ? std::string(40, '\0') : "");
        bytes.insert(bytes.size() - 8, entry);
        if (!(v & 4)) bytes[11 + static_cast<uint8_t>(bytes[10]) + 32] += 1;  // the entry count's low byte
    }
    if (kind == 10 && bytes.size() > 8) bytes[k % (bytes.size() - 8)] = static_cast<char>(v);
    if (kind == 9 || kind == 10 || (mode & 3) == 3) putRightChecksum(bytes);
    if (kind == 11) bytes.resize(k % bytes.size());

    resetAppState();
    memReset(landing.disk, DEST);
    MemNode* node = memFs.find(target);
    if (kind == 3 && memFs.kind(target + ".unwrap") == 1) memFs.removeFile(target + ".unwrap");
    if (kind == 4 && memFs.kind(target + ".unwrap") == 1) memFs.write(target + ".unwrap", "damaged");
    if (kind == 5 && memFs.kind(target + ".wrpold") == 1) memFs.removeFile(target + ".wrpold");
    if (kind == 6 && landing.state == 'M' && node && *node->data == NEW[file]) memFs.write(target, "damaged");
    memFs.write(JOURNAL, bytes);
    const MemNode before = *memFs.find(DEST);
    // The journal the landing wrote, or one with only lies and damage that
    // fail a proof: unpacking undone, moves finished when every file is
    // proved by its temporary file or moved target, else put back,
    // landed; the ready state waits.
    MemFs* expected = nullptr;
    const bool faithful = kind <= 6 && bytes == built;
    if (faithful) {
        bool proved = true;
        for (int i = 0; i < 3; ++i) {
            bool found = false;
            for (const char* suffix : {"", ".unwrap"}) {
                MemNode* f = memFs.find(DEST + "/" + FILES[i] + suffix);
                found = found || (f && !f->folder && *f->data == NEW[i]);
            }
            proved = proved && found && !lies[i];
        }
        expected = landing.state == 'P' || (landing.state == 'M' && !proved) ? &landing.oldTree : &landing.newTree;
    }

    const char verdict = journalVerdict(bytes);
    const Recovery r = recoverUnwrap(DEST.c_str());
    if ((r == Recovery::Refused) != !verdict) fail(verdict ? "a sound journal refused" : "a journal to refuse read", "");
    if (!verdict || verdict == 'R') expected = nullptr;
    if ((!verdict || verdict == 'R') && !(*memFs.find(DEST) == before)) fail("the journal moved something", "");
    if (expected && !(*memFs.find(DEST) == *expected->find(DEST)))
        fail("neither wholly old nor wholly new as the journal says", expected->dump());
    if (verdict && verdict != 'R' && r != Recovery::Stuck && memFs.kind(JOURNAL) != 0) fail("the journal stayed", "");

    // The next unpacking, of another package, where a journal is left:
    // refused while nobody can trust it (or its landing is stuck half way),
    // else whole, with nothing of the earlier landing left.
    if (memFs.kind(JOURNAL) == 0) return;
    const MemNode settled = *memFs.find(DEST);
    const bool mayLand = r != Recovery::Refused && r != Recovery::Stuck;
    if (unwrapFolder("/y.wrp", DEST.c_str()) != mayLand) fail("the next unpacking", mayLand ? "must land" : "must be refused");
    if (!mayLand && !(*memFs.find(DEST) == settled)) fail("the next unpacking moved what a journal left", "");
    if (mayLand && memFs.kind(JOURNAL) != 0) fail("a journal after the next unpacking", "");
    if (faithful && mayLand) {
        MemFs after = verdict == 'R' ? landing.oldTree : *expected;
        after.put(DEST + "/y", false, "Y");
        if (!(*memFs.find(DEST) == *after.find(DEST))) fail("the next unpacking left the earlier landing", after.dump());
    }
}

// ---- the record of installed files ----------------------------------------

// An installation with a file in use ("L"), a file of the user's and a
// sibling folder whose name starts with the installation's.
MemFs installation() {
    MemFs fs;
    for (const char* outside : {"/a", "/i2/a", "/o/x"}) fs.put(outside, false, "outside");
    for (const char* inside : {"a", "b.txt", "D/c", "D/E/f", "D/mine", "KAVO_data/KAVO_uninstall.exe",
                               "KAVO_data/KAVO_installed.release"})
        fs.put(DEST + "/" + inside, false, inside);
    fs.put(DEST + "/L", false, "in use").locked = true;
    return fs;
}

struct Taken {
    std::vector<InstalledEntry> entries;
    size_t skipped = 0;
};

// The README's rules: a header line, then "D <path>" or "F <path>" per
// line ("\r\n" or "\n"), the path relative to the installation with "\"
// (or the platform's other separator "/") between components.  Skipped,
// each with a line: a line of over 1022 bytes, one that is not a "D"/"F"
// line, a path from the root, an empty component, a name the shared name
// check refuses (".." and drives among them), a path of over 259 bytes
// once put under the folder.  Each path is taken once.
Taken readRecordModel(const std::string& text) {
    Taken t;
    std::set<uint64_t> seen;
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        at = end + 1;
        const bool overLong = line.size() > 1022;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line == "KAVO installed files 1") continue;
        std::string rel = line.size() >= 2 ? line.substr(2) : "";
        std::replace(rel.begin(), rel.end(), '/', '\\');
        bool ok = !overLong && (line[0] == 'D' || line[0] == 'F') && line.size() >= 2 && line[1] == ' ' &&
                  DEST.size() + 1 + rel.size() <= 259;
        for (size_t start = 0, cut; ok; start = cut + 1) {
            cut = rel.find('\\', start);
            ok = nameOk(rel.substr(start, cut == std::string::npos ? cut : cut - start));
            if (cut == std::string::npos) break;
        }
        if (!ok) ++t.skipped;
        else if (seen.insert(foldHash({rel})).second) t.entries.push_back({line[0] == 'D', rel});
    }
    return t;
}

// The uninstall by the README: every listed file deleted (one that cannot
// be, in use or a folder, is left), the installer's own files only when
// nothing was left, listed folders deepest first where empty, the
// installation folder when empty.
void uninstallModel(MemFs& fs, const Taken& t) {
    static const char* const OWN[] = {"KAVO_data\\installed_files.txt", "KAVO_data\\KAVO_uninstall.exe",
                                      "KAVO_data\\KAVO_installed.release"};
    auto own = [](const std::string& rel) {
        for (const char* o : OWN)
            if (foldHash({rel}) == foldHash({o})) return true;
        return false;
    };
    bool left = false;
    for (const InstalledEntry& e : t.entries) {
        MemNode* n = e.folder || own(e.rel) ? nullptr : fs.find(DEST + "\\" + e.rel);
        if (n && (n->folder || n->locked)) left = true;
        else if (n) fs.removeFile(DEST + "\\" + e.rel);
    }
    for (const char* o : OWN)
        if (!left) fs.removeFile(DEST + "\\" + o);
    std::vector<std::string> folders;
    for (const InstalledEntry& e : t.entries)
        if (e.folder) folders.push_back(e.rel);
    auto depth = [](const std::string& s) { return std::count(s.begin(), s.end(), '\\'); };
    std::stable_sort(folders.begin(), folders.end(),
                     [&](const std::string& a, const std::string& b) { return depth(a) > depth(b); });
    for (const std::string& f : folders) fs.rmdir(DEST + "\\" + f);
    fs.rmdir(DEST);
}

void recordInput(unsigned mode, const uint8_t* in, size_t n) {
    static const MemFs start = installation();
    std::string text(reinterpret_cast<const char*>(in), n);
    resetAppState();
    memReset(start, DEST);
    memFs.write(DEST + "/KAVO_data/installed_files.txt", text);
    const Taken want = readRecordModel(text);
    std::vector<InstalledEntry> got;
    MemFs expected;
    // Read alone, or by the uninstall (which reads it once).
    if (mode & 1) {
        expected = memFs;
        uninstallModel(expected, want);
        fakeUi.answers = {true};
        uninstallKAVO(DEST.c_str());
        got = want.entries;  // what it took shows in what it removed
    } else if (!readInstalledRecord(DEST.c_str(), &got)) {
        fail("the record was not read", "");
    }
    size_t skipped = 0;
    for (const std::string& line : fakeUi.list) skipped += line.rfind("uninstall record ERROR - ", 0) == 0;
    bool same = got.size() == want.entries.size() && skipped == want.skipped;
    for (size_t i = 0; same && i < got.size(); ++i)
        same = got[i].folder == want.entries[i].folder && got[i].rel == want.entries[i].rel;
    if (!same) {
        std::string detail = std::to_string(want.skipped) + " lines to skip; the lines to take:";
        for (const InstalledEntry& e : want.entries) detail += std::string("\n") + (e.folder ? "D " : "F ") + e.rel;
        detail += "\n--- read: " + std::to_string(skipped) + " skipped";
        for (const InstalledEntry& e : got) detail += std::string("\n") + (e.folder ? "D " : "F ") + e.rel;
        fail("the record read otherwise than its rules say", detail);
    }
    if ((mode & 1) && !(memFs.root == expected.root))
        fail("the uninstall removed otherwise than the record says", expected.dump());
}

// ---- the release record -----------------------------------------------------

// Signed releases of a throwaway key, made once: numbers 1, 2, 2 again
// (another file), 3, 2 of the TEST edition, 5 expired long ago; and 2
// signed by another key.
struct Releases {
    struct One {
        bool test;
        uint64_t number, expires;
        bool ours;
        std::string bytes;
    };
    uint8_t key[CRYPTO_PRIVATE_KEY_BYTES], other[CRYPTO_PRIVATE_KEY_BYTES];
    One all[7] = {{false, 1, UINT64_MAX / 2, true, {}},     {false, 2, UINT64_MAX / 2, true, {}},
                  {false, 2, UINT64_MAX / 2 - 1, true, {}}, {false, 3, UINT64_MAX / 2, true, {}},
                  {true, 2, UINT64_MAX / 2, true, {}},      {false, 5, 1, true, {}},
                  {false, 2, UINT64_MAX / 2, false, {}}};
    Releases() {
        if (!sysNewKeyPair(key) || !sysNewKeyPair(other)) abort();
        memReset(MemFs(), "");
        for (const char* folder : {"/rel/wrp/", "/rel/wrp_TEST/"})
            for (const char* name : RELEASE_PACKAGE_NAMES) memFs.put(std::string(folder) + name, false, "\x04");
        memFs.put("/rel/update.ini", false, "v\n");
        for (One& r : all) {
            if (!writeRelease("/rel", r.test, r.number, r.expires, r.ours ? key : other)) abort();
            r.bytes = *memFs.find(r.test ? "/rel/wrp_TEST/KAVO.release" : "/rel/wrp/KAVO.release")->data;
        }
        memRelease();
        fakeUi.reset();
    }
};

void releaseInput(unsigned mode, const uint8_t* in, size_t n) {
    static const Releases releases;
    // The run's release and this user's highest, kept from input to input
    // while they stay: each costs a signature check and a landing.
    static int highestHeld = -1, offeredHeld = -1;
    if (n != 7) return;
    const int offered = (in[0] & 0x7F) % 5, record = (in[1] & 0x7F) % 9, highest = in[2] % 6;
    const Releases::One& o = releases.all[offered];
    resetAppState();
    installerPackageKey = releases.key;
    memReset(MemFs(), "/s");
    memFs.put("/s", true);
    if (highest != highestHeld) {
        sysRegDeleteKey(USER_RELEASE_KEY);
        if (highest) {
            memFs.put("/h.release", false, releases.all[highest - 1].bytes);
            testEdition = releases.all[highest - 1].test;
            InstallationRecords records(VersionFiles::Keep, false);
            LandingRequest request;
            request.extras = &records;
            if (!acceptRelease("/h.release", "h", "fuzz") || !landRecords("/s", &request)) abort();
            offeredHeld = -1;
        }
        highestHeld = highest;
    }
    if (offered != offeredHeld) {
        memFs.put("/o.release", false, o.bytes);
        testEdition = o.test;
        if (!acceptRelease("/o.release", "o", "fuzz")) abort();
        offeredHeld = offered;
    }
    memFence = DEST;
    memFs.put(DEST, true);
    std::string bytes = record == 8 ? "not a release\r\n" : record ? releases.all[record - 1].bytes : "";
    if (in[3] % 4 == 1 && !bytes.empty()) bytes[(in[4] | in[5] << 8) % bytes.size()] ^= static_cast<char>(in[6] ? in[6] : 1);
    if (in[3] % 4 == 2) bytes.resize((in[4] | in[5] << 8) % (bytes.size() + 1));
    if (in[3] % 4 == 3) bytes += static_cast<char>(in[6]);
    if (record) memFs.put(DEST + "/" + "KAVO_data/KAVO_installed.release", false, bytes);
    if (in[1] & 0x80) memFs.put(DEST + "/" + "KAVO_data/installed_files.txt", false, "KAVO installed files 1\r\n");

    // The model: a folder holds an installation when either record is
    // there; its release record must then be one of our releases byte for
    // byte (read without the expiry), which names its edition.  A release
    // lands only when it is of that edition, not older than the record, the
    // same file where the number is the same; and the same against the
    // release of its edition this user installed last.
    const bool installed = record || (in[1] & 0x80);
    int rec = -1;
    for (int i = 0; i < 7; ++i)
        if (record && bytes == releases.all[i].bytes && releases.all[i].ours) rec = i;
    const Releases::One* r = rec >= 0 ? &releases.all[rec] : nullptr;
    const bool startTest = in[0] & 0x80;
    bool editionOk = !installed || r, mayLand = true;
    if (installed)
        mayLand = r && r->test == o.test && o.number >= r->number && (o.number != r->number || rec == offered);
    const Releases::One* h = highest ? &releases.all[highest - 1] : nullptr;
    if (h && h->test == o.test && (o.number < h->number || (o.number == h->number && highest - 1 != offered)))
        mayLand = false;

    // One check per input: each reads the record with a signature check.
    testEdition = startTest;
    if (mode & 1) {
        if (releaseMayLand(DEST.c_str(), "fuzz") != mayLand) fail("the release check", mayLand ? "must land" : "must refuse");
    } else if (editionFromRecord(DEST.c_str(), "fuzz") != editionOk ||
               testEdition != (r && installed ? r->test : startTest)) {
        fail("the edition from the record", editionOk ? "must be taken" : "must be refused");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 1) return -1;
    MemReleaseAtEnd release;
    const unsigned mode = input[0] / 3;
    switch (input[0] % 3) {
        case 0: journalInput(mode, input + 1, size - 1); break;
        case 1: recordInput(mode, input + 1, size - 1); break;
        default: releaseInput(mode, input + 1, size - 1); break;
    }
    return 0;
}
