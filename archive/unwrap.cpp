#include "archive/unwrap.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/temp_names.h"
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

char copyBlock[WRP_BLOCK];
// Bigger stdio buffers than the default for the archive and the temporary
// file: content moves in 1000-byte blocks, the buffers keep system calls few.
char archiveBuffer[1 << 16];
char tempBuffer[1 << 16];

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

// False (logged) when the unpacking would need more room than the
// destination's volume has at its peak: nothing is written then.
bool enoughSpace(FILE* src, const char* root) {
    std::string folder;
    uint64_t available = 0;
    uint32_t unit = 0;
    if (!existingFolder(root, &folder) || !sysFreeSpace(folder.c_str(), &available, &unit)) return true;
    uint64_t needed = unpackingPeak(src, archiveSize, root, unit);
    // Back to the start for the unpacking, with the end-of-file mark of a
    // cut archive cleared (a seek does not clear it in every runtime).
    sysSeekStart(src);
    clearerr(src);
    if (needed <= available) return true;
    logMessage("unwrapFolder ERROR - not enough disk space: %.1lf MB needed, %.1lf MB free (%s)",
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
    setvbuf(dst, tempBuffer, _IOFBF, sizeof tempBuffer);
    uint32_t copied = 0;
    while (copied < size) {
        uint32_t left = size - copied;
        size_t want = left < WRP_BLOCK ? left : static_cast<size_t>(WRP_BLOCK);
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
    // A content that did not reach the disk is as short as one cut in the
    // archive: the target must not be replaced by it.
    if (fclose(dst) != 0 && copied == size && size > 0) {
        logMessage("cpyFileContent_unwrap ERROR - writing \"%s\" failed", tempPath);
        copied = 0;
    }
    if (copied != size) {
        logMessage("cpyFileContent_unwrap ERROR - %u/%u coppied", copied, size);
        copyResult = COPY_SHORT;
        return copied;
    }
    // One step: the old content stays in place until the new one has taken
    // it, so a failure never leaves the target missing.
    if (sysReplaceFile(tempPath, targetPath) != SYS_OK) {
        logMessage("cpyFileContent_unwrap ERROR - rename failed \"%s\" -> \"%s\"", tempPath, targetPath);
        copyResult = COPY_RENAME_FAILED;
    }
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
                if (copyResult != COPY_OK) unwrapFailed |= 1;
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
    archiveSize = sysSeekEnd(src) ? sysTell(src) : -1;
    sysSeekStart(src);
    lastProgress = 0;
    // Room is counted before anything is created, the destination included.
    if (!enoughSpace(src, root)) {
        logMessage("     > unwrap failed");
        return false;
    }
    int err = sysCreateFolder(root);
    if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS) logMessage("CreateDirectory \"%s\" ERROR - %d", root, err);

    madeEntries.clear();
    bool ok = unwrapFolder_rec(src, root);
    madeEntries.clear();
    if (ok && unwrapFailed == 0) {
        logMessage("     > unwrap done");
        return true;
    }
    logMessage("     > unwrap failed");
    return false;
}
