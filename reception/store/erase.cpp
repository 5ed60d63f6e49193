#include "store/erase.h"

#include <set>
#include <vector>

#include "store/audit.h"

namespace {

// Every table a visitor's name or address may be in.
constexpr char visitorTables[] = "visit, notification, invitation, alert_outbox, audit_log";
// A rewrite waits this long for a table another instance is using, then gives up (to be tried again).
constexpr char rewriteLockTimeout[] = "SET lock_timeout = '30s'";

// The visits of the visitor, and every name they were known by (an
// invitation's name, found by its email, names the visitor too).
Outcome findVisitor(WriteTransaction& transaction, const VisitorToErase& visitor, std::vector<std::int64_t>& visits,
                    std::set<std::string>& names) {
  if (!visitor.guestName.empty()) names.insert(visitor.guestName);
  Statement query = transaction.prepare(
      "SELECT v.id, v.guest_name FROM visit v WHERE (?1 != '' AND v.guest_name = ?1 COLLATE NOCASE) "
      "OR v.id IN (SELECT visit_id FROM invitation WHERE visit_id IS NOT NULL AND "
      "((?1 != '' AND guest_name = ?1 COLLATE NOCASE) OR (?2 != '' AND guest_email = ?2 COLLATE NOCASE)))");
  query.bind(1, visitor.guestName).bind(2, visitor.guestEmail);
  int result;
  while ((result = query.step()) == SQLITE_ROW) {
    visits.push_back(query.integer(0));
    names.insert(query.text(1));
  }
  if (result != SQLITE_DONE) return transaction.fail("read of a visitor's visits");
  Statement invited = transaction.prepare(
      "SELECT guest_name FROM invitation WHERE (?1 != '' AND guest_name = ?1 COLLATE NOCASE) "
      "OR (?2 != '' AND guest_email = ?2 COLLATE NOCASE)");
  invited.bind(1, visitor.guestName).bind(2, visitor.guestEmail);
  while ((result = invited.step()) == SQLITE_ROW) names.insert(invited.text(0));
  if (result != SQLITE_DONE) return transaction.fail("read of a visitor's invitations");
  // Announcements from before visits were kept, as their names were spelt.
  Statement older = transaction.prepare("SELECT DISTINCT headline FROM notification WHERE headline = ?1 COLLATE NOCASE");
  older.bind(1, visitor.guestName);
  while ((result = older.step()) == SQLITE_ROW) names.insert(older.text(0));
  return result == SQLITE_DONE ? Outcome::ok : transaction.fail("read of a visitor's announcements");
}

// Deletes the rows; erased counts the visits and the announcements that had none.
Outcome deleteVisitor(WriteTransaction& transaction, const VisitorToErase& visitor, const std::vector<std::int64_t>& visits,
                      const std::set<std::string>& names, std::int64_t& erased) {
  for (std::int64_t id : visits) {
    // The announcements' alert rows and reply links go with them (a trigger).
    if (!transaction.prepare("DELETE FROM notification WHERE visit_id = ?1").bind(1, id).run() ||
        !transaction.prepare("DELETE FROM invitation WHERE visit_id = ?1").bind(1, id).run() ||
        !transaction.prepare("DELETE FROM visit WHERE id = ?1").bind(1, id).run()) {
      return transaction.fail("erasure of a visit");
    }
  }
  erased = static_cast<std::int64_t>(visits.size());
  for (const std::string& name : names) {
    Statement older = transaction.prepare("DELETE FROM notification WHERE visit_id IS NULL AND headline = ?1 COLLATE NOCASE");
    if (!older.bind(1, name).run()) return transaction.fail("erasure of announcements");
    erased += transaction.changes();
  }
  Statement invitations = transaction.prepare(
      "DELETE FROM invitation WHERE (?1 != '' AND guest_name = ?1 COLLATE NOCASE) OR (?2 != '' AND guest_email = ?2 COLLATE NOCASE)");
  if (!invitations.bind(1, visitor.guestName).bind(2, visitor.guestEmail).run()) return transaction.fail("erasure of invitations");
  return Outcome::ok;
}

// Audit entries keep what was done, not to whom.
Outcome rewriteAudit(WriteTransaction& transaction, const VisitorToErase& visitor, const std::set<std::string>& names) {
  std::set<std::string> texts = names;
  if (!visitor.guestEmail.empty()) texts.insert(visitor.guestEmail);
  for (const std::string& text : texts) {
    if (text.empty()) continue;
    Statement rewrite = transaction.prepare(
        "UPDATE audit_log SET detail = replace(detail, ?1, ?2) WHERE instr(detail, ?1) > 0");
    if (!rewrite.bind(1, text).bind(2, std::string(erasedName)).run()) return transaction.fail("rewrite of the audit log");
  }
  return Outcome::ok;
}

}  // namespace

Outcome eraseVisitor(const VisitorToErase& visitor, std::int64_t& erased) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  std::vector<std::int64_t> visits;
  std::set<std::string> names;
  Outcome done = findVisitor(transaction, visitor, visits, names);
  std::int64_t count = 0;
  if (done == Outcome::ok) done = deleteVisitor(transaction, visitor, visits, names, count);
  if (done == Outcome::ok) done = rewriteAudit(transaction, visitor, names);
  if (done != Outcome::ok) return done;
  erased = count;  // before the commit, which writes the audit entry with the count
  return transaction.commit();
}

std::string rewriteVisitorTables() {
  if (!databaseOnPostgres()) return "";
  SetupConnection setup;
  // One statement each: VACUUM cannot run inside the transaction a multi-statement text makes.
  bool done = setup.execute(rewriteLockTimeout) && setup.execute((std::string("VACUUM FULL ") + visitorTables).c_str());
  std::string error = done ? "" : setup.lastError();
  setup.execute("RESET lock_timeout");
  return error;
}

Outcome rewriteAfterErase(const std::string& who) {
  if (!databaseOnPostgres()) return Outcome::ok;
  // An erase that commits while the tables are copied may be missed by the
  // copy: the rewrite counts as done only when no erase came meanwhile.
  for (int round = 0; round < 3; ++round) {
    std::optional<AuditEntry> erased;
    std::optional<AuditEntry> rewritten;
    Outcome read = latestAuditOf({eraseAction}, erased);
    if (read == Outcome::ok) read = latestAuditOf({rewriteAction}, rewritten);
    if (read != Outcome::ok) return read;
    if (!erased || (rewritten && rewritten->id > erased->id)) return Outcome::ok;
    std::string error = rewriteVisitorTables();
    if (!error.empty()) {
      // Not the rewrite's action: the erase stays due, and is tried again.
      recordAudit(who, "", rewriteFailedAction, ("failed, to be tried again: " + error).substr(0, 500));
      return Outcome::failed;
    }
    std::optional<AuditEntry> since;
    read = latestAuditOf({eraseAction}, since);
    if (read != Outcome::ok) return read;
    if (since && since->id == erased->id) {
      recordAudit(who, "", rewriteAction, std::string("rewrote ") + visitorTables);
      return Outcome::ok;
    }
  }
  return Outcome::ok;  // still due: the next round rewrites again
}
