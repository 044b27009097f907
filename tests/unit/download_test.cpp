// The download against a scripted server over a real loopback connection
// (natively and under wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "app/eventlog.h"
#include "app/globals.h"
#include "base/textbuf.h"
#include "net/download.h"
#include "net/link.h"
#include "net/protocol.h"
#include "net/wire_format.h"
#include "platform/sys.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/loopback_pair.h"
#include "tests/unit/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

bool runningUnderWine() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

std::string header(uint32_t size) {
    uint8_t buf[FILE_HEADER_MSG_SIZE];
    size_t n = buildFileHeader(buf, sizeof buf, size);
    return std::string(reinterpret_cast<char*>(buf), n);
}

std::string content(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 31 + 7);
    return s;
}

int countPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

class Download : public ::testing::Test {
protected:
    LoopbackPair pair;
    ScratchDir dir{"dl"};
    std::string local = dir / "file.bin";

    void SetUp() override {
        resetAppState();
        ASSERT_TRUE(pair.open());
        serverSocket = pair.installer;
        linkRole = 2;
    }
    void TearDown() override {
        serverSocket = SYS_NO_SOCKET;
        linkRole = 0;
        pair.close();
    }
};

TEST_F(Download, FileArrivesWithOneProgressLineInTheList) {
    std::string data = content(2500);
    ASSERT_TRUE(pair.peerSend(header(2500) + data));
    EXPECT_TRUE(tcpDownload(local.c_str(), "wrp\\KAVO.wrp", true));
    EXPECT_EQ(readFile(local), data);
    EXPECT_FALSE(downloadActive);
    // The request went out as "rf", the length, the name.
    EXPECT_EQ(pair.peerRecv(16, 2000), std::string("rf\x0c\x00wrp\\KAVO.wrp", 16));

    const auto& list = fakeUi.list;
    ASSERT_GE(list.size(), 4u);
    EXPECT_EQ(list.front(), "tcpDownload - \"" + local + "\"");
    EXPECT_EQ(countPrefix(list, "tcpFileDownload - file size 2500"), 1);
    EXPECT_EQ(countPrefix(list, "tcpDownload - 2.4/2.4 KB - "), 1);
    EXPECT_EQ(countPrefix(list, "tcpDownload - 0.") + countPrefix(list, "tcpDownload - 1."), 0)
        << "earlier progress lines are replaced in the list";
    EXPECT_EQ(list.back(), "tcpFileDownload done - 2500/2500 byte");
    // The log file keeps every progress line.
    std::string logged = readFile("KAVO_install_log.txt");
    EXPECT_NE(logged.find("tcpDownload - 2.4/2.4 KB - "), std::string::npos) << logged;
    EXPECT_NE(logged.find("tcpFileDownload - file size 2500"), std::string::npos) << logged;
    ASSERT_FALSE(fakeUi.progress.empty());
    EXPECT_EQ(fakeUi.progress.front(), 0);
    EXPECT_EQ(fakeUi.progress.back(), 1000);
    // Read notifications are off while the download owns the socket and on
    // again (with one posted) only once it no longer does.
    ASSERT_EQ(fakeUi.socketReads.size(), 2u);
    EXPECT_FALSE(fakeUi.socketReads[0].on);
    EXPECT_TRUE(fakeUi.socketReads[1].on);
    EXPECT_FALSE(fakeUi.socketReads[1].duringDownload);
}

TEST_F(Download, SlowProgressUpdatesDoNotMakeEveryChunkAnUpdate) {
    // Twenty chunks waiting at once, and every update taking longer than
    // the interval between updates: only the first and the last update.
    std::string data = content(20000);
    ASSERT_TRUE(pair.peerSend(header(20000) + data));
    fakeUi.onProgress = [] { sysSleepMs(150); };
    EXPECT_TRUE(tcpDownload(local.c_str(), "f", true));
    EXPECT_EQ(readFile(local), data);
    // The bar is set once at the start and once per update.
    EXPECT_LE(fakeUi.progress.size(), 1u + 3u);
}

TEST_F(Download, TakesWhatHasArrivedButNeverPastTheAnnouncedSize) {
    // More than one receive's worth, and a message right behind the
    // content: the content fills the file, the message stays for the parser.
    std::string data = content(200000);
    std::string other = "#v" + std::string("\x02\x00\x00\x00", 4);
    std::thread server([&] { pair.peerSend(header(200000) + data + other); });
    bool ok = tcpDownload(local.c_str(), "f", true);
    server.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(readFile(local), data);
    ASSERT_TRUE(waitWaiting(pair.installer, other.size()));
    EXPECT_EQ(peekWaiting(pair.installer), other);
    processMessages(false);
    EXPECT_EQ(countPrefix(fakeUi.list, "wrong version 1.3->2.0"), 1);
}

TEST_F(Download, WindowIsPumpedWhileContentKeepsComing) {
    // The server sends as fast as the connection takes it; the window must
    // not wait for a pause in the data to be served.
    const size_t size = 16u << 20;
    const std::string sent = header(static_cast<uint32_t>(size)) + content(size);
    std::vector<double> pumps;
    fakeUi.onPump = [&] { pumps.push_back(nowSeconds()); };
    std::thread server([&] { pair.peerSend(sent); });
    double start = nowSeconds();
    bool ok = tcpDownload(local.c_str(), "f", false);
    double took = nowSeconds() - start;
    server.join();
    ASSERT_TRUE(ok);
    EXPECT_EQ(readFile(local).size(), size);
    // A download quicker than two pump intervals may see only the last one.
    ASSERT_GE(pumps.size(), took > 0.05 ? 2u : 1u) << took << " s";
    double longest = 0;
    for (size_t i = 1; i < pumps.size(); ++i) longest = std::max(longest, pumps[i] - pumps[i - 1]);
    // 50 ms promised; the slack is for a busy machine.
    EXPECT_LE(longest, 0.15) << pumps.size() << " pumps in " << (pumps.back() - pumps.front()) << " s";
}

TEST_F(Download, RefusalEndsTheWaitAndLeavesAnEmptyFile) {
    ASSERT_TRUE(pair.peerSend("sfe0"));
    double start = nowSeconds();
    EXPECT_FALSE(tcpDownload(local.c_str(), "update.ini", true));
    EXPECT_LT(nowSeconds() - start, 3.0);
    EXPECT_TRUE(fileExists(local));
    EXPECT_EQ(readFile(local), "");
    EXPECT_EQ(countPrefix(fakeUi.list, "tcpFileDownload - unable to download \"update.ini\""), 1);
    EXPECT_EQ(countPrefix(fakeUi.list, "tcpFileDownload failed"), 0);
}

TEST_F(Download, ZeroCodeRefusalIsNoRefusal) {
    // "sfe" with the byte 0 changes nothing: the header after it counts.
    ASSERT_TRUE(pair.peerSend(std::string("sfe\0", 4) + "#v" + std::string("\x01\x00\x03\x00", 4) + header(3) +
                              "abc"));
    EXPECT_TRUE(tcpDownload(local.c_str(), "x", false));
    EXPECT_EQ(readFile(local), "abc");
    // Without progress logging neither the start line nor progress lines.
    EXPECT_EQ(countPrefix(fakeUi.list, "tcpDownload - "), 0);
    EXPECT_EQ(countPrefix(fakeUi.list, "tcpFileDownload done - 3/3 byte"), 1);
}

TEST_F(Download, AbortStopsTheDataPhase) {
    std::string data = content(5000);
    ASSERT_TRUE(pair.peerSend(header(5000) + data.substr(0, 1000)));
    fakeUi.onPump = [] { abortRequested = true; };
    EXPECT_FALSE(tcpDownload(local.c_str(), "big", true));
    EXPECT_EQ(fakeUi.list.back(), "tcpFileDownload failed - 1000/5000 byte");
    EXPECT_EQ(readFile(local), data.substr(0, 1000)) << "the partial file stays";
}

TEST_F(Download, ProgressLineNeverReplacesSomeoneElsesLine) {
    // A line logged from inside the pump (a nested handler) must survive
    // the next progress update.
    std::string data = content(3000);
    ASSERT_TRUE(pair.peerSend(header(3000) + data.substr(0, 1000)));
    int pumps = 0;
    fakeUi.onPump = [&] {
        if (++pumps == 1) {
            logMessage("nested handler line");
            pair.peerSend(data.substr(1000));
        }
    };
    EXPECT_TRUE(tcpDownload(local.c_str(), "f", true));
    EXPECT_EQ(countPrefix(fakeUi.list, "nested handler line"), 1);
}

TEST_F(Download, BrokenConnectionEndsPromptlyAsAFailure) {
    if (runningUnderWine()) GTEST_SKIP() << "wine reports a reset connection as an orderly close";
    ASSERT_TRUE(pair.peerSend(header(50000) + content(1000)));
    int pumps = 0;
    fakeUi.onPump = [&] {
        if (++pumps == 1) pair.resetPeer();
    };
    double start = nowSeconds();
    EXPECT_FALSE(tcpDownload(local.c_str(), "f", true));
    EXPECT_LT(nowSeconds() - start, 5.0) << "no need to wait out the inactivity limit";
    EXPECT_EQ(fakeUi.list.back().rfind("tcpFileDownload failed - ", 0), 0u) << fakeUi.list.back();
    EXPECT_EQ(readFile(local).size(), 1000u);
}

TEST_F(Download, MissingArgumentsAndUnwritableFile) {
    EXPECT_FALSE(tcpDownload(nullptr, "x", true));
    EXPECT_FALSE(tcpDownload(local.c_str(), nullptr, true));
    EXPECT_TRUE(fakeUi.list.empty());
    std::string bad = dir / "no/such/folder/f";
    EXPECT_FALSE(tcpDownload(bad.c_str(), "x", true));
    ASSERT_EQ(fakeUi.list.size(), 2u);
    EXPECT_EQ(fakeUi.list[0], "tcpDownload - \"" + bad + "\"");
    // Said as what it is, with the system's error: no network fault.
    EXPECT_EQ(fakeUi.list[1], "tcpDownload ERROR - \"" + bad + "\" cannot be opened for writing - 3");
    EXPECT_EQ(pair.peerRecv(100, 300), "") << "nothing is requested";
}

TEST_F(Download, BytesThatNeverReachTheDiskFailTheDownload) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a device that refuses writes";
#else
    // A full disk: every write fails, every byte still arrives.
    for (size_t size : {2500u, 20000u}) {
        fakeUi.reset();
        ASSERT_TRUE(pair.peerSend(header(static_cast<uint32_t>(size)) + content(size)));
        EXPECT_FALSE(tcpDownload("/dev/full", "update.ini", true)) << size;
        pair.peerRecv(100, 200);
        const std::string done = std::to_string(size) + "/" + std::to_string(size) + " byte";
        EXPECT_EQ(fakeUi.list.back(), "tcpFileDownload failed - " + done) << size;
        EXPECT_GE(countPrefix(fakeUi.list, "tcpDownload ERROR - "), 1) << "the failed write is logged";
    }
#endif
}

TEST_F(Download, RequestThatDoesNotFitIsNotSent) {
    std::string name(SEND_BUFFER_SIZE, 'n');
    double start = nowSeconds();
    EXPECT_FALSE(tcpDownload(local.c_str(), name.c_str(), true));
    EXPECT_LT(nowSeconds() - start, 3.0);
    EXPECT_EQ(pair.peerRecv(100, 300), "");
    EXPECT_EQ(countPrefix(fakeUi.list, "tcpDownload ERROR - request for"), 1);
}

}  // namespace
