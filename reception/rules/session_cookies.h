// The names of the session cookies: the desk's and a host's own page's. Over
// HTTPS the "__Host-" prefix makes browsers refuse the cookie from plain HTTP
// or from another host, so nobody else can plant a session.
#pragma once

#include "http/server.h"

constexpr char sessionCookieName[] = "vestibra_session";
constexpr char tlsSessionCookieName[] = "__Host-vestibra_session";
constexpr char hostCookieName[] = "vestibra_host";
constexpr char tlsHostCookieName[] = "__Host-vestibra_host";

// The desk session cookie's name for the request's scheme.
inline const char* sessionCookieNameOf(const HttpRequest& request) {
  return request.overTls ? tlsSessionCookieName : sessionCookieName;
}
