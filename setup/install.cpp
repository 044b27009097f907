#include "setup/install.h"

#include <cstring>
#include <string>

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/unwrap.h"
#include "base/textbuf.h"
#include "net/download.h"
#include "platform/sys.h"
#include "setup/install_lock.h"
#include "setup/installation.h"
#include "setup/outcome.h"
#include "setup/package_check.h"
#include "setup/shell.h"

namespace {

bool buildPath(char* out, const char* base, const char* suffix) {
    return copyText(out, PATH_CAP, base) && appendText(out, PATH_CAP, suffix);
}

void endWork() {
    endRelease();
    releaseInstallation();
    uiSetStatus("");
    workInProgress = false;
    uiShowProgress(false);
}

// The failure path of an installation that cannot go on.  A user who
// cancelled at the box about a file in use has been told already.
void failInstallation(bool told = false) {
    logMessage("installation FAILED");
    logMessage("");
    if (!told) showWarning("Failed to install KAVO.\nPlease try again or contact %s", SUPPORT_CONTACT);
    endWork();
}

// The installation folder.  The interactive run creates only its last
// level; an unattended one creates every missing parent too, as
// deployments expect, each with a line.
int createInstallFolder(const char* folder) {
    if (!silentMode) return sysCreateFolder(folder);
    std::string path = folder;
    size_t start = 0;
    // The root is never made: a drive ("C:\"), a share ("\\server\share\").
    if (path.size() >= 2 && path[1] == ':') start = 3;
    else if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        int seps = 0;
        for (start = 2; start < path.size() && seps < 2; ++start) seps += isSeparator(path[start]);
    }
    for (size_t i = start; i < path.size(); ++i) {
        if (!isSeparator(path[i]) || i == 0 || isSeparator(path[i - 1])) continue;
        std::string parent = path.substr(0, i);
        if (sysPathKind(parent.c_str()) != 0) continue;
        int err = sysCreateFolder(parent.c_str());
        if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS) return err;
        logMessage("install KAVO - created \"%s\"", parent.c_str());
    }
    int err = sysCreateFolder(folder);
    if (err == SYS_OK && sysPathKind(folder) == 2) logMessage("install KAVO - created \"%s\"", folder);
    return err;
}

}  // namespace

bool installKAVO() {
    if (static_cast<int>(strlen(installDir)) > maxInstallDirLength()) {
        // Refused before anything is created: a cut path would name another file.
        logMessage("install KAVO ERROR - installation folder longer than %d characters", maxInstallDirLength());
        noteOutcome(RunOutcome::BadCommandLine);
        showWarning("The installation folder is too long (at most %d characters).\nPlease try again or contact %s",
                    maxInstallDirLength(), SUPPORT_CONTACT);
        return false;
    }

    logMessage("install KAVO -> \"%s\"", installDir);
    int err = createInstallFolder(installDir);
    if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS) {
        logMessage("CreateDirectory \"%s\" ERROR - %d", installDir, err);
        return false;
    }
    // Turned away before anything is written when another run works there.
    if (!claimInstallation(installDir, "install KAVO")) return false;
    workInProgress = true;
    uiShowProgress(true);
    uiSetStatus("Downloading KAVO");
    uiSetProgress(0);
    // A landing cut off in this folder before is finished or put back first;
    // one whose journal cannot be trusted is cleared, and this installation
    // lands the whole product over it.
    if (settleForCommand(installDir, "install KAVO") == Settled::Stuck) {
        failInstallation();
        return false;
    }

    char archivePath[PATH_CAP];
    buildPath(archivePath, installDir, "\\KAVO.wrp");
    // The release is settled before the first package is fetched, and an
    // installation never goes back to an older one.
    char releasePath[PATH_CAP];
    buildPath(releasePath, installDir, "\\KAVO.release");
    if (!beginRelease(releasePath, "install KAVO") || !releaseMayLand(installDir, "install KAVO")) {
        failInstallation();
        return false;
    }

    // The version files, the release record, the record of installed files
    // and the uninstaller land with the package's files.
    InstallationRecords records(VersionFiles::Fetch, true);
    LandingRequest request;
    request.extras = &records;
    request.retry = askAboutHeldFile;
    bool kept = false, unpacked = false;
    double start = nowSeconds();
    if (const ReleaseEntry* entry = runReleasePackage("KAVO.wrp")) {
        // The same package, unpacked by a run that stopped before its moves.
        request.package = "KAVO.wrp";
        request.packageDigest = entry->sha256;
        unpacked = landKeptPackage(installDir, &request, &kept);
    }
    if (!kept) {
        FetchedPackage package;
        bool downloaded = fetchPackage(archivePath, testEdition ? "wrp_TEST\\KAVO.wrp" : "wrp\\KAVO.wrp", "KAVO.wrp",
                                       &package);
        double end = nowSeconds();
        if (downloaded) logMessage("download KAVO.wrp - %.1lf sec", end - start);
        else logMessage("download KAVO.wrp - FAILED");
        if (!downloaded) noteOutcome(RunOutcome::DownloadFailed);
        logMessage("");
        if (abortRequested || !downloaded) {
            package.close();
            endWork();
            return false;
        }
        uiSetStatus("Extracting Files");
        uiSetProgress(0);
        start = nowSeconds();
        // A package that is not the maker's fails like one that cannot be unpacked.
        unpacked = unpackPackage(&package, archivePath, "KAVO.wrp", installDir, &request);
    }
    double end = nowSeconds();
    if (unpacked) logMessage("unwrapFolder - %.1lf sec", end - start);
    else logMessage("unwrapFolder - FAILED");
    logMessage("");
    if (!unpacked) {
        noteUnpackFailure();
        failInstallation(request.stop.inUse);
        return false;
    }

    uiSetProgress(1000);
    if (sysDeleteFile(archivePath) == SYS_OK) logMessage("delete \"%s\"", archivePath);
    makeDesktopShortcut();
    // In the list of installed programs, so that it can be removed from there.
    registerInstallation(installDir);

    uiSetStatus("Installation Completed");
    logMessage("installation completed");
    logMessage("");

    if (uiAskYesNo("Installation is completed.\nDo you want to start KAVO?", "Installation Completed", false)) {
        logMessage("start KAVO");
        if (startKAVO(installDir)) uiQuit();
        else logMessage("unable to start KAVO");
    }
    endWork();
    return true;
}
