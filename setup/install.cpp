#include "setup/install.h"

#include <cstring>

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/unwrap.h"
#include "archive/unwrap_journal.h"
#include "base/textbuf.h"
#include "net/download.h"
#include "platform/sys.h"
#include "setup/install_lock.h"
#include "setup/outcome.h"
#include "setup/package_check.h"
#include "setup/shell.h"
#include "setup/uninstall.h"

namespace {

// Every path built from installDir, with the longest suffix last.
const char* const INSTALL_SUFFIXES[] = {
    "\\KAVO.wrp", "\\KAVO.exe", "\\KAVO.release", "\\KAVO_data\\update.ini", "\\KAVO_data\\launcher.ini",
    "\\KAVO_data\\" RELEASE_RECORD_NAME ".new", "\\KAVO_data\\KAVO_interface.exe -launcher",
};

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

// The failure path of an installation that cannot go on.
void failInstallation() {
    logMessage("installation FAILED");
    logMessage("");
    showWarning("Failed to install KAVO.\nPlease try again or contact %s", SUPPORT_CONTACT);
    endWork();
}

}  // namespace

int maxInstallDirLength() {
    size_t longest = 0;
    for (const char* s : INSTALL_SUFFIXES) longest = strlen(s) > longest ? strlen(s) : longest;
    return PATH_CAP - 1 - static_cast<int>(longest);
}

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
    int err = sysCreateFolder(installDir);
    if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS) {
        logMessage("CreateDirectory \"%s\" ERROR - %d", installDir, err);
        return false;
    }
    // Turned away before anything is written when another run works there.
    if (!claimInstallation(installDir, "install KAVO")) return false;
    // An unpacking cut off in this folder before is finished or undone first.
    recoverUnwrap(installDir);

    workInProgress = true;
    char archivePath[PATH_CAP];
    buildPath(archivePath, installDir, "\\KAVO.wrp");
    uiShowProgress(true);
    uiSetStatus("Downloading KAVO");
    uiSetProgress(0);

    // The release is settled before the first package is fetched.
    char releasePath[PATH_CAP];
    buildPath(releasePath, installDir, "\\KAVO.release");
    // Installing over an installation never takes it back to an older release.
    if (!beginRelease(releasePath, "install KAVO") || !releaseNotOlder(installDir, "install KAVO")) {
        failInstallation();
        return false;
    }

    double start = nowSeconds();
    FetchedPackage package;
    bool downloaded = fetchPackage(archivePath, testEdition ? "wrp_TEST\\KAVO.wrp" : "wrp\\KAVO.wrp", &package);
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
    bool unpacked = unpackPackage(&package, archivePath, "KAVO.wrp", installDir);
    end = nowSeconds();
    if (unpacked) logMessage("unwrapFolder - %.1lf sec", end - start);
    else logMessage("unwrapFolder - FAILED");
    logMessage("");
    if (!unpacked) {
        noteUnpackFailure();
        failInstallation();
        return false;
    }

    uiSetProgress(1000);
    char path[PATH_CAP];
    const char* versionName = testEdition ? "update_TEST.ini" : "update.ini";
    buildPath(path, installDir, "\\KAVO_data\\update.ini");
    bool versionsOk = versionFileMatches(path, versionName, tcpDownload(path, versionName, true));
    if (testEdition) {
        buildPath(path, installDir, "\\KAVO_data\\launcher.ini");
        versionsOk = versionFileMatches(path, "launcher_TEST.ini", tcpDownload(path, "launcher_TEST.ini", true)) &&
                     versionsOk;
    }
    if (!versionsOk) {
        failInstallation();
        return false;
    }
    keepReleaseRecord(installDir, "install KAVO");

    logMessage("");
    // What this run wrote, read from the archive before it is deleted.
    bool recorded = recordPackage(archivePath, installDir);
    if (sysDeleteFile(archivePath) == SYS_OK) logMessage("delete \"%s\"", archivePath);

    makeDesktopShortcut();
    // In the list of installed programs, so that it can be removed from there.
    if (recorded) registerInstallation(installDir);

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
