// Arbitrary bytes as an archive for the unpacker, checked against a reader
// of the archive grammar written here from the format and the unpacking
// rules (its own name check, path limits, temporary-name clashes).  The
// reader acts on its own copy of the file system, which behaves as the
// platform does: names alike but for letter case are one entry, and the
// destination is a volume of little room in allocation units.  Afterwards
// both must hold the same tree and unwrapFolder must answer what the reader
// says; where the reader ran out of room before anything failed, the
// unpacking must have refused the archive before writing anything, and
// where the reader's run fit and succeeded, it must not have.  The
// destination already holds files, one of them in use, one large.
#include <cstdio>
#include <cstdlib>
#include <set>

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

struct Reader {
    const uint8_t* a;
    size_t n, pos = 0;
    MemFs& fs;
    bool fileFailed = false, refused = false;
    // Out of room, and whether a file had failed before (a target that
    // could not be replaced keeps its room, which no count foresees).
    bool ranOut = false, failedFirst = false;
    bool full(int error) {
        if (error == SYS_ERROR_DISK_FULL && !ranOut) ranOut = true, failedFirst = fileFailed;
        return error == SYS_ERROR_DISK_FULL;
    }
    std::set<uint64_t> made;  // folders and files this run's records named (foldHash)

    Reader(const uint8_t* archive, size_t size, MemFs& into) : a(archive), n(size), fs(into) {}

    bool byte(uint8_t& b) { return pos < n ? (b = a[pos++], true) : false; }
    bool bytes(std::string& out, size_t k) {
        if (n - pos < k) return false;
        out.assign(reinterpret_cast<const char*>(a) + pos, k);
        pos += k;
        return true;
    }
    bool refuse() { return refused = true, false; }

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
            if (type & 1) {
                std::string path = folder + name + "/";
                if (!nameOk(name) || path.size() > 259) return refuse();
                int e = fs.mkdir(path);
                if (full(e) || (e != 0 && e != 183)) return false;
                made.insert(foldHash({folder, name}));
                if (!listing(path)) return false;
                continue;
            }
            uint32_t want = 0;
            for (int i = 3; i >= 0; --i) want = want << 8 | static_cast<uint8_t>(size[i]);
            std::string target = folder + name, temp = target + ".unwrap", content;
            if (!nameOk(name) || target.size() > 259 || made.count(foldHash({folder, name, ".unwrap"}))) return refuse();
            made.insert(foldHash({folder, name}));
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
            fileFailed |= fs.rename(temp, target, true) != 0;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const MemFs start = startState();
    MemReleaseAtEnd release;
    resetAppState();
    memReset(start, DEST);
    memFs.volume = MemVolume{DEST, FREE_SPACE, UNIT};
    memFs.write("/w/in.wrp", std::string(reinterpret_cast<const char*>(data), size));
    MemFs before = memFs;
    bool ok = unwrapFolder("/w/in.wrp", DEST.c_str());

    MemFs expected = before;
    Reader r(data, size, expected);
    bool expectOk = r.listing(DEST + "\\") && !r.fileFailed;
    bool mustStop = r.ranOut && !r.failedFirst;

    memFs.root.kids.erase("run");
    expected.root.kids.erase("run");
    before.root.kids.erase("run");
    bool asRead = ok == expectOk && memFs.root == expected.root;
    bool stopped = !ok && memFs.root == before.root;
    // A run that fit and succeeded must not be refused; one that ran out
    // must be; otherwise the archive fails anyway, and a refusal before
    // anything was written is right as well.
    if (mustStop ? !stopped : expectOk ? !asRead : !(asRead || stopped)) {
        fprintf(stderr, "\n*** fuzz_unwrap: unwrapFolder %s, reader says %s%s\n--- expected\n%s--- found\n%s",
                ok ? "true" : "false", expectOk ? "true" : "false", mustStop ? " (out of room: refuse)" : "",
                (mustStop ? before : expected).dump().c_str(), memFs.dump().c_str());
        for (const std::string& line : fakeUi.list) fprintf(stderr, "%s\n", line.c_str());
        abort();
    }
    return 0;
}
