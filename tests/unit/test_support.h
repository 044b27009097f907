// Scratch folders and file helpers for the unit tests (both builds).
#pragma once

#include <string>
#include <vector>

// A fresh empty folder under the system's temp area, removed with its
// contents when the object goes away.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& tag = "t");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);  // empty when missing
bool fileExists(const std::string& path);
bool folderExists(const std::string& path);
void makeFolders(const std::string& path);      // with all parents
void removeTree(const std::string& path);
// Sorted listing of everything under root: "d name/" for folders,
// "f name size" for files, paths relative with "/".
std::vector<std::string> listTree(const std::string& root);
