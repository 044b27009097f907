// The installer's second seam to the system: SHA-256 and ECDSA on P-256,
// done by the system's own cryptography (CNG in bcrypt.dll on Windows,
// OpenSSL's libcrypto on POSIX).  The project has no cryptographic code of
// its own: keys and signatures only pass through here as raw bytes.
//
//   public key  65 bytes: 0x04, X, Y (uncompressed point, big-endian)
//   private key 97 bytes: the public key, then the scalar d (big-endian)
//   signature   64 bytes: r, then s (big-endian, 32 bytes each)
#pragma once

#include <cstddef>
#include <cstdint>

enum : size_t {
    CRYPTO_DIGEST_BYTES = 32,
    CRYPTO_PUBLIC_KEY_BYTES = 65,
    CRYPTO_PRIVATE_KEY_BYTES = 97,
    CRYPTO_SIGNATURE_BYTES = 64,
};

struct SysHash;   // opaque running SHA-256
SysHash* sysHashBegin();                                  // null when the system cannot hash
bool sysHashAdd(SysHash* h, const void* data, size_t n);
// Writes the digest and frees h (also on failure).
bool sysHashEnd(SysHash* h, uint8_t digest[CRYPTO_DIGEST_BYTES]);
// A second running hash with h's state, for a digest of a prefix taken on
// the way; null when the system cannot copy it.
SysHash* sysHashCopy(const SysHash* h);

// True only for a valid signature of `digest` by `publicKey`; a key that is
// no point of the curve is false.
bool sysVerifyDigest(const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], const uint8_t digest[CRYPTO_DIGEST_BYTES],
                     const uint8_t signature[CRYPTO_SIGNATURE_BYTES]);
bool sysSignDigest(const uint8_t privateKey[CRYPTO_PRIVATE_KEY_BYTES], const uint8_t digest[CRYPTO_DIGEST_BYTES],
                   uint8_t signature[CRYPTO_SIGNATURE_BYTES]);
// A new key pair from the system's random source.
bool sysNewKeyPair(uint8_t privateKey[CRYPTO_PRIVATE_KEY_BYTES]);
