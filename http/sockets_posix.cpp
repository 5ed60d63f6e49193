#include "sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "sockets_common.h"

int wsaStartup(unsigned short) { return 0; }
int wsaCleanup() { return 0; }

bool parseDottedAddress(const char* text, std::uint32_t& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text, &parsed) != 1) return false;
  address = parsed.s_addr;
  return true;
}

bool resolveHostName(const char* name, std::uint32_t& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

SocketHandle openTcpSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  // 0 is reserved for "no socket"; a descriptor 0 would only appear with stdin closed.
  return fd > 0 ? static_cast<SocketHandle>(fd) : 0;
}

void closeSocket(SocketHandle socket) {
  if (socket != 0) ::close(static_cast<int>(socket));
}

static bool waitFor(SocketHandle socket, short events, int timeoutMs) {
  pollfd entry{static_cast<int>(socket), events, 0};
  for (;;) {
    int ready = ::poll(&entry, 1, timeoutMs);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

static sockaddr_in socketAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = address;
  return target;
}

static void setNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

bool connectWithin(SocketHandle socket, std::uint32_t address, std::uint16_t port, int timeoutMs) {
  int fd = static_cast<int>(socket);
  sockaddr_in target = socketAddress(address, port);
  setNonBlocking(fd, true);
  int result = ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target);
  if (result != 0 && errno == EINPROGRESS && waitFor(socket, POLLOUT, timeoutMs)) {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    result = error == 0 ? 0 : -1;
  }
  setNonBlocking(fd, false);
  return result == 0;
}

bool sendAllWithin(SocketHandle socket, const char* data, std::size_t length, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (length > 0) {
    if (!waitFor(socket, POLLOUT, millisecondsUntil(deadline))) return false;
    ssize_t sent = ::send(static_cast<int>(socket), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (sent <= 0) return false;
    data += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

static ssize_t receiveRetrying(int fd, char* buffer, int capacity, int flags) {
  for (;;) {
    ssize_t got = ::recv(fd, buffer, static_cast<std::size_t>(capacity), flags);
    if (got >= 0 || errno != EINTR) return got;
  }
}

int receiveWithin(SocketHandle socket, char* buffer, int capacity, int timeoutMs) {
  int fd = static_cast<int>(socket);
  // The bytes of a long answer are mostly there already: take them at once
  // and poll only when none are waiting, which saves a call per receive.
  ssize_t got = receiveRetrying(fd, buffer, capacity, MSG_DONTWAIT);
  if (got >= 0) return static_cast<int>(got);
  if (errno != EAGAIN && errno != EWOULDBLOCK) return receiveFailed;
  if (!waitFor(socket, POLLIN, timeoutMs)) return receiveTimedOut;
  got = receiveRetrying(fd, buffer, capacity, 0);
  return got >= 0 ? static_cast<int>(got) : receiveFailed;
}
