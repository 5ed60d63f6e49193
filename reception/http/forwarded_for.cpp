#include "http/forwarded_for.h"

#include <arpa/inet.h>

#include <algorithm>

#include "text/text.h"

bool isIpAddress(const std::string& text) {
  unsigned char bytes[16];
  return inet_pton(AF_INET, text.c_str(), bytes) == 1 || inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

std::string forwardedClient(const std::string& peer, const std::string& forwardedFor,
                            const std::vector<std::string>& trustedProxies) {
  auto trusted = [&](const std::string& address) {
    return std::find(trustedProxies.begin(), trustedProxies.end(), address) != trustedProxies.end();
  };
  std::string client = peer;
  std::string_view rest = forwardedFor;
  // Each trusted hop vouches for the entry it appended, the rightmost one.
  while (trusted(client) && !rest.empty()) {
    std::size_t comma = rest.rfind(',');
    std::string entry(trimmed(comma == std::string_view::npos ? rest : rest.substr(comma + 1)));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(0, comma);
    if (!isIpAddress(entry)) break;
    client = entry;
  }
  return client;
}
