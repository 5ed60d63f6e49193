#include "store/audit.h"

#include "store/clock.h"

#include <set>

namespace {

Outcome insertEntry(WriteTransaction& transaction, const std::string& account, const std::string& address,
                    const std::string& action, const std::string& detail) {
  Statement insert =
      transaction.prepare("INSERT INTO audit_log (at, account, address, action, detail) VALUES (?1, ?2, ?3, ?4, ?5)");
  if (!insert.bind(1, currentTimeMs()).bind(2, account).bind(3, address).bind(4, action).bind(5, detail).run()) {
    return transaction.fail("write of an audit entry");
  }
  return Outcome::ok;
}

}  // namespace

AuditedChange::AuditedChange(std::function<AuditEntry()> entry)
    : note_([entry = std::move(entry)](WriteTransaction& transaction) {
        AuditEntry made = entry();
        return insertEntry(transaction, made.account, made.address, made.action, made.detail);
      }) {}

Outcome recordAudit(const std::string& account, const std::string& address, const std::string& action,
                    const std::string& detail) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Outcome inserted = insertEntry(transaction, account, address, action, detail);
  return inserted == Outcome::ok ? transaction.commit() : inserted;
}

Outcome auditPage(std::optional<std::int64_t> before, int limit, std::vector<AuditEntry>& entries) {
  ReadSession session;
  Statement query = session.prepare(
      "SELECT id, at, account, address, action, detail FROM audit_log WHERE id < ?1 ORDER BY id DESC LIMIT ?2");
  query.bind(1, before.value_or(INT64_MAX)).bind(2, std::int64_t{limit});
  entries.clear();
  int result;
  while ((result = query.step()) == SQLITE_ROW) {
    entries.push_back(
        AuditEntry{query.integer(0), query.integer(1), query.text(2), query.text(3), query.text(4), query.text(5)});
  }
  if (result == SQLITE_DONE) return Outcome::ok;
  entries.clear();
  return session.fail("read of the audit log");
}

Outcome latestAuditOf(const std::vector<std::string>& actions, std::optional<AuditEntry>& entry) {
  entry.reset();
  ReadSession session;
  for (const std::string& action : actions) {
    Statement query = session.prepare(
        "SELECT id, at, account, address, action, detail FROM audit_log WHERE action = ?1 ORDER BY id DESC LIMIT 1");
    query.bind(1, action);
    int result = query.step();
    if (result == SQLITE_ROW && (!entry || query.integer(0) > entry->id)) {
      entry = AuditEntry{query.integer(0), query.integer(1), query.text(2), query.text(3), query.text(4), query.text(5)};
    } else if (result != SQLITE_ROW && result != SQLITE_DONE) {
      entry.reset();
      return session.fail("read of the audit log");
    }
  }
  return Outcome::ok;
}

Outcome recentLogins(std::int64_t since, std::size_t limit, std::vector<std::pair<std::string, std::int64_t>>& logins) {
  ReadSession session;
  // Newest first by id (the log only grows), so the scan stops at the window's start.
  Statement query = session.prepare("SELECT address, at FROM audit_log WHERE action = 'login' ORDER BY id DESC");
  logins.clear();
  std::set<std::string> seen;
  int result;
  while ((result = query.step()) == SQLITE_ROW && logins.size() < limit) {
    std::int64_t at = query.integer(1);
    if (at < since) return Outcome::ok;
    std::string address = query.text(0);
    if (seen.insert(address).second) logins.emplace_back(std::move(address), at);
  }
  if (result == SQLITE_DONE || result == SQLITE_ROW) return Outcome::ok;
  logins.clear();
  return session.fail("read of the desk's logins");
}
