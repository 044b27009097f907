// The cryptography seam on CNG (bcrypt.dll, Windows 7 and later).
#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "platform/crypto.h"

namespace {

// CNG's key blobs: a BCRYPT_ECCKEY_BLOB header, then X, Y and for a private
// key d, 32 bytes each.
const ULONG COORD_BYTES = 32;

BCRYPT_ALG_HANDLE openAlgorithm(LPCWSTR id) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    return BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, id, nullptr, 0)) ? alg : nullptr;
}

// Imports the public key (scalar null) or the key pair.
BCRYPT_KEY_HANDLE importKey(BCRYPT_ALG_HANDLE alg, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES],
                            const uint8_t* scalar) {
    if (publicKey[0] != 0x04) return nullptr;
    UCHAR blob[sizeof(BCRYPT_ECCKEY_BLOB) + 3 * COORD_BYTES];
    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic = scalar ? BCRYPT_ECDSA_PRIVATE_P256_MAGIC : BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = COORD_BYTES;
    memcpy(blob, &header, sizeof header);
    memcpy(blob + sizeof header, publicKey + 1, 2 * COORD_BYTES);
    ULONG size = sizeof header + 2 * COORD_BYTES;
    if (scalar) {
        memcpy(blob + size, scalar, COORD_BYTES);
        size += COORD_BYTES;
    }
    BCRYPT_KEY_HANDLE key = nullptr;
    NTSTATUS st = BCryptImportKeyPair(alg, nullptr, scalar ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB, &key,
                                      blob, size, 0);
    SecureZeroMemory(blob, sizeof blob);
    return BCRYPT_SUCCESS(st) ? key : nullptr;
}

}  // namespace

struct SysHash {
    BCRYPT_ALG_HANDLE alg;
    BCRYPT_HASH_HANDLE hash;
};

SysHash* sysHashBegin() {
    BCRYPT_ALG_HANDLE alg = openAlgorithm(BCRYPT_SHA256_ALGORITHM);
    if (!alg) return nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0))) {
        BCryptCloseAlgorithmProvider(alg, 0);
        return nullptr;
    }
    return new SysHash{alg, hash};
}

bool sysHashAdd(SysHash* h, const void* data, size_t n) {
    if (!h) return false;
    const UCHAR* p = static_cast<const UCHAR*>(data);
    while (n > 0) {
        ULONG chunk = n > 0x40000000 ? 0x40000000 : static_cast<ULONG>(n);
        if (!BCRYPT_SUCCESS(BCryptHashData(h->hash, const_cast<UCHAR*>(p), chunk, 0))) return false;
        p += chunk;
        n -= chunk;
    }
    return true;
}

SysHash* sysHashCopy(const SysHash* h) {
    if (!h) return nullptr;
    // The copy keeps a provider of its own, so that either may end first.
    BCRYPT_ALG_HANDLE alg = openAlgorithm(BCRYPT_SHA256_ALGORITHM);
    if (!alg) return nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptDuplicateHash(h->hash, &hash, nullptr, 0, 0))) {
        BCryptCloseAlgorithmProvider(alg, 0);
        return nullptr;
    }
    return new SysHash{alg, hash};
}

bool sysHashEnd(SysHash* h, uint8_t digest[CRYPTO_DIGEST_BYTES]) {
    if (!h) return false;
    bool ok = BCRYPT_SUCCESS(BCryptFinishHash(h->hash, digest, CRYPTO_DIGEST_BYTES, 0));
    BCryptDestroyHash(h->hash);
    BCryptCloseAlgorithmProvider(h->alg, 0);
    delete h;
    return ok;
}

bool sysVerifyDigest(const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], const uint8_t digest[CRYPTO_DIGEST_BYTES],
                     const uint8_t signature[CRYPTO_SIGNATURE_BYTES]) {
    BCRYPT_ALG_HANDLE alg = openAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    if (!alg) return false;
    bool ok = false;
    if (BCRYPT_KEY_HANDLE key = importKey(alg, publicKey, nullptr)) {
        ok = BCRYPT_SUCCESS(BCryptVerifySignature(key, nullptr, const_cast<UCHAR*>(digest), CRYPTO_DIGEST_BYTES,
                                                  const_cast<UCHAR*>(signature), CRYPTO_SIGNATURE_BYTES, 0));
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
}

bool sysSignDigest(const uint8_t privateKey[CRYPTO_PRIVATE_KEY_BYTES], const uint8_t digest[CRYPTO_DIGEST_BYTES],
                   uint8_t signature[CRYPTO_SIGNATURE_BYTES]) {
    BCRYPT_ALG_HANDLE alg = openAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    if (!alg) return false;
    bool ok = false;
    if (BCRYPT_KEY_HANDLE key = importKey(alg, privateKey, privateKey + CRYPTO_PUBLIC_KEY_BYTES)) {
        ULONG written = 0;
        ok = BCRYPT_SUCCESS(BCryptSignHash(key, nullptr, const_cast<UCHAR*>(digest), CRYPTO_DIGEST_BYTES, signature,
                                           CRYPTO_SIGNATURE_BYTES, &written, 0)) &&
             written == CRYPTO_SIGNATURE_BYTES;
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
}

bool sysNewKeyPair(uint8_t privateKey[CRYPTO_PRIVATE_KEY_BYTES]) {
    BCRYPT_ALG_HANDLE alg = openAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    if (!alg) return false;
    bool ok = false;
    BCRYPT_KEY_HANDLE key = nullptr;
    if (BCRYPT_SUCCESS(BCryptGenerateKeyPair(alg, &key, 256, 0))) {
        UCHAR blob[sizeof(BCRYPT_ECCKEY_BLOB) + 3 * COORD_BYTES];
        ULONG size = 0;
        if (BCRYPT_SUCCESS(BCryptFinalizeKeyPair(key, 0)) &&
            BCRYPT_SUCCESS(BCryptExportKey(key, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &size, 0)) &&
            size == sizeof blob) {
            privateKey[0] = 0x04;
            memcpy(privateKey + 1, blob + sizeof(BCRYPT_ECCKEY_BLOB), 3 * COORD_BYTES);
            ok = true;
        }
        SecureZeroMemory(blob, sizeof blob);
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
}
