#include "notifier/api.h"

#include <ctime>

#include "answer/answer_table.h"
#include "store/clock.h"
#include "store/delivery_recorder.h"
#include "store/installation_secret.h"
#include "store/notifications.h"
#include "store/poll_cache.h"
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

namespace {

// A name the code page cannot hold could never be polled back; it can only
// exist if the code page was changed after it was entered.
bool encodeName(const std::string& displayName, const std::string& codePage, std::string& encoded) {
  return toCodePage(displayName, encoded, codePage);
}

std::string encodeRecord(const PollGuest& guest, const std::string& codePage) {
  return notificationRecord(guest.id, toCodePageLossy(withSeparatorsStoodIn(guest.headline), codePage),
                            toCodePageLossy(withSeparatorsStoodIn(guest.detail), codePage), guest.arrivedAt);
}

PollEncoding encodingOf(const NotifierSettings& settings) {
  return PollEncoding{settings.codePage, &encodeName, &encodeRecord};
}

}  // namespace

HttpResponse listUsers(const NotifierCall& call) {
  std::string body;
  Outcome read = polledNames(encodingOf(call.settings), body);
  if (read != Outcome::ok) return failureAnswer(read, call.settings);
  return plainAnswer(200, std::move(body), call.settings);
}

// Answered from memory, at once: the delivery of a guest shown for the first
// time is written on a lane of its own.
HttpResponse getNotification(const NotifierCall& call) {
  const std::string& codePage = call.settings.codePage;
  std::string firstName;
  std::string lastName;
  if (!fromCodePage(queryValue(call.query, "fn").value_or(""), firstName, codePage) ||
      !fromCodePage(queryValue(call.query, "ln").value_or(""), lastName, codePage)) {
    return plainAnswer(200, "", call.settings);
  }
  std::string body;
  // A personal key reads its own member's guests only, and marks nobody else's delivered.
  Outcome polled =
      pollGuests(encodingOf(call.settings), firstName + " " + lastName, currentTimeMs(), body, call.keyHolder);
  if (polled == Outcome::notFound) return plainAnswer(200, "", call.settings);
  if (polled != Outcome::ok) return failureAnswer(polled, call.settings);
  return plainAnswer(200, std::move(body), call.settings);
}

// On a writer lane: the host may close a guest whose delivery is still on its way.
HttpResponse archiveNotification(const NotifierCall& call) {
  long long id = 0;
  if (!parseNotificationId(queryValue(call.query, "id").value_or(""), id)) return plainAnswer(200, "0", call.settings);
  if (call.keyHolder != 0) {
    // A personal key archives its own member's guests only.
    std::int64_t host = 0;
    Outcome found = hostOfGuest(id, host);
    if (found != Outcome::ok && found != Outcome::notFound) return failureAnswer(found, call.settings);
    if (found == Outcome::notFound || host != call.keyHolder) return plainAnswer(200, "0", call.settings);
  }
  Outcome result = archiveShownNotification(id, pendingDelivery(id));
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
