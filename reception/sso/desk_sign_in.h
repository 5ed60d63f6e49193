// The desk's side of single sign-on: the role from the provider's groups
// (admin before desk before kiosk), the account and its session.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "http/server.h"
#include "sso/sso_provider.h"

// "admin" or "desk", or "" with why the person may not use the desk.
std::string deskRoleOf(const nlohmann::json& claims, const SsoSettings& settings, std::string& refusal);
// The account's name: preferred_username, else email, when either is a
// valid account name; "" when neither is.
std::string deskNameOf(const nlohmann::json& claims);

// Signs the verified claims' person in to the desk: a session cookie and a
// redirect to the desk, or a page that says why not. Audited either way.
HttpResponse signInToDesk(const HttpRequest& request, const nlohmann::json& claims, const SsoSettings& settings);
