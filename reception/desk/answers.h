// The desk's settings, and the answers its handlers share beyond
// answer/desk_call.h: CSV downloads, audited changes, staff and guests as JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "rules/target_rule.h"
#include "answer/desk_call.h"
#include "http/query.h"
#include "http/server.h"
#include "rules/escalation.h"
#include "store/accounts.h"
#include "store/audit.h"
#include "store/database.h"
#include "store/notifications.h"
#include "store/staff.h"
#include "text/code_page.h"
#include "rules/visit_settings.h"

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

// A CSV download with the file name it is saved as.
HttpResponse csvAnswer(std::string body, const char* fileName);

// The audit entry of the change the call is about to make, for its account
// and client address; written in the change's own transaction, with the
// detail made then (see AuditedChange).
AuditedChange auditedChange(const DeskCall& call, std::string action, std::function<std::string()> detail);
// Account changes also reach the service's log, where an administrator looks first.
void logAccountChange(const DeskCall& call, const std::string& action, const std::string& detail);

// A staff member and a guest as the desk's JSON has them.
nlohmann::json staffJson(const StaffRow& staff, std::int64_t now);
nlohmann::json notificationJson(const NotificationRow& row);

