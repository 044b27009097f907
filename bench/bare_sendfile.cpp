// bare_sendfile: the yardstick of the server bench.  One file served with
// nothing around it: a thread per connection answers the hello, and a file
// request with the header and a blocking sendfile() loop to the end.  No
// limits, no logging, no other names: what loopback and the kernel give.
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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "net/wire_format.h"

namespace {

const char* path;
uint64_t fileSize;

bool readExact(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void serve(int fd) {
    uint8_t m[FILE_REQUEST_HEAD_SIZE + 4096];
    while (readExact(fd, m, 2)) {
        if (m[0] == MSG_HASH && m[1] == MSG_VERSION) {
            if (!readExact(fd, m + 2, 4) || send(fd, m, VERSION_MSG_SIZE, MSG_NOSIGNAL) != VERSION_MSG_SIZE) break;
            continue;
        }
        if (m[0] != MSG_REQUEST || m[1] != MSG_FILE || !readExact(fd, m + 2, 2)) break;
        size_t n = getU16(m + 2);
        if (n > 4096 || !readExact(fd, m + 4, n)) break;
        uint8_t h[FILE_HEADER_MSG_SIZE];
        buildFileHeader(h, sizeof h, static_cast<uint32_t>(fileSize));
        if (send(fd, h, sizeof h, MSG_NOSIGNAL) != sizeof h) break;
        int file = open(path, O_RDONLY | O_CLOEXEC);
        off_t off = 0;
        while (file >= 0 && static_cast<uint64_t>(off) < fileSize)
            if (sendfile(fd, file, &off, fileSize - static_cast<uint64_t>(off)) <= 0) break;
        if (file >= 0) close(file);
    }
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: bare_sendfile ADDRESS PORT FILE SECONDS\n");
        return 2;
    }
    path = argv[3];
    struct stat st {};
    if (stat(path, &st) != 0 || st.st_size <= 0 || st.st_size > 0xFFFFFFFFLL) {
        fprintf(stderr, "bare_sendfile: cannot serve %s\n", path);
        return 1;
    }
    fileSize = static_cast<uint64_t>(st.st_size);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &sa.sin_addr) != 1 || (ntohl(sa.sin_addr.s_addr) >> 24) != 127) {
        fprintf(stderr, "bare_sendfile: a loopback address only\n");
        return 2;
    }
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(ls, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(ls, 4096) != 0) {
        perror("bare_sendfile: bind");
        return 1;
    }
    time_t end = time(nullptr) + atoi(argv[4]);
    while (time(nullptr) < end) {
        pollfd p{ls, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        int fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread(serve, fd).detach();
    }
    return 0;
}
