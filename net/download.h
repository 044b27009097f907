// Download of one file from the update server over the open connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum : int {
    // One receive takes whatever has arrived, up to this much: on a fast
    // line the number of calls per byte, not the line, sets the speed.
    DOWNLOAD_CHUNK = 1 << 16,
    DOWNLOAD_BUFFER_SIZE = DOWNLOAD_CHUNK,
};

// Set while tcpDownload reads the socket itself, so that the read
// notification leaves every arriving byte to it.
extern bool downloadActive;

// Fetches remotePath into localPath (created or truncated).  True only when
// exactly the announced number of bytes arrived.  The local file stays on
// every outcome.  A file announced with more than `maxBytes` is refused
// without reading it (the connection is made anew).
bool tcpDownload(const char* localPath, const char* remotePath, bool showProgress,
                 uint64_t maxBytes = UINT64_MAX);

// Told what a download writes, as it writes it: the announced size before
// the first block, then every block that reached the file, in order.
struct DownloadSink {
    virtual void announced(uint32_t size) = 0;
    virtual void written(const void* data, size_t n) = 0;

protected:
    ~DownloadSink() = default;
};

// tcpDownload into a file the caller opened (`localPath` names it in the
// lines; a null `file` is one that could not be opened).  The file is
// flushed, not closed: the caller keeps it, so that nobody else writes it
// between the download and what reads it next.  A failed flush is a failed
// download.  `sink` may be null.
bool tcpDownloadInto(FILE* file, const char* localPath, const char* remotePath, bool showProgress,
                     DownloadSink* sink, uint64_t maxBytes = UINT64_MAX);
