// Helpers shared by the archive tests: building archives byte by byte and
// reading an archive back as a list of records.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/unwrap.h"
#include "archive/wrap.h"
#include "archive/wrp_format.h"
#include "tools/wrptool/wrp_list.h"
#include "platform/sys.h"
#include "tests/unit/test_support.h"

namespace archive_test {

inline std::string u32le(uint32_t v) {
    uint8_t b[4];
    wrpPutU32(b, v);
    return std::string(reinterpret_cast<char*>(b), 4);
}

// Archive bytes in the order written: Arc().dir("D").file("b", "").end().end().
struct Arc {
    std::string bytes;
    Arc& dir(const std::string& name) {
        bytes += static_cast<char>(REC_DIR);
        bytes += static_cast<char>(name.size());
        bytes += name;
        return *this;
    }
    Arc& file(const std::string& name, const std::string& content) {
        return fileSized(name, static_cast<uint32_t>(content.size()), content);
    }
    Arc& fileSized(const std::string& name, uint32_t size, const std::string& content) {
        bytes += static_cast<char>(REC_FILE);
        bytes += static_cast<char>(name.size());
        bytes += name;
        bytes += u32le(size);
        bytes += content;
        return *this;
    }
    Arc& end() {
        bytes += static_cast<char>(REC_END);
        return *this;
    }
    Arc& raw(const std::string& b) {
        bytes += b;
        return *this;
    }
};

// Sorted records of an archive: "d path/" and "f path size"; a malformed
// archive adds "! problem".
inline std::vector<std::string> records(const std::string& archivePath) {
    std::vector<std::string> out;
    FILE* f = sysOpenFile(archivePath.c_str(), "rb");
    if (!f) return {"! cannot open"};
    WrpListOutcome outcome;
    listArchive(
        f,
        [](const WrpRecordInfo& r, void* ctx) {
            auto* v = static_cast<std::vector<std::string>*>(ctx);
            if (r.kind == 'd') v->push_back(std::string("d ") + r.path);
            if (r.kind == 'f') v->push_back(std::string("f ") + r.path + " " + std::to_string(r.size));
        },
        &out, &outcome);
    fclose(f);
    if (!outcome.wellFormed) out.push_back(std::string("! ") + outcome.problem);
    std::sort(out.begin(), out.end());
    return out;
}

// Everything under root that is not below `skip` (a direct child), with
// file contents, to prove that nothing outside a destination changed.
inline std::vector<std::string> snapshotExcept(const std::string& root, const std::string& skip) {
    std::vector<std::string> out;
    for (const std::string& e : listTree(root)) {
        std::string rel = e.substr(2);
        if (rel.compare(0, skip.size() + 1, skip + "/") == 0 || rel == skip) continue;
        if (e[0] == 'f') {
            std::string path = rel.substr(0, rel.rfind(' '));
            out.push_back(e + " " + readFile(root + "/" + path));
        } else {
            out.push_back(e);
        }
    }
    return out;
}

inline bool logHas(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

inline bool logHasPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const auto& l : lines)
        if (l.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

}  // namespace archive_test
