// What an installation is: the one place that knows the files that make up
// an installation's state, lands them together and brings a folder to one
// known state before any command acts on it.
//
// An installation folder holds, besides the product's files:
//
//   KAVO_data\installed_files.txt     the record of installed files: a header
//                                     line, then "D <path>" / "F <path>" per
//                                     folder and file ("\" between components);
//                                     it lists itself and the installer's own files
//   KAVO_data\KAVO_installed.release  the release the files came from (an
//                                     installer built with the maker's key):
//                                     the signed release file itself
//   KAVO_data\update.ini              the version file (TEST: also launcher.ini)
//   KAVO_data\KAVO_uninstall.exe      the uninstaller
//
// These land with the package's files, in the same journal: after any power
// cut and the next start they agree with what is on the disk.  Between two
// commands nothing else of the installer's lies there; what a cut-off run
// leaves (temporary files, backups, the journal, a downloaded package) is
// finished, put back or removed by the next command on that folder.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "archive/unwrap.h"
#include "archive/unwrap_journal.h"

#define INSTALL_RECORD_PATH "KAVO_data\\installed_files.txt"
#define UNINSTALLER_PATH "KAVO_data\\KAVO_uninstall.exe"
#define RELEASE_RECORD_NAME "KAVO_installed.release"
#define RELEASE_RECORD_PATH "KAVO_data\\" RELEASE_RECORD_NAME
#define UNINSTALL_KEY_BASE "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
// The highest release this user has installed, per edition (HKCU).
#define USER_RELEASE_KEY "Software\\KAVO\\Installer"

// The longest installation folder for which every path built from it fits
// its 260-byte buffer (the product start's command line is the longest).
int maxInstallDirLength();

// folder + "\" + rel in out (PATH_CAP bytes); false when it does not fit.
bool installationPath(char* out, const char* folder, const char* rel);

// True when `folder` holds an installation (its record of installed files
// or its release record).
bool hasInstallation(const char* folder);

// ---- one known state ----------------------------------------------------

// How a command found the folder it acts on.
enum class Settled {
    Known,      // nothing cut off, or a cut-off landing finished or put back
    Repaired,   // a journal that could not be trusted: its leftovers removed,
                // the command must land the whole product anew
    Stuck,      // neither: the command must not land anything there
};
// Brings `folder` to a known state before the command `who` acts on it (the
// caller holds the folder's claim): recovery, and where a journal cannot be
// trusted or read, the repair.  One line for what was done.
Settled settleForCommand(const char* folder, const char* who);
// The same at start-up for a folder a command may act on (the folder the
// program started from, the -installDir: folder): recovery only, under a
// claim of its own; a journal that cannot be trusted is named with its way
// out, and left for the next command.
void settleAtStart(const char* folder);

// ---- the records that land with a package ------------------------------

enum class VersionFiles {
    Keep,    // the installed version files stay
    Fetch,   // the installation's: fetched from the server, checked against the release
    Swap,    // the update's last landing: update_new.ini becomes update.ini
};

// Asked when a file a landing replaces stays in use: one box that names the
// file and the program holding it, Retry or Cancel (unattended: Cancel).
bool askAboutHeldFile(const LandingStop& stop);

// The installation's records as a landing writes them.
class InstallationRecords : public LandingExtras {
public:
    InstallationRecords(VersionFiles versions, bool uninstaller) : versions_(versions), uninstaller_(uninstaller) {}
    void paths(std::vector<std::string>* files) override;
    bool write(const char* root, const UnwrapPlan& plan) override;
    // True when the version file was replaced (Swap) or fetched (Fetch).
    bool versionsLanded() const { return versionsLanded_; }

private:
    bool writeVersions(const char* root);
    VersionFiles versions_;
    bool uninstaller_;
    bool versionsLanded_ = false;
    std::vector<std::string> landed_;   // the records written by this landing
};

// ---- the release of an installation -------------------------------------

// With a key: the edition of the installation in `folder` from its signed
// release record (sets testEdition).  False (one line, `who` first) when the
// folder holds an installation whose record is missing, damaged, signed by
// another key or not a release record.  True for a folder without one.
bool editionFromRecord(const char* folder, const char* who);
// With a key: false (one line) when the run's release may not land in
// `folder`: older than, or of the same number but not the same file as, the
// installation's record or the release this user installed last; or the
// installation's record is missing, damaged or of the other edition.
bool releaseMayLand(const char* folder, const char* who);

// ---- the record of installed files --------------------------------------

struct InstalledEntry {
    bool folder;
    std::string rel;   // "\" between components
};
// Why a path read from the record cannot be used (it leaves the folder, or
// a component is a name the system refuses), or null when it can.
const char* recordPathProblem(const char* rel, size_t n);
// Reads the record of `folder`: lines that cannot be used are skipped, each
// with a line in the log.  False when there is none.
bool readInstalledRecord(const char* folder, std::vector<InstalledEntry>* entries);
// The installer's own files (records, uninstaller, version files) by their
// relative paths: removed last by the uninstall.
bool isInstallerFile(const std::string& rel);

// ---- what an uninstall removes besides the listed files -----------------

// Removes what runs of the installer leave in `folder` beside the product:
// temporary files and backups (never through a link), the journal, and
// downloaded packages and release files.  One line each; the count.
unsigned removeInstallerLeftovers(const char* folder);

// ---- the list of installed programs --------------------------------------

// Writes the entry of the list of installed programs for the installation
// in `folder` (a second installation into the same folder rewrites it).
bool registerInstallation(const char* folder);
// Removes the entries of both editions that name `folder`.
void unregisterInstallation(const char* folder);
