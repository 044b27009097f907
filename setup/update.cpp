#include "setup/update.h"

#include <cstring>
#include <vector>

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
#include "setup/installation.h"
#include "setup/shell.h"

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

bool wrpUpdate_TCP(const char* name, LandingRequest* request) {
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
    LandingRequest plain;
    if (!request) request = &plain;
    // The same package, unpacked by a run that stopped before its moves,
    // lands from the files it kept.
    if (const ReleaseEntry* entry = runReleasePackage(fileName)) {
        request->package = fileName;
        request->packageDigest = entry->sha256;
        bool kept = false;
        bool landed = landKeptPackage(workingDir, request, &kept);
        if (kept) {
            if (!landed) {
                noteUnpackFailure();
                logMessage("wrpUpdate_TCP ERROR - unwrapFolder failed (\"%s\")", name);
                return false;
            }
            // The package an earlier try downloaded is not needed any more.
            if (sysDeleteFile(localPath) == SYS_OK) logMessage("delete \"%s\"", localPath);
            logMessage("");
            return true;
        }
    }
    FetchedPackage package;
    if (!fetchPackage(localPath, remotePath, fileName, &package)) {
        logMessage("wrpUpdate_TCP ERROR - download failed (\"%s\")", name);
        return false;
    }

    formatText(status, sizeof status, "Extracting %s", name);
    uiSetStatus(status);
    uiSetProgress(0);
    if (!unpackPackage(&package, localPath, fileName, workingDir, request)) {
        // A file in use is its own outcome, before the update's general one.
        if (unwrapFailed & UNWRAP_IN_USE) noteOutcome(RunOutcome::FileInUse);
        logMessage("wrpUpdate_TCP ERROR - unwrapFolder failed (\"%s\")", name);
        return false;
    }
    if (sysDeleteFile(localPath) == SYS_OK) logMessage("delete \"%s\"", localPath);
    logMessage("");
    return true;
}

bool updateKAVO() {
    // The installation updated is the one in the folder this run started from.
    if (!claimInstallation(workingDir, "updateKAVO")) return false;
    workInProgress = true;
    uiShowProgress(true);
    // A landing cut off before is finished or put back first; one whose
    // journal cannot be trusted is cleared and the whole product lands.
    Settled settled = settleForCommand(workingDir, "updateKAVO");
    // The edition is the installation's own, as its signed record says.
    if (settled == Settled::Stuck || !editionFromRecord(workingDir, "updateKAVO")) {
        warnUpdateFailed();
        endUpdate();
        return false;
    }
    // The release is settled before the first package is fetched, and an
    // installation never goes back to an older one.
    char releasePath[PATH_CAP];
    if (!formatText(releasePath, sizeof releasePath, "%s\\KAVO.release", workingDir) ||
        !beginRelease(releasePath, "updateKAVO") || !releaseMayLand(workingDir, "updateKAVO")) {
        warnUpdateFailed();
        endUpdate();
        return false;
    }

    // Fixed order; for each component only one package is tried, _ALL first.
    std::vector<const char*> tries;
    if (settled == Settled::Repaired) {
        logMessage("updateKAVO - the whole product is fetched to repair \"%s\"", workingDir);
        tries.push_back("KAVO");
    } else {
        for (const Component& c : COMPONENTS) {
            if (pendingUpdates[c.all]) tries.push_back(PACKAGE_NAMES[c.all]);
            else if (pendingUpdates[c.exe]) tries.push_back(PACKAGE_NAMES[c.exe]);
        }
        if (pendingUpdates[UPDATE_KAVO_EXE]) tries.push_back(PACKAGE_NAMES[UPDATE_KAVO_EXE]);
    }

    // Each package lands with the installation's records; the last one, when
    // every package before it landed, also with the new version file.
    bool failed = false, swapped = false;
    for (size_t i = 0; i < tries.size(); ++i) {
        bool last = i + 1 == tries.size();
        InstallationRecords records(last && !failed ? VersionFiles::Swap : VersionFiles::Keep, false);
        LandingRequest request;
        request.extras = &records;
        request.retry = askAboutHeldFile;
        if (wrpUpdate_TCP(tries[i], &request)) {
            swapped = records.versionsLanded();
        } else {
            logMessage("updateKAVO %s - FAILED", tries[i]);
            failed = true;
        }
    }
    char fresh[PATH_CAP];
    bool haveFresh = formatText(fresh, sizeof fresh, "%s\\KAVO_data\\update_new.ini", workingDir) &&
                     sysPathKind(fresh) == 1;
    if (tries.empty() && !haveFresh) {
        // Nothing to fetch and no new version file: nothing changes.
        logMessage("updateKAVO - \"%s\" missing, update.ini kept", fresh);
    } else if (tries.empty()) {
        // Nothing to fetch: the version file lands alone, with the records.
        InstallationRecords records(VersionFiles::Swap, false);
        LandingRequest request;
        request.extras = &records;
        request.retry = askAboutHeldFile;
        if (landRecords(workingDir, &request)) swapped = records.versionsLanded();
        else failed = true;
    }
    if (failed) noteOutcome(RunOutcome::ComponentsFailed);
    if (swapped) sysDeleteFile(fresh);
    if (failed) {
        warnUpdateFailed();  // once, however many packages failed
        endUpdate();
        return false;
    }
    if (uiAskYesNo("Update is completed.\nDo you want to start KAVO?", "Update Completed", false)) {
        logMessage("start KAVO");
        if (startKAVO(workingDir)) uiQuit();
        else logMessage("unable to start KAVO");
    }
    endUpdate();
    return true;
}
