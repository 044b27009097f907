// Server bytes into the message parser, checked against a model of the
// protocol written from its message tables: where every message starts,
// what the folder commands must do to the shared folder, and what the
// download state must hold afterwards.
//
// Input: one byte whose low nibble is the length of the delivery plan (see
// Wire), whose bit 0x80 starts without a shared folder, whose bit 0x40
// lets the stream hold runs and whose bits 0x30 together add a folder
// "f501" of 501 files to the shared folder (one more than the folder tree
// takes of a folder; every folder command then costs a scan of it, so it
// takes two bits, not one), the plan, then the stream.  A run, 0xFF n b,
// stands for 4 * (n + 1) bytes b, so that long fields take few input bytes:
// without a plan the expanded stream may hold the largest payload and more.
// The mutator below sets length fields to their limits and fills them.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/globals.h"
#include "archive/folder_tree.h"
#include "base/textbuf.h"
#include "net/link.h"
#include "net/protocol.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/name_rules.h"
#include "tests/unit/fake_ui.h"

namespace {

const std::string SHARE = "/work/KAVO_share";

MemFs startState(bool withShare) {
    MemFs fs;
    fs.put("/run", true);
    fs.put("/outside/keep", false, "out");
    fs.put("/work/keep", false, "work");
    if (!withShare) return fs;
    fs.put(SHARE + "/a/b/f", false, "in");
    fs.put(SHARE + "/a/.g", false, "dot");
    fs.put(SHARE + "/x", false, "in");
    fs.put(SHARE + "/L", false, "lock").locked = true;
    fs.put(SHARE + "/.dot/k", false, "k");
    fs.put(SHARE + "/h", false, "hidden").hidden = true;
    fs.put(SHARE + "/hd/y", false, "y");
    fs.find(SHARE + "/hd")->hidden = true;
    return fs;
}

uint16_t u16(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8);
}

// Components of a command's path, either separator.
std::vector<std::string> split(const std::string& p) {
    std::vector<std::string> out(1);
    for (char c : p) {
        if (c == '/' || c == '\\') out.emplace_back();
        else out.back() += c;
    }
    return out;
}

// A folder command's path stays inside the shared folder and each of its
// components is a name the system takes as it is; one trailing "/" names
// the folder itself.
bool pathOk(std::string p) {
    if (p.empty() || p.size() > 999 || p[0] == '/' || p[0] == '\\') return false;
    if (p.back() == '/') p.pop_back();
    for (const std::string& c : split(p))
        if (!nameOk(c)) return false;
    return true;
}

struct Model {
    Wire w;
    double clock = 1.7e9;
    MemFs fs;
    std::vector<size_t> starts;
    uint8_t error = 0;
    uint32_t size = 0;

    // A field as the receive helper reads it: until it is whole, more than
    // 1.0 s has passed, or 1000 calls since the last would-block.
    bool field(std::string& out, size_t n) {
        out.assign(n, '\0');
        size_t got = 0;
        double t0 = clock;
        int calls = 0;
        while (got < n) {
            int r = w.recv(&out[got], static_cast<int>(n - got), false);
            if (r < 0) calls = 0;
            else got += static_cast<size_t>(r);
            if (++calls, clock - t0 > 1.0 || calls >= 1000) break;
        }
        return got == n;
    }

    // Takes at most `limit` messages; returns where the stream was left (the
    // start of the first message not taken, or its end).
    size_t run(size_t limit) {
        uint8_t b;
        while (!w.done()) {
            if (w.recv(&b, 1, true) < 1) continue;
            if (starts.size() == limit) break;
            starts.push_back(w.pos);
            message();
        }
        return w.pos;
    }

    // The tables' layouts, field by field; a field cut short ends the
    // message without effect.
    void message() {
        std::string g, s, t, f, p, q;
        field(g, 1);
        if (g[0] == '#') {
            if (!field(s, 1)) return;
            if (s[0] == 'v') field(f, 4);
            if (s[0] == 'g' && field(f, 1) && static_cast<int8_t>(f[0]) > 0) field(p, static_cast<size_t>(f[0]));
        } else if (g[0] == 'r') {
            if (field(s, 1) && (s[0] == 'f' || s[0] == 'p') && field(f, 2)) field(p, u16(f, 0));
        } else if (g[0] == 's') {
            if (!field(s, 1) || s[0] != 'f' || !field(t, 1)) return;
            if (t[0] == 'e' && field(f, 1)) error = static_cast<uint8_t>(f[0]);
            if (t[0] == 'h' && field(f, 4)) size = u16(f, 0) | static_cast<uint32_t>(u16(f, 2)) << 16;
        } else if (g[0] == 'p') {
            if (!field(s, 1) || (s[0] != 'f' && s[0] != 'n' && s[0] != 'r' && s[0] != 'd') || !field(t, 1)) return;
            if (s[0] == 'f') {
                if (t[0] == 'c' && field(f, 6)) field(p, u16(f, 4));
            } else if (t[0] == 'f' && s[0] == 'r') {
                if (field(f, 4) && field(p, u16(f, 0)) && field(q, u16(f, 2)) && pathOk(p) && pathOk(q)) {
                    fs.mkdir(SHARE);
                    // A final "/" names the same entry, file or folder.
                    if (p.back() == '/') p.pop_back();
                    if (q.back() == '/') q.pop_back();
                    fs.rename(SHARE + "/" + p, SHARE + "/" + q, false);
                }
            } else if (t[0] == 'f' && field(f, 2) && u16(f, 0) > 0 && field(p, u16(f, 0)) && pathOk(p)) {
                fs.mkdir(SHARE);
                if (s[0] == 'n') fs.mkdir(SHARE + "/" + p);
                else if (p.back() != '/') fs.removeFile(SHARE + "/" + p);
                else deleteFolder(p);
            }
        }
    }

    // The folder tree holds, per folder, the first 500 entries that are not
    // hidden, do not start with "." and have names below 100 bytes (folders
    // also a relative path below 1000 bytes).
    static std::vector<std::string> inTree(const MemNode& n, size_t relLen) {
        std::vector<std::string> out;
        for (const auto& [name, kid] : n.kids) {
            if (kid.hidden || name[0] == '.' || name.size() >= 100 || out.size() >= 500) continue;
            if (!kid.folder || relLen + name.size() + 1 < 1000) out.push_back(name);
        }
        return out;
    }

    void deleteFolder(const std::string& p) {
        std::vector<std::string> comps = split(p);
        comps.pop_back();  // after the trailing "/"
        if (comps.size() > 100) return;
        std::string rel;
        for (const std::string& c : comps) {
            MemNode* n = fs.find(SHARE + "/" + rel);
            std::vector<std::string> kids = inTree(*n, rel.size());
            if (std::find(kids.begin(), kids.end(), c) == kids.end() || !n->kids[c].folder) return;
            rel += c + "/";
        }
        deleteTree(SHARE + "/" + rel, rel.size());
    }

    void deleteTree(const std::string& dir, size_t relLen) {
        MemNode* n = fs.find(dir);
        for (const std::string& name : inTree(*n, relLen)) {
            if (n->kids[name].folder) deleteTree(dir + name + "/", relLen + name.size() + 1);
            else fs.removeFile(dir + name);
        }
        fs.rmdir(dir);
    }
};

void fail(const char* what, const Model& m) {
    fprintf(stderr, "\n*** fuzz_protocol: %s\n--- expected\n%s--- found\n%s", what, m.fs.dump().c_str(),
            memFs.dump().c_str());
    size_t i = 0;
    while (i < m.starts.size() && i < memPeekStarts.size() && m.starts[i] == memPeekStarts[i]) ++i;
    fprintf(stderr, "--- messages from the %zu-th on start at (model / parser):", i);
    for (size_t k = i; k < i + 8 && k < m.starts.size(); ++k) fprintf(stderr, " %zu", m.starts[k]);
    fprintf(stderr, " /");
    for (size_t k = i; k < i + 8 && k < memPeekStarts.size(); ++k) fprintf(stderr, " %zu", memPeekStarts[k]);
    fprintf(stderr, "\n");
    abort();
}

// The folder of 501 files, made once per process: copying it into both
// trees for every input cost more than everything else the input did.  The
// seam and the model each borrow a copy, and hand it back afterwards unless
// the input changed it.
struct BigFolder {
    const std::string at = SHARE + "/f501";
    MemNode pristine, seam, model;
    BigFolder() {
        MemFs fs;
        for (int i = 0; i < 501; ++i) fs.put(at + "/" + std::to_string(1000 + i), false, "e");
        pristine = *fs.find(at);
        seam = model = pristine;
    }
    static void lend(MemNode& spare, MemFs& into, const std::string& path) { into.put(path, true) = std::move(spare); }
    void takeBack(MemNode& spare, MemFs& from) {
        MemNode* n = from.find(at);
        if (n && *n == pristine) spare = std::move(*n);
        else spare = pristine;
    }
};

// Longest expanded stream without a delivery plan: a "pfc" message whose
// payload is one byte longer than the receive scratch holds behind its
// 9 bytes, and a message after it.
const size_t LONG_STREAM = 16384;
// Without a plan otherwise: the paths of folders nested until their relative
// path reaches the folder tree's limit of 1000 bytes.
const size_t DEEP_STREAM = 8192;
const size_t MAX_MESSAGES = 256;

// Length fields near their limits.  The limits come from the buffers the
// message tables give: 1000 bytes for a path with its terminator, 15000 for
// the receive scratch behind a "pfc" message's 9 bytes, and the signed byte
// of "#g".
struct LengthField {
    const char* letters;
    size_t at;       // offset of the (first) length field after the letters' start
    int fields;      // "prf" has two
    bool signedByte;
    uint32_t limit;  // the largest length that fits
};
const LengthField LENGTH_FIELDS[] = {
    {"pnf", 3, 1, false, 999}, {"pdf", 3, 1, false, 999}, {"prf", 3, 2, false, 999},
    {"rf", 2, 1, false, 999},  {"rp", 2, 1, false, 999},  {"pfc", 7, 1, false, 15000 - 9},
    {"#g", 2, 1, true, 127},
};

// `n` bytes `b` in the input's run form.
void appendRun(std::vector<uint8_t>& out, size_t n, uint8_t b) {
    for (; n >= 4; ) {
        size_t k = std::min<size_t>(n / 4, 256);
        out.insert(out.end(), {0xFF, static_cast<uint8_t>(k - 1), b});
        n -= 4 * k;
    }
    out.insert(out.end(), n, b);
}

// Picks one message with a length field, sets the length to its limit, one
// below or one above (or, rarely, the largest the field holds), and puts a
// payload of exactly that length behind it, so that mutations keep meeting
// the limits instead of drifting away from them.
size_t fixLength(uint8_t* data, size_t size, size_t maxSize, unsigned seed) {
    std::vector<std::pair<size_t, const LengthField*>> found;
    for (size_t i = 1; i < size; ++i)
        for (const LengthField& f : LENGTH_FIELDS) {
            size_t k = strlen(f.letters);
            if (i + k <= size && memcmp(data + i, f.letters, k) == 0) found.emplace_back(i, &f);
        }
    if (found.empty()) return size;
    auto [start, f] = found[seed % found.size()];
    const size_t from = start;
    seed /= static_cast<unsigned>(found.size());
    // A payload over 2000 bytes counts only in a stream without a plan that
    // starts with its message.
    const bool pfc = f->at == 7;
    if (pfc) start = 1;
    std::vector<uint8_t> out(data, data + start);
    out.insert(out.end(), data + from, data + from + std::min(f->at, size - from));
    out.resize(start + f->at, 0);
    std::vector<uint32_t> lengths;
    for (int i = 0; i < f->fields; ++i, seed /= 5) {
        // (0xFF would start a run: the largest values are left out.)
        uint32_t pick = seed % 5, n = pick == 4 ? (f->signedByte ? 0xC0u : 60000u) : f->limit - 1 + std::min(pick, 2u);
        lengths.push_back(n);
        out.push_back(static_cast<uint8_t>(n));
        if (!f->signedByte) out.push_back(static_cast<uint8_t>(n >> 8));
    }
    for (uint32_t n : lengths) appendRun(out, f->signedByte && n > 127 ? 0 : n, 'a');
    // The rest of the old stream follows as further messages.
    size_t rest = from + f->at + (f->signedByte ? 1 : 2) * f->fields;
    if (rest < size) out.insert(out.end(), data + rest, data + size);
    if (out.size() > maxSize) return size;
    out[0] |= 0x40;                 // runs
    if (pfc) out[0] &= 0xF0;        // no plan: the long stream
    memcpy(data, out.data(), out.size());
    return out.size();
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned seed) {
    size = LLVMFuzzerMutate(data, size, maxSize);
    return seed % 4 == 0 && size > 1 ? fixLength(data, size, maxSize, seed / 4) : size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const MemFs withShare = startState(true), without = startState(false);
    static BigFolder big;
    const size_t planSize = std::min<size_t>(data[0] & 15, size - 1);
    const bool full = (data[0] & 0xB0) == 0x30;
    const MemFs& start = (data[0] & 0x80) ? without : withShare;
    const uint8_t* plan = data + 1;
    const uint8_t* stream = plan + planSize;
    size_t streamSize = size - 1 - planSize;
    static std::vector<uint8_t> expanded;  // kept: its memory serves every input
    if (data[0] & 0x40) {
        expanded.clear();
        for (size_t i = 0; i < streamSize; ++i) {
            if (stream[i] != 0xFF || i + 2 >= streamSize) expanded.push_back(stream[i]);
            else expanded.insert(expanded.end(), 4 * (stream[i + 1] + 1u), stream[i + 2]), i += 2;
        }
        // With a delivery plan: long enough for a path field over its limit,
        // far shorter than the receive scratch, since the parser may take a
        // field that does not fit it in pieces, each with its own time
        // limit, which the model does not follow.  Without a plan every byte
        // is there at once and no limit is crossed: the stream may hold
        // folders ten levels deep, and one that starts with "pfc" the largest
        // payload and one byte more (only such a stream: thousands of
        // one-byte messages cost time).
        const bool pfcFirst = streamSize >= 3 && memcmp(stream, "pfc", 3) == 0;
        const size_t cap = planSize ? 2048 : pfcFirst ? LONG_STREAM : DEEP_STREAM;
        if (expanded.size() > cap) expanded.resize(cap);
        stream = expanded.data();
        streamSize = expanded.size();
    }

    // The model reads first, and the stream ends after its 256th message:
    // a long stream spends its length on fields, not on hundreds of
    // one-byte messages (what a mutation makes of a long field whose letters
    // it changed), which cost a millisecond and more and reach nothing that
    // a few messages do not.  Seeds need at most 15 messages.
    Model m;
    m.starts.reserve(std::min<size_t>(streamSize, MAX_MESSAGES));
    m.fs = start;
    if (full) BigFolder::lend(big.model, m.fs, big.at);
    m.w.start(stream, streamSize, plan, planSize, &m.clock);
    streamSize = m.run(MAX_MESSAGES);

    MemReleaseAtEnd release;
    resetAppState();
    memReset(start, SHARE);
    if (full) BigFolder::lend(big.seam, memFs, big.at);
    copyText(workingDir, sizeof workingDir, "/work");
    setShareRoot();
    transferError = 0;
    transferSize = 0;
    memWire.start(stream, streamSize, plan, planSize, &memClock);
    serverSocket = 3;
    // The window hands every read notification to the parser.
    for (int turn = 0; !memWire.done() && turn < 1000000; ++turn) processMessages(false);
    serverSocket = SYS_NO_SOCKET;


    if (memPeekStarts != m.starts) fail("messages start elsewhere", m);
    if (transferError != m.error || transferSize != m.size) fail("transferError / transferSize", m);
    memFs.root.kids.erase("run");  // the log
    m.fs.root.kids.erase("run");
    if (!(memFs.root == m.fs.root)) fail("folder commands did something else", m);
    if (full) big.takeBack(big.seam, memFs), big.takeBack(big.model, m.fs);
    freeFolderTree(&rootNode);
    return 0;
}
