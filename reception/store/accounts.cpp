#include "accounts.h"

#include <sodium.h>

#include <mutex>

#include "database.h"
#include "storage.h"

const char accountsSchemaSql[] = R"sql(
CREATE TABLE IF NOT EXISTS desk_account (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE COLLATE NOCASE,
  role TEXT NOT NULL CHECK (role IN ('desk', 'admin')),
  password_hash TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  last_login_at INTEGER
);
CREATE TABLE IF NOT EXISTS desk_session (
  token_hash TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES desk_account(id) ON DELETE CASCADE,
  created_at INTEGER NOT NULL,
  last_used_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS desk_session_account ON desk_session(account_id);
)sql";

PasswordCost passwordCost{crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};

namespace {

// A session's last use is written at most this often, not on every request.
constexpr std::int64_t sessionTouchIntervalMs = 60LL * 1000;
constexpr std::size_t tokenBytes = 32;

const char* const selectAccount = "SELECT id, name, role, created_at, last_login_at FROM desk_account ";

DeskAccount accountFromRow(const Use& row) {
  return DeskAccount{row.integer(0), row.text(1), row.text(2), row.integer(3), row.optionalInteger(4)};
}

std::string toHex(const unsigned char* bytes, std::size_t size) {
  std::string hex(size * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  hex.pop_back();
  return hex;
}

// What is stored of a token: its BLAKE2b hash, so stored rows cannot be replayed.
std::string tokenHash(const std::string& token) {
  unsigned char hash[crypto_generichash_BYTES];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(token.data()), token.size(), nullptr, 0);
  return toHex(hash, sizeof hash);
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
    return hashPassword(toHex(random, sizeof random));
  }();
  return decoy;
}

bool endSessionsOf(std::int64_t accountId) {
  return Use("DELETE FROM desk_session WHERE account_id = ?1").bind(1, accountId).run();
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

bool isRole(const std::string& role) { return role == "desk" || role == "admin"; }

AccountResult addAccount(const std::string& name, const std::string& role, const std::string& password,
                         DeskAccount& added) {
  std::string hash = hashPassword(password);
  if (hash.empty()) return AccountResult::failed;
  std::int64_t now = currentTimeMs();
  std::lock_guard<std::mutex> lock(databaseMutex);
  Use insert("INSERT INTO desk_account (name, role, password_hash, created_at) VALUES (?1, ?2, ?3, ?4)");
  int result = insert.bind(1, name).bind(2, role).bind(3, hash).bind(4, now).step();
  if (result == SQLITE_CONSTRAINT) return AccountResult::duplicate;
  if (result != SQLITE_DONE) {
    reportError("write");
    return AccountResult::failed;
  }
  added = DeskAccount{sqlite3_last_insert_rowid(database), name, role, now, std::nullopt};
  return AccountResult::done;
}

AccountResult removeAccount(std::int64_t id, bool keepAnAdmin) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Transaction transaction;
  if (!transaction.begun()) return AccountResult::failed;
  if (keepAnAdmin) {
    Use admins("SELECT count(*) FROM desk_account WHERE role = 'admin' AND id != ?1");
    Use target("SELECT role FROM desk_account WHERE id = ?1");
    if (admins.bind(1, id).step() != SQLITE_ROW) return AccountResult::failed;
    if (target.bind(1, id).step() == SQLITE_ROW && target.text(0) == "admin" && admins.integer(0) == 0) {
      return AccountResult::lastAdmin;
    }
  }
  if (!endSessionsOf(id)) return AccountResult::failed;
  if (!Use("DELETE FROM desk_account WHERE id = ?1").bind(1, id).run()) return AccountResult::failed;
  if (sqlite3_changes(database) == 0) return AccountResult::notFound;
  return transaction.commit() ? AccountResult::done : AccountResult::failed;
}

AccountResult setPassword(std::int64_t id, const std::string& password) {
  std::string hash = hashPassword(password);
  if (hash.empty()) return AccountResult::failed;
  std::lock_guard<std::mutex> lock(databaseMutex);
  Transaction transaction;
  if (!transaction.begun()) return AccountResult::failed;
  if (!Use("UPDATE desk_account SET password_hash = ?2 WHERE id = ?1").bind(1, id).bind(2, hash).run()) {
    return AccountResult::failed;
  }
  if (sqlite3_changes(database) == 0) return AccountResult::notFound;
  if (!endSessionsOf(id)) return AccountResult::failed;
  return transaction.commit() ? AccountResult::done : AccountResult::failed;
}

std::vector<DeskAccount> listAccounts() {
  std::lock_guard<std::mutex> lock(databaseMutex);
  std::vector<DeskAccount> accounts;
  Use query(std::string(selectAccount) + "ORDER BY name COLLATE NOCASE");
  while (query.step() == SQLITE_ROW) accounts.push_back(accountFromRow(query));
  return accounts;
}

std::optional<DeskAccount> findAccount(const std::string& name) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Use query(std::string(selectAccount) + "WHERE name = ?1");
  if (query.bind(1, name).step() != SQLITE_ROW) return std::nullopt;
  return accountFromRow(query);
}

std::optional<DeskAccount> findAccountById(std::int64_t id) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Use query(std::string(selectAccount) + "WHERE id = ?1");
  if (query.bind(1, id).step() != SQLITE_ROW) return std::nullopt;
  return accountFromRow(query);
}

std::optional<DeskAccount> verifyLogin(const std::string& name, const std::string& password) {
  std::optional<DeskAccount> account;
  std::string hash;
  if (checkAccountName(name).empty() && password.size() <= maxPasswordBytes) {
    std::lock_guard<std::mutex> lock(databaseMutex);
    Use query("SELECT id, name, role, created_at, last_login_at, password_hash FROM desk_account WHERE name = ?1");
    if (query.bind(1, name).step() == SQLITE_ROW) {
      account = accountFromRow(query);
      hash = query.text(5);
    }
  }
  if (!account) {
    passwordMatches(decoyHash(), password);
    return std::nullopt;
  }
  return passwordMatches(hash, password) ? account : std::nullopt;
}

std::string startSession(std::int64_t accountId) {
  unsigned char random[tokenBytes];
  randombytes_buf(random, sizeof random);
  std::string token = toHex(random, sizeof random);
  std::int64_t now = currentTimeMs();
  std::lock_guard<std::mutex> lock(databaseMutex);
  Transaction transaction;
  if (!transaction.begun()) return "";
  // Ended sessions are cleared here, so the table does not grow with time.
  if (!Use("DELETE FROM desk_session WHERE last_used_at < ?1").bind(1, now - sessionIdleLimitMs).run()) return "";
  Use insert("INSERT INTO desk_session (token_hash, account_id, created_at, last_used_at) VALUES (?1, ?2, ?3, ?3)");
  if (!insert.bind(1, tokenHash(token)).bind(2, accountId).bind(3, now).run()) return "";
  if (!Use("UPDATE desk_account SET last_login_at = ?2 WHERE id = ?1").bind(1, accountId).bind(2, now).run()) return "";
  return transaction.commit() ? token : "";
}

namespace {

// Marks a session used, unless another write holds the database: a later
// request marks it then, well within the idle limit, and a desk read never
// waits behind a write.
void touchSession(const std::string& hash, std::int64_t now) {
  std::unique_lock<std::mutex> lock(databaseMutex, std::try_to_lock);
  if (!lock.owns_lock()) return;
  Use touch("UPDATE desk_session SET last_used_at = ?2 WHERE token_hash = ?1");
  touch.bind(1, hash).bind(2, now).step();  // busy: as above
}

}  // namespace

std::optional<DeskAccount> findSession(const std::string& token) {
  if (token.size() != tokenBytes * 2) return std::nullopt;
  std::string hash = tokenHash(token);
  std::int64_t now = currentTimeMs();
  DeskAccount account;
  std::int64_t lastUsed = 0;
  {
    std::unique_lock<std::mutex> lock = lockForReading();
    Use query = Use::reading(
        "SELECT a.id, a.name, a.role, a.created_at, a.last_login_at, s.last_used_at FROM desk_session s "
        "JOIN desk_account a ON a.id = s.account_id WHERE s.token_hash = ?1");
    int result = query.bind(1, hash).step();
    if (result != SQLITE_ROW) {
      if (result != SQLITE_DONE) reportError("read of a desk session", readDatabase);
      return std::nullopt;
    }
    account = accountFromRow(query);
    lastUsed = query.integer(5);
  }
  if (now - lastUsed > sessionIdleLimitMs) return std::nullopt;
  if (now - lastUsed >= sessionTouchIntervalMs) touchSession(hash, now);
  return account;
}

void endSession(const std::string& token) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Use("DELETE FROM desk_session WHERE token_hash = ?1").bind(1, tokenHash(token)).run();
}

std::string prepareDemoAdmin() {
  const char alphabet[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::string password;
  for (int i = 0; i < 16; ++i) password += alphabet[randombytes_uniform(sizeof alphabet - 1)];
  std::optional<DeskAccount> existing = findAccount("reception");
  if (existing) return setPassword(existing->id, password) == AccountResult::done ? password : "";
  DeskAccount added;
  return addAccount("reception", "admin", password, added) == AccountResult::done ? password : "";
}
