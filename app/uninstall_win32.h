// The "-uninstall" run (the list of installed programs starts it).
#pragma once

// Removes the installation named by "-installDir:", else the one that holds
// this exe, else the default folder.  Handed over: a copy in the user's
// temporary folder does the work (the exe in the installation is one of the
// files to remove).
enum class UninstallRun { HandedOver, Done, Failed };
UninstallRun runUninstall(const char* commandLine);
