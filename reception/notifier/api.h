// The three requests notifiers make under /api/reception/, answered in the
// plain formats they decode: names joined by ",", records of fields joined
// by "|", and a bare number. Texts go out in the notifiers' code page.
#pragma once

#include <string>
#include <string_view>

#include "http/query.h"
#include "http/server.h"
#include "text/code_page.h"

// The notifier API's part of the service's settings, fixed at start.
struct NotifierSettings {
  std::string accessKey;  // every notifier request must carry it as "key"
  std::string codePage = defaultCodePage;
};

// One notifier request whose key matched.
struct NotifierCall {
  const QueryMap& query;
  const NotifierSettings& settings;
  std::int64_t keyHolder = 0;  // the member whose personal key the request carries; 0: the shared key
};

// Every answer has an empty body unless it is 200: notifiers decode any
// body, so an error text would show up as a user or a record.
HttpResponse listUsers(const NotifierCall& call);
HttpResponse getNotification(const NotifierCall& call);
HttpResponse archiveNotification(const NotifierCall& call);
// Compares without stopping at the first difference, so the answer time
// tells nothing about how much of a guessed key was right.
bool keyMatches(const std::string& given, const std::string& key);

// "id|headline|detail|hour|minute|second" with the arrival as local time of
// day; headline and detail already in the code page.
std::string notificationRecord(long long id, const std::string& headline, const std::string& detail,
                               long long arrivedAtMs);
// A notification id as notifiers send it: 1 to 18 decimal digits.
bool parseNotificationId(std::string_view text, long long& id);
