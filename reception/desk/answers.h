// What each desk API handler gets, and the JSON answers they share.
#pragma once

#include <nlohmann/json.hpp>

#include "accounts.h"
#include "http_server.h"
#include "query.h"

// One authorised desk request.
struct DeskCall {
  const HttpRequest& request;
  const DeskAccount& account;  // the session's account
  std::int64_t id = 0;         // the number in the route, if it has one
  QueryMap query;
};

HttpResponse jsonAnswer(int status, const nlohmann::json& value);
HttpResponse errorAnswer(int status, const std::string& message);
HttpResponse storageFailure();
// Writes one audit entry for the call's account and client address.
void audit(const DeskCall& call, const std::string& action, const std::string& detail);

// Session and account handlers (desk_accounts_api.cpp).
constexpr char sessionCookieName[] = "vestibra_session";
// POST login: no session needed; throttled, audited.
HttpResponse login(const HttpRequest& request);
// The session token the request's Cookie header carries, or "".
std::string sessionToken(const HttpRequest& request);
HttpResponse logout(const DeskCall& call);
HttpResponse whoAmI(const DeskCall& call);
HttpResponse accountList(const DeskCall& call);
HttpResponse accountAdd(const DeskCall& call);
HttpResponse accountRemove(const DeskCall& call);
HttpResponse accountPassword(const DeskCall& call);
HttpResponse auditLog(const DeskCall& call);
