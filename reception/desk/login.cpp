// Logging in and out of the desk: sessions in cookies, wrong passwords throttled.
#include <chrono>
#include <thread>

#include "desk/desk.h"
#include "desk/known_addresses.h"
#include "rules/login_throttle.h"
#include "http/client_network.h"
#include "log/service_log.h"
#include "metrics/metrics.h"
#include "rules/validation.h"
#include "store/audit.h"
#include "store/clock.h"
#include "text/text.h"

using nlohmann::json;

namespace {

constexpr char wrongLogin[] = "Wrong name or password.";

HttpResponse tooManyAttempts(const std::string& address, std::int64_t waitMs, std::int64_t now) {
  std::int64_t minutes = (waitMs + 59999) / 60000;
  std::string wait = std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
  logRefusal(address, 429, "too many wrong passwords from this address", now, "(it waits " + wait + ")");
  HttpResponse answer = errorAnswer(429, "Too many wrong passwords from this computer. Please wait " + wait +
                                             " before trying again.");
  answer.headers.emplace_back("Retry-After", std::to_string((waitMs + 999) / 1000));
  return answer;
}

// An account that many addresses guess at is slowed, never locked, so the
// desk's own PC still logs in. The wait holds the login lane's worker, never
// one of the server's threads.
void slowDown(const HttpRequest& request, const std::string& name, std::int64_t now) {
  logEventOncePerMinute("slowed " + name.substr(0, maxAccountNameBytes), "login slowed for account " + name + ": " +
                                              std::to_string(accountSlowdownFrom) +
                                              " or more wrong passwords within 15 minutes",
                        now);
  if (request.onWorker) std::this_thread::sleep_for(std::chrono::milliseconds(slowedAttemptMs));
}


// The name and password of a login's body, and how the throttle judges the
// attempt; an answer when the body is not one or the address must wait.
std::optional<HttpResponse> readLogin(const HttpRequest& request, std::string& name, std::string& password,
                                      LoginJudgement& judgement) {
  json body = json::parse(request.body, nullptr, false);
  if (!body.is_object() || !exactStringMember(body, "name", name) || !exactStringMember(body, "password", password)) {
    return errorAnswer(400, "Send {\"name\": ..., \"password\": ...}.");
  }
  std::int64_t now = currentTimeMs();
  // Per IPv6 /64, not per address: one host holds a whole /64.
  judgement = judgeLoginAttempt(name, clientNetwork(request.clientAddress), now);
  if (judgement.retryAfterMs <= 0) return std::nullopt;
  countEvent(Counter::loginThrottled);
  return tooManyAttempts(request.clientAddress, judgement.retryAfterMs, now);
}

}  // namespace

std::string sessionToken(const HttpRequest& request) { return sentCookie(request, sessionCookieNameOf(request)).value; }

std::size_t sessionCookieCount(const HttpRequest& request) {
  return sentCookie(request, sessionCookieNameOf(request)).count;
}

std::optional<HttpResponse> loginRefusal(const HttpRequest& request) {
  std::string name;
  std::string password;
  LoginJudgement judgement;
  return readLogin(request, name, password, judgement);
}

HttpResponse login(const HttpRequest& request) {
  std::string name;
  std::string password;
  LoginJudgement judgement;
  if (std::optional<HttpResponse> refused = readLogin(request, name, password, judgement)) return *refused;
  const std::string& address = request.clientAddress;
  if (judgement.slowed) slowDown(request, name, currentTimeMs());
  DeskAccount account;
  Outcome verified = verifyLogin(name, password, account);
  if (verified == Outcome::notFound) {
    countEvent(Counter::loginWrong);
    recordLoginFailure(name, clientNetwork(address), currentTimeMs());
    recordAudit(name.substr(0, maxAccountNameBytes), address, "login-failed", "");
    logEvent("login failed for account " + name.substr(0, maxAccountNameBytes) + " from " + address);
    return errorAnswer(401, wrongLogin);
  }
  if (verified != Outcome::ok) return storeFailure(verified);
  std::string token;
  AuditedChange audited([&account, &address] { return AuditEntry{0, 0, account.name, address, "login", ""}; });
  Outcome started = startSession(account.id, token);
  if (started != Outcome::ok) return storeFailure(started);
  countEvent(Counter::loginOk);
  noteKnownDeskAddress(address, currentTimeMs());
  logEvent("login: account " + account.name + " from " + address);
  nlohmann::json who = {{"name", account.name}, {"role", account.role}};
  // A kiosk account has nothing on the desk page: its page is the kiosk's.
  if (account.role == "kiosk") who["redirect"] = "/kiosk/";
  HttpResponse answer = jsonAnswer(200, who);
  answer.headers.emplace_back("Set-Cookie", sessionCookieValue(request, sessionCookieNameOf(request), token, "Strict"));
  return answer;
}

HttpResponse logout(const DeskCall& call) {
  AuditedChange audited = auditedChange(call, "logout", nullptr);
  Outcome ended = endSession(sessionToken(call.request));
  if (ended != Outcome::ok) return storeFailure(ended);
  HttpResponse answer = jsonAnswer(200, {{"loggedOut", true}});
  answer.headers.emplace_back("Set-Cookie",
                              sessionCookieValue(call.request, sessionCookieNameOf(call.request), "", "Strict", 0));
  return answer;
}

HttpResponse whoAmI(const DeskCall& call) {
  return jsonAnswer(200, {{"name", call.account.name}, {"role", call.account.role}});
}
