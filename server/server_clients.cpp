// The reference update server: accepting and polling clients, closing
// them, and the public server object (open, run, stop, statistics).
#include "server/server_internal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "net/wire_format.h"

namespace update_server {

namespace {

std::string megabytes(uint64_t bytes) { return format("%.1f MB", static_cast<double>(bytes) / 1048576.0); }

}  // namespace

int clientsForFileLimit(uint64_t openFiles) {
    uint64_t reserve = openFiles / 20 + 32;
    if (openFiles <= reserve) return 1;
    return static_cast<int>(std::min<uint64_t>(openFiles - reserve, INT_MAX));
}

int transfersForFileLimit(uint64_t openFiles) {
    uint64_t used = static_cast<uint64_t>(clientsForFileLimit(openFiles)) + OWN_FILES;
    return openFiles > used ? static_cast<int>(std::min<uint64_t>(openFiles - used, INT_MAX)) : 1;
}

void UpdateServer::Impl::acceptAll() {
    for (;;) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors (something beside the server uses
                // them): the waiting connection would wake the loop at once
                // forever, so stop listening for a moment.  One line a
                // second at most; the rest are counted.
                Clock::time_point now = Clock::now();
                if (acceptFailLogged == Clock::time_point{} || now - acceptFailLogged >= std::chrono::seconds(1)) {
                    std::string more = acceptFailures ? format(" (%llu more since the last line)",
                                                               static_cast<unsigned long long>(acceptFailures))
                                                      : "";
                    say(format("accept failed: %s; not accepting for 100 ms%s", strerror(errno), more.c_str()));
                    acceptFailLogged = now;
                    acceptFailures = 0;
                } else {
                    ++acceptFailures;
                }
                acceptPaused = true;
                acceptResume = Clock::now() + std::chrono::milliseconds(100);
                epoll_event ev{};
                ev.data.u64 = LISTEN_ID;
                epoll_ctl(epollFd, EPOLL_CTL_MOD, listenFd, &ev);
            } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                say(format("accept failed: %s", strerror(errno)));
            }
            return;
        }
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
        addClient(fd, format("%s:%u", ip, ntohs(sa.sin_port)));
    }
}

void UpdateServer::Impl::addClient(int fd, const std::string& peer) {
    if (static_cast<int>(clients.size()) >= clientLimit) {
        // One line for the first refusal of a run of them; the rest are
        // counted in the statistics line.
        if (refused++ == refusedLogged)
            say(format("refused %s: the connection limit of %d installers is reached (%s); "
                       "later refusals are counted in the statistics line",
                       peer.c_str(), clientLimit, limitSource.c_str()));
        close(fd);
        return;
    }
    // Fails harmlessly on a socket that is not TCP (an adopted one).
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
        // Kept for the first connections only: a server that runs for
        // months must not grow with every installer it has seen.
        if (prefixes.size() < PREFIX_CONNECTIONS) prefixes.emplace_back();
    }
    say(format("%s open %s", tag(*c).c_str(), peer.c_str()));
    helloDeadlines.push_back({c->opened + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(cfg.helloSeconds)),
                              c->id});
    watch(*c);
    clients.emplace(c->id, std::move(c));
    ++accepted;
    ++openCount;
    peakClients = std::max(peakClients, clients.size());
}

// Sockets adopt() queued.  A draining server accepts nothing new, and
// adopts nothing either.
void UpdateServer::Impl::takeAdopted() {
    std::vector<std::pair<int, std::string>> taken;
    {
        std::lock_guard<std::mutex> lock(adoptMutex);
        taken.swap(adopted);
    }
    for (auto& [fd, peer] : taken) {
        if (draining) close(fd);
        else addClient(fd, peer);
    }
}

void UpdateServer::Impl::closeAdopted() {
    std::lock_guard<std::mutex> lock(adoptMutex);
    adoptClosed = true;
    for (auto& a : adopted) close(a.first);
    adopted.clear();
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
    close(c.fd);  // also leaves the epoll set
    c.fd = -1;
    c.dead = true;
    gone.push_back(c.id);
    --openCount;
    std::string extra = c.hellos > 1 ? format(", %llu hellos", static_cast<unsigned long long>(c.hellos)) : "";
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
    bool was = x.active;
    x.fd = -1;
    x.active = false;
    if (was) {
        --activeTransfers;
        fileClosed();
    }
}

// A transfer slot is free: the longest-waiting client takes it.
void UpdateServer::Impl::fileClosed() {
    while (!waitingForFile.empty()) {
        uint64_t id = waitingForFile.front();
        waitingForFile.pop_front();
        auto it = clients.find(id);
        if (it == clients.end() || it->second->dead || !it->second->waitingForFile) continue;
        it->second->waitingForFile = false;
        again.push_back(id);
        return;
    }
}

// Closes the connections whose hello, or whose unfinished message, is
// overdue.  Both kinds of deadline are a fixed time after the event that
// set them, so each list is in the order they fall due.
void UpdateServer::Impl::checkDeadlines(Clock::time_point now) {
    auto overdue = [&](std::deque<Timer>& list, auto&& expired, const char* why, double seconds) {
        while (!list.empty() && list.front().first <= now) {
            auto it = clients.find(list.front().second);
            list.pop_front();
            if (it == clients.end() || it->second->dead || !expired(*it->second)) continue;
            if (timedOut++ == timedOutLogged)
                say(format("%s %s for %g s: closed; later ones are counted in the statistics line",
                           tag(*it->second).c_str(), why, seconds));
            closeClient(*it->second, format("%s for %g s", why, seconds));
        }
    };
    auto partialDue = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(cfg.partialSeconds));
    overdue(helloDeadlines, [](const Client& c) { return !c.spoken; }, "no hello", cfg.helloSeconds);
    overdue(partialDeadlines,
            [&](const Client& c) { return c.partialSince != Clock::time_point::max() && c.partialSince + partialDue <= now; },
            "message left unfinished", cfg.partialSeconds);
}

// Registers the events the client waits for now, when they changed.
void UpdateServer::Impl::watch(Client& c) {
    if (c.dead) return;
    uint32_t mask = 0;
    if (wantsInput(c)) mask |= EPOLLIN;
    if (c.out.pending() > 0 || c.wantWrite) mask |= EPOLLOUT;
    if (mask == c.epollMask) return;
    epoll_event ev{};
    ev.events = mask;
    ev.data.u64 = c.id;
    epoll_ctl(epollFd, c.epollMask == UNREGISTERED ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, c.fd, &ev);
    c.epollMask = mask;
}

// One client's share of a turn: fill, send what the socket takes, refill
// what that freed, until the socket is full (epoll then reports when it
// drains) or there is nothing more to send right now.  The rounds are
// capped so one fast client does not starve the others; if the cap is hit,
// the client gets another turn at once.
void UpdateServer::Impl::work(Client& c, Clock::time_point now) {
    c.wantWrite = false;
    if (c.lingering && now >= c.lingerUntil) return closeClient(c, c.closeReason);
    Clock::time_point wake = Clock::time_point::max();
    for (int round = 0; !c.dead; ++round) {
        uint64_t before = c.queuedTotal;
        Clock::time_point w = advance(c, now);
        flush(c, now);
        if (c.dead) return;
        bool moved = c.queuedTotal != before;
        if (c.out.pending() > 0 || c.wantWrite || !moved) {
            wake = w;
            break;
        }
        if (round == 8) {
            again.push_back(c.id);
            break;
        }
    }
    // A client that half-closed goes once everything it asked for is sent.
    if (c.peerClosed && !c.closeWhenFlushed && !c.lingering && c.jobs.empty() && !c.xfer.active &&
        c.out.pending() == 0 && !c.sleeping && !c.waitingForFile) {
        beginClose(c, "peer closed");
        flush(c, now);
        if (c.dead) return;
    }
    if (draining && !c.closeWhenFlushed && !c.lingering) {
        // Idle, or held by a fault that will never let the transfer end:
        // nothing to wait for.
        bool busy = (c.xfer.active && !c.xfer.stallLogged) || c.out.pending() > 0 || !c.finished.empty();
        if (!busy) {
            beginClose(c, "server draining");
            flush(c, now);
            if (c.dead) return;
        }
    }
    if (c.lingering) wake = std::min(wake, c.lingerUntil);
    if (wake != Clock::time_point::max() && wake != c.wakeAt) timers.push({wake, c.id});
    c.wakeAt = wake;
    watch(c);
}

void UpdateServer::Impl::startDrain(Clock::time_point now) {
    draining = true;
    drainDeadline = now + std::chrono::seconds(cfg.drainSeconds);
    if (listenFd >= 0) {
        close(listenFd);
        listenFd = -1;
    }
    say(format("draining: not accepting; %zu connected, %d transfers in flight, up to %d s for them to finish",
               clients.size(), activeTransfers, cfg.drainSeconds));
    for (auto& kv : clients) again.push_back(kv.first);
}

void UpdateServer::Impl::statsLine(Clock::time_point now) {
    double s = secondsSince(statsAt, now);
    uint64_t bytes = bytesSent - statsBytes;
    auto count = [](uint64_t n, const char* what) {
        return n ? format(", %llu %s", static_cast<unsigned long long>(n), what) : std::string();
    };
    uint64_t dropped = logQueue ? logQueue->takeDropped() : 0;
    std::string extra = count(refused - refusedLogged, "refused") + count(timedOut - timedOutLogged, "timed out") +
                        count(badPeers - badPeersLogged, "closed for bad messages") +
                        count(acceptFailures, "accept failures") + count(dropped, "log lines dropped");
    say(format("stats: %zu connected, %d transfers, %.1f MB/s sent over %.0f s%s", clients.size(), activeTransfers,
               s > 0 ? static_cast<double>(bytes) / 1048576.0 / s : 0.0, s, extra.c_str()));
    refusedLogged = refused;
    timedOutLogged = timedOut;
    badPeersLogged = badPeers;
    acceptFailures = 0;
    statsBytes = bytesSent;
    statsAt = now;
}

void UpdateServer::Impl::loop() {
    std::vector<epoll_event> events(1024);
    std::vector<uint64_t> ready;
    startedAt = statsAt = Clock::now();
    Clock::time_point statsDue = cfg.statsSeconds > 0 ? startedAt + std::chrono::seconds(cfg.statsSeconds)
                                                      : Clock::time_point::max();
    for (;;) {
        if (stopRequested.load()) break;
        Clock::time_point now = Clock::now();
        if (drainRequested.load() && !draining) startDrain(now);
        if (draining && (clients.empty() || now >= drainDeadline)) break;

        Clock::time_point wake = statsDue;
        while (!timers.empty()) {
            auto it = clients.find(timers.top().second);
            if (it == clients.end() || it->second->wakeAt != timers.top().first) {
                timers.pop();  // stale
                continue;
            }
            wake = std::min(wake, timers.top().first);
            break;
        }
        if (acceptPaused) wake = std::min(wake, acceptResume);
        if (!helloDeadlines.empty()) wake = std::min(wake, helloDeadlines.front().first);
        if (!partialDeadlines.empty()) wake = std::min(wake, partialDeadlines.front().first);
        if (draining) wake = std::min(wake, drainDeadline);
        int timeout = -1;
        if (!again.empty()) {
            timeout = 0;
        } else if (wake != Clock::time_point::max()) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;
            timeout = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
        }
        int n = epoll_wait(epollFd, events.data(), static_cast<int>(events.size()), timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            say(format("epoll_wait failed: %s", strerror(errno)));
            break;
        }
        now = Clock::now();
        ++turnNo;
        ready.swap(again);
        again.clear();
        auto mark = [&](Client& c) {
            if (c.turn == turnNo + 1) return;  // already listed this turn
            c.turn = turnNo + 1;
            ready.push_back(c.id);
        };
        for (uint64_t id : ready) {
            auto it = clients.find(id);
            if (it != clients.end()) it->second->turn = turnNo + 1;
        }
        for (int i = 0; i < n; ++i) {
            uint64_t id = events[i].data.u64;
            uint32_t re = events[i].events;
            if (id == WAKE_ID) {
                char b[64];
                while (read(wakeRead, b, sizeof b) > 0) {
                }
                takeAdopted();
                continue;
            }
            if (id == LISTEN_ID) {
                if (listenFd >= 0 && !acceptPaused) acceptAll();
                continue;
            }
            auto it = clients.find(id);
            if (it == clients.end() || it->second->dead) continue;
            Client& c = *it->second;
            if (re & (EPOLLIN | EPOLLHUP | EPOLLERR)) readFrom(c, now);
            // A hang-up or error the read above did not settle (the client
            // was not being read) would wake the loop at once forever.
            if (!c.dead && (re & (EPOLLHUP | EPOLLERR)) && !wantsInput(c))
                closeClient(c, re & EPOLLERR ? "socket error" : "peer hung up");
            if (!c.dead) mark(c);
        }
        while (!timers.empty() && timers.top().first <= now) {
            auto it = clients.find(timers.top().second);
            bool current = it != clients.end() && it->second->wakeAt == timers.top().first;
            timers.pop();
            if (current && !it->second->dead) {
                it->second->wakeAt = Clock::time_point::max();
                mark(*it->second);
            }
        }
        for (uint64_t id : ready) {
            auto it = clients.find(id);
            if (it == clients.end() || it->second->dead) continue;
            work(*it->second, now);
        }
        checkDeadlines(now);
        for (uint64_t id : gone) clients.erase(id);
        gone.clear();
        if (acceptPaused && now >= acceptResume && listenFd >= 0) {
            acceptPaused = false;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = LISTEN_ID;
            epoll_ctl(epollFd, EPOLL_CTL_MOD, listenFd, &ev);
        }
        if (now >= statsDue) {
            statsLine(now);
            statsDue = now + std::chrono::seconds(cfg.statsSeconds);
        }
    }
    if (draining && !clients.empty())
        say(format("drain time over: closing %zu connections, %d transfers in flight", clients.size(), activeTransfers));
    closeAdopted();
    for (auto& kv : clients) closeClient(*kv.second, draining ? "drain time over" : "server stopping");
    clients.clear();
    Clock::time_point end = Clock::now();
    say(format("summary: %.1f s, %llu connections (at most %zu at once), %llu refused, %llu files sent, %s sent",
               secondsSince(startedAt, end), static_cast<unsigned long long>(accepted), peakClients,
               static_cast<unsigned long long>(refused), static_cast<unsigned long long>(transfersDone),
               megabytes(bytesSent).c_str()));
}

UpdateServer::UpdateServer(ServerConfig config, LogSink log) : impl_(new Impl) {
    impl_->cfg = std::move(config);
    impl_->log = std::move(log);
}

UpdateServer::~UpdateServer() {
    impl_->closeAdopted();  // run() never took them
    for (auto& kv : impl_->clients)
        if (!kv.second->dead) close(kv.second->fd);
    if (impl_->listenFd >= 0) close(impl_->listenFd);
    if (impl_->epollFd >= 0) close(impl_->epollFd);
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
    if (d.cfg.allowNonLoopback && d.cfg.faults.any())
        return fail("the fault options are for tests on loopback; they are refused with --allow-non-loopback");
    if (d.cfg.port < 0 || d.cfg.port > 65535) return fail("bad port " + std::to_string(d.cfg.port));
    if (d.cfg.outputBufferBytes < 1024) d.cfg.outputBufferBytes = 1024;
    if (!d.log) d.logQueue = std::make_unique<LogQueue>(d.cfg.logFd, d.cfg.logQueueBytes);

    // Every connection is a descriptor: take all the system grants.
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rlim_t want = rl.rlim_max == RLIM_INFINITY ? rlim_t(1) << 20 : rl.rlim_max;
        if (rl.rlim_cur < want) {
            rlim_t was = rl.rlim_cur;
            rl.rlim_cur = want;
            if (setrlimit(RLIMIT_NOFILE, &rl) == 0)
                d.say(format("open-file limit raised from %llu to %llu", static_cast<unsigned long long>(was),
                             static_cast<unsigned long long>(want)));
            else
                d.say(format("open-file limit stays %llu: %s", static_cast<unsigned long long>(was), strerror(errno)));
        }
        getrlimit(RLIMIT_NOFILE, &rl);
        d.openFileLimit = rl.rlim_cur == RLIM_INFINITY ? uint64_t(1) << 20 : rl.rlim_cur;
    } else {
        d.openFileLimit = 1024;
    }
    // Every connection is one descriptor and every transfer one more (its
    // file): the connections leave room for the transfers, and a request
    // beyond the transfer limit waits for a file to close.
    int fits = clientsForFileLimit(d.openFileLimit);
    std::string files = format("open-file limit %llu", static_cast<unsigned long long>(d.openFileLimit));
    d.clientLimit = d.cfg.maxClients == 0 ? fits : std::min(d.cfg.maxClients, fits);
    d.limitSource = d.cfg.maxClients > 0 && d.cfg.maxClients <= fits ? "--max-clients" : files;
    if (d.cfg.maxClients > fits)
        d.say(format("--max-clients %d is more than the %s allows", d.cfg.maxClients, files.c_str()));
    uint64_t left = d.openFileLimit - static_cast<uint64_t>(d.clientLimit);
    d.transferLimit = left > OWN_FILES ? static_cast<int>(std::min<uint64_t>(left - OWN_FILES, INT_MAX)) : 1;
    if (d.cfg.maxTransfers > 0) d.transferLimit = std::min(d.transferLimit, d.cfg.maxTransfers);
    d.say(format("connection limit %d (%s), %d files sent at once", d.clientLimit, d.limitSource.c_str(),
                 d.transferLimit));

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
    // A deep backlog: installers arrive by the thousand a second.
    if (listen(d.listenFd, 4096) != 0) return fail(std::string("listen: ") + strerror(errno));
    setNonBlocking(d.listenFd);
    d.epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (d.epollFd < 0) return fail(std::string("epoll_create1: ") + strerror(errno));
    for (auto [fd, id] : {std::pair<int, uint64_t>{d.wakeRead, WAKE_ID}, {d.listenFd, LISTEN_ID}}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = id;
        if (epoll_ctl(d.epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) return fail(std::string("epoll_ctl: ") + strerror(errno));
    }
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
    if (impl_->listenFd >= 0) close(impl_->listenFd);
    impl_->listenFd = -1;
    impl_->say("stopped");
}

// Both only set a flag and wake the loop, which does the rest; safe in a
// signal handler.
void UpdateServer::stop() {
    impl_->stopRequested.store(true);
    impl_->wake();
}

void UpdateServer::drain() {
    impl_->drainRequested.store(true);
    impl_->wake();
}

bool UpdateServer::adopt(int fd, const std::string& peer) {
    Impl& d = *impl_;
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) {
        if (fd >= 0) close(fd);
        return false;
    }
    // As accept4() leaves an accepted socket.
    setNonBlocking(fd);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    {
        std::lock_guard<std::mutex> lock(d.adoptMutex);
        if (d.adoptClosed || d.stopRequested.load() || d.drainRequested.load()) {
            close(fd);
            return false;
        }
        d.adopted.emplace_back(fd, peer);
    }
    d.wake();
    return true;
}

void UpdateServer::Impl::wake() {
    if (wakeWrite >= 0) {
        ssize_t r = write(wakeWrite, "x", 1);
        (void)r;
    }
}

int UpdateServer::maxClients() const { return impl_->clientLimit; }

std::vector<std::string> UpdateServer::receivedPrefixes() const {
    std::lock_guard<std::mutex> lock(impl_->statsMutex);
    return impl_->prefixes;
}

UpdateServer::Peaks UpdateServer::peaks() const {
    std::lock_guard<std::mutex> lock(impl_->statsMutex);
    return impl_->peak;
}

int UpdateServer::openClients() const { return impl_->openCount.load(); }

}  // namespace update_server
