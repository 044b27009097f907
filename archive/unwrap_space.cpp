#include "archive/unwrap_space.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "archive/temp_names.h"
#include "archive/unwrap_journal.h"
#include "archive/wrp_cursor.h"
#include "platform/file_names.h"
#include "platform/sys.h"

namespace {

const uint64_t ABSENT = UINT64_MAX;

class Volume {
public:
    explicit Volume(uint32_t unit) : unit_(unit ? unit : 1) {}

    // Size of a file as this run left it so far, else as the disk holds it.
    uint64_t fileSize(const std::string& path) {
        auto it = sizes_.find(path);
        if (it != sizes_.end()) return it->second;
        uint64_t size;
        return sysFileSize(path.c_str(), &size) ? size : ABSENT;
    }

    // A folder record where an entry of that name exists, file or folder,
    // on the disk or written by this run, creates nothing.
    bool folder(const std::string& path) {
        entry_.assign(path, 0, path.find_last_not_of("/\\") + 1);
        if (folders_.count(path) || fileSize(entry_) != ABSENT || sysPathKind(entry_.c_str()) != 0) return false;
        folders_.insert(path);
        add(unit_);
        return true;
    }
    // One file record: its temporary file is truncated and written; the
    // target it replaces keeps its room until the moves.  True when the
    // run meets this file for the first time.
    bool file(const std::string& target, uint32_t size) {
        std::string temp = target + WRP_TEMP_SUFFIX;
        release(fileSize(temp));
        add(units(size));
        return sizes_.insert_or_assign(std::move(temp), size).second;
    }
    // The journal: present through the whole first phase, and twice while
    // its moving state replaces it.
    void journal(uint64_t size) {
        int64_t j = static_cast<int64_t>(units(size));
        int64_t end = used_ + 2 * j;
        peak_ = std::max(peak_ + j, end);
    }
    uint64_t peak() const { return peak_ > 0 ? static_cast<uint64_t>(peak_) : 0; }

private:
    uint64_t units(uint64_t size) const { return (size + unit_ - 1) / unit_ * unit_; }
    void add(uint64_t bytes) {
        used_ += static_cast<int64_t>(bytes);
        if (used_ > peak_) peak_ = used_;
    }
    void release(uint64_t size) {
        if (size != ABSENT) used_ -= static_cast<int64_t>(units(size));
    }

    uint64_t unit_;
    int64_t used_ = 0, peak_ = 0;
    std::map<std::string, uint64_t, FileNameLess> sizes_;
    std::set<std::string, FileNameLess> folders_;
    std::string entry_;  // kept for its memory: one per folder record otherwise
};

}  // namespace

uint64_t unpackingPeak(FILE* archive, int64_t length, const char* root, uint32_t unit, UnwrapPlan* plan) {
    Volume volume(unit);
    UnwrapPlan walked;
    std::set<std::string, FileNameLess> namedFolders;
    TempNameClash clash(true);
    const size_t rootLength = strlen(root);
    // The path of the record, built as the unpacker builds it: the folder
    // of each open listing is the start of it, up to the length kept here.
    std::string path = root;
    std::vector<size_t> folders{rootLength};
    volume.folder(path);
    WrpCursor cursor = WrpCursor::headerWalk(archive, sysTell(archive));
    WrpRecord r;
    while (!cursor.finished() && cursor.next(r) == WrpStep::Record) {
        if (r.kind == WrpRecordKind::End) {
            folders.pop_back();  // the last one ends the walk (finished)
            continue;
        }
        if (r.kind == WrpRecordKind::Skip) continue;
        path.resize(folders.back());
        path.append(r.name, r.nameLength);
        if (r.kind == WrpRecordKind::Folder) path += "/";
        // The unpacker stops at a name it refuses or a path beyond its
        // limits; a file whose temporary name alone is too long fails
        // without stopping it when it has no content to consume.
        if (fileNameProblem(r.name, r.nameLength) || isJournalName(r.name, r.nameLength) ||
            path.size() >= WRP_UNPACK_PATH_CAP)
            break;
        bool isFolder = r.kind == WrpRecordKind::Folder;
        if (clash.note(path.c_str(), path.size(), isFolder)) break;
        std::string_view relative = std::string_view(path).substr(rootLength);
        if (isFolder) {
            folders.push_back(path.size());
            bool made = volume.folder(path);
            std::string_view folder = relative.substr(0, relative.size() - 1);
            // Every folder the package names goes on the plan once, marked
            // when this run makes it.
            if (namedFolders.emplace(folder).second)
                walked.folders.push_back({std::string(folder), static_cast<uint8_t>(made ? LAND_FOLDER_MADE : 0)});
        } else if (path.size() + sizeof WRP_TEMP_SUFFIX - 1 >= WRP_UNPACK_PATH_CAP) {
            if (r.size > 0) break;
        } else {
            // A file listed twice is planned once (its paths share the root).
            if (volume.file(path, r.size)) {
                walked.files.emplace_back();
                walked.files.back().path.assign(relative);
            }
            if (!cursor.skipContent(r.size, length)) break;
        }
    }
    volume.journal(journalSize(walked));
    if (plan) *plan = std::move(walked);
    return volume.peak();
}
