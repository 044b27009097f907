// The signature trailer reader (checkPackage) against a model written here
// from the trailer layout and the archive grammar.  The input is an archive,
// signed by the harness with the installer's key, another key or not at
// all, then changed in one way: a byte flipped, the end cut off, or bytes
// appended.  The model judges the file on its own: a package is accepted
// only when it is byte for byte what the harness signed with our key.
//
// Input: [0] how to sign (0 ours, 1 another key, 2 not at all, 3 ours but
// as the other kind of file: a release signature on a package, a package
// signature on a release) and how to change (high bits: 0 none, 1 flip,
// 2 cut, 3 append); [1..2] position (little-endian, from the end of the
// file); [3] flip mask; then the archive.  Bytes to append are taken from
// the archive's own end.
//
// With bit 0x20 of [0] the same is done to a release file instead
// (parseRelease against a model of the release layout of its own): [4]
// bit 0 the edition the installer expects, bit 1 the edition of the
// release built; then triples (offset, two bytes little-endian, and a byte)
// written over that well-formed release body before it is signed.  An
// accepted release is also judged for expiry at a fixed time, and its
// expiry's date text against the C library's calendar.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>

#include "archive/package_sign.h"
#include "archive/release_file.h"
#include "platform/crypto.h"
#include "platform/sys_memory.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/unit/fake_ui.h"

namespace {

const char MAGIC[] = "WRPSIGN2";   // the layout: magic 8, key id 8, r||s 64
const char OLD_MAGIC[] = "WRPSIGN1";
const size_t TRAILER = 80;
// Each kind of signature covers SHA-256 of its domain text (NUL included)
// followed by the SHA-256 of the signed bytes.
const char PACKAGE_DOMAIN[] = "KAVO package signature v2";
const char RELEASE_DOMAIN[] = "KAVO release signature v2";

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

// Signing is the harness's dearest step; mutations that change only the
// first bytes of an input sign the same content again, so trailers are kept
// (a signature of the right key over the right digest is as good as a new one).
std::string trailerFor(const std::string& archive, const uint8_t* key, const std::string& id, const char* domain) {
    static std::unordered_map<std::string, std::string> made;
    std::string digest = std::string(domain, strlen(domain) + 1) + Keys::digestOf(archive.data(), archive.size());
    digest = Keys::digestOf(digest.data(), digest.size());
    auto found = made.find(id + digest);
    if (found != made.end()) return found->second;
    uint8_t sig[CRYPTO_SIGNATURE_BYTES];
    if (!sysSignDigest(key, reinterpret_cast<const uint8_t*>(digest.data()), sig)) abort();
    if (made.size() > 4096) made.clear();
    return made[id + digest] = std::string(MAGIC, 8) + id + std::string(reinterpret_cast<char*>(sig), sizeof sig);
}

// `content` signed as [0] says, as a file of the kind `domain` names, then
// changed as [0..3] say; `signedByUs` gets it signed with our key for its
// kind and unchanged (empty when not signed so).
std::string signedAndChanged(const uint8_t* data, const std::string& content, const Keys& keys, const char* domain,
                             std::string* signedByUs) {
    int how = data[0] & 3, change = data[0] >> 6;
    const char* otherDomain = domain == PACKAGE_DOMAIN ? RELEASE_DOMAIN : PACKAGE_DOMAIN;
    std::string file = content;
    if (how == 0) file += trailerFor(content, keys.ours, keys.oursId, domain), *signedByUs = file;
    if (how == 1) file += trailerFor(content, keys.other, keys.otherId, domain);
    if (how == 3) file += trailerFor(content, keys.ours, keys.oursId, otherDomain);
    size_t back = data[1] | data[2] << 8;
    if (change == 1 && back < file.size()) file[file.size() - 1 - back] = static_cast<char>(file[file.size() - 1 - back] ^ data[3]);
    if (change == 2) file.resize(back < file.size() ? file.size() - back : 0);
    if (change == 3) file += content.substr(content.size() - (back < content.size() ? back : content.size()));
    return file;
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
    if (n >= TRAILER && f.compare(n - TRAILER, 8, OLD_MAGIC) == 0) return PackageCheck::OldFormat;
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

// ---- the release file ------------------------------------------------------
// Layout: magic 8, edition 1, number 8, expiry 8, eight packages of name 16,
// size 8, hash 32, two version files of name 20, present 1, size 8, hash 32,
// then the 80-byte trailer; padding zero.
const size_t BODY = 8 + 1 + 8 + 8 + 8 * 56 + 2 * 61;   // 595
const size_t EXPIRY = 17, PACKAGES = 25, VERSIONS = PACKAGES + 8 * 56;
// The installer's clock for the expiry; the releases built expire later
// (2033-05-18 03:33:20 UTC) unless an input writes over their expiry.
const uint64_t NOW = 1700000000;
const char* const PACKAGE[8] = {"KAVO.wrp", "OSKE_EXE.wrp", "OSKE_ALL.wrp", "VELN_EXE.wrp",
                                "VELN_ALL.wrp", "UBRA_EXE.wrp", "UBRA_ALL.wrp", "KAVO_EXE.wrp"};
const char* versionName(bool test, int slot) {
    if (test) return slot == 0 ? "update_TEST.ini" : "launcher_TEST.ini";
    return slot == 0 ? "update.ini" : "";
}

std::string wellFormedBody(bool test) {
    std::string b(BODY, '\0');
    memcpy(&b[0], "KAVOREL2", 8);
    b[8] = test ? 1 : 0;
    b[9] = 7;
    for (int i = 0; i < 8; ++i) b[EXPIRY + i] = static_cast<char>(uint64_t{2000000000} >> (8 * i));
    for (int i = 0; i < 8; ++i) {
        size_t at = PACKAGES + 56 * i;
        memcpy(&b[at], PACKAGE[i], strlen(PACKAGE[i]));
        b[at + 16] = static_cast<char>(10 + i);
        b[at + 24] = static_cast<char>(0xA0 + i);
    }
    for (int j = 0; j < 2; ++j) {
        size_t at = VERSIONS + 61 * j;
        const char* name = versionName(test, j);
        memcpy(&b[at], name, strlen(name));
        if (*name && j == 0) {
            b[at + 20] = 1;
            b[at + 21] = 5;
            b[at + 29] = 0x33;
        }
    }
    return b;
}

bool zeros(const std::string& f, size_t at, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (f[at + i]) return false;
    return true;
}

bool field(const std::string& f, size_t at, size_t width, const char* name) {
    size_t n = strlen(name);
    return f.compare(at, n, name) == 0 && zeros(f, at + n, width - n);
}

ReleaseCheck modelRelease(const std::string& f, const std::string& signedByUs, const std::string& ourId,
                          bool expectTest) {
    size_t n = f.size();
    if (n < 8) return ReleaseCheck::Cut;
    if (f.compare(0, 8, "KAVOREL1") == 0) return ReleaseCheck::OldFormat;
    if (f.compare(0, 8, "KAVOREL2") != 0) return ReleaseCheck::NotARelease;
    if (n == BODY) return ReleaseCheck::Unsigned;
    if (n < BODY + TRAILER) return ReleaseCheck::Cut;
    if (n > BODY + TRAILER) return ReleaseCheck::ExtraBytes;
    if (f.compare(BODY, 8, MAGIC) != 0) return ReleaseCheck::Unsigned;
    if (f.compare(BODY + 8, 8, ourId) != 0) return ReleaseCheck::ForeignKey;
    if (signedByUs.empty() || f != signedByUs) return ReleaseCheck::Mismatch;
    uint8_t edition = static_cast<uint8_t>(f[8]);
    bool ok = edition <= 1;
    bool test = edition == 1;
    for (int i = 0; ok && i < 8; ++i) ok = field(f, PACKAGES + 56 * i, 16, PACKAGE[i]);
    for (int j = 0; ok && j < 2; ++j) {
        size_t at = VERSIONS + 61 * j;
        const char* name = versionName(test, j);
        uint8_t present = static_cast<uint8_t>(f[at + 20]);
        ok = field(f, at, 20, name) && present <= 1 &&
             ((present == 1 && *name) || (present == 0 && zeros(f, at + 21, 40)));
    }
    if (!ok) return ReleaseCheck::Malformed;
    return test == expectTest ? ReleaseCheck::Accepted : ReleaseCheck::OtherEdition;
}

void fuzzRelease(const uint8_t* data, size_t size, const Keys& keys) {
    if (size < 5) return;
    bool expectTest = data[4] & 1;
    std::string body = wellFormedBody(data[4] & 2);
    for (size_t i = 5; i + 3 <= size; i += 3) body[(data[i] | data[i + 1] << 8) % BODY] = static_cast<char>(data[i + 2]);
    std::string signedByUs;
    std::string file = signedAndChanged(data, body, keys, RELEASE_DOMAIN, &signedByUs);

    ReleaseInfo info;
    ReleaseCheck result = parseRelease(reinterpret_cast<const uint8_t*>(file.data()), file.size(), keys.ours,
                                       expectTest, &info);
    ReleaseCheck expected = modelRelease(file, signedByUs, keys.oursId, expectTest);
    if (result != expected || (result == ReleaseCheck::Accepted && memcmp(info.bytes, file.data(), file.size()) != 0)) {
        fprintf(stderr, "\n*** fuzz_signature: parseRelease gave %d, the model %d for %zu bytes\n",
                static_cast<int>(result), static_cast<int>(expected), file.size());
        abort();
    }
    if (result != ReleaseCheck::Accepted) return;
    uint64_t expires = 0;
    for (int i = 7; i >= 0; --i) expires = expires << 8 | static_cast<uint8_t>(file[EXPIRY + i]);
    // Expired from the second it names on; the date as the C library's
    // calendar gives it, wherever that reaches.
    char text[REL_TIME_TEXT_BYTES], want[64] = "";
    time_t t = static_cast<time_t>(expires);
    struct tm tm;
    bool dated = releaseTimeText(expires, text, sizeof text);
    if (static_cast<uint64_t>(t) == expires && t >= 0 && gmtime_r(&t, &tm))
        strftime(want, sizeof want, "%Y-%m-%d %H:%M UTC", &tm);
    if (info.expires != expires || releaseExpired(info, NOW) != (NOW >= expires) || !dated ||
        (*want && strcmp(text, want) != 0)) {
        fprintf(stderr, "\n*** fuzz_signature: expiry %llu read as %llu, expired %d, dated \"%s\" (the calendar: \"%s\")\n",
                static_cast<unsigned long long>(expires), static_cast<unsigned long long>(info.expires),
                releaseExpired(info, NOW), dated ? text : "", want);
        abort();
    }
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
    if (data[0] & 0x20) {
        fuzzRelease(data, size, keys);
        return 0;
    }
    MemReleaseAtEnd release;
    resetAppState();
    memReset(start, "/w");

    std::string archive(reinterpret_cast<const char*>(data) + 4, size - 4);
    std::string signedByUs;
    std::string file = signedAndChanged(data, archive, keys, PACKAGE_DOMAIN, &signedByUs);

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
