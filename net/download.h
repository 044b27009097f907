// Download of one file from the update server over the open connection.
#pragma once

#include <cstdint>

enum : int {
    DOWNLOAD_BUFFER_SIZE = 15000,
    DOWNLOAD_CHUNK = 1000,
};

// Set while tcpDownload reads the socket itself, so that the read
// notification leaves every arriving byte to it.
extern bool downloadActive;

// Fetches remotePath into localPath (created or truncated).  True only when
// exactly the announced number of bytes arrived.  The local file stays on
// every outcome.
bool tcpDownload(const char* localPath, const char* remotePath, bool showProgress);
