#include "archive/package_sign.h"

#include <cstdio>
#include <cstring>

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/wrp_cursor.h"
#include "base/textbuf.h"
#include "platform/sys.h"

namespace {

char hashBlock[1 << 16];

// Both texts have one length, so no message of one kind is a message of
// the other, whatever the digest after it.
const char PACKAGE_DOMAIN[] = "KAVO package signature v2";
const char RELEASE_DOMAIN[] = "KAVO release signature v2";
static_assert(sizeof PACKAGE_DOMAIN == sizeof RELEASE_DOMAIN, "domain texts of one length");

// What the package signature covers, for the first `length` bytes of f.
bool hashPrefix(FILE* f, uint64_t length, uint8_t digest[CRYPTO_DIGEST_BYTES]) {
    if (!sysSeekStart(f)) return false;
    SysHash* h = sysHashBegin();
    if (!h) return false;
    while (length > 0) {
        size_t want = length < sizeof hashBlock ? static_cast<size_t>(length) : sizeof hashBlock;
        if (fread(hashBlock, 1, want, f) != want || !sysHashAdd(h, hashBlock, want)) {
            uint8_t ignored[CRYPTO_DIGEST_BYTES];
            sysHashEnd(h, ignored);
            return false;
        }
        length -= want;
    }
    uint8_t bytes[CRYPTO_DIGEST_BYTES];
    return sysHashEnd(h, bytes) && signedDigest(SignedKind::Package, bytes, digest);
}

bool readAt(FILE* f, uint64_t offset, void* buf, size_t n) {
    return sysSeekTo(f, static_cast<int64_t>(offset)) && fread(buf, 1, n, f) == n;
}

// Length of the archive proper: the position after its final end record.
// False when the records do not lead there.
bool archiveEnd(FILE* f, uint64_t fileLength, uint64_t* end) {
    if (!sysSeekStart(f)) return false;
    WrpCursor cursor(f);
    WrpRecord r;
    while (!cursor.finished()) {
        if (cursor.next(r) != WrpStep::Record) return false;
        if (r.kind == WrpRecordKind::File && !cursor.skipContent(r.size, static_cast<int64_t>(fileLength)))
            return false;
    }
    int64_t here = sysTell(f);
    if (here < 0) return false;
    *end = static_cast<uint64_t>(here);
    return true;
}

// The verdict on a package of `fileLength` bytes held by f, given its last
// SIG_TRAILER_BYTES (when it has that many) and, for a trailer of this key,
// the digest of the bytes before it (`prefixDigest` gets it on demand).
template <typename PrefixDigest>
PackageCheck judgeTrailer(FILE* f, uint64_t fileLength, const uint8_t* trailer,
                          const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], uint64_t* count,
                          PrefixDigest prefixDigest) {
    uint8_t ourId[SIG_KEY_ID_BYTES];
    if (!packageKeyId(publicKey, ourId)) return PackageCheck::Unreadable;
    if (trailer && memcmp(trailer, SIG_MAGIC_V1, SIG_MAGIC_BYTES) == 0) return PackageCheck::OldFormat;
    if (trailer && memcmp(trailer, SIG_MAGIC, SIG_MAGIC_BYTES) == 0) {
        if (memcmp(trailer + SIG_KEY_ID_OFFSET, ourId, SIG_KEY_ID_BYTES) != 0) return PackageCheck::ForeignKey;
        uint8_t digest[CRYPTO_DIGEST_BYTES];
        if (!prefixDigest(digest)) return PackageCheck::Unreadable;
        return sysVerifyDigest(publicKey, digest, trailer + SIG_SIGNATURE_OFFSET) ? PackageCheck::Accepted
                                                                                  : PackageCheck::Mismatch;
    }

    // No trailer at the end: tell from what follows the archive why not.
    uint64_t end;
    if (!archiveEnd(f, fileLength, &end) || end == fileLength) return PackageCheck::Unsigned;
    uint64_t after = fileLength - end;
    size_t compare = after < SIG_MAGIC_BYTES ? static_cast<size_t>(after) : SIG_MAGIC_BYTES;
    uint8_t head[SIG_MAGIC_BYTES];
    if (!readAt(f, end, head, compare) || memcmp(head, SIG_MAGIC, compare) != 0) return PackageCheck::TrailerMalformed;
    if (after < SIG_TRAILER_BYTES) {
        if (count) *count = after;
        return PackageCheck::TrailerCut;
    }
    if (count) *count = after - SIG_TRAILER_BYTES;
    return PackageCheck::BytesAfterTrailer;
}

PackageCheck judge(FILE* f, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], uint64_t* count) {
    int64_t length = sysSeekEnd(f) ? sysTell(f) : -1;
    if (length < 0) return PackageCheck::Unreadable;
    const uint64_t fileLength = static_cast<uint64_t>(length);
    uint8_t trailer[SIG_TRAILER_BYTES];
    bool haveTrailer =
        fileLength >= SIG_TRAILER_BYTES && readAt(f, fileLength - SIG_TRAILER_BYTES, trailer, sizeof trailer);
    return judgeTrailer(f, fileLength, haveTrailer ? trailer : nullptr, publicKey, count,
                        [&](uint8_t* digest) { return hashPrefix(f, fileLength - SIG_TRAILER_BYTES, digest); });
}

// treeHoldsNoKey's walk below the folder in `path` (cap PATH_CAP), which
// it leaves as it found it.
bool noKeyBelow(char* path, const uint8_t* privateKey, const char* who, const char* stop) {
    SysFolderScan* scan = sysScanBegin(path);
    if (!scan) return true;
    const size_t base = strlen(path);
    bool clean = true;
    SysFolderEntry e;
    while (sysScanNext(scan, &e)) {
        size_t n = strlen(e.name);
        if ((n == 1 && e.name[0] == '.') || (n == 2 && e.name[0] == '.' && e.name[1] == '.')) continue;
        // A path too long to walk is one the packer cannot take either.
        if (!appendText(path, PATH_CAP, "\\") || !appendText(path, PATH_CAP, e.name)) {
            path[base] = '\0';
            continue;
        }
        if (e.isFolder) {
            if (!noKeyBelow(path, privateKey, who, stop)) clean = false;
        } else if (n >= 4 && startsWithNoCase(e.name + n - 4, ".key")) {
            logMessage("%s ERROR - key file \"%s\" lies in a folder that is packed or served - %s", who, path, stop);
            clean = false;
        } else if (privateKey && (e.size == CRYPTO_PRIVATE_KEY_BYTES || e.isLink)) {
            uint8_t bytes[CRYPTO_PRIVATE_KEY_BYTES + 1];
            FILE* f = sysOpenFile(path, "rb");
            size_t got = f ? fread(bytes, 1, sizeof bytes, f) : 0;
            if (f) fclose(f);
            if (got == CRYPTO_PRIVATE_KEY_BYTES && memcmp(bytes, privateKey, got) == 0) {
                logMessage("%s ERROR - \"%s\" holds the private key's bytes - %s", who, path, stop);
                clean = false;
            }
            memset(bytes, 0, sizeof bytes);
        }
        path[base] = '\0';
    }
    sysScanEnd(scan);
    return clean;
}

}  // namespace

bool signedDigest(SignedKind kind, const uint8_t bytesDigest[CRYPTO_DIGEST_BYTES],
                  uint8_t digest[CRYPTO_DIGEST_BYTES]) {
    const char* domain = kind == SignedKind::Release ? RELEASE_DOMAIN : PACKAGE_DOMAIN;
    SysHash* h = sysHashBegin();
    if (!h) return false;
    bool ok = sysHashAdd(h, domain, sizeof PACKAGE_DOMAIN) && sysHashAdd(h, bytesDigest, CRYPTO_DIGEST_BYTES);
    return sysHashEnd(h, digest) && ok;
}

bool treeHoldsNoKey(const char* root, const uint8_t* privateKey, const char* who, const char* stop) {
    char path[PATH_CAP];
    if (!root || !copyText(path, sizeof path, root)) return true;
    return noKeyBelow(path, privateKey, who, stop);
}

bool readKeyFile(const char* path, uint8_t* key, size_t bytes) {
    FILE* f = sysOpenFile(path, "rb");
    if (!f) return false;
    uint8_t extra;
    bool ok = fread(key, 1, bytes, f) == bytes && fread(&extra, 1, 1, f) == 0 && key[0] == 0x04;
    fclose(f);
    return ok;
}

bool packageKeyId(const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], uint8_t id[SIG_KEY_ID_BYTES]) {
    uint8_t digest[CRYPTO_DIGEST_BYTES];
    SysHash* h = sysHashBegin();
    if (!h || !sysHashAdd(h, publicKey, CRYPTO_PUBLIC_KEY_BYTES)) {
        if (h) sysHashEnd(h, digest);
        return false;
    }
    if (!sysHashEnd(h, digest)) return false;
    memcpy(id, digest, SIG_KEY_ID_BYTES);
    return true;
}

void keyIdText(const uint8_t id[SIG_KEY_ID_BYTES], char text[2 * SIG_KEY_ID_BYTES + 1]) {
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < SIG_KEY_ID_BYTES; ++i) {
        text[2 * i] = hex[id[i] >> 4];
        text[2 * i + 1] = hex[id[i] & 15];
    }
    text[2 * SIG_KEY_ID_BYTES] = '\0';
}

bool keyHalvesMatch(const uint8_t privateKey[CRYPTO_PRIVATE_KEY_BYTES]) {
    uint8_t digest[CRYPTO_DIGEST_BYTES];
    uint8_t sig[CRYPTO_SIGNATURE_BYTES];
    memset(digest, 0x5A, sizeof digest);
    return sysSignDigest(privateKey, digest, sig) && sysVerifyDigest(privateKey, digest, sig);
}

PackageCheck checkPackageStream(FILE* f, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], uint64_t* count) {
    if (!f) return PackageCheck::Unreadable;
    clearerr(f);
    return judge(f, publicKey, count);
}

PackageCheck checkPackage(const char* path, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], uint64_t* count) {
    FILE* f = path ? sysOpenFile(path, "rb") : nullptr;
    if (!f) return PackageCheck::Unreadable;
    PackageCheck result = judge(f, publicKey, count);
    fclose(f);
    return result;
}

PackageDigests::~PackageDigests() { drop(); }

void PackageDigests::drop() {
    uint8_t ignored[CRYPTO_DIGEST_BYTES];
    if (wholeRun) sysHashEnd(wholeRun, ignored);
    if (prefixRun) sysHashEnd(prefixRun, ignored);
    wholeRun = prefixRun = nullptr;
}

void PackageDigests::begin(uint64_t announced) {
    drop();
    size = announced;
    length = 0;
    memset(trailer, 0, sizeof trailer);
    // One run over the bytes: the signed prefix's digest is a copy of its
    // state taken where the prefix ends.
    wholeRun = sysHashBegin();
    prefixRun = nullptr;
    failed = !wholeRun;
    if (!failed && prefixEnd() == 0) takePrefix();
}

void PackageDigests::takePrefix() {
    prefixRun = sysHashCopy(wholeRun);
    if (!prefixRun) failed = true;
}

void PackageDigests::add(const void* data, size_t n) {
    if (failed || n == 0) return;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const uint64_t split = prefixEnd();
    if (n > size - length) {
        // More than was announced: no package of that size.
        failed = true;
        return;
    }
    uint64_t before = length < split ? split - length : 0;
    size_t toPrefix = before < n ? static_cast<size_t>(before) : n;
    if (toPrefix > 0 && !sysHashAdd(wholeRun, p, toPrefix)) failed = true;
    if (!failed && toPrefix == before && !prefixRun) takePrefix();
    if (toPrefix < n && !sysHashAdd(wholeRun, p + toPrefix, n - toPrefix)) failed = true;
    if (size >= SIG_TRAILER_BYTES && toPrefix < n)
        memcpy(trailer + (length + toPrefix - split), p + toPrefix, n - toPrefix);
    length += n;
}

bool PackageDigests::finish() {
    bool ok = !failed && wholeRun && prefixRun && length == size;
    uint8_t bytes[CRYPTO_DIGEST_BYTES];
    ok = sysHashEnd(wholeRun, whole) && ok;
    ok = sysHashEnd(prefixRun, bytes) && ok;
    ok = ok && signedDigest(SignedKind::Package, bytes, prefix);
    wholeRun = prefixRun = nullptr;
    failed = !ok;
    return ok;
}

PackageCheck checkPackageDigests(FILE* f, const PackageDigests& digests,
                                 const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], uint64_t* count) {
    if (!f) return PackageCheck::Unreadable;
    clearerr(f);
    const uint64_t n = digests.length;
    return judgeTrailer(f, n, n >= SIG_TRAILER_BYTES ? digests.trailer : nullptr, publicKey, count,
                        [&](uint8_t* digest) {
                            memcpy(digest, digests.prefix, CRYPTO_DIGEST_BYTES);
                            return true;
                        });
}

bool verifyPackage(const char* path, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], FILE* f,
                   const PackageDigests* digests) {
    uint8_t id[SIG_KEY_ID_BYTES] = {};
    char idText[2 * SIG_KEY_ID_BYTES + 1];
    packageKeyId(publicKey, id);
    keyIdText(id, idText);
    double start = nowSeconds();
    uint64_t count = 0;
    PackageCheck result = f && digests ? checkPackageDigests(f, *digests, publicKey, &count)
                          : f        ? checkPackageStream(f, publicKey, &count)
                                     : checkPackage(path, publicKey, &count);
    const char* p = path ? path : "";
    switch (result) {
        case PackageCheck::Accepted:
            logMessage("verifyPackage \"%s\" - signature ok (key %s) - %.1lf sec", p, idText, nowSeconds() - start);
            return true;
        case PackageCheck::Unreadable: logMessage("verifyPackage ERROR - \"%s\" cannot be read - refused", p); break;
        case PackageCheck::Unsigned: logMessage("verifyPackage ERROR - \"%s\" is not signed - refused", p); break;
        case PackageCheck::TrailerCut:
            logMessage("verifyPackage ERROR - \"%s\" signature cut short (%llu of %u bytes) - refused", p,
                       static_cast<unsigned long long>(count), static_cast<unsigned>(SIG_TRAILER_BYTES));
            break;
        case PackageCheck::TrailerMalformed:
            logMessage("verifyPackage ERROR - \"%s\" has bytes after the archive that are no signature - refused", p);
            break;
        case PackageCheck::ForeignKey:
            logMessage("verifyPackage ERROR - \"%s\" is not signed with key %s - refused", p, idText);
            break;
        case PackageCheck::BytesAfterTrailer:
            logMessage("verifyPackage ERROR - \"%s\" has %llu bytes after its signature - refused", p,
                       static_cast<unsigned long long>(count));
            break;
        case PackageCheck::Mismatch:
            logMessage("verifyPackage ERROR - \"%s\" signature does not match its content - refused", p);
            break;
        case PackageCheck::OldFormat:
            logMessage("verifyPackage ERROR - \"%s\" is signed in the old format (%s): sign it again - refused", p,
                       SIG_MAGIC_V1);
            break;
    }
    return false;
}

bool signPackage(const char* path, const uint8_t privateKey[CRYPTO_PRIVATE_KEY_BYTES]) {
    const char* p = path ? path : "";
    const char* why = nullptr;
    uint8_t trailer[SIG_TRAILER_BYTES];
    uint64_t end = 0;
    FILE* f = path ? sysOpenFile(path, "r+b") : nullptr;
    int64_t length = f && sysSeekEnd(f) ? sysTell(f) : -1;
    if (!keyHalvesMatch(privateKey)) {
        why = "cannot be signed: the private key's two halves do not belong together";
    } else if (length < 0) {
        why = "cannot be opened";
    } else if (!archiveEnd(f, static_cast<uint64_t>(length), &end)) {
        why = "is no whole archive";
    } else {
        uint64_t after = static_cast<uint64_t>(length) - end;
        // Only a trailer of its own may follow the archive: it is replaced.
        if (after != 0 && (after != SIG_TRAILER_BYTES || !readAt(f, end, trailer, SIG_MAGIC_BYTES) ||
                           (memcmp(trailer, SIG_MAGIC, SIG_MAGIC_BYTES) != 0 &&
                            memcmp(trailer, SIG_MAGIC_V1, SIG_MAGIC_BYTES) != 0)))
            why = "has bytes after its final end record";
    }
    uint8_t digest[CRYPTO_DIGEST_BYTES];
    if (!why && (!packageKeyId(privateKey, trailer + SIG_KEY_ID_OFFSET) || !hashPrefix(f, end, digest) ||
                 !sysSignDigest(privateKey, digest, trailer + SIG_SIGNATURE_OFFSET)))
        why = "cannot be signed with this key";
    if (!why) {
        memcpy(trailer, SIG_MAGIC, SIG_MAGIC_BYTES);
        if (!sysSeekTo(f, static_cast<int64_t>(end)) || fwrite(trailer, 1, sizeof trailer, f) != sizeof trailer)
            why = "cannot be written";
    }
    if (f && fclose(f) != 0 && !why) why = "cannot be written";
    // What reached the disk must be what an installer accepts.
    if (!why && checkPackage(path, privateKey, nullptr) != PackageCheck::Accepted)
        why = "does not verify after signing";
    if (why) {
        logMessage("sign ERROR - \"%s\" %s - not signed", p, why);
        return false;
    }
    char idText[2 * SIG_KEY_ID_BYTES + 1];
    keyIdText(trailer + SIG_KEY_ID_OFFSET, idText);
    logMessage("sign \"%s\" - key %s", p, idText);
    return true;
}
