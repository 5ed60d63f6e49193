// What each desk API handler gets, in whichever feature's room it stands,
// and the desk's JSON answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "answer/answer_table.h"
#include "http/query.h"
#include "http/server.h"
#include "store/accounts.h"

// The desk's part of the service's settings (desk/answers.h).
struct DeskSettings;

// One authorised desk request.
struct DeskCall {
  const HttpRequest& request;
  const DeskAccount& account;  // the session's account
  std::int64_t id = 0;         // the number in the route, if it has one
  const QueryMap& query;
  const DeskSettings& settings;
};

HttpResponse jsonAnswer(int status, const nlohmann::json& value);
// A time in milliseconds, or null.
nlohmann::json optionalTime(const std::optional<std::int64_t>& value);
HttpResponse errorAnswer(int status, const std::string& message);
// The desk's answer to a store outcome a handler does not answer itself
// (see outcomeAnswer): busy is 503 with Retry-After.
HttpResponse storeFailure(Outcome outcome, Failure otherwise = Failure::saveFailed);
