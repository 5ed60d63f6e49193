#include "http/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Pending connections the kernel queues for the server: as many as it allows
// (net.core.somaxconn caps it). Every notifier opens a new connection per
// poll, so a burst of them must wait in the queue rather than be dropped and
// retried a second later.
constexpr int listenBacklog = SOMAXCONN;

bool parseListenAddress(const std::string& address, in_addr& parsed) {
  if (address == "*") {
    parsed.s_addr = htonl(INADDR_ANY);
    return true;
  }
  return inet_pton(AF_INET, address == "localhost" ? "127.0.0.1" : address.c_str(), &parsed) == 1;
}

}  // namespace

int openListener(const std::string& address, std::uint16_t port, std::string& error) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (!parseListenAddress(address, local.sin_addr)) {
    error = "the listen address " + address + " is not an IPv4 address";
    return -1;
  }
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) {
    error = std::string("cannot create a socket: ") + std::strerror(errno);
    return -1;
  }
  int yes = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  std::string where = address + ":" + std::to_string(port);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    int code = errno;
    error = code == EADDRINUSE ? where + " is already in use by another program"
            : code == EACCES   ? "no permission to listen on " + where + " (ports below 1024 need root or CAP_NET_BIND_SERVICE)"
                               : "cannot listen on " + where + ": " + std::strerror(code);
    ::close(listener);
    return -1;
  }
  if (::listen(listener, listenBacklog) != 0) {
    error = "cannot listen on " + where + ": " + std::strerror(errno);
    ::close(listener);
    return -1;
  }
  return listener;
}

std::uint16_t listeningPort(int listener) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}
