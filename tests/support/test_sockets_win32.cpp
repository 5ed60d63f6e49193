#include <winsock2.h>

#include "test_sockets.h"

SocketHandle listenTcp(std::uint32_t address, std::uint16_t port, int backlog) {
  SocketHandle listener = openTcpSocket();
  if (listener == 0) return 0;
  auto s = static_cast<SOCKET>(listener);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = address;
  bool listening = ::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 && ::listen(s, backlog) == 0;
  if (!listening) closeSocket(listener);
  return listening ? listener : 0;
}

SocketHandle acceptConnection(SocketHandle listener, int timeoutMs) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(static_cast<SOCKET>(listener), &ready);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (::select(0, &ready, nullptr, nullptr, &limit) <= 0) return 0;
  SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return 0;
  // Like the product's sockets, an accepted one does not block.
  u_long nonBlocking = 1;
  ::ioctlsocket(s, FIONBIO, &nonBlocking);
  return static_cast<SocketHandle>(s);
}

void resetConnection(SocketHandle socket) {
  linger abort{1, 0};
  ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
  closeSocket(socket);
}
