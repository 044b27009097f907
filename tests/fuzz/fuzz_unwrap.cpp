// Arbitrary bytes as an archive for the unpacker, checked against a reader
// of the archive grammar written here from the format and the unpacking
// rules (its own name check, path limits, temporary-name clashes, free
// space).  The reader acts on its own copy of the file system; afterwards
// both must hold the same tree, and unwrapFolder must answer what the
// reader says.  The destination already holds files, one of them in use.
#include <cstdio>
#include <cstdlib>
#include <set>

#include "archive/unwrap.h"
#include "tests/fuzz/name_rules.h"
#include "tests/fuzz/sys_memory.h"
#include "tests/unit/fake_ui.h"

namespace {

const std::string DEST = "/w/dest";
const uint64_t FREE_SPACE = 512;

MemFs startState() {
    MemFs fs;
    fs.put("/run", true);
    fs.put("/w/keep", false, "outside");
    fs.put(DEST + "/a", false, "old a");
    fs.put(DEST + "/L", false, "old L").locked = true;
    fs.put(DEST + "/d/a", false, "old d/a");
    fs.put(DEST + "/f", false, "a file");
    fs.put(DEST + "/q.unwrap", true);
    return fs;
}

struct Reader {
    const uint8_t* a;
    size_t n, pos = 0;
    MemFs& fs;
    bool fileFailed = false, refused = false;
    std::set<uint64_t> made;  // folders and files this run's records named (foldHash)
    uint64_t announced = 0;

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
                if (e != 0 && e != 183) return false;
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
            fs.write(temp, content);
            if (take < want) return false;
            fileFailed |= fs.rename(temp, target, true) != 0;
        }
    }

    // The announced content sizes, walking the headers only; false when the
    // walk does not reach the final end record inside the archive.
    bool sizes(size_t& p) {
        for (;;) {
            if (p >= n) return false;
            uint8_t type = a[p++];
            if (!(type & 3)) {
                if (type & 4) return true;
                continue;
            }
            if (p >= n) return false;
            p += 1 + a[p];
            if (type & 1) {
                if (!sizes(p)) return false;
            } else {
                if (p + 4 > n) return false;
                uint32_t s = a[p] | a[p + 1] << 8 | a[p + 2] << 16 | static_cast<uint32_t>(a[p + 3]) << 24;
                announced += s;
                p += 4 + static_cast<size_t>(s);
            }
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const MemFs start = startState();
    MemReleaseAtEnd release;
    resetAppState();
    memReset(start, DEST);
    memFreeSpace = FREE_SPACE;
    memFs.write("/w/in.wrp", std::string(reinterpret_cast<const char*>(data), size));
    MemFs before = memFs;
    bool ok = unwrapFolder("/w/in.wrp", DEST.c_str());

    MemFs expected = before;
    Reader r(data, size, expected);
    size_t p = 0;
    bool wellFormed = r.sizes(p);
    bool expectOk = r.listing(DEST + "\\") && !r.fileFailed;
    // Over the free space nothing is written; when the archive is broken or
    // refused anyway, stopping at either point is right.
    bool overSpace = r.announced > FREE_SPACE;
    bool spaceOnly = overSpace && wellFormed && !r.refused;

    memFs.root.kids.erase("run");
    expected.root.kids.erase("run");
    before.root.kids.erase("run");
    bool asRead = ok == expectOk && memFs.root == expected.root;
    bool stopped = !ok && memFs.root == before.root;
    if (spaceOnly ? !stopped : !(asRead || (overSpace && stopped))) {
        fprintf(stderr, "\n*** fuzz_unwrap: unwrapFolder %s, reader says %s%s\n--- expected\n%s--- found\n%s",
                ok ? "true" : "false", expectOk ? "true" : "false", spaceOnly ? " (over the free space)" : "",
                (spaceOnly ? before : expected).dump().c_str(), memFs.dump().c_str());
        abort();
    }
    return 0;
}
