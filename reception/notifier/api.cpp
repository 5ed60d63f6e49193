#include "notifier_api.h"

#include <ctime>

#include "code_page.h"
#include "storage.h"

std::string receptionAccessKey;

namespace {

HttpResponse plainAnswer(int status, std::string body) {
  HttpResponse response;
  response.status = status;
  response.contentType = "text/plain; charset=" + notifierCodePage;
  response.body = std::move(body);
  response.headers.emplace_back("Cache-Control", "no-store");
  return response;
}

// Compares without stopping at the first difference, so the answer time
// tells nothing about how much of a guessed key was right.
bool keyMatches(const std::string& given) {
  if (given.size() != receptionAccessKey.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ receptionAccessKey[i]);
  }
  return difference == 0;
}

// 500, or 503 with Retry-After when another program held the database.
HttpResponse failureAnswer(StoreResult result) {
  if (result != StoreResult::databaseBusy) return plainAnswer(500, "");
  HttpResponse busy = plainAnswer(503, "");
  busy.headers.emplace_back("Retry-After", std::to_string(databaseRetryAfterSeconds));
  return busy;
}

HttpResponse listUsers() {
  std::vector<StaffRow> staffRows;
  if (activeStaff(staffRows) != StoreResult::done) return plainAnswer(500, "");
  std::string body;
  for (const StaffRow& staff : staffRows) {
    std::string name;
    // A name the code page cannot hold could never be polled back; it can
    // only exist if the code page was changed after it was entered.
    if (!toCodePage(staff.displayName, name)) continue;
    if (!body.empty()) body += ',';
    body += name;
  }
  return plainAnswer(200, body);
}

HttpResponse getNotification(const QueryMap& query) {
  std::string firstName;
  std::string lastName;
  if (!fromCodePage(queryValue(query, "fn").value_or(""), firstName) ||
      !fromCodePage(queryValue(query, "ln").value_or(""), lastName)) {
    return plainAnswer(200, "");
  }
  std::int64_t staffId = 0;
  StoreResult found = findStaff(firstName, lastName, staffId);
  if (found == StoreResult::notFound) return plainAnswer(200, "");
  if (found != StoreResult::done) return failureAnswer(found);
  std::vector<NotificationRow> waiting;
  StoreResult polled = pollNotifications(staffId, waiting);
  if (polled != StoreResult::done) return failureAnswer(polled);
  std::string body;
  for (const NotificationRow& row : waiting) {
    if (!body.empty()) body += ',';
    body += notificationRecord(row.id, toCodePageLossy(row.headline), toCodePageLossy(row.detail), row.arrivedAt);
  }
  return plainAnswer(200, body);
}

HttpResponse archiveNotification(const QueryMap& query) {
  long long id = 0;
  if (!parseNotificationId(queryValue(query, "id").value_or(""), id)) return plainAnswer(200, "0");
  StoreResult result = archiveNotificationRow(id, "host");
  if (result != StoreResult::done && result != StoreResult::notFound) return failureAnswer(result);
  return plainAnswer(200, result == StoreResult::done ? "1" : "0");
}

}  // namespace

std::string notificationRecord(long long id, const std::string& headline, const std::string& detail,
                               long long arrivedAtMs) {
  std::time_t seconds = static_cast<std::time_t>(arrivedAtMs / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  return std::to_string(id) + "|" + headline + "|" + detail + "|" + std::to_string(local.tm_hour) + "|" +
         std::to_string(local.tm_min) + "|" + std::to_string(local.tm_sec);
}

bool parseNotificationId(std::string_view text, long long& id) {
  if (text.empty() || text.size() > 18) return false;
  id = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    id = id * 10 + (c - '0');
  }
  return true;
}

HttpResponse answerNotifier(std::string_view endpoint, const QueryMap& query) {
  if (!keyMatches(queryValue(query, "key").value_or(""))) return plainAnswer(403, "");
  if (endpoint == "listUsers") return listUsers();
  if (endpoint == "getNotification") return getNotification(query);
  if (endpoint == "archiveNotification") return archiveNotification(query);
  return plainAnswer(404, "");
}
