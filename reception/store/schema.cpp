#include "store/schema.h"

#include <algorithm>

#include "store/accounts.h"
#include "store/data_changes.h"
#include "store/database.h"
#include "store/database_location.h"
#include "store/delivery_recorder.h"
#include "store/page_recorder.h"
#include "store/directory_sync_state.h"
#include "store/postgres_changes.h"
#include "store/postgres_schema.h"
#include "store/poll_cache.h"
#include "store/rate_buckets.h"
#include "store/sqlite_changes.h"
#include "store/host_sessions.h"
#include "store/installation_secret.h"
#include "store/invitations.h"
#include "store/login_failures.h"
#include "store/personal_keys.h"
#include "store/staff.h"
#include "store/visits.h"
#include "text/text.h"
#include "text/utf8.h"

namespace {

constexpr std::int64_t applicationId = databaseApplicationId;
constexpr int schemaVersion = 2;

// WAL keeps notifier polls from blocking on the desk's writes; FULL makes
// every commit reach the disk before the request is answered. Past the
// size limit the WAL file is cut back after a checkpoint restarts it.
// secure_delete: what is deleted (a guest erased on request, retention) is
// overwritten in the file rather than left in free pages.
const char* const connectionPragmas =
    "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON; PRAGMA journal_size_limit = 4194304; "
    "PRAGMA secure_delete = ON;";

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
CREATE INDEX IF NOT EXISTS staff_removed ON staff(removed_at) WHERE removed_at IS NOT NULL;
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
CREATE INDEX IF NOT EXISTS notification_arrived ON notification(arrived_at);
CREATE TABLE IF NOT EXISTS desk_account (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE COLLATE NOCASE,
  role TEXT NOT NULL CHECK (role IN ('desk', 'admin')),
  password_hash TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  last_login_at INTEGER
);
CREATE TABLE IF NOT EXISTS desk_session (
  token_hash TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES desk_account(id) ON DELETE CASCADE,
  created_at INTEGER NOT NULL,
  last_used_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS desk_session_account ON desk_session(account_id);
-- Desk accounts made by single sign-on, by the provider's identity of the person.
CREATE TABLE IF NOT EXISTS sso_identity (
  issuer TEXT NOT NULL,
  subject TEXT NOT NULL,
  account_id INTEGER NOT NULL UNIQUE REFERENCES desk_account(id) ON DELETE CASCADE,
  PRIMARY KEY (issuer, subject)
);
CREATE TABLE IF NOT EXISTS audit_log (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  at INTEGER NOT NULL,
  account TEXT NOT NULL,
  address TEXT NOT NULL,
  action TEXT NOT NULL,
  detail TEXT NOT NULL
);
-- The alert chain: alert_step holds a step of a guest's chain, taken once
-- (its primary key); alert_outbox one message on one channel, whose payload
-- is emptied once final; reply_token the reply links, by the hash of their token.
CREATE TABLE IF NOT EXISTS alert_step (
  notification_id INTEGER NOT NULL,
  step TEXT NOT NULL,
  taken_at INTEGER NOT NULL,
  PRIMARY KEY (notification_id, step)
);
CREATE TABLE IF NOT EXISTS alert_outbox (
  id INTEGER PRIMARY KEY,
  notification_id INTEGER NOT NULL,
  step TEXT NOT NULL,
  channel TEXT NOT NULL,
  target TEXT NOT NULL,
  payload TEXT NOT NULL,
  idempotency_key TEXT NOT NULL,
  state TEXT NOT NULL DEFAULT 'pending',
  attempts INTEGER NOT NULL DEFAULT 0,
  next_attempt_at INTEGER NOT NULL,
  last_status INTEGER,
  last_error TEXT NOT NULL DEFAULT '',
  updated_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS alert_outbox_due ON alert_outbox(next_attempt_at) WHERE state = 'pending';
CREATE INDEX IF NOT EXISTS alert_outbox_guest ON alert_outbox(notification_id);
CREATE TABLE IF NOT EXISTS reply_token (
  hash TEXT PRIMARY KEY,
  notification_id INTEGER NOT NULL,
  created_at INTEGER NOT NULL,
  used_at INTEGER
);
CREATE INDEX IF NOT EXISTS reply_token_guest ON reply_token(notification_id);
-- A guest's record deleted (retention) takes its alerts along: their
-- targets and reply links are personal data too.
-- Raised by every change to what notifiers poll, whichever connection makes
-- it: what the service keeps in memory for polls is read again only where
-- its counter moved.
CREATE TABLE IF NOT EXISTS poll_revision (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  staff INTEGER NOT NULL,
  guests INTEGER NOT NULL
);
INSERT OR IGNORE INTO poll_revision (id, staff, guests) VALUES (1, 0, 0);
CREATE TRIGGER IF NOT EXISTS poll_staff_added AFTER INSERT ON staff BEGIN
  UPDATE poll_revision SET staff = staff + 1;
END;
CREATE TRIGGER IF NOT EXISTS poll_staff_changed AFTER UPDATE OF first_name, last_name, display_name, removed_at ON staff BEGIN
  UPDATE poll_revision SET staff = staff + 1;
END;
CREATE TRIGGER IF NOT EXISTS poll_staff_deleted AFTER DELETE ON staff BEGIN
  UPDATE poll_revision SET staff = staff + 1;
END;
CREATE TRIGGER IF NOT EXISTS poll_guest_added AFTER INSERT ON notification BEGIN
  UPDATE poll_revision SET guests = guests + 1;
END;
CREATE TRIGGER IF NOT EXISTS poll_guest_changed
  AFTER UPDATE OF staff_id, headline, detail, arrived_at, delivered_at, archived_at ON notification BEGIN
  UPDATE poll_revision SET guests = guests + 1;
END;
CREATE TRIGGER IF NOT EXISTS poll_guest_deleted AFTER DELETE ON notification BEGIN
  UPDATE poll_revision SET guests = guests + 1;
END;
CREATE TRIGGER IF NOT EXISTS alert_rows_of_deleted_guest AFTER DELETE ON notification BEGIN
  DELETE FROM alert_outbox WHERE notification_id = old.id;
  DELETE FROM alert_step WHERE notification_id = old.id;
  DELETE FROM reply_token WHERE notification_id = old.id;
END;
)sql";

bool hasTable(SetupConnection& setup, const char* name) {
  Statement table = setup.prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
  return table.bind(1, std::string(name)).step() == SQLITE_ROW;
}

bool hasColumn(SetupConnection& setup, const char* table, const char* column) {
  Statement query = setup.prepare(std::string("SELECT 1 FROM pragma_table_info('") + table + "') WHERE name = ?1");
  return query.bind(1, std::string(column)).step() == SQLITE_ROW;
}

// Notifiers find their member of staff by the first two words of the name.
std::string lookupIndexSql() {
  return std::string("CREATE INDEX IF NOT EXISTS staff_lookup ON staff(") + lookupNameSql + ") WHERE removed_at IS NULL";
}

bool addLookupIndex(SetupConnection& setup) { return setup.execute(lookupIndexSql().c_str()); }

struct LaterColumn {
  const char* table;
  const char* column;
  const char* type;
};

// Columns added after the first release, in the order they came.
// announced_at: when a reassigned guest was announced to the present host
// (NULL for a guest announced on arrival).
// closed_on_screen_at: when the host clicked Close on a guest the desk had
// already withdrawn or reassigned (the notifier keeps what it was given).
// 2: staff from the directory, by the directory's identity of the person, and
// their contacts for alerts (mail from the directory or the desk, a push address).
// directory_dn, directory_login: the directory entry's DN and login name, for
// hosts signing in to their page with the directory password.
// alert_outbox.invitation_id: the invitation an invitation's mail is for
// (NULL for an alert, whose guest is its notification_id).
const LaterColumn laterColumns[] = {
    {"notification", "announced_at", "INTEGER"},
    {"notification", "closed_on_screen_at", "INTEGER"},
    {"staff", "directory_id", "TEXT"},
    {"staff", "email", "TEXT"},
    {"staff", "alert_url", "TEXT"},
    {"staff", "directory_dn", "TEXT"},
    {"staff", "directory_login", "TEXT"},
    {"notification", "visit_id", "INTEGER"},
    {"alert_outbox", "invitation_id", "INTEGER"},
    // Host pages as screens: notification.seen_on_page_at, when an open page
    // of the host's was first sent the guest; staff.page_open_until, until
    // when the host counts as having a page open (renewed while one is).
    {"notification", "seen_on_page_at", "INTEGER"},
    {"staff", "page_open_until", "INTEGER"},
};
const char* const laterIndexSql =
    "CREATE UNIQUE INDEX IF NOT EXISTS staff_directory_id ON staff(directory_id) WHERE directory_id IS NOT NULL";

std::string alterSql(const LaterColumn& later) {
  return std::string("ALTER TABLE ") + later.table + " ADD COLUMN " + later.column + " " + later.type;
}

// Each column is added only where it is missing, so a step met twice (a
// file another build changed) is harmless, and the version is raised only
// after them all.
// Tables and indexes added after the first release, made after the later columns.
std::vector<const char*> laterObjectsSql() { 
  return {laterIndexSql, hostSessionSchemaSql, installationSecretSchemaSql, visitSchemaSql,
          kioskAccountSchemaSql, invitationSchemaSql, loginFailureSchemaSql,
          directorySyncStateSchemaSql, rateBucketSchemaSql,
          // Added for replaceable personal notifier keys (store/personal_keys.h).
          personalKeyVersionSchemaSql};
}

bool addLaterColumns(SetupConnection& setup) {
  for (const LaterColumn& later : laterColumns) {
    if (!hasColumn(setup, later.table, later.column) && !setup.execute(alterSql(later).c_str())) return false;
  }
  for (const char* sql : laterObjectsSql()) {
    if (!setup.execute(sql)) return false;
  }
  return setup.execute(("PRAGMA user_version = " + std::to_string(schemaVersion)).c_str());
}

// "" when the file is ours or new; otherwise why it is not.
std::string checkOwnership(SetupConnection& setup, std::int64_t id, std::int64_t userVersion, std::int64_t objects) {
  const char* const foreign = "it is another program's SQLite database";
  if (id != 0 && id != applicationId) return foreign;
  if (userVersion > schemaVersion) return "it was written by a newer version of this service";
  if (id == applicationId || (objects == 0 && userVersion == 0)) return "";
  // Made before files were marked: the staff and notification tables at a known version.
  bool oursUnmarked = userVersion >= 1 && hasTable(setup, "staff") && hasTable(setup, "notification");
  return oursUnmarked ? "" : foreign;
}

// Refuses a file that is not this service's database before anything is
// written to it: not SQLite, another program's SQLite file (by its
// application id), damaged (quick_check) or from a newer version. A new
// empty file, and one of ours from before application ids, are accepted.
std::string checkDatabaseFile(SetupConnection& setup) {
  std::int64_t id = 0;
  {
    Statement header = setup.prepare("PRAGMA application_id");
    // The first read: a file that is not SQLite fails here.
    if (header.step() != SQLITE_ROW) return setup.lastError();
    id = header.integer(0);
  }
  {
    Statement check = setup.prepare("PRAGMA quick_check(1)");
    if (check.step() != SQLITE_ROW) return "it is damaged: " + setup.lastError();
    std::string verdict = check.text(0);
    if (verdict != "ok") return "it is damaged (quick_check: " + verdict + ")";
  }
  Statement version = setup.prepare("PRAGMA user_version");
  Statement objects = setup.prepare("SELECT count(*) FROM sqlite_master");
  if (version.step() != SQLITE_ROW || objects.step() != SQLITE_ROW) return setup.lastError();
  return checkOwnership(setup, id, version.integer(0), objects.integer(0));
}

std::string configure() {
  SetupConnection setup;
  if (setup.readOnly()) return "the file is read-only";
  // Nothing is written before the file is known to be ours (or new).
  std::string refused = checkDatabaseFile(setup);
  if (!refused.empty()) return refused;
  std::string markFile = "PRAGMA application_id = " + std::to_string(applicationId);
  if (!setup.execute(connectionPragmas) || !setup.execute(schemaSql) || !addLaterColumns(setup) || !addLookupIndex(setup) ||
      !setup.execute(markFile.c_str())) {
    return setup.lastError();
  }
  return "";
}

}  // namespace

std::string openStorage(const std::string& path, const std::string& password) {
  resetPollState();
  listenForDataChanges(&pollStateFollowsChange);
  bool postgres = isPostgresLocation(path);
  // A URI may carry a password: it is not repeated in messages.
  std::string named = postgres ? path.substr(0, path.find(':')) + " database" : "database " + path;
  std::string error = openConnections(path, password);
  if (!error.empty()) {
    closeDatabase();
    return "cannot open the " + named + ": " + error;
  }
  error = postgres ? configurePostgres(schemaVersion) : configure();
  if (error.empty()) {
    if (postgres) {
      startChangeListener(PgLocation{path, password});
    } else {
      startFileWatch(path != ":memory:" && !path.empty());
    }
    return "";
  }
  closeDatabase();
  return "cannot use the " + named + ": " + error;
}

void closeStorage() {
  stopChangeListener();
  stopFileWatch();
  stopDeliveryRecorder();
  stopPageRecorder();
  saveUnsavedPolls();
  closeDatabase();
  resetPollState();
}

namespace {

bool executeOn(sqlite3* connection, const std::string& sql) {
  return sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Every object of the database as "type name on table: SQL", in one order,
// with runs of white space in the SQL made one space.
bool listSchema(sqlite3* connection, std::vector<std::string>& objects) {
  objects.clear();
  sqlite3_stmt* statement = nullptr;
  const char* sql = "SELECT type, name, tbl_name, coalesce(sql, '') FROM sqlite_master ORDER BY type, name";
  if (sqlite3_prepare_v2(connection, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
  int result;
  while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
    std::string line;
    for (int column = 0; column < 4; ++column) {
      const unsigned char* text = sqlite3_column_text(statement, column);
      std::string value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
      line += column == 0 ? value : column == 1 ? " " + value : column == 2 ? " on " + value + ": " : collapsedSpaces(value);
    }
    objects.push_back(std::move(line));
  }
  sqlite3_finalize(statement);
  return result == SQLITE_DONE;
}

bool readPragma(sqlite3* connection, const char* sql, std::int64_t& value) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(connection, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
  bool found = sqlite3_step(statement) == SQLITE_ROW;
  if (found) value = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  return found;
}

}  // namespace

int serviceSchemaVersion() { return schemaVersion; }

bool storedSchemaVersion(ReadSession& session, std::int64_t& version) {
  Statement query =
      session.prepare(databaseOnPostgres() ? "SELECT version FROM schema_version WHERE id = 1" : "PRAGMA user_version");
  if (query.step() != SQLITE_ROW) return false;
  version = query.integer(0);
  return true;
}

std::vector<std::string> serviceSchema() {
  static const std::vector<std::string> objects = [] {
    std::vector<std::string> listed;
    sqlite3* memory = nullptr;
    bool made = sqlite3_open_v2(":memory:", &memory, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                executeOn(memory, schemaSql);
    for (const LaterColumn& later : laterColumns) made = made && executeOn(memory, alterSql(later));
    for (const char* sql : laterObjectsSql()) made = made && executeOn(memory, sql);
    made = made && executeOn(memory, lookupIndexSql()) && listSchema(memory, listed);
    sqlite3_close(memory);
    if (!made) listed.clear();
    return listed;
  }();
  return objects;
}

std::string schemaDifference(sqlite3* connection) {
  std::int64_t id = 0;
  std::int64_t version = 0;
  std::vector<std::string> objects;
  if (!readPragma(connection, "PRAGMA application_id", id) || !readPragma(connection, "PRAGMA user_version", version) ||
      !listSchema(connection, objects)) {
    return sqlite3_errmsg(connection);
  }
  if (id != applicationId) return "it is not a database of this service";
  if (version != schemaVersion) {
    return "its schema version is " + std::to_string(version) + ", this service's " + std::to_string(schemaVersion);
  }
  std::vector<std::string> expected = serviceSchema();
  if (expected.empty()) return "the service's own schema could not be made";
  for (const std::string& object : objects) {
    if (std::find(expected.begin(), expected.end(), object) == expected.end()) {
      return "its schema is not this service's: " + escapedControls(object.substr(0, 200));
    }
  }
  for (const std::string& object : expected) {
    if (std::find(objects.begin(), objects.end(), object) == objects.end()) {
      return "its schema is not this service's: it lacks " + object.substr(0, object.find(':'));
    }
  }
  return "";
}
