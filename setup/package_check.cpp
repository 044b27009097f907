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

ReleaseInfo runRelease;
bool haveRelease = false;

bool recordPath(char* out, const char* installation, const char* suffix) {
    return copyText(out, PATH_CAP, installation) && appendText(out, PATH_CAP, "\\KAVO_data\\" RELEASE_RECORD_NAME) &&
           appendText(out, PATH_CAP, suffix);
}

const ReleaseEntry* versionEntry(const char* serverName) {
    for (const ReleaseEntry& e : runRelease.versions)
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
    bool downloaded = tcpDownload(localPath, remote, true);
    bool ok = downloaded && acceptRelease(localPath, remote, who);
    sysDeleteFile(localPath);
    if (!downloaded) logMessage("%s ERROR - release file \"%s\" could not be fetched - refused", who, remote);
    if (!ok) noteOutcome(RunOutcome::PackageRefused);
    return ok;
}

bool acceptRelease(const char* localPath, const char* remote, const char* who) {
    haveRelease = false;
    ReleaseCheck result = readReleaseFile(localPath, installerPackageKey, testEdition, &runRelease);
    if (result != ReleaseCheck::Accepted) {
        logMessage("%s ERROR - release file \"%s\" %s - refused", who, remote, releaseCheckText(result));
        return false;
    }
    if (releaseExpired(runRelease, static_cast<uint64_t>(nowSeconds()))) {
        char until[REL_TIME_TEXT_BYTES];
        releaseTimeText(runRelease.expires, until, sizeof until);
        logMessage("%s ERROR - release file \"%s\" expired on %s - refused", who, remote, until);
        noteOutcome(RunOutcome::PackageRefused);
        return false;
    }
    haveRelease = true;
    logMessage("release %llu (%s edition) - signature ok", static_cast<unsigned long long>(runRelease.number),
               runRelease.test ? "TEST" : "normal");
    logMessage("");
    return true;
}

void endRelease() { haveRelease = false; }

void FetchedPackage::close() {
    if (file) fclose(file);
    file = nullptr;
}

bool fetchPackage(const char* path, const char* remotePath, FetchedPackage* package) {
    package->close();
    if (!installerPackageKey) return tcpDownload(path, remotePath, true);
    // Opened once, for the download and the unpacking, with no other writers
    // allowed between the two.
    package->file = openArchiveNoWriters(path, "w+b");
    if (tcpDownloadInto(package->file, path, remotePath, true, package)) return true;
    package->close();
    return false;
}

bool unpackPackage(FetchedPackage* package, const char* path, const char* fileName, const char* destination) {
    if (!installerPackageKey) {
        package->close();
        return unwrapFolder(path, destination);
    }
    const ReleaseEntry* entry = haveRelease ? releasePackage(runRelease, fileName) : nullptr;
    if (!entry) {
        logMessage("verifyPackage ERROR - \"%s\" is not in the release - refused", path);
        package->close();
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
                   static_cast<unsigned long long>(runRelease.number));
        ok = false;
    }
    ok = ok && unwrapFolderFrom(f, path, destination);
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
        // What a failed download left is no file of the release.  The
        // failure itself is the download's, as without a key.
        sysDeleteFile(path);
        return true;
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

bool releaseNotOlder(const char* installation, const char* who) {
    if (!installerPackageKey || !haveRelease) return true;
    char path[PATH_CAP];
    ReleaseInfo installed;
    if (!recordPath(path, installation, "") ||
        readReleaseFile(path, installerPackageKey, testEdition, &installed) != ReleaseCheck::Accepted) {
        logMessage("%s - no release record in this installation", who);
        return true;
    }
    if (runRelease.number >= installed.number) return true;
    logMessage("%s ERROR - the offered release %llu is older than the installed release %llu - refused", who,
               static_cast<unsigned long long>(runRelease.number), static_cast<unsigned long long>(installed.number));
    noteOutcome(RunOutcome::PackageRefused);
    return false;
}

bool keepReleaseRecord(const char* installation, const char* who) {
    if (!installerPackageKey || !haveRelease) return true;
    char path[PATH_CAP], temp[PATH_CAP];
    bool ok = recordPath(path, installation, "") && recordPath(temp, installation, ".new");
    FILE* f = ok ? sysOpenFile(temp, "wb") : nullptr;
    ok = f && fwrite(runRelease.bytes, 1, sizeof runRelease.bytes, f) == sizeof runRelease.bytes;
    if (f && fclose(f) != 0) ok = false;
    if (ok && sysReplaceFile(temp, path) != SYS_OK) ok = false;
    if (!ok) {
        if (f) sysDeleteFile(temp);
        logMessage("%s ERROR - release record \"%s\" could not be written", who, path);
        return false;
    }
    logMessage("%s - release record %llu kept", who, static_cast<unsigned long long>(runRelease.number));
    return true;
}
