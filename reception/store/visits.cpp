#include "store/visits.h"

#include "store/clock.h"
#include "store/delivery_recorder.h"

namespace {

const char* const selectVisit =
    "SELECT v.id, v.guest_name, v.company, v.staff_id, coalesce(s.display_name, ''), v.check_in_method, "
    "v.checked_in_at FROM visit v LEFT JOIN staff s ON s.id = v.staff_id ";

VisitRow visitFromRow(const Statement& row) {
  VisitRow visit;
  visit.id = row.integer(0);
  visit.guestName = row.text(1);
  visit.company = row.text(2);
  visit.staffId = row.integer(3);
  visit.hostName = row.text(4);
  visit.method = row.text(5);
  visit.checkedInAt = row.integer(6);
  return visit;
}

Outcome insertVisit(WriteTransaction& transaction, const VisitStart& start, std::int64_t at, std::int64_t& visitId) {
  Statement insert = transaction.prepare(
      "INSERT INTO visit (guest_name, company, staff_id, check_in_method, checked_in_by, checked_in_at, "
      "house_rules_version, house_rules_sha256) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  insert.bind(1, start.guestName).bind(2, start.company).bind(3, start.staffId).bind(4, start.method);
  insert.bind(5, start.checkedInBy).bind(6, at).bindOptional(7, start.houseRulesVersion);
  if (!insert.bindOptional(8, start.houseRulesSha256).run()) return transaction.fail("write of a visit");
  visitId = transaction.lastInsertId();
  return Outcome::ok;
}

// A visit signed out ends the wait of its announcement still waiting, as a
// withdrawal does, in the sign-out's transaction; visits: "visit_id = ?1",
// or every visit on site. A delivery still being written is written first,
// so that the desk knows the notifier keeps showing the guest.
Outcome withdrawSignedOut(WriteTransaction& transaction, const std::string& visits, std::int64_t visitId,
                          std::int64_t at) {
  std::vector<std::int64_t> ids;
  {
    Statement waiting = transaction.prepare("SELECT id FROM notification WHERE archived_at IS NULL AND " + visits);
    if (visitId != 0) waiting.bind(1, visitId);
    int result;
    while ((result = waiting.step()) == SQLITE_ROW) ids.push_back(waiting.integer(0));
    if (result != SQLITE_DONE) return transaction.fail("read of the guests signed out");
  }
  for (std::int64_t id : ids) {
    if (!writePendingDelivery(transaction, id)) return transaction.fail("write of a delivery");
    Statement archive = transaction.prepare(
        "UPDATE notification SET archived_at = ?2, archived_by = ?3 WHERE id = ?1 AND archived_at IS NULL");
    if (!archive.bind(1, id).bind(2, at).bind(3, std::string(signedOutArchive)).run()) {
      return transaction.fail("write of a guest signed out");
    }
  }
  return Outcome::ok;
}

}  // namespace

Outcome startVisitIn(WriteTransaction& transaction, const VisitStart& start, int maxWaiting, NotificationRow& announced,
                     std::int64_t& visitId) {
  NotificationRow row;
  Outcome added = insertNotification(transaction, start.staffId, start.guestName, start.note, maxWaiting, row);
  if (added != Outcome::ok) return added;
  std::int64_t id = 0;
  if (Outcome inserted = insertVisit(transaction, start, row.arrivedAt, id); inserted != Outcome::ok) return inserted;
  Statement link = transaction.prepare("UPDATE notification SET visit_id = ?2 WHERE id = ?1");
  if (!link.bind(1, row.id).bind(2, id).run()) return transaction.fail("write of a visit");
  announced = row;
  visitId = id;
  return Outcome::ok;
}

Outcome startVisit(const VisitStart& start, int maxWaiting, NotificationRow& announced, std::int64_t& visitId) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  // Filled before the commit, which writes the audit entry that names the guest.
  Outcome started = startVisitIn(transaction, start, maxWaiting, announced, visitId);
  if (started != Outcome::ok) return started;
  return transaction.commit();
}

Outcome onSiteVisits(std::int64_t since, std::vector<VisitRow>& visits) {
  visits.clear();
  ReadSession session;
  static const std::string sql = std::string(selectVisit) +
                                 "WHERE v.signed_out_at IS NULL AND v.checked_in_at >= ?1 ORDER BY v.checked_in_at, v.id";
  Statement query = session.prepare(sql);
  query.bind(1, since);
  int result;
  while ((result = query.step()) == SQLITE_ROW) visits.push_back(visitFromRow(query));
  if (result == SQLITE_DONE) return Outcome::ok;
  visits.clear();
  return session.fail("read of the visits on site");
}

Outcome signOutVisit(std::int64_t id, const std::string& by, VisitRow& visit) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  static const std::string sql = std::string(selectVisit) + "WHERE v.id = ?1 AND v.signed_out_at IS NULL";
  Statement read = transaction.prepare(sql);
  int found = read.bind(1, id).step();
  if (found == SQLITE_DONE) return Outcome::notFound;
  if (found != SQLITE_ROW) return transaction.fail("read of a visit");
  VisitRow row = visitFromRow(read);
  std::int64_t now = currentTimeMs();
  Statement update = transaction.prepare("UPDATE visit SET signed_out_at = ?2, signed_out_by = ?3 WHERE id = ?1");
  if (!update.bind(1, id).bind(2, now).bind(3, by).run()) return transaction.fail("write of a sign-out");
  if (Outcome ended = withdrawSignedOut(transaction, "visit_id = ?1", id, now); ended != Outcome::ok) return ended;
  visit = row;  // before the commit, which writes the audit entry that names the guest
  return transaction.commit();
}

Outcome signOutEveryone(const std::string& by, std::int64_t& count) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  std::int64_t now = currentTimeMs();
  Outcome ended = withdrawSignedOut(
      transaction, "visit_id IN (SELECT id FROM visit WHERE signed_out_at IS NULL)", 0, now);
  if (ended != Outcome::ok) return ended;
  Statement update = transaction.prepare(
      "UPDATE visit SET signed_out_at = ?1, signed_out_by = ?2 WHERE signed_out_at IS NULL");
  if (!update.bind(1, now).bind(2, by).run()) return transaction.fail("write of the automatic sign-out");
  count = transaction.changes();
  return transaction.commit();
}

Outcome findActiveHosts(const std::string& part, std::size_t limit, std::vector<HostName>& hosts) {
  hosts.clear();
  std::string pattern = "%";
  for (char c : part) {
    if (c == '%' || c == '_' || c == '\\') pattern += '\\';
    pattern += c;
  }
  pattern += '%';
  ReadSession session;
  Statement query = session.prepare(
      "SELECT id, display_name FROM staff WHERE removed_at IS NULL AND display_name LIKE ?1 ESCAPE '\\' "
      "ORDER BY display_name, id LIMIT ?2");
  query.bind(1, pattern).bind(2, static_cast<std::int64_t>(limit));
  int result;
  while ((result = query.step()) == SQLITE_ROW) hosts.push_back(HostName{query.integer(0), query.text(1)});
  if (result == SQLITE_DONE) return Outcome::ok;
  hosts.clear();
  return session.fail("read of the kiosk's host search");
}
