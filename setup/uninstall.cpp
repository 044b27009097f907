#include "setup/uninstall.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/unwrap_journal.h"
#include "base/textbuf.h"
#include "platform/file_names.h"
#include "platform/sys.h"
#include "setup/install_lock.h"
#include "setup/installation.h"
#include "setup/shell.h"

namespace {

// Names shown in the closing box; the log has all of them.
const int BOX_NAMES = 8;


struct Outcome {
    int filesRemoved = 0, foldersRemoved = 0;
    std::vector<std::string> left;     // listed files that could not be removed
    std::vector<std::string> kept;     // files the record does not list
    std::vector<std::string> outside;  // listed paths that lead out of the installation
};

void removeListedFile(const char* folder, const std::string& rel, Outcome* out) {
    char path[PATH_CAP];
    installationPath(path, folder, rel.c_str());  // checked when the record was read
    int kind = sysPathKind(path);
    if (kind == 0) return;  // gone already (an earlier, interrupted uninstall)
    // Deleted only where it lies inside the installation, as the open file
    // itself says: never through a link or junction planted on the way.
    int err = kind == 1 ? sysDeleteInside(folder, path) : SYS_ERROR_ACCESS_DENIED;
    if (err == SYS_OK) {
        logMessage("delete \"%s\"", path);
        ++out->filesRemoved;
        return;
    }
    if (err == SYS_ERROR_NOT_INSIDE) {
        logMessage("uninstall KAVO ERROR - \"%s\" leads outside the installation - kept", path);
        out->outside.push_back(rel);
        return;
    }
    logMessage("uninstall KAVO ERROR - \"%s\" is in use or cannot be removed - %d - left", path, err);
    out->left.push_back(rel);
}

// Every file under `path` that is still there once the listed ones are
// gone: the user's own.  Links are reported, never followed.
void findKept(const std::string& path, const std::string& rel, const std::set<std::string, FileNameLess>& listed,
              Outcome* out) {
    SysFolderScan* scan = sysScanBegin(path.c_str());
    if (!scan) return;
    SysFolderEntry e;
    while (sysScanNext(scan, &e)) {
        if (strcmp(e.name, ".") == 0 || strcmp(e.name, "..") == 0) continue;
        std::string childRel = rel.empty() ? e.name : rel + "\\" + e.name;
        std::string child = path + "\\" + e.name;
        if (e.isFolder && !e.isLink) {
            if (child.size() < PATH_CAP) findKept(child, childRel, listed, out);
        } else if (!listed.count(childRel)) {
            logMessage("uninstall KAVO - kept \"%s\"", child.c_str());
            out->kept.push_back(childRel);
        }
    }
    sysScanEnd(scan);
}

void appendNames(std::string* text, const std::vector<std::string>& names) {
    int shown = 0;
    for (const std::string& n : names) {
        if (shown++ == BOX_NAMES) {
            *text += "\n...";
            break;
        }
        *text += "\n" + n;
    }
}

void closingBox(const char* folder, const Outcome& o) {
    char head[LOG_TEXT_CAP];
    if (o.left.empty())
        formatText(head, sizeof head, "KAVO was removed from \"%s\": %d files and %d folders.", folder,
                   o.filesRemoved, o.foldersRemoved);
    else
        formatText(head, sizeof head,
                   "KAVO could not be removed completely from \"%s\" (%d files and %d folders removed).\n"
                   "These files are in use and were left; close KAVO and uninstall again:",
                   folder, o.filesRemoved, o.foldersRemoved);
    std::string text = head;
    appendNames(&text, o.left);
    if (!o.kept.empty()) {
        text += "\n\nFiles you made there were kept:";
        appendNames(&text, o.kept);
    }
    if (!o.outside.empty()) {
        text += "\n\nThese lead outside the installation through a link and were kept:";
        appendNames(&text, o.outside);
    }
    char box[LOG_TEXT_CAP];
    copyText(box, sizeof box, text.c_str());  // a long list is cut, the log has all names
    uiInform(box, UNINSTALL_TITLE);
}

void runUninstall(const char* folder, Outcome* out) {
    // A landing cut off here is finished or put back first, so that the
    // record names what is on the disk; what no journal can account for is
    // removed with the installer's other leftovers below.
    recoverUnwrap(folder);
    std::vector<InstalledEntry> record;
    if (!readInstalledRecord(folder, &record))
        logMessage("uninstall KAVO - no record of installed files in \"%s\"", folder);

    // The installer's own files go last, and only when everything else
    // went: while anything is left, uninstalling can be tried again.
    for (const InstalledEntry& e : record)
        if (!e.folder && !isInstallerFile(e.rel)) removeListedFile(folder, e.rel, out);
    out->filesRemoved += static_cast<int>(removeInstallerLeftovers(folder));
    if (out->left.empty())
        for (const char* own : {UNINSTALLER_PATH, RELEASE_RECORD_PATH, INSTALL_RECORD_PATH})
            removeListedFile(folder, own, out);

    // Deepest first, so that a folder's listed sub-folders are gone before it.
    std::vector<std::string> folders;
    for (const InstalledEntry& e : record)
        if (e.folder) folders.push_back(e.rel);
    auto depth = [](const std::string& s) { return std::count_if(s.begin(), s.end(), isSeparator); };
    std::stable_sort(folders.begin(), folders.end(),
                     [&depth](const std::string& a, const std::string& b) { return depth(a) > depth(b); });
    for (const std::string& rel : folders) {
        char path[PATH_CAP];
        installationPath(path, folder, rel.c_str());
        // A listed folder reached through a link is not this installation's.
        if (sysPathKind(path) == 2 && sysDeleteInside(folder, path) == SYS_OK) {
            logMessage("remove \"%s\"", path);
            ++out->foldersRemoved;
        }
    }

    // Whatever is still there and listed was left above; the rest is the user's.
    std::set<std::string, FileNameLess> listed;
    for (const InstalledEntry& e : record) listed.insert(e.rel);
    for (const char* own : {UNINSTALLER_PATH, RELEASE_RECORD_PATH, INSTALL_RECORD_PATH}) listed.insert(own);
    findKept(folder, "", listed, out);
    // The installation folder itself, when nothing is left in it.
    if (out->left.empty() && out->kept.empty() && sysRemoveFolder(folder) == SYS_OK) {
        logMessage("remove \"%s\"", folder);
        ++out->foldersRemoved;
    }

    removeDesktopShortcuts(folder);
    if (out->left.empty()) unregisterInstallation(folder);
}

}  // namespace

bool uninstallKAVO(const char* folder) {
    logMessage("uninstall KAVO <- \"%s\"", folder);
    if (static_cast<int>(strlen(folder)) > maxInstallDirLength()) {
        logMessage("uninstall KAVO ERROR - installation folder longer than %d characters", maxInstallDirLength());
        uiInform("The installation folder is too long; nothing was removed.", UNINSTALL_TITLE);
        return false;
    }
    bool present = sysPathKind(folder) == 2;
    // Turned away, like an installation, while another run works there.
    if (present && !claimInstallation(folder, "uninstall KAVO")) return false;

    char question[LOG_TEXT_CAP];
    formatText(question, sizeof question, "Do you want to remove KAVO from \"%s\"?\nFiles you made there are kept.",
               folder);
    if (!uiAskYesNo(question, UNINSTALL_TITLE, false)) {
        logMessage("uninstall KAVO - cancelled");
        releaseInstallation();
        return false;
    }

    Outcome outcome;
    if (present) {
        runUninstall(folder, &outcome);
    } else {
        logMessage("uninstall KAVO - \"%s\" is not there", folder);
        removeDesktopShortcuts(folder);
        unregisterInstallation(folder);
    }
    releaseInstallation();
    if (outcome.left.empty()) logMessage("uninstall KAVO - done");
    else logMessage("uninstall KAVO - %d files left", static_cast<int>(outcome.left.size()));
    logMessage("");
    closingBox(folder, outcome);
    return outcome.left.empty();
}
