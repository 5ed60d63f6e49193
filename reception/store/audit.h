// The audit log: every desk write, with its time, account, client address
// and what changed. Never a password, a session token or the notifier key.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store/database.h"

struct AuditEntry {
  std::int64_t id = 0;
  std::int64_t at = 0;
  std::string account;
  std::string address;
  std::string action;  // "login", "announce", "account-add", ...
  std::string detail;
};

constexpr int auditPageSize = 50;

// The audit entry of the change this thread is about to make: while it
// lives, the next write transaction to commit on this thread writes the
// entry first, in the same transaction, so a change is never saved without
// its entry (nor an entry without its change). The entry is made at that
// moment, so it may read what the change filled in (a new row's id).
class AuditedChange {
 public:
  explicit AuditedChange(std::function<AuditEntry()> entry);
  // Whether a transaction took the entry in (with its change).
  bool written() const { return note_.written(); }

 private:
  CommitNote note_;
};

// Stores one entry on its own: for events that change nothing else (a
// failed login, a sync that stopped).
Outcome recordAudit(const std::string& account, const std::string& address, const std::string& action,
                    const std::string& detail);
// The client address and time of the correct desk logins since since, the
// newest of each address first, at most limit addresses.
Outcome recentLogins(std::int64_t since, std::size_t limit, std::vector<std::pair<std::string, std::int64_t>>& logins);
// Up to limit entries, newest first, with ids below before when given.
Outcome auditPage(std::optional<std::int64_t> before, int limit, std::vector<AuditEntry>& entries);
// The newest entry whose action is one of actions, or none.
Outcome latestAuditOf(const std::vector<std::string>& actions, std::optional<AuditEntry>& entry);
