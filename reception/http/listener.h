// The service's listening sockets, opened before the service drops its
// privileges and handed to the servers.
#pragma once

#include <cstdint>
#include <string>

// Binds and listens on an IPv4 address ("localhost" and "*" allowed) and
// port (0 picks a free one). The descriptor, or -1 with error set.
int openListener(const std::string& address, std::uint16_t port, std::string& error);
// The port a listening socket is bound to.
std::uint16_t listeningPort(int listener);
