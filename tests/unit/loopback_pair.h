// A connected TCP pair on 127.0.0.1 for protocol tests: `installer` is the
// side the code under test uses (non-blocking, as the connection code leaves
// it), `peer` plays the server (blocking, Nagle off so segments go out as
// written).
#pragma once

#include <string>

#include "platform/sys.h"

struct LoopbackPair {
    SysSocket installer = SYS_NO_SOCKET;
    SysSocket peer = SYS_NO_SOCKET;

    LoopbackPair() = default;
    LoopbackPair(const LoopbackPair&) = delete;
    LoopbackPair& operator=(const LoopbackPair&) = delete;
    ~LoopbackPair() { close(); }

    bool open();
    void close();
    void closePeer();
    // Closes the peer so that the installer side sees a reset, not an end.
    void resetPeer();
    bool peerSend(const std::string& bytes);
    // Blocking read of up to `max` bytes on the peer, waiting at most timeoutMs.
    std::string peerRecv(int max, int timeoutMs);
    // Small socket buffers, so that a peer that never reads stalls a send soon.
    void shrinkBuffers(int bytes);
};

// Everything waiting on the socket, without taking it (up to 1 MiB).
std::string peekWaiting(SysSocket s);
// Waits (at most 3 s) until at least n bytes are waiting on s.
bool waitWaiting(SysSocket s, size_t n);
