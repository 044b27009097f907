#include "net/link.h"

SysSocket serverSocket = SYS_NO_SOCKET;
uint8_t linkRole = 0;
