#include "archive/temp_names.h"

#include "archive/wrp_format.h"
#include "platform/sys.h"

namespace {

const size_t SUFFIX_LENGTH = sizeof WRP_TEMP_SUFFIX - 1;

bool endsWithSuffix(const std::string& key) {
    return key.size() > SUFFIX_LENGTH &&
           sysCompareNames(key.data() + key.size() - SUFFIX_LENGTH, SUFFIX_LENGTH, WRP_TEMP_SUFFIX, SUFFIX_LENGTH) == 0;
}

}  // namespace

bool TempNameClash::note(const char* path, size_t n, bool isFolder) {
    std::string key(path, n);
    while (!key.empty() && (key.back() == '/' || key.back() == '\\')) key.pop_back();
    bool clash = !isFolder && tempLike_.count(key + WRP_TEMP_SUFFIX) > 0;
    bool tempLike = endsWithSuffix(key);
    if (bothOrders_ && tempLike && files_.count(key.substr(0, key.size() - SUFFIX_LENGTH))) clash = true;
    if (tempLike) tempLike_.insert(key);
    if (bothOrders_ && !isFolder) files_.insert(key);
    return clash;
}
