#include "archive/temp_names.h"

#include "archive/wrp_format.h"
#include "platform/sys.h"

namespace {

const size_t SUFFIX_LENGTH = sizeof WRP_TEMP_SUFFIX - 1;

bool endsWithSuffix(std::string_view key) {
    return key.size() > SUFFIX_LENGTH &&
           sysCompareNames(key.data() + key.size() - SUFFIX_LENGTH, SUFFIX_LENGTH, WRP_TEMP_SUFFIX, SUFFIX_LENGTH) == 0;
}

}  // namespace

bool TempNameClash::note(const char* path, size_t n, bool isFolder) {
    while (n > 0 && (path[n - 1] == '/' || path[n - 1] == '\\')) --n;
    std::string_view key(path, n);
    // Most packages hold no name with the suffix: nothing to look up then.
    bool clash = false;
    if (!isFolder && !tempLike_.empty()) {
        temp_.assign(key).append(WRP_TEMP_SUFFIX);
        clash = tempLike_.count(temp_) > 0;
    }
    bool tempLike = endsWithSuffix(key);
    if (bothOrders_ && tempLike && files_.count(key.substr(0, key.size() - SUFFIX_LENGTH))) clash = true;
    if (tempLike) tempLike_.emplace(key);
    if (bothOrders_ && !isFolder) files_.emplace(key);
    return clash;
}
