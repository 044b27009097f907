#include "app/eventlog.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "app/globals.h"
#include "base/textbuf.h"
#include "platform/sys.h"

bool formatLogTimestamp(char* dst, unsigned cap, const struct tm& t) {
    return formatText(dst, cap, "%04d/%02d/%02d   %02d:%02d:%02d\t\t", t.tm_year + 1900,
                      t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

static unsigned linesLogged = 0;

unsigned logSequence() { return linesLogged; }

namespace {

void logLine(const char* format, va_list args, bool replaceNewest) {
    // A text longer than its buffer is cut at 2559 characters rather than
    // refused: a log line is better shown short than lost.
    char text[LOG_TEXT_CAP];
    formatTextV(text, sizeof text, format, args);
    ++linesLogged;

    if (consoleMode) {
        fputs(text, stdout);
        fputc('\n', stdout);
        fflush(stdout);
        return;
    }

    if (replaceNewest) uiListReplaceLast(text);
    else uiListAdd(text);

    FILE* file = sysOpenFile(LOG_FILE_NAME, "at");
    if (!file) return;
    time_t now = time(nullptr);
    struct tm local = {};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char stamp[50];
    formatLogTimestamp(stamp, sizeof stamp, local);
    fputs(stamp, file);
    fputs(text, file);
    fputc('\n', file);
    fclose(file);
}

}  // namespace

void logMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    logLine(format, args, false);
    va_end(args);
}

void logMessageReplacingNewest(const char* format, ...) {
    va_list args;
    va_start(args, format);
    logLine(format, args, true);
    va_end(args);
}

void showWarning(const char* format, ...) {
    char text[LOG_TEXT_CAP];
    va_list args;
    va_start(args, format);
    formatTextV(text, sizeof text, format, args);
    va_end(args);
    uiWarning(text);
}

void dropLastListEntry() {
    if (consoleMode) return;
    uiListDropLast();
}
