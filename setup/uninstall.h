// The product in the system's list of installed programs, and its removal.
//
// The installation and the component update keep a record of every file and
// folder they wrote ("KAVO_data\installed_files.txt" in the installation,
// one line each: "F <path>" or "D <path>", relative to the installation
// folder, "\" as separator).  A completed installation copies the installer
// into the installation and registers the product for the current user; the
// uninstall removes what the record lists and nothing the user made.
#pragma once

#include <cstddef>

#define INSTALL_RECORD_PATH "KAVO_data\\installed_files.txt"
#define UNINSTALLER_PATH "KAVO_data\\KAVO_uninstall.exe"
#define UNINSTALL_TITLE "KAVO Uninstall"
#define UNINSTALL_KEY_BASE "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"

// Why a path read from the record cannot be used (it leaves the folder, or
// a component is a name the system refuses), or null when it can.
const char* recordPathProblem(const char* rel, size_t n);

// Adds every folder and file of the archive, as unpacked into `folder`, to
// the folder's record.  False (logged) when the archive cannot be read or
// the record cannot be written.
bool recordPackage(const char* archivePath, const char* folder);

// Once an installation into `folder` has completed: copies the running
// installer into it, puts that copy and the version files on the record and
// writes the entry of the list of installed programs (a second installation
// into the same folder rewrites the same entry).
bool registerInstallation(const char* folder);

// The uninstall of the installation in `folder`: asks once, then removes the
// listed files, the listed folders left empty, the desktop shortcut and the
// entry.  True when nothing listed was left behind.
bool uninstallKAVO(const char* folder);
