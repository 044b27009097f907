#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/folder_tree.h"
#include "base/textbuf.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"

namespace {

std::vector<std::string> childNames(const FolderNode* node) {
    std::vector<std::string> out;
    for (int i = 0; i < node->childCount; ++i)
        out.push_back(std::string(node->children[i]->name) + (node->children[i]->kind == NODE_DIR ? "/" : ""));
    return out;
}

class FolderTree : public ::testing::Test {
protected:
    ScratchDir dir{"ft"};
    std::string share = dir / "share";
    void SetUp() override {
        resetAppState();
        makeFolders(share);
        copyText(shareRoot, sizeof shareRoot, share.c_str());
    }
    void TearDown() override {
        freeFolderTree(&rootNode);
        shareRoot[0] = '\0';
    }
    void rebuild() {
        rebuildFolderTree();
        fakeUi.list.clear();
    }
};

TEST_F(FolderTree, FoldersFirstThenCaseInsensitiveByteOrder) {
    for (const char* f : {"b.txt", "A.txt", "B", "_x"}) writeFile(share + "/" + f, "1");
    makeFolders(share + "/z");
    makeFolders(share + "/Y");
    makeFolders(share + "/z/inner");
    writeFile(share + "/z/a", "");
    writeFile(share + "/.hiddenish", "");
    makeFolders(share + "/.git");
    rebuildFolderTree();
    EXPECT_STREQ(rootNode.name, "ROOT");
    EXPECT_EQ(rootNode.kind, NODE_DIR);
    EXPECT_EQ(rootNode.parent, nullptr);
    // "_" (0x5F) is below "b" (0x62), which "B" folds to.
    EXPECT_EQ(childNames(&rootNode), (std::vector<std::string>{"Y/", "z/", "_x", "A.txt", "B", "b.txt"}));
    FolderNode* z = rootNode.children[1];
    EXPECT_EQ(z->parent, &rootNode);
    EXPECT_EQ(childNames(z), (std::vector<std::string>{"inner/", "a"}));
    EXPECT_TRUE(fakeUi.list.empty());
}

TEST_F(FolderTree, SortIsStableForNamesThatFoldAlike) {
    // Built by hand: the enumeration order of equal names is what must stay.
    FolderNode root{};
    const char* names[] = {"b", "a", "A", "B", "a"};
    FolderNode nodes[5] = {};
    for (int i = 0; i < 5; ++i) {
        copyText(nodes[i].name, sizeof nodes[i].name, names[i]);
        nodes[i].kind = (i == 3) ? NODE_DIR : NODE_FILE;
        root.children[root.childCount++] = &nodes[i];
    }
    sortFolderTree(&root);
    std::vector<const FolderNode*> order(root.children, root.children + root.childCount);
    EXPECT_EQ(order, (std::vector<const FolderNode*>{&nodes[3], &nodes[1], &nodes[2], &nodes[4], &nodes[0]}));
}

TEST_F(FolderTree, LookupsAreCaseSensitiveAndIgnoreTextAfterTheLastSeparator) {
    makeFolders(share + "/A/B");
    makeFolders(share + "/Data");
    writeFile(share + "/A/file", "");
    rebuild();
    FolderNode* a = findFolderNode("A/");
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->name, "A");
    FolderNode* b = findFolderNode("A/B/");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b->name, "B");
    EXPECT_EQ(b->parent, a);
    EXPECT_EQ(findFolderNode("A/B"), a);
    EXPECT_EQ(findFolderNode("A\\B\\x"), b);
    EXPECT_EQ(fakeUi.list, (std::vector<std::string>{"newSubFolder 0: \"A\"", "newSubFolder 0: \"A\"",
                                                      "newSubFolder 1: \"B\"", "newSubFolder 0: \"A\"",
                                                      "newSubFolder 0: \"A\"", "newSubFolder 1: \"B\""}));
    EXPECT_EQ(findFolderNode(""), &rootNode);
    EXPECT_EQ(findFolderNode("x"), &rootNode);
    EXPECT_EQ(findFolderNode("data/"), nullptr);
    EXPECT_EQ(findFolderNode("A/file/"), nullptr);  // a file is not a folder
    EXPECT_EQ(findFolderNode("A//B/"), nullptr);
    EXPECT_EQ(findFolderNode("/"), nullptr);
    EXPECT_EQ(findFolderNode(nullptr), nullptr);
    EXPECT_EQ(findChild(nullptr, "A", 3), -1);
    EXPECT_EQ(findChild(&rootNode, nullptr, 3), -1);
    EXPECT_EQ(findChild(a, "file", NODE_DIR), -1);
    EXPECT_EQ(findChild(a, "file", NODE_FILE), 1);
    EXPECT_EQ(findChild(a, "B", 3), 0);
}

TEST_F(FolderTree, LookupLimits) {
    rebuild();
    std::string many;
    for (int i = 0; i < 101; ++i) many += "a/";
    EXPECT_EQ(findFolderNode(many.c_str()), nullptr);
    EXPECT_EQ(fakeUi.list.back(), "findFolderNode: more than 100 components");
    EXPECT_EQ(findFolderNode((std::string(260, 'c') + "/").c_str()), nullptr);
    EXPECT_EQ(fakeUi.list.back(), "findFolderNode: component 0 too long");
    EXPECT_EQ(findFolderNode(std::string(1000, 'c').c_str()), nullptr);
    EXPECT_EQ(fakeUi.list.back(), "findFolderNode: path of 1000 bytes too long");
}

TEST_F(FolderTree, DeleteGoesBottomUpAndLeavesWhatTheTreeDoesNotKnow) {
    makeFolders(share + "/Work/Data/Logs");
    writeFile(share + "/Work/Data/Logs/l1", "");
    writeFile(share + "/Work/Data/d1", "");
    writeFile(share + "/Work/w1", "");
    makeFolders(share + "/Keep/.cache");
    writeFile(share + "/Keep/k1", "");
    writeFile(share + "/Keep/.k2", "");
    writeFile(share + "/top", "");
    rebuild();
    deleteFolderTree(findFolderNode("Work/"));
    const std::string w = share + "/Work/";
    EXPECT_EQ(fakeUi.list, (std::vector<std::string>{
                               "newSubFolder 0: \"Work\"", "deleteFile \"" + w + "Data/Logs/l1\"",
                               "RemoveDirectory \"" + w + "Data/Logs/\"", "deleteFile \"" + w + "Data/d1\"",
                               "RemoveDirectory \"" + w + "Data/\"", "deleteFile \"" + w + "w1\"",
                               "RemoveDirectory \"" + w + "\""}));
    EXPECT_FALSE(folderExists(share + "/Work"));
    // The tree is stale until the caller rebuilds it.
    EXPECT_NE(findFolderNode("Work/"), nullptr);

    rebuild();
    deleteFolderTree(findFolderNode("Keep/"));
    EXPECT_EQ(listTree(share), (std::vector<std::string>{"d Keep/", "d Keep/.cache/", "f Keep/.k2 0", "f top 0"}));

    deleteFolderTree(nullptr);
    deleteFolderTree(findFolderNode("missing/"));
    EXPECT_EQ(listTree(share).size(), 4u);
}

TEST_F(FolderTree, DeletingTheRootEmptiesAndRemovesTheSharedFolder) {
    makeFolders(share + "/A");
    writeFile(share + "/A/x", "");
    writeFile(share + "/y", "");
    rebuild();
    deleteFolderTree(&rootNode);
    EXPECT_EQ(fakeUi.list.back(), "RemoveDirectory \"" + share + "/\"");
    EXPECT_FALSE(folderExists(share));
    rebuildFolderTree();
    EXPECT_EQ(rootNode.childCount, 0);
}

TEST_F(FolderTree, OnlyFiveHundredEntriesPerFolder) {
    makeFolders(share + "/P/big");
    for (int i = 0; i < 600; ++i) writeFile(share + "/P/big/f" + std::to_string(i), "");
    rebuildFolderTree();
    EXPECT_TRUE(fakeUi.list.empty()) << "entries beyond the 500th are left out without a message";
    FolderNode* big = findFolderNode("P/big/");
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->childCount, MAX_CHILDREN);

    deleteFolderTree(findFolderNode("P/"));
    std::vector<std::string> rest = listTree(share);
    EXPECT_EQ(rest.size(), 102u);  // P/, P/big/ and the 100 files the tree never held
    EXPECT_TRUE(folderExists(share + "/P/big"));
    rebuildFolderTree();
    EXPECT_EQ(findFolderNode("P/big/")->childCount, 100);
}

TEST_F(FolderTree, LongNamesAreLeftOutNotCut) {
    std::string name99(99, 'n'), name100(100, 'n'), name120(120, 'm');
    writeFile(share + "/" + name99, "");
    writeFile(share + "/" + name100, "");
    makeFolders(share + "/" + name120);
    rebuildFolderTree();
    EXPECT_EQ(childNames(&rootNode), (std::vector<std::string>{name99}));
    ASSERT_EQ(fakeUi.list.size(), 1u);
    EXPECT_EQ(fakeUi.list[0], "scanFolder: 2 names in \"" + share + "\" left out - 100 bytes or longer");
}

TEST_F(FolderTree, NoSharedFolderMeansAnEmptyTree) {
    writeFile(share + "/x", "");
    rebuildFolderTree();
    EXPECT_EQ(rootNode.childCount, 1);
    shareRoot[0] = '\0';
    rebuildFolderTree();
    EXPECT_EQ(rootNode.childCount, 0);
    EXPECT_STREQ(rootNode.name, "ROOT");
    copyText(shareRoot, sizeof shareRoot, (dir / "missing").c_str());
    rebuildFolderTree();
    EXPECT_EQ(rootNode.childCount, 0);
}

}  // namespace
