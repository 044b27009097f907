// Linked folders inside the shared folder are never followed (POSIX links).
#include <gtest/gtest.h>

#include <unistd.h>

#include "archive/folder_tree.h"
#include "base/textbuf.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"

namespace {

TEST(FolderTreeLinks, DeleteNeverReachesThroughALink) {
    resetAppState();
    ScratchDir base("links");
    makeFolders(base / "share/own");
    writeFile(base / "share/own/a.txt", "a");
    makeFolders(base / "outside");
    writeFile(base / "outside/precious.txt", "keep me");
    ASSERT_EQ(symlink((base / "outside").c_str(), (base / "share/link").c_str()), 0);
    ASSERT_EQ(symlink((base / "outside/precious.txt").c_str(), (base / "share/file_link").c_str()), 0);

    ASSERT_TRUE(copyText(shareRoot, sizeof shareRoot, (base / "share").c_str()));
    rebuildFolderTree();
    EXPECT_EQ(findChild(&rootNode, "link", NODE_DIR | NODE_FILE), -1);
    EXPECT_EQ(findChild(&rootNode, "file_link", NODE_DIR | NODE_FILE), -1);
    deleteFolderTree(&rootNode);

    EXPECT_EQ(readFile(base / "outside/precious.txt"), "keep me");
    EXPECT_FALSE(fileExists(base / "share/own/a.txt"));
    shareRoot[0] = '\0';
    rebuildFolderTree();
}

}  // namespace
