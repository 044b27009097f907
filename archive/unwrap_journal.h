// The landing journal: what lets a package land whole or not at all.
//
// A landing puts a set of files in place in one destination folder: the
// files of a package and the installation's own records that go with them.
// Each file is first written to its temporary file (name + ".unwrap") while
// nothing installed is touched; then each replaced file is moved to its
// backup (name + ".wrpold") and the temporary file onto its name; the
// backups go only once every file is in place.  The journal, a small file in
// the destination folder, says where a landing that was cut off stood:
//
//   'P' unpacking  written before the first temporary file: names every
//                  file and folder, so that the first phase can be undone;
//   'R' ready      every temporary file complete and on the disk, each with
//                  its size and SHA-256; nothing replaced.  A landing that
//                  stops before its moves (a file in use) stays here, and
//                  its files are used again when the same package is
//                  offered again;
//   'M' moving     the moves under way.  A cut-off landing is finished only
//                  when every file can be proved (its temporary file, or its
//                  target once moved, has the journal's size and SHA-256);
//                  otherwise it is put back from the backups;
//   'L' landed     every file in place: the backups are being removed.
//
// Layout (integers little-endian):
//
//   magic "KAVOJRNL", version 2, state,
//   package name length (1), package name, package SHA-256 (32, zero when
//   unknown), entry count (4), entries, "END.", FNV-1a 32 of every byte
//   before it
//   folder entry = 'D', flags (1: bit 0 made by this landing), length (2), path
//   file entry   = 'F', flags (1: bit 0 replaces an installed file, bit 1 a
//                  record of the installation), length (2), path, size (8),
//                  SHA-256 (32; zero before the ready state)
//
// Folders come first, parents before their contents; files in the order of
// their moves.  Paths are relative to the destination folder, components
// separated by "/"; each component passes the shared name check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/crypto.h"

// In the destination folder; written under the second name first and then
// moved onto the first, so that a journal is always whole.
#define UNWRAP_JOURNAL_NAME "KAVO_unwrap.journal"
#define UNWRAP_JOURNAL_NEW_NAME "KAVO_unwrap.journal.new"

// True for the journal's own names (any letter case): a package may not
// bring a file or folder of that name.
bool isJournalName(const char* name, size_t n);

enum : uint8_t {
    LAND_REPLACES = 1,      // file: an installed file of that name is replaced
    LAND_STATE_FILE = 2,    // file: a record of the installation, not the package's
    LAND_FOLDER_MADE = 1,   // folder: made by this landing (removed when it is undone)
};

struct LandingFile {
    std::string path;
    uint64_t size = 0;
    uint8_t sha256[CRYPTO_DIGEST_BYTES] = {};
    uint8_t flags = 0;
};

struct LandingFolder {
    std::string path;
    uint8_t flags = 0;
    bool made() const { return (flags & LAND_FOLDER_MADE) != 0; }
};

// What one landing writes, as paths relative to its destination folder.
struct UnwrapPlan {
    std::string package;                                // "OSKE_ALL.wrp", empty for none
    uint8_t packageDigest[CRYPTO_DIGEST_BYTES] = {};    // as its release names it; zero when unknown
    std::vector<LandingFile> files;                     // each once, in the order of the moves
    std::vector<LandingFolder> folders;                 // every folder named, parents first
};

enum : char {
    JOURNAL_UNPACKING = 'P',
    JOURNAL_READY = 'R',
    JOURNAL_MOVING = 'M',
    JOURNAL_LANDED = 'L',
};

// The largest journal recovery reads; a package with a longer list is
// refused before anything is written.
const uint64_t UNWRAP_JOURNAL_MAX = 16u << 20;

// Bytes of the journal of `plan`.
uint64_t journalSize(const UnwrapPlan& plan);
std::string journalBytes(char state, const UnwrapPlan& plan);
// Reads journal bytes found under `root` (the destination with its
// separator): null with *state and *plan filled, else why it is refused
// (cut short, garbled, a path outside the folder, a refused name).
const char* parseJournal(const std::string& bytes, const char* root, char* state, UnwrapPlan* plan);

// Writes the journal through to the disk and moves it into place; 0 or a
// system error number.
int writeJournal(const char* root, char state, const UnwrapPlan& plan);

// The journal of `root` as found on the disk.
enum class JournalFound {
    None,        // there is none
    Whole,       // read and trusted: *state and *plan filled
    Untrusted,   // cut, garbled, too large or naming what it may not: *why
    Unopenable,  // it is there but cannot be read: *error
};
JournalFound readJournal(const char* root, char* state, UnwrapPlan* plan, const char** why, int* error);

// True when the file at `path` has exactly `size` bytes with that SHA-256.
bool fileHasDigest(const char* path, uint64_t size, const uint8_t sha256[CRYPTO_DIGEST_BYTES]);

// Undoes a landing that replaced nothing (unpacking or ready): deletes its
// temporary files, the folders it made when they are empty and the
// journal; the count of temporary files deleted.
unsigned discardLanding(const char* root, const UnwrapPlan& plan);

// Why a landing stopped before or during its moves.
struct LandingStop {
    std::string path;        // the file that could not be taken or moved
    int error = 0;           // the system's error number
    std::string holder;      // the program that holds it, where the system tells
    bool inUse = false;      // held by another program (sharing violation, busy)
};

// How long a held file is tried again, in all, before its holder is named
// and `retry` decides: scanners and backup tools let go within a second or
// two.  Five seconds; the tests shorten it.
extern double landingHoldWaitSeconds;

// Decides, for a file that is held, whether to wait for it again: the
// interactive run asks the user, the unattended one does not.
using RetryHeld = bool (*)(const LandingStop& stop);

// The second phase of a ready landing: every file it replaces is first
// taken (opened so that nobody else can, retried for a few seconds while
// another program holds it); a file that cannot be taken stops the landing
// before anything is replaced, the journal kept in its ready state.  Then
// the moves, each replaced file kept as its backup until the last move; a
// move that fails puts everything back (the landing is ready again).  True
// when every file is in place and the backups are gone.
bool landReady(const char* root, UnwrapPlan& plan, RetryHeld retry, LandingStop* stop);

enum class Recovery {
    Nothing,        // no journal
    Finished,       // a cut-off landing proved and completed
    Undone,         // a cut-off first phase undone
    PutBack,        // a cut-off landing that could not be proved, put back whole
    Ready,          // a landing that stopped before its moves waits, nothing replaced
    Refused,        // a journal that cannot be trusted: nothing moved
    Unopenable,     // a journal that cannot be read: nothing moved
    Stuck,          // the landing could neither be finished nor put back: the journal stays
};
// Looks for a journal in `folder` and acts on it, with one log line.
Recovery recoverUnwrap(const char* folder);

// The way out of a journal that cannot be trusted: removes every file of
// the installer's own suffixes (temporary files and backups) below
// `folder`, never through a link, and the journal; a backup whose file is
// missing (cut off between its two moves) is put back instead.  The count
// of files removed (the journal not counted).
unsigned removeLandingLeftovers(const char* folder);
