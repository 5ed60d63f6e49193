// The desk API's sessions, accounts and audit log.
#include <cmath>

#include "audit.h"
#include "desk_call.h"
#include "login_throttle.h"
#include "metrics/metrics.h"
#include "notifier_api.h"
#include "storage.h"
#include "validation.h"

namespace {

using nlohmann::json;

constexpr char wrongLogin[] = "Wrong name or password.";

json accountJson(const DeskAccount& account) {
  return {{"id", account.id},
          {"name", account.name},
          {"role", account.role},
          {"createdAt", account.createdAt},
          {"lastLoginAt", account.lastLoginAt ? json(*account.lastLoginAt) : json(nullptr)}};
}

std::string cookieAttributes(const HttpRequest& request) {
  return std::string("; HttpOnly; SameSite=Strict; Path=/") + (request.overTls ? "; Secure" : "");
}

// A JSON object's string member, or false.
bool stringMember(const json& body, const char* name, std::string& value) {
  auto found = body.find(name);
  if (found == body.end() || !found->is_string()) return false;
  value = found->get<std::string>();
  return true;
}

json parsedBody(const HttpRequest& request) { return json::parse(request.body, nullptr, false); }

HttpResponse tooManyAttempts(std::int64_t waitMs) {
  HttpResponse answer = errorAnswer(429, "Too many wrong passwords. Please wait before trying again.");
  answer.headers.emplace_back("Retry-After", std::to_string((waitMs + 999) / 1000));
  return answer;
}

std::string accountDescription(const DeskAccount& account) { return account.name + " (" + account.role + ")"; }

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
  json body = parsedBody(request);
  std::string name;
  std::string password;
  if (!body.is_object() || !stringMember(body, "name", name) || !stringMember(body, "password", password)) {
    return errorAnswer(400, "Send {\"name\": ..., \"password\": ...}.");
  }
  const std::string& address = request.clientAddress;
  std::int64_t wait = loginRetryAfterMs(name, address, currentTimeMs());
  if (wait > 0) {
    countEvent(Counter::loginThrottled);
    return tooManyAttempts(wait);
  }
  std::optional<DeskAccount> account = verifyLogin(name, password);
  if (!account) {
    countEvent(Counter::loginWrong);
    recordLoginFailure(name, address, currentTimeMs());
    recordAudit(name.substr(0, maxAccountNameBytes), address, "login-failed", "");
    return errorAnswer(401, wrongLogin);
  }
  std::string token = startSession(account->id);
  if (token.empty()) return storageFailure();
  countEvent(Counter::loginOk);
  recordAudit(account->name, address, "login", "");
  HttpResponse answer = jsonAnswer(200, {{"name", account->name}, {"role", account->role}});
  answer.headers.emplace_back("Set-Cookie", std::string(sessionCookieName) + "=" + token + cookieAttributes(request));
  return answer;
}

HttpResponse logout(const DeskCall& call) {
  endSession(sessionToken(call.request));
  audit(call, "logout", "");
  HttpResponse answer = jsonAnswer(200, {{"loggedOut", true}});
  answer.headers.emplace_back("Set-Cookie",
                              std::string(sessionCookieName) + "=; Max-Age=0" + cookieAttributes(call.request));
  return answer;
}

HttpResponse whoAmI(const DeskCall& call) {
  return jsonAnswer(200, {{"name", call.account.name}, {"role", call.account.role}});
}

HttpResponse accountList(const DeskCall&) {
  json accounts = json::array();
  for (const DeskAccount& account : listAccounts()) accounts.push_back(accountJson(account));
  return jsonAnswer(200, {{"accounts", accounts}});
}

HttpResponse accountAdd(const DeskCall& call) {
  json body = parsedBody(call.request);
  std::string name;
  std::string role = "desk";
  std::string password;
  if (!body.is_object() || !stringMember(body, "name", name) || !stringMember(body, "password", password) ||
      (body.contains("role") && !stringMember(body, "role", role))) {
    return errorAnswer(400, "Send {\"name\": ..., \"role\": \"desk\" or \"admin\", \"password\": ...}.");
  }
  std::string error = checkAccountName(name);
  if (error.empty() && !isRole(role)) error = "The role is desk or admin.";
  if (error.empty()) error = checkPassword(password);
  if (!error.empty()) return errorAnswer(400, error);
  DeskAccount added;
  switch (addAccount(name, role, password, added)) {
    case AccountResult::done:
      audit(call, "account-add", accountDescription(added));
      return jsonAnswer(201, accountJson(added));
    case AccountResult::duplicate: return errorAnswer(409, "There is already an account named " + name + ".");
    default: return storageFailure();
  }
}

HttpResponse accountRemove(const DeskCall& call) {
  std::optional<DeskAccount> account = findAccountById(call.id);
  if (!account) return errorAnswer(404, "That account does not exist.");
  switch (removeAccount(call.id, true)) {
    case AccountResult::done:
      audit(call, "account-remove", accountDescription(*account));
      return jsonAnswer(200, {{"removed", call.id}});
    case AccountResult::lastAdmin:
      return errorAnswer(409, "This is the last admin account. Make another admin first.");
    case AccountResult::notFound: return errorAnswer(404, "That account does not exist.");
    default: return storageFailure();
  }
}

HttpResponse accountPassword(const DeskCall& call) {
  json body = parsedBody(call.request);
  std::string password;
  if (!body.is_object() || !stringMember(body, "password", password)) return errorAnswer(400, "Send {\"password\": ...}.");
  std::string error = checkPassword(password);
  if (!error.empty()) return errorAnswer(400, error);
  std::optional<DeskAccount> account = findAccountById(call.id);
  if (!account) return errorAnswer(404, "That account does not exist.");
  switch (setPassword(call.id, password)) {
    case AccountResult::done:
      audit(call, "account-password", account->name);
      return jsonAnswer(200, {{"changed", call.id}});
    case AccountResult::notFound: return errorAnswer(404, "That account does not exist.");
    default: return storageFailure();
  }
}

HttpResponse auditLog(const DeskCall& call) {
  std::optional<std::int64_t> before;
  std::optional<std::string> text = queryValue(call.query, "before");
  long long id = 0;
  if (text) {
    if (!parseNotificationId(*text, id)) return errorAnswer(400, "before is an entry id.");
    before = id;
  }
  json entries = json::array();
  std::vector<AuditEntry> page = auditPage(before, auditPageSize);
  for (const AuditEntry& entry : page) {
    entries.push_back({{"id", entry.id},
                       {"at", entry.at},
                       {"account", entry.account},
                       {"address", entry.address},
                       {"action", entry.action},
                       {"detail", entry.detail}});
  }
  bool more = page.size() == static_cast<std::size_t>(auditPageSize);
  return jsonAnswer(200, {{"entries", entries}, {"next", more ? json(page.back().id) : json(nullptr)}});
}
