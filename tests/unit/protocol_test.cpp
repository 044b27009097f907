// The message parser and the send/receive helpers against a scripted peer
// over a real TCP connection on 127.0.0.1 (both builds).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/globals.h"
#include "archive/folder_tree.h"
#include "base/textbuf.h"
#include "net/link.h"
#include "net/protocol.h"
#include "net/wire_format.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/loopback_pair.h"
#include "tests/unit/test_support.h"

namespace {

std::string bytes(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

std::string version(uint16_t major, uint16_t minor) {
    uint8_t b[8];
    return bytes(b, buildVersionMessage(b, sizeof b, major, minor));
}
std::string pathMessage(size_t (*build)(uint8_t*, size_t, const char*, size_t), const std::string& path) {
    std::vector<uint8_t> b(path.size() + 8);
    return bytes(b.data(), build(b.data(), b.size(), path.data(), path.size()));
}
std::string pnf(const std::string& p) { return pathMessage(buildNewFolder, p); }
std::string pdf(const std::string& p) { return pathMessage(buildDeletePath, p); }
std::string prf(const std::string& a, const std::string& b) {
    std::vector<uint8_t> buf(a.size() + b.size() + 8);
    return bytes(buf.data(), buildMovePath(buf.data(), buf.size(), a.data(), a.size(), b.data(), b.size()));
}
std::string u16(uint16_t v) {
    uint8_t b[2];
    putU16(b, v);
    return bytes(b, 2);
}

// A marker whose one log line shows that the parser is still in step.
const std::string MARK = version(2, 0);
const char* const MARK_LINE = "wrong version 1.3->2.0";

TEST(WireFormat, BuildersGiveTheExactBytes) {
    uint8_t b[32];
    EXPECT_EQ(bytes(b, buildVersionMessage(b, sizeof b)), std::string("\x23\x76\x01\x00\x03\x00", 6));
    EXPECT_EQ(buildVersionMessage(b, 5), 0u);
    EXPECT_EQ(bytes(b, buildFileRequest(b, sizeof b, "update.ini", 10)), std::string("rf\x0a\x00update.ini", 14));
    EXPECT_EQ(buildFileRequest(b, 13, "update.ini", 10), 0u);
    EXPECT_EQ(bytes(b, buildFileError(b, sizeof b)), "sfe0");
    EXPECT_EQ(bytes(b, buildFileHeader(b, sizeof b, 0x01020304)), std::string("sfh\x04\x03\x02\x01", 7));
    EXPECT_EQ(bytes(b, buildMovePath(b, sizeof b, "a", 1, "bc", 2)), std::string("prf\x01\x00\x02\x00" "abc", 10));
    EXPECT_EQ(pdf("x/"), std::string("pdf\x02\x00x/", 7));
    EXPECT_EQ(getU32(reinterpret_cast<const uint8_t*>("\x04\x03\x02\x81")), 0x81020304u);
    std::vector<uint8_t> big(SEND_BUFFER_SIZE);
    std::string fits(SEND_BUFFER_SIZE - 4, 'p');
    EXPECT_EQ(buildFileRequest(big.data(), big.size(), fits.data(), fits.size()), size_t(SEND_BUFFER_SIZE));
    EXPECT_EQ(buildFileRequest(big.data(), big.size(), fits.data(), fits.size() + 1), 0u);
}

class Protocol : public ::testing::Test {
protected:
    ScratchDir work{"proto"};
    std::string share = work / "KAVO_share";
    LoopbackPair link;

    void SetUp() override {
        resetAppState();
        copyText(workingDir, sizeof workingDir, work.path().c_str());
        makeFolders(share);
        ASSERT_TRUE(link.open());
        serverSocket = link.installer;
        ASSERT_TRUE(setShareRoot());
        transferError = 0;
        transferSize = 0;
    }
    void TearDown() override {
        serverSocket = SYS_NO_SOCKET;
        freeFolderTree(&rootNode);
        shareRoot[0] = '\0';
        workingDir[0] = '\0';
    }
    // Sends and waits until everything has arrived on the installer side.
    void feed(const std::string& b) {
        ASSERT_TRUE(link.peerSend(b));
        ASSERT_TRUE(waitWaiting(link.installer, b.size()));
    }
    std::string waiting() { return peekWaiting(link.installer); }
    // The disk path the installer composes for a relative path.
    std::string full(const std::string& rel) { return std::string(shareRoot) + "/" + rel; }
};

TEST_F(Protocol, EveryMessageTakesItsExactByteCount) {
    std::string pfcBig = "pfc" + std::string("\0\0\0\0", 4) + u16(20000) + std::string(20000, 'c');
    struct Case {
        const char* label;
        std::string message;
        size_t logLines;
    } cases[] = {
        {"#v", version(1, 3), 0},
        {"#g n=3", "#g\x03" "abc", 0},
        {"#g n=0", std::string("#g\0", 3), 0},
        {"#g n<0", "#g\xff", 0},
        {"# other", "#a", 0},
        {"# then byte", std::string("#\0", 2), 0},
        {"rf", "rf" + u16(3) + "a#v", 0},
        {"rp n=0", "rp" + u16(0), 0},
        {"rf 1200", "rf" + u16(1200) + std::string(1200, '#'), 1},
        {"r other", "rx", 0},
        {"s other", "sv", 0},
        {"sf other", "sfv", 0},
        {"sfe", "sfe0", 0},
        {"sfh", "sfh" + std::string("\x10\0\0\0", 4), 0},
        {"pfc", "pfc" + std::string("\0\0\0\0", 4) + u16(4) + "#v#v", 0},
        {"pfc empty", "pfc" + std::string("\0\0\0\0", 4) + u16(0), 0},
        {"pfc too big", pfcBig, 1},
        {"pfh", "pfh", 0},
        {"pf other", "pfx", 0},
        {"pn other", "pnx", 0},
        {"pr other", "pr#", 0},
        {"pd other", "pdv", 0},
        {"p other", "pq", 0},
        {"pnf empty", pnf(""), 0},
        {"pdf empty", pdf(""), 0},
        {"other byte", "x", 0},
        {"letter v", "v", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        fakeUi.list.clear();
        feed(c.message + MARK);
        processMessages(true);
        EXPECT_EQ(waiting(), MARK);
        EXPECT_EQ(fakeUi.list.size(), c.logLines);
        processMessages(true);
        ASSERT_FALSE(fakeUi.list.empty());
        EXPECT_EQ(fakeUi.list.back(), MARK_LINE);
        EXPECT_EQ(waiting(), "");
    }
    EXPECT_EQ(transferError, '0');
    EXPECT_EQ(transferSize, 16u);
    EXPECT_TRUE(listTree(share).empty());
}

TEST_F(Protocol, VersionAndTransferAnswers) {
    feed(version(1, 3) + version(1, 4) + version(0, 3));
    processMessages(false);
    EXPECT_EQ(fakeUi.list, (std::vector<std::string>{"wrong version 1.3->1.4", "wrong version 1.3->0.3"}));

    feed(std::string("sfe\0", 4));
    processMessages(true);
    EXPECT_EQ(transferError, 0);  // a zero code is no refusal
    feed("sfe0" + std::string("sfh\x00\x01\x00\x00", 7) + "CONTENT");
    processMessages(true);
    EXPECT_EQ(transferError, '0');
    EXPECT_EQ(transferSize, 0u);
    processMessages(true);
    EXPECT_EQ(transferSize, 256u);
    EXPECT_EQ(waiting(), "CONTENT");  // the content is the download's to read
}

TEST_F(Protocol, OnceFalseHandlesEverythingWaitingOnceTrueOnlyOne) {
    feed(MARK + "sfe\x07");
    processMessages(true);
    EXPECT_EQ(transferError, 0);
    EXPECT_EQ(waiting(), "sfe\x07");
    processMessages(true);
    EXPECT_EQ(transferError, 7);

    transferError = 0;
    fakeUi.list.clear();
    feed(MARK + "sfe\x07");
    processMessages(false);
    EXPECT_EQ(fakeUi.list, std::vector<std::string>{MARK_LINE});
    EXPECT_EQ(transferError, 7);
    EXPECT_EQ(waiting(), "");

    serverSocket = SYS_NO_SOCKET;
    feed(MARK);
    processMessages(false);  // no socket: nothing read
    EXPECT_EQ(waiting(), MARK);
}

TEST_F(Protocol, AMessageSplitAcrossSegmentsIsStillOneMessage) {
    std::thread peer([this] {
        for (const std::string& piece : {std::string("s"), std::string("f"), std::string("h\x05"),
                                         std::string("\x04\x03"), std::string("\x02") + "CONTENT"}) {
            link.peerSend(piece);
            sysSleepMs(60);
        }
    });
    ASSERT_TRUE(waitWaiting(link.installer, 1));
    processMessages(true);
    peer.join();
    EXPECT_EQ(transferSize, 0x02030405u);
    EXPECT_EQ(waiting(), "CONTENT");
}

TEST_F(Protocol, AMessageCutShortIsNotActedOn) {
    // The path ends early and the peer closes: nothing must be created from
    // the part that came, nor from whatever the buffer held before.
    feed(pnf("abc") + pnf("ab").substr(0, 6));
    link.closePeer();
    processMessages(false);
    EXPECT_TRUE(folderExists(share + "/abc"));
    EXPECT_FALSE(folderExists(share + "/a"));
    EXPECT_FALSE(folderExists(share + "/ab"));
    ASSERT_FALSE(fakeUi.list.empty());
    EXPECT_EQ(fakeUi.list.back(), "processMessages: message \"pnf\" cut short - not acted on");
}

TEST_F(Protocol, ReceiveLimits) {
    char buf[16];
    EXPECT_EQ(recvDataBuffer(link.installer, buf, 0), 0);
    EXPECT_EQ(recvDataBuffer(link.installer, nullptr, 4), 0);
    EXPECT_EQ(recvDataBuffer(SYS_NO_SOCKET, buf, 4), 0);

    // Nothing more comes: the one-second limit ends the wait.
    feed("abc");
    double start = nowSeconds();
    EXPECT_EQ(recvDataBuffer(link.installer, buf, 10), 3);
    double waited = nowSeconds() - start;
    EXPECT_GE(waited, 0.99);
    EXPECT_LT(waited, 4.0);  // about one second; the margin is for a loaded machine under wine

    // The peer has closed: the call counter ends it at once.
    feed("de");
    link.closePeer();
    start = nowSeconds();
    EXPECT_EQ(recvDataBuffer(link.installer, buf, 10), 2);
    EXPECT_LT(nowSeconds() - start, 0.5);
    EXPECT_EQ(std::string(buf, 2), "de");
}

TEST_F(Protocol, SendDeliversAndReportsErrors) {
    EXPECT_EQ(sendDataBuffer(link.installer, "x", 0), 0);
    EXPECT_EQ(sendDataBuffer(SYS_NO_SOCKET, "x", 1), 0);
    EXPECT_TRUE(sendFileRequest(link.installer, "update.ini"));
    EXPECT_EQ(link.peerRecv(14, 2000), std::string("rf\x0a\x00update.ini", 14));

    std::string tooLong(SEND_BUFFER_SIZE - 3, 'q');
    EXPECT_FALSE(sendFileRequest(link.installer, tooLong.c_str()));
    EXPECT_EQ(fakeUi.list.back(), "sendFileRequest ERROR - request of 15001 bytes does not fit");
    EXPECT_EQ(link.peerRecv(1, 100), "");

    fakeUi.list.clear();
    link.resetPeer();
    sysSleepMs(50);
    int r = sendDataBuffer(link.installer, "hello", 5);
    if (r > 0) r = sendDataBuffer(link.installer, "hello", 5);  // a reset may show one send late
    EXPECT_EQ(r, -1);
    ASSERT_EQ(fakeUi.list.size(), 1u);
    EXPECT_EQ(fakeUi.list[0].rfind("sendDataBuffer failed with error: ", 0), 0u) << fakeUi.list[0];
}

TEST_F(Protocol, SendToAPeerThatNeverReads) {
    link.shrinkBuffers(8192);
    std::vector<uint8_t> data(8 << 20, 0x55);
    double start = nowSeconds();
    int r = sendDataBuffer(link.installer, data.data(), static_cast<int>(data.size()));
    double took = nowSeconds() - start;
    // 1000 waits of 1 ms normally come first; on a slow machine 5 s may.
    if (r == -2) {
        EXPECT_GE(took, 1.0);
        EXPECT_LT(took, 5.5);
    } else {
        EXPECT_GT(r, 0);
        EXPECT_LT(r, static_cast<int>(data.size()));
        EXPECT_GE(took, 5.0);
    }
    EXPECT_LT(took, 6.5);
}

// ---- folder commands ---------------------------------------------------

TEST_F(Protocol, NewFolder) {
    feed(pnf("A") + pnf("A\\B") + pnf("A") + pnf("X/Y"));
    processMessages(false);
    EXPECT_TRUE(folderExists(share + "/A/B"));
    EXPECT_FALSE(folderExists(share + "/X"));
    EXPECT_EQ(fakeUi.list, std::vector<std::string>{"CreateDirectory \"" + full("X/Y") + "\" ERROR - 3"});
    // Every command rebuilt the tree.
    ASSERT_NE(findFolderNode("A/B/"), nullptr);
}

TEST_F(Protocol, MoveIsSilentAndRebuilds) {
    makeFolders(share + "/A");
    writeFile(share + "/A/f.txt", "f");
    writeFile(share + "/taken", "t");
    feed(prf("A/f.txt", "g.txt") + prf("g.txt", "taken") + prf("nothing", "x") + prf("A", "B"));
    processMessages(false);
    EXPECT_TRUE(fakeUi.list.empty());
    EXPECT_EQ(listTree(share), (std::vector<std::string>{"d B/", "f g.txt 1", "f taken 1"}));
    EXPECT_NE(findFolderNode("B/"), nullptr);
    EXPECT_EQ(findFolderNode("A/"), nullptr);
}

TEST_F(Protocol, DeleteFileAndItsErrors) {
    writeFile(share + "/f", "");
    feed(pdf("f"));
    processMessages(false);
    EXPECT_FALSE(fileExists(share + "/f"));
    EXPECT_EQ(fakeUi.list, std::vector<std::string>{"delete file/folder \"" + full("f") + "\""});

    fakeUi.list.clear();
    writeFile(share + "/late", "");  // seen only by the next rebuild
    feed(pdf("nofile") + pdf("nodir/nofile"));
    processMessages(false);
    EXPECT_EQ(fakeUi.list, (std::vector<std::string>{
                               "delete file/folder \"" + full("nofile") + "\"",
                               "DeleteFile \"" + full("nofile") + "\" ERROR - 2",
                               "delete file/folder \"" + full("nodir/nofile") + "\"",
                               "DeleteFile \"" + full("nodir/nofile") + "\" ERROR - 3"}));
    EXPECT_EQ(findChild(&rootNode, "late", NODE_FILE), 0);
}

TEST_F(Protocol, DeleteFolderWithItsContents) {
    makeFolders(share + "/A/sub");
    writeFile(share + "/A/sub/x", "");
    writeFile(share + "/A/y", "");
    makeFolders(share + "/Other");
    // The tree has not been built yet: the command builds it first.
    feed(pdf("A/") + pdf("missing/"));
    processMessages(false);
    EXPECT_EQ(fakeUi.list, (std::vector<std::string>{
                               "delete file/folder \"" + full("A/") + "\"", "newSubFolder 0: \"A\"",
                               "deleteFile \"" + full("A/sub/x") + "\"", "RemoveDirectory \"" + full("A/sub/") + "\"",
                               "deleteFile \"" + full("A/y") + "\"", "RemoveDirectory \"" + full("A/") + "\"",
                               "delete file/folder \"" + full("missing/") + "\"", "newSubFolder 0: \"missing\""}));
    EXPECT_EQ(listTree(share), std::vector<std::string>{"d Other/"});
    EXPECT_EQ(findFolderNode("A/"), nullptr);
}

TEST_F(Protocol, FirstFolderCommandCreatesTheSharedFolder) {
    removeTree(share);
    // A trailing "/" names the folder itself for a new folder and a move.
    feed(pnf("A/") + pnf("A/in/") + prf("A/", "B/") + pdf("c/") + MARK);
    processMessages(false);
    EXPECT_EQ(fakeUi.list, (std::vector<std::string>{"shared folder \"" + std::string(shareRoot) + "\" created",
                                                      "delete file/folder \"" + full("c/") + "\"",
                                                      "newSubFolder 0: \"c\"", MARK_LINE}));
    EXPECT_EQ(listTree(share), (std::vector<std::string>{"d B/", "d B/in/"}));

    // Where the shared folder cannot be made, commands are refused.
    removeTree(share);
    writeFile(share, "a file in its place");
    fakeUi.list.clear();
    feed(pnf("A") + MARK);
    processMessages(false);
    EXPECT_EQ(fakeUi.list, (std::vector<std::string>{
                               "\"pnf\" refused - shared folder \"" + std::string(shareRoot) + "\" does not exist",
                               MARK_LINE}));
}

TEST_F(Protocol, HostileFolderCommandsChangeNothing) {
    makeFolders(share + "/a/b");
    writeFile(share + "/a/b/f", "in");
    writeFile(share + "/x", "in");
    makeFolders(work / "outside");
    writeFile(work / "outside/keep", "out");
    writeFile(work / "keep", "out");
    feed(pnf("a/new"));
    processMessages(false);
    ASSERT_TRUE(folderExists(share + "/a/new"));
    const size_t treeSize = rootNode.childCount;
    writeFile(share + "/late", "");  // a rebuild would show it
    const std::vector<std::string> before = listTree(work.path());

    const std::string bad[] = {
        "..", "../x", "../keep", "../outside/keep", "a/../../keep", "a/..", "a/b/../../../keep", "/x", "\\x",
        "\\\\127.0.0.1\\c$\\x", "//host/share", "C:x", "C:\\x", "c:/keep", "x:stream", ".", "./x", "a/./b",
        "a//b", "a\\\\b", "a\\", ".. ", "a/.. /x", "a/b/f.", "a\nb", std::string("x\0y", 3), "a\x7f",
        "a/\tb", std::string(1000, 'a'), std::string(5000, 'b'), std::string(20000, 'c'), "NUL", "a/com1.txt",
    };
    for (const std::string& path : bad) {
        for (const std::string& message : {pnf(path), pdf(path), pdf(path + "/"), prf(path, "moved"),
                                           prf("x", path), prf(path, path)}) {
            if (message.empty()) continue;
            SCOPED_TRACE(::testing::PrintToString(message.substr(0, 40)));
            fakeUi.list.clear();
            feed(message + MARK);
            processMessages(false);
            ASSERT_EQ(fakeUi.list.size(), 2u);
            EXPECT_EQ(fakeUi.list[0].find("\" refused - "), 4u) << fakeUi.list[0];
            EXPECT_EQ(fakeUi.list[1], MARK_LINE);
            EXPECT_EQ(waiting(), "");
        }
    }
    // The shared folder itself is never deleted, nor anything in or outside it.
    fakeUi.list.clear();
    feed(pdf("/") + pdf("\\") + pdf("") + MARK);
    processMessages(false);
    EXPECT_EQ(fakeUi.list.size(), 3u);
    EXPECT_EQ(listTree(work.path()), before);
    EXPECT_EQ(rootNode.childCount, treeSize);  // refused commands do not rebuild
    EXPECT_EQ(readFile(work / "keep"), "out");
}

}  // namespace
