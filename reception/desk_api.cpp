#include "desk_api.h"

#include <nlohmann/json.hpp>

#include "front_desk_api.h"
#include "front_desk_store.h"
#include "notifier_api.h"
#include "storage.h"
#include "validation.h"

namespace {

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

// A write that did not happen: busy (another program holds the database,
// try again shortly) or failed.
HttpResponse storageFailure(StoreResult result) {
  if (result == StoreResult::databaseBusy) {
    HttpResponse busy = errorAnswer(503, "The service is busy. Please try again in a moment.");
    busy.headers.emplace_back("Retry-After", std::to_string(databaseRetryAfterSeconds));
    return busy;
  }
  return errorAnswer(500, "The service could not save this. Please try again.");
}

HttpResponse readFailure() { return errorAnswer(500, "The service could not read its records. Please try again."); }

HttpResponse state() {
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
  return jsonAnswer(200, answer);
}

HttpResponse addStaffMember(const HttpRequest& request) {
  StaffEntry entry;
  std::string error = parseStaffEntry(request.body, entry);
  if (!error.empty()) return errorAnswer(400, error);
  StaffRow added;
  switch (StoreResult result = addStaff(entry.firstName, entry.lastName, added)) {
    case StoreResult::done: return jsonAnswer(201, staffJson(added, currentTimeMs()));
    case StoreResult::duplicate:
      return errorAnswer(409, entry.firstName + " " + entry.lastName + " is already in the staff directory.");
    default: return storageFailure(result);
  }
}

HttpResponse removeStaffMember(long long id) {
  switch (StoreResult result = removeStaff(id)) {
    case StoreResult::done: return jsonAnswer(200, {{"removed", id}});
    case StoreResult::notFound: return errorAnswer(404, "That member of staff is not in the directory.");
    case StoreResult::busy:
      return errorAnswer(409, "Guests are still waiting for this member of staff. Acknowledge or withdraw them first.");
    default: return storageFailure(result);
  }
}

HttpResponse announceGuest(const HttpRequest& request) {
  GuestEntry entry;
  std::string error = parseGuestEntry(request.body, entry);
  if (!error.empty()) return errorAnswer(400, error);
  NotificationRow added;
  switch (StoreResult result = addNotification(entry.staffId, entry.headline, entry.detail, added)) {
    case StoreResult::done: return jsonAnswer(201, notificationJson(added));
    case StoreResult::notFound: return errorAnswer(404, "That member of staff is no longer in the directory.");
    case StoreResult::tooManyWaiting:
      return errorAnswer(429, "The guests waiting for this member of staff are at the limit (" +
                                  std::to_string(maxWaitingPerHost) +
                                  "). Acknowledge or withdraw some before announcing more.");
    default: return storageFailure(result);
  }
}

HttpResponse withdrawGuest(long long id) {
  switch (StoreResult result = archiveNotificationRow(id, "desk")) {
    case StoreResult::done: return jsonAnswer(200, {{"archived", id}});
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

// Writes must say they are JSON: a cross-site form or a "simple" fetch from
// another page cannot set that type without a preflight, which this service
// never grants.
bool isJsonBody(const HttpRequest& request) {
  std::string_view type = request.contentType;
  type = type.substr(0, type.find(';'));
  return trimmed(type) == "application/json";
}

}  // namespace

HttpResponse answerDesk(const HttpRequest& request, std::string_view route) {
  const std::string& method = request.method;
  long long id = 0;
  if (method == "POST" && request.bodyTooLarge) return errorAnswer(413, "The request is too large.");
  if (method == "POST" && !isJsonBody(request)) return errorAnswer(415, "Send the request as application/json.");
  // Reassigning, the staff CSV and the visitor log.
  HttpResponse frontDesk;
  if (answerFrontDesk(request, route, frontDesk)) return frontDesk;
  if (route == "state") return method == "GET" ? state() : errorAnswer(405, "Use GET.");
  if (route == "staff") return method == "POST" ? addStaffMember(request) : errorAnswer(405, "Use POST.");
  if (matchIdRoute(route, "staff/", "", id)) {
    return method == "DELETE" ? removeStaffMember(id) : errorAnswer(405, "Use DELETE.");
  }
  if (route == "notifications") return method == "POST" ? announceGuest(request) : errorAnswer(405, "Use POST.");
  if (matchIdRoute(route, "notifications/", "/archive", id)) {
    return method == "POST" ? withdrawGuest(id) : errorAnswer(405, "Use POST.");
  }
  return errorAnswer(404, "No such desk request.");
}
