// Pack then unpack a tree built from the input, for every package mode.
// The expected archive is written here from the mode table and the record
// layout; the packer must produce it byte for byte (or fail and leave no
// archive when a taken entry cannot be packed), and unpacking it must give
// back exactly the taken part of the tree.
//
// Input: a mode byte, then entries.  Entry byte: low two bits 0 file,
// 1 folder (entered), 2 back up one folder, 3 hidden entry (next byte: bit 0
// folder, else file with that byte / 2 as size); the other six bits pick a
// name from NAMES (0-31), a literal name (32-47: length byte, bytes) or a
// byte repeated (48-63: length byte, byte).  A length of 255 takes one more
// byte and adds 0-4 (names up to the system's 259).  A file then has a size
// byte; 255 means a file of more than 4 GiB.
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "archive/unwrap.h"
#include "archive/wrap.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/name_rules.h"
#include "tests/unit/fake_ui.h"

namespace {

const char* const NAMES[] = {"OSKE", "VELN", "BIN", "KAVO_data", "UBRA", "UBRA.exe", "oske", "DOC",
                             "sub", "a", "A", "a.unwrap", "A.WRPOLD", "b", "con", "Nul.txt",
                             "x.", "y ", "COM1", "lpt\xB9", "COM10", "\xC9t\xE9", "\xE9T\xE9.unwrap", ".svn",
                             "ubra.exe", "bin", "KAVO_DATA", "a:b", "q?", "CONX", "bin.Wrpold", "UBRA.exe.unwrap"};
const size_t NAME_COUNT = sizeof NAMES / sizeof NAMES[0];
static_assert(NAME_COUNT == 32, "names 0-31, literal names from 32");

// Folders taken at depth 0, 1, 2+ and files at depth 0, 1+: "*" all, ""
// none, else only that exact name.
struct Mode {
    uint16_t value;
    const char* folders[3];
    const char* files[2];
};
const Mode MODES[] = {
    {0, {"*", "*", "*"}, {"*", "*"}},         {1, {"OSKE", "", ""}, {"", "*"}},
    {3, {"OSKE", "*", "*"}, {"", "*"}},       {4, {"VELN", "BIN", "*"}, {"", "*"}},
    {5, {"VELN", "*", "*"}, {"", "*"}},       {6, {"KAVO_data", "*", "*"}, {"", "*"}},
    {7, {"UBRA", "*", "*"}, {"", "UBRA.exe"}}, {8, {"UBRA", "*", "*"}, {"", "*"}},
};
const uint16_t NOT_MODES[] = {2, 9};

const std::string ROOT_OUT = "/out", ARCHIVE = "/out/pkg.wrp", DEST = "/out/d";
const size_t UNPACK_ROOT = DEST.size() + 1;  // "/out/d\"

// One per process, put back for each input: its buffers keep their memory.
struct Expected {
    const Mode* modeOf = nullptr;
    std::string bytes;
    bool refused = false, differs = false, unpackClash = false;
    size_t longestUnpackPath = 0;
    // The unpacker refuses a file whose temporary path, letter case aside,
    // is an entry it made before; names alike but for case in different
    // folders can bring that about.
    std::vector<uint64_t> made;
    std::string rel;  // the folder being listed, relative to the destination

    void reset(const Mode& m) {
        modeOf = &m;
        bytes.clear();
        refused = differs = unpackClash = false;
        longestUnpackPath = 0;
        made.clear();
        rel.clear();
    }

    static bool rule(const char* r, const std::string& name) { return r[0] == '*' || name == r; }
    static bool has(const std::vector<uint64_t>& v, uint64_t h) { return std::find(v.begin(), v.end(), h) != v.end(); }

    // The listing of `folder` (its path in the packer pathLen bytes long);
    // `got`, when given, is what unpacking made of it and must hold exactly
    // the taken entries.
    void listing(const MemNode& folder, size_t pathLen, int depth, const MemNode* got) {
        // Hashes of the entries taken so far, one pair of lists per depth,
        // kept from input to input.
        static std::deque<std::vector<uint64_t>> lists;
        while (lists.size() < 2 * static_cast<size_t>(depth) + 2) lists.emplace_back();
        std::vector<uint64_t>& names = lists[2 * depth];
        std::vector<uint64_t>& files = lists[2 * depth + 1];
        names.clear();
        files.clear();
        size_t count = 0;
        for (const auto& [name, e] : folder.kids) {
            if (e.hidden || name[0] == '.') continue;
            const Mode& mode = *modeOf;
            if (!(e.folder ? rule(mode.folders[std::min(depth, 2)], name) : rule(mode.files[std::min(depth, 1)], name)))
                continue;
            uint64_t size = e.fakeSize ? e.fakeSize : e.data->size();
            // A file beside an entry named like its temporary file or its
            // backup, in either order.
            std::string_view stem(name.data(), name.size() > 7 ? name.size() - 7 : 0);
            uint64_t tail = foldHash({std::string_view(name).substr(stem.size())});
            bool tempLike = tail == foldHash({".unwrap"}) || tail == foldHash({".wrpold"});
            bool clash = (!e.folder && (has(names, foldHash({name, ".unwrap"})) || has(names, foldHash({name, ".wrpold"})))) ||
                         (tempLike && has(files, foldHash({stem})));
            names.push_back(foldHash({name}));
            if (!e.folder) files.push_back(names.back());
            size_t full = pathLen + name.size() + e.folder;
            if (!nameOk(name) || name.size() > 255 || size >> 32 || clash || full + e.folder > 999) {
                refused = true;
                continue;
            }
            bytes += static_cast<char>(e.folder ? 1 : 2);
            bytes += static_cast<char>(name.size());
            bytes += name;
            longestUnpackPath = std::max(longestUnpackPath, UNPACK_ROOT + rel.size() + name.size() + (e.folder ? 1 : 7));
            unpackClash |= !e.folder && (has(made, foldHash({rel, name, ".unwrap"})) || has(made, foldHash({rel, name, ".wrpold"})));
            made.push_back(foldHash({rel, name}));
            auto out = got ? got->kids.find(name) : MemKids::const_iterator();
            ++count;
            if (got && (out == got->kids.end() || out->second.folder != e.folder ||
                        (!e.folder && *out->second.data != *e.data)))
                differs = true, got = nullptr;
            if (e.folder) {
                size_t back = rel.size();
                rel += name + "/";
                listing(e, full, depth + 1, got ? &out->second : nullptr);
                rel.resize(back);
            } else {
                for (int i = 0; i < 4; ++i) bytes += static_cast<char>(size >> (8 * i));
                bytes += *e.data;
            }
        }
        bytes += '\x04';
        if (got && got->kids.size() != count) differs = true;
    }
};

MemFs tree(const uint8_t* d, size_t n) {
    MemFs fs;
    fs.put("/run", true);
    fs.put(ROOT_OUT, true);
    std::vector<MemNode*> at{&fs.put("/src", true)};
    for (size_t i = 0; i < n;) {
        uint8_t op = d[i++], kind = op & 3;
        if (kind == 2) {
            if (at.size() > 1) at.pop_back();
            continue;
        }
        std::string name;
        if (op >> 2 < NAME_COUNT) {
            name = NAMES[op >> 2];
        } else if (i < n) {
            size_t len = d[i++];
            if (len == 255 && i < n) len += d[i++] % 5;
            if (op >> 2 >= 48) {
                name.assign(len, i < n ? static_cast<char>(d[i++]) : 'x');
            } else {
                name.assign(reinterpret_cast<const char*>(d) + i, std::min(len, n - i));
                i += name.size();
            }
            for (char& c : name)
                if (c == '/' || c == '\\' || c == '\0') c = '_';
        }
        uint8_t extra = kind != 1 && i < n ? d[i++] : 0;
        bool folder = kind == 1 || (kind == 3 && (extra & 1));
        auto same = at.back()->kids.find(name);
        if (name.empty() || name == "." || name == ".." || (same != at.back()->kids.end() && same->second.folder != folder))
            continue;
        MemNode& e = at.back()->kids[name];
        e.folder = folder;
        e.hidden = kind == 3;
        e.fakeSize = 0;
        if (folder) {
            at.push_back(&e);
        } else {
            size_t size = kind == 3 ? extra / 2 : extra == 255 ? 0 : extra;
            // One content per size, made once: files share it until written.
            static std::shared_ptr<std::string> contents[256];
            if (!contents[size]) {
                contents[size] = std::make_shared<std::string>();
                for (size_t k = 0; k < size; ++k) *contents[size] += static_cast<char>('a' + (k * 7 + size) % 26);
            }
            e.data = contents[size];
            if (extra == 255 && kind == 0) e.fakeSize = (1ull << 32) + 5;
        }
    }
    return fs;
}

[[noreturn]] void fail(const char* what, const std::string& detail) {
    fprintf(stderr, "\n*** fuzz_wrap: %s\n%s\n--- found\n%s--- log\n", what, detail.c_str(), memFs.dump().c_str());
    for (const std::string& line : fakeUi.list) fprintf(stderr, "%s\n", line.c_str());
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t modeCount = sizeof MODES / sizeof MODES[0];
    const size_t pick = data[0] % (modeCount + 2);
    const uint16_t mode = pick < modeCount ? MODES[pick].value : NOT_MODES[pick - modeCount];

    MemReleaseAtEnd release;
    resetAppState();
    memReset(tree(data + 1, size - 1), ROOT_OUT);
    bool packed = wrapFolder("/src", ARCHIVE.c_str(), mode);
    const MemNode* archive = memFs.find(ARCHIVE);
    const std::string archiveBytes = archive ? *archive->data : "";
    bool unpacked = packed && unwrapFolder(ARCHIVE.c_str(), DEST.c_str());

    static Expected x;
    x.reset(MODES[pick < modeCount ? pick : 0]);
    if (pick < modeCount) x.listing(*memFs.find("/src"), 5, 0, unpacked ? memFs.find(DEST) : nullptr);  // "/src/"
    bool packable = pick < modeCount && !x.refused;
    if (packed != packable || (!packed && archive))
        fail(packed ? "packed what must be refused" : "refused or left an archive", "");
    if (packed && archiveBytes != x.bytes) fail("archive bytes differ from the mode table", "");
    if (packed && unpacked != (x.longestUnpackPath <= 259 && !x.unpackClash)) fail("unpacking the archive", "");
    if (x.differs) fail("unpacked tree differs from the taken one", "");
    return 0;
}
