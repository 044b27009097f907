#include "app/config.h"

#include <cstring>

#include "app/eventlog.h"
#include "app/globals.h"
#include "base/textbuf.h"

SetupLine parseSetupLine(char* line, char* address, size_t addressCap) {
    size_t n = strlen(line);
    if (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
    if (n == 0 || line[0] == ' ' || line[0] == '\t' || line[0] == '/') return SetupLine::Skipped;
    if (!startsWithNoCase(line, "CONNECT:")) return SetupLine::Skipped;
    int a, b, c, d;
    if (sscanf(line + 8, "%d.%d.%d.%d", &a, &b, &c, &d) != 4) return SetupLine::BadAddress;
    char rebuilt[64];
    if (!formatText(rebuilt, sizeof rebuilt, "%d.%d.%d.%d", a, b, c, d) ||
        strlen(rebuilt) >= addressCap)
        return SetupLine::TooLong;
    copyText(address, addressCap, rebuilt);
    return SetupLine::Address;
}

void readSetupIni(FILE* file) {
    char line[1000];
    while (fgets(line, sizeof line, file)) {
        switch (parseSetupLine(line, serverAddress, sizeof serverAddress)) {
            case SetupLine::Address: logMessage("server IP: %s", serverAddress); break;
            case SetupLine::BadAddress:
                logMessage("setup.ini: CONNECT value \"%s\" is not an IPv4 address - ignored", line + 8);
                break;
            case SetupLine::TooLong:
                logMessage("setup.ini: CONNECT value \"%s\" is too long - ignored", line + 8);
                break;
            case SetupLine::Skipped: break;
        }
    }
}

bool isTestMarkerLine(const char* line) { return startsWithNoCase(line, "TEST"); }

bool scanLauncherIni(FILE* file) {
    char line[200];
    bool test = false;
    while (fgets(line, sizeof line, file))
        if (isTestMarkerLine(line)) test = true;
    return test;
}

bool hasSwitch(const char* commandLine, const char* name) {
    return commandLine && name && strstr(commandLine, name) != nullptr;
}

bool hasSwitchWord(const char* commandLine, const char* name) {
    if (!commandLine || !name || !*name) return false;
    size_t n = strlen(name);
    const char* p = commandLine;
    while (*p) {
        while (*p == ' ' || *p == '\t') ++p;
        const char* word = p;
        bool quoted = false;
        while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
            if (*p == '"') quoted = !quoted;
            ++p;
        }
        if (static_cast<size_t>(p - word) == n && strncmp(word, name, n) == 0) return true;
    }
    return false;
}

InstallDirSwitch parseInstallDirSwitch(const char* commandLine, char* out, size_t outCap) {
    const char* sw = commandLine ? strstr(commandLine, "-installDir:") : nullptr;
    if (!sw) return InstallDirSwitch::Absent;
    // The character after the colon is the opening quote and is dropped.
    size_t rest = strlen(sw);
    if (rest <= 13) return InstallDirSwitch::Empty;
    const char* value = sw + 13;
    size_t len = 0;
    while (value[len] && value[len] != '"' && len < 260) ++len;
    if (len == 260) len = strlen(value);  // no quote among the first 260 characters
    if (len == 0) return InstallDirSwitch::Empty;
    if (len >= outCap) return InstallDirSwitch::TooLong;
    memcpy(out, value, len);
    out[len] = '\0';
    return InstallDirSwitch::Applied;
}

bool applyProductFolder(char* dir, size_t cap, bool test) {
    char name[15];
    copyText(name, sizeof name, test ? "KAVO_TEST" : "KAVO");
    size_t n = strlen(dir), m = strlen(name);
    if (n >= m) {
        bool same = true;
        for (size_t i = 0; i < m; ++i) {
            char a = dir[n - m + i], b = name[i];
            if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
            if (a != b) same = false;
        }
        if (same) return true;
    }
    char result[1024];
    if (!copyText(result, sizeof result, dir)) return false;
    if (!endsWithSeparator(result) && !appendText(result, sizeof result, "\\")) return false;
    if (!appendText(result, sizeof result, name)) return false;
    if (strlen(result) >= cap) return false;
    return copyText(dir, cap, result);
}
