// The event log: every line goes to the window's list and, timestamped, to
// "KAVO_install_log.txt"; in the packaging run it goes to the console only.
#pragma once

#define LOG_FILE_NAME "KAVO_install_log.txt"

#if defined(__GNUC__)
#define KAVO_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define KAVO_PRINTF(a, b)
#endif

void logMessage(const char* format, ...) KAVO_PRINTF(1, 2);
void showWarning(const char* format, ...) KAVO_PRINTF(1, 2);
void dropLastListEntry();
// logMessage whose line takes the place of the newest list entry, as one
// change on screen (dropLastListEntry and logMessage in one); the log file
// gets the line appended as usual.
void logMessageReplacingNewest(const char* format, ...) KAVO_PRINTF(1, 2);

// Counts the lines logged so far, so that a caller can tell whether the
// newest list entry is still the one it logged.
unsigned logSequence();

// The log file's timestamp "YYYY/MM/DD   hh:mm:ss\t\t" for a local time.
struct tm;
bool formatLogTimestamp(char* dst, unsigned cap, const struct tm& t);
