#include "store/accounts.h"

#include <sodium.h>

#include <atomic>
#include <functional>

#include "store/clock.h"
#include "store/token_hash.h"

PasswordCost passwordCost{crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};

namespace {

// A session's last use is written at most this often, not on every request.
constexpr std::int64_t sessionTouchIntervalMs = 60LL * 1000;
constexpr std::size_t tokenBytes = 32;

// A kiosk account is stored with the role desk and a row in kiosk_account
// (the role's CHECK predates kiosks); this reads it back as "kiosk".
#define ACCOUNT_ROLE(table) \
  "CASE WHEN EXISTS (SELECT 1 FROM kiosk_account k WHERE k.account_id = " table ".id) THEN 'kiosk' ELSE " table ".role END"

const char* const selectAccount =
    "SELECT id, name, " ACCOUNT_ROLE("desk_account") ", created_at, last_login_at FROM desk_account ";

DeskAccount accountFromRow(const Statement& row) {
  return DeskAccount{row.integer(0), row.text(1), row.text(2), row.integer(3), row.optionalInteger(4)};
}

// "" when hashing fails (out of memory).
std::string hashPassword(const std::string& password) {
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(hash, password.data(), password.size(), passwordCost.operations, passwordCost.memoryBytes,
                            crypto_pwhash_ALG_ARGON2ID13) != 0) {
    return "";
  }
  return hash;
}

bool passwordMatches(const std::string& hash, const std::string& password) {
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

// A hash of a random password, checked against for names that do not exist.
const std::string& decoyHash() {
  static const std::string decoy = [] {
    unsigned char random[16];
    randombytes_buf(random, sizeof random);
    return hashPassword(hexText(random, sizeof random));
  }();
  return decoy;
}

bool endSessionsOf(WriteTransaction& transaction, std::int64_t accountId) {
  return transaction.prepare("DELETE FROM desk_session WHERE account_id = ?1").bind(1, accountId).run();
}

Outcome readAccount(const std::string& where, const std::function<void(Statement&)>& bind, DeskAccount& account) {
  ReadSession session;
  Statement query = session.prepare(std::string(selectAccount) + where);
  bind(query);
  int result = query.step();
  if (result == SQLITE_DONE) return Outcome::notFound;
  if (result != SQLITE_ROW) return session.fail("read of a desk account");
  account = accountFromRow(query);
  return Outcome::ok;
}

}  // namespace

bool initAccounts() { return sodium_init() >= 0; }

std::string checkAccountName(const std::string& name) {
  if (name.empty()) return "An account needs a name.";
  if (name.size() > maxAccountNameBytes) return "An account name has at most 64 characters.";
  for (char c : name) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
                   c == '_' || c == '@';
    if (!allowed) return "An account name may hold only letters A to Z, digits and . - _ @.";
  }
  return "";
}

std::string checkPassword(const std::string& password) {
  if (password.size() < minPasswordBytes) return "A password needs at least 8 characters.";
  if (password.size() > maxPasswordBytes) return "A password has at most 1024 characters.";
  return "";
}

bool isRole(const std::string& role) { return role == "desk" || role == "admin" || role == "kiosk"; }

std::int64_t sessionIdleLimitOf(const std::string& role) {
  return role == "kiosk" ? kioskSessionIdleLimitMs : sessionIdleLimitMs;
}

Outcome addAccount(const std::string& name, const std::string& role, const std::string& password, DeskAccount& added) {
  std::string hash = hashPassword(password);
  if (hash.empty()) return Outcome::failed;
  std::int64_t now = currentTimeMs();
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement insert =
      transaction.prepare("INSERT INTO desk_account (name, role, password_hash, created_at) VALUES (?1, ?2, ?3, ?4)");
  bool kiosk = role == "kiosk";
  int result = insert.bind(1, name).bind(2, kiosk ? std::string("desk") : role).bind(3, hash).bind(4, now).step();
  if (result == SQLITE_CONSTRAINT) return Outcome::conflict;
  if (result != SQLITE_DONE) return transaction.fail("write of a desk account");
  DeskAccount account{transaction.lastInsertId(), name, role, now, std::nullopt};
  if (kiosk && !transaction.prepare("INSERT INTO kiosk_account (account_id) VALUES (?1)").bind(1, account.id).run()) {
    return transaction.fail("write of a kiosk account");
  }
  added = account;  // before the commit, which writes the audit entry that names it
  return transaction.commit();
}

Outcome removeAccount(std::int64_t id, bool keepAnAdmin) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  if (keepAnAdmin) {
    Statement admins = transaction.prepare("SELECT count(*) FROM desk_account WHERE role = 'admin' AND id != ?1");
    Statement target = transaction.prepare("SELECT role FROM desk_account WHERE id = ?1");
    if (admins.bind(1, id).step() != SQLITE_ROW) return transaction.fail("read of the admin accounts");
    if (target.bind(1, id).step() == SQLITE_ROW && target.text(0) == "admin" && admins.integer(0) == 0) {
      return Outcome::conflict;
    }
  }
  if (!endSessionsOf(transaction, id)) return transaction.fail("removal of a desk account's sessions");
  if (!transaction.prepare("DELETE FROM desk_account WHERE id = ?1").bind(1, id).run()) {
    return transaction.fail("removal of a desk account");
  }
  if (transaction.changes() == 0) return Outcome::notFound;
  return transaction.commit();
}

Outcome setPassword(std::int64_t id, const std::string& password) {
  std::string hash = hashPassword(password);
  if (hash.empty()) return Outcome::failed;
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement update = transaction.prepare("UPDATE desk_account SET password_hash = ?2 WHERE id = ?1");
  if (!update.bind(1, id).bind(2, hash).run()) return transaction.fail("write of a password");
  if (transaction.changes() == 0) return Outcome::notFound;
  if (!endSessionsOf(transaction, id)) return transaction.fail("removal of a desk account's sessions");
  return transaction.commit();
}

Outcome listAccounts(std::vector<DeskAccount>& accounts) {
  ReadSession session;
  accounts.clear();
  Statement query = session.prepare(std::string(selectAccount) + "ORDER BY name COLLATE NOCASE");
  int result;
  while ((result = query.step()) == SQLITE_ROW) accounts.push_back(accountFromRow(query));
  if (result == SQLITE_DONE) return Outcome::ok;
  accounts.clear();
  return session.fail("read of the desk accounts");
}

Outcome findAccount(const std::string& name, DeskAccount& account) {
  return readAccount("WHERE name = ?1", [&](Statement& query) { query.bind(1, name); }, account);
}

Outcome findAccountById(std::int64_t id, DeskAccount& account) {
  return readAccount("WHERE id = ?1", [&](Statement& query) { query.bind(1, id); }, account);
}

Outcome verifyLogin(const std::string& name, const std::string& password, DeskAccount& account) {
  std::optional<DeskAccount> found;
  std::string hash;
  if (checkAccountName(name).empty() && password.size() <= maxPasswordBytes) {
    ReadSession session;
    Statement query =
        session.prepare("SELECT id, name, " ACCOUNT_ROLE("desk_account") ", created_at, last_login_at, password_hash "
                        "FROM desk_account WHERE name = ?1");
    int result = query.bind(1, name).step();
    if (result == SQLITE_ROW) {
      found = accountFromRow(query);
      hash = query.text(5);
    } else if (result != SQLITE_DONE) {
      return session.fail("read of a desk account");
    }
  }
  if (!found) {
    // Unknown names cost one hash too, so timing does not tell which names exist.
    passwordMatches(decoyHash(), password);
    return Outcome::notFound;
  }
  if (!passwordMatches(hash, password)) return Outcome::notFound;
  account = *found;
  return Outcome::ok;
}

Outcome startSession(std::int64_t accountId, std::string& token) {
  unsigned char random[tokenBytes];
  randombytes_buf(random, sizeof random);
  std::string newToken = hexText(random, sizeof random);
  std::int64_t now = currentTimeMs();
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  // Ended sessions are cleared here, so the table does not grow with time.
  Statement clear = transaction.prepare(
      "DELETE FROM desk_session WHERE last_used_at < ?1 "
      "AND (last_used_at < ?2 OR account_id NOT IN (SELECT account_id FROM kiosk_account))");
  if (!clear.bind(1, now - sessionIdleLimitMs).bind(2, now - kioskSessionIdleLimitMs).run()) {
    return transaction.fail("removal of ended sessions");
  }
  Statement insert = transaction.prepare(
      "INSERT INTO desk_session (token_hash, account_id, created_at, last_used_at) VALUES (?1, ?2, ?3, ?3)");
  if (!insert.bind(1, tokenHash(newToken)).bind(2, accountId).bind(3, now).run()) return transaction.fail("write of a session");
  Statement login = transaction.prepare("UPDATE desk_account SET last_login_at = ?2 WHERE id = ?1");
  if (!login.bind(1, accountId).bind(2, now).run()) return transaction.fail("write of a login time");
  Outcome committed = transaction.commit();
  if (committed == Outcome::ok) token = newToken;
  return committed;
}

namespace {

// Marks a session used, unless another write holds the database: a later
// request marks it then, well within the idle limit, and a desk read never
// waits behind a write.
void touchSession(const std::string& hash, std::int64_t now) {
  WriteWaitBudget noWait(0);
  WriteTransaction transaction{WriteTransaction::IfFree{}};
  if (!transaction.begun()) return;
  Statement touch = transaction.prepare("UPDATE desk_session SET last_used_at = ?2 WHERE token_hash = ?1");
  if (touch.bind(1, hash).bind(2, now).run()) transaction.commit();
}

}  // namespace

namespace {
std::atomic<std::uint64_t> sessionLookups{0};
}  // namespace

std::uint64_t sessionLookupCount() { return sessionLookups.load(std::memory_order_relaxed); }

Outcome findSession(const std::string& token, DeskAccount& account) {
  sessionLookups.fetch_add(1, std::memory_order_relaxed);
  if (token.size() != tokenBytes * 2) return Outcome::notFound;
  std::string hash = tokenHash(token);
  std::int64_t now = currentTimeMs();
  std::int64_t lastUsed = 0;
  {
    ReadSession session;
    Statement query = session.prepare(
        "SELECT a.id, a.name, " ACCOUNT_ROLE("a") ", a.created_at, a.last_login_at, s.last_used_at FROM desk_session s "
        "JOIN desk_account a ON a.id = s.account_id WHERE s.token_hash = ?1");
    int result = query.bind(1, hash).step();
    if (result == SQLITE_DONE) return Outcome::notFound;
    if (result != SQLITE_ROW) return session.fail("read of a desk session");
    account = accountFromRow(query);
    lastUsed = query.integer(5);
  }
  if (now - lastUsed > sessionIdleLimitOf(account.role)) return Outcome::notFound;
  if (now - lastUsed >= sessionTouchIntervalMs) touchSession(hash, now);
  return Outcome::ok;
}

Outcome endSession(const std::string& token) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement remove = transaction.prepare("DELETE FROM desk_session WHERE token_hash = ?1");
  if (!remove.bind(1, tokenHash(token)).run()) return transaction.fail("removal of a session");
  return transaction.commit();
}

std::string prepareDemoAdmin() {
  const char alphabet[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::string password;
  for (int i = 0; i < 16; ++i) password += alphabet[randombytes_uniform(sizeof alphabet - 1)];
  DeskAccount existing;
  if (findAccount("reception", existing) == Outcome::ok) {
    return setPassword(existing.id, password) == Outcome::ok ? password : "";
  }
  DeskAccount added;
  return addAccount("reception", "admin", password, added) == Outcome::ok ? password : "";
}
