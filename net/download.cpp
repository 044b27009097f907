#include "net/download.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/eventlog.h"
#include "app/globals.h"
#include "base/textbuf.h"
#include "net/connection.h"
#include "net/link.h"
#include "net/protocol.h"
#include "net/wire_format.h"
#include "platform/sys.h"

bool downloadActive = false;

namespace {

uint8_t downloadBuffer[DOWNLOAD_BUFFER_SIZE];

const double HEADER_WAIT_SECONDS = 10.0;
const double INACTIVITY_SECONDS = 10.0;
const double PROGRESS_INTERVAL_SECONDS = 0.1;
// While content flows the window is pumped this often, not after every
// receive: a pump is a request to the system even when nothing waits.
const double PUMP_INTERVAL_SECONDS = 0.02;
// With nothing arrived, wait this long for the socket before the next pump.
const int IDLE_WAIT_MS = 20;
// The pause when there is no socket or the server has closed it.
const int NO_DATA_SLEEP_MS = 50;

bool sendRequest(const char* remotePath) {
    size_t n = buildFileRequest(sendBuffer, sizeof sendBuffer, remotePath, strlen(remotePath));
    if (n == 0) {
        logMessage("tcpDownload ERROR - request for \"%.200s...\" does not fit %d bytes", remotePath,
                   static_cast<int>(sizeof sendBuffer));
        return false;
    }
    sendDataBuffer(serverSocket, sendBuffer, static_cast<int>(n));
    return true;
}

void waitForHeader(const char* remotePath) {
    double start = nowSeconds();
    for (;;) {
        processMessages(true);
        if (transferError != 0) {
            logMessage("tcpFileDownload - unable to download \"%s\"", remotePath);
            return;
        }
        if (transferSize != 0) {
            logMessage("tcpFileDownload - file size %d", static_cast<int>(transferSize));
            return;
        }
        if (nowSeconds() - start >= HEADER_WAIT_SECONDS) return;
        // Without a connection there is nothing to wait for but the clock;
        // do not burn the processor meanwhile.
        if (serverSocket == SYS_NO_SOCKET) sysSleepMs(1);
    }
}

// Reads the content into the file; returns the bytes received and adds the
// bytes that reached the file to *written.
uint32_t receiveContent(FILE* file, uint32_t size, bool showProgress, uint32_t* written, DownloadSink* sink) {
    const double totalKb = size / 1024.0;
    const double phaseStart = nowSeconds();
    double lastActivity = phaseStart;
    double lastProgress = 0;
    uint32_t received = 0;
    // The list line to replace is ours only while nothing else was logged
    // after it (an error line of ours, or a line from a nested handler).
    bool newestIsProgress = false;
    unsigned progressLineSeq = 0;
    double lastPump = phaseStart;

    while (received < size) {
        if (abortRequested) break;
        uint32_t left = size - received;
        int chunk = static_cast<int>(left < static_cast<uint32_t>(DOWNLOAD_CHUNK) ? left : static_cast<uint32_t>(DOWNLOAD_CHUNK));
        // Whatever has arrived, never past the announced size: anything
        // behind the content is the next message.
        int got = serverSocket == SYS_NO_SOCKET ? 0 : sysRecv(serverSocket, downloadBuffer, chunk, false);
        if (got < 0 && sysNetError() != SYS_WSAEWOULDBLOCK) {
            // A broken connection delivers nothing more; end now instead of
            // waiting out the inactivity limit.
            logMessage("tcpDownload ERROR - receive failed (%d)", sysNetError());
            break;
        }
        if (got > 0) {
            size_t put = fwrite(downloadBuffer, 1, static_cast<size_t>(got), file);
            *written += static_cast<uint32_t>(put);
            if (sink && put > 0) sink->written(downloadBuffer, put);
            if (put < static_cast<size_t>(got)) {
                logMessage("tcpDownload ERROR - %d/%d byte written", static_cast<int>(put), got);
                newestIsProgress = false;
            }
            received += static_cast<uint32_t>(got);
            double now = nowSeconds();
            lastActivity = now;
            if (now - lastProgress > PROGRESS_INTERVAL_SECONDS || received == size) {
                if (showProgress) {
                    char line[LOG_TEXT_CAP];
                    formatText(line, sizeof line, "tcpDownload - %.1lf/%.1lf KB - %.1lf sec", received / 1024.0,
                               totalKb, now - phaseStart);
                    // The new line takes the place of our previous one in a
                    // single change of the list.
                    if (newestIsProgress && logSequence() == progressLineSeq) logMessageReplacingNewest("%s", line);
                    else logMessage("%s", line);
                    newestIsProgress = true;
                    progressLineSeq = logSequence();
                }
                uiSetProgress(static_cast<int>(static_cast<double>(received) / size * 1000.0));
                // Timed from the end of the update: one that itself takes
                // longer than the interval must not make every chunk an update.
                lastProgress = nowSeconds();
                now = lastProgress;
            }
            if (now - lastPump >= PUMP_INTERVAL_SECONDS) {
                uiPump();
                // Time in a nested handler (a question the user has not yet
                // answered) is no silence of the server.
                lastPump = nowSeconds();
                lastActivity = lastPump;
            }
            continue;
        }
        // Nothing waiting: keep the window alive (repaints, a close request
        // that aborts), then wait for the socket rather than a fixed time,
        // so that content arriving meanwhile is taken at once.
        uiPump();
        lastPump = nowSeconds();
        if (got == 0 || serverSocket == SYS_NO_SOCKET || sysWaitReadable(serverSocket, IDLE_WAIT_MS) < 0)
            sysSleepMs(NO_DATA_SLEEP_MS);
        double idle = nowSeconds() - lastActivity;
        if (idle > INACTIVITY_SECONDS) {
            logMessage("tcpFileDownload timed out %.1lf sec", idle);
            break;
        }
    }
    return received;
}

// A file announced larger than its caller allows is never read: the
// connection is made anew, since its content follows the header at once.
void refuseOversize(const char* remotePath, uint32_t size, uint64_t maxBytes) {
    logMessage("tcpDownload ERROR - \"%s\" is announced with %u bytes, more than the %llu it may have - refused",
               remotePath, size, static_cast<unsigned long long>(maxBytes));
    if (serverSocket != SYS_NO_SOCKET) {
        sysSocketClose(serverSocket);
        serverSocket = SYS_NO_SOCKET;
        linkRole = 0;
    }
    connectToServer();
}

// The request and the content, into `file`; closes it unless `keep`.
bool fetchInto(FILE* file, bool keep, const char* localPath, const char* remotePath, bool showProgress,
               DownloadSink* sink, uint64_t maxBytes) {
    bool sent = sendRequest(remotePath);
    downloadActive = true;
    uiSocketReads(serverSocket, false);
    transferError = 0;
    transferSize = 0;
    // A request that could not be sent has no answer to wait for.
    if (sent) waitForHeader(remotePath);

    bool result = false;
    if (transferSize != 0 && transferSize > maxBytes) {
        uint32_t size = transferSize;
        transferSize = 0;
        downloadActive = false;
        refuseOversize(remotePath, size, maxBytes);
    } else if (transferSize != 0) {
        uint32_t size = transferSize;
        uint32_t written = 0;
        if (sink) sink->announced(size);
        uint32_t received = receiveContent(file, size, showProgress, &written, sink);
        // A download is complete only when every byte reached the disk: the
        // last ones are written when the file is closed (or flushed).
        bool finished = keep ? fflush(file) == 0 : fclose(file) == 0;
        if (!keep) file = nullptr;
        if (!finished)
            logMessage("tcpDownload ERROR - %s \"%s\" failed (errCode %d)", keep ? "flushing" : "closing", localPath,
                       errno);
        if (received == size && written == size && finished) {
            logMessage("tcpFileDownload done - %d/%d byte", static_cast<int>(received), static_cast<int>(size));
            result = true;
        } else {
            logMessage("tcpFileDownload failed - %d/%d byte", static_cast<int>(received), static_cast<int>(size));
        }
    }
    uiPump();
    downloadActive = false;
    uiSocketReads(serverSocket, true);
    if (file && !keep) fclose(file);
    return result;
}

}  // namespace

bool tcpDownload(const char* localPath, const char* remotePath, bool showProgress, uint64_t maxBytes) {
    if (!localPath || !remotePath) return false;
    uiSetProgress(0);
    if (showProgress) logMessage("tcpDownload - \"%s\"", localPath);
    // Nobody else may cut or write the file while it fills.
    FILE* file = sysOpenFileNoWriters(localPath, "wb");
    if (!file) {
        // Said as what it is: no network fault.
        logMessage("tcpDownload ERROR - \"%s\" cannot be opened for writing - %d", localPath, sysOpenFailure());
        return false;
    }
    // Each received block goes to the file in one write, without a copy
    // through the stream's buffer.
    setvbuf(file, nullptr, _IONBF, 0);
    bool ok = fetchInto(file, false, localPath, remotePath, showProgress, nullptr, maxBytes);
    return ok;
}

bool tcpDownloadInto(FILE* file, const char* localPath, const char* remotePath, bool showProgress,
                     DownloadSink* sink, uint64_t maxBytes) {
    if (!localPath || !remotePath) return false;
    uiSetProgress(0);
    if (showProgress) logMessage("tcpDownload - \"%s\"", localPath);
    if (!file) {
        logMessage("tcpDownload ERROR - \"%s\" cannot be opened for writing - %d", localPath, sysOpenFailure());
        return false;
    }
    return fetchInto(file, true, localPath, remotePath, showProgress, sink, maxBytes);
}
