#include "text/url_host.h"

#include "text/text.h"

std::string urlAuthority(std::string_view url) {
  std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return "";
  std::string_view rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  std::size_t at = rest.rfind('@');
  if (at != std::string_view::npos) rest.remove_prefix(at + 1);
  return std::string(rest);
}

std::string urlHost(std::string_view url) {
  std::string authority = urlAuthority(url);
  std::string_view rest = authority;
  if (!rest.empty() && rest.front() == '[') {
    std::size_t close = rest.find(']');
    return close == std::string_view::npos ? "" : std::string(rest.substr(1, close - 1));
  }
  return std::string(rest.substr(0, rest.find(':')));
}

bool isLoopbackHost(std::string_view host) {
  if (host == "::1" || host == "localhost" || host == "localhost.") return true;
  if (host.substr(0, 4) != "127.") return false;
  int parts = 0;
  while (!host.empty()) {
    std::size_t dot = host.find('.');
    std::int64_t part = 0;
    if (!parseDecimal(host.substr(0, dot), 3, part) || part > 255) return false;
    ++parts;
    host.remove_prefix(dot == std::string_view::npos ? host.size() : dot + 1);
  }
  return parts == 4;
}
