#include "sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstring>

#include "sockets_common.h"

namespace {
WSADATA wsaData;  // the one start-up record; each start-up fills it, nothing reads it
}

int wsaStartup(unsigned short version) { return WSAStartup(version, &wsaData); }

int wsaCleanup() { return WSACleanup(); }

bool parseDottedAddress(const char* text, std::uint32_t& address) {
  unsigned long parsed = inet_addr(text);
  // inet_addr cannot tell 255.255.255.255 from failure; that address is never a server.
  if (parsed == INADDR_NONE) return false;
  address = static_cast<std::uint32_t>(parsed);
  return true;
}

bool resolveHostName(const char* name, std::uint32_t& address) {
  hostent* entry = gethostbyname(name);
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr) return false;
  std::memcpy(&address, entry->h_addr_list[0], sizeof address);
  return true;
}

// Every socket is non-blocking: Winsock has no per-call flag for it, and a
// receive that finds bytes waiting then costs one call instead of two.
static void setNonBlocking(SOCKET socket) {
  u_long mode = 1;
  ::ioctlsocket(socket, FIONBIO, &mode);
}

SocketHandle openTcpSocket() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return 0;
  setNonBlocking(s);
  return static_cast<SocketHandle>(s);
}

void closeSocket(SocketHandle socket) {
  if (socket != 0) ::closesocket(static_cast<SOCKET>(socket));
}

static bool waitFor(SocketHandle socket, bool forWriting, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<SOCKET>(socket), &set);
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(static_cast<SOCKET>(socket), &failed);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int ready = forWriting ? ::select(0, nullptr, &set, &failed, &limit) : ::select(0, &set, nullptr, nullptr, &limit);
  return ready > 0 && FD_ISSET(static_cast<SOCKET>(socket), &set);
}

static bool wouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }

static sockaddr_in socketAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = address;
  return target;
}

bool connectWithin(SocketHandle socket, std::uint32_t address, std::uint16_t port, int timeoutMs) {
  sockaddr_in target = socketAddress(address, port);
  int result = ::connect(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&target), sizeof target);
  if (result != 0 && wouldBlock()) result = waitFor(socket, true, timeoutMs) ? 0 : -1;
  return result == 0;
}

bool sendAllWithin(SocketHandle socket, const char* data, std::size_t length, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (length > 0) {
    int piece = length > 65536 ? 65536 : static_cast<int>(length);
    int sent = ::send(static_cast<SOCKET>(socket), data, piece, 0);
    if (sent == SOCKET_ERROR && wouldBlock()) {
      if (!waitFor(socket, true, millisecondsUntil(deadline))) return false;
      continue;
    }
    if (sent <= 0) return false;
    data += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

int receiveWithin(SocketHandle socket, char* buffer, int capacity, int timeoutMs) {
  // Bytes already waiting are taken at once; select only when there are none.
  int got = ::recv(static_cast<SOCKET>(socket), buffer, capacity, 0);
  if (got >= 0) return got;
  if (!wouldBlock()) return receiveFailed;
  if (!waitFor(socket, false, timeoutMs)) return receiveTimedOut;
  got = ::recv(static_cast<SOCKET>(socket), buffer, capacity, 0);
  return got >= 0 ? got : receiveFailed;
}
