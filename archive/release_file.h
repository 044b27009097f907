// The release file: one per edition, published beside the packages as
// "wrp\KAVO.release" ("wrp_TEST\KAVO.release").  It names what the maker
// released, so that an installer with the maker's key takes no package for
// another name, edition or an older release.  The writer (wrptool release,
// -autoWrap) and the reader (the installer, wrptool) both go through this
// header; every field has a fixed place, so the file has one length.
//
//   offset  bytes
//        0      8  magic "KAVOREL2" ("KAVOREL1", the earlier format, is
//                  refused as such)
//        8      1  edition: 0 normal, 1 TEST
//        9      8  release number, little-endian (by default the packing time
//                  in UTC seconds); an update never goes to a lower one
//       17      8  expiry, UTC seconds since 1970, little-endian: from that
//                  second on no installer takes the release
//       25  8 x 56 the eight packages in packing order, each:
//                  name 16 (ASCII, "KAVO.wrp" ..., NUL-padded),
//                  size 8 (little-endian), SHA-256 32 of the whole file
//                  (its signature trailer included)
//      473  2 x 61 the version files fetched from the server root, each:
//                  name 20 (NUL-padded; normal edition "update.ini" and an
//                  unused slot, TEST edition "update_TEST.ini" and
//                  "launcher_TEST.ini"), present 1 (0 or 1), size 8,
//                  SHA-256 32; an absent file has size 0 and a zero hash
//      595     80  signature trailer, as a package's (package_sign.h):
//                  "WRPSIGN2", key id 8, ECDSA P-256 over the release
//                  kind's signedDigest of the SHA-256 of bytes 0..594
//      675         end: nothing follows
//
// Every byte is fixed by these rules (padding is zero), so a file that
// reads back the same way is the one that was signed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "archive/package_sign.h"
#include "platform/crypto.h"

enum : size_t {
    REL_MAGIC_BYTES = 8,
    REL_PACKAGES = 8,
    REL_PACKAGE_NAME_BYTES = 16,
    REL_PACKAGE_ENTRY_BYTES = REL_PACKAGE_NAME_BYTES + 8 + CRYPTO_DIGEST_BYTES,   // 56
    REL_VERSION_FILES = 2,
    REL_VERSION_NAME_BYTES = 20,
    REL_VERSION_ENTRY_BYTES = REL_VERSION_NAME_BYTES + 1 + 8 + CRYPTO_DIGEST_BYTES,   // 61
    REL_NUMBER_OFFSET = REL_MAGIC_BYTES + 1,                                         // 9
    REL_EXPIRES_OFFSET = REL_NUMBER_OFFSET + 8,                                      // 17
    REL_PACKAGES_OFFSET = REL_EXPIRES_OFFSET + 8,                                    // 25
    REL_VERSIONS_OFFSET = REL_PACKAGES_OFFSET + REL_PACKAGES * REL_PACKAGE_ENTRY_BYTES,   // 473
    REL_BODY_BYTES = REL_VERSIONS_OFFSET + REL_VERSION_FILES * REL_VERSION_ENTRY_BYTES,   // 595
    REL_FILE_BYTES = REL_BODY_BYTES + SIG_TRAILER_BYTES,                                // 675
};
const char REL_MAGIC[REL_MAGIC_BYTES + 1] = "KAVOREL2";
const char REL_MAGIC_V1[REL_MAGIC_BYTES + 1] = "KAVOREL1";

// How long a release is taken: `wrptool release --expires-in DAYS` and
// -autoWrap's KAVO_RELEASE_EXPIRES_IN_DAYS, from 1 to the maximum.
enum : uint32_t { REL_DEFAULT_EXPIRY_DAYS = 90, REL_MAX_EXPIRY_DAYS = 3650 };

// The eight packages by their file names, in packing order.
extern const char* const RELEASE_PACKAGE_NAMES[REL_PACKAGES];
// The version files of an edition, by their names on the server ("" for an
// unused slot).
const char* releaseVersionName(bool test, size_t slot);

struct ReleaseEntry {
    char name[REL_VERSION_NAME_BYTES + 1];
    bool present;                       // version files; packages always are
    uint64_t size;
    uint8_t sha256[CRYPTO_DIGEST_BYTES];
};

struct ReleaseInfo {
    bool test;
    uint64_t number;
    uint64_t expires;                   // UTC seconds: expired from that second on
    ReleaseEntry packages[REL_PACKAGES];
    ReleaseEntry versions[REL_VERSION_FILES];
    uint8_t bytes[REL_FILE_BYTES];      // the file as read: the rollback record keeps it
};

enum class ReleaseCheck {
    Accepted,
    Unreadable,         // the file cannot be read
    Cut,                // shorter than a release file (its trailer included)
    ExtraBytes,         // longer than a release file
    NotARelease,        // no release magic
    OldFormat,          // the earlier format's magic ("KAVOREL1")
    Unsigned,           // the content alone, or no signature trailer where it belongs
    ForeignKey,         // signed with another key
    Mismatch,           // the signature does not fit the content
    Malformed,          // signed, but a field breaks the rules above
    OtherEdition,       // the release of the other edition
};

// Judges `bytes` (n of them) with the public key; fills `info` when
// accepted.  `test` is the edition the caller expects.
ReleaseCheck parseRelease(const uint8_t* bytes, size_t n, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES],
                          bool test, ReleaseInfo* info);
// The same for a file (read up to one byte past a release file's length).
ReleaseCheck readReleaseFile(const char* path, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], bool test,
                             ReleaseInfo* info);
// The reason of a refusal as a short phrase for a log line.
const char* releaseCheckText(ReleaseCheck c);

// True from the release's expiry on (the check the installer adds to
// parseRelease's: the file alone cannot know the time).
bool releaseExpired(const ReleaseInfo& r, uint64_t nowUtcSeconds);
// A time in UTC seconds as "YYYY-MM-DD HH:MM UTC" (the year grows as far as
// it must); false when `cap` is too small (then `out` holds an empty text).
enum : size_t { REL_TIME_TEXT_BYTES = 32 };
bool releaseTimeText(uint64_t utcSeconds, char* out, size_t cap);
// A number of days for the expiry: decimal digits only, 1 to
// REL_MAX_EXPIRY_DAYS.
bool parseExpiryDays(const char* text, uint32_t* days);

// The entry of a package by file name ("OSKE_ALL.wrp"), or null.
const ReleaseEntry* releasePackage(const ReleaseInfo& r, const char* fileName);

// SHA-256 and length of a whole stream from its start (left at its end).
bool hashStream(FILE* f, uint8_t digest[CRYPTO_DIGEST_BYTES], uint64_t* length);

// The maker's side: signs every package in root + "/wrp" (TEST: "/wrp_TEST")
// and writes the release file beside them, expiring at `expires` (UTC
// seconds), covering the version files of the edition found in root.  One
// log line per package and one for the release.  Refuses (nothing written)
// a root that lacks any package or holds a key file or the private key's
// bytes anywhere below it (treeHoldsNoKey), and a private key whose halves
// do not belong together; reads back and verifies what it wrote.
bool writeRelease(const char* root, bool test, uint64_t number, uint64_t expires,
                  const uint8_t privateKey[CRYPTO_PRIVATE_KEY_BYTES]);

// wrptool verify of a release file of either edition: one line, "release
// signature ok" with its number, edition and expiry, or the reason it is
// refused (an expired release included, as of `nowUtcSeconds`).
bool verifyRelease(const char* path, const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], uint64_t nowUtcSeconds);
