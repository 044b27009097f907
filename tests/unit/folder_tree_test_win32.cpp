// Hidden entries (a Windows attribute) never enter the folder tree, so a
// folder delete leaves them and the folder that holds them.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "archive/folder_tree.h"
#include "base/textbuf.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"

TEST(FolderTreeWin32, HiddenEntriesStayOutOfTheTreeAndSurviveADelete) {
    resetAppState();
    ScratchDir dir("fth");
    std::string share = dir / "share";
    makeFolders(share + "/A/hiddenDir");
    writeFile(share + "/A/secret", "s");
    writeFile(share + "/A/plain", "p");
    ASSERT_TRUE(SetFileAttributesA((share + "/A/secret").c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesA((share + "/A/hiddenDir").c_str(), FILE_ATTRIBUTE_HIDDEN));
    copyText(shareRoot, sizeof shareRoot, share.c_str());
    rebuildFolderTree();
    FolderNode* a = findFolderNode("A/");
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->childCount, 1);
    EXPECT_STREQ(a->children[0]->name, "plain");
    deleteFolderTree(a);
    EXPECT_FALSE(fileExists(share + "/A/plain"));
    EXPECT_TRUE(fileExists(share + "/A/secret"));
    EXPECT_TRUE(folderExists(share + "/A/hiddenDir"));
    SetFileAttributesA((share + "/A/secret").c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesA((share + "/A/hiddenDir").c_str(), FILE_ATTRIBUTE_NORMAL);
    freeFolderTree(&rootNode);
    shareRoot[0] = '\0';
}
