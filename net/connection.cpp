#include "net/connection.h"

#include <cstring>

#include "app/eventlog.h"
#include "app/globals.h"
#include "net/download.h"
#include "net/link.h"
#include "net/protocol.h"
#include "net/wire_format.h"
#include "platform/sys.h"

namespace {
bool winsockStarted = false;
// Kept across attempts: an address text that does not convert leaves the
// bytes of the previous attempt, as the address conversion does.
uint8_t serverSockAddr[4] = {0, 0, 0, 0};
enum : int { WSAEADDRNOTAVAIL_CODE = 10049 };
}  // namespace

bool parseIPv4(const char* text, uint8_t out[4]) {
    if (!text) return false;
    uint8_t bytes[4];
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (*p < '0' || *p > '9') return false;
        int value = 0, digits = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + (*p - '0');
            if (++digits > 3 || value > 255) return false;
            ++p;
        }
        bytes[i] = static_cast<uint8_t>(value);
        if (i < 3 && *p++ != '.') return false;
    }
    if (*p) return false;
    memcpy(out, bytes, 4);
    return true;
}

int connectToServer() {
    if (winsockStarted && serverSocket != SYS_NO_SOCKET) {
        if (sysSocketClose(serverSocket) != 0) {
            logMessage("failed to close socket - %d", sysNetError());
            return 0;
        }
        serverSocket = SYS_NO_SOCKET;
    }
    if (!winsockStarted) {
        int rc = sysNetStart();
        if (rc == 0) winsockStarted = true;
        else logMessage("WSAStartup failed with error: %d\n", rc);
    }
    linkRole = 0;

    serverSocket = sysSocketOpen();
    if (serverSocket == SYS_NO_SOCKET) {
        logMessage("open socket failed: invalid socket!");
        return 0;
    }
    parseIPv4(serverAddress, serverSockAddr);
    logMessage("connecting to HOST (%s:%u)...", serverAddress, static_cast<unsigned>(SERVER_PORT));

    // 0.0.0.0 is no destination on the product's platform; refuse it here
    // too, so that a host that would read it as "this machine" behaves alike.
    static const uint8_t unspecified[4] = {0, 0, 0, 0};
    int err = memcmp(serverSockAddr, unspecified, 4) == 0
                  ? WSAEADDRNOTAVAIL_CODE
                  : sysConnect(serverSocket, serverSockAddr, SERVER_PORT, CONNECT_TIMEOUT_MS);
    if (err != 0) {
        logMessage("failed to connect! - %d", err);
        if (err == SYS_WSAETIMEDOUT) logMessage("    - connection timed out");
        sysSocketClose(serverSocket);
        serverSocket = SYS_NO_SOCKET;
        return 0;
    }
    logMessage("connection established!");
    linkRole = 2;
    if (int watch = sysSocketWatch(serverSocket)) logMessage("connectToServer - socket notifications not set up (%d)", watch);
    sendVersion();
    return 1;
}

void sendVersion() {
    if (serverSocket == SYS_NO_SOCKET) return;
    size_t n = buildVersionMessage(sendBuffer, sizeof sendBuffer);
    sendDataBuffer(serverSocket, sendBuffer, static_cast<int>(n));
}

void readMasterPort() {
    if (downloadActive) return;  // the download reads the socket itself
    if (serverSocket == SYS_NO_SOCKET || linkRole != 2) return;
    char byte;
    if (sysRecv(serverSocket, &byte, 1, true) <= 0) return;
    int again = sysRecv(serverSocket, &byte, 1, true);
    if (again > 0) {
        processMessages(false);
    } else if (again < 0) {
        logMessage("readMasterPort: ERROR - connection down");
        sysSocketClose(serverSocket);
        serverSocket = SYS_NO_SOCKET;
        linkRole = 0;
        showWarning("Failed to receive data. Connection is closed!\nPlease try again or contact " SUPPORT_CONTACT);
    }
}

void connectionLost() {
    for (;;) {
        logMessage("connection is down!");
        sysSocketClose(serverSocket);
        serverSocket = SYS_NO_SOCKET;
        linkRole = 0;
        if (!uiAskYesNo("KAVO has been disconnected from the server!\nDo you want to try to reconnect?", "Network",
                        true)) {
            uiQuit();
            return;
        }
        if (connectToServer() == 1) return;
    }
}

void onServerSocketEvent(unsigned event) {
    if (event == NET_EVENT_READ) readMasterPort();
    else if (event == NET_EVENT_CLOSE && linkRole == 2) connectionLost();
}
