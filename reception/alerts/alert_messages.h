// The texts an alert sends: the chat line, the webhook's JSON body and the
// email message. Pure: the caller passes the facts and the time.
#pragma once

#include <cstdint>
#include <string>

#include "alerts/alert_policy.h"
#include "text/local_time.h"

struct AlertFacts {
  AlertStep step = AlertStep::host;
  std::string guest;
  std::string host;
  std::string note;
  std::int64_t arrivedAt = 0;       // ms since the epoch
  std::int64_t now = 0;             // when the alert is made
  std::string acknowledgeUrl;       // the reply link; "" for none
};

std::int64_t waitingSeconds(const AlertFacts& facts);
// One line for a chat channel.
std::string chatLine(const AlertFacts& facts);
// {"text", "guest", "host", "note", "arrivedAt", "waitingSeconds", "acknowledgeUrl"}.
std::string webhookBody(const AlertFacts& facts);

struct MailHeaders {
  std::string from;
  std::string to;
  std::string messageId;  // without the angle brackets; stays the same across retries
};
// A whole RFC 5322 message, CRLF line ends: Date, From, To, Subject
// (encoded when not ASCII), Message-ID, MIME headers and a UTF-8 body.
std::string emailMessage(const MailHeaders& headers, const AlertFacts& facts);
