// Start-up configuration: "setup.ini", "KAVO_data\launcher.ini", the command
// line and the folder-selection suffix rule.  Pure functions, so that every
// rule can be tested without a window.
#pragma once

#include <cstddef>
#include <cstdio>

// One line of setup.ini, as read (at most 999 characters per read).
enum class SetupLine {
    Skipped,     // empty, comment or indented line, or not a CONNECT line
    Address,     // CONNECT line: `address` holds the rebuilt address
    BadAddress,  // CONNECT line whose value does not give four numbers
    TooLong,     // rebuilt address does not fit its buffer
};
// Removes one trailing CR or LF from `line` and classifies it.
SetupLine parseSetupLine(char* line, char* address, size_t addressCap);

// Reads setup.ini line by line, applying every CONNECT line to
// `serverAddress` and logging as start-up does.
void readSetupIni(FILE* file);

// True when the line's first four characters are "TEST" in any case.
bool isTestMarkerLine(const char* line);
// Reads launcher.ini (at most 199 characters per read); true when any line
// marks the TEST edition.
bool scanLauncherIni(FILE* file);

bool hasSwitch(const char* commandLine, const char* name);
// True when `name` is a word of its own on the command line: between
// blanks (or the ends), outside double quotes, so that a folder named on
// the command line never switches it on.
bool hasSwitchWord(const char* commandLine, const char* name);

enum class InstallDirSwitch {
    Absent,    // no "-installDir:" on the command line
    Applied,   // `out` holds the value
    Empty,     // nothing (or only the opening quote) after the colon
    TooLong,   // the value does not fit `outCap`
};
// Takes the value of "-installDir:": it begins one character after the
// colon (the opening quote, skipped whatever it is) and ends at the first
// double quote among its first 260 characters, else at the end.
InstallDirSwitch parseInstallDirSwitch(const char* commandLine, char* out, size_t outCap);

// The folder-selection rule: keep `dir` when it already ends in the product
// folder name ("KAVO" or "KAVO_TEST", any case), else append a separator
// (unless it ends in one) and the name.  False (dir unchanged) when the
// result would not fit.
bool applyProductFolder(char* dir, size_t cap, bool test);
