#include "tests/unit/fake_ui.h"

#include "app/globals.h"
#include "archive/autowrap.h"
#include "base/textbuf.h"
#include "net/download.h"
#include "platform/sys.h"
#include "setup/outcome.h"
#include "setup/package_check.h"

FakeUi fakeUi;

// The two lists every log line and every unpacked record add to keep their
// memory: the fuzz targets reset for every input.
void FakeUi::reset() {
    std::vector<std::string> keptList = std::move(list);
    std::vector<int> keptProgress = std::move(progress);
    *this = FakeUi();
    keptList.clear();
    keptProgress.clear();
    list = std::move(keptList);
    progress = std::move(keptProgress);
}

void resetAppState() {
    fakeUi.reset();
    copyText(installDir, sizeof installDir, "C:\\KAVO");
    copyText(serverAddress, sizeof serverAddress, DEFAULT_SERVER_ADDRESS);
    testEdition = false;
    consoleMode = false;
    silentMode = false;
    resetOutcome();
    keepRunning = true;
    workInProgress = false;
    abortRequested = false;
    signingKeyPath[0] = '\0';
    installerPackageKey = nullptr;
}

void uiListAdd(const char* text) {
    while (fakeUi.list.size() > 3000) fakeUi.list.erase(fakeUi.list.begin());
    fakeUi.list.push_back(text);
}
void uiListDropLast() {
    if (!fakeUi.list.empty()) fakeUi.list.pop_back();
}
void uiListReplaceLast(const char* text) {
    uiListDropLast();
    uiListAdd(text);
}
void uiSetStatus(const char* text) {
    fakeUi.status = text;
    fakeUi.statuses.push_back(text);
}
void uiShowProgress(bool show) { fakeUi.progressShown = show; }
void uiSetProgress(int position) {
    fakeUi.progress.push_back(position);
    if (fakeUi.onProgress) fakeUi.onProgress();
}
void uiPump() {
    ++fakeUi.pumpCount;
    if (fakeUi.onPump) fakeUi.onPump();
}
void uiSocketReads(SysSocket, bool on) { fakeUi.socketReads.push_back({on, downloadActive}); }
void uiWarning(const char* text) { fakeUi.warnings.push_back(text); }
bool uiAskYesNo(const char* text, const char* title, bool warningIcon) {
    fakeUi.questions.push_back({text, title, warningIcon});
    if (fakeUi.answers.empty()) return false;
    bool answer = fakeUi.answers.front();
    fakeUi.answers.erase(fakeUi.answers.begin());
    return answer;
}
bool uiAskRetry(const char* text, const char* title) {
    fakeUi.retries.push_back({text, title, true});
    if (fakeUi.retryAnswers.empty()) return false;
    bool answer = fakeUi.retryAnswers.front();
    fakeUi.retryAnswers.erase(fakeUi.retryAnswers.begin());
    return answer;
}
void uiInform(const char* text, const char* title) { fakeUi.informs.push_back({text, title, false}); }
void uiQuit() { ++fakeUi.quitCount; }

// The two shell steps of the sequences, recorded instead of done.
void makeDesktopShortcut() { ++fakeUi.shortcuts; }
void removeDesktopShortcuts(const char* folder) { fakeUi.shortcutsRemoved.push_back(folder); }
bool copyRunningInstaller(const char* target) {
    FILE* f = sysOpenFile(target, "wb");
    return f && fputs("uninstaller", f) >= 0 && fclose(f) == 0;
}
bool startKAVO(const char* dir) {
    fakeUi.started.push_back(dir ? dir : "");
    return dir != nullptr;
}
