// State of the one TCP connection to the update server.
#pragma once

#include <cstdint>

#include "platform/sys.h"

// The socket to the update server; SYS_NO_SOCKET when there is none.
extern SysSocket serverSocket;
// 0 while unconnected, 2 while connected to the update server.
extern uint8_t linkRole;
