#include "alerts/alert_messages.h"

#include <nlohmann/json.hpp>
#include <sodium.h>

#include "text/utf8.h"

namespace {

bool isPlainAscii(const std::string& text) {
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E) return false;
  }
  return true;
}

// "12 min 5 s", "45 s"; "less than 10 s" rather than a "0 s" that reads as an error.
std::string waitingText(std::int64_t seconds) {
  if (seconds < 10) return "less than 10 s";
  if (seconds < 60) return std::to_string(seconds) + " s";
  return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
}

// Header values never carry a line break: a guest's name cannot add a header.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

std::string crlfLines(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
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

std::string encodedHeaderValue(const std::string& rawText) {
  if (isPlainAscii(rawText)) return rawText;
  // Invalid bytes (from a restored database, say) become U+FFFD first, so
  // every piece below is whole characters and ends after at least one.
  std::string text = withValidUtf8(rawText);
  // Encoded words are at most 75 characters: 45 bytes of base64 make 60.
  constexpr std::size_t maxPiece = 45;
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t take = 0;
    while (at + take < text.size()) {
      std::size_t length = utf8CharacterLength(text, at + take);
      if (take + length > maxPiece) break;
      take += length;
    }
    std::string piece = text.substr(at, take);
    std::string base64(sodium_base64_encoded_len(piece.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&base64[0], base64.size(), reinterpret_cast<const unsigned char*>(piece.data()), piece.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    base64.resize(base64.size() - 1);  // the terminating NUL
    out += (out.empty() ? "" : "\r\n ") + std::string("=?UTF-8?B?") + base64 + "?=";
    at += take;
  }
  return out;
}

std::string emailMessage(const MailHeaders& headers, const AlertFacts& facts) {
  std::string message;
  // RFC 5322 dates are in English whatever the locale: the C locale's names.
  message += "Date: " + localTimeText(facts.now, "%a, %d %b %Y %H:%M:%S %z") + "\r\n";
  message += "From: " + oneLine(headers.from) + "\r\n";
  message += "To: " + oneLine(headers.to) + "\r\n";
  // The team's mail says whose guest it is and that nobody answered yet.
  std::string subject = facts.step == AlertStep::host
                            ? "Guest waiting: " + oneLine(facts.guest)
                            : "Not acknowledged: " + oneLine(facts.guest) + " waiting for " + oneLine(facts.host);
  message += "Subject: " + encodedHeaderValue(subject) + "\r\n";
  message += "Message-ID: <" + oneLine(headers.messageId) + ">\r\n";
  message += "MIME-Version: 1.0\r\n";
  message += "Content-Type: text/plain; charset=UTF-8\r\n";
  message += "Content-Transfer-Encoding: 8bit\r\n";
  message += "Auto-Submitted: auto-generated\r\n\r\n";
  // libcurl doubles a leading "." of a line itself, as SMTP requires.
  return message + crlfLines(withValidUtf8(mailBody(facts)));
}
