#include "archive/wrap.h"

#include <cstring>

#include "app/eventlog.h"
#include "archive/temp_names.h"
#include "archive/wrp_format.h"
#include "base/textbuf.h"
#include "platform/file_names.h"
#include "platform/sys.h"

namespace {

// One packing at a time: the mode and the outcome of the current run, the
// path being walked (extended in place per level, so deep trees cost no
// stack per level beyond one enumeration entry) and the I/O buffers.
uint16_t currentMode = PACK_ALL;
bool wrapFailed = false;
char walkPath[WRP_PACK_PATH_CAP];
char copyBlock[WRP_BLOCK];
// Larger stdio buffers than the default: the archive and the source files
// are streamed through 1000-byte blocks, and bigger buffers keep the number
// of system calls down.
char archiveBuffer[1 << 16];
char sourceBuffer[1 << 16];

bool takeFolder(int depth, const char* name) {
    const char* top = nullptr;
    switch (currentMode) {
        case PACK_ALL: return true;
        case PACK_OSKE_EXE:
            if (depth == 0) return strcmp(name, "OSKE") == 0;
            return false;
        case PACK_OSKE_ALL: top = "OSKE"; break;
        case PACK_VELN_EXE:
            if (depth == 0) return strcmp(name, "VELN") == 0;
            if (depth == 1) return strcmp(name, "BIN") == 0;
            return true;
        case PACK_VELN_ALL: top = "VELN"; break;
        case PACK_KAVO_EXE: top = "KAVO_data"; break;
        case PACK_UBRA_EXE:
        case PACK_UBRA_ALL: top = "UBRA"; break;
        default: return false;
    }
    return depth == 0 ? strcmp(name, top) == 0 : true;
}

bool takeFile(int depth, const char* name) {
    if (currentMode == PACK_ALL) return true;
    if (depth == 0) return false;
    if (currentMode == PACK_UBRA_EXE) return strcmp(name, "UBRA.exe") == 0;
    return true;
}

bool writeAll(FILE* dst, const void* data, size_t n) { return fwrite(data, 1, n, dst) == n; }

// Copies one file's content after its record header.  False when the
// content written differs from the announced size in any way.
bool cpyFileContent_wrap(FILE* dst, const char* filePath, uint32_t size) {
    uint64_t copied = 0;
    FILE* src = sysOpenFile(filePath, "rb");
    if (!src) {
        if (size == 0) return true;
        logMessage("wrapFolder_rec ERROR - cpy file content %d/%llu (%s)", 0, (unsigned long long)size,
                   filePath);
        return false;
    }
    setvbuf(src, sourceBuffer, _IOFBF, sizeof sourceBuffer);
    bool grew = false;
    for (;;) {
        // Never read further than one byte past the announced size: enough to
        // see that the file grew, and bounded even when it keeps growing (an
        // archive written into the folder it packs).
        uint64_t want = static_cast<uint64_t>(size) + 1 - copied;
        size_t n = fread(copyBlock, 1, want < WRP_BLOCK ? static_cast<size_t>(want) : WRP_BLOCK, src);
        if (n == 0) break;
        size_t keep = n;
        if (copied + n > size) {
            keep = static_cast<size_t>(size - copied);
            grew = true;
        }
        size_t written = fwrite(copyBlock, 1, keep, dst);
        copied += written;
        if (written != keep) {
            logMessage("cpyFileContent_wrap ERROR - %d/%d written", static_cast<int>(written),
                       static_cast<int>(n));
            break;
        }
        if (grew) break;
    }
    fclose(src);
    if (copied == size && !grew) return true;
    // The bytes that went into the archive, whatever the file holds now.
    logMessage("cpyFileContent_wrap ERROR - %llu/%llu coppied", (unsigned long long)copied,
               (unsigned long long)size);
    if (grew) logMessage("cpyFileContent_wrap ERROR - \"%s\" grew while it was packed", filePath);
    logMessage("wrapFolder_rec ERROR - cpy file content %llu/%llu (%s)", (unsigned long long)copied,
               (unsigned long long)size, filePath);
    return false;
}

// Checks what the format cannot hold before any byte of the record is
// written, so a refused entry never leaves half a record behind.
bool entryFitsFormat(const SysFolderEntry& e, size_t nameLength) {
    if (nameLength > WRP_NAME_MAX) {
        logMessage("wrapFolder_rec ERROR - name of %d bytes is too long for the archive (%s%s)",
                   static_cast<int>(nameLength), walkPath, e.name);
        return false;
    }
    if (const char* why = fileNameProblem(e.name, nameLength)) {
        logMessage("wrapFolder_rec ERROR - name cannot be unpacked, %s (%s%s)", why, walkPath, e.name);
        return false;
    }
    if (!e.isFolder && e.size >= WRP_SIZE_LIMIT) {
        logMessage("wrapFolder_rec ERROR - file of %llu bytes is too large for the archive (%s%s)",
                   (unsigned long long)e.size, walkPath, e.name);
        return false;
    }
    return true;
}

// Walks the folder whose path (with its separator) is in walkPath.
bool walkFolder(FILE* dst, int depth) {
    bool ok = true;
    SysFolderScan* scan = sysScanBegin(walkPath);
    if (scan) {
        SysFolderEntry e;
        // Names alike but for letter case are one entry to the system.
        TempNameClash clash(true);
        size_t baseLength = strlen(walkPath);
        while (sysScanNext(scan, &e)) {
            if (e.isHidden || e.name[0] == '.') continue;
            if (e.isFolder ? !takeFolder(depth, e.name) : !takeFile(depth, e.name)) continue;
            size_t nameLength = strnlen(e.name, sizeof e.name);
            if (!entryFitsFormat(e, nameLength)) {
                ok = false;
                continue;
            }
            if (clash.note(e.name, nameLength, e.isFolder)) {
                logMessage("wrapFolder_rec ERROR - name cannot be unpacked beside its temporary name " WRP_TEMP_SUFFIX
                           " (%s%s)",
                           walkPath, e.name);
                ok = false;
                continue;
            }
            // The entry's path; a folder's also needs its separator and room
            // for the enumeration pattern ("*") within the same 999 bytes.
            bool fits = appendBytes(walkPath, sizeof walkPath, e.name, nameLength) &&
                        (!e.isFolder || (appendText(walkPath, sizeof walkPath, "/") &&
                                         strlen(walkPath) + 1 < sizeof walkPath));
            if (!fits) {
                walkPath[baseLength] = '\0';
                logMessage("wrapFolder_rec ERROR - path too long (%s%s)", walkPath, e.name);
                ok = false;
                continue;
            }
            uint8_t header[WRP_TYPE_BYTES + WRP_NAME_LENGTH_BYTES];
            header[0] = e.isFolder ? REC_DIR : REC_FILE;
            header[1] = static_cast<uint8_t>(nameLength);
            bool wrote = writeAll(dst, header, sizeof header) && writeAll(dst, e.name, nameLength);
            if (e.isFolder) {
                if (!walkFolder(dst, depth + 1)) ok = false;
            } else {
                uint8_t size[WRP_SIZE_BYTES];
                uint32_t size32 = static_cast<uint32_t>(e.size);
                wrpPutU32(size, size32);
                wrote = wrote && writeAll(dst, size, sizeof size);
                if (!cpyFileContent_wrap(dst, walkPath, size32)) ok = false;
            }
            walkPath[baseLength] = '\0';
            if (!wrote || ferror(dst)) {
                // The archive itself cannot be written (disk full): reading
                // on would only waste time, the run has failed.
                ok = false;
                break;
            }
        }
        sysScanEnd(scan);
    }
    const uint8_t end = REC_END;
    writeAll(dst, &end, 1);
    if (!ok) wrapFailed = true;
    return ok;
}

}  // namespace

bool isPackageMode(uint16_t packageMode) {
    switch (packageMode) {
        case PACK_ALL:
        case PACK_OSKE_EXE:
        case PACK_OSKE_ALL:
        case PACK_VELN_EXE:
        case PACK_VELN_ALL:
        case PACK_KAVO_EXE:
        case PACK_UBRA_EXE:
        case PACK_UBRA_ALL: return true;
        default: return false;
    }
}

bool wrapFolder_rec(const char* folderPath, FILE* dstFile, int depth) {
    if (!folderPath) return false;
    if (!dstFile) {
        logMessage("wrapFolder_rec ERROR - dstFile == NULL");
        return false;
    }
    if (folderPath != walkPath) {
        if (!copyText(walkPath, sizeof walkPath, folderPath) || strlen(walkPath) + 1 >= sizeof walkPath) {
            logMessage("wrapFolder_rec ERROR - path too long (%s)", folderPath);
            wrapFailed = true;
            return false;
        }
    }
    return walkFolder(dstFile, depth);
}

bool wrapFolder(const char* sourceFolder, const char* archivePath, uint16_t packageMode) {
    if (!sourceFolder || !archivePath) return false;
    if (!isPackageMode(packageMode)) {
        logMessage("wrapFolder ERROR - unknown packageMode %d", packageMode);
        return false;
    }
    currentMode = packageMode;
    wrapFailed = false;

    if (!copyText(walkPath, sizeof walkPath, sourceFolder) ||
        (!endsWithSeparator(walkPath) && !appendText(walkPath, sizeof walkPath, "/")) ||
        strlen(walkPath) + 1 >= sizeof walkPath) {
        logMessage("wrapFolder ERROR - path too long (%s)", sourceFolder);
        return false;
    }
    logMessage("wrap \"%s\" -> \"%s\"", walkPath, archivePath);

    FILE* dst = sysOpenFile(archivePath, "wb");
    if (!dst) {
        logMessage("failed to open \"%s\"", archivePath);
        return false;
    }
    setvbuf(dst, archiveBuffer, _IOFBF, sizeof archiveBuffer);
    wrapFolder_rec(walkPath, dst, 0);
    bool written = fflush(dst) == 0 && !ferror(dst);
    if (fclose(dst) != 0) written = false;
    if (!written) {
        logMessage("wrapFolder ERROR - writing \"%s\" failed", archivePath);
        wrapFailed = true;
    }
    if (wrapFailed) {
        // An archive that does not hold every taken entry whole is never
        // left behind: a reader could not get past the broken record.
        sysDeleteFile(archivePath);
        logMessage("     > wrap failed, \"%s\" removed", archivePath);
        return false;
    }
    logMessage("     > wrap done");
    return true;
}
