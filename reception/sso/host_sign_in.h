// The host page's side of single sign-on: a host session for the active
// member of staff whose email is the provider's host claim.
#pragma once

#include <nlohmann/json.hpp>

#include "http/server.h"
#include "sso/sso_provider.h"

// Signs the verified claims' person in to their own page: a host session
// cookie and a redirect to /me/, or a page that says why not. Audited either way.
HttpResponse signInToHostPage(const HttpRequest& request, const nlohmann::json& claims, const SsoSettings& settings);
