#include "tests/unit/loopback_pair.h"

#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
typedef int socklen_t;
#define closeSocket closesocket
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#define closeSocket ::close
#endif

namespace {
typedef decltype(socket(0, 0, 0)) NativeSocket;
NativeSocket native(SysSocket s) { return static_cast<NativeSocket>(s); }
}  // namespace

bool LoopbackPair::open() {
    close();
    sysNetStart();
    NativeSocket listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    bool ok = bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(listener, 1) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    NativeSocket client = socket(AF_INET, SOCK_STREAM, 0);
    ok = ok && connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    NativeSocket server = ok ? accept(listener, nullptr, nullptr) : static_cast<NativeSocket>(-1);
    closeSocket(listener);
    installer = static_cast<SysSocket>(client);
    peer = static_cast<SysSocket>(server);
    if (!ok || peer == SYS_NO_SOCKET) {
        close();
        return false;
    }
    int on = 1;
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return sysSocketWatch(installer) == 0;
}

void LoopbackPair::closePeer() {
    if (peer != SYS_NO_SOCKET) closeSocket(native(peer));
    peer = SYS_NO_SOCKET;
}

void LoopbackPair::resetPeer() {
    if (peer == SYS_NO_SOCKET) return;
    linger l = {1, 0};
    setsockopt(native(peer), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    closePeer();
}

void LoopbackPair::close() {
    closePeer();
    if (installer != SYS_NO_SOCKET) closeSocket(native(installer));
    installer = SYS_NO_SOCKET;
}

bool LoopbackPair::peerSend(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        int r = send(native(peer), bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

std::string LoopbackPair::peerRecv(int max, int timeoutMs) {
    std::string out;
    std::vector<char> buf(static_cast<size_t>(max));
    double end = nowSeconds() + timeoutMs / 1000.0;
    while (static_cast<int>(out.size()) < max && nowSeconds() < end) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(native(peer), &readable);
        timeval tv = {0, 20000};
        if (select(static_cast<int>(native(peer)) + 1, &readable, nullptr, nullptr, &tv) <= 0) continue;
        int r = recv(native(peer), buf.data(), max - static_cast<int>(out.size()), 0);
        if (r <= 0) break;
        out.append(buf.data(), static_cast<size_t>(r));
    }
    return out;
}

void LoopbackPair::shrinkBuffers(int bytes) {
    setsockopt(native(installer), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
    setsockopt(native(peer), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

std::string peekWaiting(SysSocket s) {
    std::vector<char> buf(1 << 20);
    int r = sysRecv(s, buf.data(), static_cast<int>(buf.size()), true);
    return r > 0 ? std::string(buf.data(), static_cast<size_t>(r)) : std::string();
}

bool waitWaiting(SysSocket s, size_t n) {
    double end = nowSeconds() + 3.0;
    while (peekWaiting(s).size() < n) {
        if (nowSeconds() > end) return false;
        sysSleepMs(1);
    }
    return true;
}
