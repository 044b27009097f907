// The update server's request handling, from the bytes a client sends to
// the bytes it gets back, against a model of its own: the server runs once
// per process over a small root in a temporary folder, and every input is
// one connection that sends its bytes, half-closes and reads until the
// server closes.  The connection is a Unix socket pair whose other end is
// handed to the server as if accepted: a TCP connection per input would
// spend most of the time in the kernel.  One TCP connection at start-up
// checks that the listener serves too.
//
// What must hold, whatever the bytes:
// - a hello is answered with the protocol version; every file request with
//   "sfe" or with "sfh" and the exact bytes of a regular file inside the
//   root; the private key lying in the root is never among them;
// - a name of more than 999 bytes (what the installer can hold) is refused;
//   the files the installer asks for by the design's names are served;
// - answers come in the order of the requests, and after something no
//   installer sends, the answers given are a prefix of those due;
// - the connection never hangs, nothing outside the root is ever opened
//   (every open() of the server is checked), and what a client makes the
//   server hold stays bounded (queued jobs, received bytes).
//
// Input: the bytes the client sends; a run, 0xFF n b, stands for 4 * (n + 1)
// bytes b (names far over the limit, many requests in one write).
//
// The server is reached through update_server::UpdateServer only (config,
// open, port, run, adopt, peaks).
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <ftw.h>
#include <thread>
#include <vector>

#include "server/server.h"

namespace {

std::string rootReal;  // the served folder, resolved

// The server's last log lines, for a failure report.
std::mutex logMutex;
std::deque<std::string> serverLog;

[[noreturn]] void fail(const char* what, const std::string& detail) {
    fprintf(stderr, "\n*** fuzz_server: %s\n%s\n--- the server's last lines\n", what, detail.c_str());
    std::lock_guard<std::mutex> lock(logMutex);
    for (const std::string& line : serverLog) fprintf(stderr, "%s\n", line.c_str());
    abort();
}

// The server's opens: anything that resolves outside the root stops the run.
void checkOpen(const char* path) {
    char* real = path ? realpath(path, nullptr) : nullptr;
    std::string r = real ? real : (path ? path : "");
    free(real);
    if (r.compare(0, rootReal.size() + 1, rootReal + "/") != 0) fail("opened outside the root", r);
}

}  // namespace

// Linked with --wrap: the server's calls come here first.  The mode
// argument is there only when a file may be created.
#define FENCED_OPEN(name)                                                 \
    extern "C" int __real_##name(const char* path, int flags, ...);       \
    extern "C" int __wrap_##name(const char* path, int flags, ...) {      \
        mode_t mode = 0;                                                  \
        if (flags & (O_CREAT | O_TMPFILE)) {                              \
            va_list ap;                                                   \
            va_start(ap, flags);                                          \
            mode = va_arg(ap, mode_t);                                    \
            va_end(ap);                                                   \
        }                                                                 \
        checkOpen(path);                                                  \
        return __real_##name(path, flags, mode);                          \
    }
FENCED_OPEN(open)
FENCED_OPEN(open64)

namespace {

// The root: what the installer fetches (the design's names), a key that
// must never leave, a folder, an empty file, a pipe that would block
// whoever opens it, and links out of the root and inside it.
struct Root {
    std::string base, root;
    std::map<std::string, std::string> files;  // relative path ("/" separators) -> content, regular files only
    const std::string key = "KAVO_signing.key";

    void file(const std::string& rel, const std::string& content) {
        std::string p = root + "/" + rel;
        FILE* f = fopen(p.c_str(), "wb");
        if (!f || fwrite(content.data(), 1, content.size(), f) != content.size() || fclose(f) != 0) fail("set-up", p);
        files[rel] = content;
    }
    Root() {
        char tmpl[] = "/tmp/kavo_fuzz_server.XXXXXX";
        if (!mkdtemp(tmpl)) fail("set-up", "mkdtemp");
        base = tmpl;
        root = base + "/root";
        for (const char* d : {"/root", "/root/wrp", "/root/wrp_TEST", "/root/wrp/sub", "/outside"})
            if (mkdir((base + d).c_str(), 0700) != 0) fail("set-up", d);
        file("update.ini", "version 7\n");
        file("update_TEST.ini", "version 7 TEST\n");
        file("launcher_TEST.ini", "TEST\n");
        file("wrp/KAVO.wrp", std::string("\x02\x01" "a\x03\x00\x00\x00" "abc\x04", 11));
        file("wrp/OSKE_ALL.wrp", std::string(3000, 'o'));
        file("wrp/KAVO.release", "release");
        file("wrp_TEST/KAVO.wrp", "test package");
        file("wrp/sub/deep.wrp", "deep");
        file("other.txt", "other");
        file(key, "private key bytes");
        file("empty.ini", "");
        files.erase("empty.ini");  // nothing to serve: an empty answer cannot be told from none
        FILE* s = fopen((base + "/outside/secret").c_str(), "wb");
        if (!s || fputs("secret", s) < 0 || fclose(s) != 0) fail("set-up", "outside");
        if (mkfifo((root + "/pipe.ini").c_str(), 0600) != 0 ||
            symlink("../outside/secret", (root + "/out.ini").c_str()) != 0 ||
            symlink("../../outside/secret", (root + "/wrp/OUT.wrp").c_str()) != 0 ||
            symlink("/etc/passwd", (root + "/wrp/passwd.wrp").c_str()) != 0 ||
            symlink("KAVO.wrp", (root + "/wrp/SAME.wrp").c_str()) != 0)
            fail("set-up", "links");
        char* real = realpath(root.c_str(), nullptr);
        if (!real) fail("set-up", "realpath");
        rootReal = real;
        free(real);
        static std::string made = base;
        atexit([] {
            nftw(made.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
                 FTW_DEPTH | FTW_PHYS);
        });
    }
    // The regular file inside the root that a requested name names: "\"
    // and "/" both separate, "." and empty components are nothing; a ".."
    // anywhere, a NUL or a colon name nothing; neither does a link, except
    // one that stays inside the root (its target's bytes then).
    const std::string* named(const std::string& name) const {
        if (name.empty() || name.size() > 999 || name[0] == '/' || name[0] == '\\' ||
            name.find_first_of(std::string(":\0", 2)) != std::string::npos)
            return nullptr;
        std::string rel, part;
        for (size_t i = 0; i <= name.size(); ++i) {
            if (i < name.size() && name[i] != '/' && name[i] != '\\') {
                part += name[i];
                continue;
            }
            if (part == "..") return nullptr;
            if (!part.empty() && part != ".") rel += (rel.empty() ? "" : "/") + part;
            part.clear();
        }
        if (rel == "wrp/SAME.wrp") rel = "wrp/KAVO.wrp";
        auto it = files.find(rel);
        return it == files.end() || rel == key ? nullptr : &it->second;
    }
};

// Names an installer of either edition asks for, as the design spells them.
bool installerName(const std::string& n) {
    return n == "update.ini" || n == "update_TEST.ini" || n == "launcher_TEST.ini" || n == "wrp\\KAVO.wrp" ||
           n == "wrp\\OSKE_ALL.wrp" || n == "wrp\\KAVO.release" || n == "wrp_TEST\\KAVO.wrp";
}

// Waits for `events` on fd until 15 s have passed without any; a signal
// (the fuzzer's own timer interrupts the process every few seconds) only
// makes it wait again.  False when the time ran out.
bool await(int fd, short events, short* revents) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, left);
        if (r > 0) {
            *revents = p.revents;
            return true;
        }
        if (r < 0 && errno != EINTR) fail("poll", strerror(errno));
    }
}

// One connection, non-blocking: sends everything, half-closes, reads until
// the server closes, and closes fd.  False when it hangs.
bool exchange(int fd, const std::vector<uint8_t>& out, std::string& in) {
    short revents = 0;
    size_t sent = 0;
    bool ok = true;
    char buf[65536];
    if (out.empty()) shutdown(fd, SHUT_WR);
    // Sends and reads at once: a server that stops reading a client whose
    // queue is full must still be able to send its answers.
    while (ok) {
        if (!await(fd, static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), &revents)) {
            ok = false;
        } else if (revents & POLLIN) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) break;
            in.append(buf, static_cast<size_t>(n));
        } else if (revents & POLLOUT) {
            ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n < 0) break;  // the server closed on us
            sent += static_cast<size_t>(n);
            if (sent == out.size()) shutdown(fd, SHUT_WR);
        } else {
            break;
        }
    }
    close(fd);
    return ok;
}

struct Server {
    Root root;
    update_server::UpdateServer* server = nullptr;
    Server() {
        update_server::ServerConfig c;
        c.root = root.root;
        c.port = 0;
        c.statsSeconds = 0;
        server = new update_server::UpdateServer(c, [](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex);
            serverLog.push_back(line);
            if (serverLog.size() > 20) serverLog.pop_front();
        });
        std::string error;
        signal(SIGPIPE, SIG_IGN);  // a client gone while a file is sent
        if (!server->open(&error)) fail("server set-up", error);
        std::thread([s = server] { s->run(); }).detach();

        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(server->port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("connect", strerror(errno));
        fcntl(fd, F_SETFL, O_NONBLOCK);
        std::string in;
        const std::vector<uint8_t> hello{'#', 'v', 1, 0, 3, 0};
        if (!exchange(fd, hello, in) || in != std::string(hello.begin(), hello.end()))
            fail("server set-up", "no hello answer over TCP");
    }
};

uint32_t u32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
    return v;
}

}  // namespace

// As for the other targets: freed memory comes back within a few inputs.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

// The server frees a client's memory on its own thread, after the input
// has ended, so every input would look as if it leaked and set off a full
// leak scan: leaks are left to the server's own tests.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> args(*argv, *argv + *argc);
    static char noLeaks[] = "-detect_leaks=0";
    args.insert(args.begin() + 1, noLeaks);
    args.push_back(nullptr);
    *argv = args.data();
    ++*argc;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Server s;
    static std::vector<uint8_t> out;
    out.clear();
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != 0xFF || i + 2 >= size) out.push_back(data[i]);
        else out.insert(out.end(), 4 * (data[i + 1] + 1u), data[i + 2]), i += 2;
    }

    // What is due, message by message, from the installer's two messages.
    struct Due {
        bool hello;
        std::string name;
        size_t nameLength;
    };
    std::vector<Due> due;
    bool stray = false;  // something no installer sends, or a message left unfinished
    for (size_t p = 0; p < out.size();) {
        if (out[p] == '#' && p + 1 < out.size() && out[p + 1] == 'v') {
            if (p + 6 > out.size()) { stray = true; break; }
            due.push_back({true, "", 0});
            p += 6;
        } else if (out[p] == 'r' && p + 1 < out.size() && out[p + 1] == 'f') {
            if (p + 4 > out.size()) { stray = true; break; }
            size_t n = out[p + 2] | out[p + 3] << 8;
            if (p + 4 + n > out.size()) {
                // A name over the limit may be refused before it has all come.
                if (n > 999) due.push_back({false, "", n});
                stray = true;
                break;
            }
            due.push_back({false, std::string(out.begin() + p + 4, out.begin() + p + 4 + std::min<size_t>(n, 1000)), n});
            p += 4 + n;
        } else {
            stray = true;
            break;
        }
    }

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) fail("socketpair", strerror(errno));
    if (!s.server->adopt(pair[1], "fuzz")) fail("adopt", "the server did not take the socket");
    std::string in;
    if (!exchange(pair[0], out, in))
        fail("the connection hung", std::to_string(out.size()) + " bytes sent, " + std::to_string(in.size()) +
                                        " received; connections open: " + std::to_string(s.server->openClients()));

    // After a stray message the server may close at once, so the last
    // answer may be cut: what there is of it must still be right.
    size_t at = 0, k = 0;
    auto cut = [&](size_t need) { return stray && at + need > in.size(); };
    for (; k < due.size() && at < in.size(); ++k) {
        const Due& d = due[k];
        std::string what = d.hello ? "hello" : "request of " + std::to_string(d.nameLength) + " bytes";
        if (d.hello) {
            const std::string hello("#v\x01\x00\x03\x00", 6);
            if (in.compare(at, 6, hello, 0, cut(6) ? in.size() - at : 6) != 0) fail("hello not answered with 1.3", what);
            at = std::min(at + 6, in.size());
            continue;
        }
        if (cut(3) && (in.compare(at, 3, "sfe", in.size() - at) == 0 || in.compare(at, 3, "sfh", in.size() - at) == 0)) {
            at = in.size();
            break;
        }
        const std::string* file = d.nameLength > 999 ? nullptr : s.root.named(d.name);
        if (in.compare(at, 3, "sfe") == 0 && (at + 4 <= in.size() || cut(4))) {
            if (file && installerName(d.name)) fail("an installer's file refused", d.name);
            at = std::min(at + 4, in.size());
        } else if (in.compare(at, 3, "sfh") == 0 && (at + 7 <= in.size() || cut(7))) {
            if (!file) fail("served what names no file of the root (or the key, or a name over 999 bytes)", d.name);
            if (cut(7)) {
                at = in.size();
                break;
            }
            uint32_t n = u32(in, at + 3);
            size_t have = cut(7 + n) ? in.size() - at - 7 : n;
            if (n != file->size() || in.compare(at + 7, have, *file, 0, have) != 0) fail("served other bytes", d.name);
            at += 7 + have;
        } else {
            fail("answer neither sfe nor sfh", what + " at byte " + std::to_string(at));
        }
    }
    if (at != in.size()) fail("bytes beyond the answers due", std::to_string(in.size() - at));
    if (k < due.size() && !stray) fail("requests left unanswered", std::to_string(due.size() - k));

    // Bounds per client: a few queued requests, and received bytes no more
    // than one read and one whole message of the largest name.
    update_server::UpdateServer::Peaks peak = s.server->peaks();
    if (peak.jobs > 16 || peak.inputBytes > 32 * 1024)
        fail("a client made the server hold too much",
             "jobs " + std::to_string(peak.jobs) + ", received bytes " + std::to_string(peak.inputBytes));
    return 0;
}
