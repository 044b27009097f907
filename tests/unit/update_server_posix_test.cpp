// The reference update server, started in this process on a free loopback
// port and spoken to with plain sockets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>

#include "net/wire_format.h"
#include "tests/unit/test_support.h"
#include "server/log_queue.h"
#include "server/request_reader.h"
#include "server/server.h"

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
    // One end of a socket pair, the other handed to the server.
    Conn(UpdateServer& server, const std::string& peer) {
        int sv[2] = {-1, -1};
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
        fd_ = sv[0];
        ok_ = server.adopt(sv[1], peer);
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
    // A request that trickles in byte by byte is still one request.
    std::string r = request("wrp\\KAVO.wrp");
    for (char ch : r) {
        c.send(std::string(1, ch));
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    EXPECT_EQ(c.read(7 + 2500), header(2500) + pattern(2500));
    // Requests sent back to back are answered in order.
    c.send(request("update.ini") + request("update_TEST.ini") + request("update.ini"));
    std::string ini = "version=2.0\n";
    EXPECT_EQ(c.read(2 * (7 + ini.size()) + 4), header(ini.size()) + ini + REFUSED + header(ini.size()) + ini);
    EXPECT_EQ(c.read(1, 100), "");
    ASSERT_TRUE(waitLog("\"wrp\\KAVO.wrp\" 2500 bytes: sent 2507 bytes")) << log();
    EXPECT_EQ(server->receivedPrefixes().at(0).substr(0, 6), HELLO);
}

// Only what an installer asks for is served, and only a regular file below
// the root; everything else gets "sfe0" on a connection that stays usable.
TEST_F(ServerTest, ServesOnlyWhatAnInstallerAsksFor) {
    makeFolders(dir / "outside");
    makeFolders(root + "/wrp_TEST");
    makeFolders(root + "/wrp/sub");
    writeFile(dir / "outside/secret", "secret");
    for (const char* f : {"/KAVO_signing.key", "/wrp/KAVO_signing.key", "/launcher.ini", "/wrp/OSKE_ALL.wrp",
                          "/wrp/KAVO.release", "/wrp_TEST/KAVO.wrp", "/update_TEST.ini", "/wrp/sub/X.wrp",
                          "/wrp/a.b.wrp", "/wrp/KAVO.WRP", "/Update.ini", "/launcher_TEST.ini"})
        writeFile(root + f, pattern(100));
    writeFile(root + "/wrp/EMPTY.wrp", "");
    makeFolders(root + "/wrp/DIR.wrp");
    ASSERT_EQ(mkfifo((root + "/wrp_TEST/KAVO.release").c_str(), 0600), 0);  // opening it could block
    ASSERT_EQ(symlink((dir / "outside/secret").c_str(), (root + "/wrp/ESCAPE.wrp").c_str()), 0);
    ASSERT_EQ(symlink("KAVO.wrp", (root + "/wrp/INNER.wrp").c_str()), 0);
    ASSERT_EQ(symlink("../KAVO_signing.key", (root + "/wrp/LEAK.wrp").c_str()), 0);
    // The root itself may be a link: it is how a release is switched.
    ASSERT_EQ(rename(root.c_str(), (dir / "release").c_str()), 0);
    ASSERT_EQ(symlink("release", root.c_str()), 0);
    start();
    struct Row {
        std::string name;
        bool served;
    } rows[] = {
        {"update.ini", true}, {"update_TEST.ini", true}, {"launcher_TEST.ini", true}, {"wrp\\KAVO.wrp", true},
        {"wrp\\OSKE_ALL.wrp", true}, {"wrp\\KAVO.release", true}, {"wrp_TEST\\KAVO.wrp", true},
        // Files that lie there, but no installer asks for them.
        {"KAVO_signing.key", false}, {"wrp\\KAVO_signing.key", false}, {"launcher.ini", false},
        {"Update.ini", false}, {"wrp\\KAVO.WRP", false}, {"wrp\\sub\\X.wrp", false}, {"wrp\\a.b.wrp", false},
        {"wrp/KAVO.wrp", false}, {"wrp\\.wrp", false}, {"update.ini ", false},
        {std::string("update.ini\0x", 12), false}, {"..\\outside\\secret", false}, {"/etc/passwd", false},
        {"C:\\update.ini", false}, {"wrp\\..\\update.ini", false}, {"", false}, {"launcher_TEST.ini\\x", false},
        // Names an installer asks for, but nothing servable behind them: no
        // link below the root is followed, wherever it leads.
        {"wrp\\ESCAPE.wrp", false}, {"wrp\\INNER.wrp", false}, {"wrp\\LEAK.wrp", false},
        {"wrp\\MISSING.wrp", false}, {"wrp\\EMPTY.wrp", false}, {"wrp\\DIR.wrp", false},
        {"wrp_TEST\\KAVO.release", false},
    };
    Conn c(port());
    c.send(HELLO);
    ASSERT_EQ(c.read(6), HELLO);
    for (const Row& r : rows) {
        c.send(request(r.name));
        std::string content = r.name == "update.ini"     ? "version=2.0\n"
                              : r.name == "wrp\\KAVO.wrp" ? pattern(2500)
                                                          : pattern(100);
        if (r.served)
            EXPECT_EQ(c.read(7 + content.size()), header(content.size()) + content) << r.name;
        else
            EXPECT_EQ(c.read(4), REFUSED) << r.name;
    }
    // Nor a folder on the way that is a link, even to a folder of the root.
    ASSERT_EQ(rename((root + "/wrp_TEST").c_str(), (root + "/old_TEST").c_str()), 0);
    ASSERT_EQ(symlink("wrp", (root + "/wrp_TEST").c_str()), 0);
    c.send(request("wrp_TEST\\KAVO.wrp"));
    EXPECT_EQ(c.read(4), REFUSED);
    EXPECT_EQ(c.read(1, 100), "");
    EXPECT_TRUE(waitLog("\"KAVO_signing.key\" refused (not a file an installer asks for)")) << log();
    EXPECT_TRUE(waitLog("\"wrp\\LEAK.wrp\" refused (a link below the root)")) << log();
    EXPECT_TRUE(waitLog("\"wrp_TEST\\KAVO.wrp\" refused (a link below the root)")) << log();
    EXPECT_TRUE(waitLog("\"wrp_TEST\\KAVO.release\" refused (not a regular file)")) << log();
}

TEST(RequestReader, TakesHellosAndRequestsOnly) {
    using K = ClientMessage;
    std::string longName = std::string("rf\xe8\x03", 4) + std::string(1000, 'n');  // one byte over the limit
    struct Row {
        std::string bytes;
        std::vector<std::pair<K::Kind, size_t>> messages;  // kind and bytes taken, in order
    } rows[] = {
        {HELLO, {{K::HELLO, 6}}},
        {HELLO.substr(0, 5), {{K::INCOMPLETE, 0}}},
        {"#", {{K::INCOMPLETE, 0}}},
        {"#g\x01x", {{K::BAD, 1}}},
        {"r", {{K::INCOMPLETE, 0}}},
        {"rp", {{K::BAD, 1}}},
        {"sfe0", {{K::BAD, 1}}},
        {std::string("\0", 1), {{K::BAD, 1}}},
        {request("update.ini") + HELLO, {{K::REQUEST, 14}, {K::HELLO, 6}}},
        {request(""), {{K::REQUEST, 4}}},
        {request(std::string(999, 'n')), {{K::REQUEST, 1003}}},
        {request(std::string(999, 'n')).substr(0, 1002), {{K::INCOMPLETE, 0}}},
        {longName.substr(0, 600), {{K::LONG_REQUEST, 4}, {K::SKIPPED, 596}}},
        {longName + HELLO, {{K::LONG_REQUEST, 4}, {K::SKIPPED, 1000}, {K::HELLO, 6}}},
        {std::string("rf\xff\xff", 4), {{K::LONG_REQUEST, 4}}},
    };
    for (const Row& r : rows) {
        RequestReader reader;
        auto p = reinterpret_cast<const uint8_t*>(r.bytes.data());
        size_t at = 0;
        for (auto [kind, taken] : r.messages) {
            ClientMessage m;
            size_t n = reader.next(p + at, r.bytes.size() - at, &m);
            EXPECT_EQ(m.kind, kind) << r.bytes.substr(0, 12) << " at " << at;
            EXPECT_EQ(n, taken) << r.bytes.substr(0, 12) << " at " << at;
            if (m.kind == K::REQUEST) {
                EXPECT_EQ(m.name, p + at + 4);
            }
            at += n;
        }
    }
}

// Peers that are not installers, or installers gone wrong: each is held to
// its bound, and beside each a good installer's hello is answered within a
// second.
TEST_F(ServerTest, HostileClientsAreHeldToTheirBounds) {
    writeFile(root + "/wrp/BIG.wrp", pattern(8u << 20));
    struct Mode {
        const char* name;
        std::function<void(Conn&)> act;       // what the hostile client does
        std::function<void(Conn&)> bound;     // what must hold afterwards
    };
    std::vector<Mode> modes = {
        {"slow hello: closed when the hello is overdue",
         [](Conn& c) { c.send(HELLO.substr(0, 1)); },
         [](Conn& c) { EXPECT_TRUE(c.closesWithin(3000)); }},
        {"message left unfinished after the hello: closed",
         [](Conn& c) { c.send(HELLO + request("update.ini").substr(0, 7)); },
         [](Conn& c) {
             EXPECT_EQ(c.read(6), HELLO);
             EXPECT_TRUE(c.closesWithin(3000));
         }},
        {"garbage: closed at once, nothing answered",
         [](Conn& c) { c.send(HELLO + "\x17garbage" + HELLO); },
         [&](Conn& c) {
             auto t = Clock::now();
             EXPECT_TRUE(c.closesWithin(1000));
             EXPECT_LT(since(t), 0.5);
             EXPECT_TRUE(waitLog("sent \"\\x17g\", which no installer sends")) << log();
         }},
        {"long names queued behind a transfer never read: refused unread, reading stops",
         [](Conn& c) {
             c.send(HELLO + request("wrp\\BIG.wrp"));
             std::string longReq = std::string("rf\xff\xff", 4) + std::string(65535, 'n');
             int fl = fcntl(c.fd(), F_GETFL);
             fcntl(c.fd(), F_SETFL, fl | O_NONBLOCK);
             auto t = Clock::now();
             for (int i = 0; i < 1023 && since(t) < 2; ++i) {
                 size_t at = 0;
                 while (at < longReq.size() && since(t) < 2) {
                     ssize_t w = ::send(c.fd(), longReq.data() + at, longReq.size() - at, MSG_NOSIGNAL);
                     if (w > 0) at += static_cast<size_t>(w);
                     else std::this_thread::sleep_for(std::chrono::milliseconds(5));
                 }
             }
             fcntl(c.fd(), F_SETFL, fl);
         },
         [&](Conn& c) {
             UpdateServer::Peaks p = server->peaks();
             EXPECT_LE(p.jobs, 8u);
             EXPECT_LE(p.inputBytes, 16u * 1024);
             EXPECT_FALSE(c.closesWithin(200));  // held back, not dropped: it is still a transfer
         }},
        {"pipelined hellos: every one answered in order, logged once",
         [](Conn& c) {
             std::string many;
             for (int i = 0; i < 5000; ++i) many += HELLO;
             c.send(many + request("update.ini"));
         },
         [&](Conn& c) {
             std::string want;
             for (int i = 0; i < 5000; ++i) want += HELLO;
             EXPECT_TRUE(c.read(want.size(), 5000) == want);
             EXPECT_EQ(c.read(7 + 12), header(12) + "version=2.0\n");
             EXPECT_LE(server->peaks().jobs, 8u);
         }},
        {"more requests than the queue holds, then a half-close: all answered in order",
         [](Conn& c) {
             std::string many = HELLO;
             for (int i = 0; i < 20; ++i) many += request(i % 2 ? "update.ini" : "wrp\\KAVO.wrp");
             c.send(many);
             shutdown(c.fd(), SHUT_WR);
         },
         [](Conn& c) {
             std::string want = HELLO;
             for (int i = 0; i < 20; ++i) want += i % 2 ? header(12) + "version=2.0\n" : header(2500) + pattern(2500);
             EXPECT_TRUE(c.read(want.size() + 1) == want);
             EXPECT_TRUE(c.closesWithin(1000));
         }},
        {"half-close after the request: the answer still comes",
         [](Conn& c) {
             c.send(HELLO + request("update.ini"));
             shutdown(c.fd(), SHUT_WR);
         },
         [](Conn& c) {
             EXPECT_EQ(c.read(6 + 7 + 12 + 1), HELLO + header(12) + "version=2.0\n");
             EXPECT_TRUE(c.closesWithin(1000));
         }},
    };
    start([](ServerConfig& cfg) {
        cfg.helloSeconds = 1;
        cfg.partialSeconds = 1;
    });
    for (const Mode& m : modes) {
        SCOPED_TRACE(m.name);
        Conn hostile(port());
        m.act(hostile);
        Conn good(port());
        auto t = Clock::now();
        good.send(HELLO);
        EXPECT_EQ(good.read(6), HELLO);
        EXPECT_LT(since(t), 1.0);
        m.bound(hostile);
    }
    std::string l = log();
    EXPECT_NE(l.find(", 5000 hellos"), std::string::npos) << l;
    EXPECT_NE(l.find("no hello for 1 s"), std::string::npos) << l;
    EXPECT_NE(l.find("message left unfinished for 1 s"), std::string::npos) << l;
}

// A request beyond the transfer limit waits its turn instead of failing to
// open its file.
TEST_F(ServerTest, RequestsBeyondTheTransferLimitWaitTheirTurn) {
    writeFile(root + "/wrp/BIG.wrp", pattern(8u << 20));
    start([](ServerConfig& cfg) { cfg.maxTransfers = 1; });
    Conn hog(port()), next(port());
    hog.send(request("wrp\\BIG.wrp"));
    EXPECT_EQ(hog.read(7), header(8u << 20));
    next.send(request("update.ini"));
    EXPECT_EQ(next.read(1, 300), "");
    EXPECT_TRUE(hog.read(8u << 20, 5000) == pattern(8u << 20));
    EXPECT_EQ(next.read(7 + 12), header(12) + "version=2.0\n");
}

// A stdout nobody reads (a stalled journal) holds up nothing: installers are
// answered, SIGTERM ends the program, and lines that do not fit are counted.
TEST(ServerProgram, CarriesOnWhileStdoutIsBlocked) {
    ScratchDir dir("srvout");
    makeFolders(dir / "root");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    std::string portFile = dir / "port";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(UPDATE_SERVER_EXE, UPDATE_SERVER_EXE, "--root", (dir / "root").c_str(), "--port", "0", "--port-file",
              portFile.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    uint16_t port = 0;
    for (int i = 0; i < 200 && port == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        port = static_cast<uint16_t>(atoi(readFile(portFile).c_str()));
    }
    ASSERT_NE(port, 0);
    // Each connection logs three lines: far more than the pipe holds.
    int answered = 0;
    for (int i = 0; i < 1500; ++i) {
        Conn c(port);
        c.send(HELLO);
        answered += c.read(6) == HELLO;
    }
    EXPECT_EQ(answered, 1500);
    Conn last(port);
    auto t = Clock::now();
    last.send(HELLO);
    EXPECT_EQ(last.read(6), HELLO);
    EXPECT_LT(since(t), 1.0);
    kill(pid, SIGTERM);
    int status = -1;
    t = Clock::now();
    while (waitpid(pid, &status, WNOHANG) == 0 && since(t) < 5) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_LT(since(t), 4.0);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(out[0]);

    // The queue itself: what does not fit is counted, and the count is taken.
    int blocked[2];
    ASSERT_EQ(pipe(blocked), 0);
    fcntl(blocked[1], F_SETFL, O_NONBLOCK);
    std::string fill(4096, 'x');
    while (write(blocked[1], fill.data(), fill.size()) > 0) {
    }
    fcntl(blocked[1], F_SETFL, 0);
    {
        LogQueue q(blocked[1], 100);  // one line fits, and one may be on its way
        for (int i = 0; i < 10; ++i) q.push("a line of some forty characters or so");
        EXPECT_GE(q.takeDropped(), 8u);
        EXPECT_EQ(q.takeDropped(), 0u);
    }
    // The writer is still blocked: ending the reader frees it.
    close(blocked[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    close(blocked[1]);
}

TEST_F(ServerTest, ClientThatNeverReadsDoesNotHoldUpTheOthers) {
    const size_t big = 50u << 20;
    writeFile(root + "/wrp/BIG.wrp", pattern(big));
    writeFile(root + "/wrp/MID.wrp", pattern(1u << 20));
    start();
    Conn idle(port());
    idle.send(request("wrp\\BIG.wrp"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    auto t = Clock::now();
    std::vector<std::unique_ptr<Conn>> others;
    for (int i = 0; i < 4; ++i) others.push_back(std::make_unique<Conn>(port()));
    for (auto& c : others) c->send(request("wrp\\MID.wrp"));
    for (auto& c : others) EXPECT_EQ(c->read(7 + (1u << 20)), header(1u << 20) + pattern(1u << 20));
    EXPECT_LT(since(t), 2.0);

    // The idle client now reads its whole file: intact, and the server never
    // held more than its per-client buffer for it.
    EXPECT_EQ(idle.read(7 + big, 5000), header(big) + pattern(big));
    EXPECT_LE(server->peaks().outputBytes, ServerConfig().outputBufferBytes + 64);
}

struct FaultCase {
    const char* name;
    std::function<void(FaultSettings&)> set;
    std::function<void(Conn&)> check;
};

TEST_F(ServerTest, FaultOptionsShowOnTheWire) {
    writeFile(root + "/wrp/20k.wrp", pattern(20000));
    const std::string file = header(20000) + pattern(20000);
    FaultCase cases[] = {
        {"refuse-all", [](FaultSettings& f) { f.refuseAll = true; },
         [&](Conn& c) { c.send(request("wrp\\20k.wrp")); EXPECT_EQ(c.read(8, 300), REFUSED); }},
        {"version", [](FaultSettings& f) { f.versionMajor = 2; f.versionMinor = 0; },
         [&](Conn& c) { c.send(HELLO); EXPECT_EQ(c.read(6), std::string("\x23\x76\x02\x00\x00\x00", 6)); }},
        {"no-hello", [](FaultSettings& f) { f.noHello = true; },
         [&](Conn& c) { c.send(HELLO + request("wrp\\20k.wrp")); EXPECT_EQ(c.read(file.size()), file); }},
        {"no-answer", [](FaultSettings& f) { f.noAnswer = true; },
         [&](Conn& c) { c.send(HELLO + request("wrp\\20k.wrp")); EXPECT_EQ(c.read(100, 300), HELLO); }},
        {"wrong-size down", [](FaultSettings& f) { f.wrongSize = -3; },
         [&](Conn& c) { c.send(request("wrp\\20k.wrp")); EXPECT_EQ(c.read(file.size() + 1, 300), header(19997) + pattern(20000)); }},
        {"wrong-size up", [](FaultSettings& f) { f.wrongSize = 5; },
         [&](Conn& c) { c.send(request("wrp\\20k.wrp")); EXPECT_EQ(c.read(file.size() + 1, 300), header(20005) + pattern(20000)); }},
        {"stall-after", [](FaultSettings& f) { f.stallAfter = 10000; },
         [&](Conn& c) {
             c.send(request("wrp\\20k.wrp") + request("wrp\\20k.wrp"));
             EXPECT_EQ(c.read(file.size(), 300), file.substr(0, 7 + 10000));
             EXPECT_FALSE(c.closesWithin(200));
         }},
        {"close-after", [](FaultSettings& f) { f.closeAfter = 10000; },
         [&](Conn& c) {
             c.send(request("wrp\\20k.wrp"));
             EXPECT_EQ(c.read(file.size(), 1000), file.substr(0, 7 + 10000));
             EXPECT_TRUE(c.closesWithin(1000));
         }},
        {"quit-after-requests", [](FaultSettings& f) { f.quitAfterRequests = 2; },
         [&](Conn& c) {
             c.send(request("wrp\\NOPE.wrp") + request("wrp\\20k.wrp") + request("wrp\\20k.wrp"));
             EXPECT_EQ(c.read(2 * file.size(), 1000), REFUSED + file);
             EXPECT_TRUE(c.closesWithin(1000));
         }},
        {"header-delay", [](FaultSettings& f) { f.headerDelayMs = 300; },
         [&](Conn& c) {
             auto t = Clock::now();
             c.send(request("wrp\\20k.wrp"));
             EXPECT_EQ(c.read(7), header(20000));
             EXPECT_GE(since(t), 0.29);
         }},
        {"rate", [](FaultSettings& f) { f.rateBytesPerSec = 40000; },
         [&](Conn& c) {
             auto t = Clock::now();
             c.send(request("wrp\\20k.wrp"));
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

    // The connection limit leaves a twentieth of the open files and 32 more;
    // the transfers take that, less the server's own few, so that every
    // accepted transfer can open its file.
    for (auto [files, clients, transfers] : {std::tuple<uint64_t, int, int>{20000, 18968, 1016}, {1024, 941, 67},
                                             {200, 158, 26}, {40, 6, 18}, {30, 1, 13}, {10, 1, 1}}) {
        EXPECT_EQ(clientsForFileLimit(files), clients) << files;
        EXPECT_EQ(transfersForFileLimit(files), transfers) << files;
    }

    // The fault options are for tests, never beside a public address.
    ServerConfig faulty;
    ASSERT_TRUE(parseOptions({"--allow-non-loopback", "--address", "10.1.2.3", "--refuse-all"}, &faulty, &help, &error));
    UpdateServer f(faulty, [](const std::string&) {});
    EXPECT_FALSE(f.open(&error));
    EXPECT_NE(error.find("fault options"), std::string::npos) << error;

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

// A socket handed over in-process is a client like any other: served (a
// file larger than the socket's buffer, so sending waits for it to drain),
// held to the connection limit, and closed when the server stops.
TEST_F(ServerTest, AdoptedSocketsAreServedAndLimitedLikeAcceptedOnes) {
    writeFile(root + "/wrp/BIG.wrp", pattern(1 << 20));
    start([](ServerConfig& cfg) { cfg.maxClients = 1; });
    Conn a(*server, "pair one");
    ASSERT_TRUE(a.ok());
    a.send(HELLO + request("wrp\\BIG.wrp"));
    EXPECT_TRUE(a.read(6 + 7 + (1 << 20)) == HELLO + header(1 << 20) + pattern(1 << 20));
    EXPECT_TRUE(waitLog(" open pair one\n")) << log();

    Conn b(*server, "pair two");
    EXPECT_TRUE(b.ok());
    EXPECT_TRUE(b.closesWithin(1000));
    EXPECT_TRUE(waitLog("refused pair two: the connection limit of 1")) << log();

    stopServer();
    EXPECT_TRUE(a.closesWithin(500));
    Conn late(*server, "late");
    EXPECT_FALSE(late.ok());
    EXPECT_TRUE(late.closesWithin(500));
}

// A release is published by renaming a link over the root: the transfer in
// flight ends with the file it began, every later request gets the new one.
TEST_F(ServerTest, ReleaseSwitchKeepsTransfersInFlightOnTheirFile) {
    const size_t big = 32u << 20;  // more than the socket buffers hold
    std::string r1 = pattern(big), r2 = r1;
    for (size_t i = 0; i < big; i += 4096) r2[i] = static_cast<char>(~r2[i]);
    for (auto [rel, content, ini] : {std::tuple{"releases/1", &r1, "v1\n"}, std::tuple{"releases/2", &r2, "v2\n"}}) {
        makeFolders(dir / rel);
        makeFolders(dir / rel + "/wrp");
        writeFile(dir / rel + "/wrp/BIG.wrp", *content);
        writeFile(dir / rel + "/update.ini", ini);
    }
    root = dir / "current";
    ASSERT_EQ(symlink("releases/1", root.c_str()), 0);
    start();
    Conn old(port());
    old.send(request("wrp\\BIG.wrp"));
    EXPECT_EQ(old.read(7 + 1000), header(big) + r1.substr(0, 1000));

    ASSERT_EQ(symlink("releases/2", (dir / "next").c_str()), 0);
    ASSERT_EQ(rename((dir / "next").c_str(), root.c_str()), 0);
    Conn fresh(port());
    fresh.send(request("wrp\\BIG.wrp") + request("update.ini"));
    EXPECT_TRUE(fresh.read(7 + big + 10, 10000) == header(big) + r2 + header(3) + "v2\n");

    EXPECT_TRUE(old.read(big - 1000, 10000) == r1.substr(1000));
    old.send(request("update.ini"));
    EXPECT_EQ(old.read(10), header(3) + "v2\n");
    EXPECT_TRUE(waitLog("/releases/2 (was ")) << log();
}

// Draining: no new connections, idle ones closed at once, a transfer in
// flight finishes within the drain time or is cut when it runs out.
TEST_F(ServerTest, DrainLetsTransfersInFlightFinish) {
    writeFile(root + "/wrp/600k.wrp", pattern(600000));
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
        busy.send(request("wrp\\600k.wrp"));
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
