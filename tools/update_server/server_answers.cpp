// The reference update server: reading a client's requests, queueing and
// sending the answers (with the fault options applied), and the pure rules
// behind them: message lengths and request names.
#include "tools/update_server/server_internal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

void UpdateServer::Impl::readFrom(Client& c) {
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

bool UpdateServer::Impl::wantsInput(const Client& c) const {
    return c.lingering || (!c.closeWhenFlushed && c.jobs.size() < MAX_JOBS && c.in.size() < IN_BUFFER_CAP);
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

void UpdateServer::Impl::parse(Client& c) {
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

void UpdateServer::Impl::handleMessage(Client& c, const uint8_t* m, size_t len) {
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
                if (s.afterFile > 0) c.heldScript.push_back(s);
                else c.jobs.push_back(scriptJob(s));
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

// Works off the client's jobs as far as time, faults and buffer space
// allow; returns the time it next wants to be woken, or max() for none.
Clock::time_point UpdateServer::Impl::advance(Client& c, Clock::time_point now) {
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
        if (c.jobs.empty() || c.out.pending() >= cap) return Clock::time_point::max();
        if (draining && c.jobs.front().kind == Job::REQUEST) return Clock::time_point::max();
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

void UpdateServer::Impl::startRequest(Client& c, const std::string& name, Clock::time_point now) {
    const FaultSettings& f = cfg.faults;
    if (f.noAnswer) {
        say(format("%s \"%s\" not answered (--no-answer)", tag(c).c_str(), printable(name).c_str()));
        return;
    }
    if (f.refuseAll) return refuse(c, name, "--refuse-all", now);
    // The root is looked up for every request, so that a link renamed over
    // it publishes a new release at once.
    char* real = realpath(cfg.root.c_str(), nullptr);
    if (!real) return refuse(c, name, std::string("root: ") + strerror(errno), now);
    if (rootReal != real) {
        say(format("serving %s (was %s)", real, rootReal.c_str()));
        rootReal = real;
    }
    free(real);
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
    ++activeTransfers;
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

}  // namespace update_server
