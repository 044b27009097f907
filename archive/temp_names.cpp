#include "archive/temp_names.h"

#include "archive/wrp_format.h"
#include "platform/sys.h"

namespace {

const size_t SUFFIX_LENGTH = sizeof WRP_TEMP_SUFFIX - 1;
static_assert(sizeof WRP_BACKUP_SUFFIX - 1 == SUFFIX_LENGTH, "one length for both suffixes");

bool endsWith(std::string_view key, const char* suffix) {
    return key.size() > SUFFIX_LENGTH &&
           sysCompareNames(key.data() + key.size() - SUFFIX_LENGTH, SUFFIX_LENGTH, suffix, SUFFIX_LENGTH) == 0;
}

bool endsWithSuffix(std::string_view key) { return endsWith(key, WRP_TEMP_SUFFIX) || endsWith(key, WRP_BACKUP_SUFFIX); }

}  // namespace

bool TempNameClash::note(const char* path, size_t n, bool isFolder) {
    while (n > 0 && (path[n - 1] == '/' || path[n - 1] == '\\')) --n;
    std::string_view key(path, n);
    // Most packages hold no name with either suffix: nothing to look up then.
    bool clash = false;
    if (!isFolder && !tempLike_.empty()) {
        for (const char* suffix : {WRP_TEMP_SUFFIX, WRP_BACKUP_SUFFIX}) {
            temp_.assign(key).append(suffix);
            clash = clash || tempLike_.count(temp_) > 0;
        }
    }
    bool tempLike = endsWithSuffix(key);
    if (bothOrders_ && tempLike && files_.count(key.substr(0, key.size() - SUFFIX_LENGTH))) clash = true;
    if (tempLike) tempLike_.emplace(key);
    if (bothOrders_ && !isFolder) files_.emplace(key);
    return clash;
}
