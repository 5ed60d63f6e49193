// Single sign-on's pages under /sso/, outside the desk's session:
//   GET /sso/desk          302 to the provider, to sign in to the desk
//   GET /sso/me            302 to the provider, to sign in to the host's own page
//   GET /sso/callback      the provider's answer: checked, then a session and 302 to the page
//   GET /sso/login-option  {"displayName"} for the login forms; 404 when not configured
#pragma once

#include <memory>
#include <string_view>

#include "http/server.h"
#include "sso/sso_provider.h"

// Starts discovery and serves the pages with these settings until stopSso.
void startSso(const SsoSettings& settings);
// The same from the options, when --oidc-issuer is set: "" or why not.
std::string startSsoIfConfigured(const SsoOptions& options, const std::string& publicUrl);
void stopSso();

HttpResponse ssoDeskSignIn(const HttpRequest& request, std::string_view rest);
HttpResponse ssoHostSignIn(const HttpRequest& request, std::string_view rest);
HttpResponse ssoCallback(const HttpRequest& request, std::string_view rest);
HttpResponse ssoLoginOption(const HttpRequest& request, std::string_view rest);
