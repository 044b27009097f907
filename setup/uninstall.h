// The uninstall: removes an installation's files as its record lists them,
// the installer's own leftovers and records, the desktop shortcut and the
// entry in the list of installed programs; nothing the user made.
#pragma once

#define UNINSTALL_TITLE "KAVO Uninstall"

// The uninstall of the installation in `folder`: asks once, then finishes
// or puts back a landing cut off there, removes the listed files, what runs
// of the installer left, its records, the listed folders left empty, the
// desktop shortcut and the entry.  True when nothing listed was left behind.
bool uninstallKAVO(const char* folder);
