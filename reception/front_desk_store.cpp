#include "front_desk_store.h"

#include <mutex>

#include "database.h"
#include "notification_rows.h"

namespace {

// announced_at: when a reassigned guest was announced to the present host
// (NULL for a guest announced on arrival).
const char* const frontDeskSchemaSql = R"sql(
CREATE INDEX IF NOT EXISTS notification_arrived ON notification(arrived_at);
CREATE INDEX IF NOT EXISTS staff_removed ON staff(removed_at) WHERE removed_at IS NOT NULL;
)sql";

bool hasColumn(const char* table, const char* column) {
  Use query(std::string("SELECT 1 FROM pragma_table_info('") + table + "') WHERE name = ?1");
  return query.bind(1, std::string(column)).step() == SQLITE_ROW;
}


// The active staff's display names; called under databaseMutex.
std::set<std::string, std::less<>> activeNames() {
  std::set<std::string, std::less<>> names;
  Use query("SELECT display_name FROM staff WHERE removed_at IS NULL");
  while (query.step() == SQLITE_ROW) names.insert(query.text(0));
  return names;
}

}  // namespace

bool addFrontDeskSchema() {
  // Databases written before reassigning existed lack the column.
  if (!hasColumn("notification", "announced_at") && !execute("ALTER TABLE notification ADD COLUMN announced_at INTEGER")) {
    return false;
  }
  return execute(frontDeskSchemaSql);
}

ReassignResult reassignGuest(std::int64_t notificationId, std::int64_t newStaffId, NotificationRow& added) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Transaction transaction;
  if (!transaction.begun()) return ReassignResult::failed;
  NotificationRow moved;
  {
    Use guest("SELECT staff_id, headline, detail, arrived_at FROM notification WHERE id = ?1 AND archived_at IS NULL");
    if (guest.bind(1, notificationId).step() != SQLITE_ROW) return ReassignResult::guestNotWaiting;
    if (guest.integer(0) == newStaffId) return ReassignResult::sameHost;
    moved.headline = guest.text(1);
    moved.detail = guest.text(2);
    moved.arrivedAt = guest.integer(3);
  }
  {
    Use host("SELECT display_name FROM staff WHERE id = ?1 AND removed_at IS NULL");
    if (host.bind(1, newStaffId).step() != SQLITE_ROW) return ReassignResult::hostNotFound;
    moved.hostName = host.text(0);
  }
  std::int64_t now = currentTimeMs();
  Use archive("UPDATE notification SET archived_at = ?2, archived_by = 'reassigned' WHERE id = ?1");
  if (!archive.bind(1, notificationId).bind(2, now).run()) return ReassignResult::failed;
  // The original arrival time: the guest's waiting clock goes on.
  Use insert(
      "INSERT INTO notification (staff_id, headline, detail, arrived_at, announced_at) VALUES (?1, ?2, ?3, ?4, ?5)");
  insert.bind(1, newStaffId).bind(2, moved.headline).bind(3, moved.detail).bind(4, moved.arrivedAt).bind(5, now);
  if (!insert.run()) return ReassignResult::failed;
  moved.id = sqlite3_last_insert_rowid(database);
  moved.staffId = newStaffId;
  if (!transaction.commit()) return ReassignResult::failed;
  added = moved;
  return ReassignResult::done;
}

std::map<std::int64_t, std::int64_t> reassignedWaitingSince() {
  std::unique_lock<std::mutex> lock = lockForReading();
  std::map<std::int64_t, std::int64_t> since;
  Use query = Use::reading("SELECT id, announced_at FROM notification WHERE archived_at IS NULL AND announced_at IS NOT NULL");
  while (query.step() == SQLITE_ROW) since.emplace(query.integer(0), query.integer(1));
  return since;
}

ImportPreview previewStaffImportNow(std::string_view csv) {
  std::set<std::string, std::less<>> names;
  {
    std::lock_guard<std::mutex> lock(databaseMutex);
    names = activeNames();
  }
  return previewStaffImport(csv, names);
}

bool applyStaffImport(std::string_view csv, ImportPreview& preview) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Transaction transaction;
  if (!transaction.begun()) return false;
  preview = previewStaffImport(csv, activeNames());
  if (!preview.error.empty()) return true;
  std::int64_t now = currentTimeMs();
  for (const ImportedName& name : preview.added) {
    Use insert(
        "INSERT INTO staff (first_name, last_name, display_name, created_at, email, alert_url) "
        "VALUES (?1, ?2, ?3, ?4, nullif(?5, ''), nullif(?6, ''))");
    insert.bind(1, name.firstName).bind(2, name.lastName).bind(3, name.firstName + " " + name.lastName).bind(4, now);
    insert.bind(5, name.contact.email).bind(6, name.contact.alertUrl);
    if (!insert.run()) return false;
  }
  return transaction.commit();
}

std::vector<NotificationRow> visitorLog(const VisitorFilter& filter, std::size_t limit) {
  std::unique_lock<std::mutex> lock = lockForReading();
  std::vector<NotificationRow> rows;
  static const std::string selectVisitor =
      std::string(selectNotification) +
      "WHERE n.arrived_at >= ?1 AND n.arrived_at < ?2 AND (?3 = '' OR s.display_name = ?3) "
      "ORDER BY n.arrived_at, n.id LIMIT ?4";
  Use query = Use::reading(selectVisitor);
  query.bind(1, filter.from).bind(2, filter.to).bind(3, filter.host).bind(4, static_cast<std::int64_t>(limit));
  while (query.step() == SQLITE_ROW) rows.push_back(notificationFromRow(query));
  return rows;
}

std::optional<RetentionCount> deleteExpiredRecords(std::int64_t cutoff) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  if (database == nullptr) return std::nullopt;
  // Deleted personal data is overwritten in the file, not left in free pages.
  if (!execute("PRAGMA secure_delete = ON")) return std::nullopt;
  Transaction transaction;
  if (!transaction.begun()) return std::nullopt;
  RetentionCount count;
  Use guests("DELETE FROM notification WHERE archived_at IS NOT NULL AND archived_at < ?1");
  if (!guests.bind(1, cutoff).run()) return std::nullopt;
  count.guests = sqlite3_changes(database);
  Use staff(
      "DELETE FROM staff WHERE removed_at IS NOT NULL AND removed_at < ?1 "
      "AND NOT EXISTS (SELECT 1 FROM notification WHERE staff_id = staff.id)");
  if (!staff.bind(1, cutoff).run()) return std::nullopt;
  count.staff = sqlite3_changes(database);
  if (!transaction.commit()) return std::nullopt;
  return count;
}
