// Pure checks that keep other web pages away from the service: the desk
// answers only to the service's own host names, refuses cross-site writes,
// and the notifier API refuses anything a browser sent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http/host_addresses.h"
#include "http/server.h"

// The names the desk answers to and the ports it listens on.
struct DeskOrigin {
  std::vector<std::string> hostNames;  // lower case; "[::1]" with its brackets; "name:port" for that port only
  std::vector<std::uint16_t> ports;
  std::uint16_t tlsPort = 0;  // 0: no HTTPS listener, the desk is served over plain HTTP
  // The machine's interface addresses, shared by every copy; none when null.
  std::shared_ptr<HostAddresses> machineAddresses;
};

// localhost, 127.0.0.1, [::1], the listen address (unless it is every
// address), the machine's host name and its fully qualified name, and the extra names.
std::vector<std::string> serviceHostNames(const std::string& listenAddress, const std::vector<std::string>& extraNames);

// Whether a Host header names the service: one of the names or the
// machine's addresses, alone or with one of the ports, or one of the names
// given with a port ("name:port") exactly.
bool isServiceHost(const std::string& hostHeader, const DeskOrigin& origin);
// A write from another site: Origin present and not this service's own
// (scheme and Host of the request), or Sec-Fetch-Site: cross-site.
bool isCrossSiteWrite(const HttpRequest& request);
// Any header browsers send and notifiers never do (see header_rules.h).
bool sentByBrowser(const HttpRequest& request);
// The HTTPS address of a plain-HTTP desk request: "https://host[:port]target".
std::string httpsLocation(const HttpRequest& request, std::uint16_t tlsPort);
