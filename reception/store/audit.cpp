#include "store/audit.h"

#include "store/clock.h"

namespace {

thread_local AuditedChange* pendingChange = nullptr;

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

AuditedChange::AuditedChange(std::function<AuditEntry()> entry) : entry_(std::move(entry)), outer_(pendingChange) {
  pendingChange = this;
}

AuditedChange::~AuditedChange() {
  if (pendingChange == this) pendingChange = outer_;
}

Outcome writePendingAudit(WriteTransaction& transaction) {
  AuditedChange* change = pendingChange;
  if (change == nullptr || change->written_) return Outcome::ok;
  AuditEntry entry = change->entry_();
  Outcome inserted = insertEntry(transaction, entry.account, entry.address, entry.action, entry.detail);
  // Written once, by the first commit; should this one fail, the change went with it.
  if (inserted == Outcome::ok) change->written_ = true;
  return inserted;
}

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
