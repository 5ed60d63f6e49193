#include "store/notifications.h"

#include <algorithm>
#include <ctime>
#include <iterator>

#include "metrics/metrics.h"
#include "store/clock.h"
#include "store/delivery_recorder.h"
#include "store/staff.h"

namespace {

// The columns notificationFromRow reads, with the host's name and the visit's company
// (none for guests announced before visits were kept), ready for a WHERE clause.
const char* const selectNotification =
    "SELECT n.id, n.staff_id, s.display_name, n.headline, n.detail, n.arrived_at, n.delivered_at, n.archived_at, "
    "coalesce(n.archived_by, ''), n.delivered_at IS NOT NULL AND n.archived_by IN ('desk', 'reassigned', 'signed out') "
    "AND n.closed_on_screen_at IS NULL, n.seen_on_page_at, coalesce(v.company, '') "
    "FROM notification n JOIN staff s ON s.id = n.staff_id LEFT JOIN visit v ON v.id = n.visit_id ";

NotificationRow notificationFromRow(const Statement& row) {
  NotificationRow n;
  n.id = row.integer(0);
  n.staffId = row.integer(1);
  n.hostName = row.text(2);
  n.headline = row.text(3);
  n.detail = row.text(4);
  n.arrivedAt = row.integer(5);
  n.deliveredAt = row.optionalInteger(6);
  n.archivedAt = row.optionalInteger(7);
  n.archivedBy = row.text(8);
  n.stillOnScreen = row.integer(9) != 0;
  n.seenOnPageAt = row.optionalInteger(10);
  n.company = row.text(11);
  return n;
}

// A guest the desk (or a sign-out) took away from a host: a notifier that
// was shown the guest keeps it until Close.
bool isWithdrawal(const std::string& archivedBy) {
  return archivedBy == "desk" || archivedBy == "reassigned" || archivedBy == signedOutArchive;
}

// A guest a notifier was shown whose delivery is still being written counts as delivered.
NotificationRow withPendingDelivery(NotificationRow row) {
  if (row.deliveredAt) return row;
  row.deliveredAt = pendingDelivery(row.id);
  row.stillOnScreen = row.deliveredAt && isWithdrawal(row.archivedBy);
  return row;
}

// Every row of a query of selectNotification's columns; a read error is never a shorter list.
Outcome readRows(ReadSession& session, Statement& query, const char* what, std::vector<NotificationRow>& rows) {
  rows.clear();
  int result;
  while ((result = query.step()) == SQLITE_ROW) rows.push_back(withPendingDelivery(notificationFromRow(query)));
  if (result == SQLITE_DONE) return Outcome::ok;
  rows.clear();
  return session.fail(what);
}

}  // namespace

Outcome insertNotification(WriteTransaction& transaction, std::int64_t staffId, const std::string& headline,
                           const std::string& detail, int maxWaiting, NotificationRow& added) {
  Statement host = transaction.prepare(
      "SELECT display_name, (SELECT count(*) FROM notification WHERE staff_id = ?1 AND archived_at IS NULL) "
      "FROM staff WHERE id = ?1 AND removed_at IS NULL");
  int found = host.bind(1, staffId).step();
  if (found == SQLITE_DONE) return Outcome::notFound;
  if (found != SQLITE_ROW) return transaction.fail("read of a host");
  if (host.integer(1) >= maxWaiting) return Outcome::conflict;
  NotificationRow row;
  row.staffId = staffId;
  row.hostName = host.text(0);
  row.headline = headline;
  row.detail = detail;
  row.arrivedAt = currentTimeMs();
  Statement insert =
      transaction.prepare("INSERT INTO notification (staff_id, headline, detail, arrived_at) VALUES (?1, ?2, ?3, ?4)");
  if (!insert.bind(1, staffId).bind(2, headline).bind(3, detail).bind(4, row.arrivedAt).run()) {
    return transaction.fail("write of a guest");
  }
  row.id = transaction.lastInsertId();
  added = row;  // before the commit, which writes the audit entry that names it
  return Outcome::ok;
}

Outcome addNotification(std::int64_t staffId, const std::string& headline, const std::string& detail, int maxWaiting,
                        NotificationRow& added) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Outcome inserted = insertNotification(transaction, staffId, headline, detail, maxWaiting, added);
  if (inserted != Outcome::ok) return inserted;
  return transaction.commit();
}

Outcome archiveWaitingGuest(WriteTransaction& transaction, std::int64_t id, const char* by, const char* condition) {
  Statement archive = transaction.prepare(
      std::string("UPDATE notification SET archived_at = ?2, archived_by = ?3 WHERE id = ?1 AND archived_at IS NULL") +
      condition);
  if (!archive.bind(1, id).bind(2, currentTimeMs()).bind(3, std::string(by)).run()) {
    return transaction.fail("write of an archived guest");
  }
  return transaction.changes() > 0 ? Outcome::ok : Outcome::notFound;
}

Outcome archiveNotificationRow(std::int64_t id, const char* by) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Outcome archived = archiveWaitingGuest(transaction, id, by);
  return archived == Outcome::ok ? transaction.commit() : archived;
}

Outcome archiveShownNotification(std::int64_t id, std::optional<std::int64_t> shownAt) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  if (shownAt && !writeDelivery(transaction, id, *shownAt)) return transaction.fail("write of a delivery");
  Outcome archived = archiveWaitingGuest(transaction, id, "host", " AND delivered_at IS NOT NULL");
  if (archived == Outcome::ok) return transaction.commit();
  if (archived != Outcome::notFound) return archived;
  // The host closed a guest archived elsewhere (withdrawn, reassigned,
  // signed out, acknowledged by reply or on the page): noted, so that the
  // desk stops saying it is on the host's screen, and the next guest is shown.
  Statement closed = transaction.prepare(
      "UPDATE notification SET closed_on_screen_at = ?2 WHERE id = ?1 AND closed_on_screen_at IS NULL "
      "AND delivered_at IS NOT NULL AND archived_by <> 'host'");
  if (!closed.bind(1, id).bind(2, currentTimeMs()).run()) return transaction.fail("write of a closed guest");
  if (transaction.changes() == 0) return Outcome::notFound;
  Outcome committed = transaction.commit();
  return committed == Outcome::ok ? Outcome::notFound : committed;
}

Outcome deskNotifications(std::int64_t archivedSince, std::vector<NotificationRow>& rows) {
  ReadSession session;
  static const std::string sql =
      std::string(selectNotification) + "WHERE n.archived_at IS NULL OR n.archived_at >= ?1 ORDER BY n.arrived_at, n.id";
  Statement query = session.prepare(sql);
  query.bind(1, archivedSince);
  return readRows(session, query, "read of the desk's guest list", rows);
}

Outcome reassignedWaitingSince(std::map<std::int64_t, std::int64_t>& since) {
  ReadSession session;
  since.clear();
  Statement query =
      session.prepare("SELECT id, announced_at FROM notification WHERE archived_at IS NULL AND announced_at IS NOT NULL");
  int result;
  while ((result = query.step()) == SQLITE_ROW) since.emplace(query.integer(0), query.integer(1));
  if (result == SQLITE_DONE) return Outcome::ok;
  since.clear();
  return session.fail("read of reassigned guests");
}

Outcome waitingGuest(WriteTransaction& transaction, std::int64_t id, NotificationRow& guest) {
  // What the desk does next depends on whether the host was shown the guest.
  if (!writePendingDelivery(transaction, id)) return transaction.fail("write of a delivery");
  Statement query =
      transaction.prepare(std::string(selectNotification) + "WHERE n.id = ?1 AND n.archived_at IS NULL");
  int result = query.bind(1, id).step();
  if (result == SQLITE_DONE) return Outcome::notFound;
  if (result != SQLITE_ROW) return transaction.fail("read of a waiting guest");
  guest = notificationFromRow(query);
  return Outcome::ok;
}

Outcome activeHostName(WriteTransaction& transaction, std::int64_t staffId, std::string& name) {
  Statement host = transaction.prepare("SELECT display_name FROM staff WHERE id = ?1 AND removed_at IS NULL");
  int result = host.bind(1, staffId).step();
  if (result == SQLITE_DONE) return Outcome::notFound;
  if (result != SQLITE_ROW) return transaction.fail("read of a host");
  name = host.text(0);
  return Outcome::ok;
}

Outcome moveGuest(WriteTransaction& transaction, const NotificationRow& guest, std::int64_t newStaffId,
                  NotificationRow& moved) {
  std::int64_t now = currentTimeMs();
  Statement archive =
      transaction.prepare("UPDATE notification SET archived_at = ?2, archived_by = 'reassigned' WHERE id = ?1");
  if (!archive.bind(1, guest.id).bind(2, now).run()) return transaction.fail("write of a reassigned guest");
  // The original arrival time: the guest's waiting clock goes on.
  Statement insert = transaction.prepare(
      "INSERT INTO notification (staff_id, headline, detail, arrived_at, announced_at, visit_id) "
      "VALUES (?1, ?2, ?3, ?4, ?5, (SELECT visit_id FROM notification WHERE id = ?6))");
  insert.bind(1, newStaffId).bind(2, guest.headline).bind(3, guest.detail).bind(4, guest.arrivedAt).bind(5, now);
  if (!insert.bind(6, guest.id).run()) return transaction.fail("write of a reassigned guest");
  // The visit's host is the one the guest now waits for.
  Statement visit = transaction.prepare(
      "UPDATE visit SET staff_id = ?1 WHERE id = (SELECT visit_id FROM notification WHERE id = ?2)");
  if (!visit.bind(1, newStaffId).bind(2, guest.id).run()) return transaction.fail("write of a reassigned guest");
  moved = NotificationRow{guest};
  moved.id = transaction.lastInsertId();
  moved.staffId = newStaffId;
  moved.deliveredAt.reset();
  moved.stillOnScreen = false;
  return Outcome::ok;
}

Outcome visitorLog(const VisitorFilter& filter, std::size_t limit, std::vector<NotificationRow>& rows) {
  ReadSession session;
  static const std::string selectVisitor =
      std::string(selectNotification) +
      "WHERE n.arrived_at >= ?1 AND n.arrived_at < ?2 AND (?3 = '' OR s.display_name = ?3) "
      "AND (?5 = 0 OR n.arrived_at > ?6 OR (n.arrived_at = ?6 AND n.id > ?5)) ORDER BY n.arrived_at, n.id LIMIT ?4";
  Statement query = session.prepare(selectVisitor);
  query.bind(1, filter.from).bind(2, filter.to).bind(3, filter.host).bind(4, static_cast<std::int64_t>(limit));
  query.bind(5, filter.afterId).bind(6, filter.afterArrivedAt);
  Outcome read = readRows(session, query, "read of the visitor log", rows);
  if (read != Outcome::ok) return read;
  // Each row's visit: its company, how it checked in and when it signed out.
  for (NotificationRow& row : rows) {
    Statement visit = session.prepare(
        "SELECT v.company, v.check_in_method, v.signed_out_at FROM notification n JOIN visit v ON v.id = n.visit_id "
        "WHERE n.id = ?1");
    int found = visit.bind(1, row.id).step();
    if (found == SQLITE_ROW) {
      row.company = visit.text(0);
      row.checkInMethod = visit.text(1);
      row.signedOutAt = visit.optionalInteger(2);
    } else if (found != SQLITE_DONE) {
      rows.clear();
      return session.fail("read of the visitor log");
    }
  }
  return Outcome::ok;
}

namespace {

// The local day of a time, as invitations store it (YYYY-MM-DD).
std::string localDayOf(std::int64_t timeMs) {
  std::time_t seconds = static_cast<std::time_t>(timeMs / 1000);
  std::tm local{};
  char day[16] = "";
  if (localtime_r(&seconds, &local) == nullptr || std::strftime(day, sizeof day, "%Y-%m-%d", &local) == 0) return "";
  return day;
}

}  // namespace

Outcome deleteExpiredRecords(std::int64_t cutoff, RetentionCount& count) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  // Deleted personal data is overwritten in the file, not left in free pages.
  if (!transaction.execute("PRAGMA secure_delete = ON")) return transaction.fail("retention");
  Statement guests = transaction.prepare("DELETE FROM notification WHERE archived_at IS NOT NULL AND archived_at < ?1");
  if (!guests.bind(1, cutoff).run()) return transaction.fail("retention of guests");
  count.guests = transaction.changes();
  // A visit goes with the last of its announcements, once it has ended before the cutoff.
  Statement visits = transaction.prepare(
      "DELETE FROM visit WHERE coalesce(signed_out_at, checked_in_at) < ?1 "
      "AND NOT EXISTS (SELECT 1 FROM notification WHERE visit_id = visit.id)");
  if (!visits.bind(1, cutoff).run()) return transaction.fail("retention of visits");
  // An invitation goes once its day is before the cutoff's and its visit is gone.
  Statement invitations = transaction.prepare(
      "DELETE FROM invitation WHERE expected_on < ?1 "
      "AND (visit_id IS NULL OR NOT EXISTS (SELECT 1 FROM visit WHERE id = invitation.visit_id))");
  if (!invitations.bind(1, localDayOf(cutoff)).run()) return transaction.fail("retention of invitations");
  Statement staff = transaction.prepare(
      "DELETE FROM staff WHERE removed_at IS NOT NULL AND removed_at < ?1 "
      "AND NOT EXISTS (SELECT 1 FROM notification WHERE staff_id = staff.id)");
  if (!staff.bind(1, cutoff).run()) return transaction.fail("retention of staff");
  count.staff = transaction.changes();
  Outcome committed = transaction.commit();
  if (committed == Outcome::ok) countEvent(Counter::retentionDeleted, static_cast<std::uint64_t>(count.guests + count.staff));
  return committed;
}

Outcome deskBoardRows(std::int64_t archivedSince, std::size_t maxHandled, std::vector<NotificationRow>& rows,
                      bool& moreHandled) {
  ReadSession session;
  static const std::string waitingSql = std::string(selectNotification) + "WHERE n.archived_at IS NULL";
  static const std::string handledSql = std::string(selectNotification) +
                                        "WHERE n.archived_at >= ?1 ORDER BY n.archived_at DESC, n.id DESC LIMIT ?2";
  Statement waiting = session.prepare(waitingSql);
  Outcome read = readRows(session, waiting, "read of the desk's guest list", rows);
  if (read != Outcome::ok) return read;
  std::vector<NotificationRow> handled;
  Statement latest = session.prepare(handledSql);
  latest.bind(1, archivedSince).bind(2, static_cast<std::int64_t>(maxHandled + 1));
  read = readRows(session, latest, "read of the desk's guest list", handled);
  if (read != Outcome::ok) {
    rows.clear();
    return read;
  }
  moreHandled = handled.size() > maxHandled;
  if (moreHandled) handled.pop_back();
  rows.insert(rows.end(), std::make_move_iterator(handled.begin()), std::make_move_iterator(handled.end()));
  std::sort(rows.begin(), rows.end(), [](const NotificationRow& a, const NotificationRow& b) {
    return a.arrivedAt != b.arrivedAt ? a.arrivedAt < b.arrivedAt : a.id < b.id;
  });
  return Outcome::ok;
}
