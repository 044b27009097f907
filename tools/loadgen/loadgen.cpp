// loadgen: simulated installers against an update server, for the bench.
//
// K connections are opened at a steady rate; each sends the version hello
// and waits for the answer, then stays idle, as an installer with its window
// open does.  Once all have been answered (and an optional idle pause has
// passed), D of them request one file at the same moment and check every
// byte against a local copy.  Everything is bounded: connections, seconds,
// loopback addresses only; the run ends by itself.
//
//   loadgen --address 127.0.80.1 --connections 19000 --downloads 64
//           --file big.bin --expect /srv/release/big.bin   (one line)
//
// Prints the connect rate, the hello latency (p50, p99, max), the download
// throughput with the median and slowest download, and the errors; a
// progress line goes to stderr every second.  SIGTERM ends the run early
// with the same summary.  Exit 0 when there were no errors, 1 otherwise, 2
// for bad options.
//
// With --mode the K connections are hostile instead, for --max-seconds
// (each reconnects when the server closes it):
//   slow-hello        one byte of the hello every 5 s
//   garbage           random bytes as fast as the server takes them
//   long-names        hello, a request for --file it never reads, then
//                     requests with 65,535-byte names as fast as taken
//   pipelined-hellos  5,000 hellos in one write, the answers read, again
//   no-read           hello and a request for --file, then nothing
// and print what the server did with them.
#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/wire_format.h"

namespace {

using Clock = std::chrono::steady_clock;

// SIGTERM or SIGINT: end the run now and print what it measured.
volatile sig_atomic_t stopNow = 0;
void onStop(int) { stopNow = 1; }

// The connections come from 127.0.98.1 to 127.0.98.16.
const uint32_t SOURCE_BASE = 0x7F006200;
const uint32_t SOURCES = 16;

double secs(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

struct Options {
    std::string address;
    int port = 49491;
    int connections = 100;
    int rate = 5000;          // connects per second
    int downloads = 0;
    std::string file;         // name requested
    std::string expect;       // local copy it is checked against
    double idleSeconds = 0;   // pause between "all answered" and the downloads
    double maxSeconds = 120;  // the whole run
    std::string mode;         // a hostile mode, or empty
};

enum class State { CONNECTING, WAIT_HELLO, IDLE, WAIT_HEADER, CONTENT, DONE, FAILED };

struct Conn {
    int fd = -1;
    State state = State::CONNECTING;
    Clock::time_point started, requested, finished;
    uint8_t head[8];
    size_t headGot = 0;
    uint64_t size = 0, got = 0;
};

struct Errors {
    int connect = 0, closed = 0, content = 0, refused = 0, timeout = 0;
    int total() const { return connect + closed + content + refused + timeout; }
};

bool parseNumber(const char* s, double lo, double hi, double* out) {
    char* end = nullptr;
    errno = 0;
    double v = strtod(s, &end);
    if (errno || end == s || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

int usage(const char* why) {
    fprintf(stderr,
            "loadgen: %s\n"
            "usage: loadgen --address 127.x.y.z [--port N] --connections K [--rate R]\n"
            "               [--downloads D --file NAME --expect LOCALFILE] [--idle S] [--max-seconds S]\n"
            "  K simulated installers (hello, then idle; 1 to 60000), R connects a second\n"
            "  (default 5000); D of them then download NAME, checked against LOCALFILE;\n"
            "  --idle pauses S seconds with all connected before the downloads; the run\n"
            "  ends after --max-seconds (default 120) at the latest.\n"
            "  --mode slow-hello|garbage|long-names|pipelined-hellos|no-read: K hostile\n"
            "  connections for --max-seconds instead (long-names and no-read need --file).\n",
            why);
    return 2;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// ---- hostile modes ----------------------------------------------------------

struct Hostile {
    int fd = -1;
    Clock::time_point nextSend;
    size_t sent = 0;        // of the current burst
    uint64_t answered = 0;  // bytes received in pipelined-hellos
};

int runHostile(const Options& o, const sockaddr_in& sa) {
    const std::string& m = o.mode;
    if (m != "slow-hello" && m != "garbage" && m != "long-names" && m != "pipelined-hellos" && m != "no-read")
        return usage(("unknown mode " + m).c_str());
    if ((m == "long-names" || m == "no-read") && o.file.empty()) return usage("this mode needs --file");
    uint8_t hello[VERSION_MSG_SIZE];
    buildVersionMessage(hello, sizeof hello);
    std::string helloS(reinterpret_cast<char*>(hello), sizeof hello);
    std::string req(FILE_REQUEST_HEAD_SIZE + o.file.size(), '\0');
    buildFileRequest(reinterpret_cast<uint8_t*>(&req[0]), req.size(), o.file.data(), o.file.size());
    // The stream each mode sends after connecting; "repeat" is sent over
    // and over once it is through.
    std::string first, repeat;
    if (m == "slow-hello") first = "", repeat = helloS;  // one byte at a time
    if (m == "garbage") {
        repeat.resize(64 * 1024);
        uint32_t x = 2463534242u;
        for (char& ch : repeat) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            ch = static_cast<char>(x);
        }
    }
    if (m == "long-names") first = helloS + req, repeat = std::string("rf\xff\xff", 4) + std::string(65535, 'n');
    if (m == "pipelined-hellos") {
        for (int i = 0; i < 5000; ++i) first += helloS;
    }
    if (m == "no-read") first = helloS + req;
    const bool reads = m == "pipelined-hellos" || m == "garbage" || m == "slow-hello";

    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Hostile> conns(static_cast<size_t>(o.connections));
    uint64_t opened = 0, closedByServer = 0, bytesOut = 0, bytesIn = 0, rounds = 0;
    std::vector<char> buf(256 * 1024);
    auto open1 = [&](size_t i) {
        Hostile& h = conns[i];
        h = Hostile{};
        h.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(h.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl(SOURCE_BASE + 1 + static_cast<uint32_t>(i) % SOURCES);
        bind(h.fd, reinterpret_cast<sockaddr*>(&src), sizeof src);
        connect(h.fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        epoll_event e{};
        e.events = EPOLLOUT | (reads ? EPOLLIN : 0u);
        e.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, h.fd, &e);
        h.nextSend = Clock::now();
        ++opened;
    };
    auto reopen = [&](size_t i) {
        linger l{1, 0};
        setsockopt(conns[i].fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(conns[i].fd);
        ++closedByServer;
        open1(i);
    };
    for (size_t i = 0; i < conns.size(); ++i) open1(i);
    Clock::time_point t0 = Clock::now();
    std::vector<epoll_event> events(1024);
    while (!stopNow && secs(t0, Clock::now()) < o.maxSeconds) {
        int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
        Clock::time_point now = Clock::now();
        for (int k = 0; k < n; ++k) {
            size_t i = events[k].data.u64;
            Hostile& h = conns[i];
            uint32_t re = events[k].events;
            if (re & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                ssize_t r = reads || (re & (EPOLLHUP | EPOLLERR)) ? recv(h.fd, buf.data(), buf.size(), 0) : 1;
                if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
                    reopen(i);
                    continue;
                }
                if (r > 0 && reads) {
                    bytesIn += static_cast<uint64_t>(r);
                    h.answered += static_cast<uint64_t>(r);
                }
            }
            if (!(re & EPOLLOUT)) continue;
            // Send what is due: the opening bytes, then the repeated ones.
            for (;;) {
                bool inFirst = h.sent < first.size();
                if (!inFirst) {
                    if (repeat.empty()) break;
                    if (m == "slow-hello" && now < h.nextSend) break;
                    if (m == "pipelined-hellos") break;
                }
                const std::string& what = inFirst ? first : repeat;
                size_t at = inFirst ? h.sent : (h.sent - first.size()) % repeat.size();
                size_t len = m == "slow-hello" ? 1 : what.size() - at;
                ssize_t w = send(h.fd, what.data() + at, len, MSG_NOSIGNAL);
                if (w <= 0) break;
                bytesOut += static_cast<uint64_t>(w);
                h.sent += static_cast<size_t>(w);
                if (m == "slow-hello") {
                    h.nextSend = now + std::chrono::seconds(5);
                    break;
                }
            }
            // Stop asking to send when nothing more is due now.
            epoll_event e{};
            bool more = h.sent < first.size() || m == "garbage" || m == "long-names";
            e.events = (more ? EPOLLOUT : 0u) | (reads ? EPOLLIN : 0u);
            e.data.u64 = i;
            epoll_ctl(ep, EPOLL_CTL_MOD, h.fd, &e);
        }
        // Time-driven sends and the next round of pipelined hellos.
        for (size_t i = 0; i < conns.size(); ++i) {
            Hostile& h = conns[i];
            bool due = (m == "slow-hello" && now >= h.nextSend) ||
                       (m == "pipelined-hellos" && h.answered >= first.size());
            if (!due) continue;
            if (m == "pipelined-hellos") {
                h.answered -= first.size();
                h.sent = 0;
                ++rounds;
            }
            epoll_event e{};
            e.events = EPOLLOUT | (reads ? EPOLLIN : 0u);
            e.data.u64 = i;
            epoll_ctl(ep, EPOLL_CTL_MOD, h.fd, &e);
        }
    }
    for (Hostile& h : conns) close(h.fd);
    printf("hostile %s: %d connections, %llu opened in %.1f s, %llu closed by the server, %.1f MB sent, %.1f MB "
           "received%s\n",
           m.c_str(), o.connections, static_cast<unsigned long long>(opened), secs(t0, Clock::now()),
           static_cast<unsigned long long>(closedByServer), static_cast<double>(bytesOut) / 1048576.0,
           static_cast<double>(bytesIn) / 1048576.0,
           m == "pipelined-hellos" ? (", " + std::to_string(rounds) + " rounds of 5000 answered").c_str() : "");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return usage(("missing value for " + a).c_str());
        const char* v = argv[++i];
        double n = 0;
        if (a == "--address") {
            o.address = v;
        } else if (a == "--mode") {
            o.mode = v;
        } else if (a == "--file") {
            o.file = v;
        } else if (a == "--expect") {
            o.expect = v;
        } else if (!parseNumber(v, 0, 1e9, &n)) {
            return usage(("bad number for " + a).c_str());
        } else if (a == "--port" && n >= 1 && n <= 65535) {
            o.port = static_cast<int>(n);
        } else if (a == "--connections" && n >= 1 && n <= 60000) {
            o.connections = static_cast<int>(n);
        } else if (a == "--rate" && n >= 1 && n <= 100000) {
            o.rate = static_cast<int>(n);
        } else if (a == "--downloads" && n <= 60000) {
            o.downloads = static_cast<int>(n);
        } else if (a == "--idle" && n <= 3600) {
            o.idleSeconds = n;
        } else if (a == "--max-seconds" && n >= 1 && n <= 3600) {
            o.maxSeconds = n;
        } else {
            return usage(("bad option or value: " + a).c_str());
        }
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(o.port));
    if (inet_pton(AF_INET, o.address.c_str(), &sa.sin_addr) != 1 || (ntohl(sa.sin_addr.s_addr) >> 24) != 127)
        return usage("--address must be a loopback address (127.0.0.0/8)");
    if (!o.mode.empty()) {
        signal(SIGTERM, onStop);
        signal(SIGINT, onStop);
        signal(SIGPIPE, SIG_IGN);
        return runHostile(o, sa);
    }
    if (o.downloads > o.connections) return usage("--downloads is more than --connections");
    if (o.downloads > 0 && (o.file.empty() || o.expect.empty())) return usage("downloads need --file and --expect");

    const uint8_t* expected = nullptr;
    uint64_t expectedSize = 0;
    if (o.downloads > 0) {
        int fd = open(o.expect.c_str(), O_RDONLY);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0 || st.st_size <= 0) return usage(("cannot read " + o.expect).c_str());
        expectedSize = static_cast<uint64_t>(st.st_size);
        void* m = mmap(nullptr, expectedSize, PROT_READ, MAP_PRIVATE, fd, 0);
        close(fd);
        if (m == MAP_FAILED) return usage(("cannot map " + o.expect).c_str());
        expected = static_cast<const uint8_t*>(m);
    }

    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur != RLIM_INFINITY && static_cast<rlim_t>(o.connections) + 16 > rl.rlim_cur) {
        fprintf(stderr, "loadgen: %d connections need more than the open-file limit %llu\n", o.connections,
                static_cast<unsigned long long>(rl.rlim_cur));
        return 2;
    }

    uint8_t hello[VERSION_MSG_SIZE];
    buildVersionMessage(hello, sizeof hello, PROTOCOL_MAJOR, PROTOCOL_MINOR);
    std::vector<uint8_t> req(FILE_REQUEST_HEAD_SIZE + o.file.size());
    if (o.downloads > 0) buildFileRequest(req.data(), req.size(), o.file.data(), o.file.size());

    signal(SIGTERM, onStop);
    signal(SIGINT, onStop);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Conn> conns(static_cast<size_t>(o.connections));
    std::vector<double> helloMs, downloadS;
    Errors err;
    int opened = 0, answered = 0, settled = 0, downloadsDone = 0, downloadsStarted = 0;
    uint64_t downloadBytes = 0;
    std::vector<uint8_t> buf(256 * 1024);
    std::vector<epoll_event> events(1024);
    Clock::time_point t0 = Clock::now(), allAnswered{}, firstRequest{}, lastDone{}, nextProgress = t0;
    double connectSeconds = 0;
    bool downloadsBegun = false;

    auto arm = [&](Conn& c, size_t idx, uint32_t ev) {
        epoll_event e{};
        e.events = ev;
        e.data.u64 = idx;
        epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &e);
    };
    auto fail = [&](Conn& c, int Errors::*kind) {
        if (c.state == State::DONE || c.state == State::FAILED) return;
        if (c.state == State::CONNECTING || c.state == State::WAIT_HELLO) ++settled;
        if (c.state == State::WAIT_HEADER || c.state == State::CONTENT) ++downloadsDone;
        c.state = State::FAILED;
        ++(err.*kind);
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
    };

    for (;;) {
        Clock::time_point now = Clock::now();
        double t = secs(t0, now);
        if (t > o.maxSeconds || stopNow) break;
        // Open what the rate allows by now.
        int due = std::min(o.connections, static_cast<int>(t * o.rate) + 1);
        // A few at a time, so that answers are read between the opens and
        // the latency is the server's, not this loop's.
        for (int budget = 100; opened < due && budget > 0; --budget) {
            Conn& c = conns[static_cast<size_t>(opened)];
            c.started = Clock::now();
            c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            size_t idx = static_cast<size_t>(opened++);
            if (c.fd < 0) {
                c.state = State::FAILED;
                ++err.connect;
                ++settled;
                continue;
            }
            int one = 1;
            setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            // Source addresses in turn, the port picked at connect: with
            // one source, finding a free port gets slower as they fill up.
            setsockopt(c.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
            sockaddr_in src{};
            src.sin_family = AF_INET;
            src.sin_addr.s_addr = htonl(SOURCE_BASE + 1 + idx % SOURCES);
            bind(c.fd, reinterpret_cast<sockaddr*>(&src), sizeof src);
            int r = connect(c.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            epoll_event e{};
            e.events = EPOLLOUT;
            e.data.u64 = idx;
            if (r != 0 && errno != EINPROGRESS) {
                c.state = State::FAILED;
                ++err.connect;
                ++settled;
                continue;
            }
            epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &e);
        }
        if (opened == o.connections && connectSeconds == 0) connectSeconds = secs(t0, Clock::now());
        if (settled == o.connections && !downloadsBegun) {
            if (allAnswered == Clock::time_point{}) allAnswered = now;
            if (secs(allAnswered, now) >= o.idleSeconds) {
                downloadsBegun = true;
                firstRequest = Clock::now();
                for (auto& c : conns) {
                    if (downloadsStarted == o.downloads) break;
                    if (c.state != State::IDLE) continue;
                    c.requested = Clock::now();
                    if (send(c.fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
                        c.state = State::WAIT_HEADER;
                        ++downloadsStarted;
                        fail(c, &Errors::closed);
                        continue;
                    }
                    c.state = State::WAIT_HEADER;
                    ++downloadsStarted;
                }
                // Connections that failed before count against the downloads.
                downloadsDone += o.downloads - downloadsStarted;
            }
        }
        if (downloadsBegun && downloadsDone >= o.downloads) break;
        if (now >= nextProgress) {
            fprintf(stderr, "loadgen: %5.1f s  connected %d/%d  answered %d  downloads %d/%d  %.0f MB  errors %d\n", t,
                    opened, o.connections, answered, downloadsDone, o.downloads,
                    static_cast<double>(downloadBytes) / 1048576.0, err.total());
            nextProgress = now + std::chrono::seconds(1);
        }
        int timeout = opened < o.connections ? (opened < due ? 0 : 1) : 100;
        int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), timeout);
        for (int i = 0; i < n; ++i) {
            size_t idx = events[i].data.u64;
            Conn& c = conns[idx];
            uint32_t re = events[i].events;
            if (c.state == State::CONNECTING) {
                int so = 0;
                socklen_t len = sizeof so;
                getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &so, &len);
                if (so != 0 || (re & EPOLLERR)) {
                    fail(c, &Errors::connect);
                    continue;
                }
                if (send(c.fd, hello, sizeof hello, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof hello)) {
                    fail(c, &Errors::closed);
                    continue;
                }
                c.state = State::WAIT_HELLO;
                arm(c, idx, EPOLLIN);
                continue;
            }
            ssize_t r = recv(c.fd, buf.data(), buf.size(), 0);
            if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (r <= 0) {
                fail(c, &Errors::closed);
                continue;
            }
            const uint8_t* p = buf.data();
            size_t left = static_cast<size_t>(r);
            if (c.state == State::WAIT_HELLO) {
                size_t take = std::min(left, sizeof hello - c.headGot);
                memcpy(c.head + c.headGot, p, take);
                c.headGot += take;
                p += take;
                left -= take;
                if (c.headGot < sizeof hello) continue;
                if (memcmp(c.head, hello, sizeof hello) != 0 || left > 0) {
                    fail(c, &Errors::content);
                    continue;
                }
                helloMs.push_back(secs(c.started, Clock::now()) * 1000);
                ++answered;
                ++settled;
                c.state = State::IDLE;
                c.headGot = 0;
                continue;
            }
            if (c.state == State::IDLE) {  // nothing is due on an idle connection
                fail(c, &Errors::content);
                continue;
            }
            if (c.state == State::WAIT_HEADER) {
                size_t take = std::min(left, size_t(FILE_HEADER_MSG_SIZE) - c.headGot);
                memcpy(c.head + c.headGot, p, take);
                c.headGot += take;
                p += take;
                left -= take;
                if (c.headGot >= FILE_ERROR_MSG_SIZE && memcmp(c.head, "sfe", 3) == 0) {
                    fail(c, &Errors::refused);
                    continue;
                }
                if (c.headGot < FILE_HEADER_MSG_SIZE) continue;
                if (memcmp(c.head, "sfh", 3) != 0 || getU32(c.head + 3) != expectedSize) {
                    fail(c, &Errors::content);
                    continue;
                }
                c.size = expectedSize;
                c.state = State::CONTENT;
            }
            if (c.state == State::CONTENT && left > 0) {
                if (left > c.size - c.got || memcmp(p, expected + c.got, left) != 0) {
                    fail(c, &Errors::content);
                    continue;
                }
                c.got += left;
                downloadBytes += left;
                if (c.got == c.size) {
                    c.state = State::DONE;
                    c.finished = lastDone = Clock::now();
                    downloadS.push_back(secs(c.requested, c.finished));
                    ++downloadsDone;
                }
            }
        }
    }
    double total = secs(t0, Clock::now());
    // Whatever is still waiting has run out of time.
    for (auto& c : conns) {
        if (c.state == State::CONNECTING || c.state == State::WAIT_HELLO || c.state == State::WAIT_HEADER ||
            c.state == State::CONTENT)
            fail(c, &Errors::timeout);
    }
    for (auto& c : conns) {
        if (c.fd < 0) continue;
        // A reset instead of a close: no TIME_WAIT ports left behind.
        linger l{1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(c.fd);
    }

    if (connectSeconds == 0) connectSeconds = total;
    printf("connect: %d of %d in %.2f s, %.0f a second\n", opened - err.connect, o.connections, connectSeconds,
           static_cast<double>(opened) / std::max(connectSeconds, 1e-3));
    printf("hello latency: p50 %.1f ms, p99 %.1f ms, max %.1f ms (%d answered)\n", percentile(helloMs, 0.5),
           percentile(helloMs, 0.99), percentile(helloMs, 1.0), answered);
    if (o.downloads > 0) {
        double span = lastDone > firstRequest ? secs(firstRequest, lastDone) : 0;
        double med = percentile(downloadS, 0.5), slow = percentile(downloadS, 1.0);
        printf("downloads: %zu of %d, %.1f MB in %.2f s, %.1f MB/s together; median %.2f s, slowest %.2f s (%.2fx)\n",
               downloadS.size(), o.downloads, static_cast<double>(downloadBytes) / 1048576.0, span,
               span > 0 ? static_cast<double>(downloadBytes) / 1048576.0 / span : 0.0, med, slow,
               med > 0 ? slow / med : 0.0);
    }
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    printf("loadgen CPU: %.2f s user, %.2f s system in %.2f s\n",
           static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) / 1e6,
           static_cast<double>(ru.ru_stime.tv_sec) + static_cast<double>(ru.ru_stime.tv_usec) / 1e6, total);
    printf("errors: %d (connect %d, closed %d, content %d, refused %d, timeout %d)\n", err.total(), err.connect,
           err.closed, err.content, err.refused, err.timeout);
    return err.total() == 0 ? 0 : 1;
}
