#include "alerts/reply_page.h"

#include "answer/answer_table.h"
#include "store/audit.h"
#include "store/clock.h"
#include "store/outbox.h"

namespace {

constexpr std::size_t tokenChars = 43;  // 32 bytes in URL-safe base64 without padding

bool isTokenShaped(std::string_view token) {
  if (token.size() != tokenChars) return false;
  for (char c : token) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string waitingText(std::int64_t arrivedAt) {
  std::int64_t minutes = (currentTimeMs() - arrivedAt) / 60000;
  if (minutes < 1) return "less than a minute";
  return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}

HttpResponse notValid(ReplyStatus status) {
  switch (status) {
    case ReplyStatus::used:
      return htmlPage(410, "Already answered", "<p>This link has been used: the desk already knows.</p>\n");
    case ReplyStatus::ended:
      return htmlPage(410, "No longer waiting", "<p>This guest is no longer waiting for you.</p>\n");
    case ReplyStatus::busy: return failureAnswer(Failure::busy, Audience::page);
    case ReplyStatus::failed: return failureAnswer(Failure::saveFailed, Audience::page);
    default: return htmlPage(404, "Unknown link", "<p>This link is not known. Please ask the front desk.</p>\n");
  }
}

HttpResponse confirmPage(const ReplyGuest& guest) {
  return htmlPage(200, "Guest waiting",
              "<p>" + htmlEscaped(guest.guest) + " is waiting at reception for " + htmlEscaped(guest.host) + " (" +
                  waitingText(guest.arrivedAt) + ").</p>\n<form method=\"post\"><button type=\"submit\">I'm on my way</button></form>\n");
}

}  // namespace

HttpResponse answerReplyPage(const HttpRequest& request, std::string_view token) {
  if (request.method != "GET" && request.method != "HEAD" && request.method != "POST") {
    return failureAnswer(Failure::methodNotAllowed, Audience::page, "GET, HEAD, POST");
  }
  if (!isTokenShaped(token)) return notValid(ReplyStatus::unknown);
  std::string text(token);
  if (request.method != "POST") {
    ReplyGuest guest = findReplyGuest(text);
    return guest.status == ReplyStatus::valid ? confirmPage(guest) : notValid(guest.status);
  }
  ReplyGuest guest;
  AuditedChange audited([&guest, &request] {
    return AuditEntry{0, 0, guest.host, request.clientAddress, "acknowledge",
                      "guest #" + std::to_string(guest.notificationId) + " " + guest.guest + " acknowledged by reply"};
  });
  ReplyStatus status = acknowledgeByReply(text, guest);
  if (status != ReplyStatus::valid) return notValid(status);
  return htmlPage(200, "Thank you", "<p>Thanks: the desk knows you are on your way.</p>\n");
}
