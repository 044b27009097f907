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
    if (!c.take(magic, sizeof magic) || !c.u8(&edition) || edition > 1 || !c.u64(&info->number)) return false;
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
    if (memcmp(bytes, REL_MAGIC, REL_MAGIC_BYTES) != 0) return ReleaseCheck::NotARelease;
    if (n == REL_BODY_BYTES) return ReleaseCheck::Unsigned;
    if (n < REL_FILE_BYTES) return ReleaseCheck::Cut;
    if (n > REL_FILE_BYTES) return ReleaseCheck::ExtraBytes;
    const uint8_t* trailer = bytes + REL_BODY_BYTES;
    if (memcmp(trailer, SIG_MAGIC, SIG_MAGIC_BYTES) != 0) return ReleaseCheck::Unsigned;
    uint8_t id[SIG_KEY_ID_BYTES], digest[CRYPTO_DIGEST_BYTES];
    if (!packageKeyId(publicKey, id) || !digestOf(bytes, REL_BODY_BYTES, digest)) return ReleaseCheck::Unreadable;
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
        case ReleaseCheck::Unsigned: return "is not signed";
        case ReleaseCheck::ForeignKey: return "is not signed with this installer's key";
        case ReleaseCheck::Mismatch: return "signature does not match its content";
        case ReleaseCheck::Malformed: return "is signed but malformed";
        case ReleaseCheck::OtherEdition: return "is the release of the other edition";
    }
    return "is refused";
}

const ReleaseEntry* releasePackage(const ReleaseInfo& r, const char* fileName) {
    if (!fileName) return nullptr;
    for (const ReleaseEntry& e : r.packages)
        if (strcmp(e.name, fileName) == 0) return &e;
    return nullptr;
}

bool writeRelease(const char* root, bool test, uint64_t number, const uint8_t privateKey[CRYPTO_PRIVATE_KEY_BYTES]) {
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
    putU64(file + REL_MAGIC_BYTES + 1, number);
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
    if (!digestOf(file, REL_BODY_BYTES, digest) || !packageKeyId(privateKey, trailer + SIG_KEY_ID_OFFSET) ||
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
    char idText[2 * SIG_KEY_ID_BYTES + 1];
    keyIdText(trailer + SIG_KEY_ID_OFFSET, idText);
    logMessage("release \"%s\" - number %llu, %s edition, key %s", releasePath, static_cast<unsigned long long>(number),
               test ? "TEST" : "normal", idText);
    return true;
}
