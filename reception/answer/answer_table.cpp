#include "answer/answer_table.h"

#include <iterator>

#include <nlohmann/json.hpp>

namespace {

struct Entry {
  Failure failure;
  AnswerRow row;
};

// One row per failure, in the order of the enum.
constexpr Entry answers[] = {
    {Failure::busy, {503, "The service is busy. Please try again in a moment.", databaseRetryAfterSeconds}},
    {Failure::serverBusy, {503, "The service is busy. Please try again.", 1}},
    {Failure::databaseUnreachable,
     {503, "The service cannot reach its database just now. Please try again in a moment.", databaseRetryAfterSeconds}},
    {Failure::saveFailed, {500, "The service could not save this. Please try again.", 0}},
    {Failure::readFailed, {500, "The service could not read its records. Please try again.", 0}},
    {Failure::loginWaiting, {429, "A login from this computer is already waiting. Please wait for its answer.", 1}},
    {Failure::tooLarge, {413, "The request is too large.", 0}},
    {Failure::tooManyParameters, {414, "The request has too many query parameters.", 0}},
    {Failure::notFound, {404, "No such request.", 0}},
    {Failure::methodNotAllowed, {405, "This request does not take that method.", 0}},
    {Failure::needsLogin, {401, "Please log in.", 0}},
    {Failure::adminOnly, {403, "Only an admin account may do this.", 0}},
    {Failure::crossSite, {403, "Requests from other sites are refused.", 0}},
    {Failure::notJson, {415, "Send the request as application/json.", 0}},
    {Failure::twoSessionCookies,
     {400, "The browser sent more than one session cookie. Clear this site's cookies and log in again.", 0}},
    {Failure::wrongKey, {403, "The key is missing or wrong.", 0}},
    {Failure::fromBrowser, {403, "Browsers may not use the notifier API.", 0}},
};

constexpr bool rowsInOrder() {
  for (std::size_t i = 0; i < std::size(answers); ++i) {
    if (answers[i].failure != static_cast<Failure>(i)) return false;
  }
  return std::size(answers) == static_cast<std::size_t>(Failure::fromBrowser) + 1;
}
static_assert(rowsInOrder(), "one row per failure, in the order of the enum");

}  // namespace

const AnswerRow& answerRow(Failure failure) { return answers[static_cast<std::size_t>(failure)].row; }

HttpResponse jsonText(int status, std::string json) {
  HttpResponse response;
  response.status = status;
  response.contentType = "application/json; charset=utf-8";
  response.body = std::move(json);
  response.headers.emplace_back("Cache-Control", "no-store");
  return response;
}

std::string htmlEscaped(const std::string& text) {
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

HttpResponse htmlPage(int status, const std::string& title, const std::string& content) {
  HttpResponse response;
  response.status = status;
  response.contentType = "text/html; charset=utf-8";
  // Styled as the desk is (its stylesheet, from this service), for the phone it is mostly opened on.
  response.body = "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                  "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>" +
                  htmlEscaped(title) + " · Vestibra</title><link rel=\"stylesheet\" href=\"/desk.css\"></head>\n<body>\n"
                  "<header><h1>" + htmlEscaped(title) + "</h1></header>\n<main><section class=\"panel reply\">\n" +
                  content + "</section></main>\n</body></html>\n";
  // A reply link's token is in the address: it must not leak to other sites or caches.
  response.headers = {{"Content-Security-Policy",
                       "default-src 'none'; style-src 'self'; form-action 'self'; frame-ancestors 'none'"},
                      {"Referrer-Policy", "no-referrer"},
                      {"Cache-Control", "no-store"}};
  return response;
}

HttpResponse failureAnswer(Failure failure, Audience audience, const std::string& allow) {
  const AnswerRow& row = answerRow(failure);
  bool tellAllowed = failure == Failure::methodNotAllowed && !allow.empty();
  std::string message = tellAllowed ? "Use " + allow + "." : row.message;
  HttpResponse response;
  switch (audience) {
    case Audience::desk: {
      nlohmann::json error = {{"error", message}};
      response = jsonText(row.status, error.dump());
      break;
    }
    case Audience::notifier:
      response.status = row.status;
      response.headers.emplace_back("Cache-Control", "no-store");
      break;
    case Audience::page: {
      bool retry = row.status >= 500;
      response = htmlPage(row.status, retry ? "Please try again" : "Not possible",
                          "<p>" + htmlEscaped(message) + "</p>\n");
      break;
    }
  }
  if (row.retryAfterSeconds > 0) response.headers.emplace_back("Retry-After", std::to_string(row.retryAfterSeconds));
  if (tellAllowed) response.headers.emplace_back("Allow", allow);
  return response;
}

HttpResponse outcomeAnswer(Outcome outcome, Audience audience, Failure otherwise) {
  if (outcome == Outcome::busy) return failureAnswer(Failure::busy, audience);
  if (outcome == Outcome::unreachable) return failureAnswer(Failure::databaseUnreachable, audience);
  return failureAnswer(otherwise, audience);
}
