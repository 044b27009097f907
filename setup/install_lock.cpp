#include "setup/install_lock.h"

#include "app/eventlog.h"
#include "app/globals.h"
#include "platform/sys.h"
#include "setup/outcome.h"

namespace {

SysFolderClaim* held = nullptr;

}  // namespace

bool claimInstallation(const char* folder, const char* who) {
    releaseInstallation();
    int err = sysClaimFolder(folder, &held);
    if (err == SYS_OK) return true;
    if (err == SYS_ERROR_BUSY) {
        noteOutcome(RunOutcome::FolderBusy);
        logMessage("%s ERROR - another installer is working on \"%s\"", who, folder);
        showWarning("Another installer is working on \"%s\" at the moment.\n"
                    "Please try again when it has finished or contact %s",
                    folder, SUPPORT_CONTACT);
    } else {
        logMessage("%s ERROR - cannot claim \"%s\" - %d", who, folder, err);
        showWarning("\"%s\" cannot be used for the installation.\nPlease try again or contact %s", folder,
                    SUPPORT_CONTACT);
    }
    return false;
}

void releaseInstallation() {
    sysReleaseFolder(held);
    held = nullptr;
}
