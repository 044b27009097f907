// Claiming an installation folder: a claim is met by every other way of
// writing the same folder's path, and by no other folder.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sys.h"
#include "tests/unit/test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// "granted", "busy" or "refused" (another error).
std::string tryClaim(const std::string& path) {
    SysFolderClaim* claim = nullptr;
    int err = sysClaimFolder(path.c_str(), &claim);
    sysReleaseFolder(claim);
    return err == SYS_OK ? "granted" : err == SYS_ERROR_BUSY ? "busy" : "refused";
}

TEST(FolderClaim, EverySpellingOfTheClaimedFolderIsTurnedAway) {
    ScratchDir box("claim");
    makeFolders(box / "KAVO Installation/sub");
    makeFolders(box / "other");
    writeFile(box / "file.txt", "x");
    SysFolderClaim* held = nullptr;
    ASSERT_EQ(sysClaimFolder((box / "KAVO Installation").c_str(), &held), SYS_OK);

    struct Row {
        std::string path;
        const char* want;
    };
    std::vector<Row> rows = {
        {box / "KAVO Installation", "busy"},
        {box / "KAVO Installation/", "busy"},
        {box.path() + "\\KAVO Installation\\", "busy"},
        {box / "KAVO Installation/sub/..", "busy"},
        {box / "other/../KAVO Installation", "busy"},
        {box / "KAVO Installation/sub", "granted"},   // a folder inside is another folder
        {box / "other", "granted"},
        {box / "missing", "refused"},
        {box / "file.txt", "refused"},
    };
#ifdef _WIN32
    std::string upper = box / "KAVO INSTALLATION";
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    rows.push_back({upper, "busy"});
    char shortName[MAX_PATH] = "";
    ASSERT_NE(GetShortPathNameA((box / "KAVO Installation").c_str(), shortName, MAX_PATH), 0u);
    rows.push_back({shortName, "busy"});
#endif
    for (const Row& row : rows) EXPECT_EQ(tryClaim(row.path), row.want) << row.path;

    sysReleaseFolder(held);
    EXPECT_EQ(tryClaim(box / "KAVO Installation/sub/../"), "granted") << "a released claim is free again";
}

#ifdef _WIN32
// The download and the temporary files of the unpacker: others may read
// them while they are written, never write, cut, rename or delete them.
TEST(FolderClaim, FilesOpenedWithoutWritersKeepOthersOut) {
    ScratchDir box("nowriters");
    std::string path = box / "KAVO.wrp";
    FILE* mine = sysOpenFileNoWriters(path.c_str(), "wb");
    ASSERT_NE(mine, nullptr);
    EXPECT_GE(fputs("content", mine), 0);
    for (const char* mode : {"wb", "ab", "r+b"}) {
        FILE* other = fopen(path.c_str(), mode);
        EXPECT_EQ(other, nullptr) << mode;
        if (other) fclose(other);
    }
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_FALSE(MoveFileA(path.c_str(), (box / "moved").c_str()));
    FILE* reader = fopen(path.c_str(), "rb");
    EXPECT_NE(reader, nullptr);
    if (reader) fclose(reader);
    fclose(mine);
    EXPECT_EQ(readFile(path), "content");
}
#endif

}  // namespace
