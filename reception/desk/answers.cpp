#include "desk/answers.h"

#include "desk/desk.h"
#include "log/service_log.h"
#include "store/audit.h"

using nlohmann::json;

HttpResponse csvAnswer(std::string body, const char* fileName) {
  HttpResponse response;
  response.contentType = "text/csv; charset=utf-8";
  response.body = std::move(body);
  response.headers.emplace_back("Content-Disposition", std::string("attachment; filename=\"") + fileName + "\"");
  response.headers.emplace_back("Cache-Control", "no-store");
  return response;
}

AuditedChange auditedChange(const DeskCall& call, std::string action, std::function<std::string()> detail) {
  return AuditedChange([&call, action = std::move(action), detail = std::move(detail)] {
    return AuditEntry{0, 0, call.account.name, call.request.clientAddress, action, detail ? detail() : std::string()};
  });
}

void logAccountChange(const DeskCall& call, const std::string& action, const std::string& detail) {
  logEvent(action + " " + detail + " by " + call.account.name + " from " + call.request.clientAddress);
}

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
          {"company", row.company},
          {"arrivedAt", row.arrivedAt},
          {"deliveredAt", optionalTime(row.deliveredAt)},
          {"archivedAt", optionalTime(row.archivedAt)},
          {"archivedBy", row.archivedBy},
          {"stillOnScreen", row.stillOnScreen}};
}
