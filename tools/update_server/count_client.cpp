// count_client: the smallest possible downloader, as a yardstick for the
// installer.  Requests one file, reads the "sfh" header and counts the
// content bytes as fast as the socket delivers them.
//
//   count_client ADDRESS PORT NAME
//
// Prints "<bytes> bytes in <s> s, <MB/s> MB/s" (1 MB = 1048576 bytes),
// timed from the request to the last byte.  Exit 1 on refusal, a short
// transfer or a socket error.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/wire_format.h"

namespace {

bool readExact(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: count_client ADDRESS PORT NAME\n");
        return 2;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &sa.sin_addr) != 1 || (ntohl(sa.sin_addr.s_addr) >> 24) != 127) {
        fprintf(stderr, "count_client: %s is not a loopback address\n", argv[1]);
        return 2;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        perror("count_client: connect");
        return 1;
    }
    std::string name = argv[3];
    std::vector<uint8_t> req(FILE_REQUEST_HEAD_SIZE + name.size());
    if (buildFileRequest(req.data(), req.size(), name.data(), name.size()) == 0) {
        fprintf(stderr, "count_client: name too long\n");
        return 2;
    }
    auto t0 = std::chrono::steady_clock::now();
    if (send(fd, req.data(), req.size(), 0) != static_cast<ssize_t>(req.size())) {
        perror("count_client: send");
        return 1;
    }
    uint8_t head[FILE_HEADER_MSG_SIZE];
    if (!readExact(fd, head, 4)) {
        fprintf(stderr, "count_client: no answer\n");
        return 1;
    }
    if (memcmp(head, "sfe", 3) == 0) {
        fprintf(stderr, "count_client: \"%s\" refused\n", name.c_str());
        return 1;
    }
    if (memcmp(head, "sfh", 3) != 0 || !readExact(fd, head + 4, 3)) {
        fprintf(stderr, "count_client: unexpected answer\n");
        return 1;
    }
    uint64_t size = getU32(head + 3), got = 0;
    std::vector<uint8_t> buf(1 << 20);
    while (got < size) {
        ssize_t r = recv(fd, buf.data(), buf.size(), 0);
        if (r <= 0) break;
        got += static_cast<uint64_t>(r);
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    close(fd);
    printf("%llu bytes in %.3f s, %.1f MB/s\n", static_cast<unsigned long long>(got), s,
           s > 0 ? static_cast<double>(got) / 1048576.0 / s : 0.0);
    if (got != size) {
        fprintf(stderr, "count_client: %llu of %llu bytes\n", static_cast<unsigned long long>(got),
                static_cast<unsigned long long>(size));
        return 1;
    }
    return 0;
}
