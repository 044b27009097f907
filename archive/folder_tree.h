// In-memory tree of the files and folders under the shared folder
// `shareRoot`.  The server's folder commands rebuild it after every change
// and use it to delete a folder with its contents from the bottom up.
#pragma once

#include <cstdint>

enum : uint8_t {
    NODE_FILE = 1,
    NODE_DIR = 2,
};

enum : int {
    MAX_CHILDREN = 500,
    NODE_NAME_CAP = 100,        // names of 100 bytes or more stay out of the tree
    SHARE_ROOT_CAP = 260,
    TREE_REL_PATH_CAP = 1000,   // relative paths of findFolderNode / deleteFolderTree
    TREE_FULL_PATH_CAP = 5000,  // shareRoot + "/" + relative path
    TREE_MAX_COMPONENTS = 100,
    TREE_COMPONENT_CAP = 260,
};

struct FolderNode {
    char name[NODE_NAME_CAP];
    uint8_t kind;
    FolderNode* parent;
    uint16_t childCount;
    FolderNode* children[MAX_CHILDREN];
};

// Static root of the tree: "ROOT", NODE_DIR, no parent after every rebuild;
// its name is never part of a path.  Empty until the first rebuild.
extern FolderNode rootNode;
// The folder the tree mirrors; empty means "none" (a rebuild then leaves the
// tree empty rather than scanning the current folder).
extern char shareRoot[SHARE_ROOT_CAP];

void rebuildFolderTree();
void scanFolder(FolderNode* node, const char* path);
void sortFolderTree(FolderNode* node);
void freeFolderTree(FolderNode* node);
// Index of the first child with exactly this name whose kind is in `kindMask`
// (1 files, 2 folders, 3 both), or -1.
int findChild(const FolderNode* node, const char* name, int kindMask);
// The folder named by a relative path ("A/B/" and "A/B/x" both name B),
// rootNode for a path without components, null when there is none.
FolderNode* findFolderNode(const char* relPath);
// Deletes on disk everything under the node's folder that the tree knows,
// then the folder itself.  The tree is left as it is: rebuild afterwards.
void deleteFolderTree(FolderNode* node);
