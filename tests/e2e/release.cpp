#include "tests/e2e/release.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "tests/e2e/harness.h"

namespace {

void mkdirs(const std::string& path) {
    std::string cmd = "mkdir -p '" + path + "'";
    if (system(cmd.c_str()) != 0) abort();
}

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

std::string hashOf(const std::string& data) {
    unsigned long long h = 1469598103934665603ull;
    for (unsigned char c : data) h = (h ^ c) * 1099511628211ull;
    return std::to_string(h);
}

}  // namespace

void makeSampleRelease(const std::string& dir) {
    for (const char* sub : {"KAVO_data", "OSKE/data", "VELN/BIN/plugins", "VELN/DOC", "UBRA/sub", "empty", ".svn"})
        mkdirs(dir + "/" + sub);
    writeText(dir + "/KAVO.exe", pattern(30000, 1));
    writeText(dir + "/readme first.txt", "KAVO sample release\r\n");
    writeText(dir + "/zero.bin", "");
    writeText(dir + "/.gitignore", "*.tmp\n");
    writeText(dir + "/.svn/entries", "x");
    std::string stub = readText(buildUnderTest().bin + "/tools/product/KAVO_interface.exe");
    writeText(dir + "/KAVO_data/KAVO_interface.exe", stub);
    // No version file in the release: the installation fetches it from the
    // server and the update swaps in update_new.ini.
    writeText(dir + "/KAVO_data/lang.txt", pattern(2500, 2));
    writeText(dir + "/OSKE/oske.dll", pattern(100000, 3));
    writeText(dir + "/OSKE/data/table.dat", pattern(4096, 4));
    writeText(dir + "/VELN/veln.dll", pattern(1000, 5));
    writeText(dir + "/VELN/BIN/veln.exe", pattern(64000, 6));
    writeText(dir + "/VELN/BIN/plugins/p1.dll", pattern(999, 7));
    writeText(dir + "/VELN/DOC/manual.txt", pattern(12000, 8));
    writeText(dir + "/UBRA/UBRA.exe", pattern(5000, 9));
    writeText(dir + "/UBRA/readme.txt", "ubra\n");
    writeText(dir + "/UBRA/sub/UBRA.exe", pattern(777, 10));
    writeText(dir + "/UBRA/sub/other.dll", pattern(1001, 11));
}

bool packRelease(const std::string& release, const std::string& serverRoot, const std::string& wrpFolder) {
    mkdirs(serverRoot + "/" + wrpFolder);
    std::string tool = std::string(KAVO_NATIVE_BIN) + "/tools/wrptool/wrptool";
    const char* packages[][2] = {{"KAVO", "ALL"},         {"OSKE_EXE", "OSKE_EXE"}, {"OSKE_ALL", "OSKE_ALL"},
                                 {"VELN_EXE", "VELN_EXE"}, {"VELN_ALL", "VELN_ALL"}, {"UBRA_EXE", "UBRA_EXE"},
                                 {"UBRA_ALL", "UBRA_ALL"}, {"KAVO_EXE", "KAVO_EXE"}};
    for (auto& p : packages) {
        std::string cmd = "'" + tool + "' pack '" + release + "' '" + serverRoot + "/" + wrpFolder + "/" + p[0] +
                          ".wrp' " + p[1] + " >/dev/null 2>&1";
        if (system(cmd.c_str()) != 0) return false;
    }
    return true;
}

bool signRelease(const std::string& serverRoot, unsigned long long number) {
    std::string cmd = "'" + std::string(KAVO_NATIVE_BIN) + "/tools/wrptool/wrptool' release '" +
                      std::string(KAVO_TEST_KEY_DIR) + "/private.key' '" + serverRoot + "' --number " +
                      std::to_string(number) + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

std::vector<std::string> treeListing(const std::string& root, const std::vector<std::string>& leaveOut) {
    std::vector<std::string> out;
    std::function<void(const std::string&)> walk = [&](const std::string& rel) {
        DIR* d = opendir((root + (rel.empty() ? "" : "/" + rel)).c_str());
        if (!d) return;
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name[0] == '.') continue;
            std::string r = rel.empty() ? name : rel + "/" + name;
            if (std::find(leaveOut.begin(), leaveOut.end(), r) != leaveOut.end()) continue;
            struct stat st;
            std::string full = root + "/" + r;
            stat(full.c_str(), &st);
            if (S_ISDIR(st.st_mode)) {
                out.push_back("d " + r + "/");
                walk(r);
            } else {
                std::string data = readText(full);
                out.push_back("f " + r + " " + std::to_string(data.size()) + " " + hashOf(data));
            }
        }
        closedir(d);
    };
    walk("");
    std::sort(out.begin(), out.end());
    return out;
}
