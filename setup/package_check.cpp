#include "setup/package_check.h"

#include <cstdio>
#include <cstring>

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/package_sign.h"
#include "archive/release_file.h"
#include "archive/unwrap.h"
#include "base/textbuf.h"
#include "net/download.h"
#include "platform/sys.h"
#include "setup/outcome.h"

const uint8_t* installerPackageKey = nullptr;

namespace {

ReleaseInfo theRelease;
bool haveRelease = false;

const ReleaseEntry* versionEntry(const char* serverName) {
    for (const ReleaseEntry& e : theRelease.versions)
        if (e.name[0] && strcmp(e.name, serverName) == 0) return &e;
    return nullptr;
}

}  // namespace

bool beginRelease(const char* localPath, const char* who) {
    haveRelease = false;
    if (!installerPackageKey) {
        logMessage("packages are not verified: this installer has no maker key");
        return true;
    }
    const char* remote = testEdition ? "wrp_TEST\\KAVO.release" : "wrp\\KAVO.release";
    // A release file has one length: nothing longer is read.
    bool downloaded = tcpDownload(localPath, remote, true, REL_FILE_BYTES);
    bool ok = downloaded && acceptRelease(localPath, remote, who);
    sysDeleteFile(localPath);
    if (!downloaded) logMessage("%s ERROR - release file \"%s\" could not be fetched - refused", who, remote);
    if (!ok) noteOutcome(RunOutcome::PackageRefused);
    return ok;
}

bool acceptRelease(const char* localPath, const char* remote, const char* who) {
    haveRelease = false;
    ReleaseCheck result = readReleaseFile(localPath, installerPackageKey, testEdition, &theRelease);
    if (result != ReleaseCheck::Accepted) {
        logMessage("%s ERROR - release file \"%s\" %s - refused", who, remote, releaseCheckText(result));
        return false;
    }
    if (releaseExpired(theRelease, static_cast<uint64_t>(nowSeconds()))) {
        char until[REL_TIME_TEXT_BYTES];
        releaseTimeText(theRelease.expires, until, sizeof until);
        logMessage("%s ERROR - release file \"%s\" expired on %s - refused", who, remote, until);
        noteOutcome(RunOutcome::PackageRefused);
        return false;
    }
    haveRelease = true;
    logMessage("release %llu (%s edition) - signature ok", static_cast<unsigned long long>(theRelease.number),
               theRelease.test ? "TEST" : "normal");
    logMessage("");
    return true;
}

void endRelease() { haveRelease = false; }

const ReleaseInfo* runRelease() { return haveRelease ? &theRelease : nullptr; }

const ReleaseEntry* runReleasePackage(const char* fileName) {
    return haveRelease && fileName ? releasePackage(theRelease, fileName) : nullptr;
}

void FetchedPackage::close() {
    if (file) fclose(file);
    file = nullptr;
}

bool fetchPackage(const char* path, const char* remotePath, const char* fileName, FetchedPackage* package) {
    package->close();
    if (!installerPackageKey) return tcpDownload(path, remotePath, true);
    // Opened once, for the download and the unpacking, with no other writers
    // allowed between the two; never longer than the release says.
    const ReleaseEntry* entry = runReleasePackage(fileName);
    package->file = openArchiveNoWriters(path, "w+b");
    if (tcpDownloadInto(package->file, path, remotePath, true, package, entry ? entry->size : UINT64_MAX)) return true;
    bool opened = package->file != nullptr;
    package->close();
    if (opened) sysDeleteFile(path);
    return false;
}

bool unpackPackage(FetchedPackage* package, const char* path, const char* fileName, const char* destination,
                   LandingRequest* request) {
    LandingRequest plain;
    if (!request) request = &plain;
    request->package = fileName;
    if (!installerPackageKey) {
        package->close();
        FILE* src = openArchiveNoWriters(path);
        bool ok = unwrapFolderFrom(src, path, destination, request);
        if (src) fclose(src);
        return ok;
    }
    const ReleaseEntry* entry = haveRelease ? releasePackage(theRelease, fileName) : nullptr;
    if (!entry) {
        logMessage("verifyPackage ERROR - \"%s\" is not in the release - refused", path);
        package->close();
        sysDeleteFile(path);
        return false;
    }
    FILE* f = package->file;
    PackageDigests& d = package->digests;
    if (!f || !d.finish()) {
        logMessage("verifyPackage ERROR - \"%s\" cannot be read - refused", path);
        package->close();
        return false;
    }
    bool ok = verifyPackage(path, installerPackageKey, f, &d);
    // The binding check: the very bytes written are the release's package.
    if (ok && (d.length != entry->size || memcmp(d.whole, entry->sha256, sizeof d.whole) != 0)) {
        logMessage("verifyPackage ERROR - \"%s\" is not the release's %s (%llu bytes, release %llu) - refused", path,
                   fileName, static_cast<unsigned long long>(d.length),
                   static_cast<unsigned long long>(theRelease.number));
        ok = false;
    }
    if (!ok) {
        // A refused package is no file to keep.
        package->close();
        sysDeleteFile(path);
        return false;
    }
    request->packageDigest = entry->sha256;
    ok = unwrapFolderFrom(f, path, destination, request);
    package->close();
    return ok;
}

bool unpackPackage(const char* path, const char* fileName, const char* destination) {
    FetchedPackage package;
    if (installerPackageKey) {
        package.file = openArchiveNoWriters(path);
        int64_t length = package.file && sysSeekEnd(package.file) ? sysTell(package.file) : -1;
        if (length >= 0 && sysSeekStart(package.file)) {
            package.digests.begin(static_cast<uint64_t>(length));
            static char block[1 << 16];
            size_t n;
            while ((n = fread(block, 1, sizeof block, package.file)) > 0) package.digests.add(block, n);
            if (ferror(package.file)) package.close();
        } else {
            package.close();
        }
    }
    return unpackPackage(&package, path, fileName, destination);
}

bool versionFileMatches(const char* path, const char* serverName, bool fetched) {
    if (!installerPackageKey) return true;
    const ReleaseEntry* e = haveRelease ? versionEntry(serverName) : nullptr;
    bool ok;
    if (!fetched) {
        // What a failed download left is no file of the release.  A file the
        // release names must come, or nothing of the release lands.
        sysDeleteFile(path);
        if (!e || !e->present) return true;
        logMessage("verifyFile ERROR - the release's %s could not be fetched - refused", serverName);
        noteOutcome(RunOutcome::PackageRefused);
        return false;
    } else if (!e || !e->present) {
        ok = false;
    } else {
        uint8_t digest[CRYPTO_DIGEST_BYTES];
        uint64_t size = 0;
        FILE* f = sysOpenFileNoWriters(path, "rb");
        ok = f && hashStream(f, digest, &size) && size == e->size && memcmp(digest, e->sha256, sizeof digest) == 0;
        if (f) fclose(f);
    }
    if (!ok) {
        sysDeleteFile(path);
        logMessage("verifyFile ERROR - \"%s\" is not the release's %s - refused", path, serverName);
        noteOutcome(RunOutcome::PackageRefused);
    }
    return ok;
}
