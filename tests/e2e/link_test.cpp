// The server link end to end: the hello, downloads with their progress and
// failure lines, and the reconnect question.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "tests/e2e/harness.h"

namespace {

struct LinkScene {
    E2eDir dir;
    std::string serverRoot = dir / "server";
    std::string inst = dir / "inst";
    std::string address = testAddress();

    // The installation's archive is the file the tests download: one file
    // "a" and the end record, archiveSize bytes in all.
    explicit LinkScene(size_t archiveSize = 2500) {
        system(("mkdir -p '" + serverRoot + "/wrp'").c_str());
        size_t n = archiveSize - 8;
        std::string content = {'\x02', '\x01', 'a', static_cast<char>(n), static_cast<char>(n >> 8),
                               static_cast<char>(n >> 16), static_cast<char>(n >> 24)};
        for (size_t i = 0; i < n; ++i) content += static_cast<char>('a' + i % 26);
        content += '\x04';
        writeText(serverRoot + "/wrp/KAVO.wrp", content);
        writeText(dir / "setup.ini", "CONNECT:" + address + "\n");
    }
    std::string start() const { return "start " + installerExe() + " -installDir:\"" + winPath(inst) + "\""; }
    std::vector<std::string> log() const { return logTexts(dir / "KAVO_install_log.txt"); }
};

int countPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

TEST(Link, HelloIsTheFirstSixBytesTheServerSees) {
    LinkScene s;
    ServerProcess server(s.serverRoot, s.address, {"--dump-received", s.dir / "received.bin"});
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 connection established!", "sleep 500",
                            "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw;
    server.stop();
    std::string got = readText(s.dir / "received.bin");
    ASSERT_GE(got.size(), 6u) << server.log();
    EXPECT_EQ(got.substr(0, 6), std::string("\x23\x76\x01\x00\x03\x00", 6));
    std::vector<std::string> log = s.log();
    EXPECT_EQ(countPrefix(log, "connecting to HOST (" + s.address + ":49491)..."), 1);
    EXPECT_EQ(countPrefix(log, "wrong version"), 0);
}

TEST(Link, ServerOfAnotherVersionIsLoggedOnly) {
    LinkScene s;
    ServerProcess server(s.serverRoot, s.address, {"--version", "2.0"});
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 wrong version 1.3->2.0", "command 8003",
                            "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
}

TEST(Link, DownloadShowsOneProgressLineAndLogsThemAll) {
    LinkScene s(2500);
    // Slow the content down so that the download spans several updates.
    ServerProcess server(s.serverRoot, s.address, {"--rate", "5000"});
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 connection established!", "command 8001",
                            "box Installation_Completed no 30000", "list", "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    std::vector<std::string> list = r.list();
    std::vector<std::string> log = s.log();
    EXPECT_GE(countPrefix(log, "tcpDownload - "), 3) << joined(log);  // start line and at least two progress lines
    EXPECT_EQ(countPrefix(list, "tcpDownload - 2.4/2.4 KB - "), 1) << joined(list);
    int progressInList = 0;
    for (const auto& l : list)
        if (l.rfind("tcpDownload - ", 0) == 0 && l.find(" KB - ") != std::string::npos) ++progressInList;
    EXPECT_EQ(progressInList, 1) << joined(list);
    EXPECT_EQ(countPrefix(log, "tcpFileDownload - file size 2500"), 1);
    EXPECT_EQ(countPrefix(log, "tcpFileDownload done - 2500/2500 byte"), 1);
    EXPECT_EQ(readText(s.inst + "/a").size(), 2492u);
}

TEST(Link, FolderCommandRightAfterTheLastDownloadIsCarriedOut) {
    // The folder command comes right behind the archive's content.  The
    // archive has no KAVO_data folder, so no later download reads the
    // socket: only the read notification can carry the command out.
    LinkScene s;
    system(("mkdir -p '" + s.dir / "KAVO_share'").c_str());
    writeText(s.dir / "script.txt", "after-file 1\npnf AfterDownload\n");
    ServerProcess server(s.serverRoot, s.address, {"--script", s.dir / "script.txt"});
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 connection established!", "command 8001",
                            "box Installation_Completed no 30000", "sleep 300", "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_EQ(countPrefix(s.log(), "tcpFileDownload done - 2500/2500 byte"), 1) << joined(s.log());
    EXPECT_TRUE(exists(s.dir / "KAVO_share/AfterDownload")) << server.log() << joined(s.log());
}

TEST(Link, RefusalLeavesAnEmptyLocalFile) {
    LinkScene s;
    ServerProcess server(s.serverRoot, s.address, {"--refuse-all"});
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 connection established!", "command 8001",
                            "waitlist 15000 download KAVO.wrp - FAILED", "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    std::vector<std::string> log = s.log();
    EXPECT_EQ(countPrefix(log, "tcpFileDownload - unable to download \"wrp\\KAVO.wrp\""), 1) << joined(log);
    EXPECT_TRUE(exists(s.inst + "/KAVO.wrp"));
    EXPECT_EQ(readText(s.inst + "/KAVO.wrp").size(), 0u);
}

TEST(Link, NoAnswerFailsAfterTenSecondsWithOnlyTheStartLine) {
    LinkScene s;
    ServerProcess server(s.serverRoot, s.address, {"--no-answer"});
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 connection established!", "command 8001",
                            "waitlist 30000 download KAVO.wrp - FAILED", "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    std::vector<std::string> log = s.log();
    auto it = std::find_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("tcpDownload - \"", 0) == 0; });
    ASSERT_NE(it, log.end());
    EXPECT_EQ(*(it + 1), "download KAVO.wrp - FAILED") << joined(log);
}

TEST(Link, StallHalfWayTimesOut) {
    LinkScene s(20000);
    ServerProcess server(s.serverRoot, s.address, {"--stall-after", "10000"});
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 connection established!", "command 8001",
                            "waitlist 30000 download KAVO.wrp - FAILED", "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    std::vector<std::string> log = s.log();
    EXPECT_EQ(countPrefix(log, "tcpFileDownload timed out 10."), 1) << joined(log);
    EXPECT_EQ(countPrefix(log, "tcpFileDownload failed - 10000/20000 byte"), 1) << joined(log);
}

TEST(Link, ServerClosingMidFileAsksToReconnect) {
    LinkScene s(20000);
    ServerProcess server(s.serverRoot, s.address, {"--close-after", "10000"});
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 connection established!", "command 8001",
                            "box Network no 20000", "waitlist 30000 download KAVO.wrp - FAILED", "alive",
                            "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_EQ(r.get("box"), "Network|KAVO has been disconnected from the server!\\nDo you want to try to reconnect?");
    // The quit that No posts is drained by the download's own pumping.
    EXPECT_EQ(r.get("alive"), "1");
    std::vector<std::string> log = s.log();
    EXPECT_EQ(countPrefix(log, "connection is down!"), 1);
    EXPECT_EQ(countPrefix(log, "tcpFileDownload failed - 10000/20000 byte"), 1) << joined(log);
}

TEST(Link, ServerGoingAwayAsksAgainUntilNo) {
    LinkScene s;
    auto server = std::make_unique<ServerProcess>(s.serverRoot, s.address);
    // The driver waits for the connection, then the test stops the server
    // while the driver waits for the question.
    std::thread stopper([&] {
        for (int i = 0; i < 400; ++i) {
            if (countPrefix(s.log(), "connection established!") > 0) break;
            usleep(50000);
        }
        server->stop();
    });
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 connection established!",
                            "box Network yes 20000", "box Network no 20000", "waitexit 10000"});
    stopper.join();
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_EQ(r.get("exit"), "0");
    std::vector<std::string> log = s.log();
    EXPECT_EQ(countPrefix(log, "connection is down!"), 2) << joined(log);
    EXPECT_EQ(countPrefix(log, "failed to connect! - 10061"), 1) << joined(log);
}

// A new installation has no shared folder: the first folder command makes
// it, and the commands then act inside it (a trailing "/" naming the folder
// itself); a path that would leave it is refused.
TEST(Link, FolderCommandsActOnAFreshWorkingFolder) {
    LinkScene s;
    writeText(s.dir / "script.txt",
              "pnf Data/\npnf Data/Logs\npnf Data/Cache/\nprf Data/Logs Data/Old/\npnf Tmp/\n"
              "pdf Tmp/\npnf ../escape\n");
    ServerProcess server(s.serverRoot, s.address, {"--script", s.dir / "script.txt"});
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 refused - ", "command 8003",
                            "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    std::vector<std::string> log = s.log();
    EXPECT_EQ(countPrefix(log, "shared folder \""), 1) << joined(log);
    EXPECT_EQ(countPrefix(log, "\"pnf\" refused - relative folder name in \"../escape\""), 1) << joined(log);
    EXPECT_TRUE(exists(s.dir / "KAVO_share/Data/Old"));
    EXPECT_TRUE(exists(s.dir / "KAVO_share/Data/Cache"));
    EXPECT_FALSE(exists(s.dir / "KAVO_share/Data/Logs"));
    EXPECT_FALSE(exists(s.dir / "KAVO_share/Tmp"));
    EXPECT_FALSE(exists(s.dir / "escape"));
}

TEST(Link, StartWithoutServerWarnsAndStaysUsable) {
    LinkScene s;
    Report r = s.dir.drive({s.start(), "window 20000", "box KAVO_Warning ok 20000", "sleep 200", "list", "edit",
                            "alive", "close", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_EQ(r.get("box"), "KAVO Warning|Failed to connect to Update Server.\\nPlease check your internet "
                            "connection or contact support@kavo.example");
    std::vector<std::string> list = r.list();
    EXPECT_EQ(countPrefix(list, "FAILED to connect to Update Server"), 1) << joined(list);
    EXPECT_EQ(countPrefix(list, "failed to connect! - 10061"), 1) << joined(list);
    EXPECT_EQ(r.get("alive"), "1");
    EXPECT_EQ(r.get("exit"), "0");
}

}  // namespace
