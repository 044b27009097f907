// The installer's check of a downloaded package before it is unpacked.
#pragma once

#include <cstdint>

// The maker's public key (65 bytes) that a key-built exe embeds, set at
// start-up; null in a build without a key, which checks nothing.
extern const uint8_t* installerPackageKey;

// True when the package may be unpacked: always without a key, otherwise
// only when its signature is the maker's (one log line either way).
bool packageTrusted(const char* path);
