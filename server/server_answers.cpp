// The reference update server: reading a client's requests, queueing and
// sending the answers (with the fault options applied), and the pure rules
// behind them: message lengths and request names.
#include "server/server_internal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cctype>

#include "net/wire_format.h"

namespace update_server {

namespace {

Job scriptJob(const ScriptStep& s) {
    return s.bytes.empty() ? Job{Job::SLEEP, {}, s.sleepMs} : Job{Job::SEND, s.bytes, 0};
}

}  // namespace

void UpdateServer::Impl::readFrom(Client& c, Clock::time_point now) {
    parseHeld(c);  // what waited for room in the queue comes first
    size_t budget = READ_BUDGET;
    uint8_t buf[READ_BUDGET];
    while (budget > 0 && !c.dead && wantsInput(c)) {
        size_t room = c.lingering ? budget : std::min(budget, IN_BUFFER_CAP - c.in.size());
        ssize_t n = recv(c.fd, buf, room, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) closeClient(c, format("receive error: %s", strerror(errno)));
            break;
        }
        if (n == 0) {
            if (c.lingering) return closeClient(c, c.closeReason);
            // A half-close: what it asked for still goes out (work() closes
            // once that is done); an unfinished message never will be.
            c.peerClosed = true;
            if (c.jobs.size() < MAX_JOBS) std::vector<uint8_t>().swap(c.in);
            break;
        }
        c.receivedTotal += static_cast<uint64_t>(n);
        budget -= static_cast<size_t>(n);
        record(c, buf, static_cast<size_t>(n));
        if (c.lingering) continue;  // closing: what the peer still sends is dropped
        size_t len = static_cast<size_t>(n);
        if (c.in.empty()) {
            // Whole messages are taken straight from the read; only a rest
            // is kept.
            size_t taken = parse(c, buf, len);
            if (!c.dead && taken < len) c.in.assign(buf + taken, buf + len);
        } else {
            c.in.insert(c.in.end(), buf, buf + len);
            parseHeld(c);
        }
        notePeak(c);
    }
    notePartial(c, now);
}

bool UpdateServer::Impl::wantsInput(const Client& c) const {
    return c.lingering ||
           (!c.closeWhenFlushed && !c.peerClosed && c.jobs.size() < MAX_JOBS && c.in.size() < IN_BUFFER_CAP);
}

void UpdateServer::Impl::record(const Client& c, const uint8_t* p, size_t n) {
    if (dump) {
        fwrite(p, 1, n, dump);
        fflush(dump);
    }
    std::lock_guard<std::mutex> lock(statsMutex);
    if (c.prefixIndex >= prefixes.size()) return;
    std::string& pre = prefixes[c.prefixIndex];
    if (pre.size() < PREFIX_BYTES) pre.append(reinterpret_cast<const char*>(p), std::min(n, PREFIX_BYTES - pre.size()));
}

size_t UpdateServer::Impl::parse(Client& c, const uint8_t* p, size_t n) {
    const FaultSettings& f = cfg.faults;
    size_t pos = 0;
    while (pos < n && !c.dead && !c.closeWhenFlushed && c.jobs.size() < MAX_JOBS) {
        ClientMessage m;
        size_t len = c.reader.next(p + pos, n - pos, &m);
        switch (m.kind) {
        case ClientMessage::INCOMPLETE:
            return pos;
        case ClientMessage::HELLO:
            // Logged once; an installer sends one, repeats are counted.
            if (++c.hellos == 1) say(format("%s hello %u.%u", tag(c).c_str(), m.major, m.minor));
            if (!f.noHello) {
                uint8_t answer[VERSION_MSG_SIZE];
                buildVersionMessage(answer, sizeof answer, f.versionMajor, f.versionMinor);
                // Nothing ahead of it: straight into the output, without a job.
                if (c.jobs.empty() && !c.xfer.active && !c.sleeping && c.out.pending() < cfg.outputBufferBytes)
                    queue(c, answer, sizeof answer);
                else
                    c.jobs.push_back(Job{Job::SEND, std::vector<uint8_t>(answer, answer + sizeof answer), 0});
            }
            if (!c.helloSeen) {
                for (const ScriptStep& s : f.script) {
                    if (s.afterFile > 0) c.heldScript.push_back(s);
                    else c.jobs.push_back(scriptJob(s));
                }
            }
            c.helloSeen = true;
            c.spoken = true;
            break;
        case ClientMessage::REQUEST:
            c.jobs.push_back(Job{Job::REQUEST, std::vector<uint8_t>(m.name, m.name + m.nameLen), 0});
            c.spoken = true;
            break;
        case ClientMessage::LONG_REQUEST:
            c.jobs.push_back(Job{Job::LONG_NAME, {}, static_cast<int>(m.nameLen)});
            c.spoken = true;
            break;
        case ClientMessage::SKIPPED:
            break;
        case ClientMessage::BAD: {
            ++badPeers;
            std::string what(reinterpret_cast<const char*>(p + pos), std::min<size_t>(n - pos, 2));
            closeClient(c, format("sent \"%s\", which no installer sends", printable(what).c_str()));
            return pos;
        }
        }
        if (m.kind != ClientMessage::SKIPPED) c.partialSince = Clock::time_point::max();
        pos += len;
    }
    return pos;
}

void UpdateServer::Impl::parseHeld(Client& c) {
    if (c.in.empty() || c.dead || c.jobs.size() >= MAX_JOBS) return;
    size_t taken = parse(c, c.in.data(), c.in.size());
    if (c.dead) return;
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(taken));
    // Nothing held: give the memory back (most connections are idle).
    if (c.in.empty()) std::vector<uint8_t>().swap(c.in);
}

// Starts the clock on a message the peer has begun and not finished; bytes
// held only because the queue is full are the server's delay, not the peer's.
void UpdateServer::Impl::notePartial(Client& c, Clock::time_point now) {
    if (c.dead) return;
    bool partial = !c.peerClosed && c.jobs.size() < MAX_JOBS && (c.reader.skipping() || !c.in.empty());
    if (!partial) {
        c.partialSince = Clock::time_point::max();
    } else if (c.partialSince == Clock::time_point::max()) {
        c.partialSince = now;
        partialDeadlines.push_back({now + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(cfg.partialSeconds)),
                                    c.id});
    }
}

// Works off the client's jobs as far as time, faults and buffer space
// allow; returns the time it next wants to be woken, or max() for none.
Clock::time_point UpdateServer::Impl::advance(Client& c, Clock::time_point now) {
    const FaultSettings& f = cfg.faults;
    const size_t cap = cfg.outputBufferBytes;
    while (!c.dead && !c.closeWhenFlushed && !c.lingering) {
        // Room in the queue again: take what the client sent meanwhile.
        if (!c.in.empty() && c.jobs.size() < MAX_JOBS) {
            parseHeld(c);
            if (c.dead || c.closeWhenFlushed) break;
            notePartial(c, now);
        }
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
            uint64_t burst = 0;
            while (x.produced < x.limit && (c.out.pending() < cap || !x.noSendfile)) {
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
                ssize_t r;
                if (!x.noSendfile) {
                    // Straight from the file to the socket, once what is
                    // queued ahead of the content (the header) has gone.
                    if (c.out.pending() > 0) {
                        flush(c, now);
                        if (c.dead || c.closeWhenFlushed) return Clock::time_point::max();
                        if (c.out.pending() > 0) return Clock::time_point::max();
                    }
                    off_t off = static_cast<off_t>(x.produced);
                    r = sendfile(c.fd, x.fd, &off, static_cast<size_t>(std::min<uint64_t>(allowed - x.produced, SENDFILE_CHUNK)));
                    if (r < 0 && errno == EINTR) continue;
                    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                        c.wantWrite = true;
                        return Clock::time_point::max();
                    }
                    if (r < 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                        x.noSendfile = true;
                        continue;
                    }
                    if (r < 0 && errno != EIO) {
                        closeClient(c, format("send error: %s", strerror(errno)));
                        return Clock::time_point::max();
                    }
                    if (r > 0) {
                        c.queuedTotal += static_cast<uint64_t>(r);
                        sent(c, static_cast<uint64_t>(r));
                        x.produced += static_cast<uint64_t>(r);
                        // A share per call, so that others get their turn.
                        if ((burst += static_cast<uint64_t>(r)) >= SENDFILE_CHUNK) return Clock::time_point::max();
                        continue;
                    }
                } else {
                    size_t n = static_cast<size_t>(std::min<uint64_t>({allowed - x.produced, FILE_CHUNK, cap - c.out.pending()}));
                    uint8_t* dst = c.out.reserve(n);
                    r = pread(x.fd, dst, n, static_cast<off_t>(x.produced));
                    c.out.commit(r > 0 ? static_cast<size_t>(r) : 0);
                    if (r > 0) c.queuedTotal += static_cast<uint64_t>(r);
                }
                if (r <= 0) {
                    // The header promised bytes the file no longer has: the
                    // stream cannot be kept in step, so the client goes.
                    say(format("%s \"%s\" read failed after %llu of %llu bytes: %s", tag(c).c_str(),
                               printable(x.name).c_str(), static_cast<unsigned long long>(x.produced),
                               static_cast<unsigned long long>(x.size), r < 0 ? strerror(errno) : "file shrank"));
                    closeClient(c, "file read failed");
                    return Clock::time_point::max();
                }
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
            ++transfersDone;
            // Steps held for this file go out right behind its content,
            // ahead of any request already waiting.
            ++c.filesServed;
            for (auto s = c.heldScript.rbegin(); s != c.heldScript.rend(); ++s)
                if (s->afterFile == c.filesServed) c.jobs.push_front(scriptJob(*s));
            continue;
        }
        if (c.sleeping) {
            if (now < c.sleepUntil) return c.sleepUntil;
            c.sleeping = false;
        }
        if (c.jobs.empty() || c.out.pending() >= cap || c.waitingForFile) return Clock::time_point::max();
        if (draining && c.jobs.front().kind == Job::REQUEST) return Clock::time_point::max();
        if (f.quitAfterRequests > 0 && c.answered >= f.quitAfterRequests) return Clock::time_point::max();
        Job& j = c.jobs.front();
        switch (j.kind) {
        case Job::SEND:
            queue(c, j.bytes.data(), j.bytes.size());
            break;
        case Job::SLEEP:
            c.sleeping = true;
            c.sleepUntil = now + std::chrono::milliseconds(j.ms);
            break;
        case Job::REQUEST:
            if (!startRequest(c, std::string(j.bytes.begin(), j.bytes.end()), now)) {
                // Every file descriptor for transfers is taken: wait for one.
                c.waitingForFile = true;
                waitingForFile.push_back(c.id);
                return Clock::time_point::max();
            }
            break;
        case Job::LONG_NAME:
            refuse(c, format("(a name of %d bytes)", j.ms),
                   format("longer than the installer's %zu", MAX_REQUEST_NAME), now);
            break;
        }
        if (!c.jobs.empty()) c.jobs.pop_front();
    }
    if (c.lingering) return c.lingerUntil;
    return Clock::time_point::max();
}

std::string UpdateServer::Impl::requestText(const Transfer& x) {
    std::string t = format("\"%s\" %llu bytes", printable(x.name).c_str(), static_cast<unsigned long long>(x.size));
    if (x.announced != x.size) t += format(" (announced %llu)", static_cast<unsigned long long>(x.announced));
    return t;
}

void UpdateServer::Impl::finishAnswer(Client& c, uint64_t startOffset, Clock::time_point started, const std::string& text) {
    c.finished.push_back(Finished{c.queuedTotal, startOffset, started, text});
    ++c.answered;
}

void UpdateServer::Impl::refuse(Client& c, const std::string& name, const std::string& why, Clock::time_point now) {
    uint64_t start = c.queuedTotal;
    uint8_t e[FILE_ERROR_MSG_SIZE];
    buildFileError(e, sizeof e);
    queue(c, e, sizeof e);
    finishAnswer(c, start, now, "\"" + printable(name) + "\" refused (" + why + ")");
}

bool UpdateServer::Impl::startRequest(Client& c, const std::string& name, Clock::time_point now) {
    const FaultSettings& f = cfg.faults;
    if (f.noAnswer) {
        say(format("%s \"%s\" not answered (--no-answer)", tag(c).c_str(), printable(name).c_str()));
        return true;
    }
    auto no = [&](const std::string& why) {
        refuse(c, name, why, now);
        return true;
    };
    if (f.refuseAll) return no("--refuse-all");
    if (!allowedRequestName(reinterpret_cast<const uint8_t*>(name.data()), name.size()))
        return no("not a file an installer asks for");
    if (activeTransfers >= transferLimit) return false;
    // The root is looked up for every request, so that a link renamed over
    // it publishes a new release at once.
    char* real = realpath(cfg.root.c_str(), nullptr);
    if (!real) return no(std::string("root: ") + strerror(errno));
    if (rootReal != real) {
        say(format("serving %s (was %s)", real, rootReal.c_str()));
        rootReal = real;
    }
    free(real);
    std::string rel, why;
    if (!requestPath(name, &rel, &why)) return no(why);
    // The root may be a link (that is how a release is switched); below it
    // nothing is followed, so that a link laid in the release folder never
    // hands out what it points at.  Only a regular file is opened (a device
    // or a pipe could block or act on being opened): first a handle that
    // does not open the file, to look at it, then the file itself, without
    // blocking, checked again once open.
    auto unservable = [](const struct stat& st) -> const char* {
        if (S_ISDIR(st.st_mode)) return "a folder";
        if (!S_ISREG(st.st_mode)) return "not a regular file";
        if (st.st_size <= 0) return "empty file";
        if (st.st_size > 0xFFFFFFFFLL) return "larger than 4 GiB - 1";
        return nullptr;
    };
    auto openFailure = [](int err) -> std::string {
        if (err == ELOOP) return "a link below the root";
        if (err == EXDEV) return "leaves the root";
        if (err == ENOENT || err == ENOTDIR) return "missing";
        return std::string("cannot open: ") + strerror(err);
    };
    int rootFd = ::open(rootReal.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) return no(std::string("root: ") + strerror(errno));
    struct stat st {};
    int fd = openBelow(rootFd, rel, O_PATH | O_CLOEXEC);
    const char* what = nullptr;
    if (fd >= 0) {
        what = fstat(fd, &st) != 0 ? "cannot check" : unservable(st);
        close(fd);
        if (!what) fd = openBelow(rootFd, rel, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    }
    int err = errno;
    close(rootFd);
    if (what) return no(what);
    if (fd < 0) return no(openFailure(err));
    what = fstat(fd, &st) != 0 ? "cannot check" : unservable(st);
    if (what) {
        close(fd);
        return no(what);
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
    ++activeTransfers;
    return true;
}

void UpdateServer::Impl::beginClose(Client& c, const std::string& reason) {
    c.closeWhenFlushed = true;
    c.closeReason = reason;
    c.jobs.clear();
}

void UpdateServer::Impl::flush(Client& c, Clock::time_point now) {
    while (!c.dead && c.out.pending() > 0) {
        ssize_t n = send(c.fd, c.out.data(), c.out.pending(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) closeClient(c, format("send error: %s", strerror(errno)));
            break;
        }
        c.out.consume(static_cast<size_t>(n));
        sent(c, static_cast<uint64_t>(n));
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


bool requestPath(const std::string& name, std::string* rel, std::string* reason) {
    auto no = [&](const char* why) {
        if (reason) *reason = why;
        return false;
    };
    if (name.empty()) return no("empty name");
    if (name.size() > MAX_REQUEST_NAME) return no("name too long");
    if (name.find('\0') != std::string::npos) return no("name holds a NUL byte");
    std::string n = name;
    std::replace(n.begin(), n.end(), '\\', '/');
    if (n[0] == '/') return no("absolute name");
    if (n.find(':') != std::string::npos) return no("drive or stream name");
    std::string r;
    size_t i = 0;
    while (i <= n.size()) {
        size_t j = n.find('/', i);
        if (j == std::string::npos) j = n.size();
        std::string part = n.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return no("leaves the root");
        if (!r.empty()) r += '/';
        r += part;
    }
    if (r.empty()) return no("names the root");
    if (rel) *rel = r;
    return true;
}

int openBelow(int dirFd, const std::string& rel, int flags) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    long r = syscall(SYS_openat2, dirFd, rel.c_str(), &how, sizeof how);
    // Without openat2 (a kernel before 5.6, or a system-call filter that
    // does not know it and answers EPERM): one component at a time.
    if (r >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(r);
    int dir = dirFd;
    for (size_t at = 0;;) {
        size_t slash = rel.find('/', at);
        bool last = slash == std::string::npos;
        std::string part = rel.substr(at, last ? std::string::npos : slash - at);
        int next = -1, err = EXDEV;
        if (part != ".." && !part.empty()) {
            next = openat(dir, part.c_str(), last ? flags | O_NOFOLLOW : O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            err = errno;
            // O_PATH with O_NOFOLLOW opens a link itself; O_DIRECTORY with
            // O_NOFOLLOW says ENOTDIR for a link.
            struct stat st {};
            if (next >= 0 && last && (flags & O_PATH) && fstat(next, &st) == 0 && S_ISLNK(st.st_mode)) {
                close(next);
                next = -1;
                err = ELOOP;
            } else if (next < 0 && err == ENOTDIR && fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISLNK(st.st_mode)) {
                err = ELOOP;
            }
        }
        if (dir != dirFd) close(dir);
        if (next < 0 || last) {
            errno = err;
            return next;
        }
        dir = next;
        at = slash + 1;
    }
}

}  // namespace update_server
