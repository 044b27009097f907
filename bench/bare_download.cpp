// bare_download: the yardstick of the download benchmark.  The installer's
// data loop and nothing around it: the hello, then request the file, read the header, then
// per step peek one byte twice, receive up to 1000 bytes and write them.  No
// window, no message pump, no progress.  Built for Windows and run under
// wine next to the installer, so that both pay the same per-call costs.
//
//   bare_download.exe ADDRESS NAME OUTFILE [PORT]
//
// Prints "<bytes> bytes in <s> s, <MB/s> MB/s" (1 MB = 1048576 bytes), timed
// from the request to the last byte written.  Exit 1 on refusal, a short
// transfer or a socket error.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/wire_format.h"

namespace {

double seconds() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

bool readExact(SOCKET s, uint8_t* p, int n) {
    while (n > 0) {
        int r = recv(s, reinterpret_cast<char*>(p), n, 0);
        if (r <= 0) return false;
        p += r;
        n -= r;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: bare_download ADDRESS NAME OUTFILE [PORT]\n");
        return 2;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 0), &wsa) != 0) return 1;
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(argc == 5 ? atoi(argv[4]) : 49491));
    if (inet_pton(AF_INET, argv[1], &sa.sin_addr) != 1 || (ntohl(sa.sin_addr.s_addr) >> 24) != 127) {
        fprintf(stderr, "bare_download: %s is not a loopback address\n", argv[1]);
        return 2;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        fprintf(stderr, "bare_download: connect failed (%d)\n", WSAGetLastError());
        return 1;
    }
    FILE* out = fopen(argv[3], "wb");
    if (!out) {
        fprintf(stderr, "bare_download: cannot write %s\n", argv[3]);
        return 1;
    }
    size_t nameLen = strlen(argv[2]);
    uint8_t request[FILE_REQUEST_HEAD_SIZE + 1024];
    size_t n = buildFileRequest(request, sizeof request, argv[2], nameLen);
    if (n == 0) return 2;

    // The hello first, as the installer sends it at connect (the server
    // closes a connection that has not sent one within 10 s).
    uint8_t hello[VERSION_MSG_SIZE], answer[VERSION_MSG_SIZE];
    buildVersionMessage(hello, sizeof hello);
    if (send(s, reinterpret_cast<const char*>(hello), VERSION_MSG_SIZE, 0) != VERSION_MSG_SIZE ||
        !readExact(s, answer, VERSION_MSG_SIZE))
        return 1;

    double start = seconds();
    if (send(s, reinterpret_cast<const char*>(request), static_cast<int>(n), 0) != static_cast<int>(n)) return 1;
    uint8_t head[FILE_HEADER_MSG_SIZE];
    if (!readExact(s, head, FILE_ERROR_MSG_SIZE) || memcmp(head, "sfh", 3) != 0 ||
        !readExact(s, head + FILE_ERROR_MSG_SIZE, FILE_HEADER_MSG_SIZE - FILE_ERROR_MSG_SIZE)) {
        fprintf(stderr, "bare_download: \"%s\" refused or no header\n", argv[2]);
        return 1;
    }
    const uint32_t size = getU32(head + 3);
    uint32_t received = 0;
    char buffer[1000];
    while (received < size) {
        char byte;
        if (recv(s, &byte, 1, MSG_PEEK) <= 0 || recv(s, &byte, 1, MSG_PEEK) <= 0) break;
        uint32_t left = size - received;
        int got = recv(s, buffer, left < sizeof buffer ? static_cast<int>(left) : static_cast<int>(sizeof buffer), 0);
        if (got <= 0) break;
        fwrite(buffer, 1, static_cast<size_t>(got), out);
        received += static_cast<uint32_t>(got);
    }
    fclose(out);
    double took = seconds() - start;
    closesocket(s);
    printf("%lu bytes in %.3f s, %.2f MB/s\n", static_cast<unsigned long>(received), took,
           took > 0 ? received / 1048576.0 / took : 0.0);
    return received == size ? 0 : 1;
}
