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
#include "setup/install.h"
#include "setup/installation.h"
#include "setup/outcome.h"
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

// The longest an unattended run may take: a server that trickles its bytes
// must not keep a deployment waiting for ever.
enum : unsigned { SILENT_RUN_LIMIT_MINUTES = 120, SILENT_LIMIT_TIMER = 1 };

void CALLBACK onSilentLimit(HWND window, UINT, UINT_PTR id, DWORD) {
    KillTimer(window, id);
    logMessage("silent run - not done after %u minutes: the work stops", static_cast<unsigned>(SILENT_RUN_LIMIT_MINUTES));
    noteOutcome(RunOutcome::GeneralFailure);
    abortRequested = true;
}

// The first connection to the update server; a failure is logged and
// warned about.
bool connectAtStart() {
    if (connectToServer()) return true;
    logMessage("FAILED to connect to Update Server");
    showWarning("Failed to connect to Update Server.\nPlease check your internet connection or contact " SUPPORT_CONTACT);
    return false;
}

// The last line of an unattended run's log, and its exit code.
int endSilentRun(bool workDone) {
    RunOutcome outcome = runOutcome(workDone);
    logMessage("silent run - exit code %d - %s", outcomeExitCode(outcome), outcomeMeaning(outcome));
    return outcomeExitCode(outcome);
}

// -silent beside -autoWrap: said in the log file and on the console (the
// caller's when there is one), and nothing is done.
int refuseSilentPackaging() {
    const char* line = "-silent cannot be combined with -autoWrap - nothing done";
    logMessage("%s", line);
    noteOutcome(RunOutcome::BadCommandLine);
    int code = endSilentRun(false);
    bool ownConsole = !AttachConsole(ATTACH_PARENT_PROCESS);
    if (ownConsole) AllocConsole();
    freopen("conout$", "w", stdout);
    consoleMode = true;
    logMessage("%s", line);
    if (ownConsole) Sleep(3000);  // long enough to be read
    return code;
}

// The unattended run once the window exists: the command line is checked,
// the link made, and the work run at once; returns the exit code.
int runSilently(const char* commandLine, bool installDirRefused) {
    int unknownNames = 0;
    bool update = applyUpdateSwitch(commandLine, &unknownNames);
    if (installDirRefused || unknownNames > 0) {
        noteOutcome(RunOutcome::BadCommandLine);
        return endSilentRun(false);
    }
    if (update) logMessage("silent run - component update of \"%s\"", workingDir);
    else logMessage("silent run - installation into \"%s\"", installDir);

    if (!connectAtStart()) {
        noteOutcome(RunOutcome::ServerUnreachable);
        return endSilentRun(false);
    }
    SetTimer(mainWindow, SILENT_LIMIT_TIMER, SILENT_RUN_LIMIT_MINUTES * 60u * 1000u, onSilentLimit);
    bool done = update ? updateKAVO() : installKAVO();
    return endSilentRun(done);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    appInstance = instance;
#ifdef KAVO_PACKAGE_KEY_BYTES
    installerPackageKey = embeddedPackageKey;
#endif
    silentMode = hasSwitchWord(commandLine, "-silent");
    readConfiguration();
    if (silentMode && hasSwitch(commandLine, "-autoWrap")) return refuseSilentPackaging();
    // Started from the list of installed programs: no window.
    if (hasSwitchWord(commandLine, "-uninstall")) {
        UninstallRun run = runUninstall(commandLine);
        if (!silentMode || run == UninstallRun::HandedOver) return 0;
        return endSilentRun(run == UninstallRun::Done);
    }
    // Before any command or packing run: an unpacking cut off in this folder
    // (a power cut, a kill) is finished or undone, so its packages are
    // wholly old or wholly new.
    settleAtStart(workingDir);

    if (testEdition) {
        copyText(installDir, sizeof installDir, "C:\\KAVO_TEST");
        if (!silentMode) MessageBoxA(nullptr, "This is KAVO TEST version!", "KAVO TEST", MB_ICONWARNING | MB_OK);
    } else {
        copyText(installDir, sizeof installDir, "C:\\KAVO");
    }

    if (hasSwitch(commandLine, "-autoWrap")) {
        consoleMode = true;
        AllocConsole();
        freopen("conout$", "w", stdout);
        logMessage("auto wrap KAVO directory");
        // The signing key comes from outside the folder that is packed.
        DWORD n = GetEnvironmentVariableA("KAVO_SIGNING_KEY", signingKeyPath, sizeof signingKeyPath);
        if (n >= sizeof signingKeyPath) {
            logMessage("auto wrap ERROR - KAVO_SIGNING_KEY longer than %d characters - nothing packed", PATH_CAP - 1);
        } else {
            if (n == 0) signingKeyPath[0] = '\0';
            autoWrapRelease();
        }
        logMessage("done");
        Sleep(3000);
        return 0;
    }

    char value[INSTALL_DIR_CAP];
    bool installDirRefused = false;
    switch (parseInstallDirSwitch(commandLine, value, sizeof value)) {
        case InstallDirSwitch::Applied: copyText(installDir, sizeof installDir, value); break;
        case InstallDirSwitch::Empty:
            logMessage("-installDir: without a folder - ignored");
            installDirRefused = true;
            break;
        case InstallDirSwitch::TooLong:
            logMessage("-installDir: folder longer than %d characters - ignored", INSTALL_DIR_CAP - 1);
            installDirRefused = true;
            break;
        case InstallDirSwitch::Absent: break;
    }
    // The folder INSTALL acts on starts from a known state too, before the
    // window takes any command.
    settleAtStart(installDir);

    screenWidth = GetSystemMetrics(SM_CXSCREEN);
    screenHeight = GetSystemMetrics(SM_CYSCREEN);
    registerWindowClass();
    createMainWindow();
    if (!mainWindow) {
        logMessage("failed to create the main window - %lu", GetLastError());
        if (silentMode) return endSilentRun(false);
        MessageBoxA(nullptr, "KAVO Installer could not open its window.\nPlease try again or contact " SUPPORT_CONTACT,
                    "KAVO Warning", MB_ICONWARNING | MB_OK);
        return 0;
    }

    logMessage("KAVO Installer - %d.%02d.%d", VERSION_MAJOR, VERSION_MINOR, VERSION_BUILD);
    logMessage("");
    // An unattended run installs or updates at once, and ends with its work.
    if (silentMode) return runSilently(commandLine, installDirRefused);
    applyUpdateSwitch(commandLine);
    connectAtStart();

    runMessageLoop();
    return 0;
}
