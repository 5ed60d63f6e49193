#include "desk_api.h"

#include <nlohmann/json.hpp>

#include "audit.h"
#include "contact_api.h"
#include "desk_call.h"
#include "front_desk_api.h"
#include "front_desk_store.h"
#include "notifier_api.h"
#include "request_guard.h"
#include "storage.h"
#include "validation.h"

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

HttpResponse storageFailure() { return errorAnswer(500, "The service could not save this. Please try again."); }

HttpResponse storageFailure(StoreResult result) {
  if (result != StoreResult::databaseBusy) return storageFailure();
  // Another program holds the database: worth trying again shortly.
  HttpResponse busy = errorAnswer(503, "The service is busy. Please try again in a moment.");
  busy.headers.emplace_back("Retry-After", std::to_string(databaseRetryAfterSeconds));
  return busy;
}

void audit(const DeskCall& call, const std::string& action, const std::string& detail) {
  recordAudit(call.account.name, call.request.clientAddress, action, detail);
}

namespace {

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
          {"archivedBy", row.archivedBy}};
}

HttpResponse readFailure() { return errorAnswer(500, "The service could not read its records. Please try again."); }

HttpResponse state(const DeskCall&) {
  std::int64_t now = currentTimeMs();
  std::vector<StaffRow> staffRows;
  std::vector<NotificationRow> notificationRows;
  if (activeStaff(staffRows) != StoreResult::done ||
      deskNotifications(now - archivedShownMs, notificationRows) != StoreResult::done) {
    return readFailure();
  }
  json staff = json::array();
  for (const StaffRow& row : staffRows) staff.push_back(staffJson(row, now));
  json notifications = json::array();
  std::map<std::int64_t, std::int64_t> reassigned = reassignedWaitingSince();
  for (const NotificationRow& row : notificationRows) {
    notifications.push_back(notificationJson(row));
    notifications.back()["escalation"] = escalationAt(row, now, reassigned);
  }
  json answer = {{"now", now}, {"onlineWindowMs", onlineWindowMs}, {"staff", staff}, {"notifications", notifications}};
  addFrontDeskState(answer);
  addAlertDeskState(answer, now - archivedShownMs);
  return jsonAnswer(200, answer);
}

HttpResponse addStaffMember(const DeskCall& call) {
  StaffEntry entry;
  std::string error = parseStaffEntry(call.request.body, entry);
  StaffContact contact;
  if (error.empty()) error = parseStaffContact(call.request.body, contact);
  if (!error.empty()) return errorAnswer(400, error);
  StaffRow added;
  switch (StoreResult result = addStaff(entry.firstName, entry.lastName, added)) {
    case StoreResult::done: {
      audit(call, "staff-add", "#" + std::to_string(added.id) + " " + added.displayName);
      bool saved = (contact.email.empty() && contact.alertUrl.empty()) || setStaffContact(added.id, contact) == StoreResult::done;
      if (!saved) return errorAnswer(500, added.displayName + " was added, but not the email and push address. Please set them again.");
      json answer = staffJson(added, currentTimeMs());
      addContactJson(answer, contact);
      return jsonAnswer(201, answer);
    }
    case StoreResult::duplicate:
      return errorAnswer(409, entry.firstName + " " + entry.lastName + " is already in the staff directory.");
    default: return storageFailure(result);
  }
}

HttpResponse removeStaffMember(const DeskCall& call) {
  std::int64_t id = call.id;
  switch (StoreResult result = removeStaff(id)) {
    case StoreResult::done:
      audit(call, "staff-remove", "#" + std::to_string(id));
      return jsonAnswer(200, {{"removed", id}});
    case StoreResult::notFound: return errorAnswer(404, "That member of staff is not in the directory.");
    case StoreResult::busy:
      return errorAnswer(409, "Guests are still waiting for this member of staff. Acknowledge or withdraw them first.");
    default: return storageFailure(result);
  }
}

HttpResponse announceGuest(const DeskCall& call) {
  GuestEntry entry;
  std::string error = parseGuestEntry(call.request.body, entry);
  if (!error.empty()) return errorAnswer(400, error);
  NotificationRow added;
  switch (StoreResult result = addNotification(entry.staffId, entry.headline, entry.detail, added)) {
    case StoreResult::done:
      audit(call, "announce", "guest #" + std::to_string(added.id) + " " + added.headline + " for " + added.hostName);
      return jsonAnswer(201, notificationJson(added));
    case StoreResult::notFound: return errorAnswer(404, "That member of staff is no longer in the directory.");
    case StoreResult::tooManyWaiting:
      return errorAnswer(429, "The guests waiting for this member of staff are at the limit (" +
                                  std::to_string(maxWaitingPerHost) +
                                  "). Acknowledge or withdraw some before announcing more.");
    default: return storageFailure(result);
  }
}

HttpResponse withdrawGuest(const DeskCall& call) {
  std::int64_t id = call.id;
  switch (StoreResult result = archiveNotificationRow(id, "desk")) {
    case StoreResult::done:
      audit(call, "withdraw", "guest #" + std::to_string(id));
      return jsonAnswer(200, {{"archived", id}});
    case StoreResult::notFound: return errorAnswer(404, "That guest is not waiting any more.");
    default: return storageFailure(result);
  }
}

// "<prefix><id><suffix>" with a decimal id.
bool matchIdRoute(std::string_view route, std::string_view prefix, std::string_view suffix, long long& id) {
  if (route.size() <= prefix.size() + suffix.size() || route.substr(0, prefix.size()) != prefix ||
      route.substr(route.size() - suffix.size()) != suffix) {
    return false;
  }
  return parseNotificationId(route.substr(prefix.size(), route.size() - prefix.size() - suffix.size()), id);
}

// A route pattern: "#" stands for a decimal id.
bool matchRoute(std::string_view route, std::string_view pattern, long long& id) {
  std::size_t hash = pattern.find('#');
  if (hash == std::string_view::npos) return route == pattern;
  return matchIdRoute(route, pattern.substr(0, hash), pattern.substr(hash + 1), id);
}

// Writes must say they are JSON: a cross-site form or a "simple" fetch from
// another page cannot set that type without a preflight, which this service
// never grants.
bool isJsonBody(const HttpRequest& request) {
  std::string_view type = request.contentType;
  type = type.substr(0, type.find(';'));
  return trimmed(type) == "application/json";
}

bool isWrite(const std::string& method) { return method != "GET" && method != "HEAD"; }

enum class Role { desk, admin };

struct DeskRoute {
  const char* method;
  std::string_view pattern;
  Role role;  // the least role that may use it
  HttpResponse (*answer)(const DeskCall&);
};

// Every route but login, which needs no session.
const DeskRoute deskRoutes[] = {
    {"GET", "state", Role::desk, state},
    {"GET", "session", Role::desk, whoAmI},
    {"POST", "logout", Role::desk, logout},
    {"POST", "notifications", Role::desk, announceGuest},
    {"POST", "notifications/#/archive", Role::desk, withdrawGuest},
    {"POST", "staff", Role::admin, addStaffMember},
    {"DELETE", "staff/#", Role::admin, removeStaffMember},
    {"PUT", "staff/#", Role::admin, updateStaffContact},
    {"GET", "accounts", Role::admin, accountList},
    {"POST", "accounts", Role::admin, accountAdd},
    {"DELETE", "accounts/#", Role::admin, accountRemove},
    {"POST", "accounts/#/password", Role::admin, accountPassword},
    {"GET", "audit", Role::admin, auditLog},
    {"POST", "notifications/#/reassign", Role::desk, reassignWaitingGuest},
    {"POST", "staff/import", Role::admin, importStaffCsv},
    {"GET", "staff.csv", Role::admin, exportStaffCsv},
    {"GET", "visitors", Role::admin, visitorList},
    {"GET", "visitors.csv", Role::admin, visitorListCsv},
};

HttpResponse routeSession(const HttpRequest& request, std::string_view route, const DeskAccount& account) {
  std::string allowed;  // the methods of the route, when only the method is wrong
  for (const DeskRoute& entry : deskRoutes) {
    long long id = 0;
    if (!matchRoute(route, entry.pattern, id)) continue;
    bool headOfGet = request.method == "HEAD" && std::string_view(entry.method) == "GET";
    if (request.method != entry.method && !headOfGet) {
      allowed += (allowed.empty() ? "" : " or ") + std::string(entry.method);
      continue;
    }
    if (entry.role == Role::admin && account.role != "admin") {
      return errorAnswer(403, "Only an admin account may do this.");
    }
    return entry.answer(DeskCall{request, account, id, parseRequestTarget(request.target).query});
  }
  return allowed.empty() ? errorAnswer(404, "No such desk request.") : errorAnswer(405, "Use " + allowed + ".");
}

}  // namespace

HttpResponse answerDesk(const HttpRequest& request, std::string_view route) {
  const std::string& method = request.method;
  if (isWrite(method) && isCrossSiteWrite(request)) return errorAnswer(403, "Requests from other sites are refused.");
  bool hasBody = method == "POST" || method == "PUT";
  if (hasBody && request.bodyTooLarge) return errorAnswer(413, "The request is too large.");
  if (hasBody && !isJsonBody(request)) return errorAnswer(415, "Send the request as application/json.");
  if (route == "login") return method == "POST" ? login(request) : errorAnswer(405, "Use POST.");
  std::optional<DeskAccount> account = findSession(sessionToken(request));
  if (!account) return errorAnswer(401, "Please log in.");
  return routeSession(request, route, *account);
}
