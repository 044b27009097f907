#include "archive/release_file.h"

#include <cstring>

#include "app/eventlog.h"
#include "app/globals.h"
#include "base/textbuf.h"
#include "platform/sys.h"

const char* const RELEASE_PACKAGE_NAMES[REL_PACKAGES] = {
    "KAVO.wrp", "OSKE_EXE.wrp", "OSKE_ALL.wrp", "VELN_EXE.wrp",
    "VELN_ALL.wrp", "UBRA_EXE.wrp", "UBRA_ALL.wrp", "KAVO_EXE.wrp",
};

const char* releaseVersionName(bool test, size_t slot) {
    static const char* const normal[REL_VERSION_FILES] = {"update.ini", ""};
    static const char* const testNames[REL_VERSION_FILES] = {"update_TEST.ini", "launcher_TEST.ini"};
    return slot < REL_VERSION_FILES ? (test ? testNames : normal)[slot] : "";
}

namespace {

// The one reader of the release body: every take is bounded by the bytes
// given, so no field can reach past them.
class ReleaseCursor {
public:
    ReleaseCursor(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool take(void* out, size_t k) {
        if (k > n_ - at_) return false;
        memcpy(out, p_ + at_, k);
        at_ += k;
        return true;
    }
    bool u8(uint8_t* v) { return take(v, 1); }
    bool u64(uint64_t* v) {
        uint8_t b[8];
        if (!take(b, sizeof b)) return false;
        *v = 0;
        for (int i = 7; i >= 0; --i) *v = (*v << 8) | b[i];
        return true;
    }
    // A NUL-padded name field: exactly `expected`, zeros after it.
    bool name(size_t width, const char* expected, char* out) {
        char field[32] = {};
        if (width >= sizeof field || !take(field, width)) return false;
        size_t n = strlen(expected);
        if (n >= width || memcmp(field, expected, n) != 0) return false;
        for (size_t i = n; i < width; ++i)
            if (field[i] != '\0') return false;
        memcpy(out, expected, n + 1);
        return true;
    }

private:
    const uint8_t* p_;
    size_t n_;
    size_t at_ = 0;
};

void putU64(uint8_t* out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool digestOf(const uint8_t* bytes, size_t n, uint8_t digest[CRYPTO_DIGEST_BYTES]) {
    SysHash* h = sysHashBegin();
    if (!h) return false;
    if (!sysHashAdd(h, bytes, n)) {
        sysHashEnd(h, digest);
        return false;
    }
    return sysHashEnd(h, digest);
}

bool allZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

// The body's fields, by the rules of the header; false on the first that
// breaks them.
bool readBody(const uint8_t* body, bool* test, ReleaseInfo* info) {
    ReleaseCursor c(body, REL_BODY_BYTES);
    uint8_t magic[REL_MAGIC_BYTES], edition;
    if (!c.take(magic, sizeof magic) || !c.u8(&edition) || edition > 1 || !c.u64(&info->number) ||
        !c.u64(&info->expires))
        return false;
    *test = edition == 1;
    info->test = *test;
    for (size_t i = 0; i < REL_PACKAGES; ++i) {
        ReleaseEntry& e = info->packages[i];
        e.present = true;
        if (!c.name(REL_PACKAGE_NAME_BYTES, RELEASE_PACKAGE_NAMES[i], e.name) || !c.u64(&e.size) ||
            !c.take(e.sha256, sizeof e.sha256))
            return false;
    }
    for (size_t i = 0; i < REL_VERSION_FILES; ++i) {
        ReleaseEntry& e = info->versions[i];
        uint8_t present;
        const char* name = releaseVersionName(*test, i);
        if (!c.name(REL_VERSION_NAME_BYTES, name, e.name) || !c.u8(&present) || present > 1 || !c.u64(&e.size) ||
            !c.take(e.sha256, sizeof e.sha256))
            return false;
        e.present = present == 1;
        if ((!e.present || !*name) && (e.present || e.size != 0 || !allZero(e.sha256, sizeof e.sha256))) return false;
    }
    return true;
}

// What the release signature covers: the release kind's digest over the body.
bool releaseDigest(const uint8_t* body, uint8_t digest[CRYPTO_DIGEST_BYTES]) {
    uint8_t bytes[CRYPTO_DIGEST_BYTES];
    return digestOf(body, REL_BODY_BYTES, bytes) && signedDigest(SignedKind::Release, bytes, digest);
}

bool joinPath(char* out, const char* a, const char* b) {
    return copyText(out, PATH_CAP, a) && appendText(out, PATH_CAP, b);
}

}  // namespace

bool hashStream(FILE* f, uint8_t digest[CRYPTO_DIGEST_BYTES], uint64_t* length) {
    static char block[1 << 16];
    if (!f || !sysSeekStart(f)) return false;
    clearerr(f);
    SysHash* h = sysHashBegin();
    if (!h) return false;
    uint64_t total = 0;
    size_t got;
    while ((got = fread(block, 1, sizeof block, f)) > 0) {
        if (!sysHashAdd(h, block, got)) {
            sysHashEnd(h, digest);
            return false;
        }
        total += got;
    }
    bool ok = !ferror(f);
    if (!sysHashEnd(h, digest)) return false;
    *length = total;
    return ok;
}

ReleaseCheck parseRelease(const uint8_t* bytes, size_t n, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], bool test,
                          ReleaseInfo* info) {
    if (n < REL_MAGIC_BYTES) return ReleaseCheck::Cut;
    if (memcmp(bytes, REL_MAGIC_V1, REL_MAGIC_BYTES) == 0) return ReleaseCheck::OldFormat;
    if (memcmp(bytes, REL_MAGIC, REL_MAGIC_BYTES) != 0) return ReleaseCheck::NotARelease;
    if (n == REL_BODY_BYTES) return ReleaseCheck::Unsigned;
    if (n < REL_FILE_BYTES) return ReleaseCheck::Cut;
    if (n > REL_FILE_BYTES) return ReleaseCheck::ExtraBytes;
    const uint8_t* trailer = bytes + REL_BODY_BYTES;
    if (memcmp(trailer, SIG_MAGIC, SIG_MAGIC_BYTES) != 0) return ReleaseCheck::Unsigned;
    uint8_t id[SIG_KEY_ID_BYTES], digest[CRYPTO_DIGEST_BYTES];
    if (!packageKeyId(publicKey, id) || !releaseDigest(bytes, digest)) return ReleaseCheck::Unreadable;
    if (memcmp(trailer + SIG_KEY_ID_OFFSET, id, SIG_KEY_ID_BYTES) != 0) return ReleaseCheck::ForeignKey;
    if (!sysVerifyDigest(publicKey, digest, trailer + SIG_SIGNATURE_OFFSET)) return ReleaseCheck::Mismatch;
    ReleaseInfo parsed;
    bool isTest = false;
    if (!readBody(bytes, &isTest, &parsed)) return ReleaseCheck::Malformed;
    if (isTest != test) return ReleaseCheck::OtherEdition;
    memcpy(parsed.bytes, bytes, REL_FILE_BYTES);
    if (info) *info = parsed;
    return ReleaseCheck::Accepted;
}

ReleaseCheck readReleaseFile(const char* path, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], bool test,
                             ReleaseInfo* info) {
    FILE* f = path ? sysOpenFile(path, "rb") : nullptr;
    if (!f) return ReleaseCheck::Unreadable;
    uint8_t bytes[REL_FILE_BYTES + 1];
    size_t n = fread(bytes, 1, sizeof bytes, f);
    bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) return ReleaseCheck::Unreadable;
    return parseRelease(bytes, n, publicKey, test, info);
}

const char* releaseCheckText(ReleaseCheck c) {
    switch (c) {
        case ReleaseCheck::Accepted: return "accepted";
        case ReleaseCheck::Unreadable: return "cannot be read";
        case ReleaseCheck::Cut: return "is cut short";
        case ReleaseCheck::ExtraBytes: return "has bytes after its signature";
        case ReleaseCheck::NotARelease: return "is no release file";
        case ReleaseCheck::OldFormat: return "is of the earlier format KAVOREL1";
        case ReleaseCheck::Unsigned: return "is not signed";
        case ReleaseCheck::ForeignKey: return "is not signed with this installer's key";
        case ReleaseCheck::Mismatch: return "signature does not match its content";
        case ReleaseCheck::Malformed: return "is signed but malformed";
        case ReleaseCheck::OtherEdition: return "is the release of the other edition";
    }
    return "is refused";
}

bool releaseExpired(const ReleaseInfo& r, uint64_t nowUtcSeconds) { return nowUtcSeconds >= r.expires; }

bool releaseTimeText(uint64_t t, char* out, size_t cap) {
    if (!out || cap == 0) return false;
    // The civil date of a day count from 1970-01-01 (proleptic Gregorian,
    // eras of 400 years starting on 0000-03-01), in unsigned arithmetic:
    // the count is never negative.
    uint64_t z = t / 86400 + 719468, era = z / 146097, doe = z - era * 146097;
    uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    uint64_t day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
    uint64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0), minutes = t % 86400 / 60;
    if (formatText(out, cap, "%04llu-%02llu-%02llu %02llu:%02llu UTC", static_cast<unsigned long long>(year),
                   static_cast<unsigned long long>(month), static_cast<unsigned long long>(day),
                   static_cast<unsigned long long>(minutes / 60), static_cast<unsigned long long>(minutes % 60)))
        return true;
    out[0] = '\0';
    return false;
}

bool parseExpiryDays(const char* text, uint32_t* days) {
    if (!text || !*text || !days) return false;
    uint32_t v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + static_cast<uint32_t>(*p - '0');
        if (v > REL_MAX_EXPIRY_DAYS) return false;
    }
    if (v == 0) return false;
    *days = v;
    return true;
}

const ReleaseEntry* releasePackage(const ReleaseInfo& r, const char* fileName) {
    if (!fileName) return nullptr;
    for (const ReleaseEntry& e : r.packages)
        if (strcmp(e.name, fileName) == 0) return &e;
    return nullptr;
}

bool writeRelease(const char* root, bool test, uint64_t number, uint64_t expires,
                  const uint8_t privateKey[CRYPTO_PRIVATE_KEY_BYTES]) {
    char folder[PATH_CAP], path[PATH_CAP], releasePath[PATH_CAP], tempPath[PATH_CAP];
    if (!joinPath(folder, root, test ? "\\wrp_TEST\\" : "\\wrp\\") ||
        !joinPath(releasePath, folder, "KAVO.release") || !joinPath(tempPath, releasePath, ".new")) {
        logMessage("release ERROR - path too long (%s)", root);
        return false;
    }
    if (!keyHalvesMatch(privateKey)) {
        logMessage("release ERROR - the private key's two halves do not belong together - nothing written");
        return false;
    }
    // The root is served: no key may lie anywhere in it.
    if (!treeHoldsNoKey(root, privateKey, "release", "nothing written; keep it elsewhere")) return false;
    // Every package must be there before anything is signed.
    for (const char* name : RELEASE_PACKAGE_NAMES) {
        if (!joinPath(path, folder, name) || sysPathKind(path) != 1) {
            logMessage("release ERROR - \"%s%s\" missing - nothing written", folder, name);
            return false;
        }
    }

    uint8_t file[REL_FILE_BYTES] = {};
    memcpy(file, REL_MAGIC, REL_MAGIC_BYTES);
    file[REL_MAGIC_BYTES] = test ? 1 : 0;
    putU64(file + REL_NUMBER_OFFSET, number);
    putU64(file + REL_EXPIRES_OFFSET, expires);
    for (size_t i = 0; i < REL_PACKAGES; ++i) {
        joinPath(path, folder, RELEASE_PACKAGE_NAMES[i]);
        if (!signPackage(path, privateKey)) return false;
        uint8_t* e = file + REL_PACKAGES_OFFSET + i * REL_PACKAGE_ENTRY_BYTES;
        memcpy(e, RELEASE_PACKAGE_NAMES[i], strlen(RELEASE_PACKAGE_NAMES[i]));
        uint64_t size = 0;
        FILE* f = sysOpenFile(path, "rb");
        bool hashed = f && hashStream(f, e + REL_PACKAGE_NAME_BYTES + 8, &size);
        if (f) fclose(f);
        if (!hashed) {
            logMessage("release ERROR - \"%s\" cannot be read - nothing written", path);
            return false;
        }
        putU64(e + REL_PACKAGE_NAME_BYTES, size);
    }
    for (size_t i = 0; i < REL_VERSION_FILES; ++i) {
        const char* name = releaseVersionName(test, i);
        uint8_t* e = file + REL_VERSIONS_OFFSET + i * REL_VERSION_ENTRY_BYTES;
        if (!*name) continue;
        memcpy(e, name, strlen(name));
        if (!joinPath(path, root, "\\") || !appendText(path, PATH_CAP, name) || sysPathKind(path) != 1) continue;
        uint64_t size = 0;
        FILE* f = sysOpenFile(path, "rb");
        bool hashed = f && hashStream(f, e + REL_VERSION_NAME_BYTES + 1 + 8, &size);
        if (f) fclose(f);
        if (!hashed) {
            logMessage("release ERROR - \"%s\" cannot be read - nothing written", path);
            return false;
        }
        e[REL_VERSION_NAME_BYTES] = 1;
        putU64(e + REL_VERSION_NAME_BYTES + 1, size);
    }

    uint8_t digest[CRYPTO_DIGEST_BYTES];
    uint8_t* trailer = file + REL_BODY_BYTES;
    memcpy(trailer, SIG_MAGIC, SIG_MAGIC_BYTES);
    if (!releaseDigest(file, digest) || !packageKeyId(privateKey, trailer + SIG_KEY_ID_OFFSET) ||
        !sysSignDigest(privateKey, digest, trailer + SIG_SIGNATURE_OFFSET)) {
        logMessage("release ERROR - \"%s\" cannot be signed - nothing written", releasePath);
        return false;
    }
    // Written beside, then put in place in one step: a reader never sees
    // half a release file.
    FILE* out = sysOpenFile(tempPath, "wb");
    bool written = out && fwrite(file, 1, sizeof file, out) == sizeof file;
    if (out && fclose(out) != 0) written = false;
    if (!written || sysReplaceFile(tempPath, releasePath) != SYS_OK) {
        sysDeleteFile(tempPath);
        logMessage("release ERROR - \"%s\" cannot be written", releasePath);
        return false;
    }
    ReleaseCheck back = readReleaseFile(releasePath, privateKey, test, nullptr);
    if (back != ReleaseCheck::Accepted) {
        logMessage("release ERROR - \"%s\" %s after writing", releasePath, releaseCheckText(back));
        return false;
    }
    char idText[2 * SIG_KEY_ID_BYTES + 1], until[REL_TIME_TEXT_BYTES];
    keyIdText(trailer + SIG_KEY_ID_OFFSET, idText);
    releaseTimeText(expires, until, sizeof until);
    logMessage("release \"%s\" - number %llu, %s edition, key %s, expires %s", releasePath,
               static_cast<unsigned long long>(number), test ? "TEST" : "normal", idText, until);
    return true;
}

bool verifyRelease(const char* path, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], uint64_t nowUtcSeconds) {
    const char* p = path ? path : "";
    ReleaseInfo info;
    ReleaseCheck result = readReleaseFile(path, publicKey, false, &info);
    if (result == ReleaseCheck::OtherEdition) result = readReleaseFile(path, publicKey, true, &info);
    char until[REL_TIME_TEXT_BYTES];
    if (result != ReleaseCheck::Accepted) {
        logMessage("verifyRelease ERROR - \"%s\" %s - refused", p, releaseCheckText(result));
        return false;
    }
    releaseTimeText(info.expires, until, sizeof until);
    if (releaseExpired(info, nowUtcSeconds)) {
        logMessage("verifyRelease ERROR - \"%s\" expired on %s - refused", p, until);
        return false;
    }
    char idText[2 * SIG_KEY_ID_BYTES + 1];
    keyIdText(info.bytes + REL_BODY_BYTES + SIG_KEY_ID_OFFSET, idText);
    logMessage("verifyRelease \"%s\" - release %llu (%s edition, expires %s) - signature ok (key %s)", p,
               static_cast<unsigned long long>(info.number), info.test ? "TEST" : "normal", until, idText);
    return true;
}
