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
//   "sfh" and the exact bytes of the file exactly when the model serves it,
//   else with "sfe".  The model is the README's published list of what the
//   server serves (three files of the root; in wrp\ and wrp_TEST\ NAME.wrp,
//   NAME of letters, digits, "_" and "-", and KAVO.release; "\" the
//   separator, letter case as given, at most 999 bytes), and of those only
//   a regular, non-empty file reached without any link below the root;
// - answers come in the order of the requests, and after something no
//   installer sends, the answers given are a prefix of those due;
// - the connection never hangs, every file the server opens lies inside
//   the folder served (checked on each descriptor it gets), and what a
//   client makes the server hold stays bounded (queued jobs, received bytes).
//
// The served root is a link, as a maker's is, to one of three folders side
// by side whose names all start with "root": "root" holds the published
// names, names that extend or bend them (update.ini.bak, wrp\KAVO.wrpx,
// Update.ini, ...), a key, special files and links of every kind below it;
// "root2" and "root_old" have files of published names, a folder on the
// way that is a link (inside, and into "root") and links to files in "root".
//
// Input: the bytes the client sends; a run, 0xFF n b, stands for 4 * (n + 1)
// bytes b (names far over the limit, many requests in one write).  A first
// byte 0xF0 to 0xF7 is not sent: its bits 0-1 pick the folder the root
// leads to (root, root2, root_old; 3 is root), bit 2 makes openat2 missing,
// so that the server walks the path one folder at a time.
//
// The server is reached through update_server::UpdateServer only (config,
// open, port, run, adopt, peaks).
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
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

std::string servedReal;             // the folder the root leads to now, resolved
std::atomic<bool> noOpenat2{false};  // this input's server lacks openat2

// The server's last log lines, for a failure report.
std::mutex logMutex;
std::deque<std::string> serverLog;

[[noreturn]] void fail(const char* what, const std::string& detail) {
    fprintf(stderr, "\n*** fuzz_server: %s\n%s\n--- the server's last lines\n", what, detail.c_str());
    std::lock_guard<std::mutex> lock(logMutex);
    for (const std::string& line : serverLog) fprintf(stderr, "%s\n", line.c_str());
    abort();
}

// What the server opened: anything but the served folder or what lies in
// it stops the run.
long opened(long fd) {
    if (fd < 0) return fd;
    char link[64], real[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%ld", fd);
    ssize_t n = readlink(link, real, sizeof real - 1);
    std::string r(real, n > 0 ? static_cast<size_t>(n) : 0);
    if (r != servedReal && r.compare(0, servedReal.size() + 1, servedReal + "/") != 0)
        fail("opened outside the folder served", r);
    return fd;
}

}  // namespace

// Linked with --wrap: the server's calls come here first.  The mode
// argument is there only when a file may be created.
#define MODE_ARG(flags)                        \
    mode_t mode = 0;                           \
    if ((flags) & (O_CREAT | O_TMPFILE)) {     \
        va_list ap;                            \
        va_start(ap, flags);                   \
        mode = va_arg(ap, mode_t);             \
        va_end(ap);                            \
    }
#define FENCED_OPEN(name)                                                          \
    extern "C" int __real_##name(const char* path, int flags, ...);                \
    extern "C" int __wrap_##name(const char* path, int flags, ...) {               \
        MODE_ARG(flags)                                                            \
        return static_cast<int>(opened(__real_##name(path, flags, mode)));         \
    }
#define FENCED_OPENAT(name)                                                        \
    extern "C" int __real_##name(int dir, const char* path, int flags, ...);       \
    extern "C" int __wrap_##name(int dir, const char* path, int flags, ...) {      \
        MODE_ARG(flags)                                                            \
        return static_cast<int>(opened(__real_##name(dir, path, flags, mode)));    \
    }
FENCED_OPEN(open)
FENCED_OPEN(open64)
FENCED_OPENAT(openat)
FENCED_OPENAT(openat64)

// openat2 comes through syscall(); an input may make it missing.  Five
// arguments are passed on, those that come in registers: the server makes
// no call with six.
extern "C" long __real_syscall(long nr, ...);
extern "C" long __wrap_syscall(long nr, ...) {
    va_list ap;
    va_start(ap, nr);
    long a[5];
    for (long& x : a) x = va_arg(ap, long);
    va_end(ap);
    if (nr != SYS_openat2) return __real_syscall(nr, a[0], a[1], a[2], a[3], a[4]);
    if (noOpenat2) {
        errno = ENOSYS;
        return -1;
    }
    return opened(__real_syscall(nr, a[0], a[1], a[2], a[3], a[4]));
}

namespace {

// The README's published list of what the server serves, and nothing else.
bool published(const std::string& n) {
    if (n == "update.ini" || n == "update_TEST.ini" || n == "launcher_TEST.ini") return true;
    size_t sep = n.find('\\');
    if (sep == std::string::npos) return false;
    std::string folder = n.substr(0, sep), file = n.substr(sep + 1);
    if (folder != "wrp" && folder != "wrp_TEST") return false;
    if (file == "KAVO.release") return true;
    const std::string ext = ".wrp";
    if (file.size() <= ext.size() || file.compare(file.size() - ext.size(), ext.size(), ext) != 0) return false;
    // Letters and digits of the C locale: ASCII only.
    return std::all_of(file.begin(), file.end() - ext.size(),
                       [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; });
}

// The served root: a link, switched between three folders side by side as
// a release is published; each folder with the regular files that lie in
// it reached without a link (what may be served when its name is
// published), links of every kind, special files and names beside the
// published ones.
struct Root {
    static constexpr int FOLDERS = 3;
    const char* names[FOLDERS] = {"root", "root2", "root_old"};
    std::string base, link;
    std::string real[FOLDERS];
    std::map<std::string, std::string> files[FOLDERS];  // "/" separators -> content
    int serving = 0;

    void folder(int f, const std::string& rel) {
        std::string p = base + "/" + names[f] + (rel.empty() ? "" : "/" + rel);
        if (mkdir(p.c_str(), 0700) != 0) fail("set-up", p);
    }
    void file(int f, const std::string& rel, const std::string& content) {
        std::string p = base + "/" + names[f] + "/" + rel;
        FILE* out = fopen(p.c_str(), "wb");
        if (!out || fwrite(content.data(), 1, content.size(), out) != content.size() || fclose(out) != 0)
            fail("set-up", p);
        if (!content.empty()) files[f][rel] = content;
    }
    void symlinkAt(int f, const std::string& rel, const char* target) {
        std::string p = base + "/" + names[f] + "/" + rel;
        if (symlink(target, p.c_str()) != 0) fail("set-up", p);
    }
    Root() {
        char tmpl[] = "/tmp/kavo_fuzz_server.XXXXXX";
        if (!mkdtemp(tmpl)) fail("set-up", "mkdtemp");
        base = tmpl;
        link = base + "/current";
        if (mkdir((base + "/outside").c_str(), 0700) != 0) fail("set-up", "outside");
        FILE* secret = fopen((base + "/outside/secret").c_str(), "wb");
        if (!secret || fputs("secret", secret) < 0 || fclose(secret) != 0) fail("set-up", "outside");
        for (int f = 0; f < FOLDERS; ++f) folder(f, "");

        // root: what an installer fetches, and all that a correct server
        // refuses beside it.
        for (const char* d : {"wrp", "wrp_TEST", "wrp/sub", "wrp/DIR.wrp", "WRP", "wrp_test"}) folder(0, d);
        file(0, "update.ini", "version 7\n");
        file(0, "update_TEST.ini", "version 7 TEST\n");
        file(0, "launcher_TEST.ini", "TEST\n");
        file(0, "wrp/KAVO.wrp", std::string("\x02\x01" "a\x03\x00\x00\x00" "abc\x04", 11));
        file(0, "wrp/OSKE_ALL.wrp", std::string(3000, 'o'));
        file(0, "wrp/KAVO.release", "release");
        file(0, "wrp/a-Z_9.wrp", "every kind of letter");
        file(0, "wrp_TEST/KAVO.wrp", "test package");
        file(0, "wrp_TEST/KAVO.release", "test release");
        file(0, "wrp/EMPTY.wrp", "");
        for (const char* n : {"KAVO_signing.key", "update.ini.bak", "update.ini ", "Update.ini", "update_test.ini",
                              "launcher.ini", "KAVO.release", "other.txt", "wrp/KAVO.wrpx", "wrp/KAVO.release.old",
                              "wrp/kavo.release", "wrp/OSKE.WRP", "wrp/a.b.wrp", "wrp/KAVO .wrp", "wrp/\xe9.wrp",
                              "wrp/.wrp", "wrp/update.ini", "wrp/sub/deep.wrp", "WRP/KAVO.wrp", "wrp_test/KAVO.wrp"})
            file(0, n, std::string("not to be served: ") + n);
        if (mkfifo((base + "/root/wrp/PIPE.wrp").c_str(), 0600) != 0) fail("set-up", "fifo");
        symlinkAt(0, "wrp/LEAK.wrp", "../KAVO_signing.key");
        symlinkAt(0, "wrp/SAME.wrp", "KAVO.wrp");
        symlinkAt(0, "wrp/OUT.wrp", "../../outside/secret");
        symlinkAt(0, "wrp/SIB.wrp", "../../root2/wrp/KAVO.wrp");
        symlinkAt(0, "wrp/ABS.wrp", "/etc/passwd");
        symlinkAt(0, "wrp/DIRL.wrp", "sub");
        symlinkAt(0, "wrp_TEST/UP.wrp", "../wrp/KAVO.wrp");

        // root2: a folder on the way that is a link inside it, links to
        // files inside and in its sibling.
        folder(1, "wrp");
        file(1, "update.ini", "version 8\n");
        file(1, "wrp/KAVO.wrp", "package of root2");
        symlinkAt(1, "update_TEST.ini", "update.ini");
        symlinkAt(1, "launcher_TEST.ini", "../root/launcher_TEST.ini");
        symlinkAt(1, "wrp/KAVO.release", "../../root/wrp/KAVO.release");
        symlinkAt(1, "wrp_TEST", "wrp");

        // root_old: a folder on the way that leads into its sibling.
        folder(2, "wrp_TEST");
        file(2, "update.ini", "version 6\n");
        file(2, "wrp_TEST/KAVO.wrp", "test package of root_old");
        symlinkAt(2, "wrp", "../root/wrp");

        if (symlink(names[0], link.c_str()) != 0) fail("set-up", link);
        for (int f = 0; f < FOLDERS; ++f) {
            char* r = realpath((base + "/" + names[f]).c_str(), nullptr);
            if (!r) fail("set-up", "realpath");
            real[f] = r;
            free(r);
        }
        servedReal = real[0];
        static std::string made = base;
        atexit([] {
            nftw(made.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
                 FTW_DEPTH | FTW_PHYS);
        });
    }
    // Publishes folder f: a new link renamed over the root.
    void serve(int f) {
        if (f == serving) return;
        std::string next = base + "/next";
        if (symlink(names[f], next.c_str()) != 0 || rename(next.c_str(), link.c_str()) != 0) fail("switch", next);
        serving = f;
        servedReal = real[f];
    }
    // The file a request is answered with, or none: a published name of at
    // most 999 bytes, and a regular, non-empty file there, reached without
    // a link.
    const std::string* served(const std::string& name, size_t length) const {
        if (length > 999 || !published(name)) return nullptr;
        std::string rel = name;
        std::replace(rel.begin(), rel.end(), '\\', '/');
        auto it = files[serving].find(rel);
        return it == files[serving].end() ? nullptr : &it->second;
    }
};

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
        c.root = root.link;
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
    size_t first = 0;
    bool flags = size > 0 && (data[0] & 0xF8) == 0xF0;
    s.root.serve(flags ? data[0] % 4 % Root::FOLDERS : 0);
    noOpenat2 = flags && (data[0] & 4);
    if (flags) first = 1;
    for (size_t i = first; i < size; ++i) {
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
        const std::string* file = s.root.served(d.name, d.nameLength);
        if (in.compare(at, 3, "sfe") == 0 && (at + 4 <= in.size() || cut(4))) {
            if (file) fail("refused a file the model serves", d.name);
            at = std::min(at + 4, in.size());
        } else if (in.compare(at, 3, "sfh") == 0 && (at + 7 <= in.size() || cut(7))) {
            if (!file)
                fail("served what the model refuses (a name the README does not list, over 999 bytes, behind a link, "
                     "or no regular non-empty file)",
                     d.name);
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
