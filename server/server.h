// The reference update server: serves an installer's files below a root
// folder over the installer's own byte protocol (net/wire_format.h).
//
// One thread runs an epoll loop over non-blocking sockets and touches only
// the clients that have something to do, so idle connections cost nothing
// but their memory.  Each client has a short ordered queue of jobs (hello
// answer, scripted folder commands, sleeps, file requests) worked off one
// after another; while it is full the client is not read, so what a client
// can make the server hold is bounded.  File content goes from the file to
// the socket with sendfile() as fast as the socket drains (a small bounded
// buffer is the fallback), so a client that reads slowly (or not at all)
// never holds up the others and never makes the server load a whole file.
// A peer that sends anything an installer never sends, or leaves its hello
// or a message unfinished for too long, is closed.
//
// Each request resolves the root anew: a release is published by renaming a
// link over the root, and a transfer in flight keeps the file it opened.
// Below the root no link is ever followed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace update_server {

// One line of a --script file, already turned into what goes on the wire.
struct ScriptStep {
    std::vector<uint8_t> bytes;  // sent as they stand
    int sleepMs = 0;             // when bytes is empty: pause this long
    int afterFile = 0;           // 0: after the first hello; N: right behind the content of the N-th file served
};

// Everything a test may want the server to do wrong, in one place.  The
// defaults are a well-behaved server.
struct FaultSettings {
    bool refuseAll = false;        // answer every request with "sfe0"
    bool noAnswer = false;         // never answer a request at all
    bool noHello = false;          // do not answer "#v"
    int headerDelayMs = 0;         // wait before "sfh"
    int64_t stallAfter = -1;       // stop sending a file's content after N bytes (-1: off)
    int64_t closeAfter = -1;       // close the connection after N content bytes of a file (-1: off)
    int64_t wrongSize = 0;         // announce size + wrongSize, send the real content
    uint16_t versionMajor = 1;     // version in the hello answer
    uint16_t versionMinor = 3;
    int64_t rateBytesPerSec = 0;   // content throttle per transfer (0: unlimited)
    int quitAfterRequests = 0;     // close a client after N answered requests (0: never)
    std::vector<ScriptStep> script;  // sent after the first hello of a connection (or a file, see afterFile)

    // Any of them set: a server that misbehaves on purpose.
    bool any() const;
};

struct ServerConfig {
    std::string root = ".";
    std::string address = "127.0.0.1";
    int port = 49491;              // 0: any free port, see UpdateServer::port()
    bool allowNonLoopback = false;
    std::string portFile;          // written once listening
    std::string dumpReceived;      // every byte any client sent, in arrival order (truncated at start)
    int maxClients = 0;            // 0: as many as the open-file limit allows
    int maxTransfers = 0;          // files open at once; 0: what the open-file limit keeps free
    size_t outputBufferBytes = 256 * 1024;  // per client
    int drainSeconds = 30;         // drain(): how long transfers in flight may take
    int statsSeconds = 60;         // a statistics line this often (0: none)
    double helloSeconds = 10;      // a connection that sent no hello (or request) by then is closed
    double partialSeconds = 10;    // likewise a message left unfinished this long
    int logFd = 1;                 // where the lines go without a LogSink
    size_t logQueueBytes = 1 << 20;  // lines beyond this wait are dropped and counted
    FaultSettings faults;
};

using LogSink = std::function<void(const std::string& line)>;

class UpdateServer {
public:
    // Without a sink the log lines go, time-stamped, to logFd through a
    // bounded queue that never blocks the loop.
    explicit UpdateServer(ServerConfig config, LogSink log = {});
    ~UpdateServer();
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    // Checks the root and the address, raises the open-file limit and
    // derives the connection limit from it, binds, listens, writes the port
    // file.
    bool open(std::string* error);
    uint16_t port() const;
    // Serves until stop(); then closes the listener and every client.
    void run();
    // From any thread or a signal handler: stop now, or drain first (stop
    // accepting, close idle connections, let transfers in flight finish
    // for up to drainSeconds).
    void stop();
    void drain();
    // For tests and tools in the same process: serves an already connected
    // stream socket (one end of a socketpair(), say) as if the listener had
    // just accepted it from `peer`, the name its log lines give it: the same
    // connection limit, set-up, deadlines and bounds.  Safe from any thread
    // once open() has returned, also while run() serves; the loop takes the
    // socket when it next wakes.  The server owns fd from then on: true when
    // it was handed over; false when it was closed at once (not a stream
    // socket, or the server stops or drains).  A socket handed over is
    // closed like any client, also when the server stops before taking it.
    bool adopt(int fd, const std::string& peer);
    // The connection limit in force (known after open()).
    int maxClients() const;

    // For tests: the first bytes (up to 64) each of the first 4096
    // connections sent, in the order the connections were accepted; the
    // most any one client had waiting in the server; connections open now.
    struct Peaks {
        size_t outputBytes = 0;  // answer bytes waiting for its socket
        size_t inputBytes = 0;   // received bytes not yet taken as messages
        size_t jobs = 0;         // queued jobs
    };
    std::vector<std::string> receivedPrefixes() const;
    Peaks peaks() const;
    int openClients() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Turns a requested name ("wrp\KAVO.wrp", "/" also accepted as separator)
// into a path relative to the root with "/" between its components.  False
// with a short reason for empty, absolute, drive or ".." names.  Touches no
// file: what the path leads to is for the open to decide (openBelow).
bool requestPath(const std::string& name, std::string* rel, std::string* reason);

// Parses a --script file's text; false with "line N: why" on a bad line.
bool parseScript(const std::string& text, std::vector<ScriptStep>* steps, std::string* error);

// The limits an open-file limit allows: connections, leaving a twentieth of
// the files and 32 more free; and files served at once, from what is left
// after the server's own few.  A request beyond the second waits in its
// client's queue for a file to close.
int clientsForFileLimit(uint64_t openFiles);
int transfersForFileLimit(uint64_t openFiles);

// Command line (without the program name).  False with a message on a bad
// option; *help is set for --help / -h.
bool parseOptions(const std::vector<std::string>& args, ServerConfig* config, bool* help, std::string* error);
const char* usageText();

}  // namespace update_server
