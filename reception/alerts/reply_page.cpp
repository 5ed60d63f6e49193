#include "alerts/reply_page.h"

#include "store/audit.h"
#include "store/clock.h"
#include "store/outbox.h"

namespace {

constexpr std::size_t tokenChars = 43;  // 32 bytes in URL-safe base64 without padding

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

bool isTokenShaped(std::string_view token) {
  if (token.size() != tokenChars) return false;
  for (char c : token) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

HttpResponse page(int status, const std::string& title, const std::string& content) {
  HttpResponse response;
  response.status = status;
  response.contentType = "text/html; charset=utf-8";
  // Styled as the desk is (its stylesheet, from this service), for the phone it is mostly opened on.
  response.body = "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                  "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>" +
                  escaped(title) + " · Vestibra</title><link rel=\"stylesheet\" href=\"/desk.css\"></head>\n<body>\n<header><h1>" +
                  escaped(title) + "</h1></header>\n<main><section class=\"panel reply\">\n" + content +
                  "</section></main>\n</body></html>\n";
  // The token is in the address: it must not leak to other sites or caches.
  response.headers = {{"Content-Security-Policy",
                       "default-src 'none'; style-src 'self'; form-action 'self'; frame-ancestors 'none'"},
                      {"Referrer-Policy", "no-referrer"},
                      {"Cache-Control", "no-store"}};
  return response;
}

std::string waitingText(std::int64_t arrivedAt) {
  std::int64_t minutes = (currentTimeMs() - arrivedAt) / 60000;
  if (minutes < 1) return "less than a minute";
  return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}

HttpResponse notValid(ReplyStatus status) {
  switch (status) {
    case ReplyStatus::used:
      return page(410, "Already answered", "<p>This link has been used: the desk already knows.</p>\n");
    case ReplyStatus::ended:
      return page(410, "No longer waiting", "<p>This guest is no longer waiting for you.</p>\n");
    case ReplyStatus::failed:
      return page(500, "Please try again", "<p>The service could not save this. Please try again.</p>\n");
    default: return page(404, "Unknown link", "<p>This link is not known. Please ask the front desk.</p>\n");
  }
}

HttpResponse confirmPage(const ReplyGuest& guest) {
  return page(200, "Guest waiting",
              "<p>" + escaped(guest.guest) + " is waiting at reception for " + escaped(guest.host) + " (" +
                  waitingText(guest.arrivedAt) + ").</p>\n<form method=\"post\"><button type=\"submit\">I'm on my way</button></form>\n");
}

}  // namespace

HttpResponse answerReplyPage(const HttpRequest& request, std::string_view token) {
  if (request.method != "GET" && request.method != "HEAD" && request.method != "POST") {
    HttpResponse response = page(405, "Not allowed", "");
    response.headers.emplace_back("Allow", "GET, POST");
    return response;
  }
  if (!isTokenShaped(token)) return notValid(ReplyStatus::unknown);
  std::string text(token);
  if (request.method != "POST") {
    ReplyGuest guest = findReplyGuest(text);
    return guest.status == ReplyStatus::valid ? confirmPage(guest) : notValid(guest.status);
  }
  ReplyGuest guest;
  ReplyStatus status = acknowledgeByReply(text, guest);
  if (status != ReplyStatus::valid) return notValid(status);
  recordAudit(guest.host, request.clientAddress, "acknowledge",
              "guest #" + std::to_string(guest.notificationId) + " " + guest.guest + " acknowledged by reply");
  return page(200, "Thank you", "<p>Thanks: the desk knows you are on your way.</p>\n");
}
