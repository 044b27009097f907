// Win32-only additions to the system seam.
#pragma once

#include "platform/sys.h"

// Set by the window: registers the server socket for read and close
// notifications to it (and so makes the socket non-blocking).
extern int (*sysSocketWatchHook)(SysSocket s);
