// The three requests notifiers make under /api/reception/, answered in the
// plain formats they decode: names joined by ",", records of fields joined
// by "|", and a bare number. Texts go out in the notifiers' code page.
#pragma once

#include <string>
#include <string_view>

#include "http_server.h"
#include "query.h"

// The access key every notifier request must carry as "key".
extern std::string receptionAccessKey;

// Answers GET /api/reception/<endpoint>. A missing or wrong key, an unknown
// endpoint and a storage failure all get an empty body: notifiers decode any
// body, so an error text would show up as a user or a record.
HttpResponse answerNotifier(std::string_view endpoint, const QueryMap& query);

// "id|headline|detail|hour|minute|second" with the arrival as local time of
// day; headline and detail already in the code page.
std::string notificationRecord(long long id, const std::string& headline, const std::string& detail,
                               long long arrivedAtMs);
// A notification id as notifiers send it: 1 to 18 decimal digits.
bool parseNotificationId(std::string_view text, long long& id);
