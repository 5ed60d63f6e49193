// Desk accounts and their sessions in the service's database. A password is
// kept only as an Argon2id hash and a session only as a hash of its token,
// so a copy of the database lets nobody in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/database.h"

struct DeskAccount {
  std::int64_t id = 0;
  std::string name;
  std::string role;  // "desk", "admin" or "kiosk" (the self check-in tablet: /api/kiosk/ only)
  std::int64_t createdAt = 0;
  std::optional<std::int64_t> lastLoginAt;
};

constexpr std::size_t minPasswordBytes = 8;
constexpr std::size_t maxPasswordBytes = 1024;
constexpr std::size_t maxAccountNameBytes = 64;
// A session not used for this long has ended.
constexpr std::int64_t sessionIdleLimitMs = 12LL * 60 * 60 * 1000;
// A kiosk's tablet stays signed in; its session ends after this long unused.
constexpr std::int64_t kioskSessionIdleLimitMs = 90LL * 24 * 60 * 60 * 1000;
std::int64_t sessionIdleLimitOf(const std::string& role);

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

// Each hashes outside the database lock; the password is never stored or
// logged. add: conflict when the name is taken. remove (ending the
// account's sessions too): conflict when keepAnAdmin and it is the last admin.
Outcome addAccount(const std::string& name, const std::string& role, const std::string& password, DeskAccount& added);
Outcome removeAccount(std::int64_t id, bool keepAnAdmin);
// Ends the account's sessions too.
Outcome setPassword(std::int64_t id, const std::string& password);
Outcome listAccounts(std::vector<DeskAccount>& accounts);
Outcome findAccount(const std::string& name, DeskAccount& account);
Outcome findAccountById(std::int64_t id, DeskAccount& account);

// The account when name and password match. Unknown names cost one hash
// too, so timing does not tell which names exist.
// notFound for a wrong name or password.
Outcome verifyLogin(const std::string& name, const std::string& password, DeskAccount& account);

// A new session for the account (its last login is set): the token for the
// cookie, 256 random bits as hex, or "" when it could not be stored.
Outcome startSession(std::int64_t accountId, std::string& token);
// The session's account while the session lasts; marks it used.
// notFound when there is no such session or it has ended.
Outcome findSession(const std::string& token, DeskAccount& account);
// How many times findSession has been asked since start: a request decides
// its session once, when its headers arrive.
std::uint64_t sessionLookupCount();
Outcome endSession(const std::string& token);

// The demo's admin account "reception", added or given a new random
// password: the password, or "" when it could not be saved.
std::string prepareDemoAdmin();
