// Internals of the reference update server shared by its source files:
// the per-client state and the server's implementation object.
//
//   server_clients.cpp   accepting, polling and closing clients; the public object
//   server_answers.cpp   reading requests and answering them; request names
//   request_reader.h     what an installer may send, and which names it may ask for
//   log_queue.cpp        log lines to stdout without blocking the loop
//   options.cpp          the command line, the fault options and their script
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/log_queue.h"
#include "server/request_reader.h"
#include "server/server.h"

namespace update_server {

namespace detail {

using Clock = std::chrono::steady_clock;

constexpr size_t PREFIX_BYTES = 64;
constexpr size_t PREFIX_CONNECTIONS = 4096;  // receivedPrefixes() covers these
// Reading per client and loop turn, so that one client cannot starve the
// rest; received bytes held per client (unfinished messages, or messages
// waiting for room in the queue); jobs queued per client, beyond which it
// is not read until the server has caught up with it.
constexpr size_t READ_BUDGET = 16 * 1024;
constexpr size_t IN_BUFFER_CAP = 16 * 1024;
constexpr size_t MAX_JOBS = 8;
constexpr int OWN_FILES = 16;                // the server's own descriptors: listener, epoll, pipes, log
constexpr size_t FILE_CHUNK = 64 * 1024;      // read() fallback
constexpr size_t SENDFILE_CHUNK = 1024 * 1024;
constexpr int LINGER_MS = 2000;              // graceful close: wait this long for the peer's FIN
constexpr uint64_t WAKE_ID = 0, LISTEN_ID = 1, FIRST_CLIENT_ID = 2;  // epoll tags
constexpr uint32_t UNREGISTERED = ~0u;

inline double secondsSince(Clock::time_point t, Clock::time_point now) {
    return std::chrono::duration<double>(now - t).count();
}

// Log-safe rendering of a name that came off the wire.
inline std::string printable(const std::string& s) {
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

inline std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string format(const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

inline void setNonBlocking(int fd) {
    int fl = fcntl(fd, F_GETFL, 0);
    if (fl >= 0) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

struct Job {
    enum Kind { SEND, SLEEP, REQUEST, LONG_NAME } kind;
    std::vector<uint8_t> bytes;  // SEND: the bytes; REQUEST: the name
    int ms = 0;                  // SLEEP: how long; LONG_NAME: the name's announced length
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
    bool noSendfile = false;  // the file system refused sendfile(): read() into the buffer
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
    std::vector<uint8_t> in;     // received, not yet taken as messages
    RequestReader reader;
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
    // It sent a hello or a request: no longer held to the hello deadline
    // (an installer sends its hello first; a health check asks at once).
    bool spoken = false;
    uint64_t hellos = 0;
    // Since when a message has been left unfinished (max(): none is).
    Clock::time_point partialSince = Clock::time_point::max();
    bool peerClosed = false;     // it half-closed: answer what it asked, then close
    bool waitingForFile = false; // its next request waits for a transfer slot
    std::vector<ScriptStep> heldScript;  // steps waiting for a file to be served
    int filesServed = 0;         // files whose whole content is queued
    int answered = 0;            // requests whose answer is queued
    int completed = 0;           // ... and sent
    // Graceful close: flush, then FIN, then wait for the peer's FIN.
    bool closeWhenFlushed = false;
    bool lingering = false;
    Clock::time_point lingerUntil;
    std::string closeReason;
    bool dead = false;
    // Loop bookkeeping: the socket was full for sendfile(), the events
    // registered with epoll, the turn it was last worked in, its next wake.
    bool wantWrite = false;
    uint32_t epollMask = UNREGISTERED;
    uint64_t turn = 0;
    Clock::time_point wakeAt = Clock::time_point::max();
};

using Timer = std::pair<Clock::time_point, uint64_t>;  // wake time, client id

}  // namespace detail

using namespace detail;

// Opens rel (from requestPath) below the folder dirFd with open()'s flags,
// following no link on the way, the last component included: -1 with errno
// ELOOP where a link lies, EXDEV for a path that would leave the folder.
int openBelow(int dirFd, const std::string& rel, int flags);

struct UpdateServer::Impl {
    ServerConfig cfg;
    LogSink log;
    std::unique_ptr<LogQueue> logQueue;
    std::string rootReal;
    int listenFd = -1;
    int epollFd = -1;
    int wakeRead = -1, wakeWrite = -1;
    uint16_t boundPort = 0;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> drainRequested{false};
    FILE* dump = nullptr;
    uint64_t nextId = FIRST_CLIENT_ID;
    std::unordered_map<uint64_t, std::unique_ptr<Client>> clients;
    // Clients to work in the next turn (beyond those with events), and the
    // wake times of the others; stale timers are skipped when they fire.
    std::vector<uint64_t> again;
    std::vector<uint64_t> gone;  // closed this turn, removed at its end
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers;
    // Hello and unfinished-message deadlines, each in the order they fall due.
    std::deque<Timer> helloDeadlines, partialDeadlines;
    // Clients whose next request waits for a file to close, in turn.
    std::deque<uint64_t> waitingForFile;
    // Sockets handed over by adopt() from other threads, taken by the loop
    // when the wake pipe stirs it; once adoptClosed is set (the loop ended)
    // adopt() closes them itself.
    std::mutex adoptMutex;
    std::vector<std::pair<int, std::string>> adopted;
    bool adoptClosed = false;
    uint64_t turnNo = 0;

    // Limits and figures for the statistics lines.
    uint64_t openFileLimit = 0;
    int clientLimit = 0;
    int transferLimit = 0;
    std::string limitSource;     // what set clientLimit, for the refusal line
    bool acceptPaused = false;
    Clock::time_point acceptResume;
    Clock::time_point acceptFailLogged;
    uint64_t acceptFailures = 0;     // not logged yet
    bool draining = false;
    Clock::time_point drainDeadline;
    Clock::time_point startedAt, statsAt;
    uint64_t accepted = 0, refused = 0, refusedLogged = 0, transfersDone = 0, bytesSent = 0;
    uint64_t timedOut = 0, timedOutLogged = 0, badPeers = 0, badPeersLogged = 0;
    uint64_t statsBytes = 0;
    int activeTransfers = 0;
    size_t peakClients = 0;

    mutable std::mutex statsMutex;
    std::vector<std::string> prefixes;
    UpdateServer::Peaks peak;
    std::atomic<int> openCount{0};

    void say(const std::string& line) {
        if (log) log(line);
        else logQueue->push(line);
    }
    std::string tag(const Client& c) const { return format("#%llu", static_cast<unsigned long long>(c.id)); }

    void queue(Client& c, const uint8_t* p, size_t n) {
        c.out.append(p, n);
        c.queuedTotal += n;
        notePeak(c);
    }
    void notePeak(const Client& c) {
        std::lock_guard<std::mutex> lock(statsMutex);
        peak.outputBytes = std::max(peak.outputBytes, c.out.pending());
        peak.inputBytes = std::max(peak.inputBytes, c.in.size());
        peak.jobs = std::max(peak.jobs, c.jobs.size());
    }

    // ---- connections (server_clients.cpp) --------------------------------
    void acceptAll();
    // A new connection, accepted or adopted: refused at the connection
    // limit, else set up and watched.
    void addClient(int fd, const std::string& peer);
    void takeAdopted();
    // Closes the adopted sockets not yet taken; none are taken after it.
    void closeAdopted();
    void closeClient(Client& c, const std::string& reason);

    // Content bytes of the running transfer that the socket already took.
    uint64_t contentSent(const Client& c) const;
    void closeFile(Transfer& x);
    void sent(Client& c, uint64_t n) {
        c.sentTotal += n;
        bytesSent += n;
    }

    // ---- input (server_answers.cpp) ---------------------------------------
    void readFrom(Client& c, Clock::time_point now);
    bool wantsInput(const Client& c) const;
    void record(const Client& c, const uint8_t* p, size_t n);
    // Takes messages from p (n bytes) while the queue has room; returns how
    // many bytes it took.
    size_t parse(Client& c, const uint8_t* p, size_t n);
    // Takes what waits in c.in, as far as the queue has room.
    void parseHeld(Client& c);
    void notePartial(Client& c, Clock::time_point now);
    void checkDeadlines(Clock::time_point now);

    // ---- jobs and output (server_answers.cpp) -----------------------------

    // Works off the client's jobs as far as time, faults and buffer space
    // allow; returns the time it next wants to be woken, or max() for none.
    Clock::time_point advance(Client& c, Clock::time_point now);
    static std::string requestText(const Transfer& x);
    void finishAnswer(Client& c, uint64_t startOffset, Clock::time_point started, const std::string& text);
    void refuse(Client& c, const std::string& name, const std::string& why, Clock::time_point now);
    // False when the request must wait for a transfer slot.
    bool startRequest(Client& c, const std::string& name, Clock::time_point now);
    void fileClosed();
    void beginClose(Client& c, const std::string& reason);
    void flush(Client& c, Clock::time_point now);

    // ---- loop (server_clients.cpp) ---------------------------------------
    void loop();
    void wake();
    void work(Client& c, Clock::time_point now);
    void watch(Client& c);
    void startDrain(Clock::time_point now);
    void statsLine(Clock::time_point now);
};

}  // namespace update_server
