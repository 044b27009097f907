#include "tools/update_server/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "net/wire_format.h"

namespace update_server {

namespace {

using Clock = std::chrono::steady_clock;

const size_t PREFIX_BYTES = 64;
const size_t MAX_NAME = 4095;
const size_t READ_BUDGET = 256 * 1024;   // per client and loop turn, for fairness
const size_t IN_BUFFER_CAP = 256 * 1024; // above the largest message (7 + 2 * 65535)
const size_t MAX_JOBS = 1024;            // beyond this a client is not read until it catches up
const size_t FILE_CHUNK = 64 * 1024;
const int LINGER_MS = 2000;              // graceful close: wait this long for the peer's FIN

double secondsSince(Clock::time_point t, Clock::time_point now) {
    return std::chrono::duration<double>(now - t).count();
}

// Log-safe rendering of a name that came off the wire.
std::string printable(const std::string& s) {
    std::string r;
    size_t n = std::min(s.size(), size_t(200));
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7f && c != '"') {
            r += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            r += hex;
        }
    }
    if (s.size() > n) r += "...";
    return r;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

void setNonBlocking(int fd) {
    int fl = fcntl(fd, F_GETFL, 0);
    if (fl >= 0) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

struct Job {
    enum Kind { SEND, SLEEP, REQUEST } kind;
    std::vector<uint8_t> bytes;  // SEND: the bytes; REQUEST: the name
    int ms = 0;
};

// A request whose answer is fully queued; logged once the socket took its
// last byte.
struct Finished {
    uint64_t endOffset;  // client's output position just past the answer
    uint64_t startOffset;
    Clock::time_point started;
    std::string text;    // "\"name\" 2500 bytes" or "\"name\" refused (...)"
};

struct Transfer {
    bool active = false;
    int fd = -1;
    std::string name;
    uint64_t size = 0;       // real content size
    uint64_t announced = 0;
    uint64_t produced = 0;   // content bytes put into the output buffer
    uint64_t limit = 0;      // content bytes to produce at most (stall / close faults)
    bool headerSent = false;
    bool stallLogged = false;
    Clock::time_point started;
    Clock::time_point headerAt;
    Clock::time_point contentStart;
    uint64_t startOffset = 0;
};

class OutBuffer {
public:
    size_t pending() const { return buf_.size() - head_; }
    const uint8_t* data() const { return buf_.data() + head_; }
    void append(const uint8_t* p, size_t n) {
        compact();
        buf_.insert(buf_.end(), p, p + n);
    }
    // Room for n bytes at the end; commit() the part actually filled.
    uint8_t* reserve(size_t n) {
        compact();
        size_t old = buf_.size();
        buf_.resize(old + n);
        reserved_ = n;
        return buf_.data() + old;
    }
    void commit(size_t used) { buf_.resize(buf_.size() - reserved_ + used); reserved_ = 0; }
    void consume(size_t n) {
        head_ += n;
        if (head_ == buf_.size()) {
            buf_.clear();
            head_ = 0;
        }
    }

private:
    void compact() {
        if (head_ > 0 && head_ >= buf_.size() / 2) {
            buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
    std::vector<uint8_t> buf_;
    size_t head_ = 0;
    size_t reserved_ = 0;
};

struct Client {
    int fd = -1;
    uint64_t id = 0;
    std::string peer;
    size_t prefixIndex = 0;
    Clock::time_point opened;
    std::vector<uint8_t> in;
    OutBuffer out;
    uint64_t sentTotal = 0;      // bytes the socket took
    uint64_t queuedTotal = 0;    // bytes ever put into `out`
    uint64_t receivedTotal = 0;
    std::deque<Job> jobs;
    std::deque<Finished> finished;
    Transfer xfer;
    bool sleeping = false;
    Clock::time_point sleepUntil;
    bool helloSeen = false;
    int answered = 0;            // requests whose answer is queued
    int completed = 0;           // ... and sent
    uint64_t ignored = 0;
    bool stalled = false;
    // Graceful close: flush, then FIN, then wait for the peer's FIN.
    bool closeWhenFlushed = false;
    bool lingering = false;
    Clock::time_point lingerUntil;
    std::string closeReason;
    bool dead = false;
};

}  // namespace

struct UpdateServer::Impl {
    ServerConfig cfg;
    LogSink log;
    std::string rootReal;
    int listenFd = -1;
    int wakeRead = -1, wakeWrite = -1;
    uint16_t boundPort = 0;
    std::atomic<bool> stopRequested{false};
    FILE* dump = nullptr;
    uint64_t nextId = 1;
    std::vector<std::unique_ptr<Client>> clients;

    mutable std::mutex statsMutex;
    std::vector<std::string> prefixes;
    size_t peakBuffered = 0;
    std::atomic<int> openCount{0};

    void say(const std::string& line) {
        if (log) {
            log(line);
        } else {
            fputs(line.c_str(), stdout);
            fputc('\n', stdout);
            fflush(stdout);
        }
    }
    std::string tag(const Client& c) const { return format("#%llu", static_cast<unsigned long long>(c.id)); }

    void queue(Client& c, const uint8_t* p, size_t n) {
        c.out.append(p, n);
        c.queuedTotal += n;
        notePeak(c);
    }
    void notePeak(const Client& c) {
        std::lock_guard<std::mutex> lock(statsMutex);
        peakBuffered = std::max(peakBuffered, c.out.pending());
    }

    // ---- connections -------------------------------------------------

    void acceptAll() {
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

    void closeClient(Client& c, const std::string& reason) {
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
    uint64_t contentSent(const Client& c) const {
        uint64_t headerEnd = c.xfer.startOffset + (c.xfer.headerSent ? FILE_HEADER_MSG_SIZE : 0);
        return c.sentTotal > headerEnd ? c.sentTotal - headerEnd : 0;
    }

    static void closeFile(Transfer& x) {
        if (x.fd >= 0) close(x.fd);
        x.fd = -1;
        x.active = false;
    }

    // ---- input ---------------------------------------------------------

    void readFrom(Client& c) {
        size_t budget = READ_BUDGET;
        uint8_t buf[64 * 1024];
        while (budget > 0 && !c.dead && wantsInput(c)) {
            ssize_t n = recv(c.fd, buf, std::min(sizeof buf, budget), 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) closeClient(c, format("receive error: %s", strerror(errno)));
                return;
            }
            if (n == 0) {
                closeClient(c, c.lingering ? c.closeReason : "peer closed");
                return;
            }
            c.receivedTotal += static_cast<uint64_t>(n);
            budget -= static_cast<size_t>(n);
            record(c, buf, static_cast<size_t>(n));
            if (c.lingering) continue;  // closing: what the peer still sends is dropped
            c.in.insert(c.in.end(), buf, buf + n);
            parse(c);
        }
    }

    bool wantsInput(const Client& c) const {
        return c.lingering || (!c.closeWhenFlushed && c.jobs.size() < MAX_JOBS && c.in.size() < IN_BUFFER_CAP);
    }

    void record(const Client& c, const uint8_t* p, size_t n) {
        if (dump) {
            fwrite(p, 1, n, dump);
            fflush(dump);
        }
        std::lock_guard<std::mutex> lock(statsMutex);
        std::string& pre = prefixes[c.prefixIndex];
        if (pre.size() < PREFIX_BYTES) pre.append(reinterpret_cast<const char*>(p), std::min(n, PREFIX_BYTES - pre.size()));
    }

    void parse(Client& c) {
        size_t pos = 0;
        while (pos < c.in.size() && c.jobs.size() < MAX_JOBS) {
            const uint8_t* m = c.in.data() + pos;
            size_t len = clientMessageLength(m, c.in.size() - pos);
            if (len == 0) break;
            handleMessage(c, m, len);
            pos += len;
        }
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(pos));
    }

    void handleMessage(Client& c, const uint8_t* m, size_t len) {
        if (len == VERSION_MSG_SIZE && m[0] == MSG_HASH && m[1] == MSG_VERSION) {
            say(format("%s hello %u.%u", tag(c).c_str(), getU16(m + 2), getU16(m + 4)));
            const FaultSettings& f = cfg.faults;
            if (!f.noHello) {
                Job j{Job::SEND, std::vector<uint8_t>(VERSION_MSG_SIZE), 0};
                buildVersionMessage(j.bytes.data(), j.bytes.size(), f.versionMajor, f.versionMinor);
                c.jobs.push_back(std::move(j));
            }
            if (!c.helloSeen) {
                for (const ScriptStep& s : f.script) {
                    if (s.bytes.empty())
                        c.jobs.push_back(Job{Job::SLEEP, {}, s.sleepMs});
                    else
                        c.jobs.push_back(Job{Job::SEND, s.bytes, 0});
                }
            }
            c.helloSeen = true;
            return;
        }
        if (len >= FILE_REQUEST_HEAD_SIZE && m[0] == MSG_REQUEST && m[1] == MSG_FILE) {
            c.jobs.push_back(Job{Job::REQUEST, std::vector<uint8_t>(m + FILE_REQUEST_HEAD_SIZE, m + len), 0});
            return;
        }
        if (c.ignored++ == 0)
            say(format("%s ignored message \"%s\" (%zu bytes); later ones are only counted", tag(c).c_str(),
                       printable(std::string(reinterpret_cast<const char*>(m), std::min(len, size_t(3)))).c_str(), len));
    }

    // ---- jobs and output -------------------------------------------------

    // Works off the client's jobs as far as time, faults and buffer space
    // allow; returns the time it next wants to be woken, or max() for none.
    Clock::time_point advance(Client& c, Clock::time_point now) {
        const FaultSettings& f = cfg.faults;
        const size_t cap = cfg.outputBufferBytes;
        while (!c.dead && !c.closeWhenFlushed && !c.lingering) {
            if (c.xfer.active) {
                Transfer& x = c.xfer;
                if (!x.headerSent) {
                    if (now < x.headerAt) return x.headerAt;
                    uint8_t h[FILE_HEADER_MSG_SIZE];
                    buildFileHeader(h, sizeof h, static_cast<uint32_t>(x.announced));
                    queue(c, h, sizeof h);
                    x.headerSent = true;
                    x.contentStart = now;
                }
                while (x.produced < x.limit && c.out.pending() < cap) {
                    uint64_t allowed = x.limit;
                    if (f.rateBytesPerSec > 0) {
                        double t = secondsSince(x.contentStart, now);
                        allowed = std::min<uint64_t>(x.limit, static_cast<uint64_t>(t * static_cast<double>(f.rateBytesPerSec)));
                        if (allowed <= x.produced) {
                            // Wake when about a hundredth of a second's worth is due.
                            uint64_t step = std::max<uint64_t>(1, static_cast<uint64_t>(f.rateBytesPerSec) / 100);
                            double due = static_cast<double>(x.produced + step) / static_cast<double>(f.rateBytesPerSec);
                            return x.contentStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(due));
                        }
                    }
                    size_t n = static_cast<size_t>(std::min<uint64_t>({allowed - x.produced, FILE_CHUNK, cap - c.out.pending()}));
                    uint8_t* dst = c.out.reserve(n);
                    ssize_t r = read(x.fd, dst, n);
                    if (r <= 0) {
                        c.out.commit(0);
                        // The header promised bytes the file no longer has: the
                        // stream cannot be kept in step, so the client goes.
                        say(format("%s \"%s\" read failed after %llu of %llu bytes: %s", tag(c).c_str(),
                                   printable(x.name).c_str(), static_cast<unsigned long long>(x.produced),
                                   static_cast<unsigned long long>(x.size), r < 0 ? strerror(errno) : "file shrank"));
                        closeClient(c, "file read failed");
                        return Clock::time_point::max();
                    }
                    c.out.commit(static_cast<size_t>(r));
                    c.queuedTotal += static_cast<uint64_t>(r);
                    x.produced += static_cast<uint64_t>(r);
                    notePeak(c);
                }
                if (x.produced < x.size && x.produced == x.limit) {
                    if (f.closeAfter >= 0 && x.produced == static_cast<uint64_t>(f.closeAfter)) {
                        say(format("%s \"%s\" closing after %llu of %llu content bytes (--close-after)", tag(c).c_str(),
                                   printable(x.name).c_str(), static_cast<unsigned long long>(x.produced),
                                   static_cast<unsigned long long>(x.size)));
                        beginClose(c, "closed after " + std::to_string(x.produced) + " content bytes (--close-after)");
                        return Clock::time_point::max();
                    }
                    if (!x.stallLogged) {
                        say(format("%s \"%s\" stalled after %llu of %llu content bytes (--stall-after)", tag(c).c_str(),
                                   printable(x.name).c_str(), static_cast<unsigned long long>(x.produced),
                                   static_cast<unsigned long long>(x.size)));
                        x.stallLogged = true;
                    }
                    return Clock::time_point::max();
                }
                if (x.produced < x.size) return Clock::time_point::max();  // waiting for the buffer to drain
                finishAnswer(c, x.startOffset, x.started, requestText(x));
                closeFile(x);
                continue;
            }
            if (c.sleeping) {
                if (now < c.sleepUntil) return c.sleepUntil;
                c.sleeping = false;
            }
            if (c.jobs.empty() || c.out.pending() >= cap) return Clock::time_point::max();
            if (f.quitAfterRequests > 0 && c.answered >= f.quitAfterRequests) return Clock::time_point::max();
            Job j = std::move(c.jobs.front());
            c.jobs.pop_front();
            switch (j.kind) {
            case Job::SEND:
                queue(c, j.bytes.data(), j.bytes.size());
                break;
            case Job::SLEEP:
                c.sleeping = true;
                c.sleepUntil = now + std::chrono::milliseconds(j.ms);
                break;
            case Job::REQUEST:
                startRequest(c, std::string(j.bytes.begin(), j.bytes.end()), now);
                break;
            }
        }
        if (c.lingering) return c.lingerUntil;
        return Clock::time_point::max();
    }

    static std::string requestText(const Transfer& x) {
        std::string t = format("\"%s\" %llu bytes", printable(x.name).c_str(), static_cast<unsigned long long>(x.size));
        if (x.announced != x.size) t += format(" (announced %llu)", static_cast<unsigned long long>(x.announced));
        return t;
    }

    void finishAnswer(Client& c, uint64_t startOffset, Clock::time_point started, const std::string& text) {
        c.finished.push_back(Finished{c.queuedTotal, startOffset, started, text});
        ++c.answered;
    }

    void refuse(Client& c, const std::string& name, const std::string& why, Clock::time_point now) {
        uint64_t start = c.queuedTotal;
        uint8_t e[FILE_ERROR_MSG_SIZE];
        buildFileError(e, sizeof e);
        queue(c, e, sizeof e);
        finishAnswer(c, start, now, "\"" + printable(name) + "\" refused (" + why + ")");
    }

    void startRequest(Client& c, const std::string& name, Clock::time_point now) {
        const FaultSettings& f = cfg.faults;
        if (f.noAnswer) {
            say(format("%s \"%s\" not answered (--no-answer)", tag(c).c_str(), printable(name).c_str()));
            return;
        }
        if (f.refuseAll) return refuse(c, name, "--refuse-all", now);
        std::string path, why;
        if (!resolveRequestName(rootReal, name, &path, &why)) return refuse(c, name, why, now);
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) return refuse(c, name, std::string("cannot open: ") + strerror(errno), now);
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > 0xFFFFFFFFLL) {
            const char* what = S_ISDIR(st.st_mode) ? "a folder" : !S_ISREG(st.st_mode) ? "not a regular file"
                               : st.st_size <= 0 ? "empty file" : "larger than 4 GiB - 1";
            close(fd);
            return refuse(c, name, what, now);
        }
        Transfer& x = c.xfer;
        x = Transfer{};
        x.active = true;
        x.fd = fd;
        x.name = name;
        x.size = static_cast<uint64_t>(st.st_size);
        int64_t announced = static_cast<int64_t>(x.size) + f.wrongSize;
        x.announced = static_cast<uint64_t>(std::clamp<int64_t>(announced, 0, 0xFFFFFFFFLL));
        x.limit = x.size;
        if (f.stallAfter >= 0) x.limit = std::min(x.limit, static_cast<uint64_t>(f.stallAfter));
        if (f.closeAfter >= 0) x.limit = std::min(x.limit, static_cast<uint64_t>(f.closeAfter));
        x.started = now;
        x.headerAt = now + std::chrono::milliseconds(f.headerDelayMs);
        x.startOffset = c.queuedTotal;
    }

    void beginClose(Client& c, const std::string& reason) {
        c.closeWhenFlushed = true;
        c.closeReason = reason;
        c.jobs.clear();
    }

    void flush(Client& c, Clock::time_point now) {
        while (!c.dead && c.out.pending() > 0) {
            ssize_t n = send(c.fd, c.out.data(), c.out.pending(), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) closeClient(c, format("send error: %s", strerror(errno)));
                break;
            }
            c.out.consume(static_cast<size_t>(n));
            c.sentTotal += static_cast<uint64_t>(n);
        }
        if (c.dead) return;
        while (!c.finished.empty() && c.finished.front().endOffset <= c.sentTotal) {
            const Finished& f = c.finished.front();
            ++c.completed;
            say(format("%s %s: sent %llu bytes in %.3f s", tag(c).c_str(), f.text.c_str(),
                       static_cast<unsigned long long>(f.endOffset - f.startOffset), secondsSince(f.started, now)));
            c.finished.pop_front();
        }
        int quit = cfg.faults.quitAfterRequests;
        if (quit > 0 && c.completed >= quit && !c.closeWhenFlushed && !c.lingering)
            beginClose(c, "quit after " + std::to_string(quit) + " requests (--quit-after-requests)");
        if (c.closeWhenFlushed && c.out.pending() == 0 && !c.lingering) {
            // FIN after the last byte, then wait for the peer's own close so
            // that nothing it still sends turns our close into a reset that
            // could discard data it has not read yet.
            shutdown(c.fd, SHUT_WR);
            c.lingering = true;
            c.lingerUntil = now + std::chrono::milliseconds(LINGER_MS);
        }
    }

    // ---- loop ------------------------------------------------------------

    void loop() {
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
};

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

// ---- free functions ----------------------------------------------------

namespace {

// The message's full length as soon as the bytes that decide it are in
// (letters and length fields), 0 before that.
size_t lengthFromHead(const uint8_t* p, size_t avail) {
    if (avail < 1) return 0;
    auto need = [&](size_t n) { return avail >= n; };
    switch (p[0]) {
    case MSG_HASH:
        if (!need(2)) return 0;
        if (p[1] == MSG_VERSION) return VERSION_MSG_SIZE;
        if (p[1] == MSG_HASH_DATA) {
            if (!need(3)) return 0;
            int8_t n = static_cast<int8_t>(p[2]);
            return HASH_DATA_HEAD_SIZE + (n > 0 ? static_cast<size_t>(n) : 0);
        }
        return 2;
    case MSG_REQUEST:
        if (!need(2)) return 0;
        if (p[1] == MSG_FILE || p[1] == MSG_REQUEST_PATH) {
            if (!need(4)) return 0;
            return FILE_REQUEST_HEAD_SIZE + getU16(p + 2);
        }
        return 2;
    case MSG_SEND:
        if (!need(2)) return 0;
        if (p[1] != MSG_FILE) return 2;
        if (!need(3)) return 0;
        if (p[2] == MSG_FILE_ERROR) return FILE_ERROR_MSG_SIZE;
        if (p[2] == MSG_FILE_HEADER) return FILE_HEADER_MSG_SIZE;
        return 3;
    case MSG_PATH:
        if (!need(2)) return 0;
        if (p[1] == MSG_FILE) {
            if (!need(3)) return 0;
            if (p[2] != MSG_FILE_CONTENT) return 3;
            if (!need(FILE_CONTENT_HEAD_SIZE)) return 0;
            return FILE_CONTENT_HEAD_SIZE + getU16(p + 7);
        }
        if (p[1] == MSG_NEW || p[1] == MSG_RENAME || p[1] == MSG_DELETE) {
            if (!need(3)) return 0;
            if (p[2] != MSG_FILE) return 3;
            if (p[1] == MSG_RENAME) {
                if (!need(MOVE_PATH_HEAD_SIZE)) return 0;
                return MOVE_PATH_HEAD_SIZE + size_t(getU16(p + 3)) + getU16(p + 5);
            }
            if (!need(NEW_FOLDER_HEAD_SIZE)) return 0;
            return NEW_FOLDER_HEAD_SIZE + getU16(p + 3);
        }
        return 2;
    default:
        return 1;
    }
}

}  // namespace

size_t clientMessageLength(const uint8_t* p, size_t avail) {
    size_t len = lengthFromHead(p, avail);
    return len <= avail ? len : 0;
}

bool resolveRequestName(const std::string& rootReal, const std::string& name, std::string* path,
                        std::string* reason) {
    auto no = [&](const char* why) {
        if (reason) *reason = why;
        return false;
    };
    if (name.empty()) return no("empty name");
    if (name.size() > MAX_NAME) return no("name too long");
    if (name.find('\0') != std::string::npos) return no("name holds a NUL byte");
    std::string n = name;
    std::replace(n.begin(), n.end(), '\\', '/');
    if (n[0] == '/') return no("absolute name");
    if (n.find(':') != std::string::npos) return no("drive or stream name");
    std::string rel;
    size_t i = 0;
    while (i <= n.size()) {
        size_t j = n.find('/', i);
        if (j == std::string::npos) j = n.size();
        std::string part = n.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return no("leaves the root");
        if (!rel.empty()) rel += '/';
        rel += part;
    }
    if (rel.empty()) return no("names the root");
    std::string composed = rootReal + (rootReal == "/" ? "" : "/") + rel;
    char* real = realpath(composed.c_str(), nullptr);
    if (!real) return no(errno == ENOENT || errno == ENOTDIR ? "missing" : "cannot resolve");
    std::string r = real;
    free(real);
    std::string prefix = rootReal == "/" ? "/" : rootReal + "/";
    if (r.compare(0, prefix.size(), prefix) != 0 || r.size() == prefix.size()) return no("link leads out of the root");
    if (path) *path = r;
    return true;
}

namespace {

bool parseHex(const std::string& s, std::vector<uint8_t>* out) {
    std::string digits;
    for (char ch : s) {
        if (ch == ' ' || ch == '\t') continue;
        if (!isxdigit(static_cast<unsigned char>(ch))) return false;
        digits += ch;
    }
    if (digits.empty() || digits.size() % 2) return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back(static_cast<uint8_t>(strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    return true;
}

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

}  // namespace

bool parseScript(const std::string& text, std::vector<ScriptStep>* steps, std::string* error) {
    std::vector<ScriptStep> result;
    size_t pos = 0;
    int lineNo = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::string line = trim(text.substr(pos, eol - pos));
        pos = eol + 1;
        ++lineNo;
        if (line.empty() || line[0] == '#') continue;
        size_t sp = line.find_first_of(" \t");
        std::string verb = line.substr(0, sp);
        std::string rest = sp == std::string::npos ? "" : trim(line.substr(sp));
        auto bad = [&](const std::string& why) {
            if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
            return false;
        };
        ScriptStep s;
        if (verb == "pnf" || verb == "pdf") {
            // The rest of the line is the path (it may hold spaces; a
            // trailing "/" on pdf names a folder).
            if (rest.size() > 0xFFFF) return bad("path too long");
            s.bytes.resize(NEW_FOLDER_HEAD_SIZE + rest.size());
            if (verb == "pnf")
                buildNewFolder(s.bytes.data(), s.bytes.size(), rest.data(), rest.size());
            else
                buildDeletePath(s.bytes.data(), s.bytes.size(), rest.data(), rest.size());
        } else if (verb == "prf") {
            size_t mid = rest.find_first_of(" \t");
            if (mid == std::string::npos) return bad("prf needs an old and a new path");
            std::string a = rest.substr(0, mid), b = trim(rest.substr(mid));
            if (b.find_first_of(" \t") != std::string::npos) return bad("prf takes two paths without spaces");
            if (a.size() > 0xFFFF || b.size() > 0xFFFF) return bad("path too long");
            s.bytes.resize(MOVE_PATH_HEAD_SIZE + a.size() + b.size());
            buildMovePath(s.bytes.data(), s.bytes.size(), a.data(), a.size(), b.data(), b.size());
        } else if (verb == "raw") {
            if (!parseHex(rest, &s.bytes)) return bad("raw needs hex bytes, e.g. raw 23 76 01 00");
        } else if (verb == "sleep") {
            char* end = nullptr;
            long ms = strtol(rest.c_str(), &end, 10);
            if (rest.empty() || *end || ms < 0 || ms > 600000) return bad("sleep needs milliseconds (0 to 600000)");
            if (ms == 0) continue;
            s.sleepMs = static_cast<int>(ms);
        } else {
            return bad("unknown command \"" + verb + "\" (pnf, prf, pdf, raw, sleep)");
        }
        result.push_back(std::move(s));
    }
    *steps = std::move(result);
    return true;
}

}  // namespace update_server
