#include "archive/folder_tree.h"

#include <cstring>
#include <new>

#include "app/eventlog.h"
#include "base/textbuf.h"
#include "platform/sys.h"

FolderNode rootNode;
char shareRoot[SHARE_ROOT_CAP];

namespace {

// One path buffer for the whole scan and one for the whole delete: the
// recursion appends "/" + name and cuts back afterwards, so a deep tree does
// not cost a 5000-byte buffer per level of stack.
char scanPath[TREE_FULL_PATH_CAP];
char deletePath[TREE_FULL_PATH_CAP];

unsigned char foldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c; }

int compareNames(const char* a, const char* b) {
    const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
    for (;; ++x, ++y) {
        unsigned char p = foldAscii(*x), q = foldAscii(*y);
        if (p != q) return p < q ? -1 : 1;
        if (!p) return 0;
    }
}

// Length of a node's relative path ("A/B/" for B inside A), 0 for the root.
size_t relPathLength(const FolderNode* node) {
    size_t n = 0;
    for (; node && node->parent; node = node->parent) n += strlen(node->name) + 1;
    return n;
}

void scanInto(FolderNode* node, size_t pathLen, size_t relLen) {
    SysFolderScan* scan = sysScanBegin(scanPath);
    if (!scan) return;
    unsigned longNames = 0, tooDeep = 0;
    const bool existing = node->childCount > 0;
    SysFolderEntry entry;
    while (sysScanNext(scan, &entry)) {
        if (entry.isHidden || entry.name[0] == '.') continue;
        // A linked folder may lead outside the shared folder; a later folder
        // delete must never follow it there.
        if (entry.isLink) continue;
        size_t nameLen = strlen(entry.name);
        // A cut name would name another file, which a later delete would
        // then hit: such entries are left out instead.
        if (nameLen >= NODE_NAME_CAP) {
            ++longNames;
            continue;
        }
        // Only a scan into a node that already has children can meet one of
        // them again (the enumeration gives each name once); a rebuild starts
        // empty, and looking up every entry made it quadratic in a folder's size.
        int index = existing ? findChild(node, entry.name, NODE_FILE) : -1;
        FolderNode* child;
        if (index >= 0) {
            child = node->children[index];
        } else {
            // Entries beyond the 500th are left out without a message.
            if (node->childCount >= MAX_CHILDREN) continue;
            // A folder whose relative path would not fit the lookup buffer
            // could never be named by a command; keep it out.
            if (entry.isFolder && relLen + nameLen + 1 >= TREE_REL_PATH_CAP) {
                ++tooDeep;
                continue;
            }
            child = new (std::nothrow) FolderNode();
            if (!child) continue;
            child->kind = NODE_FILE;
            child->parent = node;
            memcpy(child->name, entry.name, nameLen + 1);
            node->children[node->childCount++] = child;
        }
        if (entry.isFolder) {
            child->kind = NODE_DIR;
            if (appendText(scanPath, sizeof scanPath, "/") && appendText(scanPath, sizeof scanPath, entry.name))
                scanInto(child, strlen(scanPath), relLen + nameLen + 1);
            scanPath[pathLen] = '\0';
        }
    }
    sysScanEnd(scan);
    if (longNames) logMessage("scanFolder: %u names in \"%s\" left out - 100 bytes or longer", longNames, scanPath);
    if (tooDeep) logMessage("scanFolder: %u folders in \"%s\" left out - path too long", tooDeep, scanPath);
}

void deleteInto(FolderNode* node, size_t pathLen) {
    for (unsigned i = 0; i < node->childCount; ++i) {
        FolderNode* child = node->children[i];
        if (!child) continue;
        bool fits = appendText(deletePath, sizeof deletePath, child->name);
        if (!fits) {
            logMessage("deleteFolderTree: path of \"%s\" too long", child->name);
        } else if (child->kind == NODE_DIR) {
            if (appendText(deletePath, sizeof deletePath, "/")) deleteInto(child, strlen(deletePath));
        } else {
            logMessage("deleteFile \"%s\"", deletePath);
            sysDeleteFile(deletePath);
        }
        deletePath[pathLen] = '\0';
    }
    logMessage("RemoveDirectory \"%s\"", deletePath);
    sysRemoveFolder(deletePath);
}

}  // namespace

void rebuildFolderTree() {
    freeFolderTree(&rootNode);
    rootNode.kind = NODE_DIR;
    rootNode.parent = nullptr;
    copyText(rootNode.name, sizeof rootNode.name, "ROOT");
    // No shared folder: an empty path would scan the current folder.
    if (!shareRoot[0]) return;
    scanFolder(&rootNode, shareRoot);
    sortFolderTree(&rootNode);
}

void scanFolder(FolderNode* node, const char* path) {
    if (!node || !path) return;
    if (path != scanPath && !copyText(scanPath, sizeof scanPath, path)) {
        logMessage("scanFolder: path too long - \"%.200s...\"", path);
        return;
    }
    scanInto(node, strlen(scanPath), relPathLength(node));
}

void sortFolderTree(FolderNode* node) {
    if (!node) return;
    FolderNode** c = node->children;
    int n = node->childCount;
    // Stable insertion sort by folded name; equal names keep their order.
    for (int i = 1; i < n; ++i) {
        FolderNode* moving = c[i];
        int j = i;
        while (j > 0 && compareNames(c[j - 1]->name, moving->name) > 0) {
            c[j] = c[j - 1];
            --j;
        }
        c[j] = moving;
    }
    // Folders ahead of files, each group keeping its order.
    for (int i = 1; i < n; ++i) {
        if (c[i]->kind != NODE_DIR) continue;
        FolderNode* moving = c[i];
        int j = i;
        while (j > 0 && c[j - 1]->kind != NODE_DIR) {
            c[j] = c[j - 1];
            --j;
        }
        c[j] = moving;
    }
    for (int i = 0; i < n; ++i) sortFolderTree(c[i]);
}

void freeFolderTree(FolderNode* node) {
    if (!node) return;
    for (unsigned i = 0; i < node->childCount && i < MAX_CHILDREN; ++i) {
        if (node->children[i]) {
            freeFolderTree(node->children[i]);
            delete node->children[i];
            node->children[i] = nullptr;
        }
    }
    node->kind = NODE_DIR;
    node->childCount = 0;
    node->name[0] = '\0';
    node->parent = nullptr;
}

int findChild(const FolderNode* node, const char* name, int kindMask) {
    if (!node || !name) return -1;
    for (int i = 0; i < node->childCount; ++i) {
        const FolderNode* child = node->children[i];
        if (child && (child->kind & kindMask) && strcmp(child->name, name) == 0) return i;
    }
    return -1;
}

FolderNode* findFolderNode(const char* relPath) {
    if (!relPath) return nullptr;
    char path[TREE_REL_PATH_CAP];
    if (!copyText(path, sizeof path, relPath)) {
        logMessage("findFolderNode: path of %u bytes too long", static_cast<unsigned>(strlen(relPath)));
        return nullptr;
    }
    // Split in place: every separator ends a component; text after the last
    // one is not a component.
    const char* components[TREE_MAX_COMPONENTS];
    int count = 0;
    char* start = path;
    for (char* p = path; *p; ++p) {
        if (*p != '/' && *p != '\\') continue;
        *p = '\0';
        if (count == TREE_MAX_COMPONENTS) {
            logMessage("findFolderNode: more than %d components", TREE_MAX_COMPONENTS);
            return nullptr;
        }
        if (strlen(start) >= TREE_COMPONENT_CAP) {
            logMessage("findFolderNode: component %d too long", count);
            return nullptr;
        }
        logMessage("newSubFolder %d: \"%s\"", count, start);
        components[count++] = start;
        start = p + 1;
    }
    FolderNode* node = &rootNode;
    for (int i = 0; i < count; ++i) {
        int index = findChild(node, components[i], NODE_DIR);
        if (index < 0) return nullptr;
        node = node->children[index];
    }
    return node;
}

void deleteFolderTree(FolderNode* node) {
    if (!node) return;
    // Relative path from the parent links, each name followed by "/".
    char rel[TREE_REL_PATH_CAP];
    size_t relLen = relPathLength(node);
    if (relLen >= sizeof rel) {
        logMessage("deleteFolderTree: path of \"%s\" too long", node->name);
        return;
    }
    rel[relLen] = '\0';
    size_t at = relLen;
    for (const FolderNode* n = node; n && n->parent; n = n->parent) {
        size_t len = strlen(n->name);
        at -= len + 1;
        memcpy(rel + at, n->name, len);
        rel[at + len] = '/';
    }
    if (!copyText(deletePath, sizeof deletePath, shareRoot) || !appendText(deletePath, sizeof deletePath, "/") ||
        !appendText(deletePath, sizeof deletePath, rel)) {
        logMessage("deleteFolderTree: path of \"%s\" too long", node->name);
        return;
    }
    deleteInto(node, strlen(deletePath));
}
