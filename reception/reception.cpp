#include "reception.h"

#include "desk_api.h"
#include "notifier_api.h"
#include "query.h"

namespace {

constexpr std::string_view notifierPrefix = "/api/reception/";
constexpr std::string_view deskPrefix = "/api/desk/";

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

HttpResponse textAnswer(int status, std::string body) {
  HttpResponse response;
  response.status = status;
  response.contentType = "text/plain; charset=utf-8";
  response.body = std::move(body);
  return response;
}

HttpResponse assetAnswer(std::string_view path, const std::string& method) {
  std::string_view bytes;
  std::string_view contentType;
  if (!findAsset(path, bytes, contentType)) return textAnswer(404, "Not found\n");
  if (method != "GET" && method != "HEAD") return textAnswer(405, "Method not allowed\n");
  HttpResponse response;
  response.contentType = std::string(contentType);
  response.body = std::string(bytes);
  response.headers = {{"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
                      {"X-Content-Type-Options", "nosniff"},
                      {"Referrer-Policy", "no-referrer"},
                      {"Cache-Control", "no-cache"}};
  return response;
}

}  // namespace

bool isUploadTarget(const std::string& target) {
  return parseRequestTarget(target).path == std::string(deskPrefix) + "staff/import";
}

HttpResponse handleReceptionRequest(const HttpRequest& request) {
  RequestTarget target = parseRequestTarget(request.target);
  // Routes match the path as received: an escaped byte never matches one
  // (404), so a proxy in front that filters by path sees what is served.
  std::string_view rawTarget = request.target;
  target.path = std::string(rawTarget.substr(0, rawTarget.find_first_of("?#")));
  if (startsWith(target.path, notifierPrefix)) {
    if (request.method != "GET") {
      HttpResponse refused;
      refused.status = 405;
      return refused;
    }
    return answerNotifier(std::string_view(target.path).substr(notifierPrefix.size()), target.query);
  }
  if (startsWith(target.path, deskPrefix)) {
    return answerDesk(request, std::string_view(target.path).substr(deskPrefix.size()));
  }
  return assetAnswer(target.path, request.method);
}
