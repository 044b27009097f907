// The installer's checks of what it downloads: the release file of its
// edition, each package against it and the version files.
#pragma once

#include <cstdint>
#include <cstdio>

#include "archive/package_sign.h"
#include "archive/release_file.h"
#include "archive/unwrap.h"
#include "net/download.h"

// The maker's public key (65 bytes) that a key-built exe embeds, set at
// start-up; null in a build without a key, which checks nothing.
extern const uint8_t* installerPackageKey;

// Start of an installation or update.  With a key: fetches the release file
// of the edition into `localPath`, verifies it and keeps it for this run;
// false (one line naming the reason, `who` first) when it is refused.
// Without a key: one line that nothing is verified, true.
bool beginRelease(const char* localPath, const char* who);
// The check of beginRelease on a release file already at `localPath`
// (`remote` names it in the line).
bool acceptRelease(const char* localPath, const char* remote, const char* who);
// Forgets the run's release (the end of every installation or update).
void endRelease();
// The run's release once accepted; null before, or without a key.
const ReleaseInfo* runRelease();
// The run's release entry of the package `fileName` ("OSKE_ALL.wrp"); null
// without a release or for a name it does not hold.
const ReleaseEntry* runReleasePackage(const char* fileName);

// A package downloaded for unpacking.  With a key its file stays open, with
// no other writers allowed, from the download to the end of the unpacking,
// and its digests are taken from the blocks as they are written: the bytes
// unpacked are the bytes checked, in one pass.
struct FetchedPackage : DownloadSink {
    FetchedPackage() = default;
    FetchedPackage(const FetchedPackage&) = delete;
    FetchedPackage& operator=(const FetchedPackage&) = delete;
    ~FetchedPackage() { close(); }
    void close();
    void announced(uint32_t size) override { digests.begin(size); }
    void written(const void* data, size_t n) override { digests.add(data, n); }

    FILE* file = nullptr;   // null without a key, or after a failed download
    PackageDigests digests;
};

// Downloads the package `remotePath` to `path` (tcpDownload's lines); with
// a key, never more than the size the release gives `fileName`.  False when
// the download failed; the file is not kept then.
bool fetchPackage(const char* path, const char* remotePath, const char* fileName, FetchedPackage* package);

// Unpacks the fetched package `fileName` ("OSKE_ALL.wrp") at `path` into
// `destination`, and closes its file.  With a key it is checked first (its
// signature, then its size and SHA-256 against the run's release) and
// unpacked from the same file; a package refused is not unpacked (one line)
// and its file is removed.  `request` (may be null) names what lands with it.
bool unpackPackage(FetchedPackage* package, const char* path, const char* fileName, const char* destination,
                   LandingRequest* request = nullptr);
// The same for a package already on disk: one pass reads it for the digests.
bool unpackPackage(const char* path, const char* fileName, const char* destination);

// With a key: true when the version file fetched to `path` under its server
// name is the one the release names (missing both on the server and in the
// release counts as a match; a file the release names that could not be
// fetched does not).  A file that does not match is deleted (one line).
// Without a key: true.
bool versionFileMatches(const char* path, const char* serverName, bool fetched);
