#include "store/audit.h"

#include "store/clock.h"

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
