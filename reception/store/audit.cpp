#include "audit.h"

#include <mutex>

#include "database.h"
#include "storage.h"

const char auditSchemaSql[] = R"sql(
CREATE TABLE IF NOT EXISTS audit_log (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  at INTEGER NOT NULL,
  account TEXT NOT NULL,
  address TEXT NOT NULL,
  action TEXT NOT NULL,
  detail TEXT NOT NULL
);
)sql";

void recordAudit(const std::string& account, const std::string& address, const std::string& action,
                 const std::string& detail) {
  std::int64_t now = currentTimeMs();
  std::lock_guard<std::mutex> lock(databaseMutex);
  Use insert("INSERT INTO audit_log (at, account, address, action, detail) VALUES (?1, ?2, ?3, ?4, ?5)");
  insert.bind(1, now).bind(2, account).bind(3, address).bind(4, action).bind(5, detail).run();
}

std::vector<AuditEntry> auditPage(std::optional<std::int64_t> before, int limit) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Use query(
      "SELECT id, at, account, address, action, detail FROM audit_log WHERE id < ?1 ORDER BY id DESC LIMIT ?2");
  query.bind(1, before.value_or(INT64_MAX)).bind(2, std::int64_t{limit});
  std::vector<AuditEntry> entries;
  while (query.step() == SQLITE_ROW) {
    entries.push_back(
        AuditEntry{query.integer(0), query.integer(1), query.text(2), query.text(3), query.text(4), query.text(5)});
  }
  return entries;
}
