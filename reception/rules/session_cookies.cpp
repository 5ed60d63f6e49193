#include "rules/session_cookies.h"

#include "text/text.h"

SentCookie sentCookie(const HttpRequest& request, std::string_view name) {
  SentCookie sent;
  std::string_view cookies = request.cookie;
  while (!cookies.empty()) {
    std::size_t end = cookies.find(';');
    std::string_view pair = trimmed(cookies.substr(0, end));
    std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
      if (sent.count++ == 0) sent.value = std::string(pair.substr(equals + 1));
    }
    cookies = end == std::string_view::npos ? std::string_view() : cookies.substr(end + 1);
  }
  return sent;
}

std::string sessionCookieValue(const HttpRequest& request, const char* name, const std::string& value,
                               const char* sameSite, std::optional<std::int64_t> maxAgeSeconds) {
  std::string cookie = std::string(name) + "=" + value;
  if (maxAgeSeconds) cookie += "; Max-Age=" + std::to_string(*maxAgeSeconds);
  cookie += std::string("; HttpOnly; SameSite=") + sameSite + "; Path=/";
  if (request.overTls) cookie += "; Secure";
  return cookie;
}
