#include "rules/target_rule.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

AddressKind classifyIpv4(const unsigned char* b) {
  if (b[0] == 127) return AddressKind::loopback;
  if (b[0] == 0) return AddressKind::unspecified;  // "this network": reaches this host on Linux
  if (b[0] == 169 && b[1] == 254) return AddressKind::linkLocal;
  if (b[0] >= 224) return AddressKind::multicast;  // multicast, reserved and broadcast
  return AddressKind::ordinary;
}

bool hasPrefix(const unsigned char* bytes, std::initializer_list<unsigned char> prefix) {
  return std::equal(prefix.begin(), prefix.end(), bytes);
}

// An address as 16 bytes of IPv6 with its port; IPv4 as IPv4-mapped.
struct Endpoint {
  std::array<unsigned char, 16> bytes{};
  std::uint16_t port = 0;
  bool valid = false;
};

Endpoint mappedIpv4(const void* ipv4, std::uint16_t port) {
  Endpoint endpoint{{}, port, true};
  endpoint.bytes[10] = 0xff;
  endpoint.bytes[11] = 0xff;
  std::memcpy(endpoint.bytes.data() + 12, ipv4, 4);
  return endpoint;
}

Endpoint endpointOf(const sockaddr* address) {
  if (address != nullptr && address->sa_family == AF_INET) {
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
    return mappedIpv4(&ipv4->sin_addr, ntohs(ipv4->sin_port));
  }
  if (address != nullptr && address->sa_family == AF_INET6) {
    const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(address);
    Endpoint endpoint{{}, ntohs(ipv6->sin6_port), true};
    std::memcpy(endpoint.bytes.data(), &ipv6->sin6_addr, 16);
    return endpoint;
  }
  return Endpoint{};
}

// A literal address as text: IPv4 in any form inet_aton takes ("127.1",
// "0x7f000001", as resolvers and libcurl do), or IPv6 with or without brackets.
bool parseLiteral(std::string_view text, std::uint16_t port, Endpoint& endpoint) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  std::string literal(text.substr(0, text.find('%')));  // no zone
  in6_addr ipv6{};
  if (inet_pton(AF_INET6, literal.c_str(), &ipv6) == 1) {
    endpoint = Endpoint{{}, port, true};
    std::memcpy(endpoint.bytes.data(), &ipv6, 16);
    return true;
  }
  in_addr ipv4{};
  if (literal.find(':') == std::string::npos && inet_aton(literal.c_str(), &ipv4) != 0) {
    endpoint = mappedIpv4(&ipv4, port);
    return true;
  }
  return false;
}

bool isWildcard(const std::string& address) { return address == "*" || address == "0.0.0.0" || address == "::"; }

bool sameAddress(const Endpoint& a, const Endpoint& b) { return a.bytes == b.bytes; }

bool isMachineAddress(const Endpoint& endpoint, const AlertTargetRule& rule) {
  if (rule.machineAddresses == nullptr) return false;
  for (const std::string& text : rule.machineAddresses()) {
    Endpoint own;
    if (parseLiteral(text, 0, own) && sameAddress(own, endpoint)) return true;
  }
  return false;
}

bool isOwnListener(const Endpoint& endpoint, AddressKind kind, const AlertTargetRule& rule) {
  for (const ListenerEndpoint& listener : rule.ownListeners) {
    if (listener.port != endpoint.port) continue;
    if (isWildcard(listener.address)) {
      if (kind == AddressKind::loopback || isMachineAddress(endpoint, rule)) return true;
      continue;
    }
    if (listener.address == "localhost") {
      if (kind == AddressKind::loopback) return true;
      continue;
    }
    Endpoint own;
    if (parseLiteral(listener.address, listener.port, own) && sameAddress(own, endpoint)) return true;
  }
  return false;
}

std::string refusedEndpoint(const Endpoint& endpoint, const AlertTargetRule& rule) {
  if (!endpoint.valid) return "alerts go to IPv4 or IPv6 addresses only";
  AddressKind kind = classifyAddress(endpoint.bytes.data(), endpoint.bytes.size());
  switch (kind) {
    case AddressKind::ordinary: break;
    case AddressKind::loopback:
      if (rule.allowLoopback) break;
      return "the address is this machine's own (loopback)";
    case AddressKind::linkLocal: return "the address is link-local";
    case AddressKind::multicast: return "the address is multicast, broadcast or reserved";
    case AddressKind::unspecified: return "the address is the unspecified address";
  }
  if (isOwnListener(endpoint, kind, rule)) return "the address is one of this service's own listeners";
  return "";
}

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
  return lower;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

AddressKind classifyAddress(const unsigned char* bytes, std::size_t length) {
  if (length == 4) return classifyIpv4(bytes);
  if (length != 16) return AddressKind::unspecified;
  // IPv4-mapped (::ffff:a.b.c.d) and the well-known NAT64 prefix (64:ff9b::/96) reach IPv4.
  if (hasPrefix(bytes, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}) ||
      hasPrefix(bytes, {0, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0})) {
    return classifyIpv4(bytes + 12);
  }
  static const unsigned char zero[16] = {};
  if (std::memcmp(bytes, zero, 15) == 0) return bytes[15] == 1 ? AddressKind::loopback : bytes[15] == 0 ? AddressKind::unspecified : AddressKind::ordinary;
  if (bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80) return AddressKind::linkLocal;
  if (bytes[0] == 0xff) return AddressKind::multicast;
  return AddressKind::ordinary;
}

std::string refusedAddress(const sockaddr* address, const AlertTargetRule& rule) {
  return refusedEndpoint(endpointOf(address), rule);
}

std::string refusedHost(std::string_view host, std::uint16_t port, const AlertTargetRule& rule) {
  std::string name = lowerCase(host);
  if (endsWith(name, ".")) name.pop_back();  // "localhost." is localhost too
  Endpoint endpoint;
  if (name == "localhost" || endsWith(name, ".localhost")) {
    in_addr loopback{htonl(INADDR_LOOPBACK)};
    endpoint = mappedIpv4(&loopback, port);
  } else if (!parseLiteral(name, port, endpoint)) {
    return "";
  }
  return refusedEndpoint(endpoint, rule);
}
