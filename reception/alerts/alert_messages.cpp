#include "alerts/alert_messages.h"

#include <nlohmann/json.hpp>

#include "alerts/mail_message.h"

namespace {

// "12 min 5 s", "45 s"; "less than 10 s" rather than a "0 s" that reads as an error.
std::string waitingText(std::int64_t seconds) {
  if (seconds < 10) return "less than 10 s";
  if (seconds < 60) return std::to_string(seconds) + " s";
  return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
}

std::string mailBody(const AlertFacts& facts) {
  std::string body = facts.guest + " is waiting at reception";
  body += facts.step == AlertStep::host ? " for you.\n\n" : " for " + facts.host + ".\n\n";
  body += "Guest: " + facts.guest + "\n";
  if (!facts.note.empty()) body += "Note: " + facts.note + "\n";
  body += "Host: " + facts.host + "\n";
  body += "Arrived: " + localTimeText(facts.arrivedAt, "%H:%M") + "\n";
  body += "Waiting: " + waitingText(waitingSeconds(facts)) + "\n";
  if (!facts.acknowledgeUrl.empty()) {
    body += facts.step == AlertStep::host ? "\nOn your way? Tell the desk: "
                                          : "\nIs someone on the way? Tell the desk: ";
    body += facts.acknowledgeUrl + "\n";
  }
  return body;
}

}  // namespace

std::int64_t waitingSeconds(const AlertFacts& facts) {
  return facts.now > facts.arrivedAt ? (facts.now - facts.arrivedAt) / 1000 : 0;
}

std::string chatLine(const AlertFacts& facts) {
  std::int64_t waited = waitingSeconds(facts);
  std::string line = oneLine(facts.guest) +
                     (waited < 10 ? " is waiting at reception" : " has been waiting " + waitingText(waited)) + " for " +
                     oneLine(facts.host);
  if (!facts.note.empty()) line += " (" + oneLine(facts.note) + ")";
  return line + (facts.step == AlertStep::team ? ": not acknowledged yet." : ".");
}

std::string webhookBody(const AlertFacts& facts) {
  nlohmann::json body = {{"text", chatLine(facts)},
                         {"guest", facts.guest},
                         {"host", facts.host},
                         {"note", facts.note},
                         {"arrivedAt", isoTimeWithOffset(facts.arrivedAt)},
                         {"waitingSeconds", waitingSeconds(facts)},
                         {"acknowledgeUrl", facts.acknowledgeUrl.empty() ? nlohmann::json(nullptr)
                                                                         : nlohmann::json(facts.acknowledgeUrl)}};
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string emailMessage(const MailHeaders& headers, const AlertFacts& facts) {
  // The team's mail says whose guest it is and that nobody answered yet.
  std::string subject = facts.step == AlertStep::host
                            ? "Guest waiting: " + facts.guest
                            : "Not acknowledged: " + facts.guest + " waiting for " + facts.host;
  // libcurl doubles a leading "." of a line itself, as SMTP requires.
  return plainTextMail({headers.from, headers.to, subject, headers.messageId, facts.now}, mailBody(facts));
}
