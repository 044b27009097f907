#include "setup/update.h"

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

int32_t pendingUpdates[UPDATE_COUNT];

namespace {

const char* const PACKAGE_NAMES[UPDATE_COUNT] = {"OSKE_EXE", "OSKE_ALL", "VELN_EXE", "VELN_ALL",
                                                 "UBRA_EXE", "UBRA_ALL", "KAVO_EXE"};

struct Component {
    int all, exe;
    const char* allFailed;
    const char* exeFailed;
};
// Fixed order; for each component only one package is tried, _ALL first.
const Component COMPONENTS[] = {
    {UPDATE_OSKE_ALL, UPDATE_OSKE_EXE, "updateKAVO OSKE_ALL - FAILED", "updateKAVO OSKE_EXE - FAILED"},
    {UPDATE_VELN_ALL, UPDATE_VELN_EXE, "updateKAVO VELN_ALL - FAILED", "updateKAVO VELN_EXE - FAILED"},
    {UPDATE_UBRA_ALL, UPDATE_UBRA_EXE, "updateKAVO UBRA_ALL - FAILED", "updateKAVO UBRA_EXE - FAILED"},
};

void endUpdate() {
    endRelease();
    releaseInstallation();
    uiSetStatus("");
    workInProgress = false;
    uiShowProgress(false);
}

void warnUpdateFailed() { showWarning("Failed to update KAVO.\nPlease try again or contact %s", SUPPORT_CONTACT); }

// Puts update_new.ini in the place of update.ini.  False (logged) when the
// version file could not be replaced: both files are then as they were.
bool swapVersionFiles() {
    char current[PATH_CAP], fresh[PATH_CAP];
    if (!copyText(current, sizeof current, workingDir) ||
        !appendText(current, sizeof current, "\\KAVO_data\\update.ini") ||
        !copyText(fresh, sizeof fresh, workingDir) ||
        !appendText(fresh, sizeof fresh, "\\KAVO_data\\update_new.ini")) {
        logMessage("updateKAVO ERROR - version file path too long, update.ini kept");
        return false;
    }
    // Without a new version file the installed one is kept: deleting it
    // would leave the installation with none.
    if (sysPathKind(fresh) != 1) {
        logMessage("updateKAVO - \"%s\" missing, update.ini kept", fresh);
        return true;
    }
    // One step, so that a failure never leaves the installation without a
    // version file.
    int err = sysReplaceFile(fresh, current);
    if (err != SYS_OK) {
        logMessage("updateKAVO ERROR - \"%s\" could not replace \"%s\" - %d", fresh, current, err);
        return false;
    }
    return true;
}

}  // namespace

const char* updatePackageName(int index) {
    return index >= 0 && index < UPDATE_COUNT ? PACKAGE_NAMES[index] : nullptr;
}

int updatePackageIndex(const char* name) {
    if (!name) return -1;
    for (int i = 0; i < UPDATE_COUNT; ++i)
        if (strcmp(name, PACKAGE_NAMES[i]) == 0) return i;
    return -1;
}

bool applyUpdateSwitch(const char* commandLine, int* unknownNames) {
    if (unknownNames) *unknownNames = 0;
    const char* sw = commandLine ? strstr(commandLine, "-update:") : nullptr;
    if (!sw) return false;
    const char* p = sw + strlen("-update:");
    while (*p && *p != ' ' && *p != '\t') {
        const char* end = p;
        while (*end && *end != ',' && *end != ' ' && *end != '\t') ++end;
        char name[100];
        size_t n = static_cast<size_t>(end - p);
        if (n > 0) {
            if (n < sizeof name) {
                memcpy(name, p, n);
                name[n] = '\0';
            } else {
                copyText(name, sizeof name, "(too long)");
            }
            int index = n < sizeof name ? updatePackageIndex(name) : -1;
            if (index >= 0) pendingUpdates[index] = 1;
            else {
                logMessage("-update: unknown package \"%s\" - ignored", name);
                if (unknownNames) ++*unknownNames;
            }
        }
        p = *end == ',' ? end + 1 : end;
    }
    return true;
}

void recoverCutOffUnpacking(const char* folder) {
    SysFolderClaim* claim = nullptr;
    int err = sysClaimFolder(folder, &claim);
    if (err == SYS_ERROR_BUSY) {
        logMessage("start-up - another installer is working on \"%s\", its unpacking is left to it", folder);
        return;
    }
    if (err != SYS_OK) return;  // no folder to look at
    recoverUnwrap(folder);
    sysReleaseFolder(claim);
}

bool wrpUpdate_TCP(const char* name) {
    char fileName[100], status[STATUS_CAP], localPath[PATH_CAP], remotePath[PATH_CAP];
    if (!name || !formatText(fileName, sizeof fileName, "%s.wrp", name)) {
        logMessage("wrpUpdate_TCP ERROR - package name too long");
        return false;
    }
    formatText(status, sizeof status, "Downloading %s", name);
    uiSetStatus(status);
    uiSetProgress(0);

    if (!formatText(localPath, sizeof localPath, "%s\\%s", workingDir, fileName) ||
        !formatText(remotePath, sizeof remotePath, "%s%s", testEdition ? "wrp_TEST\\" : "wrp\\", fileName)) {
        logMessage("wrpUpdate_TCP ERROR - path of \"%s\" too long", name);
        return false;
    }
    FetchedPackage package;
    if (!fetchPackage(localPath, remotePath, &package)) {
        logMessage("wrpUpdate_TCP ERROR - download failed (\"%s\")", name);
        return false;
    }

    formatText(status, sizeof status, "Extracting %s", name);
    uiSetStatus(status);
    uiSetProgress(0);
    if (!unpackPackage(&package, localPath, fileName, workingDir)) {
        logMessage("wrpUpdate_TCP ERROR - unwrapFolder failed (\"%s\")", name);
        return false;
    }
    recordPackage(localPath, workingDir);  // what the uninstall removes
    if (sysDeleteFile(localPath) == SYS_OK) logMessage("delete \"%s\"", localPath);
    logMessage("");
    return true;
}

bool updateKAVO() {
    // The installation updated is the one in the folder this run started from.
    if (!claimInstallation(workingDir, "updateKAVO")) return false;
    // A package cut off before is finished or undone before any other lands.
    recoverUnwrap(workingDir);
    workInProgress = true;
    uiShowProgress(true);
    bool failed = false;

    // The release is settled before the first package is fetched, and an
    // installation never goes back to an older one.
    char releasePath[PATH_CAP];
    if (!formatText(releasePath, sizeof releasePath, "%s\\KAVO.release", workingDir) ||
        !beginRelease(releasePath, "updateKAVO") || !releaseNotOlder(workingDir, "updateKAVO")) {
        warnUpdateFailed();
        endUpdate();
        return false;
    }

    for (const Component& c : COMPONENTS) {
        if (pendingUpdates[c.all]) {
            if (!wrpUpdate_TCP(PACKAGE_NAMES[c.all])) {
                logMessage("%s", c.allFailed);
                failed = true;
            }
        } else if (pendingUpdates[c.exe]) {
            if (!wrpUpdate_TCP(PACKAGE_NAMES[c.exe])) {
                logMessage("%s", c.exeFailed);
                failed = true;
            }
        }
    }

    bool productFailed = false;
    if (pendingUpdates[UPDATE_KAVO_EXE] && !wrpUpdate_TCP("KAVO_EXE")) {
        logMessage("updateKAVO KAVO_EXE - FAILED");
        productFailed = true;
    }

    // The version file is replaced only when every package succeeded.
    if (productFailed || failed) noteOutcome(RunOutcome::ComponentsFailed);
    bool completed = !productFailed && !failed && swapVersionFiles();
    if (!completed) {
        warnUpdateFailed();  // once, however many packages failed
        endUpdate();
        return false;
    }
    keepReleaseRecord(workingDir, "updateKAVO");
    if (uiAskYesNo("Update is completed.\nDo you want to start KAVO?", "Update Completed", false)) {
        logMessage("start KAVO");
        if (startKAVO(workingDir)) uiQuit();
        else logMessage("unable to start KAVO");
    }
    endUpdate();
    return true;
}
