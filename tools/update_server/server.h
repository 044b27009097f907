// The reference update server: serves the files below a root folder to the
// installer over the installer's own byte protocol (net/wire_format.h).
//
// One thread runs an epoll loop over non-blocking sockets and touches only
// the clients that have something to do, so idle connections cost nothing
// but their memory.  Each client has an ordered queue of jobs (hello answer,
// scripted folder commands, sleeps, file requests) worked off one after
// another.  File content goes from the file to the socket with sendfile()
// as fast as the socket drains (a small bounded buffer is the fallback), so
// a client that reads slowly (or not at all) never holds up the others and
// never makes the server load a whole file.
//
// Each request resolves the root anew: a release is published by renaming a
// link over the root, and a transfer in flight keeps the file it opened.
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
};

struct ServerConfig {
    std::string root = ".";
    std::string address = "127.0.0.1";
    int port = 49491;              // 0: any free port, see UpdateServer::port()
    bool allowNonLoopback = false;
    std::string portFile;          // written once listening
    std::string dumpReceived;      // every byte any client sent, in arrival order
    int maxClients = 0;            // 0: as many as the open-file limit allows
    size_t outputBufferBytes = 256 * 1024;  // per client
    int drainSeconds = 30;         // drain(): how long transfers in flight may take
    int statsSeconds = 60;         // a statistics line this often (0: none)
    FaultSettings faults;
};

using LogSink = std::function<void(const std::string& line)>;

class UpdateServer {
public:
    // Without a sink the log lines go to stdout, flushed line by line.
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
    // From any thread or a signal handler.
    void stop();
    // Likewise: stop accepting, close idle connections, let transfers in
    // flight finish for up to drainSeconds, then stop.
    void drain();
    // The connection limit in force (known after open()).
    int maxClients() const;

    // For tests: the first bytes (up to 64) each of the first 4096
    // connections sent, in the order the connections were accepted; the largest number of bytes any
    // client had waiting in its output buffer; connections open now.
    std::vector<std::string> receivedPrefixes() const;
    size_t peakOutputBuffered() const;
    int openClients() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Length of the client message starting at p (avail bytes waiting), using
// the installer parser's byte counts; 0 while more bytes are needed.
size_t clientMessageLength(const uint8_t* p, size_t avail);

// Maps a requested name ("wrp\KAVO.wrp", "update.ini", "/" also accepted as
// separator) to a path below rootReal (a resolved, absolute folder).  False
// with a short reason for empty, absolute, drive or ".." names, missing
// files, and links that lead out of the root.  Does not open the file.
bool resolveRequestName(const std::string& rootReal, const std::string& name, std::string* path,
                        std::string* reason);

// Parses a --script file's text; false with "line N: why" on a bad line.
bool parseScript(const std::string& text, std::vector<ScriptStep>* steps, std::string* error);

// The connection limit for an open-file limit: a twentieth of the files and
// a few more stay free for the files being served and the server's own.
int clientsForFileLimit(uint64_t openFiles);

// Command line (without the program name).  False with a message on a bad
// option; *help is set for --help / -h.
bool parseOptions(const std::vector<std::string>& args, ServerConfig* config, bool* help, std::string* error);
const char* usageText();

}  // namespace update_server
