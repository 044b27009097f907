// The unpacker: recreates a package archive's tree under a destination
// folder in two phases, so that a package lands whole or not at all: every
// file is first written to a temporary ".unwrap" file, and only when all of
// them are complete and on the disk are they moved onto their names, as a
// journal in the destination records (archive/unwrap_journal.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Run state of the current unpacking (one at a time).
extern int64_t archiveSize;     // archive length, measured when it is opened
extern double lastProgress;     // fraction last sent to the progress bar
extern uint16_t unwrapFailed;   // UNWRAP_* bits of the current run
extern uint16_t copyResult;     // result of the latest cpyFileContent_unwrap

enum : uint16_t {
    UNWRAP_FILE_FAILED = 1,     // a file of this run ended with copyResult != 0
    UNWRAP_NO_ROOM = 2,         // the volume has too little room: nothing was written
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

// The archive opened so that nobody else may write, cut, rename or delete it
// until it is closed (null when it cannot be opened): a caller that checks
// it first unpacks from this same stream the bytes it checked.  `mode` "w+b"
// creates it for a download that the unpacking then reads.
FILE* openArchiveNoWriters(const char* archivePath, const char* mode = "rb");
// unwrapFolder on an open archive (from its start; `archivePath` names it in
// the log lines, a null `src` is the archive that failed to open).  The
// stream stays open.
bool unwrapFolderFrom(FILE* src, const char* archivePath, const char* destinationFolder);

// Reads one listing up to and including its end record and recreates it
// under folderPath (which ends with a separator).
bool unwrapFolder_rec(FILE* srcFile, const char* folderPath);

// Writes `size` content bytes from the archive to targetPath + ".unwrap"
// and flushes it; returns the bytes copied and sets copyResult.  The move
// onto targetPath comes in the second phase.
uint32_t cpyFileContent_unwrap(FILE* srcFile, const char* targetPath, uint32_t size);
