#include "archive/unwrap.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/release_file.h"
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

// Size and SHA-256 of each temporary file this landing wrote, by its
// target's path (a file listed twice: the last write).
struct Written {
    uint64_t size = 0;
    uint8_t sha256[CRYPTO_DIGEST_BYTES] = {};
};
std::map<std::string, Written, FileNameLess> written;

// Hashes what goes into one temporary file.
class ContentHash {
public:
    ContentHash() : hash_(sysHashBegin()) {}
    ~ContentHash() {
        if (hash_) sysHashEnd(hash_, digest_);
    }
    void add(const void* data, size_t n) {
        if (hash_ && !sysHashAdd(hash_, data, n)) failed_ = true;
        size_ += n;
    }
    // Notes the file's facts for the journal; false when the system could not hash.
    bool note(const char* target) {
        if (!hash_ || failed_) return false;
        Written& w = written[target];
        bool ok = sysHashEnd(hash_, w.sha256);
        hash_ = nullptr;
        w.size = size_;
        return ok;
    }

private:
    SysHash* hash_;
    bool failed_ = false;
    uint64_t size_ = 0;
    uint8_t digest_[CRYPTO_DIGEST_BYTES];
};

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

// Entries this run created, for the temporary-name rule: in either order,
// since recovery must tell every temporary file and backup from the
// package's own files.
TempNameClash madeEntries(true);

bool refuseTempClash(const char* path, bool isFolder) {
    if (!madeEntries.note(path, strlen(path), isFolder)) return false;
    logMessage("unwrapFolder_rec ERROR - temporary file of \"%s\" and an entry named like it (" WRP_TEMP_SUFFIX
               ", " WRP_BACKUP_SUFFIX ") are both in this archive - refused",
               path);
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
    ContentHash hash;
    uint32_t copied = 0;
    while (copied < size) {
        uint32_t left = size - copied;
        size_t want = left < COPY_BLOCK ? left : COPY_BLOCK;
        size_t got = fread(copyBlock, 1, want, srcFile);
        if (got == 0) break;
        size_t put = fwrite(copyBlock, 1, got, dst);
        hash.add(copyBlock, put);
        copied += static_cast<uint32_t>(put);
        if (put != got) {
            logMessage("cpyFileContent_wrap ERROR - %d/%d written", static_cast<int>(put), static_cast<int>(got));
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
    // The journal proves each file by its size and SHA-256.
    if (!hash.note(targetPath)) {
        logMessage("cpyFileContent_unwrap ERROR - \"%s\" cannot be hashed", tempPath);
        copyResult = COPY_SHORT;
        return 0;
    }
    // On the disk before the journal says that it may replace the target;
    // the move onto the target waits for the whole package (landReady).
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
                if (refuseTempClash(path, true)) return false;
                int err = sysCreateFolder(path);
                if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS) {
                    logMessage("CreateDirectory \"%s\" ERROR - %d", path, err);
                    return false;
                }
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
                if (refuseTempClash(path, false)) return false;
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

namespace {

bool rootOf(const char* destinationFolder, char* root) {
    return copyText(root, WRP_DEST_PATH_CAP, destinationFolder) &&
           (endsWithSeparator(root) || appendText(root, WRP_DEST_PATH_CAP, "\\"));
}

bool failRun() {
    logMessage("     > unwrap failed");
    return false;
}

// A run that fails before its moves: what it wrote goes, nothing was replaced.
bool undoRun(const char* root, const UnwrapPlan& plan) {
    written.clear();
    unsigned removed = discardLanding(root, plan);
    logMessage("unwrapFolder - nothing replaced, %u temporary files removed", removed);
    return failRun();
}

// A landing cut off earlier is finished or undone first; one that waits
// for its moves is dropped (a caller that could use it has tried); one
// that can be neither must not lose its journal to this one.
bool clearEarlier(const char* root) {
    Recovery earlier = recoverUnwrap(root);
    if (earlier == Recovery::Ready) {
        char state = 0;
        UnwrapPlan kept;
        const char* why = nullptr;
        int error = 0;
        if (readJournal(root, &state, &kept, &why, &error) == JournalFound::Whole) {
            unsigned removed = discardLanding(root, kept);
            logMessage("unwrapFolder - the files kept for the landing%s%s are dropped, %u temporary files removed",
                       kept.package.empty() ? "" : " of ", kept.package.c_str(), removed);
        }
        return true;
    }
    if (earlier == Recovery::Refused || earlier == Recovery::Unopenable || earlier == Recovery::Stuck) {
        logMessage("unwrapFolder ERROR - an unfinished unpacking in \"%s\" is in the way", root);
        return false;
    }
    return true;
}

// Puts the request's records on the plan, first in the order of the moves,
// with the folders that hold them.
void addExtras(UnwrapPlan& plan, LandingRequest* request, const char* root) {
    if (!request || !request->extras) return;
    std::vector<std::string> paths;
    request->extras->paths(&paths);
    std::vector<LandingFile> files;
    FileNameLess less;
    auto same = [&less](const std::string& a, const std::string& b) { return !less(a, b) && !less(b, a); };
    for (const std::string& rel : paths) {
        for (size_t cut = rel.find('/'); cut != std::string::npos; cut = rel.find('/', cut + 1)) {
            std::string folder = rel.substr(0, cut);
            bool known = false;
            for (const LandingFolder& d : plan.folders) known = known || same(d.path, folder);
            if (known) continue;
            bool exists = sysPathKind((std::string(root) + folder).c_str()) == 2;
            plan.folders.push_back({folder, static_cast<uint8_t>(exists ? 0 : LAND_FOLDER_MADE)});
        }
        // A package file of the same name gives way to the record.
        for (size_t i = 0; i < plan.files.size(); ++i)
            if (same(plan.files[i].path, rel)) plan.files.erase(plan.files.begin() + static_cast<long>(i--));
        files.emplace_back();
        files.back().path = rel;
        files.back().flags = LAND_STATE_FILE;
    }
    plan.files.insert(plan.files.begin(), files.begin(), files.end());
}

bool writeFolders(const char* root, const UnwrapPlan& plan) {
    for (const LandingFolder& d : plan.folders) {
        if (!d.made()) continue;
        std::string path = std::string(root) + d.path;
        int err = sysCreateFolder(path.c_str());
        if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS) {
            logMessage("CreateDirectory \"%s\" ERROR - %d", path.c_str(), err);
            return false;
        }
    }
    return true;
}

void logStop(const LandingStop& stop) {
    if (stop.inUse)
        logMessage("unwrapFolder - nothing replaced: \"%s\" is in use%s%s - %d; the unpacked files are kept for "
                   "the next try",
                   stop.path.c_str(), stop.holder.empty() ? "" : " by ", stop.holder.c_str(), stop.error);
    else
        logMessage("unwrapFolder - nothing replaced: \"%s\" cannot be replaced - %d; the unpacked files are kept "
                   "for the next try",
                   stop.path.c_str(), stop.error);
}

// The end of every landing once the package's files (if any) are written
// and flushed: the records are written, every file gets its size and
// SHA-256 in the ready journal, and the files are moved into place.
bool landWritten(const char* root, UnwrapPlan& plan, LandingRequest* request) {
    if (!writeFolders(root, plan)) return undoRun(root, plan);
    if (request && request->extras) {
        flushBatch = sysFlushStart();
        bool ok = request->extras->write(root, plan);
        int err = sysFlushFinish(flushBatch);
        flushBatch = nullptr;
        if (ok && err != SYS_OK) {
            logMessage("unwrapFolder ERROR - the installation's records cannot be flushed to the disk - %d", err);
            ok = false;
        }
        if (!ok) return undoRun(root, plan);
    }
    std::string target;
    for (size_t i = 0; i < plan.files.size(); ++i) {
        LandingFile& f = plan.files[i];
        target.assign(root).append(f.path);
        auto it = written.find(target);
        if (it == written.end() && (f.flags & LAND_STATE_FILE)) {
            // A record that had nothing to say this time (a version file the
            // server does not have) stays as it is installed.
            sysDeleteFile((target + WRP_TEMP_SUFFIX).c_str());
            plan.files.erase(plan.files.begin() + static_cast<long>(i--));
            continue;
        }
        if (it == written.end()) {
            // Every file was written above, or the run failed before.
            logMessage("unwrapFolder ERROR - \"%s\" was not written", target.c_str());
            return undoRun(root, plan);
        }
        f.size = it->second.size;
        memcpy(f.sha256, it->second.sha256, sizeof f.sha256);
    }
    written.clear();
    int err = writeJournal(root, JOURNAL_READY, plan);
    if (err != SYS_OK) {
        logMessage("unwrapFolder ERROR - journal \"%s" UNWRAP_JOURNAL_NAME "\" cannot be written - %d", root, err);
        return undoRun(root, plan);
    }
    // Second phase: every file it replaces taken first, then the moves.
    LandingStop stop;
    if (!landReady(root, plan, request ? request->retry : nullptr, &stop)) {
        logStop(stop);
        copyResult = COPY_RENAME_FAILED;
        unwrapFailed |= UNWRAP_FILE_FAILED | (stop.inUse ? UNWRAP_IN_USE : 0);
        if (request) request->stop = stop;
        return failRun();
    }
    logMessage("     > unwrap done");
    return true;
}

void namePackage(UnwrapPlan& plan, const LandingRequest* request) {
    if (!request) return;
    if (request->package) plan.package = request->package;
    if (request->packageDigest) memcpy(plan.packageDigest, request->packageDigest, CRYPTO_DIGEST_BYTES);
}

}  // namespace

// unwrapFolder on an open archive (read from its start) into `root`, the
// destination with its separator.
static bool unwrapArchiveStream(FILE* src, const char* root, LandingRequest* request) {
    unwrapFailed = 0;
    if (!src || !root) return false;
    archiveSize = sysSeekEnd(src) ? sysTell(src) : -1;
    sysSeekStart(src);
    lastProgress = 0;
    if (!clearEarlier(root)) return failRun();
    // Room is counted before anything is created, the destination included.
    UnwrapPlan plan;
    if (!planUnpacking(src, root, &plan)) {
        unwrapFailed |= UNWRAP_NO_ROOM;
        return failRun();
    }
    namePackage(plan, request);
    addExtras(plan, request, root);
    // Every journal written must be one that recovery reads back.
    if (journalSize(plan) > UNWRAP_JOURNAL_MAX) {
        logMessage("unwrapFolder ERROR - %u files are more than one unpacking can list",
                   static_cast<unsigned>(plan.files.size()));
        return failRun();
    }
    int err = sysCreateFolder(root);
    if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS) logMessage("CreateDirectory \"%s\" ERROR - %d", root, err);
    err = writeJournal(root, JOURNAL_UNPACKING, plan);
    if (err != SYS_OK) {
        logMessage("unwrapFolder ERROR - journal \"%s" UNWRAP_JOURNAL_NAME "\" cannot be written - %d", root, err);
        return failRun();
    }

    // First phase: every file to its temporary file, nothing installed touched.
    written.clear();
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
    if (!ok || unwrapFailed != 0) return undoRun(root, plan);
    return landWritten(root, plan, request);
}

bool landingPut(const char* root, const char* rel, const void* data, size_t n) {
    std::string target = std::string(root) + rel, temp = target + WRP_TEMP_SUFFIX;
    FILE* f = temp.size() < WRP_UNPACK_PATH_CAP ? sysOpenFileNoWriters(temp.c_str(), "wb") : nullptr;
    bool ok = f && (n == 0 || fwrite(data, 1, n, f) == n);
    if (f && fclose(f) != 0) ok = false;
    ContentHash hash;
    hash.add(data, n);
    ok = ok && hash.note(target.c_str());
    if (!ok) {
        logMessage("unwrapFolder ERROR - \"%s\" cannot be written", temp.c_str());
        return false;
    }
    sysFlushAdd(flushBatch, temp.c_str());
    return true;
}

bool landingAdopt(const char* root, const char* rel) {
    std::string target = std::string(root) + rel, temp = target + WRP_TEMP_SUFFIX;
    FILE* in = sysOpenFileNoWriters(temp.c_str(), "rb");
    Written facts;
    bool ok = in && hashStream(in, facts.sha256, &facts.size);
    if (in) fclose(in);
    if (ok) written[target] = facts;
    if (!ok) {
        logMessage("unwrapFolder ERROR - \"%s\" cannot be read", temp.c_str());
        return false;
    }
    sysFlushAdd(flushBatch, temp.c_str());
    return true;
}

bool landKeptPackage(const char* destinationFolder, LandingRequest* request, bool* used) {
    *used = false;
    unwrapFailed = 0;
    char root[WRP_DEST_PATH_CAP];
    if (!request || !request->package || !request->packageDigest || !destinationFolder ||
        !rootOf(destinationFolder, root))
        return false;
    char state = 0;
    UnwrapPlan plan;
    const char* why = nullptr;
    int error = 0;
    if (readJournal(root, &state, &plan, &why, &error) != JournalFound::Whole || state != JOURNAL_READY ||
        sysCompareNames(plan.package.data(), plan.package.size(), request->package, strlen(request->package)) != 0 ||
        memcmp(plan.packageDigest, request->packageDigest, CRYPTO_DIGEST_BYTES) != 0)
        return false;
    // Each kept file must still be what the journal says; the records are
    // written anew.
    std::vector<LandingFile> kept;
    std::string target;
    for (const LandingFile& f : plan.files) {
        target.assign(root).append(f.path);
        if (f.flags & LAND_STATE_FILE) {
            sysDeleteFile((target + WRP_TEMP_SUFFIX).c_str());
            continue;
        }
        if (!fileHasDigest((target + WRP_TEMP_SUFFIX).c_str(), f.size, f.sha256)) {
            unsigned removed = discardLanding(root, plan);
            logMessage("unwrapFolder - the files kept for %s are not what their journal says (\"%s\"): dropped, %u "
                       "temporary files removed",
                       request->package, (target + WRP_TEMP_SUFFIX).c_str(), removed);
            return false;
        }
        kept.push_back(f);
    }
    *used = true;
    logMessage("unwrap - %u files kept for %s in \"%s\" are used, the package is not fetched again",
               static_cast<unsigned>(kept.size()), request->package, root);
    plan.files = std::move(kept);
    written.clear();
    for (const LandingFile& f : plan.files) {
        Written& w = written[std::string(root) + f.path];
        w.size = f.size;
        memcpy(w.sha256, f.sha256, sizeof w.sha256);
    }
    addExtras(plan, request, root);
    int err = journalSize(plan) > UNWRAP_JOURNAL_MAX ? SYS_ERROR_FILENAME_EXCED_RANGE
                                                     : writeJournal(root, JOURNAL_UNPACKING, plan);
    if (err != SYS_OK) {
        logMessage("unwrapFolder ERROR - journal \"%s" UNWRAP_JOURNAL_NAME "\" cannot be written - %d", root, err);
        written.clear();
        return failRun();
    }
    return landWritten(root, plan, request);
}

bool landRecords(const char* destinationFolder, LandingRequest* request) {
    unwrapFailed = 0;
    char root[WRP_DEST_PATH_CAP];
    if (!destinationFolder || !rootOf(destinationFolder, root)) return false;
    if (!clearEarlier(root)) return failRun();
    UnwrapPlan plan;
    namePackage(plan, request);
    addExtras(plan, request, root);
    written.clear();
    int err = writeJournal(root, JOURNAL_UNPACKING, plan);
    if (err != SYS_OK) {
        logMessage("unwrapFolder ERROR - journal \"%s" UNWRAP_JOURNAL_NAME "\" cannot be written - %d", root, err);
        return failRun();
    }
    return landWritten(root, plan, request);
}

bool unwrapFolder(const char* archivePath, const char* destinationFolder) {
    unwrapFailed = 0;
    if (!archivePath || !destinationFolder) return false;
    FILE* src = openArchiveNoWriters(archivePath);
    bool ok = unwrapFolderFrom(src, archivePath, destinationFolder);
    if (src) fclose(src);
    return ok;
}

bool unwrapFolderFrom(FILE* src, const char* archivePath, const char* destinationFolder, LandingRequest* request) {
    unwrapFailed = 0;
    if (!archivePath || !destinationFolder) return false;
    char root[WRP_DEST_PATH_CAP];
    if (!rootOf(destinationFolder, root)) {
        logMessage("unwrapFolder ERROR - path too long (%s)", destinationFolder);
        logMessage("     > unwrap failed");
        return false;
    }
    logMessage("unwrap \"%s\" -> \"%s\"", archivePath, root);
    if (!src) {
        logMessage("failed to open \"%s\"", archivePath);
        // There, but not to be opened, is said as such with the system's error.
        if (sysPathKind(archivePath) != 0)
            logMessage("unwrapFolder ERROR - \"%s\" cannot be opened - %d", archivePath, sysOpenFailure());
        showWarning("Failed to open \"%s\".\nPlease try again or contact " SUPPORT_CONTACT "!", archivePath);
        return false;
    }
    clearerr(src);
    return unwrapArchiveStream(src, root, request);
}
