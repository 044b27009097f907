// Connecting, the hello, the read and close reactions and the reconnect
// question, against listeners on loopback addresses of this test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "app/globals.h"
#include "base/textbuf.h"
#include "net/connection.h"
#include "net/download.h"
#include "net/link.h"
#include "platform/sys.h"
#include "tests/unit/fake_ui.h"

#if defined(_WIN32)
#include <winsock2.h>
typedef int socklen_t;
#define closeNative closesocket
typedef SOCKET NativeSocket;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#define closeNative ::close
typedef int NativeSocket;
#endif

namespace {

// A listener on addr:49491, the installer's fixed port.
struct Listener {
    NativeSocket fd;
    explicit Listener(const char* addr, int backlog = 4) {
        sysNetStart();
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(SERVER_PORT);
        sa.sin_addr.s_addr = inet_addr(addr);
        ok = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && listen(fd, backlog) == 0;
    }
    ~Listener() { closeNative(fd); }
    NativeSocket accept() { return ::accept(fd, nullptr, nullptr); }
    bool ok = false;
};

std::string recvSome(NativeSocket s, size_t n) {
    std::string out;
    char buf[64];
    while (out.size() < n) {
        int r = recv(s, buf, static_cast<int>(std::min(sizeof buf, n - out.size())), 0);
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

int countPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

class Connection : public ::testing::Test {
protected:
    void SetUp() override { resetAppState(); }
    void TearDown() override {
        if (serverSocket != SYS_NO_SOCKET) sysSocketClose(serverSocket);
        serverSocket = SYS_NO_SOCKET;
        linkRole = 0;
        downloadActive = false;
    }
    void useAddress(const char* a) { copyText(serverAddress, sizeof serverAddress, a); }
};

TEST(ParseIPv4, DottedQuadsOnly) {
    uint8_t b[4] = {9, 9, 9, 9};
    EXPECT_TRUE(parseIPv4("127.0.0.1", b));
    EXPECT_EQ(b[0], 127);
    EXPECT_EQ(b[3], 1);
    for (const char* bad : {"300.1.1.1", "10.2.3", "10.2.3.4.5", "a.b.c.d", "", "1..2.3", " 10.2.3.4", "10.2.3.4 ",
                            "1.2.3.1000"}) {
        uint8_t keep[4] = {5, 6, 7, 8};
        EXPECT_FALSE(parseIPv4(bad, keep)) << bad;
        EXPECT_EQ(keep[0], 5) << "left unchanged: " << bad;
    }
}

// Each test listens on a loopback address of its own, on the fixed port.
TEST_F(Connection, ConnectSendsTheHelloFirst) {
    Listener server("127.0.99.11");
    ASSERT_TRUE(server.ok);
    useAddress("127.0.99.11");
    EXPECT_EQ(connectToServer(), 1);
    EXPECT_EQ(linkRole, 2);
    NativeSocket peer = server.accept();
    EXPECT_EQ(recvSome(peer, 6), std::string("\x23\x76\x01\x00\x03\x00", 6));
    EXPECT_EQ(fakeUi.list, (std::vector<std::string>{"connecting to HOST (127.0.99.11:49491)...",
                                                     "connection established!"}));
    closeNative(peer);
}

TEST_F(Connection, RefusedConnectLeavesNoSocket) {
    useAddress("127.0.99.12");  // nothing listens there
    EXPECT_EQ(connectToServer(), 0);
    EXPECT_EQ(serverSocket, SYS_NO_SOCKET);
    EXPECT_EQ(linkRole, 0);
    EXPECT_EQ(countPrefix(fakeUi.list, "failed to connect! - 10061"), 1);
}

TEST_F(Connection, UnconvertibleAddressReusesThePreviousOne) {
    Listener server("127.0.99.15");
    ASSERT_TRUE(server.ok);
    useAddress("127.0.99.15");
    ASSERT_EQ(connectToServer(), 1);
    // Not an address: the attempt goes to the bytes of the previous one.
    useAddress("300.1.1.1");
    EXPECT_EQ(connectToServer(), 1);
    EXPECT_EQ(countPrefix(fakeUi.list, "connecting to HOST (300.1.1.1:49491)..."), 1);
}

TEST_F(Connection, UnspecifiedAddressIsNoDestination) {
    // 0.0.0.0 would reach a local listener on some hosts; it never does here.
    useAddress("0.0.0.0");
    EXPECT_EQ(connectToServer(), 0);
    EXPECT_EQ(countPrefix(fakeUi.list, "failed to connect! - 10049"), 1);
}

TEST_F(Connection, ReadNotificationLeavesDataToARunningDownload) {
    Listener server("127.0.99.13");
    ASSERT_TRUE(server.ok);
    useAddress("127.0.99.13");
    ASSERT_EQ(connectToServer(), 1);
    NativeSocket peer = server.accept();
    recvSome(peer, 6);
    send(peer, "#v\x02\x00\x00\x00", 6, 0);
    sysSleepMs(100);
    downloadActive = true;
    onServerSocketEvent(NET_EVENT_READ);
    EXPECT_EQ(countPrefix(fakeUi.list, "wrong version"), 0);
    downloadActive = false;
    onServerSocketEvent(NET_EVENT_READ);
    EXPECT_EQ(countPrefix(fakeUi.list, "wrong version 1.3->2.0"), 1);
    closeNative(peer);
}

TEST_F(Connection, CloseAsksUntilNoAndQuits) {
    // The server is gone: Yes tries again (and fails), No quits.
    useAddress("127.0.99.14");
    linkRole = 2;
    serverSocket = sysSocketOpen();
    fakeUi.answers = {true, false};
    onServerSocketEvent(NET_EVENT_CLOSE);
    EXPECT_EQ(countPrefix(fakeUi.list, "connection is down!"), 2);
    EXPECT_EQ(countPrefix(fakeUi.list, "failed to connect! - "), 1);
    ASSERT_EQ(fakeUi.questions.size(), 2u);
    EXPECT_EQ(fakeUi.questions[0].title, "Network");
    EXPECT_EQ(fakeUi.questions[0].text,
              "KAVO has been disconnected from the server!\nDo you want to try to reconnect?");
    EXPECT_EQ(fakeUi.quitCount, 1);
    EXPECT_EQ(serverSocket, SYS_NO_SOCKET);
    // A close notification while unconnected does nothing.
    onServerSocketEvent(NET_EVENT_CLOSE);
    EXPECT_EQ(fakeUi.questions.size(), 2u);
    onServerSocketEvent(7);  // other events do nothing either
    EXPECT_EQ(fakeUi.questions.size(), 2u);
}

}  // namespace
