// Download of one file from the update server over the open connection.
#pragma once

#include <cstdint>

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
// every outcome.
bool tcpDownload(const char* localPath, const char* remotePath, bool showProgress);
