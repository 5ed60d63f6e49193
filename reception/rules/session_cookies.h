// The names of the session cookies: the desk's and a host's own page's. Over
// HTTPS the "__Host-" prefix makes browsers refuse the cookie from plain HTTP
// or from another host, so nobody else can plant a session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/server.h"

constexpr char sessionCookieName[] = "vestibra_session";
constexpr char tlsSessionCookieName[] = "__Host-vestibra_session";
constexpr char hostCookieName[] = "vestibra_host";
constexpr char tlsHostCookieName[] = "__Host-vestibra_host";

// The desk session cookie's name for the request's scheme.
inline const char* sessionCookieNameOf(const HttpRequest& request) {
  return request.overTls ? tlsSessionCookieName : sessionCookieName;
}

inline const char* hostCookieNameOf(const HttpRequest& request) {
  return request.overTls ? tlsHostCookieName : hostCookieName;
}

// The cookies of that name a request sent: the first one's value, and how
// many there were (more than one is refused: a planted cookie beside ours).
struct SentCookie {
  std::string value;
  std::size_t count = 0;
};
SentCookie sentCookie(const HttpRequest& request, std::string_view name);

// The Set-Cookie value of a session cookie: HttpOnly, the SameSite rule
// given, the whole site, Secure over HTTPS; with maxAgeSeconds when given
// (0 ends the cookie), else kept until the browser closes.
std::string sessionCookieValue(const HttpRequest& request, const char* name, const std::string& value,
                               const char* sameSite, std::optional<std::int64_t> maxAgeSeconds = std::nullopt);
