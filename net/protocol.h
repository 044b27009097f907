// Reading and writing the server protocol (layouts in net/wire_format.h):
// bounded send and receive helpers and the message parser that acts on the
// server's version, the answers to a file request and the folder commands.
#pragma once

#include <cstdint>

#include "net/wire_format.h"
#include "platform/sys.h"

// One outgoing message at a time (version hello, file request).
extern uint8_t sendBuffer[SEND_BUFFER_SIZE];
// Incoming letters and fixed fields at their offsets, payloads after them.
extern uint8_t recvScratch[RECV_SCRATCH_SIZE];
// Written by "sfe" and "sfh"; reset and read by the download.
extern uint8_t transferError;
extern uint32_t transferSize;

// Reads up to n bytes, for at most 1.0 s and at most 1000 calls after the
// last would-block.  Bytes placed (0..n), or -1 on a socket error other than
// would-block; 0 at once for n <= 0, a null buffer or no socket.
int recvDataBuffer(SysSocket socket, void* buffer, int n);
// Sends n bytes, riding out would-block with 1 ms sleeps.  Bytes sent
// (0..n), -1 on a socket error other than would-block (logged), -2 after
// 1000 would-block waits; stops after 5 s with the count sent so far.
int sendDataBuffer(SysSocket socket, const void* data, int n);
// Builds the "rf" request for `path` in sendBuffer and sends it.  A request
// that would not fit is not sent (logged).  True when it went out whole.
bool sendFileRequest(SysSocket socket, const char* path);

// Handles the messages waiting on serverSocket: one with `once`, otherwise
// all of them while data is waiting.
void processMessages(bool once);

// Points shareRoot at workingDir + "\KAVO_share" and drops the tree, which
// the next folder command builds afresh.  False (shareRoot empty) when
// workingDir is not set or the result would not fit.  processMessages calls
// it when shareRoot is still empty.
bool setShareRoot();
