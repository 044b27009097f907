// A small sample release for the end-to-end tests: the tree, its packages
// made with the maker's tool, and the server's file area.
#pragma once

#include <string>
#include <vector>

// Writes the sample release tree into `dir` (created): files directly in it,
// KAVO_data with the stub product and a version file, OSKE, VELN with BIN
// and DOC, UBRA with a sub folder, an empty folder, a zero-length file, and
// entries whose name begins with "." that no package carries.
void makeSampleRelease(const std::string& dir);

// Packs `release` with every package mode into `serverRoot` + "/" + wrpFolder
// ("wrp" or "wrp_TEST"); true when all eight packages were made.
bool packRelease(const std::string& release, const std::string& serverRoot, const std::string& wrpFolder = "wrp");

// Signs the packages of `serverRoot` + "/wrp" with the tests' throwaway key
// and writes the release file numbered `number` beside them (wrptool release).
bool signRelease(const std::string& serverRoot, unsigned long long number);

// Sorted listing of a tree ("d a/" and "f a/b 12 <hash>"), leaving out names
// that begin with "." and anything the filter names (relative paths).
std::vector<std::string> treeListing(const std::string& root, const std::vector<std::string>& leaveOut = {});
