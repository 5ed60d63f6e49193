#include "http/request_guard.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace {

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// "name" or "name:port" ("[v6]" or "[v6]:port") split; false when malformed.
bool splitHost(const std::string& header, std::string& name, std::string& port) {
  std::size_t colon = header.rfind(':');
  std::size_t bracket = header.rfind(']');
  if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) {
    name = header;
    port.clear();
  } else {
    name = header.substr(0, colon);
    port = header.substr(colon + 1);
    if (port.empty()) return false;
  }
  return !name.empty();
}

std::string machineHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace

std::vector<std::string> serviceHostNames(const std::string& listenAddress, const std::vector<std::string>& extraNames) {
  std::vector<std::string> names = {"localhost", "127.0.0.1", "[::1]"};
  if (listenAddress != "*" && listenAddress != "0.0.0.0") names.push_back(listenAddress);
  names.push_back(machineHostName());
  names.push_back(fullyQualifiedHostName());
  names.insert(names.end(), extraNames.begin(), extraNames.end());
  std::vector<std::string> kept;
  for (const std::string& name : names) {
    std::string lower = lowerCase(name);
    if (!lower.empty() && std::find(kept.begin(), kept.end(), lower) == kept.end()) kept.push_back(lower);
  }
  return kept;
}

bool isServiceHost(const std::string& hostHeader, const DeskOrigin& origin) {
  std::string name;
  std::string port;
  std::string host = lowerCase(hostHeader);
  if (!splitHost(host, name, port)) return false;
  // A name given with its port ("desk.example:8443", a load balancer's) is
  // taken as it stands, with that port only.
  if (!port.empty() && std::find(origin.hostNames.begin(), origin.hostNames.end(), host) != origin.hostNames.end()) {
    return true;
  }
  bool named = std::find(origin.hostNames.begin(), origin.hostNames.end(), name) != origin.hostNames.end();
  if (!named && !(origin.machineAddresses && origin.machineAddresses->contains(name))) return false;
  if (port.empty()) return true;
  return std::any_of(origin.ports.begin(), origin.ports.end(),
                     [&](std::uint16_t listening) { return port == std::to_string(listening); });
}

bool isCrossSiteWrite(const HttpRequest& request) {
  if (lowerCase(request.secFetchSite) == "cross-site") return true;
  if (!request.hasOrigin) return false;
  std::string own = std::string(request.overTls ? "https://" : "http://") + lowerCase(request.host);
  return lowerCase(request.origin) != own;
}

bool sentByBrowser(const HttpRequest& request) {
  return request.hasBrowserHeader || request.hasOrigin || request.hasCookie || request.hasFetchMetadata;
}

std::string httpsLocation(const HttpRequest& request, std::uint16_t tlsPort) {
  std::string name;
  std::string port;
  splitHost(request.host, name, port);
  std::string location = "https://" + name;
  if (tlsPort != 443) location += ":" + std::to_string(tlsPort);
  return location + request.target;
}
