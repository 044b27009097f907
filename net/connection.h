// The one TCP connection to the update server: connect (and reconnect on
// the user's word), the version hello, and the reactions to the socket's
// read and close notifications.
#pragma once

#include <cstdint>

enum : uint16_t { SERVER_PORT = 49491 };

// Network events as the socket layer reports them in its notifications.
enum : unsigned { NET_EVENT_READ = 1, NET_EVENT_CLOSE = 32 };

// How long a connect may wait before it counts as timed out (error 10060).
enum : int { CONNECT_TIMEOUT_MS = 3000 };

int connectToServer();   // 1 when connected, else 0
void sendVersion();
void readMasterPort();   // read notification
void connectionLost();   // close notification
// Routes one socket notification (the low 16 bits of its second parameter).
void onServerSocketEvent(unsigned event);

// Dotted IPv4 text to four address bytes; false (bytes unchanged) when the
// text is not exactly four decimal numbers 0-255.
bool parseIPv4(const char* text, uint8_t out[4]);
