// The reference update server, started in this process on a free loopback
// port and spoken to with plain sockets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>

#include "net/wire_format.h"
#include "tests/unit/test_support.h"
#include "tools/update_server/server.h"

using namespace update_server;

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string bytes(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

std::string request(const std::string& name) {
    std::string m(FILE_REQUEST_HEAD_SIZE + name.size(), '\0');
    buildFileRequest(reinterpret_cast<uint8_t*>(&m[0]), m.size(), name.data(), name.size());
    return m;
}

std::string header(uint32_t size) {
    uint8_t h[FILE_HEADER_MSG_SIZE];
    buildFileHeader(h, sizeof h, size);
    return bytes(h, sizeof h);
}

const std::string HELLO("\x23\x76\x01\x00\x03\x00", 6);
const std::string REFUSED("sfe0");

// Content whose every 4-byte word holds its own index, so that a lost,
// repeated or misplaced chunk shows.
std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i / 4) >> (8 * (i % 4)));
    return s;
}

class Conn {
public:
    explicit Conn(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        int one = 1;  // small sends go out as they are, so segments really are split
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Conn() { close(fd_); }
    bool ok() const { return ok_; }
    void send(const std::string& s) { ASSERT_EQ(::send(fd_, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size())); }
    // Up to n bytes, fewer when the peer closes or ms pass without data.
    std::string read(size_t n, int ms = 2000) {
        std::string got;
        std::vector<char> buf(1 << 16);
        while (got.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, ms) <= 0) break;
            ssize_t r = recv(fd_, buf.data(), std::min(buf.size(), n - got.size()), 0);
            if (r <= 0) {
                closed_ = true;
                break;
            }
            got.append(buf.data(), static_cast<size_t>(r));
        }
        return got;
    }
    // True when the peer closes within ms (data before the close is dropped).
    bool closesWithin(int ms) {
        auto t = Clock::now();
        while (!closed_ && since(t) * 1000 < ms) read(1 << 20, 50);
        return closed_;
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    bool ok_ = false;
    bool closed_ = false;
};

class ServerTest : public testing::Test {
protected:
    ScratchDir dir{"srv"};
    std::string root = dir / "root";
    std::unique_ptr<UpdateServer> server;
    std::thread thread;
    std::mutex logMutex;
    std::vector<std::string> lines;
    bool returned = false;

    void SetUp() override {
        makeFolders(root + "/wrp");
        writeFile(root + "/wrp/KAVO.wrp", pattern(2500));
        writeFile(root + "/update.ini", "version=2.0\n");
    }
    void TearDown() override { stopServer(); }

    void start(std::function<void(ServerConfig&)> tweak = {}) {
        ServerConfig cfg;
        cfg.root = root;
        cfg.port = 0;
        if (tweak) tweak(cfg);
        server = std::make_unique<UpdateServer>(cfg, [this](const std::string& l) {
            std::lock_guard<std::mutex> lock(logMutex);
            lines.push_back(l);
        });
        std::string error;
        ASSERT_TRUE(server->open(&error)) << error;
        ASSERT_NE(server->port(), 0);
        thread = std::thread([this] {
            server->run();
            returned = true;
        });
    }
    void stopServer() {
        if (!server) return;
        server->stop();
        if (thread.joinable()) thread.join();
    }
    uint16_t port() const { return server->port(); }
    std::string log() {
        std::lock_guard<std::mutex> lock(logMutex);
        std::string s;
        for (auto& l : lines) s += l + "\n";
        return s;
    }
    bool waitLog(const std::string& text, int ms = 2000) {
        auto t = Clock::now();
        while (since(t) * 1000 < ms) {
            if (log().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
};

TEST_F(ServerTest, AnswersHelloAndServesFilesByteForByte) {
    start();
    Conn c(port());
    ASSERT_TRUE(c.ok());
    c.send(HELLO);
    EXPECT_EQ(c.read(6), HELLO);
    c.send(request("wrp\\KAVO.wrp"));
    EXPECT_EQ(c.read(7 + 2500), header(2500) + pattern(2500));
    // "/" works as a separator too; a request that trickles in byte by
    // byte is still one request.
    std::string r = request("wrp/KAVO.wrp");
    for (char ch : r) {
        c.send(std::string(1, ch));
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    EXPECT_EQ(c.read(7 + 2500), header(2500) + pattern(2500));
    // Requests sent back to back are answered in order.
    c.send(request("update.ini") + request("missing") + request("update.ini"));
    std::string ini = "version=2.0\n";
    EXPECT_EQ(c.read(2 * (7 + ini.size()) + 4), header(ini.size()) + ini + REFUSED + header(ini.size()) + ini);
    EXPECT_EQ(c.read(1, 100), "");
    ASSERT_TRUE(waitLog("\"wrp\\KAVO.wrp\" 2500 bytes: sent 2507 bytes")) << log();
    EXPECT_EQ(server->receivedPrefixes().at(0).substr(0, 6), HELLO);
}

TEST_F(ServerTest, RefusesNamesOutsideTheRootAndUnservableFiles) {
    makeFolders(dir / "outside");
    writeFile(dir / "outside/secret", "secret");
    writeFile(root + "/empty.bin", "");
    ASSERT_EQ(symlink((dir / "outside/secret").c_str(), (root + "/escape").c_str()), 0);
    ASSERT_EQ(symlink((dir / "outside").c_str(), (root + "/outdir").c_str()), 0);
    ASSERT_EQ(symlink("wrp/KAVO.wrp", (root + "/inner").c_str()), 0);
    start();
    Conn c(port());
    const char* refused[] = {"..\\outside\\secret", "wrp\\..\\..\\outside\\secret", "/etc/passwd", "\\etc\\passwd",
                             "C:\\Windows\\win.ini", "wrp\\KAVO.wrp:stream", "escape", "outdir\\secret",
                             "missing.ini", "wrp\\missing\\x", "wrp", ".", "empty.bin", ""};
    for (const char* name : refused) {
        c.send(request(name));
        EXPECT_EQ(c.read(4), REFUSED) << name;
    }
    std::string nul("update.ini\0x", 12);
    c.send(request(nul));
    EXPECT_EQ(c.read(4), REFUSED);
    // A link that stays inside the root is fine, and the connection is intact.
    c.send(request("inner"));
    EXPECT_EQ(c.read(7 + 2500), header(2500) + pattern(2500));
    EXPECT_EQ(c.read(1, 100), "");
    EXPECT_TRUE(waitLog("\"..\\outside\\secret\" refused (leaves the root)")) << log();
}

TEST_F(ServerTest, SkipsOtherMessagesWithTheInstallersByteCounts) {
    start();
    Conn c(port());
    std::string junk;
    junk += "x";                                  // unknown byte: 1
    junk += std::string("#g\x03" "abc", 6);       // "#g" with 3 payload bytes
    junk += std::string("#g\xff", 3);             // negative count: no payload
    junk += "#q";                                 // 2
    junk += std::string("rp\x02\x00zz", 6);       // 4 + n
    junk += "rq";                                 // 2
    junk += std::string("sfh\x05\x00\x00\x00", 7);  // the client's "sfh" is not content
    junk += "sfx" "sq";                           // 3, 2
    junk += std::string("pfc\x00\x00\x00\x00\x02\x00" "ab", 11);
    junk += "pfh" "pnx";                          // 3, 3
    junk += std::string("prf\x01\x00\x01\x00" "ab", 9);
    junk += std::string("pdf\x01\x00" "a", 6);
    junk += "pq";
    c.send(junk + HELLO);
    EXPECT_EQ(c.read(6), HELLO);
    EXPECT_TRUE(waitLog("ignored message \"x\" (1 bytes)")) << log();

    // Raw garbage of every byte value never stops the server; a hello
    // after a generous run of zero bytes (each one skipped) still works.
    Conn g(port());
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    g.send(all);
    Conn d(port());
    d.send(std::string(200, '\0') + HELLO);
    EXPECT_EQ(d.read(6), HELLO);
}

TEST(ClientMessageLength, FollowsTheInstallerParser) {
    // The head of each message and its full length; the rest is filler.
    struct Row {
        std::string head;
        size_t len;
    } rows[] = {
        {HELLO, 6}, {"#g\x05", 8}, {"#g\x80", 3}, {"#z", 2}, {std::string("rf\x10\x01", 4), 4 + 0x110},
        {std::string("rp\x00\x00", 4), 4}, {"rz", 2}, {"sfe", 4}, {"sfh", 7}, {"sfq", 3}, {"sq", 2},
        {std::string("pfc\x01\x02\x03\x04\x05\x00", 9), 14}, {"pfh", 3}, {"pfz", 3},
        {std::string("pnf\x02\x00", 5), 7}, {std::string("pdf\x00\x01", 5), 261},
        {std::string("prf\x02\x00\x03\x00", 7), 12}, {"pnq", 3}, {"prq", 3}, {"pdq", 3}, {"pz", 2},
        {"z", 1}, {std::string("\0", 1), 1},
    };
    for (const Row& r : rows) {
        std::string full = r.head + std::string(r.len > r.head.size() ? r.len - r.head.size() : 0, 'q');
        std::string more = full + "#v";
        auto p = reinterpret_cast<const uint8_t*>(more.data());
        EXPECT_EQ(clientMessageLength(p, full.size()), r.len) << r.head;
        EXPECT_EQ(clientMessageLength(p, more.size()), r.len) << r.head;
        if (r.len > 1) {
            EXPECT_EQ(clientMessageLength(p, r.len - 1), 0u) << r.head;
        }
    }
}

TEST_F(ServerTest, ClientThatNeverReadsDoesNotHoldUpTheOthers) {
    const size_t big = 50u << 20;
    writeFile(root + "/big.bin", pattern(big));
    writeFile(root + "/mid.bin", pattern(1u << 20));
    start();
    Conn idle(port());
    idle.send(request("big.bin"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    auto t = Clock::now();
    std::vector<std::unique_ptr<Conn>> others;
    for (int i = 0; i < 4; ++i) others.push_back(std::make_unique<Conn>(port()));
    for (auto& c : others) c->send(request("mid.bin"));
    for (auto& c : others) EXPECT_EQ(c->read(7 + (1u << 20)), header(1u << 20) + pattern(1u << 20));
    EXPECT_LT(since(t), 2.0);

    // The idle client now reads its whole file: intact, and the server never
    // held more than its per-client buffer for it.
    EXPECT_EQ(idle.read(7 + big, 5000), header(big) + pattern(big));
    EXPECT_LE(server->peakOutputBuffered(), ServerConfig().outputBufferBytes + 64);
}

struct FaultCase {
    const char* name;
    std::function<void(FaultSettings&)> set;
    std::function<void(Conn&)> check;
};

TEST_F(ServerTest, FaultOptionsShowOnTheWire) {
    writeFile(root + "/20k.bin", pattern(20000));
    const std::string file = header(20000) + pattern(20000);
    FaultCase cases[] = {
        {"refuse-all", [](FaultSettings& f) { f.refuseAll = true; },
         [&](Conn& c) { c.send(request("20k.bin")); EXPECT_EQ(c.read(8, 300), REFUSED); }},
        {"version", [](FaultSettings& f) { f.versionMajor = 2; f.versionMinor = 0; },
         [&](Conn& c) { c.send(HELLO); EXPECT_EQ(c.read(6), std::string("\x23\x76\x02\x00\x00\x00", 6)); }},
        {"no-hello", [](FaultSettings& f) { f.noHello = true; },
         [&](Conn& c) { c.send(HELLO + request("20k.bin")); EXPECT_EQ(c.read(file.size()), file); }},
        {"no-answer", [](FaultSettings& f) { f.noAnswer = true; },
         [&](Conn& c) { c.send(HELLO + request("20k.bin")); EXPECT_EQ(c.read(100, 300), HELLO); }},
        {"wrong-size down", [](FaultSettings& f) { f.wrongSize = -3; },
         [&](Conn& c) { c.send(request("20k.bin")); EXPECT_EQ(c.read(file.size() + 1, 300), header(19997) + pattern(20000)); }},
        {"wrong-size up", [](FaultSettings& f) { f.wrongSize = 5; },
         [&](Conn& c) { c.send(request("20k.bin")); EXPECT_EQ(c.read(file.size() + 1, 300), header(20005) + pattern(20000)); }},
        {"stall-after", [](FaultSettings& f) { f.stallAfter = 10000; },
         [&](Conn& c) {
             c.send(request("20k.bin") + request("20k.bin"));
             EXPECT_EQ(c.read(file.size(), 300), file.substr(0, 7 + 10000));
             EXPECT_FALSE(c.closesWithin(200));
         }},
        {"close-after", [](FaultSettings& f) { f.closeAfter = 10000; },
         [&](Conn& c) {
             c.send(request("20k.bin"));
             EXPECT_EQ(c.read(file.size(), 1000), file.substr(0, 7 + 10000));
             EXPECT_TRUE(c.closesWithin(1000));
         }},
        {"quit-after-requests", [](FaultSettings& f) { f.quitAfterRequests = 2; },
         [&](Conn& c) {
             c.send(request("nope") + request("20k.bin") + request("20k.bin"));
             EXPECT_EQ(c.read(2 * file.size(), 1000), REFUSED + file);
             EXPECT_TRUE(c.closesWithin(1000));
         }},
        {"header-delay", [](FaultSettings& f) { f.headerDelayMs = 300; },
         [&](Conn& c) {
             auto t = Clock::now();
             c.send(request("20k.bin"));
             EXPECT_EQ(c.read(7), header(20000));
             EXPECT_GE(since(t), 0.29);
         }},
        {"rate", [](FaultSettings& f) { f.rateBytesPerSec = 40000; },
         [&](Conn& c) {
             auto t = Clock::now();
             c.send(request("20k.bin"));
             EXPECT_EQ(c.read(file.size()), file);
             EXPECT_GE(since(t), 0.45);
         }},
    };
    for (const FaultCase& fc : cases) {
        SCOPED_TRACE(fc.name);
        start([&](ServerConfig& cfg) { fc.set(cfg.faults); });
        {
            Conn c(port());
            fc.check(c);
        }
        stopServer();
        server.reset();
    }
}

TEST_F(ServerTest, ScriptFollowsTheFirstHello) {
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(parseScript("# folder commands\npnf new dir\r\nprf a b\n\nsleep 200\npdf old/\nraw 41 42\n", &steps,
                            &error))
        << error;
    start([&](ServerConfig& cfg) { cfg.faults.script = steps; });
    Conn c(port());
    auto t = Clock::now();
    c.send(HELLO);
    std::string first = HELLO + std::string("pnf\x07\x00new dir", 12) + std::string("prf\x01\x00\x01\x00" "ab", 9);
    EXPECT_EQ(c.read(first.size()), first);
    // The rest only after the sleep (measured, not raced: a loaded machine
    // may deliver the first part late).
    EXPECT_EQ(c.read(11, 2000), std::string("pdf\x04\x00old/", 9) + "AB");
    EXPECT_GE(since(t), 0.19);
    // A second hello is answered, the script is not repeated.
    c.send(HELLO);
    EXPECT_EQ(c.read(100, 200), HELLO);

    EXPECT_FALSE(parseScript("pnf a\nmkdir b\n", &steps, &error));
    EXPECT_EQ(error.substr(0, 7), "line 2:");
    EXPECT_FALSE(parseScript("raw 4", &steps, &error));
    EXPECT_FALSE(parseScript("sleep soon", &steps, &error));
    EXPECT_FALSE(parseScript("prf onlyone", &steps, &error));
}

TEST_F(ServerTest, ScriptStepsAfterAFileFollowItsContent) {
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(parseScript("pnf early\nafter-file 2\npnf late\nraw 41\n", &steps, &error)) << error;
    start([&](ServerConfig& cfg) { cfg.faults.script = steps; });
    Conn c(port());
    // Both requests wait in the server before the second file is served.
    c.send(HELLO + request("update.ini") + request("wrp\\KAVO.wrp") + request("update.ini"));
    std::string want = HELLO + std::string("pnf\x05\x00" "early", 10) + header(12) + "version=2.0\n" + header(2500) +
                       pattern(2500) + std::string("pnf\x04\x00" "late", 9) + "A" + header(12) + "version=2.0\n";
    EXPECT_EQ(c.read(want.size()), want);
    for (const char* bad : {"after-file 0\n", "after-file\n", "after-file two\n"})
        EXPECT_FALSE(parseScript(bad, &steps, &error)) << bad;
}

TEST(ServerOptions, ParsesFaultsAndRefusesBadValues) {
    ServerConfig cfg;
    bool help = false;
    std::string error;
    ASSERT_TRUE(parseOptions({"--root", "/srv", "--port", "0", "--wrong-size", "-12", "--version", "2.7",
                              "--stall-after", "100", "--no-answer", "--max-clients", "3"},
                             &cfg, &help, &error))
        << error;
    EXPECT_EQ(cfg.root, "/srv");
    EXPECT_EQ(cfg.port, 0);
    EXPECT_EQ(cfg.faults.wrongSize, -12);
    EXPECT_EQ(cfg.faults.versionMajor, 2);
    EXPECT_EQ(cfg.faults.versionMinor, 7);
    EXPECT_EQ(cfg.faults.stallAfter, 100);
    EXPECT_TRUE(cfg.faults.noAnswer);
    EXPECT_EQ(cfg.maxClients, 3);
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--port", "70000"}, {"--port"}, {"--version", "2"}, {"--header-delay", "-1"}, {"--stall-after", "1x"},
             {"--script", "/nonexistent/script"}, {"--frobnicate"}})
        EXPECT_FALSE(parseOptions(bad, &cfg, &help, &error)) << bad[0];
    ASSERT_TRUE(parseOptions({"--help"}, &cfg, &help, &error));
    EXPECT_TRUE(help);

    // The connection limit leaves a twentieth of the open files and 32 more.
    for (auto [files, clients] : {std::pair<uint64_t, int>{20000, 18968}, {1024, 941}, {40, 6}, {30, 1}})
        EXPECT_EQ(clientsForFileLimit(files), clients) << files;

    // Anything outside 127.0.0.0/8 is refused before a socket exists.
    ServerConfig wide;
    wide.address = "10.1.2.3";
    UpdateServer s(wide, [](const std::string&) {});
    EXPECT_FALSE(s.open(&error));
    EXPECT_NE(error.find("--allow-non-loopback"), std::string::npos) << error;
}

TEST_F(ServerTest, MaxClientsAndCleanStop) {
    start([](ServerConfig& cfg) {
        cfg.maxClients = 1;
        cfg.faults.stallAfter = 100;
    });
    Conn a(port());
    a.send(request("wrp\\KAVO.wrp"));
    EXPECT_EQ(a.read(107), header(2500) + pattern(100));
    Conn b(port());
    EXPECT_TRUE(b.closesWithin(1000));
    EXPECT_TRUE(waitLog("(--max-clients)")) << log();
    EXPECT_EQ(server->openClients(), 1);

    stopServer();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(a.closesWithin(500));
    std::string l = log();
    EXPECT_NE(l.find("aborted after 100 of 2500 content bytes"), std::string::npos) << l;
    EXPECT_NE(l.find("server stopping"), std::string::npos) << l;
    EXPECT_EQ(l.substr(l.size() - 8), "stopped\n");
    EXPECT_EQ(server->openClients(), 0);
}

// A release is published by renaming a link over the root: the transfer in
// flight ends with the file it began, every later request gets the new one.
TEST_F(ServerTest, ReleaseSwitchKeepsTransfersInFlightOnTheirFile) {
    const size_t big = 32u << 20;  // more than the socket buffers hold
    std::string r1 = pattern(big), r2 = r1;
    for (size_t i = 0; i < big; i += 4096) r2[i] = static_cast<char>(~r2[i]);
    for (auto [rel, content, ini] : {std::tuple{"releases/1", &r1, "v1\n"}, std::tuple{"releases/2", &r2, "v2\n"}}) {
        makeFolders(dir / rel);
        writeFile(dir / rel + "/big.bin", *content);
        writeFile(dir / rel + "/update.ini", ini);
    }
    root = dir / "current";
    ASSERT_EQ(symlink("releases/1", root.c_str()), 0);
    start();
    Conn old(port());
    old.send(request("big.bin"));
    EXPECT_EQ(old.read(7 + 1000), header(big) + r1.substr(0, 1000));

    ASSERT_EQ(symlink("releases/2", (dir / "next").c_str()), 0);
    ASSERT_EQ(rename((dir / "next").c_str(), root.c_str()), 0);
    Conn fresh(port());
    fresh.send(request("big.bin") + request("update.ini"));
    EXPECT_TRUE(fresh.read(7 + big + 10, 10000) == header(big) + r2 + header(3) + "v2\n");

    EXPECT_TRUE(old.read(big - 1000, 10000) == r1.substr(1000));
    old.send(request("update.ini"));
    EXPECT_EQ(old.read(10), header(3) + "v2\n");
    EXPECT_TRUE(waitLog("/releases/2 (was ")) << log();
}

// Draining: no new connections, idle ones closed at once, a transfer in
// flight finishes within the drain time or is cut when it runs out.
TEST_F(ServerTest, DrainLetsTransfersInFlightFinish) {
    writeFile(root + "/600k.bin", pattern(600000));
    struct Row {
        const char* name;
        int drainSeconds;
        int64_t rate;
        bool finishes;
    } rows[] = {{"finishes", 10, 1000000, true}, {"drain time over", 1, 100000, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        lines.clear();
        returned = false;
        start([&](ServerConfig& cfg) {
            cfg.drainSeconds = row.drainSeconds;
            cfg.faults.rateBytesPerSec = row.rate;
        });
        Conn idle(port()), busy(port());
        idle.send(HELLO);
        EXPECT_EQ(idle.read(6), HELLO);
        busy.send(request("600k.bin"));
        EXPECT_EQ(busy.read(7), header(600000));
        auto t = Clock::now();
        server->drain();
        EXPECT_TRUE(idle.closesWithin(1000));
        EXPECT_FALSE(Conn(port()).ok());
        std::string got = busy.read(600000, 3000);
        EXPECT_TRUE(busy.closesWithin(3000));
        if (row.finishes) {
            EXPECT_TRUE(got == pattern(600000));
            EXPECT_LT(since(t), 2.5);
        } else {
            EXPECT_LT(got.size(), 600000u);
            EXPECT_GE(since(t), 0.9);
        }
        if (thread.joinable()) thread.join();
        EXPECT_TRUE(returned);
        std::string l = log();
        EXPECT_NE(l.find("draining: not accepting; 2 connected, 1 transfers in flight"), std::string::npos) << l;
        EXPECT_EQ(l.find("drain time over") != std::string::npos, !row.finishes) << l;
        EXPECT_NE(l.find("summary: "), std::string::npos) << l;
        server.reset();
    }
}

}  // namespace
