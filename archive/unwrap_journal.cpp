#include "archive/unwrap_journal.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>

#include "app/eventlog.h"
#include "archive/release_file.h"
#include "archive/wrp_format.h"
#include "base/textbuf.h"
#include "platform/file_names.h"
#include "platform/sys.h"

namespace {

const char MAGIC[8] = {'K', 'A', 'V', 'O', 'J', 'R', 'N', 'L'};
const char END_MARK[4] = {'E', 'N', 'D', '.'};
const uint8_t VERSION = 2;
const size_t HEAD_BYTES = sizeof MAGIC + 1 + 1;
const size_t TAIL_BYTES = sizeof END_MARK + 4;
const size_t ENTRY_HEAD_BYTES = 1 + 1 + 2;
const size_t FILE_FACTS_BYTES = 8 + CRYPTO_DIGEST_BYTES;
const int HOLD_RETRY_MS = 250;

uint32_t fnv1a(const char* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<uint8_t>(p[i])) * 16777619u;
    return h;
}

void putU32(std::string& out, uint32_t v) {
    uint8_t b[4];
    wrpPutU32(b, v);
    out.append(reinterpret_cast<char*>(b), 4);
}

void putU64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Reads the journal's bytes and never past them.
class JournalCursor {
public:
    JournalCursor(const std::string& bytes, size_t end) : p_(bytes.data()), end_(end) {}
    bool take(void* out, size_t n) {
        if (end_ - at_ < n) return false;
        memcpy(out, p_ + at_, n);
        at_ += n;
        return true;
    }
    bool text(std::string& out, size_t n) {
        if (end_ - at_ < n) return false;
        out.assign(p_ + at_, n);
        at_ += n;
        return true;
    }
    bool u64(uint64_t* v) {
        uint8_t b[8];
        if (!take(b, sizeof b)) return false;
        *v = 0;
        for (int i = 7; i >= 0; --i) *v = (*v << 8) | b[i];
        return true;
    }
    size_t at() const { return at_; }

private:
    const char* p_;
    size_t end_, at_ = 0;
};

// Why a journal's relative path cannot be used under root, or null.
const char* pathProblem(const std::string& path, const char* root, bool isFile) {
    if (path.empty()) return "empty path";
    size_t start = 0;
    for (;;) {
        size_t cut = path.find('/', start);
        size_t n = (cut == std::string::npos ? path.size() : cut) - start;
        if (n == 0 || (n == 2 && path.compare(start, 2, "..") == 0)) return "path outside its folder";
        if (const char* why = fileNameProblem(path.data() + start, n)) {
            if (n == 1 && path[start] == '.') return "path outside its folder";
            return why;
        }
        if (cut == std::string::npos) break;
        start = cut + 1;
    }
    // Files with their temporary or backup suffix, folders with their separator.
    size_t extra = isFile ? sizeof WRP_TEMP_SUFFIX - 1 : 1;
    if (strlen(root) + path.size() + extra >= WRP_UNPACK_PATH_CAP) return "path too long";
    return nullptr;
}

bool joinPath(char* out, const char* root, const std::string& rel, const char* suffix = "") {
    return copyText(out, WRP_UNPACK_PATH_CAP, root) && appendText(out, WRP_UNPACK_PATH_CAP, rel.c_str()) &&
           appendText(out, WRP_UNPACK_PATH_CAP, suffix);
}

// The three names of one file of a landing; the journal's paths were
// checked to fit them when it was read or planned.
struct FilePaths {
    char target[WRP_UNPACK_PATH_CAP], temp[WRP_UNPACK_PATH_CAP], backup[WRP_UNPACK_PATH_CAP];
    bool make(const char* root, const std::string& rel) {
        return joinPath(target, root, rel) && joinPath(temp, root, rel, WRP_TEMP_SUFFIX) &&
               joinPath(backup, root, rel, WRP_BACKUP_SUFFIX);
    }
};

bool journalPaths(const char* root, char* journal, char* fresh) {
    return copyText(journal, WRP_DEST_PATH_CAP, root) && appendText(journal, WRP_DEST_PATH_CAP, UNWRAP_JOURNAL_NAME) &&
           copyText(fresh, WRP_DEST_PATH_CAP, root) && appendText(fresh, WRP_DEST_PATH_CAP, UNWRAP_JOURNAL_NEW_NAME);
}

void removeJournal(const char* root) {
    char journal[WRP_DEST_PATH_CAP], fresh[WRP_DEST_PATH_CAP];
    if (!journalPaths(root, journal, fresh)) return;
    sysDeleteFile(journal);
    sysDeleteFile(fresh);
    sysFlushFolder(root);
}

bool isFile(const char* path) { return sysPathKind(path) == 1; }

// The landing's file i back as it was before the landing: its new content
// back to its temporary file, the installed one back from its backup.
int putBack(const char* root, const LandingFile& f) {
    FilePaths p;
    if (!p.make(root, f.path)) return SYS_ERROR_FILENAME_EXCED_RANGE;
    bool hasTemp = isFile(p.temp), hasTarget = isFile(p.target);
    int err = SYS_OK;
    if (isFile(p.backup)) {
        if (hasTarget) err = hasTemp ? sysDeleteFile(p.target) : sysReplaceFile(p.target, p.temp);
        if (err == SYS_OK) err = sysReplaceFileThrough(p.backup, p.target);
    } else if (!(f.flags & LAND_REPLACES) && hasTarget && !hasTemp) {
        err = sysReplaceFileThrough(p.target, p.temp);
    }
    return err;
}

// Every file of the landing back, the last moved first; the path and error
// of the first that cannot be put back, none when all could.
bool putBackAll(const char* root, const UnwrapPlan& plan, LandingStop* failed) {
    bool ok = true;
    for (size_t i = plan.files.size(); i-- > 0;) {
        int err = putBack(root, plan.files[i]);
        if (err != SYS_OK && ok) {
            ok = false;
            failed->path = plan.files[i].path;
            failed->error = err;
        }
    }
    return ok;
}

// One file onto its name, its installed file kept as the backup.
// `replaces`: whether an installed file is there, when the caller knows.
int moveInto(const FilePaths& p, int replaces = -1) {
    if (replaces < 0) replaces = isFile(p.target) && !isFile(p.backup);
    if (replaces) {
        int err = sysReplaceFile(p.target, p.backup);
        if (err != SYS_OK) return err;
    }
    return sysReplaceFileThrough(p.temp, p.target);
}

// Every file in place: the backups go, then the journal.  After a cut
// (`cutOff`) any file may have either, or a stray temporary file beside it.
void removeBackups(const char* root, const UnwrapPlan& plan, bool cutOff) {
    FilePaths p;
    for (const LandingFile& f : plan.files) {
        if ((!cutOff && !(f.flags & LAND_REPLACES)) || !p.make(root, f.path)) continue;
        if (!cutOff || isFile(p.backup)) sysDeleteFile(p.backup);
        if (cutOff && isFile(p.temp)) sysDeleteFile(p.temp);
    }
    removeJournal(root);
}

// Whether a cut-off landing can be finished: each file's temporary file,
// or its target once moved, is what the journal says.  False with the
// first file that is not.
bool provable(const char* root, const UnwrapPlan& plan, std::string* bad, const char** why) {
    FilePaths p;
    for (const LandingFile& f : plan.files) {
        if (!p.make(root, f.path)) {
            *bad = f.path;
            *why = "path too long";
            return false;
        }
        if (fileHasDigest(p.target, f.size, f.sha256)) continue;
        if (!isFile(p.temp)) {
            *bad = p.temp;
            *why = "is missing";
            return false;
        }
        if (!fileHasDigest(p.temp, f.size, f.sha256)) {
            *bad = p.temp;
            *why = "differs from the journal";
            return false;
        }
    }
    return true;
}

// Finishes a proved landing: the files still waiting are moved (a stray
// temporary file beside a target already new is dropped).
bool moveRest(const char* root, const UnwrapPlan& plan, LandingStop* failed, unsigned* moved) {
    FilePaths p;
    for (size_t i = 0; i < plan.files.size(); ++i) {
        const LandingFile& f = plan.files[i];
        if (!p.make(root, f.path) || !isFile(p.temp)) continue;
        int err;
        if (fileHasDigest(p.target, f.size, f.sha256)) {
            err = sysDeleteFile(p.temp);
        } else {
            err = moveInto(p);
            if (err == SYS_OK) ++*moved;
        }
        if (err != SYS_OK) {
            failed->path = p.target;
            failed->error = err;
            return false;
        }
        if (i % 100 == 99) uiPump();
    }
    return true;
}

bool isHeldError(int err) {
    return err == SYS_ERROR_SHARING_VIOLATION || err == SYS_ERROR_BUSY || err == 33 /* lock violation */;
}

void releaseHolds(std::vector<SysFileHold*>& holds) {
    for (SysFileHold*& h : holds) {
        sysReleaseHold(h);
        h = nullptr;
    }
}

// Takes every file the landing replaces before anything is moved: an open
// that no other program may share, kept until the file's move.  A file
// held by another program is tried again for a while (the window stays
// alive), then `retry` decides.  False with the file that stops it.
bool takeTargets(const char* root, UnwrapPlan& plan, std::vector<SysFileHold*>& holds, RetryHeld retry,
                 LandingStop* stop) {
    holds.assign(plan.files.size(), nullptr);
    FilePaths p;
    double waitEnds = nowSeconds() + landingHoldWaitSeconds;
    for (size_t i = 0; i < plan.files.size(); ++i) {
        LandingFile& f = plan.files[i];
        if (!p.make(root, f.path)) {
            stop->path = f.path;
            stop->error = SYS_ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        int kind = sysPathKind(p.target);
        f.flags = static_cast<uint8_t>(kind == 1 ? f.flags | LAND_REPLACES : f.flags & ~LAND_REPLACES);
        if (kind == 2) {
            stop->path = p.target;
            stop->error = SYS_ERROR_ACCESS_DENIED;  // a folder where a file lands
            return false;
        }
        if (kind == 0) continue;
        for (;;) {
            int err = sysHoldFile(p.target, &holds[i]);
            if (err == SYS_OK) break;
            stop->path = p.target;
            stop->error = err;
            stop->inUse = isHeldError(err);
            if (stop->inUse && nowSeconds() < waitEnds) {
                sysSleepMs(HOLD_RETRY_MS);
                uiPump();
                continue;
            }
            if (!stop->inUse) return false;
            char holder[200];
            stop->holder = sysFileHolder(p.target, holder, sizeof holder) ? holder : "";
            if (!retry || !retry(*stop)) return false;
            waitEnds = nowSeconds() + landingHoldWaitSeconds;
        }
        if (i % 100 == 99) uiPump();
    }
    *stop = LandingStop();
    return true;
}

}  // namespace

double landingHoldWaitSeconds = 5.0;

bool isJournalName(const char* name, size_t n) {
    for (const char* own : {UNWRAP_JOURNAL_NAME, UNWRAP_JOURNAL_NEW_NAME})
        if (sysCompareNames(name, n, own, strlen(own)) == 0) return true;
    return false;
}

uint64_t journalSize(const UnwrapPlan& plan) {
    uint64_t n = HEAD_BYTES + 1 + plan.package.size() + CRYPTO_DIGEST_BYTES + 4 + TAIL_BYTES;
    for (const LandingFile& f : plan.files) n += ENTRY_HEAD_BYTES + f.path.size() + FILE_FACTS_BYTES;
    for (const LandingFolder& d : plan.folders) n += ENTRY_HEAD_BYTES + d.path.size();
    return n;
}

std::string journalBytes(char state, const UnwrapPlan& plan) {
    std::string out;
    out.reserve(static_cast<size_t>(journalSize(plan)));
    out.append(MAGIC, sizeof MAGIC);
    out += static_cast<char>(VERSION);
    out += state;
    out += static_cast<char>(plan.package.size() & 0xFF);
    out.append(plan.package, 0, plan.package.size() & 0xFF);
    out.append(reinterpret_cast<const char*>(plan.packageDigest), CRYPTO_DIGEST_BYTES);
    putU32(out, static_cast<uint32_t>(plan.files.size() + plan.folders.size()));
    auto entry = [&](char kind, uint8_t flags, const std::string& path) {
        out += kind;
        out += static_cast<char>(flags);
        out += static_cast<char>(path.size() & 0xFF);
        out += static_cast<char>(path.size() >> 8);
        out += path;
    };
    for (const LandingFolder& d : plan.folders) entry('D', d.flags, d.path);
    for (const LandingFile& f : plan.files) {
        entry('F', f.flags, f.path);
        putU64(out, f.size);
        out.append(reinterpret_cast<const char*>(f.sha256), CRYPTO_DIGEST_BYTES);
    }
    out.append(END_MARK, sizeof END_MARK);
    putU32(out, fnv1a(out.data(), out.size()));
    return out;
}

const char* parseJournal(const std::string& bytes, const char* root, char* state, UnwrapPlan* plan) {
    *plan = UnwrapPlan();
    if (bytes.size() < HEAD_BYTES + TAIL_BYTES) return "cut short";
    if (memcmp(bytes.data(), MAGIC, sizeof MAGIC) != 0) return "garbled (no journal header)";
    // The end marker and the checksum close the file: a journal cut anywhere
    // lacks them, one changed anywhere fails the sum.
    size_t body = bytes.size() - TAIL_BYTES;
    if (memcmp(bytes.data() + body, END_MARK, sizeof END_MARK) != 0) return "cut short or garbled (no end marker)";
    if (wrpGetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + body + sizeof END_MARK) !=
        fnv1a(bytes.data(), body + sizeof END_MARK))
        return "garbled (checksum)";
    JournalCursor c(bytes, body);
    char magic[sizeof MAGIC];
    uint8_t version, nameLength, count[4];
    char kind;
    if (!c.take(magic, sizeof magic) || !c.take(&version, 1)) return "cut short";
    if (version != VERSION) return version < VERSION ? "written by an older installer" : "garbled (unknown version)";
    if (!c.take(&kind, 1) || !c.take(&nameLength, 1) || !c.text(plan->package, nameLength) ||
        !c.take(plan->packageDigest, CRYPTO_DIGEST_BYTES) || !c.take(count, 4))
        return "cut short";
    if (kind != JOURNAL_UNPACKING && kind != JOURNAL_READY && kind != JOURNAL_MOVING && kind != JOURNAL_LANDED)
        return "garbled (unknown state)";
    if (!plan->package.empty() && fileNameProblem(plan->package.data(), plan->package.size()))
        return "garbled (package name)";
    uint32_t entries = wrpGetU32(count);
    std::set<std::string, FileNameLess> folders;
    for (uint32_t i = 0; i < entries; ++i) {
        char type;
        uint8_t flags, length[2];
        std::string path;
        if (!c.take(&type, 1) || !c.take(&flags, 1) || !c.take(length, 2) ||
            !c.text(path, length[0] | (length[1] << 8)))
            return "garbled (entries beyond the end)";
        if (type == 'D') {
            if (flags & ~LAND_FOLDER_MADE) return "garbled (unknown folder flags)";
            // Folders come first: a folder after a file breaks the order
            // that undoing relies on (deepest last).
            if (!plan->files.empty()) return "garbled (a folder after the files)";
            if (const char* why = pathProblem(path, root, false)) return why;
            size_t cut = path.rfind('/');
            if (cut != std::string::npos && !folders.count(std::string_view(path).substr(0, cut)))
                return "garbled (a folder before its parent)";
            folders.insert(path);
            plan->folders.push_back({path, flags});
        } else if (type == 'F') {
            if (flags & ~(LAND_REPLACES | LAND_STATE_FILE)) return "garbled (unknown file flags)";
            if (const char* why = pathProblem(path, root, true)) return why;
            LandingFile f;
            f.path = std::move(path);
            f.flags = flags;
            if (!c.u64(&f.size) || !c.take(f.sha256, CRYPTO_DIGEST_BYTES)) return "garbled (entries beyond the end)";
            plan->files.push_back(std::move(f));
        } else {
            return "garbled (unknown entry)";
        }
    }
    if (c.at() != body) return "garbled (bytes after the entries)";
    *state = kind;
    return nullptr;
}

int writeJournal(const char* root, char state, const UnwrapPlan& plan) {
    char journal[WRP_DEST_PATH_CAP], fresh[WRP_DEST_PATH_CAP];
    if (!journalPaths(root, journal, fresh)) return SYS_ERROR_FILENAME_EXCED_RANGE;
    std::string bytes = journalBytes(state, plan);
    int err = sysWriteFileThrough(fresh, bytes.data(), bytes.size());
    if (err == SYS_OK) err = sysReplaceFileThrough(fresh, journal);
    if (err != SYS_OK) sysDeleteFile(fresh);
    return err;
}

JournalFound readJournal(const char* root, char* state, UnwrapPlan* plan, const char** why, int* error) {
    *why = nullptr;
    *error = SYS_OK;
    char journal[WRP_DEST_PATH_CAP], fresh[WRP_DEST_PATH_CAP];
    if (!journalPaths(root, journal, fresh)) return JournalFound::None;
    // A journal that was being written when the run stopped never took effect.
    if (isFile(fresh)) sysDeleteFile(fresh);
    int kind = sysPathKind(journal);
    if (kind == 0) return JournalFound::None;
    if (kind == 2) {
        *why = "a folder where the journal belongs";
        return JournalFound::Untrusted;
    }
    FILE* f = sysOpenFile(journal, "rb");
    if (!f) {
        *error = sysOpenFailure();
        return JournalFound::Unopenable;
    }
    int64_t size = sysSeekEnd(f) ? sysTell(f) : -1;
    std::string bytes;
    bool read = size >= 0 && sysSeekStart(f);
    if (read && static_cast<uint64_t>(size) > UNWRAP_JOURNAL_MAX) {
        fclose(f);
        *why = "garbled (too large)";
        return JournalFound::Untrusted;
    }
    if (read) {
        bytes.resize(static_cast<size_t>(size));
        read = size == 0 || fread(&bytes[0], 1, bytes.size(), f) == bytes.size();
    }
    fclose(f);
    if (!read) {
        *error = SYS_ERROR_ACCESS_DENIED;
        return JournalFound::Unopenable;
    }
    *why = parseJournal(bytes, root, state, plan);
    return *why ? JournalFound::Untrusted : JournalFound::Whole;
}

bool fileHasDigest(const char* path, uint64_t size, const uint8_t sha256[CRYPTO_DIGEST_BYTES]) {
    uint64_t actual = 0;
    if (!sysFileSize(path, &actual) || actual != size) return false;
    FILE* f = sysOpenFile(path, "rb");
    uint8_t digest[CRYPTO_DIGEST_BYTES];
    bool ok = f && hashStream(f, digest, &actual) && actual == size && memcmp(digest, sha256, sizeof digest) == 0;
    if (f) fclose(f);
    return ok;
}

unsigned discardLanding(const char* root, const UnwrapPlan& plan) {
    unsigned removed = 0;
    char path[WRP_UNPACK_PATH_CAP];
    for (const LandingFile& f : plan.files)
        if (joinPath(path, root, f.path, WRP_TEMP_SUFFIX) && sysDeleteFile(path) == SYS_OK) ++removed;
    // Deepest first; a folder that holds anything else stays.
    for (auto it = plan.folders.rbegin(); it != plan.folders.rend(); ++it)
        if (it->made() && joinPath(path, root, it->path)) sysRemoveFolder(path);
    removeJournal(root);
    return removed;
}

bool landReady(const char* root, UnwrapPlan& plan, RetryHeld retry, LandingStop* stop) {
    *stop = LandingStop();
    std::vector<SysFileHold*> holds;
    bool taken = takeTargets(root, plan, holds, retry, stop);
    int err = taken ? writeJournal(root, JOURNAL_MOVING, plan) : SYS_OK;
    if (!taken || err != SYS_OK) {
        releaseHolds(holds);
        if (err != SYS_OK) {
            stop->path = UNWRAP_JOURNAL_NAME;
            stop->error = err;
        }
        return false;
    }
    FilePaths p;
    for (size_t i = 0; i < plan.files.size(); ++i) {
        // The hold ends right before the file's own moves.
        sysReleaseHold(holds[i]);
        holds[i] = nullptr;
        const LandingFile& f = plan.files[i];
        err = p.make(root, f.path) ? moveInto(p, (f.flags & LAND_REPLACES) ? 1 : 0) : SYS_ERROR_FILENAME_EXCED_RANGE;
        if (err != SYS_OK) {
            stop->path = p.target;
            stop->error = err;
            stop->inUse = isHeldError(err);
            releaseHolds(holds);
            // Everything back as it was; the temporary files wait for the next try.
            LandingStop back;
            if (putBackAll(root, plan, &back) && writeJournal(root, JOURNAL_READY, plan) == SYS_OK) return false;
            logMessage("unwrapFolder ERROR - \"%s%s\" could not be put back - %d - the journal stays for the next "
                       "start",
                       root, back.path.c_str(), back.error);
            return false;
        }
        if (i % 100 == 99) uiPump();
    }
    // Every file in place; from here on the landing only tidies up.
    writeJournal(root, JOURNAL_LANDED, plan);
    removeBackups(root, plan, false);
    return true;
}

Recovery recoverUnwrap(const char* folder) {
    if (!folder) return Recovery::Nothing;
    char root[WRP_DEST_PATH_CAP], journal[WRP_DEST_PATH_CAP], fresh[WRP_DEST_PATH_CAP];
    if (!copyText(root, sizeof root, folder) || (!endsWithSeparator(root) && !appendText(root, sizeof root, "\\")) ||
        !journalPaths(root, journal, fresh))
        return Recovery::Nothing;
    char state = 0;
    UnwrapPlan plan;
    const char* why = nullptr;
    int error = SYS_OK;
    switch (readJournal(root, &state, &plan, &why, &error)) {
        case JournalFound::None: return Recovery::Nothing;
        case JournalFound::Unopenable:
            logMessage("unwrap journal \"%s\" ERROR - cannot be opened - %d - nothing moved", journal, error);
            return Recovery::Unopenable;
        case JournalFound::Untrusted:
            logMessage("unwrap journal \"%s\" ERROR - %s - nothing moved; the next installation or update of this "
                       "folder repairs it",
                       journal, why);
            return Recovery::Refused;
        case JournalFound::Whole: break;
    }
    if (state == JOURNAL_UNPACKING) {
        unsigned removed = discardLanding(root, plan);
        logMessage("unwrap journal \"%s\" - unfinished unpacking undone, %u temporary files removed", journal,
                   removed);
        return Recovery::Undone;
    }
    if (state == JOURNAL_READY) {
        logMessage("unwrap journal \"%s\" - a landing%s%s stopped before its moves waits, nothing replaced (%u "
                   "files ready)",
                   journal, plan.package.empty() ? "" : " of ", plan.package.c_str(),
                   static_cast<unsigned>(plan.files.size()));
        return Recovery::Ready;
    }
    if (state == JOURNAL_LANDED) {
        removeBackups(root, plan, true);
        logMessage("unwrap journal \"%s\" - unfinished update completed, 0 files moved into place (every file was "
                   "in place)",
                   journal);
        return Recovery::Finished;
    }
    // Moving: finished only when every file is proved, else put back whole.
    std::string bad;
    const char* badWhy = nullptr;
    LandingStop failed;
    if (provable(root, plan, &bad, &badWhy)) {
        unsigned moved = 0;
        if (moveRest(root, plan, &failed, &moved)) {
            writeJournal(root, JOURNAL_LANDED, plan);
            removeBackups(root, plan, true);
            logMessage("unwrap journal \"%s\" - unfinished update completed, %u files moved into place (every file "
                       "matches the journal)",
                       journal, moved);
            return Recovery::Finished;
        }
        // A file in the way now: back to the installed files, the new ones
        // kept for the next try.
        LandingStop back;
        if (putBackAll(root, plan, &back) && writeJournal(root, JOURNAL_READY, plan) == SYS_OK) {
            logMessage("unwrap journal \"%s\" - unfinished update put back, the installed files as they were: "
                       "\"%s\" could not be moved - %d; its files wait for the next try",
                       journal, failed.path.c_str(), failed.error);
            return Recovery::Ready;
        }
        logMessage("unwrap journal \"%s\" ERROR - unfinished update can be neither finished nor put back: \"%s%s\" "
                   "- %d - journal kept",
                   journal, root, back.path.c_str(), back.error);
        return Recovery::Stuck;
    }
    if (!putBackAll(root, plan, &failed)) {
        logMessage("unwrap journal \"%s\" ERROR - unfinished update can be neither finished (\"%s\" %s) nor put back "
                   "(\"%s%s\" - %d) - journal kept",
                   journal, bad.c_str(), badWhy, root, failed.path.c_str(), failed.error);
        return Recovery::Stuck;
    }
    unsigned removed = discardLanding(root, plan);
    logMessage("unwrap journal \"%s\" - unfinished update put back, the installed files as they were: \"%s\" %s "
               "(%u temporary files removed)",
               journal, bad.c_str(), badWhy, removed);
    return Recovery::PutBack;
}

unsigned removeLandingLeftovers(const char* folder) {
    if (!folder) return 0;
    unsigned removed = 0;
    std::string root = folder;
    if (!root.empty() && root.back() != '\\' && root.back() != '/') root += "\\";
    sysDeleteFile((root + UNWRAP_JOURNAL_NAME).c_str());
    sysDeleteFile((root + UNWRAP_JOURNAL_NEW_NAME).c_str());
    const size_t suffix = sizeof WRP_TEMP_SUFFIX - 1;
    std::vector<std::string> pending{root};
    while (!pending.empty()) {
        std::string dir = pending.back();
        pending.pop_back();
        SysFolderScan* scan = sysScanBegin(dir.c_str());
        if (!scan) continue;
        SysFolderEntry e;
        std::vector<std::string> found;  // deleted once the scan of their folder is over
        while (sysScanNext(scan, &e)) {
            if (strcmp(e.name, ".") == 0 || strcmp(e.name, "..") == 0 || e.isLink) continue;
            std::string path = dir + e.name;
            if (path.size() + 1 >= WRP_UNPACK_PATH_CAP) continue;
            size_t n = strlen(e.name);
            if (e.isFolder) {
                pending.push_back(path + "\\");
            } else if (n > suffix && (sysCompareNames(e.name + n - suffix, suffix, WRP_TEMP_SUFFIX, suffix) == 0 ||
                                      sysCompareNames(e.name + n - suffix, suffix, WRP_BACKUP_SUFFIX, suffix) == 0)) {
                found.push_back(std::move(path));
            }
        }
        sysScanEnd(scan);
        for (const std::string& f : found) {
            // A backup whose file is gone was cut off between its two moves:
            // it goes back, so that nothing installed is lost.
            std::string target = f.substr(0, f.size() - suffix);
            bool backup = sysCompareNames(f.data() + target.size(), suffix, WRP_BACKUP_SUFFIX, suffix) == 0;
            if (backup && sysPathKind(target.c_str()) == 0) sysRenamePath(f.c_str(), target.c_str());
            else removed += sysDeleteFile(f.c_str()) == SYS_OK;
        }
    }
    sysFlushFolder(root.c_str());
    return removed;
}
