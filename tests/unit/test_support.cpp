#include "tests/unit/test_support.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "platform/sys.h"

namespace {
std::string tempBase() {
#if defined(_WIN32)
    const char* t = getenv("TEMP");
    std::string base = t ? t : ".";
#else
    const char* t = getenv("TMPDIR");
    std::string base = t ? t : "/tmp";
#endif
    for (char& c : base)
        if (c == '\\') c = '/';
    return base;
}
std::atomic<int> counter{0};
}  // namespace

ScratchDir::ScratchDir(const std::string& tag) {
    for (;;) {
        path_ = tempBase() + "/kavo_" + tag + "_" + std::to_string(static_cast<long>(nowSeconds() * 1000) % 100000000) +
                "_" + std::to_string(counter++);
        if (sysCreateFolder(path_.c_str()) == SYS_OK) break;
    }
}

ScratchDir::~ScratchDir() { removeTree(path_); }

void writeFile(const std::string& path, const std::string& content) {
    FILE* f = sysOpenFile(path.c_str(), "wb");
    if (!f) return;
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

std::string readFile(const std::string& path) {
    FILE* f = sysOpenFile(path.c_str(), "rb");
    if (!f) return std::string();
    std::string out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

bool fileExists(const std::string& path) { return sysPathKind(path.c_str()) == 1; }
bool folderExists(const std::string& path) { return sysPathKind(path.c_str()) == 2; }

void makeFolders(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/' || path[i] == '\\') {
            std::string part = path.substr(0, i);
            if (!part.empty() && part.back() != ':') sysCreateFolder(part.c_str());
        }
    }
}

void removeTree(const std::string& path) {
    if (sysPathKind(path.c_str()) == 1) {
        sysDeleteFile(path.c_str());
        return;
    }
    SysFolderScan* scan = sysScanBegin(path.c_str());
    if (scan) {
        SysFolderEntry e;
        while (sysScanNext(scan, &e)) {
            std::string name = e.name;
            if (name == "." || name == "..") continue;
            std::string full = path + "/" + name;
            if (e.isFolder) removeTree(full);
            else sysDeleteFile(full.c_str());
        }
        sysScanEnd(scan);
    }
    sysRemoveFolder(path.c_str());
}

std::vector<std::string> listTree(const std::string& root) {
    std::vector<std::string> out;
    std::function<void(const std::string&, const std::string&)> walk =
        [&](const std::string& dir, const std::string& rel) {
            SysFolderScan* scan = sysScanBegin(dir.c_str());
            if (!scan) return;
            SysFolderEntry e;
            while (sysScanNext(scan, &e)) {
                std::string name = e.name;
                if (name == "." || name == "..") continue;
                std::string r = rel.empty() ? name : rel + "/" + name;
                if (e.isFolder) {
                    out.push_back("d " + r + "/");
                    walk(dir + "/" + name, r);
                } else {
                    out.push_back("f " + r + " " + std::to_string(e.size));
                }
            }
            sysScanEnd(scan);
        };
    walk(root, "");
    std::sort(out.begin(), out.end());
    return out;
}
