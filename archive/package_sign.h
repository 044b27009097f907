// A package's signature: a trailer after the archive's final end record.
// The unpacker never reads past that record, so a reader without a key
// reads a signed package exactly as an unsigned one.  Writer (the maker's
// -autoWrap run, wrptool) and reader (the installer, wrptool) both go
// through this header.
//
//   trailer   = magic "WRPSIGN2" (8 bytes), key id (8 bytes), signature (64 bytes)
//   key id    = the first 8 bytes of SHA-256 over the 65-byte public key
//   signature = ECDSA on P-256 over SHA-256 of the package domain text
//               followed by the SHA-256 of every byte before the trailer:
//               r, then s, 32 bytes each, big-endian
//
// A signed package is exactly archive + trailer: nothing follows the trailer.
// The release file (release_file.h) ends in the same trailer, made over the
// release domain text: what the maker signed as one kind never verifies as
// the other.  The domain goes over the bytes' digest, not the bytes, so a
// download still hashes every byte once (PackageDigests).  A "WRPSIGN1"
// trailer is the earlier scheme, a signature over the bytes alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/crypto.h"

enum : size_t {
    SIG_MAGIC_BYTES = 8,
    SIG_KEY_ID_BYTES = 8,
    SIG_TRAILER_BYTES = SIG_MAGIC_BYTES + SIG_KEY_ID_BYTES + CRYPTO_SIGNATURE_BYTES,   // 80
    SIG_KEY_ID_OFFSET = SIG_MAGIC_BYTES,
    SIG_SIGNATURE_OFFSET = SIG_MAGIC_BYTES + SIG_KEY_ID_BYTES,
};
const char SIG_MAGIC[SIG_MAGIC_BYTES + 1] = "WRPSIGN2";
const char SIG_MAGIC_V1[SIG_MAGIC_BYTES + 1] = "WRPSIGN1";

// What a signature says it signs: each kind has its domain text, NUL
// included ("KAVO package signature v2", "KAVO release signature v2").
enum class SignedKind { Package, Release };
// The digest a signature of that kind covers, from the SHA-256 of the
// signed bytes; false when the system cannot hash.
bool signedDigest(SignedKind kind, const uint8_t bytesDigest[CRYPTO_DIGEST_BYTES],
                  uint8_t digest[CRYPTO_DIGEST_BYTES]);

// What a package's end holds, as the installer judges it.
enum class PackageCheck {
    Accepted,            // a trailer of this key whose signature covers every byte before it
    Unreadable,          // the file cannot be read (or the system cannot hash)
    Unsigned,            // nothing after the archive, or no archive to find the end of
    TrailerCut,          // the start of a trailer, cut short
    TrailerMalformed,    // bytes after the archive that are no trailer
    ForeignKey,          // a trailer of another key
    BytesAfterTrailer,   // a trailer, then more bytes
    Mismatch,            // a trailer of this key whose signature does not fit the bytes
    OldFormat,           // a "WRPSIGN1" trailer: signed by the earlier scheme
};

// Key files hold the raw bytes of platform/crypto.h: 65 (public) or 97
// (private) bytes.  False when the file is missing or not of that form.
bool readKeyFile(const char* path, uint8_t* key, size_t bytes);
bool packageKeyId(const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], uint8_t id[SIG_KEY_ID_BYTES]);
void keyIdText(const uint8_t id[SIG_KEY_ID_BYTES], char text[2 * SIG_KEY_ID_BYTES + 1]);

// True when the private key's two halves (public point, scalar) belong
// together: a signature made with it verifies with its public half.
bool keyHalvesMatch(const uint8_t privateKey[CRYPTO_PRIVATE_KEY_BYTES]);

// Judges the package; `count` (may be null) gets the trailer bytes present
// (TrailerCut) or the bytes after the trailer (BytesAfterTrailer).
PackageCheck checkPackage(const char* path, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], uint64_t* count);
// The same on an open stream (its position is left anywhere).
PackageCheck checkPackageStream(FILE* f, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], uint64_t* count);

// A package's two SHA-256 digests taken in one pass as its bytes go by
// (while it downloads): over every byte, and over the bytes before the last
// SIG_TRAILER_BYTES of the announced size, which are kept aside.  One run
// hashes the bytes once; the prefix's digest comes from a copy of its state.
class PackageDigests {
public:
    PackageDigests() = default;
    ~PackageDigests();
    PackageDigests(const PackageDigests&) = delete;
    PackageDigests& operator=(const PackageDigests&) = delete;

    // Starts for a package of `size` bytes (again from nothing).
    void begin(uint64_t size);
    void add(const void* data, size_t n);
    // Ends both digests; false when the system could not hash or the bytes
    // added are not the size begun with.
    bool finish();

    uint64_t length = 0;                      // bytes added
    uint8_t whole[CRYPTO_DIGEST_BYTES] = {};  // after finish: every byte
    uint8_t prefix[CRYPTO_DIGEST_BYTES] = {}; // after finish: what the signature covers (signedDigest
                                              // of the bytes before the trailer)
    uint8_t trailer[SIG_TRAILER_BYTES] = {};  // the last bytes (a package of that size or more)

private:
    void drop();
    void takePrefix();
    uint64_t prefixEnd() const { return size >= SIG_TRAILER_BYTES ? size - SIG_TRAILER_BYTES : size; }
    SysHash* wholeRun = nullptr;
    SysHash* prefixRun = nullptr;
    uint64_t size = 0;
    bool failed = false;
};

// checkPackageStream's judgement from the digests of one pass over the
// package that `f` holds: the trailer is judged without reading `f`, which
// is read (headers only) to tell why a package without one is refused.
PackageCheck checkPackageDigests(FILE* f, const PackageDigests& digests,
                                 const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], uint64_t* count);
// checkPackage with one log line for the outcome; true only when accepted.
// `path` names the package in the line; with `f` that stream is judged, and
// with `digests` too, from those digests.
bool verifyPackage(const char* path, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], FILE* f = nullptr,
                   const PackageDigests* digests = nullptr);
// Signs the archive in place (a trailer it already has, of either scheme, is
// replaced), with one log line, and verifies what it wrote.  Refuses a file
// that is not a whole archive, that has other bytes after its final end
// record, and a private key whose halves do not belong together.
bool signPackage(const char* path, const uint8_t privateKey[CRYPTO_PRIVATE_KEY_BYTES]);

// The private key never goes out with what is packed or served: false when
// a file below `root` (every level, links followed as the packer follows
// them) has a name ending in ".key", or, with `privateKey`, holds exactly
// the key's bytes.  One line per such file: `who` first, `stop` (what the
// refusal means: "nothing packed") last.
bool treeHoldsNoKey(const char* root, const uint8_t* privateKey, const char* who, const char* stop);
