// bare_download: the yardstick of the download benchmark.  A plain data
// loop and nothing around it: the hello, then request the file, read the header, then per
// step receive whatever has arrived, up to the chunk size, and write it.  No
// window, no message pump, no progress.  Built for Windows and run under
// wine next to the installer, so that both pay the same per-call costs.
//
//   bare_download.exe [--chunk BYTES] [--peeks] ADDRESS NAME OUTFILE [PORT]
//
// The default, 65536-byte receives without peeks, is the loop the installer
// is measured against.  "--chunk 1000 --peeks" is the older loop of 1000-byte
// receives with two one-byte peeks before each.
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

#include "bench/bench_clock.h"
#include "net/wire_format.h"

namespace {

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
    int chunk = 65536;
    bool peeks = false;
    while (argc > 1 && strncmp(argv[1], "--", 2) == 0) {
        if (strcmp(argv[1], "--peeks") == 0) {
            peeks = true;
        } else if (strcmp(argv[1], "--chunk") == 0 && argc > 2) {
            chunk = atoi(argv[2]);
            ++argv, --argc;
        } else {
            break;
        }
        ++argv, --argc;
    }
    if ((argc != 4 && argc != 5) || chunk < 1 || chunk > (1 << 20)) {
        fprintf(stderr, "usage: bare_download [--chunk BYTES] [--peeks] ADDRESS NAME OUTFILE [PORT]\n");
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
    char* buffer = static_cast<char*>(malloc(static_cast<size_t>(chunk)));
    if (!out || !buffer) {
        fprintf(stderr, "bare_download: cannot write %s\n", argv[3]);
        return 1;
    }
    // Each received block goes to the file in one write.
    setvbuf(out, nullptr, _IONBF, 0);
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

    double start = benchSeconds();
    if (send(s, reinterpret_cast<const char*>(request), static_cast<int>(n), 0) != static_cast<int>(n)) return 1;
    uint8_t head[FILE_HEADER_MSG_SIZE];
    if (!readExact(s, head, FILE_ERROR_MSG_SIZE) || memcmp(head, "sfh", 3) != 0 ||
        !readExact(s, head + FILE_ERROR_MSG_SIZE, FILE_HEADER_MSG_SIZE - FILE_ERROR_MSG_SIZE)) {
        fprintf(stderr, "bare_download: \"%s\" refused or no header\n", argv[2]);
        return 1;
    }
    const uint32_t size = getU32(head + 3);
    uint32_t received = 0;
    while (received < size) {
        char byte;
        if (peeks && (recv(s, &byte, 1, MSG_PEEK) <= 0 || recv(s, &byte, 1, MSG_PEEK) <= 0)) break;
        uint32_t left = size - received;
        int got = recv(s, buffer, left < static_cast<uint32_t>(chunk) ? static_cast<int>(left) : chunk, 0);
        if (got <= 0) break;
        fwrite(buffer, 1, static_cast<size_t>(got), out);
        received += static_cast<uint32_t>(got);
    }
    fclose(out);
    double took = benchSeconds() - start;
    closesocket(s);
    printf("%lu bytes in %.3f s, %.2f MB/s\n", static_cast<unsigned long>(received), took,
           took > 0 ? received / 1048576.0 / took : 0.0);
    return received == size ? 0 : 1;
}
