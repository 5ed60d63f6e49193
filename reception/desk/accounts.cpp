// Desk accounts and the audit log, for admins.
#include "desk/desk.h"
#include "rules/validation.h"
#include "store/audit.h"
#include "text/text.h"

using nlohmann::json;

namespace {

json accountJson(const DeskAccount& account) {
  return {{"id", account.id},
          {"name", account.name},
          {"role", account.role},
          {"createdAt", account.createdAt},
          {"lastLoginAt", optionalTime(account.lastLoginAt)}};
}

std::string accountDescription(const DeskAccount& account) { return account.name + " (" + account.role + ")"; }

HttpResponse noSuchAccount() { return errorAnswer(404, "That account does not exist."); }

}  // namespace

HttpResponse accountList(const DeskCall&) {
  std::vector<DeskAccount> accounts;
  Outcome read = listAccounts(accounts);
  if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
  json list = json::array();
  for (const DeskAccount& account : accounts) list.push_back(accountJson(account));
  return jsonAnswer(200, {{"accounts", list}});
}

HttpResponse accountAdd(const DeskCall& call) {
  json body = json::parse(call.request.body, nullptr, false);
  std::string name;
  std::string role = "desk";
  std::string password;
  if (!body.is_object() || !exactStringMember(body, "name", name) || !exactStringMember(body, "password", password) ||
      (body.contains("role") && !exactStringMember(body, "role", role))) {
    return errorAnswer(400, "Send {\"name\": ..., \"role\": \"desk\" or \"admin\", \"password\": ...}.");
  }
  std::string error = checkAccountName(name);
  if (error.empty() && !isRole(role)) error = "The role is desk, admin or kiosk.";
  if (error.empty()) error = checkPassword(password);
  if (!error.empty()) return errorAnswer(400, error);
  DeskAccount added;
  AuditedChange audited = auditedChange(call, "account-add", [&added] { return accountDescription(added); });
  switch (Outcome result = addAccount(name, role, password, added)) {
    case Outcome::ok:
      logAccountChange(call, "account-add", accountDescription(added));
      return jsonAnswer(201, accountJson(added));
    case Outcome::conflict: return errorAnswer(409, "There is already an account named " + name + ".");
    default: return storeFailure(result);
  }
}

HttpResponse accountRemove(const DeskCall& call) {
  DeskAccount account;
  Outcome found = findAccountById(call.id, account);
  if (found == Outcome::notFound) return noSuchAccount();
  if (found != Outcome::ok) return storeFailure(found);
  AuditedChange audited = auditedChange(call, "account-remove", [&account] { return accountDescription(account); });
  switch (Outcome result = removeAccount(call.id, true)) {
    case Outcome::ok:
      logAccountChange(call, "account-remove", accountDescription(account));
      return jsonAnswer(200, {{"removed", call.id}});
    case Outcome::conflict: return errorAnswer(409, "This is the last admin account. Make another admin first.");
    case Outcome::notFound: return noSuchAccount();
    default: return storeFailure(result);
  }
}

HttpResponse accountPassword(const DeskCall& call) {
  json body = json::parse(call.request.body, nullptr, false);
  std::string password;
  if (!body.is_object() || !exactStringMember(body, "password", password)) return errorAnswer(400, "Send {\"password\": ...}.");
  std::string error = checkPassword(password);
  if (!error.empty()) return errorAnswer(400, error);
  DeskAccount account;
  Outcome found = findAccountById(call.id, account);
  if (found == Outcome::notFound) return noSuchAccount();
  if (found != Outcome::ok) return storeFailure(found);
  AuditedChange audited = auditedChange(call, "account-password", [&account] { return account.name; });
  switch (Outcome result = setPassword(call.id, password)) {
    case Outcome::ok:
      logAccountChange(call, "account-password", account.name);
      return jsonAnswer(200, {{"changed", call.id}});
    case Outcome::notFound: return noSuchAccount();
    default: return storeFailure(result);
  }
}

HttpResponse auditLog(const DeskCall& call) {
  std::optional<std::int64_t> before;
  std::optional<std::string> text = queryValue(call.query, "before");
  std::int64_t id = 0;
  if (text) {
    if (!parseDecimal(*text, 18, id)) return errorAnswer(400, "before is an entry id.");
    before = id;
  }
  std::vector<AuditEntry> page;
  Outcome read = auditPage(before, auditPageSize, page);
  if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
  json entries = json::array();
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
