// The reference update server: accepting and polling clients, closing
// them, and the public server object (open, run, stop, statistics).
#include "tools/update_server/server_internal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "net/wire_format.h"

namespace update_server {

void UpdateServer::Impl::acceptAll() {
    for (;;) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        int fd = accept(listenFd, reinterpret_cast<sockaddr*>(&sa), &len);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                say(format("accept failed: %s", strerror(errno)));
            return;
        }
        setNonBlocking(fd);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
        std::string peer = format("%s:%u", ip, ntohs(sa.sin_port));
        if (static_cast<int>(clients.size()) >= cfg.maxClients) {
            say(format("refused %s: %d clients already connected (--max-clients)", peer.c_str(), cfg.maxClients));
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Client>();
        c->fd = fd;
        c->id = nextId++;
        c->peer = peer;
        c->opened = Clock::now();
        {
            std::lock_guard<std::mutex> lock(statsMutex);
            c->prefixIndex = prefixes.size();
            prefixes.emplace_back();
        }
        say(format("%s open %s", tag(*c).c_str(), peer.c_str()));
        clients.push_back(std::move(c));
        ++openCount;
    }
}

void UpdateServer::Impl::closeClient(Client& c, const std::string& reason) {
    if (c.dead) return;
    if (c.xfer.active) {
        say(format("%s \"%s\" aborted after %llu of %llu content bytes", tag(c).c_str(), printable(c.xfer.name).c_str(),
                   static_cast<unsigned long long>(std::min(c.xfer.produced, contentSent(c))),
                   static_cast<unsigned long long>(c.xfer.size)));
        closeFile(c.xfer);
    }
    for (const Finished& f : c.finished)
        say(format("%s %s: aborted, %llu of %llu bytes sent", tag(c).c_str(), f.text.c_str(),
                   static_cast<unsigned long long>(c.sentTotal > f.startOffset ? c.sentTotal - f.startOffset : 0),
                   static_cast<unsigned long long>(f.endOffset - f.startOffset)));
    c.finished.clear();
    close(c.fd);
    c.fd = -1;
    c.dead = true;
    --openCount;
    std::string extra = c.ignored ? format(", %llu messages ignored", static_cast<unsigned long long>(c.ignored)) : "";
    say(format("%s close %s: %s; %.3f s, received %llu bytes, sent %llu bytes, %d requests%s", tag(c).c_str(),
               c.peer.c_str(), reason.c_str(), secondsSince(c.opened, Clock::now()),
               static_cast<unsigned long long>(c.receivedTotal), static_cast<unsigned long long>(c.sentTotal),
               c.completed, extra.c_str()));
}

// Content bytes of the running transfer that the socket already took.
uint64_t UpdateServer::Impl::contentSent(const Client& c) const {
    uint64_t headerEnd = c.xfer.startOffset + (c.xfer.headerSent ? FILE_HEADER_MSG_SIZE : 0);
    return c.sentTotal > headerEnd ? c.sentTotal - headerEnd : 0;
}

void UpdateServer::Impl::closeFile(Transfer& x) {
    if (x.fd >= 0) close(x.fd);
    x.fd = -1;
    x.active = false;
}

void UpdateServer::Impl::loop() {
    std::vector<pollfd> fds;
    while (!stopRequested.load()) {
        Clock::time_point now = Clock::now();
        Clock::time_point wake = Clock::time_point::max();
        for (auto& c : clients) {
            if (c->dead) continue;
            if (c->lingering && now >= c->lingerUntil) {
                closeClient(*c, c->closeReason);
                continue;
            }
            // Fill, send what the socket takes, refill what that freed,
            // until the socket is full (poll then reports when it drains)
            // or there is nothing more to send right now.  The rounds are
            // capped so one fast client does not starve the others; if
            // the cap is hit, poll returns at once for another turn.
            for (int round = 0; !c->dead; ++round) {
                uint64_t before = c->queuedTotal;
                Clock::time_point w = advance(*c, now);
                flush(*c, now);
                if (c->dead) break;
                bool moved = c->queuedTotal != before;
                if (c->out.pending() > 0 || !moved) {
                    wake = std::min(wake, w);
                    break;
                }
                if (round == 8) {
                    wake = now;
                    break;
                }
            }
            if (c->lingering) wake = std::min(wake, c->lingerUntil);
        }
        clients.erase(std::remove_if(clients.begin(), clients.end(), [](const auto& c) { return c->dead; }),
                      clients.end());

        fds.clear();
        fds.push_back({wakeRead, POLLIN, 0});
        fds.push_back({listenFd, POLLIN, 0});
        for (auto& c : clients) {
            short ev = 0;
            if (wantsInput(*c)) ev |= POLLIN;
            if (c->out.pending() > 0) ev |= POLLOUT;
            fds.push_back({c->fd, ev, 0});
        }
        int timeout = -1;
        if (wake != Clock::time_point::max()) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count() + 1;
            timeout = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
        }
        int r = poll(fds.data(), fds.size(), timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            say(format("poll failed: %s", strerror(errno)));
            break;
        }
        if (fds[0].revents) {
            char b[64];
            while (read(wakeRead, b, sizeof b) > 0) {
            }
        }
        if (fds[1].revents & POLLIN) acceptAll();
        now = Clock::now();
        // Clients accepted just now are past the end of fds.
        for (size_t i = 2; i < fds.size(); ++i) {
            Client& c = *clients[i - 2];
            short re = fds[i].revents;
            if (!re || c.dead) continue;
            if (re & (POLLIN | POLLHUP | POLLERR)) readFrom(c);
            if (!c.dead && (re & POLLOUT)) flush(c, now);
            // A hang-up or error the read above did not settle (the client
            // was not being read) would make poll() return at once forever.
            if (!c.dead && (re & (POLLHUP | POLLERR))) closeClient(c, re & POLLERR ? "socket error" : "peer hung up");
        }
    }
    for (auto& c : clients) closeClient(*c, "server stopping");
    clients.clear();
}

UpdateServer::UpdateServer(ServerConfig config, LogSink log) : impl_(new Impl) {
    impl_->cfg = std::move(config);
    impl_->log = std::move(log);
}

UpdateServer::~UpdateServer() {
    for (auto& c : impl_->clients)
        if (!c->dead) close(c->fd);
    if (impl_->listenFd >= 0) close(impl_->listenFd);
    if (impl_->wakeRead >= 0) close(impl_->wakeRead);
    if (impl_->wakeWrite >= 0) close(impl_->wakeWrite);
    if (impl_->dump) fclose(impl_->dump);
}

bool UpdateServer::open(std::string* error) {
    Impl& d = *impl_;
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    in_addr addr{};
    if (inet_pton(AF_INET, d.cfg.address.c_str(), &addr) != 1) return fail("not an IPv4 address: " + d.cfg.address);
    if ((ntohl(addr.s_addr) >> 24) != 127 && !d.cfg.allowNonLoopback)
        return fail("refusing to listen on " + d.cfg.address + " outside 127.0.0.0/8 without --allow-non-loopback");
    if (d.cfg.port < 0 || d.cfg.port > 65535) return fail("bad port " + std::to_string(d.cfg.port));
    if (d.cfg.maxClients < 1) return fail("--max-clients must be at least 1");
    if (d.cfg.outputBufferBytes < 1024) d.cfg.outputBufferBytes = 1024;

    char* real = realpath(d.cfg.root.c_str(), nullptr);
    if (!real) return fail("root folder \"" + d.cfg.root + "\": " + strerror(errno));
    d.rootReal = real;
    free(real);
    struct stat st {};
    if (stat(d.rootReal.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return fail("root is not a folder: " + d.rootReal);

    int p[2];
    if (pipe(p) != 0) return fail(std::string("pipe: ") + strerror(errno));
    d.wakeRead = p[0];
    d.wakeWrite = p[1];
    for (int fd : p) {
        setNonBlocking(fd);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }

    d.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (d.listenFd < 0) return fail(std::string("socket: ") + strerror(errno));
    int one = 1;
    setsockopt(d.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = addr;
    sa.sin_port = htons(static_cast<uint16_t>(d.cfg.port));
    if (bind(d.listenFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        return fail(format("bind %s:%d: %s", d.cfg.address.c_str(), d.cfg.port, strerror(errno)));
    if (listen(d.listenFd, 64) != 0) return fail(std::string("listen: ") + strerror(errno));
    setNonBlocking(d.listenFd);
    socklen_t len = sizeof sa;
    getsockname(d.listenFd, reinterpret_cast<sockaddr*>(&sa), &len);
    d.boundPort = ntohs(sa.sin_port);

    if (!d.cfg.dumpReceived.empty()) {
        d.dump = fopen(d.cfg.dumpReceived.c_str(), "wb");
        if (!d.dump) return fail("--dump-received \"" + d.cfg.dumpReceived + "\": " + strerror(errno));
    }
    if (!d.cfg.portFile.empty()) {
        // Written under another name and renamed, so that a script waiting
        // for the file never reads it half-written.
        std::string tmp = d.cfg.portFile + ".tmp";
        FILE* f = fopen(tmp.c_str(), "w");
        if (!f) return fail("--port-file \"" + d.cfg.portFile + "\": " + strerror(errno));
        fprintf(f, "%u\n", d.boundPort);
        bool ok = fclose(f) == 0 && rename(tmp.c_str(), d.cfg.portFile.c_str()) == 0;
        if (!ok) return fail("--port-file \"" + d.cfg.portFile + "\": " + strerror(errno));
    }
    d.say(format("listening on %s:%u, serving %s", d.cfg.address.c_str(), d.boundPort, d.rootReal.c_str()));
    return true;
}

uint16_t UpdateServer::port() const { return impl_->boundPort; }

void UpdateServer::run() {
    if (impl_->listenFd < 0) return;
    impl_->loop();
    close(impl_->listenFd);
    impl_->listenFd = -1;
    impl_->say("stopped");
}

void UpdateServer::stop() {
    impl_->stopRequested.store(true);
    if (impl_->wakeWrite >= 0) {
        ssize_t r = write(impl_->wakeWrite, "x", 1);
        (void)r;
    }
}

std::vector<std::string> UpdateServer::receivedPrefixes() const {
    std::lock_guard<std::mutex> lock(impl_->statsMutex);
    return impl_->prefixes;
}

size_t UpdateServer::peakOutputBuffered() const {
    std::lock_guard<std::mutex> lock(impl_->statsMutex);
    return impl_->peakBuffered;
}

int UpdateServer::openClients() const { return impl_->openCount.load(); }

}  // namespace update_server
