// What each desk API handler gets, and the answers they share: JSON, errors,
// and the one mapping of a store outcome to an answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "alerts/target_rule.h"
#include "desk/escalation.h"
#include "http/query.h"
#include "http/server.h"
#include "store/accounts.h"
#include "store/database.h"
#include "store/notifications.h"
#include "store/staff.h"
#include "text/code_page.h"
#include "visits/visit_settings.h"

// The desk's part of the service's settings, fixed at start.
struct DeskSettings {
  std::string codePage = defaultCodePage;  // names and notes must reach notifiers in it
  int maxWaitingPerHost = 50;
  FrontDeskPolicy policy;
  bool alertMail = false;  // mail is configured: alerts reach a host whose notifier is offline
  std::string notifierKey;          // the notifiers' access key, shown to admins for installing notifiers
  bool notifierKeyBuiltIn = false;  // it is the key built into every notifier, which anyone can read
  bool notifierInstaller = false;   // the notifiers' installer is offered for download
  AlertTargetRule alertTargets;     // where staff contacts may send alerts
  VisitSettings visits;             // house rules, invitations' arrival text
};

// One authorised desk request.
struct DeskCall {
  const HttpRequest& request;
  const DeskAccount& account;  // the session's account
  std::int64_t id = 0;         // the number in the route, if it has one
  const QueryMap& query;
  const DeskSettings& settings;
};

HttpResponse jsonAnswer(int status, const nlohmann::json& value);
HttpResponse errorAnswer(int status, const std::string& message);
// busy: 503 with Retry-After; anything else 500 with the message (the store
// has logged what failed). For the outcomes a handler does not answer itself.
constexpr char saveFailed[] = "The service could not save this. Please try again.";
constexpr char readFailed[] = "The service could not read its records. Please try again.";
HttpResponse storeFailure(Outcome outcome, const char* message = saveFailed);
// A CSV download with the file name it is saved as.
HttpResponse csvAnswer(std::string body, const char* fileName);

// Writes one audit entry for the call's account and client address.
void audit(const DeskCall& call, const std::string& action, const std::string& detail);

// A staff member and a guest as the desk's JSON has them.
nlohmann::json staffJson(const StaffRow& staff, std::int64_t now);
nlohmann::json notificationJson(const NotificationRow& row);

// A time in milliseconds, or null.
nlohmann::json optionalTime(const std::optional<std::int64_t>& value);
