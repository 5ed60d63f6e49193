#include "http/client_network.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

std::string clientNetwork(const std::string& address) {
  if (address.find(':') == std::string::npos) return address;
  in6_addr ipv6{};
  if (inet_pton(AF_INET6, address.c_str(), &ipv6) != 1) return address;
  char text[INET6_ADDRSTRLEN] = {};
  if (IN6_IS_ADDR_V4MAPPED(&ipv6)) {
    inet_ntop(AF_INET, &ipv6.s6_addr[12], text, sizeof text);
    return text;
  }
  std::memset(&ipv6.s6_addr[8], 0, 8);
  inet_ntop(AF_INET6, &ipv6, text, sizeof text);
  return std::string(text) + "/64";
}
