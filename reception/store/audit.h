// The audit log: every desk write, with its time, account, client address
// and what changed. Never a password, a session token or the notifier key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct AuditEntry {
  std::int64_t id = 0;
  std::int64_t at = 0;
  std::string account;
  std::string address;
  std::string action;  // "login", "announce", "account-add", ...
  std::string detail;
};

extern const char auditSchemaSql[];

constexpr int auditPageSize = 50;

// Stores one entry; a failure is reported on stderr and does not stop the
// write it describes, which has already happened.
void recordAudit(const std::string& account, const std::string& address, const std::string& action,
                 const std::string& detail);
// Up to limit entries, newest first, with ids below before when given.
std::vector<AuditEntry> auditPage(std::optional<std::int64_t> before, int limit);
