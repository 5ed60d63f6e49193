#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "test_sockets.h"

SocketHandle listenTcp(std::uint32_t address, std::uint16_t port, int backlog) {
  SocketHandle listener = openTcpSocket();
  if (listener == 0) return 0;
  int fd = static_cast<int>(listener);
  int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(fd, backlog) != 0) {
    closeSocket(listener);
    return 0;
  }
  return listener;
}

SocketHandle acceptConnection(SocketHandle listener, int timeoutMs) {
  pollfd entry{static_cast<int>(listener), POLLIN, 0};
  if (::poll(&entry, 1, timeoutMs) <= 0) return 0;
  int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  return fd > 0 ? static_cast<SocketHandle>(fd) : 0;
}

void resetConnection(SocketHandle socket) {
  linger abort{1, 0};
  ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  closeSocket(socket);
}
