// The per-user registry of the native build and the in-memory system: a map
// of this process, so that the code that registers the product and removes
// its entry runs in the native tests.  Key and value names are compared
// without letter case, as the system's registry compares them.
#include <map>
#include <string>

#include "base/textbuf.h"
#include "platform/sys.h"

namespace {

std::string folded(const char* s) {
    std::string r = s ? s : "";
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return r;
}

struct Value {
    bool isText;
    std::string text;
    uint32_t number;
};
std::map<std::string, std::map<std::string, Value>> keys;

const Value* find(const char* key, const char* name) {
    auto k = keys.find(folded(key));
    if (k == keys.end()) return nullptr;
    auto v = k->second.find(folded(name));
    return v == k->second.end() ? nullptr : &v->second;
}

}  // namespace

int sysRegSetText(const char* key, const char* name, const char* value) {
    keys[folded(key)][folded(name)] = {true, value ? value : "", 0};
    return SYS_OK;
}

int sysRegSetNumber(const char* key, const char* name, uint32_t value) {
    keys[folded(key)][folded(name)] = {false, "", value};
    return SYS_OK;
}

bool sysRegGetText(const char* key, const char* name, char* buf, size_t cap) {
    const Value* v = find(key, name);
    if (!buf || cap == 0) return false;
    if (!v || !v->isText || !copyText(buf, cap, v->text.c_str())) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

bool sysRegGetNumber(const char* key, const char* name, uint32_t* value) {
    const Value* v = find(key, name);
    if (!v || v->isText || !value) return false;
    *value = v->number;
    return true;
}

int sysRegDeleteKey(const char* key) {
    keys.erase(folded(key));
    return SYS_OK;
}
