#include "sso/sso_answers.h"

#include "answer/answer_table.h"
#include "sso/pending_sign_ins.h"
#include "text/text.h"

namespace {

// The code and state are in the callback's address: they must not leak.
void addPrivacyHeaders(HttpResponse& response) {
  response.headers.emplace_back("Referrer-Policy", "no-referrer");
  response.headers.emplace_back("Cache-Control", "no-store");
}

}  // namespace

HttpResponse ssoPage(int status, const std::string& title, const std::string& text) {
  // In the desk's look, as its other pages (which also keep the address private).
  return htmlPage(status, title,
                  "<p id=\"sso-message\">" + htmlEscaped(text) + "</p>\n<p><a href=\"/\">Back to the login page</a></p>\n");
}

HttpResponse ssoRedirect(const std::string& location) {
  HttpResponse response;
  response.status = 302;
  response.headers.emplace_back("Location", location);
  addPrivacyHeaders(response);
  return response;
}

const char* signInCookieNameOf(const HttpRequest& request) {
  return request.overTls ? "__Host-vestibra_sso" : "vestibra_sso";
}

std::string signInCookie(const HttpRequest& request, const std::string& value, bool clear) {
  // Lax, not Strict: the provider's redirect back is a navigation from its site.
  std::string maxAge = clear ? "0" : std::to_string(signInLifetimeMs / 1000);
  return std::string(signInCookieNameOf(request)) + "=" + value + "; Max-Age=" + maxAge +
         "; HttpOnly; SameSite=Lax; Path=/" + (request.overTls ? "; Secure" : "");
}

std::string cookieValue(const HttpRequest& request, const std::string& name) {
  std::string_view cookies = request.cookie;
  while (!cookies.empty()) {
    std::size_t end = cookies.find(';');
    std::string_view pair = trimmed(cookies.substr(0, end));
    std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) return std::string(pair.substr(equals + 1));
    cookies = end == std::string_view::npos ? std::string_view() : cookies.substr(end + 1);
  }
  return "";
}
