#include "http/header_rules.h"

#include <strings.h>

#include <cstring>

namespace {

bool startsWithCaseless(const char* text, const char* prefix) { return ::strncasecmp(text, prefix, std::strlen(prefix)) == 0; }

}  // namespace

bool isBrowserHeader(const char* name) {
  for (const char* browserOnly : {"User-Agent", "Accept", "Referer", "Origin", "Cookie", "Upgrade-Insecure-Requests"}) {
    if (::strcasecmp(name, browserOnly) == 0) return true;
  }
  return startsWithCaseless(name, "Sec-");
}

void noteHeader(HttpRequest& request, const char* name, const char* value) {
  std::string text = value ? value : "";
  if (isBrowserHeader(name)) request.hasBrowserHeader = true;
  if (::strcasecmp(name, "Host") == 0) {
    request.host = text;
  } else if (::strcasecmp(name, "Origin") == 0) {
    request.hasOrigin = true;
    request.origin = text;
  } else if (::strcasecmp(name, "Cookie") == 0) {
    request.hasCookie = true;
    request.cookie += request.cookie.empty() ? text : "; " + text;
  } else if (::strcasecmp(name, "X-Forwarded-For") == 0) {
    request.forwardedFor += request.forwardedFor.empty() ? text : ", " + text;
  } else if (startsWithCaseless(name, "Sec-Fetch-")) {
    request.hasFetchMetadata = true;
    if (::strcasecmp(name, "Sec-Fetch-Site") == 0) request.secFetchSite = text;
  }
}
