#include "net/protocol.h"

#include <cstring>

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/folder_tree.h"
#include "base/textbuf.h"
#include "net/link.h"
#include "platform/file_names.h"

uint8_t sendBuffer[SEND_BUFFER_SIZE];
uint8_t recvScratch[RECV_SCRATCH_SIZE];
uint8_t transferError = 0;
uint32_t transferSize = 0;

namespace {

// Composed full paths of the folder commands ("prf" uses both).
char fullPathA[WIRE_FULL_PATH_CAP];
char fullPathB[WIRE_FULL_PATH_CAP];
// The folder tree has been built for the current shareRoot.
bool treeReady = false;

// Oversize fields are taken from the stream into this part of the scratch,
// behind the letters and fixed fields.
const int DISCARD_OFFSET = 16;

bool readField(int offset, int n) {
    return recvDataBuffer(serverSocket, recvScratch + offset, n) == n;
}

bool discardBytes(uint32_t n) {
    while (n > 0) {
        int chunk = n > static_cast<uint32_t>(RECV_SCRATCH_SIZE - DISCARD_OFFSET) ? RECV_SCRATCH_SIZE - DISCARD_OFFSET
                                                                                 : static_cast<int>(n);
        if (recvDataBuffer(serverSocket, recvScratch + DISCARD_OFFSET, chunk) != chunk) return false;
        n -= static_cast<uint32_t>(chunk);
    }
    return true;
}

enum class Field { ok, tooLong, cut };

// A path field of n bytes into `path` (WIRE_PATH_CAP), terminated; longer
// ones are taken from the stream and dropped.
Field readPath(char* path, uint32_t n) {
    path[0] = '\0';
    if (n > static_cast<uint32_t>(WIRE_MAX_PATH)) return discardBytes(n) ? Field::tooLong : Field::cut;
    if (n && recvDataBuffer(serverSocket, path, static_cast<int>(n)) != static_cast<int>(n)) return Field::cut;
    path[n] = '\0';
    return Field::ok;
}

// A copy for log lines: control bytes become "?".
void printable(char* dst, size_t cap, const char* src, size_t n) {
    size_t i = 0;
    for (; i < n && i + 1 < cap; ++i) {
        unsigned char c = static_cast<unsigned char>(src[i]);
        dst[i] = (c < 0x20 || c == 0x7F) ? '?' : src[i];
    }
    dst[i] = '\0';
}

// Why a path of a folder command would reach outside shareRoot (or name
// something other than it says), or null when it is safe.  Both separators
// count, as the system treats both; each component must be a name the
// system takes as it is (the shared name check: no "..", drive or stream
// colon, control byte, trailing dot or space, device name).
const char* unsafePathReason(const char* path, size_t n) {
    if (n == 0) return "empty path";
    if (path[0] == '/' || path[0] == '\\') return "absolute path";
    size_t start = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i < n && path[i] != '/' && path[i] != '\\') continue;
        if (i == start) {
            // One final "/" may end the path: it names the folder itself
            // (for a delete, the folder with its contents).
            if (!(i == n && path[n - 1] == '/')) return "empty component";
        } else if (const char* why = fileNameProblem(path + start, i - start)) {
            return why;
        }
        start = i + 1;
    }
    return nullptr;
}

bool composeFull(char* dst, const char* rel) {
    return copyText(dst, WIRE_FULL_PATH_CAP, shareRoot) && appendText(dst, WIRE_FULL_PATH_CAP, "/") &&
           appendText(dst, WIRE_FULL_PATH_CAP, rel);
}

// "a/b/" names the folder "a/b" for a new folder or a move.
void dropFinalSeparator(char* path) {
    size_t n = strlen(path);
    if (n > 0 && path[n - 1] == '/') path[n - 1] = '\0';
}

// The shared folder must exist before a folder command may act in it; a
// new installation has none yet, so the first command creates it.
bool shareAvailable(const char* command) {
    if (!shareRoot[0] && !setShareRoot()) {
        logMessage("\"%s\" refused - no shared folder", command);
        return false;
    }
    if (sysPathKind(shareRoot) == 0) {
        int err = sysCreateFolder(shareRoot);
        if (err == SYS_OK) logMessage("shared folder \"%s\" created", shareRoot);
        else if (err != SYS_ERROR_ALREADY_EXISTS) logMessage("CreateDirectory \"%s\" ERROR - %d", shareRoot, err);
    }
    if (sysPathKind(shareRoot) != 2) {
        logMessage("\"%s\" refused - shared folder \"%s\" does not exist", command, shareRoot);
        return false;
    }
    return true;
}

// Checks one path of a folder command; logs the refusal and returns false.
bool acceptPath(const char* command, Field field, const char* path, uint32_t n) {
    if (field == Field::tooLong) {
        logMessage("\"%s\" refused - path of %u bytes too long", command, static_cast<unsigned>(n));
        return false;
    }
    const char* why = unsafePathReason(path, n);
    if (why) {
        char shown[WIRE_PATH_CAP];
        printable(shown, sizeof shown, path, n);
        logMessage("\"%s\" refused - %s in \"%s\"", command, why, shown);
        return false;
    }
    return true;
}

void rebuildTree() {
    rebuildFolderTree();
    treeReady = true;
}

void newFolder(const char* path) {
    if (!composeFull(fullPathA, path)) return;
    int err = sysCreateFolder(fullPathA);
    if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS)
        logMessage("CreateDirectory \"%s\" ERROR - %d", fullPathA, err);
    rebuildTree();
}

void deletePath(const char* path, size_t n) {
    if (!composeFull(fullPathA, path)) return;
    logMessage("delete file/folder \"%s\"", fullPathA);
    if (path[n - 1] == '/') {
        if (!treeReady) rebuildTree();
        FolderNode* node = findFolderNode(path);
        // The shared folder itself is never deleted by a command.
        if (node != &rootNode) deleteFolderTree(node);
    } else {
        int err = sysDeleteFile(fullPathA);
        if (err != SYS_OK) logMessage("DeleteFile \"%s\" ERROR - %d", fullPathA, err);
    }
    rebuildTree();
}

void logCutShort(int letters) {
    char shown[4];
    printable(shown, sizeof shown, reinterpret_cast<const char*>(recvScratch), static_cast<size_t>(letters));
    logMessage("processMessages: message \"%s\" cut short - not acted on", shown);
}

// One message; the group letter is waiting.  A field that comes short
// (time limit, closed or failing socket) ends the message without acting on
// stale buffer contents.
void handleMessage(char* path) {
    if (!readField(0, 1)) return;
    const uint8_t group = recvScratch[0];
    if (group != MSG_HASH && group != MSG_REQUEST && group != MSG_SEND && group != MSG_PATH) return;
    if (!readField(1, 1)) return logCutShort(1);
    const uint8_t second = recvScratch[1];

    if (group == MSG_HASH) {
        if (second == MSG_VERSION) {
            if (!readField(2, 4)) return logCutShort(2);
            unsigned major = getU16(recvScratch + 2), minor = getU16(recvScratch + 4);
            if (major != PROTOCOL_MAJOR || minor != PROTOCOL_MINOR)
                logMessage("wrong version %d.%d->%u.%u", PROTOCOL_MAJOR, PROTOCOL_MINOR, major, minor);
        } else if (second == MSG_HASH_DATA) {
            if (!readField(2, 1)) return logCutShort(2);
            int n = static_cast<int8_t>(recvScratch[2]);  // at most 127: always fits behind offset 3
            if (n > 0 && !readField(3, n)) return logCutShort(2);
        }
        return;
    }

    if (group == MSG_REQUEST) {
        if (second != MSG_FILE && second != MSG_REQUEST_PATH) return;
        if (!readField(2, 2)) return logCutShort(2);
        uint32_t n = getU16(recvScratch + 2);
        if (n == 0) return;
        Field f = readPath(path, n);
        if (f == Field::cut) return logCutShort(2);
        if (f == Field::tooLong)
            logMessage("\"r%c\" path of %u bytes too long - discarded", second, static_cast<unsigned>(n));
        return;
    }

    if (group == MSG_SEND) {
        if (second != MSG_FILE) return;
        if (!readField(2, 1)) return logCutShort(2);
        if (recvScratch[2] == MSG_FILE_ERROR) {
            if (!readField(3, 1)) return logCutShort(3);
            transferError = recvScratch[3];
        } else if (recvScratch[2] == MSG_FILE_HEADER) {
            if (!readField(3, 4)) return logCutShort(3);
            transferSize = getU32(recvScratch + 3);
        }
        return;
    }

    // MSG_PATH
    if (second != MSG_FILE && second != MSG_NEW && second != MSG_RENAME && second != MSG_DELETE) return;
    if (!readField(2, 1)) return logCutShort(2);
    const uint8_t third = recvScratch[2];
    if (second == MSG_FILE) {
        if (third != MSG_FILE_CONTENT) return;  // "pfh" and others: three letters only
        if (!readField(3, 6)) return logCutShort(3);
        uint32_t n = getU16(recvScratch + 7);
        if (n > static_cast<uint32_t>(FILE_CONTENT_MAX_PAYLOAD)) {
            if (!discardBytes(n)) return logCutShort(3);
            logMessage("\"pfc\" payload of %u bytes too long - discarded", static_cast<unsigned>(n));
        } else if (n && !readField(FILE_CONTENT_HEAD_SIZE, static_cast<int>(n))) {
            return logCutShort(3);
        }
        return;
    }
    if (third != MSG_FILE) return;

    if (second == MSG_RENAME) {
        if (!readField(3, 4)) return logCutShort(3);
        uint32_t oldLen = getU16(recvScratch + 3), newLen = getU16(recvScratch + 5);
        // Both paths are taken from the stream before anything is decided.
        Field oldField = readPath(path, oldLen);
        if (oldField == Field::cut) return logCutShort(3);
        bool oldOk = acceptPath("prf", oldField, path, oldLen);
        dropFinalSeparator(path);
        oldOk = oldOk && composeFull(fullPathA, path);
        Field newField = readPath(path, newLen);
        if (newField == Field::cut) return logCutShort(3);
        if (!oldOk || !acceptPath("prf", newField, path, newLen)) return;
        dropFinalSeparator(path);
        if (!composeFull(fullPathB, path)) return;
        if (!shareAvailable("prf")) return;
        sysRenamePath(fullPathA, fullPathB);  // a failed move is silent
        rebuildTree();
        return;
    }

    const char* command = second == MSG_NEW ? "pnf" : "pdf";
    if (!readField(3, 2)) return logCutShort(3);
    uint32_t n = getU16(recvScratch + 3);
    if (n == 0) return;
    Field f = readPath(path, n);
    if (f == Field::cut) return logCutShort(3);
    if (!acceptPath(command, f, path, n) || !shareAvailable(command)) return;
    if (second == MSG_NEW) {
        dropFinalSeparator(path);
        newFolder(path);
    } else {
        deletePath(path, n);
    }
}

}  // namespace

bool setShareRoot() {
    treeReady = false;
    shareRoot[0] = '\0';
    if (!workingDir[0]) return false;
    char root[SHARE_ROOT_CAP];
    if (!formatText(root, sizeof root, "%s\\KAVO_share", workingDir)) return false;
    copyText(shareRoot, sizeof shareRoot, root);
    return true;
}

int recvDataBuffer(SysSocket socket, void* buffer, int n) {
    if (n <= 0 || !buffer || socket == SYS_NO_SOCKET) return 0;
    // Spins without pausing: a field normally follows its letters at once,
    // and the caller wants it without a scheduler delay.
    const double start = nowSeconds();
    int received = 0;
    int counter = 0;
    while (received < n) {
        int r = sysRecv(socket, static_cast<uint8_t*>(buffer) + received, n - received, false);
        if (r < 0) {
            if (sysNetError() != SYS_WSAEWOULDBLOCK) return -1;
            counter = 0;
        } else {
            received += r;  // 0: the peer has closed
        }
        ++counter;
        if (nowSeconds() - start > 1.0) break;
        if (counter >= 1000) break;
    }
    return received;
}

int sendDataBuffer(SysSocket socket, const void* data, int n) {
    if (n <= 0 || !data || socket == SYS_NO_SOCKET) return 0;
    const double start = nowSeconds();
    int sent = 0;
    int waits = 0;
    while (sent < n) {
        // A plain send: the socket is a connected stream, which would ignore
        // any destination address.
        int r = sysSend(socket, static_cast<const uint8_t*>(data) + sent, n - sent);
        if (r < 0) {
            int err = sysNetError();
            if (err != SYS_WSAEWOULDBLOCK) {
                logMessage("sendDataBuffer failed with error: %d", err);
                return -1;
            }
            ++waits;
            sysSleepMs(1);
            if (waits >= 1000) return -2;
        } else {
            sent += r;
        }
        if (nowSeconds() - start > 5.0) break;
    }
    return sent;
}

bool sendFileRequest(SysSocket socket, const char* path) {
    size_t len = path ? strlen(path) : 0;
    size_t size = buildFileRequest(sendBuffer, sizeof sendBuffer, path, len);
    if (size == 0) {
        logMessage("sendFileRequest ERROR - request of %u bytes does not fit", static_cast<unsigned>(len + 4));
        return false;
    }
    return sendDataBuffer(socket, sendBuffer, static_cast<int>(size)) == static_cast<int>(size);
}

void processMessages(bool once) {
    char path[WIRE_PATH_CAP];
    for (;;) {
        if (serverSocket == SYS_NO_SOCKET) return;
        uint8_t peeked;
        if (sysRecv(serverSocket, &peeked, 1, true) < 1) return;
        // A second peek of 0 means closed; an error here does not stop the
        // parser (the connection code judges the socket).
        if (sysRecv(serverSocket, &peeked, 1, true) == 0) return;
        handleMessage(path);
        if (once) return;
    }
}
