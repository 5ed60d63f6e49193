// How a notifier is installed from this server: the name notifiers reach it
// by, and the msiexec line that carries it and a key.
#include "downloads/install_line.h"

#include <unistd.h>

namespace {

// The Host header's name without its port.
std::string hostNameOf(const std::string& hostHeader) {
  std::size_t colon = hostHeader.rfind(':');
  std::size_t bracket = hostHeader.rfind(']');
  bool hasPort = colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
  return hasPort ? hostHeader.substr(0, colon) : hostHeader;
}

bool isLoopbackName(const std::string& name) {
  return name == "localhost" || name == "[::1]" || name.rfind("127.", 0) == 0;
}

// The name notifiers on other PCs can reach this server by: the one the
// admin's browser used, unless that only works on this machine.
std::string serviceHostFor(const HttpRequest& request) {
  std::string name = hostNameOf(request.host);
  if (!name.empty() && !isLoopbackName(name)) return name;
  char machine[256] = {};
  if (::gethostname(machine, sizeof machine - 1) == 0 && machine[0] != '\0') return machine;
  return name;
}

}  // namespace

std::string notifierServiceHost(const HttpRequest& request) { return serviceHostFor(request); }

std::string notifierInstallLine(const std::string& serviceHost, const std::string& key) {
  return std::string("msiexec /i vestibra-win64.msi /qn SERVICEHOST=") + serviceHost +
         " SERVICEKEY=" + key;
}
