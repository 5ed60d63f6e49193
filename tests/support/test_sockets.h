// The server side of loopback tests, beside the product's socket seam
// (sockets.h), which holds only what the notifier itself calls.
#pragma once

#include <cstdint>

#include "sockets.h"

// A listening TCP socket on address:port (network byte order address), or 0.
// A backlog of 0 holds one connection nobody accepts; the system then drops
// further connection attempts, as a service that stopped accepting does.
SocketHandle listenTcp(std::uint32_t address, std::uint16_t port, int backlog = 64);
// The next connection within timeoutMs, or 0.
SocketHandle acceptConnection(SocketHandle listener, int timeoutMs);
// Closes with an RST instead of an orderly FIN.
void resetConnection(SocketHandle socket);
