// The audit log: every desk write, with its time, account, client address
// and what changed. Never a password, a session token or the notifier key.
#pragma once

#include <cstdint>
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

// Stores one entry; a failure is logged and does not undo the write it
// describes, which has already happened.
Outcome recordAudit(const std::string& account, const std::string& address, const std::string& action,
                    const std::string& detail);
// The client address and time of the correct desk logins since since, the
// newest of each address first, at most limit addresses.
Outcome recentLogins(std::int64_t since, std::size_t limit, std::vector<std::pair<std::string, std::int64_t>>& logins);
// Up to limit entries, newest first, with ids below before when given.
Outcome auditPage(std::optional<std::int64_t> before, int limit, std::vector<AuditEntry>& entries);
// The newest entry whose action is one of actions, or none.
Outcome latestAuditOf(const std::vector<std::string>& actions, std::optional<AuditEntry>& entry);
