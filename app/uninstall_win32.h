// The "-uninstall" run (the list of installed programs starts it).
#pragma once

// Removes the installation named by "-installDir:", else the one that holds
// this exe, else the default folder; returns the exit code.
int runUninstall(const char* commandLine);
