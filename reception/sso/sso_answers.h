// What the single sign-on pages answer: short HTML pages for a person who
// came back from the provider, and the redirects on the way.
#pragma once

#include <string>

#include "http/server.h"

HttpResponse ssoPage(int status, const std::string& title, const std::string& text);
HttpResponse ssoRedirect(const std::string& location);
// The short-lived cookie that binds a sign-in to the browser that started it.
const char* signInCookieNameOf(const HttpRequest& request);
std::string signInCookie(const HttpRequest& request, const std::string& value, bool clear);
// The value of the request's first cookie of that name, or "".
std::string cookieValue(const HttpRequest& request, const std::string& name);
