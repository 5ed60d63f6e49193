// The platform seam under the HTTP client: the few socket operations Vestibra
// needs, implemented once over Winsock (sockets_win32.cpp) and once over POSIX
// sockets (sockets_posix.cpp). No platform header leaks out of here.
// Errors: true for success, 0 for "no socket", and receiveWithin's negative
// codes; the reason behind a failure does not change what the client does.
#pragma once

#include <cstdint>

using SocketHandle = std::uintptr_t;  // 0 means "no socket"

// Windows Sockets start-up (version word 0x0101) and clean-up around each
// request. Non-zero from wsaStartup means failure. On POSIX both succeed and
// do nothing.
int wsaStartup(unsigned short version);
int wsaCleanup();

// IPv4 address of a dotted-decimal text in network byte order, false for any other text.
bool parseDottedAddress(const char* text, std::uint32_t& address);
// First IPv4 address of a host name, false when the name does not resolve.
bool resolveHostName(const char* name, std::uint32_t& address);

SocketHandle openTcpSocket();
void closeSocket(SocketHandle socket);
// Connects within timeoutMs; true on success.
bool connectWithin(SocketHandle socket, std::uint32_t address, std::uint16_t port, int timeoutMs);

// Sends every byte or fails within timeoutMs; true when all was sent.
bool sendAllWithin(SocketHandle socket, const char* data, std::size_t length, int timeoutMs);

enum : int { receiveClosed = 0, receiveFailed = -1, receiveTimedOut = -2 };
// Receives up to capacity bytes within timeoutMs: the count, or one of the values above.
int receiveWithin(SocketHandle socket, char* buffer, int capacity, int timeoutMs);
