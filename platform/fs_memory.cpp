#include "platform/fs_memory.h"

#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <cerrno>
#include <cstring>

#include "platform/sys.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MEM_ADDRESS_CHECKER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define MEM_ADDRESS_CHECKER 1
#endif
#ifdef MEM_ADDRESS_CHECKER
#include <sanitizer/asan_interface.h>
void memPoison(void* p, size_t n) { ASAN_POISON_MEMORY_REGION(p, n); }
void memUnpoison(void* p, size_t n) { ASAN_UNPOISON_MEMORY_REGION(p, n); }
#else
void memPoison(void*, size_t) {}
void memUnpoison(void*, size_t) {}
#endif

namespace {

// A file's content, from the free lists.
std::shared_ptr<std::string> newContent(const std::string& bytes = std::string()) {
    return std::allocate_shared<std::string>(MemPool<std::string>(), bytes);
}

// The components of `path` once "." and ".." are resolved (a relative path
// starts at "/run"), as views into it.  Into `out`, which keeps its memory:
// this runs for every counted step and every fence check.
void components(std::string_view path, std::vector<std::string_view>& out) {
    out.clear();
    if (path.empty() || (path[0] != '/' && path[0] != '\\')) out.push_back("run");
    for (size_t i = 0; i <= path.size();) {
        size_t end = i;
        while (end < path.size() && path[end] != '/' && path[end] != '\\') ++end;
        std::string_view c = path.substr(i, end - i);
        if (c == "..") {
            if (!out.empty()) out.pop_back();
        } else if (!c.empty() && c != ".") {
            out.push_back(c);
        }
        i = end + 1;
    }
}

struct Cookie {
    std::shared_ptr<std::string> data;
    int64_t pos;
    bool append;
    MemFs* volumeOf;  // the file system whose volume holds the file, else null
    MemFs* counted;   // the file system counting this file's writes as steps, else null
    FILE* stream;
    char* buffer;     // the stdio buffer of a counted file's stream, kept with the cookie
};

// Open streams of counted files, for flushes.
std::vector<Cookie*>& countedCookies = *new std::vector<Cookie*>;

ssize_t cookieRead(void* c, char* buf, size_t n) {
    Cookie* k = static_cast<Cookie*>(c);
    size_t size = k->data->size();
    if (k->pos >= static_cast<int64_t>(size)) return 0;
    size_t got = std::min(n, size - static_cast<size_t>(k->pos));
    memcpy(buf, k->data->data() + k->pos, got);
    k->pos += static_cast<int64_t>(got);
    return static_cast<ssize_t>(got);
}

ssize_t cookieWrite(void* c, const char* buf, size_t n) {
    Cookie* k = static_cast<Cookie*>(c);
    if (MemFs* fs = k->counted) {
        if (!fs->stepAnyway()) {
            errno = EIO;
            return 0;
        }
        fs->markUnsynced(k->data);
    }
    std::string& d = *k->data;
    if (k->append) k->pos = static_cast<int64_t>(d.size());
    size_t at = static_cast<size_t>(k->pos);
    if (MemFs* fs = k->volumeOf) {
        uint64_t before = fs->units(d.size()), after = fs->units(std::max(d.size(), at + n));
        if (after > before && !fs->take(after - before)) {
            errno = ENOSPC;
            return 0;  // stdio's error for a cookie write, never negative
        }
    }
    // Small files (journals, the log) grow by many small writes: room for a
    // few hundred bytes at once spares a reallocation for most of them.
    if (d.capacity() < at + n) d.reserve(std::max<size_t>(at + n, std::max<size_t>(2 * d.capacity(), 256)));
    if (d.size() < at + n) d.resize(at + n);
    memcpy(&d[at], buf, n);
    k->pos += static_cast<int64_t>(n);
    return static_cast<ssize_t>(n);
}

int cookieSeek(void* c, off64_t* offset, int whence) {
    Cookie* k = static_cast<Cookie*>(c);
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? k->pos : static_cast<int64_t>(k->data->size());
    if (base + *offset < 0) return -1;
    k->pos = base + *offset;
    *offset = k->pos;
    return 0;
}

// Closed cookies are kept for the next open (the log alone opens its file
// for every line); never destroyed, so the leak check at exit reaches them.
std::vector<Cookie*>& spareCookies = *new std::vector<Cookie*>;

int cookieClose(void* c) {
    auto it = std::find(countedCookies.begin(), countedCookies.end(), static_cast<Cookie*>(c));
    if (it != countedCookies.end()) countedCookies.erase(it);
    static_cast<Cookie*>(c)->data.reset();
    spareCookies.push_back(static_cast<Cookie*>(c));
    return 0;
}

MemNode durableCopy(const MemNode& n, const std::vector<std::shared_ptr<std::string>>& unsynced) {
    MemNode out;
    out.folder = n.folder;
    out.hidden = n.hidden;
    out.locked = n.locked;
    out.fakeSize = n.fakeSize;
    out.data = n.data;
    if (!n.folder && std::find(unsynced.begin(), unsynced.end(), n.data) != unsynced.end()) out.data = MemNode::empty();
    for (const auto& [name, kid] : n.kids) out.kids.emplace(name, durableCopy(kid, unsynced));
    return out;
}

void dumpInto(const MemNode& n, const std::string& path, std::string& out) {
    for (const auto& [name, kid] : n.kids) {
        std::string p = path + "/" + name;
        out += p + (kid.folder ? "/" : " (" + std::to_string(kid.data->size()) + " bytes)") +
               (kid.hidden ? " hidden" : "") + (kid.locked ? " locked" : "") + "\n";
        dumpInto(kid, p, out);
    }
}

}  // namespace

const uint16_t* memCodePage() {
    static uint16_t units[256];
    static bool made = false;
    if (made) return units;
    iconv_t cd = iconv_open("UTF-16LE", "CP1252");
    for (unsigned b = 0; b < 256; ++b) {
        char in = static_cast<char>(b), *inp = &in;
        uint16_t u = static_cast<uint16_t>(b);
        char* outp = reinterpret_cast<char*>(&u);
        size_t inLeft = 1, outLeft = 2;
        // Bytes the code page leaves undefined stand for the control
        // character of the same number, as on the platform.
        if (cd == reinterpret_cast<iconv_t>(-1) || iconv(cd, &inp, &inLeft, &outp, &outLeft) != 0)
            u = static_cast<uint16_t>(b);
        units[b] = u;
    }
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    made = true;
    return units;
}

const uint32_t* memNameFold() {
    static uint32_t fold[256];
    static bool made = false;
    if (made) return fold;
    const uint16_t* units = memCodePage();
    locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    for (unsigned b = 0; b < 256; ++b)
        fold[b] = unicode ? static_cast<uint32_t>(towupper_l(static_cast<wint_t>(units[b]), unicode)) : units[b];
    if (unicode) freelocale(unicode);
    made = true;
    return fold;
}

bool MemFs::counts(std::string_view path) const {
    if (power.folder.empty()) return false;
    // An absolute path without ".." that starts with the folder (the
    // product's own paths) is below it whatever "." or doubled separators
    // it holds; any other is resolved first.
    const std::string& f = power.folder;
    if (path.size() > f.size() && (path[0] == '/' || path[0] == '\\') && path.find("..") == std::string_view::npos) {
        size_t i = 0;
        while (i < f.size() && (path[i] == f[i] || (path[i] == '\\' && f[i] == '/'))) ++i;
        if (i == f.size() && (path[i] == '/' || path[i] == '\\')) return true;
    }
    static std::string p;  // keeps its memory from call to call
    normalInto(path, p);
    return p.compare(0, power.folder.size(), power.folder) == 0 &&
           (p.size() == power.folder.size() || p[power.folder.size()] == '/');
}

bool MemFs::step(std::string_view path) { return !counts(path) || stepAnyway(); }

bool MemFs::stepAnyway() {
    if (power.cut) return false;
    ++power.steps;
    if (power.at > 0 && power.steps == power.at) {
        power.image = std::make_shared<MemNode>(durable());
        power.cut = true;
        return false;
    }
    return true;
}

void MemFs::markUnsynced(const std::shared_ptr<std::string>& data) {
    if (std::find(unsynced.begin(), unsynced.end(), data) == unsynced.end()) unsynced.push_back(data);
}

bool MemFs::flush(FILE* f) {
    if (!f || fflush(f) != 0) return false;
    for (Cookie* c : countedCookies) {
        if (c->stream != f || c->counted != this) continue;
        if (!stepAnyway()) return false;
        auto it = std::find(unsynced.begin(), unsynced.end(), c->data);
        if (it != unsynced.end()) unsynced.erase(it);
    }
    return true;
}

bool MemFs::flushPath(const std::string& path) {
    MemNode* n = find(path);
    if (!n || n->folder || !step(path)) return false;
    auto it = std::find(unsynced.begin(), unsynced.end(), n->data);
    if (it != unsynced.end()) unsynced.erase(it);
    return true;
}

MemNode MemFs::durable() const { return durableCopy(root, unsynced); }

bool MemFs::onVolume(std::string_view path) const {
    const std::string& v = volume.folder;
    if (v.empty() || path.compare(0, v.size(), v) != 0) return false;
    return path.size() == v.size() || path[v.size()] == '/' || path[v.size()] == '\\';
}

bool MemFs::take(uint64_t bytes) {
    if (bytes > volume.free) return false;
    volume.free -= bytes;
    return true;
}

MemFs::Where MemFs::resolve(std::string_view path) {
    // Walks the path in place (no copies: this runs for every file call).
    static std::vector<std::string_view> names;
    Where w;
    w.trailing = !path.empty() && (path.back() == '/' || path.back() == '\\');
    size_t end = path.size();
    while (end > 0 && (path[end - 1] == '/' || path[end - 1] == '\\')) --end;
    size_t cut = end;
    while (cut > 0 && path[cut - 1] != '/' && path[cut - 1] != '\\') --cut;
    std::string_view leaf = std::string_view(path).substr(cut, end - cut);
    bool cacheable = cut > 0 && !leaf.empty() && leaf != "." && leaf != "..";
    if (cacheable && last.node && last.text.size() == cut - 1 && path.compare(0, cut - 1, last.text) == 0) {
        w.parent = last.node;
        w.name = leaf;
        auto it = w.parent->kids.find(leaf);
        if (it != w.parent->kids.end()) w.node = &it->second;
        return w;
    }
    // Components resolve lexically first, so that "x/../y" needs no x.
    components(path, names);
    if (names.empty()) {
        w.node = &root;
        return w;
    }
    MemNode* at = &root;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        auto it = at->kids.find(names[i]);
        if (it == at->kids.end() || !it->second.folder) return w;
        at = &it->second;
    }
    w.parent = at;
    w.name = names.back();
    if (cacheable) {
        last.text.assign(path, 0, cut - 1);
        last.node = at;
    }
    // A folder named with a trailing separator is about to be listed or
    // filled: its own entries come next.
    if (w.node && w.node->folder && w.trailing && cacheable) {
        last.text.assign(path, 0, end);
        last.node = w.node;
    }
    auto it = at->kids.find(names.back());
    if (it != at->kids.end()) w.node = &it->second;
    return w;
}

int MemFs::missing(const Where& w) { return w.parent ? SYS_ERROR_FILE_NOT_FOUND : SYS_ERROR_PATH_NOT_FOUND; }

MemNode& MemFs::put(std::string_view path, bool folder, const std::string& content) {
    static std::vector<std::string_view> names;
    components(path, names);
    MemNode* at = &root;
    for (std::string_view c : names) {
        at->folder = true;
        auto it = at->kids.find(c);
        at = it != at->kids.end() ? &it->second : &at->kids[std::string(c)];
    }
    at->folder = folder;
    at->data = newContent(content);
    return *at;
}

void MemFs::normalInto(std::string_view path, std::string& out) {
    static std::vector<std::string_view> names;
    components(path, names);
    out.clear();
    for (std::string_view c : names) out.append("/").append(c);
}

std::string MemFs::normal(std::string_view path) {
    std::string out;
    normalInto(path, out);
    return out;
}

MemNode* MemFs::find(std::string_view path) { return resolve(path).node; }

int MemFs::kind(std::string_view path) {
    Where w = resolve(path);
    return !w.node ? 0 : w.node->folder ? 2 : w.trailing ? 0 : 1;
}

int MemFs::mkdir(std::string_view path) {
    Where w = resolve(path);
    if (w.node) return SYS_ERROR_ALREADY_EXISTS;
    if (!w.parent) return SYS_ERROR_PATH_NOT_FOUND;
    if (!step(path)) return SYS_ERROR_ACCESS_DENIED;
    if (onVolume(path) && !take(units(1))) return SYS_ERROR_DISK_FULL;
    w.parent->kids[std::string(w.name)].folder = true;
    return SYS_OK;
}

int MemFs::removeFile(std::string_view path) {
    Where w = resolve(path);
    if (!w.node) return missing(w);
    if (w.node->folder) return SYS_ERROR_ACCESS_DENIED;
    if (w.trailing) return SYS_ERROR_PATH_NOT_FOUND;
    if (w.node->locked) return SYS_ERROR_SHARING_VIOLATION;
    if (!step(path)) return SYS_ERROR_ACCESS_DENIED;
    if (onVolume(path)) volume.free += units(w.node->data->size());
    // The folder remembered by resolve() stays: only folders are remembered.
    w.parent->kids.erase(w.parent->kids.find(w.name));
    return SYS_OK;
}

int MemFs::rmdir(std::string_view path) {
    Where w = resolve(path);
    if (!w.node) return missing(w);
    if (!w.parent) return SYS_ERROR_ACCESS_DENIED;
    if (!w.node->folder) return SYS_ERROR_PATH_NOT_FOUND;
    if (!w.node->kids.empty()) return SYS_ERROR_DIR_NOT_EMPTY;
    if (!step(path)) return SYS_ERROR_ACCESS_DENIED;
    if (onVolume(path)) volume.free += units(1);
    w.parent->kids.erase(w.parent->kids.find(w.name));
    last.node = nullptr;
    return SYS_OK;
}

int MemFs::rename(std::string_view from, std::string_view to, bool replace) {
    Where a = resolve(from), b = resolve(to);
    if (!a.node) return missing(a);
    if (!a.parent) return SYS_ERROR_ACCESS_DENIED;
    if (a.node->locked) return SYS_ERROR_SHARING_VIOLATION;
    if (!a.node->folder && (a.trailing || b.trailing)) return SYS_ERROR_PATH_NOT_FOUND;
    if (b.node == a.node) return replace ? SYS_OK : SYS_ERROR_ALREADY_EXISTS;
    if (b.node) {
        if (!replace) return SYS_ERROR_ALREADY_EXISTS;
        if (b.node->locked) return SYS_ERROR_SHARING_VIOLATION;
        if (b.node->folder || a.node->folder) return SYS_ERROR_ACCESS_DENIED;
    }
    if (!b.parent) return SYS_ERROR_PATH_NOT_FOUND;
    if (a.node->folder) {
        // A folder cannot move into itself.
        static std::vector<std::string_view> ca, cb;
        components(from, ca);
        components(to, cb);
        if (cb.size() > ca.size() && std::equal(ca.begin(), ca.end(), cb.begin())) return SYS_ERROR_ACCESS_DENIED;
    }
    if (!step(to)) return SYS_ERROR_ACCESS_DENIED;
    if (b.node && onVolume(to)) volume.free += units(b.node->data->size());
    // A moved folder takes the remembered one (or a folder below it) away.
    if (a.node->folder) last.node = nullptr;
    MemNode moved = std::move(*a.node);
    a.parent->kids.erase(a.parent->kids.find(a.name));
    // A replaced entry keeps its name's letter case.
    if (b.node) *b.node = std::move(moved);
    else b.parent->kids.emplace(std::string(b.name), std::move(moved));
    return SYS_OK;
}

FILE* MemFs::open(std::string_view path, const char* mode) {
    Where w = resolve(path);
    bool reading = mode[0] == 'r';
    MemNode* n = w.node;
    if (n && n->folder) {
        errno = EACCES;
        return nullptr;
    }
    if (w.trailing || (!n && (reading || !w.parent))) {
        errno = w.trailing ? ENOTDIR : ENOENT;
        return nullptr;
    }
    bool counted = false;
    if (!reading) {
        if (n && n->locked) {
            errno = EACCES;
            return nullptr;
        }
        counted = counts(path);
        if (counted && !stepAnyway()) {
            errno = EIO;  // the power is gone: nothing is created or truncated
            return nullptr;
        }
        if (!n) n = &w.parent->kids[std::string(w.name)];
        // Copies share their contents until one of them is written.
        if (mode[0] == 'w') {
            if (onVolume(path)) volume.free += units(n->data->size());
            n->data = newContent();
        }
        else if (n->data.use_count() > 1) n->data = newContent(*n->data);
    }
    Cookie* c = spareCookies.empty() ? new Cookie{} : spareCookies.back();
    if (!spareCookies.empty()) spareCookies.pop_back();
    *c = Cookie{n->data, 0, mode[0] == 'a', !reading && onVolume(path) ? this : nullptr, counted ? this : nullptr,
                nullptr, c->buffer};
    if (counted) markUnsynced(n->data);
    FILE* f = fopencookie(c, mode, {cookieRead, cookieWrite, cookieSeek, cookieClose});
    if (!f) {
        cookieClose(c);
        return f;
    }
    if (counted) {
        c->stream = f;
        countedCookies.push_back(c);
    }
    if (counted || mode[0] == 'a') {
        // Buffered as stdio buffers it by default (BUFSIZ for a stream
        // without a descriptor), in a buffer that serves every open of the
        // cookie instead of one allocated for each: a counted file's writes
        // reach it at its flushes, an appended one (the log: a line in
        // three writes) at its close.
        if (!c->buffer) c->buffer = new char[BUFSIZ];
        setvbuf(f, c->buffer, _IOFBF, BUFSIZ);
    } else {
        // No stdio buffer of its own (a fresh one per open costs more than
        // the calls it saves in memory); callers may still set theirs.
        setvbuf(f, nullptr, _IONBF, 0);
    }
    return f;
}

int MemFs::write(std::string_view path, const std::string& content) {
    FILE* f = open(path, "wb");
    if (!f) return SYS_ERROR_ACCESS_DENIED;
    bool whole = fwrite(content.data(), 1, content.size(), f) == content.size();
    fclose(f);
    return whole ? SYS_OK : SYS_ERROR_DISK_FULL;
}

std::string MemFs::dump() const {
    std::string out;
    dumpInto(root, "", out);
    return out;
}
