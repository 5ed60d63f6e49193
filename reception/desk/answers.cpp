#include "desk/answers.h"

#include "desk/desk.h"
#include "log/service_log.h"
#include "store/audit.h"

using nlohmann::json;

HttpResponse jsonAnswer(int status, const json& value) {
  HttpResponse response;
  response.status = status;
  response.contentType = "application/json; charset=utf-8";
  response.body = value.dump(-1, ' ', false, json::error_handler_t::replace);
  response.headers.emplace_back("Cache-Control", "no-store");
  return response;
}

HttpResponse errorAnswer(int status, const std::string& message) { return jsonAnswer(status, {{"error", message}}); }

HttpResponse storeFailure(Outcome outcome, const char* message) {
  if (outcome != Outcome::busy) return errorAnswer(500, message);
  // Another program holds the database: worth trying again shortly.
  HttpResponse busy = errorAnswer(503, "The service is busy. Please try again in a moment.");
  busy.headers.emplace_back("Retry-After", std::to_string(databaseRetryAfterSeconds));
  return busy;
}

HttpResponse csvAnswer(std::string body, const char* fileName) {
  HttpResponse response;
  response.contentType = "text/csv; charset=utf-8";
  response.body = std::move(body);
  response.headers.emplace_back("Content-Disposition", std::string("attachment; filename=\"") + fileName + "\"");
  response.headers.emplace_back("Cache-Control", "no-store");
  return response;
}

void audit(const DeskCall& call, const std::string& action, const std::string& detail) {
  recordAudit(call.account.name, call.request.clientAddress, action, detail);
  // Account changes also reach the service's log, where an administrator looks first.
  if (action.rfind("account-", 0) == 0) {
    logEvent(action + " " + detail + " by " + call.account.name + " from " + call.request.clientAddress);
  }
}

json optionalTime(const std::optional<std::int64_t>& value) { return value ? json(*value) : json(nullptr); }

json staffJson(const StaffRow& staff, std::int64_t now) {
  bool online = staff.lastPollAt && now - *staff.lastPollAt <= onlineWindowMs;
  return {{"id", staff.id},           {"firstName", staff.firstName},          {"lastName", staff.lastName},
          {"displayName", staff.displayName}, {"lastPollAt", optionalTime(staff.lastPollAt)}, {"online", online}};
}

json notificationJson(const NotificationRow& row) {
  return {{"id", row.id},
          {"staffId", row.staffId},
          {"hostName", row.hostName},
          {"guestName", row.headline},
          {"note", row.detail},
          {"arrivedAt", row.arrivedAt},
          {"deliveredAt", optionalTime(row.deliveredAt)},
          {"archivedAt", optionalTime(row.archivedAt)},
          {"archivedBy", row.archivedBy},
          {"stillOnScreen", row.stillOnScreen}};
}
