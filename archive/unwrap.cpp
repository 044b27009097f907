#include "archive/unwrap.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/temp_names.h"
#include "archive/unwrap_journal.h"
#include "archive/unwrap_space.h"
#include "archive/wrp_cursor.h"
#include "archive/wrp_format.h"
#include "base/textbuf.h"
#include "platform/file_names.h"
#include "platform/sys.h"

int64_t archiveSize = 0;
double lastProgress = 0;
uint16_t unwrapFailed = 0;
uint16_t copyResult = 0;

namespace {

// Content moves in large blocks: each block is one read of the archive
// and one write of the temporary file.
const size_t COPY_BLOCK = 1 << 16;
char copyBlock[COPY_BLOCK];
// A bigger stdio buffer than the default for the archive: its records are
// read a few bytes at a time.
char archiveBuffer[1 << 16];
// The temporary files of the unpacking under way, flushed as they are done
// (none while nothing is unpacked: a lone copy is not flushed).
SysFlushBatch* flushBatch = nullptr;

// A name for a log line: control bytes shown as \xNN, so that a hostile
// name cannot break the log's lines.
void printableName(char* out, size_t cap, const char* name, size_t n) {
    out[0] = '\0';
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        char piece[8];
        if (c < 0x20 || c == 0x7F) formatText(piece, sizeof piece, "\\x%02X", c);
        else {
            piece[0] = static_cast<char>(c);
            piece[1] = '\0';
        }
        if (!appendText(out, cap, piece)) return;
    }
}

bool refuseUnsafeName(const char* folderPath, const char* name, size_t n) {
    const char* why = fileNameProblem(name, n);
    if (!why && isJournalName(name, n)) why = "name of the unpacker's journal";
    if (!why) return false;
    char shown[4 * WRP_NAME_MAX + 1];
    printableName(shown, sizeof shown, name, n);
    logMessage("unwrapFolder_rec ERROR - unsafe name \"%s\" in \"%s\" refused (%s)", shown, folderPath, why);
    return true;
}

// Entries this run created, for the temporary-name rule.
TempNameClash madeEntries(false);

bool refuseTempClash(const char* targetPath) {
    if (!madeEntries.note(targetPath, strlen(targetPath), false)) return false;
    logMessage("unwrapFolder_rec ERROR - temporary file of \"%s\" would replace \"%s" WRP_TEMP_SUFFIX
               "\" of this archive - refused",
               targetPath, targetPath);
    return true;
}

// The nearest folder of `path` that exists: the volume of a destination
// that is not there yet.
bool existingFolder(const char* path, std::string* out) {
    std::string p(path);
    for (;;) {
        while (p.size() > 1 && (p.back() == '/' || p.back() == '\\')) p.pop_back();
        // A drive keeps its root separator (C:\).
        *out = (p.size() == 2 && p[1] == ':') ? p + "\\" : p;
        if (sysPathKind(out->c_str()) == 2) return true;
        size_t cut = p.find_last_of("/\\");
        if (cut == std::string::npos) {
            *out = ".";
            return sysPathKind(".") == 2;
        }
        if (cut == 0 || p.size() <= 1) return false;
        p.resize(cut);
    }
}

// Walks the archive's headers for the plan of the unpacking and compares
// its peak room with the free space.  False (logged) when it would not fit:
// nothing is written then.
bool planUnpacking(FILE* src, const char* root, UnwrapPlan* plan) {
    std::string folder;
    uint64_t available = 0;
    uint32_t unit = 0;
    bool known = existingFolder(root, &folder) && sysFreeSpace(folder.c_str(), &available, &unit);
    uint64_t needed = unpackingPeak(src, archiveSize, root, known ? unit : 1, plan);
    // Back to the start for the unpacking, with the end-of-file mark of a
    // cut archive cleared (a seek does not clear it in every runtime).
    sysSeekStart(src);
    clearerr(src);
    if (!known || needed <= available) return true;
    logMessage("unwrapFolder ERROR - not enough disk space: %.1lf MB needed, %.1lf MB free (%s) - every new file "
               "is written beside the installed ones before any of them is replaced",
               needed / 1048576.0, available / 1048576.0, root);
    return false;
}

void progressStep(FILE* f) {
    int64_t position = sysTell(f);
    if (archiveSize > 0 && position >= 0) {
        double fraction = static_cast<double>(position) / static_cast<double>(archiveSize);
        if (fraction - lastProgress > 0.1 || fraction > 0.9) {
            lastProgress = fraction;
            uiSetProgress(static_cast<int>(fraction * 1000));
        }
    }
    uiPump();
}

}  // namespace

uint32_t cpyFileContent_unwrap(FILE* srcFile, const char* targetPath, uint32_t size) {
    copyResult = COPY_OK;
    if (!srcFile) {
        logMessage("cpyFileContent_unwrap ERROR - srcFile == NULL");
        copyResult = COPY_NO_SOURCE;
        return 0;
    }
    if (!targetPath) {
        logMessage("cpyFileContent_unwrap ERROR - dstFile == NULL");
        copyResult = COPY_NO_TARGET;
        return 0;
    }
    char tempPath[WRP_UNPACK_PATH_CAP];
    if (!copyText(tempPath, sizeof tempPath, targetPath) ||
        !appendText(tempPath, sizeof tempPath, WRP_TEMP_SUFFIX)) {
        logMessage("cpyFileContent_unwrap ERROR - path too long (%s" WRP_TEMP_SUFFIX ")", targetPath);
        copyResult = COPY_TEMP_FAILED;
        return 0;
    }
    // Nobody else may write it while its content goes in.
    FILE* dst = sysOpenFileNoWriters(tempPath, "wb");
    if (!dst) {
        logMessage("cpyFileContent_unwrap ERROR - failed to open dstFile (errCode %d)", errno);
        copyResult = COPY_TEMP_FAILED;
        return 0;
    }
    // Whole blocks go straight to the file, without a copy through a buffer.
    setvbuf(dst, nullptr, _IONBF, 0);
    uint32_t copied = 0;
    while (copied < size) {
        uint32_t left = size - copied;
        size_t want = left < COPY_BLOCK ? left : COPY_BLOCK;
        size_t got = fread(copyBlock, 1, want, srcFile);
        if (got == 0) break;
        size_t written = fwrite(copyBlock, 1, got, dst);
        copied += static_cast<uint32_t>(written);
        if (written != got) {
            logMessage("cpyFileContent_wrap ERROR - %d/%d written", static_cast<int>(written),
                       static_cast<int>(got));
            break;
        }
    }
    // A content that did not reach the file is as short as one cut in the
    // archive: the target must not be replaced by it.
    bool flushed = fflush(dst) == 0;
    if ((fclose(dst) != 0 || !flushed) && copied == size) {
        logMessage("cpyFileContent_unwrap ERROR - writing \"%s\" failed", tempPath);
        if (size == 0) {
            copyResult = COPY_SHORT;
            return 0;
        }
        copied = 0;
    }
    if (copied != size) {
        logMessage("cpyFileContent_unwrap ERROR - %u/%u coppied", copied, size);
        copyResult = COPY_SHORT;
        return copied;
    }
    // On the disk before the journal says that it may replace the target;
    // the move onto the target waits for the whole package (finishMoves).
    sysFlushAdd(flushBatch, tempPath);
    return copied;
}

// Recursion depth is bounded by the path limit: every level adds at least
// two bytes (a name byte and "/") to a path of at most 259 bytes, and the
// path is checked before the level is entered.
bool unwrapFolder_rec(FILE* srcFile, const char* folderPath) {
    if (!folderPath) return false;
    if (!srcFile) {
        logMessage("unwrapFolder_rec ERROR - srcFile == NULL");
        return false;
    }
    WrpCursor cursor(srcFile);
    WrpRecord r;
    char path[WRP_UNPACK_PATH_CAP];
    for (;;) {
        // Every listing ends with its end record; running out of archive
        // before it is a cut archive, never a success.
        if (feof(srcFile) || cursor.next(r) != WrpStep::Record) return false;
        const char* name = r.name;
        size_t n = r.nameLength;
        switch (r.kind) {
            case WrpRecordKind::Folder: {
                if (refuseUnsafeName(folderPath, name, n)) return false;
                if (!copyText(path, sizeof path, folderPath) || !appendBytes(path, sizeof path, name, n) ||
                    !appendText(path, sizeof path, "/")) {
                    logMessage("unwrapFolder_rec ERROR - path too long (%s%s/)", folderPath, name);
                    return false;
                }
                int err = sysCreateFolder(path);
                if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS) {
                    logMessage("CreateDirectory \"%s\" ERROR - %d", path, err);
                    return false;
                }
                madeEntries.note(path, strlen(path), true);
                if (!unwrapFolder_rec(srcFile, path)) {
                    logMessage("unwrapFolder_rec \"%s\" failed", path);
                    return false;
                }
                break;
            }
            case WrpRecordKind::File: {
                uint32_t size = r.size;
                if (refuseUnsafeName(folderPath, name, n)) return false;
                if (!copyText(path, sizeof path, folderPath) || !appendBytes(path, sizeof path, name, n)) {
                    logMessage("unwrapFolder_rec ERROR - path too long (%s%s)", folderPath, name);
                    return false;
                }
                if (refuseTempClash(path)) return false;
                uint32_t copied = cpyFileContent_unwrap(srcFile, path, size);
                if (copyResult != COPY_OK) unwrapFailed |= UNWRAP_FILE_FAILED;
                if (copied != size) {
                    logMessage("unwrapFolder_rec ERROR - cpy file content %u/%u (%s)", copied, size, path);
                    return false;
                }
                break;
            }
            case WrpRecordKind::End: return true;
            case WrpRecordKind::Skip: break;
        }
        progressStep(srcFile);
    }
}

FILE* openArchiveNoWriters(const char* archivePath, const char* mode) {
    // Nobody else may cut or rewrite the archive while it is checked and unpacked.
    FILE* src = archivePath && mode ? sysOpenFileNoWriters(archivePath, mode) : nullptr;
    if (src) setvbuf(src, archiveBuffer, _IOFBF, sizeof archiveBuffer);
    return src;
}

// unwrapFolder on an open archive (read from its start) into `root`, the
// destination with its separator.
static bool unwrapArchiveStream(FILE* src, const char* root) {
    unwrapFailed = 0;
    if (!src || !root) return false;
    archiveSize = sysSeekEnd(src) ? sysTell(src) : -1;
    sysSeekStart(src);
    lastProgress = 0;
    // A run cut off earlier is finished or undone first; one that cannot be
    // must not lose its journal to this one.
    Recovery earlier = recoverUnwrap(root);
    if (earlier == Recovery::Refused || earlier == Recovery::MovesFailed) {
        logMessage("unwrapFolder ERROR - an unfinished unpacking in \"%s\" is in the way", root);
        logMessage("     > unwrap failed");
        return false;
    }
    // Room is counted before anything is created, the destination included.
    UnwrapPlan plan;
    if (!planUnpacking(src, root, &plan)) {
        unwrapFailed |= UNWRAP_NO_ROOM;
        logMessage("     > unwrap failed");
        return false;
    }
    // Every journal written must be one that recovery reads back.
    if (journalSize(plan) > UNWRAP_JOURNAL_MAX) {
        logMessage("unwrapFolder ERROR - %u files are more than one unpacking can list",
                   static_cast<unsigned>(plan.files.size()));
        logMessage("     > unwrap failed");
        return false;
    }
    int err = sysCreateFolder(root);
    if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS) logMessage("CreateDirectory \"%s\" ERROR - %d", root, err);
    err = writeJournal(root, JOURNAL_UNPACKING, plan);
    if (err != SYS_OK) {
        logMessage("unwrapFolder ERROR - journal \"%s" UNWRAP_JOURNAL_NAME "\" cannot be written - %d", root, err);
        logMessage("     > unwrap failed");
        return false;
    }

    // First phase: every file to its temporary file, nothing installed touched.
    madeEntries.clear();
    flushBatch = sysFlushStart();
    bool ok = unwrapFolder_rec(src, root);
    madeEntries.clear();
    // Every temporary file's content and name are on the disk (finished on
    // failure too: a flush may still hold a file that is to be removed).
    err = sysFlushFinish(flushBatch);
    flushBatch = nullptr;
    if (ok && unwrapFailed == 0 && err != SYS_OK) {
        logMessage("unwrapFolder ERROR - the unpacked files cannot be flushed to the disk - %d", err);
        ok = false;
    }
    if (ok && unwrapFailed == 0) {
        err = writeJournal(root, JOURNAL_MOVING, plan);
        if (err != SYS_OK) {
            logMessage("unwrapFolder ERROR - journal \"%s" UNWRAP_JOURNAL_NAME "\" cannot be written - %d", root, err);
            ok = false;
        }
    }
    if (!ok || unwrapFailed != 0) {
        unsigned removed = undoUnpacking(root, plan);
        logMessage("unwrapFolder - nothing replaced, %u temporary files removed", removed);
        logMessage("     > unwrap failed");
        return false;
    }

    // Second phase: each temporary file onto its name.  A move that fails
    // (a target in use) keeps the journal, so the next start finishes it.
    unsigned failed = 0;
    finishMoves(root, plan, &failed);
    if (failed) {
        copyResult = COPY_RENAME_FAILED;
        unwrapFailed |= UNWRAP_FILE_FAILED;
        logMessage("     > unwrap failed");
        return false;
    }
    logMessage("     > unwrap done");
    return true;
}

bool unwrapFolder(const char* archivePath, const char* destinationFolder) {
    unwrapFailed = 0;
    if (!archivePath || !destinationFolder) return false;
    FILE* src = openArchiveNoWriters(archivePath);
    bool ok = unwrapFolderFrom(src, archivePath, destinationFolder);
    if (src) fclose(src);
    return ok;
}

bool unwrapFolderFrom(FILE* src, const char* archivePath, const char* destinationFolder) {
    unwrapFailed = 0;
    if (!archivePath || !destinationFolder) return false;
    char root[WRP_DEST_PATH_CAP];
    if (!copyText(root, sizeof root, destinationFolder) ||
        (!endsWithSeparator(root) && !appendText(root, sizeof root, "\\"))) {
        logMessage("unwrapFolder ERROR - path too long (%s)", destinationFolder);
        logMessage("     > unwrap failed");
        return false;
    }
    logMessage("unwrap \"%s\" -> \"%s\"", archivePath, root);
    if (!src) {
        logMessage("failed to open \"%s\"", archivePath);
        showWarning("Failed to open \"%s\".\nPlease try again or contact " SUPPORT_CONTACT "!", archivePath);
        return false;
    }
    clearerr(src);
    return unwrapArchiveStream(src, root);
}
