#include "reception.h"

#include "desk_api.h"
#include "notifier_api.h"
#include "query.h"
#include "reply_page.h"
#include "request_guard.h"

namespace {

constexpr std::string_view notifierPrefix = "/api/reception/";
constexpr std::string_view deskPrefix = "/api/desk/";
constexpr std::string_view replyPrefix = "/ack/";

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
                      {"Referrer-Policy", "no-referrer"},
                      {"Cache-Control", "no-cache"}};
  return response;
}

HttpResponse emptyAnswer(int status) {
  HttpResponse response;
  response.status = status;
  return response;
}

HttpResponse redirectToHttps(const HttpRequest& request) {
  HttpResponse response = textAnswer(308, "The front desk is served over HTTPS.\n");
  response.headers.emplace_back("Location", httpsLocation(request, deskOrigin.tlsPort));
  return response;
}

HttpResponse route(const HttpRequest& request) {
  RequestTarget target = parseRequestTarget(request.target);
  // Routes match the path as received: an escaped byte never matches one
  // (404), so a proxy in front that filters by path sees what is served.
  std::string_view rawTarget = request.target;
  target.path = std::string(rawTarget.substr(0, rawTarget.find_first_of("?#")));
  if (startsWith(target.path, notifierPrefix)) {
    // A notifier sends none of a browser's headers: a request with them
    // comes from a web page (an <img> with the well-known key) and changes nothing.
    if (sentByBrowser(request)) return emptyAnswer(403);
    if (request.method != "GET") return emptyAnswer(405);
    return answerNotifier(std::string_view(target.path).substr(notifierPrefix.size()), target.query);
  }
  // Checked before anything of the desk: a DNS-rebinding page has another host name.
  if (!isServiceHost(request.host, deskOrigin)) return textAnswer(421, "This service does not answer to that host name.\n");
  if (deskOrigin.tlsPort != 0 && !request.overTls) return redirectToHttps(request);
  if (startsWith(target.path, replyPrefix)) {
    return answerReplyPage(request, std::string_view(target.path).substr(replyPrefix.size()));
  }
  if (startsWith(target.path, deskPrefix)) {
    return answerDesk(request, std::string_view(target.path).substr(deskPrefix.size()));
  }
  return assetAnswer(target.path, request.method);
}

}  // namespace

// Asked for every request before its body: the raw path alone, as routing
// matches it, without parsing the query.
bool isUploadTarget(const std::string& target) {
  return std::string_view(target).substr(0, target.find_first_of("?#")) == "/api/desk/staff/import";
}

HttpResponse handleReceptionRequest(const HttpRequest& request) {
  HttpResponse response = route(request);
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  return response;
}

bool isSlowReceptionRequest(const HttpRequest& request) {
  if (request.method != "POST") return false;
  std::string path = parseRequestTarget(request.target).path;
  return path == "/api/desk/login" || startsWith(path, "/api/desk/accounts");
}
