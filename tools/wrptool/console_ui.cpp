// The user-interface verbs on a console, for the tools that run the
// installer's code without its window: list lines and warnings are printed,
// questions are answered No, the rest does nothing.
#include <cstdio>

#include "platform/sys.h"

void uiListAdd(const char* text) { printf("%s\n", text); }
void uiListDropLast() {}
void uiListReplaceLast(const char* text) { uiListAdd(text); }
void uiSetStatus(const char*) {}
void uiShowProgress(bool) {}
void uiSetProgress(int) {}
void uiPump() {}
void uiSocketReads(SysSocket, bool) {}
void uiWarning(const char* text) { fprintf(stderr, "%s\n", text); }
bool uiAskYesNo(const char* text, const char*, bool) {
    fprintf(stderr, "%s (answered No)\n", text);
    return false;
}
bool uiAskRetry(const char* text, const char*) {
    fprintf(stderr, "%s (answered Cancel)\n", text);
    return false;
}
void uiInform(const char* text, const char*) { printf("%s\n", text); }
void uiQuit() {}

