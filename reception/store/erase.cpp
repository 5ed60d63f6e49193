#include "store/erase.h"

#include <set>
#include <vector>


namespace {

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
