// Entry point: configuration, then either the release packaging run or the
// window with its message loop.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>

#include "app/commands.h"
#include "app/config.h"
#include "app/eventlog.h"
#include "app/globals.h"
#include "app/uninstall_win32.h"
#include "app/window_win32.h"
#include "archive/autowrap.h"
#include "base/textbuf.h"
#include "net/connection.h"
#include "platform/sys.h"
#include "setup/package_check.h"
#include "setup/update.h"

namespace {

#ifdef KAVO_PACKAGE_KEY_BYTES
// The maker's public key, embedded by a key-built exe (KAVO_PACKAGE_KEY).
const uint8_t embeddedPackageKey[] = {KAVO_PACKAGE_KEY_BYTES};
static_assert(sizeof embeddedPackageKey == 65, "a public key has 65 bytes");
#endif

void readConfiguration() {
    if (!sysCurrentFolder(workingDir, sizeof workingDir))
        logMessage("start-up - current directory does not fit %d bytes", WORKING_DIR_CAP);

    FILE* setup = sysOpenFile("setup.ini", "rt");
    if (setup) {
        logMessage("Load setup.ini:");
        readSetupIni(setup);
        logMessage("Load setup.ini - DONE!");
        fclose(setup);
    }

    char launcherPath[PATH_CAP];
    if (!copyText(launcherPath, sizeof launcherPath, workingDir) ||
        !appendText(launcherPath, sizeof launcherPath, "\\KAVO_data\\launcher.ini")) {
        logMessage("start-up - launcher.ini path is too long");
    } else if (FILE* launcher = sysOpenFile(launcherPath, "rt")) {
        if (scanLauncherIni(launcher)) testEdition = true;
        fclose(launcher);
    }
}

void registerWindowClass() {
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = mainWindowProc;
    wc.hInstance = appInstance;
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = CreateSolidBrush(RGB(200, 200, 200));
    wc.lpszClassName = MAIN_WINDOW_CLASS;
    RegisterClassExA(&wc);
}

void runMessageLoop() {
    MSG msg;
    while (keepRunning) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) break;
        if (got == -1) {
            // Waiting itself failed: nothing sensible is left to wait for.
            logMessage("message loop ERROR - %lu", GetLastError());
            break;
        }
        if (!IsDialogMessageA(mainWindow, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    appInstance = instance;
#ifdef KAVO_PACKAGE_KEY_BYTES
    installerPackageKey = embeddedPackageKey;
#endif
    readConfiguration();
    // Started from the list of installed programs: no window.
    if (hasSwitchWord(commandLine, "-uninstall")) return runUninstall(commandLine);

    if (testEdition) {
        copyText(installDir, sizeof installDir, "C:\\KAVO_TEST");
        MessageBoxA(nullptr, "This is KAVO TEST version!", "KAVO TEST", MB_ICONWARNING | MB_OK);
    } else {
        copyText(installDir, sizeof installDir, "C:\\KAVO");
    }

    if (hasSwitch(commandLine, "-autoWrap")) {
        consoleMode = true;
        AllocConsole();
        freopen("conout$", "w", stdout);
        logMessage("auto wrap KAVO directory");
        autoWrapRelease();
        logMessage("done");
        Sleep(3000);
        return 0;
    }

    char value[INSTALL_DIR_CAP];
    switch (parseInstallDirSwitch(commandLine, value, sizeof value)) {
        case InstallDirSwitch::Applied: copyText(installDir, sizeof installDir, value); break;
        case InstallDirSwitch::Empty: logMessage("-installDir: without a folder - ignored"); break;
        case InstallDirSwitch::TooLong:
            logMessage("-installDir: folder longer than %d characters - ignored", INSTALL_DIR_CAP - 1);
            break;
        case InstallDirSwitch::Absent: break;
    }

    screenWidth = GetSystemMetrics(SM_CXSCREEN);
    screenHeight = GetSystemMetrics(SM_CYSCREEN);
    registerWindowClass();
    createMainWindow();
    if (!mainWindow) {
        logMessage("failed to create the main window - %lu", GetLastError());
        MessageBoxA(nullptr, "KAVO Installer could not open its window.\nPlease try again or contact " SUPPORT_CONTACT,
                    "KAVO Warning", MB_ICONWARNING | MB_OK);
        return 0;
    }

    logMessage("KAVO Installer - %d.%02d.%d", VERSION_MAJOR, VERSION_MINOR, VERSION_BUILD);
    logMessage("");
    applyUpdateSwitch(commandLine);

    if (!connectToServer()) {
        logMessage("FAILED to connect to Update Server");
        showWarning("Failed to connect to Update Server.\nPlease check your internet connection or contact " SUPPORT_CONTACT);
    }

    runMessageLoop();
    return 0;
}
