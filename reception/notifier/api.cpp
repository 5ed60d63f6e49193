#include "notifier/api.h"

#include <ctime>

#include "answer/answer_table.h"
#include "store/notifications.h"
#include "store/staff.h"
#include "text/text.h"

namespace {

HttpResponse plainAnswer(int status, std::string body, const NotifierSettings& settings) {
  HttpResponse response;
  response.status = status;
  response.contentType = "text/plain; charset=" + settings.codePage;
  response.body = std::move(body);
  response.headers.emplace_back("Cache-Control", "no-store");
  return response;
}

HttpResponse failureAnswer(Outcome outcome, const NotifierSettings&) { return outcomeAnswer(outcome, Audience::notifier); }

}  // namespace

bool keyMatches(const std::string& given, const std::string& key) {
  if (given.size() != key.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < given.size(); ++i) difference |= static_cast<unsigned char>(given[i] ^ key[i]);
  return difference == 0;
}

HttpResponse listUsers(const NotifierCall& call) {
  std::vector<StaffRow> staffRows;
  Outcome read = activeStaff(staffRows);
  if (read != Outcome::ok) return failureAnswer(read, call.settings);
  std::string body;
  for (const StaffRow& staff : staffRows) {
    std::string name;
    // A name the code page cannot hold could never be polled back; it can
    // only exist if the code page was changed after it was entered.
    if (!toCodePage(staff.displayName, name, call.settings.codePage)) continue;
    if (!body.empty()) body += ',';
    body += name;
  }
  return plainAnswer(200, body, call.settings);
}

HttpResponse getNotification(const NotifierCall& call) {
  const std::string& codePage = call.settings.codePage;
  std::string firstName;
  std::string lastName;
  if (!fromCodePage(queryValue(call.query, "fn").value_or(""), firstName, codePage) ||
      !fromCodePage(queryValue(call.query, "ln").value_or(""), lastName, codePage)) {
    return plainAnswer(200, "", call.settings);
  }
  std::int64_t staffId = 0;
  Outcome found = findStaff(firstName, lastName, staffId);
  if (found == Outcome::notFound) return plainAnswer(200, "", call.settings);
  if (found != Outcome::ok) return failureAnswer(found, call.settings);
  std::vector<NotificationRow> waiting;
  Outcome polled = pollNotifications(staffId, waiting);
  if (polled != Outcome::ok) return failureAnswer(polled, call.settings);
  std::string body;
  for (const NotificationRow& row : waiting) {
    if (!body.empty()) body += ',';
    body += notificationRecord(row.id, toCodePageLossy(withSeparatorsStoodIn(row.headline), codePage),
                               toCodePageLossy(withSeparatorsStoodIn(row.detail), codePage), row.arrivedAt);
  }
  return plainAnswer(200, body, call.settings);
}

HttpResponse archiveNotification(const NotifierCall& call) {
  long long id = 0;
  if (!parseNotificationId(queryValue(call.query, "id").value_or(""), id)) return plainAnswer(200, "0", call.settings);
  Outcome result = archiveShownNotification(id);
  if (result != Outcome::ok && result != Outcome::notFound) return failureAnswer(result, call.settings);
  return plainAnswer(200, result == Outcome::ok ? "1" : "0", call.settings);
}

std::string notificationRecord(long long id, const std::string& headline, const std::string& detail,
                               long long arrivedAtMs) {
  std::time_t seconds = static_cast<std::time_t>(arrivedAtMs / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  return std::to_string(id) + "|" + headline + "|" + detail + "|" + std::to_string(local.tm_hour) + "|" +
         std::to_string(local.tm_min) + "|" + std::to_string(local.tm_sec);
}

bool parseNotificationId(std::string_view text, long long& id) {
  std::int64_t parsed = 0;
  if (!parseDecimal(text, 18, parsed)) return false;
  id = parsed;
  return true;
}
