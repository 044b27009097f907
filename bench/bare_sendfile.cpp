// bare_sendfile: the yardstick of the server bench.  One file served with
// nothing around it, by one thread as the server is: a poll() loop that
// answers the hello, and a file request with the header and sendfile() as
// far as each socket takes it.  No limits, no logging, no jobs, no other
// names: what loopback and the kernel give a single-threaded loop.
//
//   bare_sendfile ADDRESS PORT FILE SECONDS
//
// Serves FILE (whatever name is asked for) on ADDRESS:PORT, a loopback
// address only, and exits after SECONDS.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "net/wire_format.h"

namespace {

struct Conn {
    int fd;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;  // hello answers and headers
    off_t sent = 0;            // content bytes
    bool sending = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: bare_sendfile ADDRESS PORT FILE SECONDS\n");
        return 2;
    }
    int file = open(argv[3], O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (file < 0 || fstat(file, &st) != 0 || st.st_size <= 0 || st.st_size > 0xFFFFFFFFLL) {
        fprintf(stderr, "bare_sendfile: cannot serve %s\n", argv[3]);
        return 1;
    }
    const off_t size = st.st_size;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &sa.sin_addr) != 1 || (ntohl(sa.sin_addr.s_addr) >> 24) != 127) {
        fprintf(stderr, "bare_sendfile: a loopback address only\n");
        return 2;
    }
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(ls, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(ls, 4096) != 0) {
        perror("bare_sendfile: bind");
        return 1;
    }
    std::vector<Conn> conns;
    std::vector<pollfd> fds;
    time_t end = time(nullptr) + atoi(argv[4]);
    while (time(nullptr) < end) {
        fds.assign(1, pollfd{ls, POLLIN, 0});
        for (auto& c : conns)
            fds.push_back({c.fd, static_cast<short>(POLLIN | (c.sending || !c.out.empty() ? POLLOUT : 0)), 0});
        if (poll(fds.data(), fds.size(), 200) <= 0) continue;
        for (size_t i = 1; i < fds.size(); ++i) {
            Conn& c = conns[i - 1];
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                uint8_t buf[4096];
                ssize_t r = recv(c.fd, buf, sizeof buf, 0);
                if (r == 0 || (r < 0 && errno != EAGAIN)) {
                    close(c.fd);
                    c.fd = -1;
                    continue;
                }
                if (r > 0) c.in.insert(c.in.end(), buf, buf + r);
                // Hellos and requests, as they come.
                for (;;) {
                    if (c.in.size() >= VERSION_MSG_SIZE && c.in[0] == MSG_HASH) {
                        c.out.insert(c.out.end(), c.in.begin(), c.in.begin() + VERSION_MSG_SIZE);
                        c.in.erase(c.in.begin(), c.in.begin() + VERSION_MSG_SIZE);
                    } else if (c.in.size() >= FILE_REQUEST_HEAD_SIZE && c.in[0] == MSG_REQUEST &&
                               c.in.size() >= size_t(FILE_REQUEST_HEAD_SIZE) + getU16(&c.in[2]) && !c.sending) {
                        c.in.erase(c.in.begin(), c.in.begin() + FILE_REQUEST_HEAD_SIZE + getU16(&c.in[2]));
                        uint8_t h[FILE_HEADER_MSG_SIZE];
                        buildFileHeader(h, sizeof h, static_cast<uint32_t>(size));
                        c.out.insert(c.out.end(), h, h + sizeof h);
                        c.sending = true;
                        c.sent = 0;
                    } else {
                        break;
                    }
                }
            }
            while (!c.out.empty()) {
                ssize_t w = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
                if (w <= 0) break;
                c.out.erase(c.out.begin(), c.out.begin() + w);
            }
            while (c.out.empty() && c.sending) {
                ssize_t w = sendfile(c.fd, file, &c.sent, static_cast<size_t>(size - c.sent));
                if (w <= 0) break;
                if (c.sent == size) c.sending = false;
            }
        }
        size_t kept = 0;
        for (size_t i = 0; i < conns.size(); ++i) {
            if (conns[i].fd < 0) continue;
            if (i != kept) conns[kept] = std::move(conns[i]);
            ++kept;
        }
        conns.resize(kept);
        if (fds[0].revents & POLLIN) {
            int fd;
            while ((fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0) {
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                conns.push_back(Conn{fd, {}, {}, 0, false});
            }
        }
    }
    return 0;
}
