#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "app/eventlog.h"
#include "app/globals.h"
#include "base/textbuf.h"
#include "setup/shell.h"

void makeDesktopShortcut() {
    char target[PATH_CAP], shortcut[PATH_CAP];
    if (!copyText(target, sizeof target, installDir) || !appendText(target, sizeof target, "\\KAVO.exe")) return;
    if (SHGetFolderPathA(nullptr, CSIDL_DESKTOP, nullptr, SHGFP_TYPE_CURRENT, shortcut) != S_OK) return;
    if (!appendText(shortcut, sizeof shortcut, testEdition ? "\\KAVO_TEST.lnk" : "\\KAVO.lnk")) {
        logMessage("shortcut ERROR - desktop path too long");
        return;
    }

    HRESULT com = CoInitialize(nullptr);
    IShellLinkA* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&link)))) {
        IPersistFile* persist = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) &&
            SUCCEEDED(link->SetPath(target)) && SUCCEEDED(link->SetWorkingDirectory(installDir))) {
            wchar_t wide[PATH_CAP];
            if (MultiByteToWideChar(CP_THREAD_ACP, 0, shortcut, -1, wide, PATH_CAP) > 0) {
                persist->Save(wide, TRUE);
                persist->SaveCompleted(wide);
            }
        }
        // Released in reverse order of acquisition.
        if (persist) persist->Release();
        link->Release();
    }
    if (com == S_OK || com == S_FALSE) CoUninitialize();
    logMessage("shortcut \"%s\"", shortcut);
}

namespace {

// The target of a shortcut file, or false when it cannot be read.
bool shortcutTarget(const char* file, char* target, int cap) {
    bool ok = false;
    HRESULT com = CoInitialize(nullptr);
    IShellLinkA* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&link)))) {
        IPersistFile* persist = nullptr;
        wchar_t wide[PATH_CAP];
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) &&
            MultiByteToWideChar(CP_THREAD_ACP, 0, file, -1, wide, PATH_CAP) > 0 &&
            SUCCEEDED(persist->Load(wide, STGM_READ)))
            ok = SUCCEEDED(link->GetPath(target, cap, nullptr, SLGP_RAWPATH));
        if (persist) persist->Release();
        link->Release();
    }
    if (com == S_OK || com == S_FALSE) CoUninitialize();
    return ok;
}

}  // namespace

void removeDesktopShortcuts(const char* folder) {
    char desktop[PATH_CAP], expected[PATH_CAP];
    if (SHGetFolderPathA(nullptr, CSIDL_DESKTOP, nullptr, SHGFP_TYPE_CURRENT, desktop) != S_OK) return;
    if (!copyText(expected, sizeof expected, folder) || !appendText(expected, sizeof expected, "\\KAVO.exe")) return;
    static const char* const NAMES[] = {"\\KAVO.lnk", "\\KAVO_TEST.lnk"};
    for (const char* name : NAMES) {
        char file[PATH_CAP], target[PATH_CAP];
        if (!copyText(file, sizeof file, desktop) || !appendText(file, sizeof file, name)) continue;
        if (GetFileAttributesA(file) == INVALID_FILE_ATTRIBUTES) continue;
        if (!shortcutTarget(file, target, sizeof target)) copyText(target, sizeof target, "(unreadable)");
        if (lstrcmpiA(target, expected) != 0) {
            logMessage("shortcut \"%s\" points to \"%s\" - kept", file, target);
            continue;
        }
        if (DeleteFileA(file)) logMessage("delete \"%s\"", file);
        else logMessage("shortcut ERROR - \"%s\" cannot be removed - %lu", file, GetLastError());
    }
}

bool copyRunningInstaller(const char* target) {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    return n > 0 && n < sizeof self && CopyFileA(self, target, FALSE);
}

bool startKAVO(const char* dir) {
    if (!dir) return false;
    char commandLine[PATH_CAP] = {};
    if (!copyText(commandLine, sizeof commandLine, dir) ||
        !appendText(commandLine, sizeof commandLine, "\\KAVO_data\\KAVO_interface.exe -launcher"))
        return false;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, dir, &startup, &process))
        return false;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}
