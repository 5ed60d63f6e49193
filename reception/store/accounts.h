// Desk accounts and their sessions in the service's database. A password is
// kept only as an Argon2id hash and a session only as a hash of its token,
// so a copy of the database lets nobody in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct DeskAccount {
  std::int64_t id = 0;
  std::string name;
  std::string role;  // "desk" or "admin"
  std::int64_t createdAt = 0;
  std::optional<std::int64_t> lastLoginAt;
};

// CREATE ... IF NOT EXISTS statements for the accounts and sessions tables.
extern const char accountsSchemaSql[];

constexpr std::size_t minPasswordBytes = 8;
constexpr std::size_t maxPasswordBytes = 1024;
constexpr std::size_t maxAccountNameBytes = 64;
// A session not used for this long has ended.
constexpr std::int64_t sessionIdleLimitMs = 12LL * 60 * 60 * 1000;

// Argon2id cost per hash. The service always uses libsodium's interactive
// limits (64 MiB, 2 passes); tests lower them through this seam.
struct PasswordCost {
  unsigned long long operations;
  std::size_t memoryBytes;
};
extern PasswordCost passwordCost;

// Initialises libsodium; false when it cannot (no usable random source).
bool initAccounts();

// "" or a message for the user.
std::string checkAccountName(const std::string& name);
std::string checkPassword(const std::string& password);
bool isRole(const std::string& role);

enum class AccountResult { done, duplicate, notFound, lastAdmin, failed };

// Each hashes outside the database lock; the password is never stored or logged.
AccountResult addAccount(const std::string& name, const std::string& role, const std::string& password,
                         DeskAccount& added);
// Ends the account's sessions too. With keepAnAdmin, the last admin stays.
AccountResult removeAccount(std::int64_t id, bool keepAnAdmin);
// Ends the account's sessions too.
AccountResult setPassword(std::int64_t id, const std::string& password);
std::vector<DeskAccount> listAccounts();
std::optional<DeskAccount> findAccount(const std::string& name);
std::optional<DeskAccount> findAccountById(std::int64_t id);

// The account when name and password match. Unknown names cost one hash
// too, so timing does not tell which names exist.
std::optional<DeskAccount> verifyLogin(const std::string& name, const std::string& password);

// A new session for the account (its last login is set): the token for the
// cookie, 256 random bits as hex, or "" when it could not be stored.
std::string startSession(std::int64_t accountId);
// The session's account while the session lasts; marks it used.
std::optional<DeskAccount> findSession(const std::string& token);
void endSession(const std::string& token);

// The demo's admin account "reception", added or given a new random
// password: the password, or "" when it could not be saved.
std::string prepareDemoAdmin();
