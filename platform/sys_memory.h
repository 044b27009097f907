// The fuzz build's side of the system seam: files and folders in memory
// (fs_memory.h, names read as Windows-1252), a socket that hands over a byte
// stream from the fuzz input, and a clock that only the seam moves.  Nothing touches the real disk or network, so an
// input costs no process-wide set-up.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/fs_memory.h"

// A server's byte stream as the socket hands it over.  The plan cuts it into
// segments: each plan byte, taken in turn and cycling, gives the would-block
// turns before the next segment arrives (high nibble; every turn moves the
// clock on by 0.25 s) and the segment's length (low nibble; 0 is all the
// rest).  Without a plan everything is there at once.
struct Wire {
    const uint8_t* data = nullptr;
    size_t size = 0, pos = 0, avail = 0;
    const uint8_t* plan = nullptr;
    size_t planSize = 0, step = 0, next = 0;
    int wait = 0;
    double* clock = nullptr;

    void start(const uint8_t* d, size_t n, const uint8_t* p, size_t pn, double* c) {
        *this = Wire();
        data = d, size = n, plan = p, planSize = pn, clock = c;
        if (pn) take();
        else avail = n;
    }
    void take() {
        uint8_t b = plan[step++ % planSize];
        wait = b >> 4;
        next = (b & 15) ? (b & 15) : size;
    }
    bool done() const { return pos == size; }
    // Bytes handed over, 0 when the peer has closed (all taken), -1 would block.
    int recv(void* buf, int n, bool peek) {
        if (pos == avail) {
            if (avail == size) return 0;
            if (wait > 0) {
                --wait;
                *clock += 0.25;
                return -1;
            }
            avail = size - avail < next ? size : avail + next;
            take();
        }
        // Plain arithmetic: std::min's reference arguments would give this
        // hot function a sanitizer stack frame.
        size_t k = avail - pos;
        if (n < 0) k = 0;
        else if (static_cast<size_t>(n) < k) k = static_cast<size_t>(n);
        memcpy(buf, data + pos, k);
        if (!peek) pos += k;
        return static_cast<int>(k);
    }
};

extern MemFs memFs;             // the files and folders the product sees
extern double memClock;         // what nowSeconds() returns
extern Wire memWire;            // the one socket's stream (any socket number)
// Where a message starts: the stream position of every first peek that
// finds data (the parser peeks before each message).
extern std::vector<size_t> memPeekStarts;
// Changes to files and folders are allowed only below this folder and in
// the current folder "/run" (the log); anything else aborts.  Empty: anywhere.
extern std::string memFence;

// Puts the seam back to `start` with a fresh clock, socket and fence.
void memReset(MemFs start, const std::string& fence);
// Frees what an input left in the seam.  The fuzzer runs a costly leak
// check after any input that allocated more than it freed, so every target
// calls this last.
void memRelease();
