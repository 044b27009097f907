// The "-uninstall" run: no main window, one question, one closing box.
//
// The list of installed programs starts the copy of the installer kept in
// the installation.  A running exe cannot delete itself, so that copy only
// copies itself to the user's temporary folder, starts the copy there and
// ends; the copy in the temporary folder waits for it to end and does the
// work.  The log goes to the temporary folder too: a log left behind in the
// removed folder would be litter.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/config.h"
#include "app/eventlog.h"
#include "app/globals.h"
#include "app/uninstall_win32.h"
#include "base/textbuf.h"
#include "setup/uninstall.h"

namespace {

void stripSeparators(char* path) {
    size_t n = strlen(path);
    while (n > 3 && (path[n - 1] == '\\' || path[n - 1] == '/')) path[--n] = '\0';
}

// The installation that holds this exe as its uninstaller copy
// (<folder>\KAVO_data\<exe>); false when the exe lies elsewhere.
bool folderOfUninstaller(const char* self, char* folder, size_t cap) {
    char path[MAX_PATH];
    if (!copyText(path, sizeof path, self)) return false;
    char* name = strrchr(path, '\\');
    if (!name) return false;
    *name = '\0';
    char* data = strrchr(path, '\\');
    if (!data || lstrcmpiA(data + 1, "KAVO_data") != 0) return false;
    *data = '\0';
    return copyText(folder, cap, path);
}

// True when `path` lies inside `folder`.
bool inside(const char* path, const char* folder) {
    size_t n = strlen(folder);
    if (n == 0 || strlen(path) <= n || (path[n] != '\\' && path[n] != '/')) return false;
    char head[MAX_PATH];
    if (n >= sizeof head) return false;
    memcpy(head, path, n);
    head[n] = '\0';
    return lstrcmpiA(head, folder) == 0;
}

// Copies this exe into the temporary folder and starts the copy on
// `folder`; true when it runs.
bool continueFromTemp(const char* self, const char* temp, const char* folder, const char* commandLine) {
    char copy[MAX_PATH];
    formatText(copy, sizeof copy, "%sKAVO_uninstall.exe", temp);
    // A copy still running from an earlier uninstall cannot be replaced.
    if (!CopyFileA(self, copy, FALSE)) {
        formatText(copy, sizeof copy, "%sKAVO_uninstall_%lu.exe", temp, GetCurrentProcessId());
        if (!CopyFileA(self, copy, FALSE)) {
            logMessage("uninstall KAVO ERROR - cannot copy \"%s\" to \"%s\" - %lu", self, copy, GetLastError());
            return false;
        }
    }
    char command[LOG_TEXT_CAP];
    if (!formatText(command, sizeof command, "\"%s\" -uninstall -installDir:\"%s\" -uninstallAfter:%lu%s", copy,
                    folder, GetCurrentProcessId(), hasSwitchWord(commandLine, "-silent") ? " -silent" : ""))
        return false;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(copy, command, nullptr, nullptr, FALSE, 0, nullptr, temp, &startup, &process)) {
        logMessage("uninstall KAVO ERROR - cannot start \"%s\" - %lu", copy, GetLastError());
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// The run that started this one must end first: its exe is one of the
// files to remove.
void waitForStarter(const char* commandLine) {
    const char* value = nullptr;
    if (!hasSwitchWord(commandLine, "-uninstallAfter:", &value)) return;
    DWORD pid = strtoul(value, nullptr, 10);
    HANDLE starter = pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
    if (!starter) return;
    WaitForSingleObject(starter, 10000);
    CloseHandle(starter);
}

}  // namespace

UninstallRun runUninstall(const char* commandLine) {
    char temp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof temp, temp);
    if (n > 0 && n < sizeof temp) SetCurrentDirectoryA(temp);
    else temp[0] = '\0';

    char self[MAX_PATH];
    n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) self[0] = '\0';

    // The folder: named on the command line, else the installation that
    // holds this exe, else the default one.
    char folder[INSTALL_DIR_CAP];
    switch (parseInstallDirSwitch(commandLine, folder, sizeof folder)) {
        case InstallDirSwitch::Applied: break;
        default:
            if (!folderOfUninstaller(self, folder, sizeof folder))
                copyText(folder, sizeof folder, testEdition ? "C:\\KAVO_TEST" : "C:\\KAVO");
            break;
    }
    stripSeparators(folder);

    waitForStarter(commandLine);
    if (temp[0] && inside(self, folder) && continueFromTemp(self, temp, folder, commandLine))
        return UninstallRun::HandedOver;
    return uninstallKAVO(folder) ? UninstallRun::Done : UninstallRun::Failed;
}
