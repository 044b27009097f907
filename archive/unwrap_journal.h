// The unpacker's journal: what lets a package land whole or not at all.
//
// An unpacking runs in two phases.  In the first every file goes to its
// temporary file (name + ".unwrap") and nothing installed is touched; in the
// second each temporary file is moved onto its name.  The journal, a small
// file in the destination folder, says which phase a cut-off run was in:
//
//   "unpacking"  written before the first temporary file: names every file
//                the package writes and every folder it creates, so that an
//                unfinished first phase can be undone exactly;
//   "moving"     put in its place once every temporary file is complete and
//                on the disk: the same list, now the moves to finish.
//
// It is removed when the last move is done.  Layout (integers little-endian):
//
//   magic "KAVOJRNL", version 1, state 'P' (unpacking) or 'M' (moving),
//   entry count (4 bytes), entries, "END.", FNV-1a 32 of every byte before it
//   entry = kind 'F' (file) or 'D' (folder), length (2 bytes), path
//
// Paths are relative to the destination folder, components separated by
// "/"; each component passes the shared name check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// In the destination folder; written under the second name first and then
// moved onto the first, so that a journal is always whole.
#define UNWRAP_JOURNAL_NAME "KAVO_unwrap.journal"
#define UNWRAP_JOURNAL_NEW_NAME "KAVO_unwrap.journal.new"

// True for the journal's own names (any letter case): a package may not
// bring a file or folder of that name.
bool isJournalName(const char* name, size_t n);

// What one unpacking writes, as paths relative to its destination folder.
struct UnwrapPlan {
    std::vector<std::string> files;       // each once, in archive order
    std::vector<std::string> newFolders;  // folders that did not exist, parents first
};

enum : char {
    JOURNAL_UNPACKING = 'P',
    JOURNAL_MOVING = 'M',
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
// Deletes every temporary file of the plan, the folders it created when
// they are empty and the journal; the count of temporary files deleted.
unsigned undoUnpacking(const char* root, const UnwrapPlan& plan);
// Moves every temporary file of the plan that is still there onto its
// name; *failed counts the moves that failed (one log line each).  The
// journal is removed when none failed.  Returns the files moved.
unsigned finishMoves(const char* root, const UnwrapPlan& plan, unsigned* failed);

enum class Recovery {
    Nothing,        // no journal
    Finished,       // an unfinished second phase completed
    Undone,         // an unfinished first phase undone
    Refused,        // a journal that cannot be trusted: nothing moved
    MovesFailed,    // some moves failed again: the journal stays
};
// Looks for a journal in `folder` and acts on it, with one log line.
Recovery recoverUnwrap(const char* folder);
