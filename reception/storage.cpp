#include "storage.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "accounts.h"
#include "audit.h"
#include "database.h"
#include "notification_rows.h"
#include "front_desk_store.h"
#include "outbox.h"

namespace {

std::int64_t systemTimeMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

constexpr int schemaVersion = 2;  // 2: the alerts' tables and staff contacts
// Past this the WAL file is cut back after a checkpoint restarts it.
constexpr const char* journalSizeLimit = "PRAGMA journal_size_limit = 4194304";

const char* const schemaSql = R"sql(
CREATE TABLE IF NOT EXISTS staff (
  id INTEGER PRIMARY KEY,
  first_name TEXT NOT NULL,
  last_name TEXT NOT NULL,
  display_name TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  removed_at INTEGER,
  last_poll_at INTEGER
);
CREATE UNIQUE INDEX IF NOT EXISTS staff_active_name ON staff(display_name) WHERE removed_at IS NULL;
-- AUTOINCREMENT: notifiers keep ids they have seen, so an id is never reused.
CREATE TABLE IF NOT EXISTS notification (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  staff_id INTEGER NOT NULL REFERENCES staff(id),
  headline TEXT NOT NULL,
  detail TEXT NOT NULL,
  arrived_at INTEGER NOT NULL,
  delivered_at INTEGER,
  archived_at INTEGER,
  archived_by TEXT
);
CREATE INDEX IF NOT EXISTS notification_waiting ON notification(staff_id, archived_at, arrived_at);
CREATE INDEX IF NOT EXISTS notification_archived ON notification(archived_at);
PRAGMA user_version = 1;
)sql";

// Poll times are kept here and saved in a batch by the first poll after
// pollSaveIntervalMs, so that a poll answered from what is stored costs no
// disk write. A clean stop saves them all; a kill loses those not yet saved
// (those of the last few seconds while notifiers poll), which only shows an
// older last poll on the desk page until that notifier polls again.
constexpr std::int64_t pollSaveIntervalMs = 5000;
std::mutex pollMutex;
std::unordered_map<std::int64_t, std::int64_t> unsavedPolls;  // staff id -> time
std::int64_t lastPollSaveMs = 0;

std::string configure() {
  if (sqlite3_db_readonly(database, "main") == 1) return "the file is read-only";
  // Nothing is written before the file is known to be ours (or new).
  std::string refused = checkDatabaseFile(schemaVersion);
  if (!refused.empty()) return refused;
  waitForLocksWithinBudget();
  // WAL keeps notifier polls from blocking on the desk's writes; FULL makes
  // every commit reach the disk before the request is answered.
  if (!execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;") ||
      !execute(journalSizeLimit)) {
    return sqlite3_errmsg(database);
  }
  // Each concern's tables are created here, each from its own file's schema.
  if (!execute(schemaSql)) return sqlite3_errmsg(database);
  if (!execute(accountsSchemaSql) || !execute(auditSchemaSql)) return sqlite3_errmsg(database);
  if (!addFrontDeskSchema() || !addAlertSchema()) return sqlite3_errmsg(database);
  if (!markDatabaseFile()) return sqlite3_errmsg(database);
  return "";
}

// Why a write failed, for the answer: another process holding the
// database is worth a retry, anything else is not. Under databaseMutex.
StoreResult failure() { return lastErrorWasBusy() ? StoreResult::databaseBusy : StoreResult::failed; }

StaffRow staffFromRow(const Use& row) {
  return StaffRow{row.integer(0), row.text(1), row.text(2), row.text(3), row.optionalInteger(4)};
}


std::unordered_map<std::int64_t, std::int64_t> unsavedPollsNow() {
  std::lock_guard<std::mutex> lock(pollMutex);
  return unsavedPolls;
}

bool savePollRows(const std::unordered_map<std::int64_t, std::int64_t>& polls) {
  Transaction transaction;
  if (!transaction.begun()) return false;
  for (const auto& poll : polls) {
    Use save("UPDATE staff SET last_poll_at = max(coalesce(last_poll_at, 0), ?2) WHERE id = ?1");
    if (!save.bind(1, poll.first).bind(2, poll.second).run()) return false;
  }
  return transaction.commit();
}

// Writes the unsaved poll times in one transaction; what fails stays
// unsaved. From a poll it never waits: not for a write in progress (which
// may itself be waiting for another process), nor for another process.
void savePolls(bool fromPoll) {
  std::unordered_map<std::int64_t, std::int64_t> polls = unsavedPollsNow();
  if (polls.empty()) return;
  {
    std::unique_lock<std::mutex> lock(databaseMutex, std::defer_lock);
    if (!fromPoll) {
      lock.lock();
    } else if (!lock.try_lock()) {
      return;
    }
    if (database == nullptr) return;
    int budget = writeWaitMs;
    if (fromPoll) writeWaitMs = 0;
    bool saved = savePollRows(polls);
    writeWaitMs = budget;
    if (!saved) return;
  }
  std::lock_guard<std::mutex> lock(pollMutex);
  for (const auto& poll : polls) {
    auto kept = unsavedPolls.find(poll.first);
    if (kept != unsavedPolls.end() && kept->second == poll.second) unsavedPolls.erase(kept);
  }
}

void recordPoll(std::int64_t staffId, std::int64_t at) {
  bool saveDue = false;
  {
    std::lock_guard<std::mutex> lock(pollMutex);
    unsavedPolls[staffId] = at;
    if (at - lastPollSaveMs >= pollSaveIntervalMs) {
      lastPollSaveMs = at;
      saveDue = true;
    }
  }
  if (saveDue) savePolls(true);
}

}  // namespace

NotificationRow notificationFromRow(const Use& row) {
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
  return n;
}

const char* const selectNotification =
    "SELECT n.id, n.staff_id, s.display_name, n.headline, n.detail, n.arrived_at, n.delivered_at, n.archived_at, "
    "coalesce(n.archived_by, '') FROM notification n JOIN staff s ON s.id = n.staff_id ";

std::int64_t (*currentTimeMs)() = systemTimeMs;
int maxWaitingPerHost = 50;

std::string openStorage(const std::string& path) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &database, flags, nullptr) != SQLITE_OK) {
    std::string error = database ? sqlite3_errmsg(database) : "out of memory";
    sqlite3_close(database);
    database = nullptr;
    return "cannot open the database " + path + ": " + error;
  }
  std::string error = configure();
  if (error.empty()) error = openReadDatabase(path);
  if (error.empty()) return "";
  closeDatabase();
  return "cannot use the database " + path + ": " + error;
}

void closeStorage() {
  savePolls(false);
  {
    std::lock_guard<std::mutex> lock(pollMutex);
    unsavedPolls.clear();  // unsaveable: they must not reach another database
    lastPollSaveMs = 0;
  }
  std::lock_guard<std::mutex> lock(databaseMutex);
  closeDatabase();
}

StoreResult activeStaff(std::vector<StaffRow>& staff) {
  // Taken before the rows: a batch saved in between is then still seen here.
  std::unordered_map<std::int64_t, std::int64_t> polls = unsavedPollsNow();
  staff.clear();
  {
    std::unique_lock<std::mutex> lock = lockForReading();
    Use query = Use::reading(
        "SELECT id, first_name, last_name, display_name, last_poll_at FROM staff WHERE removed_at IS NULL "
        "ORDER BY first_name COLLATE NOCASE, last_name COLLATE NOCASE, id");
    int result;
    while ((result = query.step()) == SQLITE_ROW) staff.push_back(staffFromRow(query));
    if (result != SQLITE_DONE) {
      reportError("read of the staff list", readDatabase);
      staff.clear();
      return StoreResult::failed;
    }
  }
  for (StaffRow& row : staff) {
    auto unsaved = polls.find(row.id);
    if (unsaved != polls.end() && (!row.lastPollAt || *row.lastPollAt < unsaved->second)) row.lastPollAt = unsaved->second;
  }
  return StoreResult::done;
}

StoreResult addStaff(const std::string& firstName, const std::string& lastName, StaffRow& added) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  std::string displayName = firstName + " " + lastName;
  Use insert("INSERT INTO staff (first_name, last_name, display_name, created_at) VALUES (?1, ?2, ?3, ?4)");
  insert.bind(1, firstName).bind(2, lastName).bind(3, displayName).bind(4, currentTimeMs());
  int result = insert.step();
  if (result == SQLITE_CONSTRAINT) return StoreResult::duplicate;
  if (result != SQLITE_DONE) {
    reportError("write of a staff member");
    return failure();
  }
  added = StaffRow{sqlite3_last_insert_rowid(database), firstName, lastName, displayName, std::nullopt};
  return StoreResult::done;
}

StoreResult removeStaff(std::int64_t staffId) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Transaction transaction;
  if (!transaction.begun()) return failure();
  Use waiting("SELECT count(*) FROM notification WHERE staff_id = ?1 AND archived_at IS NULL");
  if (waiting.bind(1, staffId).step() != SQLITE_ROW) return failure();
  if (waiting.integer(0) > 0) return StoreResult::busy;
  Use remove("UPDATE staff SET removed_at = ?2 WHERE id = ?1 AND removed_at IS NULL");
  if (!remove.bind(1, staffId).bind(2, currentTimeMs()).run()) return failure();
  if (sqlite3_changes(database) == 0) return StoreResult::notFound;
  return transaction.commit() ? StoreResult::done : failure();
}

void seedDemoStaff() {
  const char* const demo[][2] = {{"José", "Müller"}, {"Anna", "Schmidt"}, {"Chloé", "Dubois"}, {"Liam", "O'Brien"}};
  {
    std::lock_guard<std::mutex> lock(databaseMutex);
    Use count("SELECT count(*) FROM staff");
    if (count.step() != SQLITE_ROW || count.integer(0) > 0) return;
  }
  StaffRow added;
  for (const auto& name : demo) addStaff(name[0], name[1], added);
}

StoreResult findStaff(const std::string& firstName, const std::string& lastName, std::int64_t& staffId) {
  std::unique_lock<std::mutex> lock = lockForReading();
  Use query = Use::reading("SELECT id FROM staff WHERE display_name = ?1 AND removed_at IS NULL");
  int result = query.bind(1, firstName + " " + lastName).step();
  if (result == SQLITE_DONE) return StoreResult::notFound;
  if (result != SQLITE_ROW) {
    reportError("read of a staff member", readDatabase);
    return StoreResult::failed;
  }
  staffId = query.integer(0);
  return StoreResult::done;
}

StoreResult pollNotifications(std::int64_t staffId, std::vector<NotificationRow>& waiting) {
  std::int64_t now = currentTimeMs();
  std::vector<std::int64_t> undelivered;
  {
    std::unique_lock<std::mutex> lock = lockForReading();
    static const std::string sql = std::string(selectNotification) +
                                   "WHERE n.staff_id = ?1 AND n.archived_at IS NULL ORDER BY n.arrived_at, n.id";
    Use query = Use::reading(sql);
    query.bind(1, staffId);
    int result;
    while ((result = query.step()) == SQLITE_ROW) {
      waiting.push_back(notificationFromRow(query));
      if (!waiting.back().deliveredAt) undelivered.push_back(waiting.back().id);
    }
    if (result != SQLITE_DONE) {
      reportError("read of waiting guests", readDatabase);
      waiting.clear();
      return StoreResult::failed;
    }
  }
  // The first delivery is written at once: it happens once per notification.
  // Exactly those read above, archived since or not: they are being delivered.
  if (!undelivered.empty()) {
    std::lock_guard<std::mutex> lock(databaseMutex);
    Transaction transaction;
    if (!transaction.begun()) return failure();
    for (std::int64_t id : undelivered) {
      Use deliver("UPDATE notification SET delivered_at = ?2 WHERE id = ?1 AND delivered_at IS NULL");
      if (!deliver.bind(1, id).bind(2, now).run()) return failure();
    }
    if (!transaction.commit()) return failure();
  }
  recordPoll(staffId, now);
  return StoreResult::done;
}

StoreResult addNotification(std::int64_t staffId, const std::string& headline, const std::string& detail,
                            NotificationRow& added) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Transaction transaction;
  if (!transaction.begun()) return failure();
  Use host("SELECT display_name, (SELECT count(*) FROM notification WHERE staff_id = ?1 AND archived_at IS NULL) "
           "FROM staff WHERE id = ?1 AND removed_at IS NULL");
  int found = host.bind(1, staffId).step();
  if (found == SQLITE_DONE) return StoreResult::notFound;
  if (found != SQLITE_ROW) return failure();
  if (host.integer(1) >= maxWaitingPerHost) return StoreResult::tooManyWaiting;
  std::int64_t now = currentTimeMs();
  Use insert("INSERT INTO notification (staff_id, headline, detail, arrived_at) VALUES (?1, ?2, ?3, ?4)");
  if (!insert.bind(1, staffId).bind(2, headline).bind(3, detail).bind(4, now).run()) return failure();
  added = NotificationRow{};
  added.id = sqlite3_last_insert_rowid(database);
  added.staffId = staffId;
  added.hostName = host.text(0);
  added.headline = headline;
  added.detail = detail;
  added.arrivedAt = now;
  return transaction.commit() ? StoreResult::done : failure();
}

StoreResult archiveNotificationRow(std::int64_t id, const char* by) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Use archive("UPDATE notification SET archived_at = ?2, archived_by = ?3 WHERE id = ?1 AND archived_at IS NULL");
  if (!archive.bind(1, id).bind(2, currentTimeMs()).bind(3, std::string(by)).run()) return failure();
  return sqlite3_changes(database) > 0 ? StoreResult::done : StoreResult::notFound;
}

StoreResult deskNotifications(std::int64_t archivedSince, std::vector<NotificationRow>& rows) {
  std::unique_lock<std::mutex> lock = lockForReading();
  static const std::string sql = std::string(selectNotification) +
                                 "WHERE n.archived_at IS NULL OR n.archived_at >= ?1 ORDER BY n.arrived_at, n.id";
  rows.clear();
  Use query = Use::reading(sql);
  query.bind(1, archivedSince);
  int result;
  while ((result = query.step()) == SQLITE_ROW) rows.push_back(notificationFromRow(query));
  if (result == SQLITE_DONE) return StoreResult::done;
  reportError("read of the desk's guest list", readDatabase);
  rows.clear();
  return StoreResult::failed;
}
