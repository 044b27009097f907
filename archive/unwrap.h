// The unpacker: recreates a package archive's tree under a destination
// folder in two phases, so that a package lands whole or not at all: every
// file is first written to a temporary ".unwrap" file, and only when all of
// them are complete and on the disk are they moved onto their names, as a
// journal in the destination records (archive/unwrap_journal.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/unwrap_journal.h"

// Run state of the current unpacking (one at a time).
extern int64_t archiveSize;     // archive length, measured when it is opened
extern double lastProgress;     // fraction last sent to the progress bar
extern uint16_t unwrapFailed;   // UNWRAP_* bits of the current run
extern uint16_t copyResult;     // result of the latest cpyFileContent_unwrap

enum : uint16_t {
    UNWRAP_FILE_FAILED = 1,     // a file of this run ended with copyResult != 0
    UNWRAP_NO_ROOM = 2,         // the volume has too little room: nothing was written
    UNWRAP_IN_USE = 4,          // a file it replaces is in use: nothing replaced, its files kept
};

enum : uint16_t {
    COPY_OK = 0,                // content written to the temporary file and flushed
    COPY_NO_SOURCE = 1,         // no archive stream given
    COPY_NO_TARGET = 2,         // no target path given
    COPY_TEMP_FAILED = 3,       // the temporary file could not be created
    COPY_SHORT = 4,             // fewer bytes copied than the record announced
    COPY_RENAME_FAILED = 5,     // the temporary file could not replace the target
};

// True only when the archive was read through its final end record and
// every file was written and moved into place.  When the first phase fails
// nothing installed has changed; when a move fails the journal stays for
// the next start to finish.
bool unwrapFolder(const char* archivePath, const char* destinationFolder);

// The installation's own records that land with a package, in the same
// journal (the installation's state writes them; this layer only lands them).
class LandingExtras {
public:
    virtual ~LandingExtras() = default;
    // The files it adds, relative to the destination with "/" between
    // components, before anything is written.
    virtual void paths(std::vector<std::string>* files) = 0;
    // Writes each of them with landingPut or landingAdopt once the package's
    // files are written; `plan` is the whole landing.  False fails the
    // first phase: nothing is replaced.
    virtual bool write(const char* root, const UnwrapPlan& plan) = 0;
};
// During LandingExtras::write: the content of `rel` (under `root`) written
// to its temporary file, hashed and flushed with the package's files; or a
// temporary file the caller wrote itself (a download, a copy) taken as it is.
bool landingPut(const char* root, const char* rel, const void* data, size_t n);
bool landingAdopt(const char* root, const char* rel);

// What a caller that lands a package from the release asks of a landing,
// and why it stopped.
struct LandingRequest {
    const char* package = nullptr;            // "OSKE_ALL.wrp", named in the journal
    const uint8_t* packageDigest = nullptr;   // SHA-256 as its release names it; null: unknown
    LandingExtras* extras = nullptr;          // records that land with it
    RetryHeld retry = nullptr;                // asked when a file stays in use
    LandingStop stop;                         // out: the file that stopped the landing
};

// The archive opened so that nobody else may write, cut, rename or delete it
// until it is closed (null when it cannot be opened): a caller that checks
// it first unpacks from this same stream the bytes it checked.  `mode` "w+b"
// creates it for a download that the unpacking then reads.
FILE* openArchiveNoWriters(const char* archivePath, const char* mode = "rb");
// unwrapFolder on an open archive (from its start; `archivePath` names it in
// the log lines, a null `src` is the archive that failed to open).  The
// stream stays open.
bool unwrapFolderFrom(FILE* src, const char* archivePath, const char* destinationFolder,
                      LandingRequest* request = nullptr);

// A landing of the same package (its name and release digest) that stopped
// before its moves is landed from the files it kept, with fresh records,
// without the package.  False with *used false when there is none whose
// every file is still what its journal says (it is dropped then).
bool landKeptPackage(const char* destinationFolder, LandingRequest* request, bool* used);
// Lands the records alone (no package).
bool landRecords(const char* destinationFolder, LandingRequest* request);

// Reads one listing up to and including its end record and recreates it
// under folderPath (which ends with a separator).
bool unwrapFolder_rec(FILE* srcFile, const char* folderPath);

// Writes `size` content bytes from the archive to targetPath + ".unwrap"
// and flushes it; returns the bytes copied and sets copyResult.  The move
// onto targetPath comes in the second phase.
uint32_t cpyFileContent_unwrap(FILE* srcFile, const char* targetPath, uint32_t size);
