#include "archive/unwrap.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_set>

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/wrp_format.h"
#include "base/file_names.h"
#include "base/textbuf.h"
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

bool readExactly(FILE* f, void* buf, size_t n) { return n == 0 || fread(buf, 1, n, f) == n; }

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

// Reads nameLength and the name; false when either is cut short.
bool readName(FILE* f, char* name, size_t* length) {
    uint8_t n;
    if (!readExactly(f, &n, 1)) return false;
    if (!readExactly(f, name, n)) return false;
    name[n] = '\0';
    *length = n;
    return true;
}

bool refuseUnsafeName(const char* folderPath, const char* name, size_t n) {
    const char* why = fileNameProblem(name, n);
    if (!why) return false;
    char shown[4 * WRP_NAME_MAX + 1];
    printableName(shown, sizeof shown, name, n);
    logMessage("unwrapFolder_rec ERROR - unsafe name \"%s\" in \"%s\" refused (%s)", shown, folderPath, why);
    return true;
}

// Entries this run created whose names end in the temporary suffix, as the
// system compares paths.  A later file whose temporary file would be one of
// them is refused: writing it would overwrite that entry and then rename it
// away, losing it although the run reports success.
std::unordered_set<std::string> tempLookalikes;
const size_t TEMP_SUFFIX_LENGTH = sizeof WRP_TEMP_SUFFIX - 1;

std::string pathKey(const char* path) {
    std::string key = foldedName(path, strlen(path));
    while (!key.empty() && key.back() == '/') key.pop_back();
    return key;
}

bool endsWithTempSuffix(const std::string& key) {
    return key.size() > TEMP_SUFFIX_LENGTH &&
           key.compare(key.size() - TEMP_SUFFIX_LENGTH, TEMP_SUFFIX_LENGTH, WRP_TEMP_SUFFIX) == 0;
}

void noteCreated(const char* path) {
    std::string key = pathKey(path);
    if (endsWithTempSuffix(key)) tempLookalikes.insert(key);
}

bool refuseTempClash(const char* targetPath) {
    std::string key = pathKey(targetPath) + WRP_TEMP_SUFFIX;
    if (tempLookalikes.count(key) == 0) return false;
    logMessage("unwrapFolder_rec ERROR - temporary file of \"%s\" would replace \"%s" WRP_TEMP_SUFFIX
               "\" of this archive - refused",
               targetPath, targetPath);
    return true;
}

// Adds up the content sizes that the archive announces, reading only the
// record headers and seeking past the contents.  False when the records do
// not lead to the final end record within the archive: the unpacking itself
// then reports what is wrong.
bool announcedBytes(FILE* f, int64_t length, uint64_t* total) {
    char name[WRP_NAME_MAX + 1];
    *total = 0;
    int64_t position = 0;
    uint64_t open = 1;  // listings not yet closed
    for (;;) {
        uint8_t type;
        if (!readExactly(f, &type, 1)) return false;
        ++position;
        switch (wrpRecordKind(type)) {
            case WrpRecordKind::End:
                if (--open == 0) return true;
                break;
            case WrpRecordKind::Skip: break;
            case WrpRecordKind::Folder:
            case WrpRecordKind::File: {
                size_t n;
                if (!readName(f, name, &n)) return false;
                position += 1 + static_cast<int64_t>(n);
                if (wrpRecordKind(type) == WrpRecordKind::Folder) {
                    ++open;
                    break;
                }
                uint8_t sizeField[WRP_SIZE_BYTES];
                if (!readExactly(f, sizeField, sizeof sizeField)) return false;
                uint32_t size = wrpGetU32(sizeField);
                position += WRP_SIZE_BYTES + static_cast<int64_t>(size);
                if (position > length || !sysSeekTo(f, position)) return false;
                *total += size;
                break;
            }
        }
    }
}

// False (logged) when the archive announces more content than the
// destination's volume has room for: nothing is written then.
bool enoughSpace(const char* archivePath, int64_t length, const char* root) {
    FILE* scan = sysOpenFile(archivePath, "rb");
    if (!scan) return true;  // the unpacking reports it
    uint64_t needed = 0, available = 0;
    bool known = announcedBytes(scan, length, &needed);
    fclose(scan);
    if (!known || !sysFreeSpace(root, &available) || needed <= available) return true;
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
    char name[WRP_NAME_MAX + 1];
    char path[WRP_UNPACK_PATH_CAP];
    for (;;) {
        // Every listing ends with its end record; running out of archive
        // before it is a cut archive, never a success.
        if (feof(srcFile)) return false;
        uint8_t type;
        if (!readExactly(srcFile, &type, 1)) return false;
        switch (wrpRecordKind(type)) {
            case WrpRecordKind::Folder: {
                size_t n;
                if (!readName(srcFile, name, &n)) return false;
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
                noteCreated(path);
                if (!unwrapFolder_rec(srcFile, path)) {
                    logMessage("unwrapFolder_rec \"%s\" failed", path);
                    return false;
                }
                break;
            }
            case WrpRecordKind::File: {
                size_t n;
                uint8_t sizeField[WRP_SIZE_BYTES];
                if (!readName(srcFile, name, &n) || !readExactly(srcFile, sizeField, sizeof sizeField))
                    return false;
                uint32_t size = wrpGetU32(sizeField);
                if (refuseUnsafeName(folderPath, name, n)) return false;
                if (!copyText(path, sizeof path, folderPath) || !appendBytes(path, sizeof path, name, n)) {
                    logMessage("unwrapFolder_rec ERROR - path too long (%s%s)", folderPath, name);
                    return false;
                }
                if (refuseTempClash(path)) return false;
                noteCreated(path);
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

bool unwrapFolder(const char* archivePath, const char* destinationFolder) {
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
    int err = sysCreateFolder(root);
    if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS) logMessage("CreateDirectory \"%s\" ERROR - %d", root, err);

    // Nobody else may cut or rewrite the archive while it is unpacked.
    FILE* src = sysOpenFileNoWriters(archivePath, "rb");
    if (!src) {
        logMessage("failed to open \"%s\"", archivePath);
        showWarning("Failed to open \"%s\".\nPlease try again or contact " SUPPORT_CONTACT "!", archivePath);
        return false;
    }
    setvbuf(src, archiveBuffer, _IOFBF, sizeof archiveBuffer);
    archiveSize = sysSeekEnd(src) ? sysTell(src) : -1;
    sysSeekStart(src);
    lastProgress = 0;
    if (!enoughSpace(archivePath, archiveSize, root)) {
        fclose(src);
        logMessage("     > unwrap failed");
        return false;
    }
    tempLookalikes.clear();
    bool ok = unwrapFolder_rec(src, root);
    tempLookalikes.clear();
    fclose(src);
    if (ok && unwrapFailed == 0) {
        logMessage("     > unwrap done");
        return true;
    }
    logMessage("     > unwrap failed");
    return false;
}
