// The signature trailer reader (checkPackage) against a model written here
// from the trailer layout and the archive grammar.  The input is an archive,
// signed by the harness with the installer's key, another key or not at
// all, then changed in one way: a byte flipped, the end cut off, or bytes
// appended.  The model judges the file on its own: a package is accepted
// only when it is byte for byte what the harness signed with our key.
//
// Input: [0] how to sign (0 ours, 1 another key, 2 not at all) and how to
// change (high bits: 0 none, 1 flip, 2 cut, 3 append); [1..2] position
// (little-endian, from the end of the file); [3] flip mask; then the archive.
// Bytes to append are taken from the archive's own end.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/package_sign.h"
#include "platform/crypto.h"
#include "platform/sys_memory.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/unit/fake_ui.h"

namespace {

const char MAGIC[] = "WRPSIGN1";   // the layout: magic 8, key id 8, r||s 64
const size_t TRAILER = 80;

struct Keys {
    uint8_t ours[CRYPTO_PRIVATE_KEY_BYTES], other[CRYPTO_PRIVATE_KEY_BYTES];
    std::string oursId, otherId;
    Keys() {
        if (!sysNewKeyPair(ours) || !sysNewKeyPair(other)) abort();
        oursId = idOf(ours);
        otherId = idOf(other);
    }
    static std::string digestOf(const void* data, size_t n) {
        uint8_t d[CRYPTO_DIGEST_BYTES];
        SysHash* h = sysHashBegin();
        if (!h || !sysHashAdd(h, data, n) || !sysHashEnd(h, d)) abort();
        return std::string(reinterpret_cast<char*>(d), sizeof d);
    }
    static std::string idOf(const uint8_t* key) { return digestOf(key, CRYPTO_PUBLIC_KEY_BYTES).substr(0, 8); }
};

std::string trailerFor(const std::string& archive, const uint8_t* key, const std::string& id) {
    std::string digest = Keys::digestOf(archive.data(), archive.size());
    uint8_t sig[CRYPTO_SIGNATURE_BYTES];
    if (!sysSignDigest(key, reinterpret_cast<const uint8_t*>(digest.data()), sig)) abort();
    return std::string(MAGIC, 8) + id + std::string(reinterpret_cast<char*>(sig), sizeof sig);
}

// Where the archive ends: past the end record that closes the outermost
// listing.  Type bits are tested 0x01 (folder), 0x02 (file), 0x04 (end);
// other bytes are skipped.  npos when the bytes run out first.
size_t archiveEnd(const std::string& f) {
    size_t p = 0, depth = 1;
    while (p < f.size()) {
        uint8_t t = static_cast<uint8_t>(f[p++]);
        if (t & 3) {
            if (p >= f.size()) return std::string::npos;
            p += 1 + static_cast<uint8_t>(f[p]);
            if (t & 1) {
                ++depth;
            } else {
                if (p + 4 > f.size()) return std::string::npos;
                uint64_t s = static_cast<uint8_t>(f[p]) | static_cast<uint8_t>(f[p + 1]) << 8 |
                             static_cast<uint8_t>(f[p + 2]) << 16 | static_cast<uint64_t>(static_cast<uint8_t>(f[p + 3])) << 24;
                p += 4 + s;
            }
            if (p > f.size()) return std::string::npos;
        } else if (t & 4) {
            if (--depth == 0) return p;
        }
    }
    return std::string::npos;
}

PackageCheck model(const std::string& f, const std::string& signedByUs, const std::string& ourId, uint64_t* count) {
    size_t n = f.size();
    if (n >= TRAILER && f.compare(n - TRAILER, 8, MAGIC) == 0) {
        if (f.compare(n - TRAILER + 8, 8, ourId) != 0) return PackageCheck::ForeignKey;
        return !signedByUs.empty() && f == signedByUs ? PackageCheck::Accepted : PackageCheck::Mismatch;
    }
    size_t end = archiveEnd(f);
    if (end == std::string::npos || end == n) return PackageCheck::Unsigned;
    size_t after = n - end;
    if (f.compare(end, after < 8 ? after : 8, MAGIC, after < 8 ? after : 8) != 0) return PackageCheck::TrailerMalformed;
    *count = after < TRAILER ? after : after - TRAILER;
    return after < TRAILER ? PackageCheck::TrailerCut : PackageCheck::BytesAfterTrailer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Keys keys;
    static const MemFs start = [] {
        MemFs fs;
        fs.put("/run", true);
        fs.put("/w", true);
        return fs;
    }();
    if (size < 4) return 0;
    MemReleaseAtEnd release;
    resetAppState();
    memReset(start, "/w");

    std::string archive(reinterpret_cast<const char*>(data) + 4, size - 4);
    int how = data[0] & 3, change = data[0] >> 6;
    std::string file = archive, signedByUs;
    if (how == 0) file += trailerFor(archive, keys.ours, keys.oursId), signedByUs = file;
    if (how == 1) file += trailerFor(archive, keys.other, keys.otherId);
    size_t back = data[1] | data[2] << 8;
    if (change == 1 && back < file.size()) file[file.size() - 1 - back] = static_cast<char>(file[file.size() - 1 - back] ^ data[3]);
    if (change == 2) file.resize(back < file.size() ? file.size() - back : 0);
    if (change == 3) file += archive.substr(archive.size() - (back < archive.size() ? back : archive.size()));

    memFs.write("/w/p.wrp", file);
    uint64_t got = 0, want = 0;
    PackageCheck result = checkPackage("/w/p.wrp", keys.ours, &got);
    PackageCheck expected = model(file, signedByUs, keys.oursId, &want);
    bool hasCount = expected == PackageCheck::TrailerCut || expected == PackageCheck::BytesAfterTrailer;
    if (result != expected || (hasCount && got != want)) {
        fprintf(stderr, "\n*** fuzz_signature: checkPackage gave %d (count %llu), the model %d (count %llu) for %zu bytes\n",
                static_cast<int>(result), static_cast<unsigned long long>(got), static_cast<int>(expected),
                static_cast<unsigned long long>(want), file.size());
        abort();
    }
    return 0;
}
