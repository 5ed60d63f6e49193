// Logging in and out of the desk: sessions in cookies, wrong passwords throttled.
#include "desk/desk.h"
#include "desk/login_throttle.h"
#include "desk/validation.h"
#include "metrics/metrics.h"
#include "store/audit.h"
#include "store/clock.h"
#include "text/text.h"

using nlohmann::json;

namespace {

constexpr char wrongLogin[] = "Wrong name or password.";

std::string cookieAttributes(const HttpRequest& request) {
  return std::string("; HttpOnly; SameSite=Strict; Path=/") + (request.overTls ? "; Secure" : "");
}

HttpResponse tooManyAttempts(std::int64_t waitMs) {
  HttpResponse answer = errorAnswer(429, "Too many wrong passwords. Please wait before trying again.");
  answer.headers.emplace_back("Retry-After", std::to_string((waitMs + 999) / 1000));
  return answer;
}

}  // namespace

std::string sessionToken(const HttpRequest& request) {
  std::string_view cookies = request.cookie;
  while (!cookies.empty()) {
    std::size_t end = cookies.find(';');
    std::string_view pair = trimmed(cookies.substr(0, end));
    std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == sessionCookieName) {
      return std::string(pair.substr(equals + 1));
    }
    cookies = end == std::string_view::npos ? std::string_view() : cookies.substr(end + 1);
  }
  return "";
}

HttpResponse login(const HttpRequest& request) {
  json body = json::parse(request.body, nullptr, false);
  std::string name;
  std::string password;
  if (!body.is_object() || !exactStringMember(body, "name", name) || !exactStringMember(body, "password", password)) {
    return errorAnswer(400, "Send {\"name\": ..., \"password\": ...}.");
  }
  const std::string& address = request.clientAddress;
  std::int64_t wait = loginRetryAfterMs(name, address, currentTimeMs());
  if (wait > 0) {
    countEvent(Counter::loginThrottled);
    return tooManyAttempts(wait);
  }
  DeskAccount account;
  Outcome verified = verifyLogin(name, password, account);
  if (verified == Outcome::notFound) {
    countEvent(Counter::loginWrong);
    recordLoginFailure(name, address, currentTimeMs());
    recordAudit(name.substr(0, maxAccountNameBytes), address, "login-failed", "");
    return errorAnswer(401, wrongLogin);
  }
  if (verified != Outcome::ok) return storeFailure(verified);
  std::string token;
  Outcome started = startSession(account.id, token);
  if (started != Outcome::ok) return storeFailure(started);
  countEvent(Counter::loginOk);
  recordAudit(account.name, address, "login", "");
  HttpResponse answer = jsonAnswer(200, {{"name", account.name}, {"role", account.role}});
  answer.headers.emplace_back("Set-Cookie", std::string(sessionCookieName) + "=" + token + cookieAttributes(request));
  return answer;
}

HttpResponse logout(const DeskCall& call) {
  Outcome ended = endSession(sessionToken(call.request));
  if (ended != Outcome::ok) return storeFailure(ended);
  audit(call, "logout", "");
  HttpResponse answer = jsonAnswer(200, {{"loggedOut", true}});
  answer.headers.emplace_back("Set-Cookie",
                              std::string(sessionCookieName) + "=; Max-Age=0" + cookieAttributes(call.request));
  return answer;
}

HttpResponse whoAmI(const DeskCall& call) {
  return jsonAnswer(200, {{"name", call.account.name}, {"role", call.account.role}});
}
