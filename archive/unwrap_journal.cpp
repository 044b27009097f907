#include "archive/unwrap_journal.h"

#include <cstring>
#include <set>

#include "app/eventlog.h"
#include "archive/wrp_format.h"
#include "base/textbuf.h"
#include "platform/file_names.h"
#include "platform/sys.h"

namespace {

const char MAGIC[8] = {'K', 'A', 'V', 'O', 'J', 'R', 'N', 'L'};
const char END_MARK[4] = {'E', 'N', 'D', '.'};
const uint8_t VERSION = 1;
const size_t HEAD_BYTES = sizeof MAGIC + 1 + 1 + 4;
const size_t TAIL_BYTES = sizeof END_MARK + 4;
const size_t ENTRY_HEAD_BYTES = 1 + 2;

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
    // Files with their temporary suffix, folders with their separator.
    size_t extra = isFile ? sizeof WRP_TEMP_SUFFIX - 1 : 1;
    if (strlen(root) + path.size() + extra >= WRP_UNPACK_PATH_CAP) return "path too long";
    return nullptr;
}

bool joinPath(char* out, const char* root, const std::string& rel, const char* suffix = "") {
    return copyText(out, WRP_UNPACK_PATH_CAP, root) && appendText(out, WRP_UNPACK_PATH_CAP, rel.c_str()) &&
           appendText(out, WRP_UNPACK_PATH_CAP, suffix);
}

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

// Reads the journal file, at most UNWRAP_JOURNAL_MAX bytes; false when none.
bool readJournalFile(const char* path, std::string* bytes, bool* tooLarge) {
    *tooLarge = false;
    FILE* f = sysOpenFile(path, "rb");
    if (!f) return false;
    int64_t size = sysSeekEnd(f) ? sysTell(f) : -1;
    bool ok = size >= 0 && sysSeekStart(f);
    if (ok && static_cast<uint64_t>(size) > UNWRAP_JOURNAL_MAX) {
        *tooLarge = true;
    } else if (ok) {
        bytes->resize(static_cast<size_t>(size));
        ok = size == 0 || fread(&(*bytes)[0], 1, bytes->size(), f) == bytes->size();
    }
    fclose(f);
    return ok;
}

}  // namespace

bool isJournalName(const char* name, size_t n) {
    for (const char* own : {UNWRAP_JOURNAL_NAME, UNWRAP_JOURNAL_NEW_NAME})
        if (sysCompareNames(name, n, own, strlen(own)) == 0) return true;
    return false;
}

uint64_t journalSize(const UnwrapPlan& plan) {
    uint64_t n = HEAD_BYTES + TAIL_BYTES;
    for (const std::string& p : plan.files) n += ENTRY_HEAD_BYTES + p.size();
    for (const std::string& p : plan.newFolders) n += ENTRY_HEAD_BYTES + p.size();
    return n;
}

std::string journalBytes(char state, const UnwrapPlan& plan) {
    std::string out;
    out.reserve(static_cast<size_t>(journalSize(plan)));
    out.append(MAGIC, sizeof MAGIC);
    out += static_cast<char>(VERSION);
    out += state;
    putU32(out, static_cast<uint32_t>(plan.files.size() + plan.newFolders.size()));
    auto entry = [&](char kind, const std::string& path) {
        out += kind;
        out += static_cast<char>(path.size() & 0xFF);
        out += static_cast<char>(path.size() >> 8);
        out += path;
    };
    for (const std::string& p : plan.newFolders) entry('D', p);
    for (const std::string& p : plan.files) entry('F', p);
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
    uint8_t version, count[4];
    char kind;
    if (!c.take(magic, sizeof magic) || !c.take(&version, 1) || !c.take(&kind, 1) || !c.take(count, 4))
        return "cut short";
    if (version != VERSION) return "garbled (unknown version)";
    if (kind != JOURNAL_UNPACKING && kind != JOURNAL_MOVING) return "garbled (unknown state)";
    uint32_t entries = wrpGetU32(count);
    for (uint32_t i = 0; i < entries; ++i) {
        char type;
        uint8_t length[2];
        std::string path;
        if (!c.take(&type, 1) || !c.take(length, 2) || !c.text(path, length[0] | (length[1] << 8)))
            return "garbled (entries beyond the end)";
        if (type != 'F' && type != 'D') return "garbled (unknown entry)";
        if (const char* why = pathProblem(path, root, type == 'F')) return why;
        (type == 'F' ? plan->files : plan->newFolders).push_back(path);
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

unsigned undoUnpacking(const char* root, const UnwrapPlan& plan) {
    unsigned removed = 0;
    char path[WRP_UNPACK_PATH_CAP];
    for (const std::string& f : plan.files)
        if (joinPath(path, root, f, WRP_TEMP_SUFFIX) && sysDeleteFile(path) == SYS_OK) ++removed;
    // Deepest first; a folder that holds anything else stays.
    for (auto it = plan.newFolders.rbegin(); it != plan.newFolders.rend(); ++it)
        if (joinPath(path, root, *it)) sysRemoveFolder(path);
    removeJournal(root);
    return removed;
}

unsigned finishMoves(const char* root, const UnwrapPlan& plan, unsigned* failed) {
    unsigned moved = 0;
    *failed = 0;
    char temp[WRP_UNPACK_PATH_CAP], target[WRP_UNPACK_PATH_CAP];
    for (size_t i = 0; i < plan.files.size(); ++i) {
        const std::string& f = plan.files[i];
        if (!joinPath(temp, root, f, WRP_TEMP_SUFFIX) || !joinPath(target, root, f)) {
            ++*failed;
            continue;
        }
        // Moved already by the run that was cut off.
        if (sysPathKind(temp) != 1) continue;
        if (sysReplaceFileThrough(temp, target) == SYS_OK) {
            ++moved;
        } else {
            logMessage("cpyFileContent_unwrap ERROR - rename failed \"%s\" -> \"%s\"", temp, target);
            ++*failed;
        }
        // Thousands of moves take a while: the window stays alive.
        if (i % 100 == 99) uiPump();
    }
    if (*failed == 0) removeJournal(root);
    return moved;
}

Recovery recoverUnwrap(const char* folder) {
    if (!folder) return Recovery::Nothing;
    char root[WRP_DEST_PATH_CAP], journal[WRP_DEST_PATH_CAP], fresh[WRP_DEST_PATH_CAP];
    if (!copyText(root, sizeof root, folder) || (!endsWithSeparator(root) && !appendText(root, sizeof root, "\\")) ||
        !journalPaths(root, journal, fresh))
        return Recovery::Nothing;
    std::string bytes;
    bool tooLarge = false;
    if (!readJournalFile(journal, &bytes, &tooLarge)) {
        // A journal that was being written when the run stopped never took effect.
        if (sysPathKind(fresh) == 1) sysDeleteFile(fresh);
        return Recovery::Nothing;
    }
    char state = 0;
    UnwrapPlan plan;
    const char* why = tooLarge ? "garbled (too large)" : parseJournal(bytes, root, &state, &plan);
    if (why) {
        logMessage("unwrap journal \"%s\" ERROR - %s - nothing moved", journal, why);
        return Recovery::Refused;
    }
    if (state == JOURNAL_UNPACKING) {
        unsigned removed = undoUnpacking(root, plan);
        logMessage("unwrap journal \"%s\" - unfinished unpacking undone, %u temporary files removed", journal,
                   removed);
        return Recovery::Undone;
    }
    unsigned failed = 0;
    unsigned moved = finishMoves(root, plan, &failed);
    if (failed) {
        logMessage("unwrap journal \"%s\" ERROR - %u of %u files could not be moved into place - journal kept",
                   journal, failed, static_cast<unsigned>(plan.files.size()));
        return Recovery::MovesFailed;
    }
    logMessage("unwrap journal \"%s\" - unfinished update completed, %u files moved into place", journal, moved);
    return Recovery::Finished;
}
