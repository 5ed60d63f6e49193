#include "store/schema.h"

#include <algorithm>

#include "store/data_changes.h"
#include "store/database.h"
#include "store/database_location.h"
#include "store/delivery_recorder.h"
#include "store/migrations.h"
#include "store/page_recorder.h"
#include "store/postgres_changes.h"
#include "store/postgres_schema.h"
#include "store/poll_cache.h"
#include "store/sqlite_changes.h"
#include "store/staff.h"
#include "text/text.h"
#include "text/utf8.h"

namespace {

constexpr std::int64_t applicationId = databaseApplicationId;

// WAL keeps notifier polls from blocking on the desk's writes; FULL makes
// every commit reach the disk before the request is answered. Past the
// size limit the WAL file is cut back after a checkpoint restarts it.
// secure_delete: what is deleted (a guest erased on request, retention) is
// overwritten in the file rather than left in free pages.
const char* const connectionPragmas =
    "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON; PRAGMA journal_size_limit = 4194304; "
    "PRAGMA secure_delete = ON;";

// Columns that releases before migrations added to a file of theirs, in the
// order they came: a file from such a release is brought up to the first
// migration by adding those it lacks (a table it lacks, the migration makes
// whole). This list is closed: columns now come in migrations.
struct ColumnAddedBeforeMigrations {
  const char* table;
  const char* column;
  const char* sql;
};
const ColumnAddedBeforeMigrations columnsAddedBeforeMigrations[] = {
    {"notification", "announced_at", "ALTER TABLE notification ADD COLUMN announced_at INTEGER"},
    {"notification", "closed_on_screen_at", "ALTER TABLE notification ADD COLUMN closed_on_screen_at INTEGER"},
    {"staff", "directory_id", "ALTER TABLE staff ADD COLUMN directory_id TEXT"},
    {"staff", "email", "ALTER TABLE staff ADD COLUMN email TEXT"},
    {"staff", "alert_url", "ALTER TABLE staff ADD COLUMN alert_url TEXT"},
    {"staff", "directory_dn", "ALTER TABLE staff ADD COLUMN directory_dn TEXT"},
    {"staff", "directory_login", "ALTER TABLE staff ADD COLUMN directory_login TEXT"},
    {"notification", "visit_id", "ALTER TABLE notification ADD COLUMN visit_id INTEGER"},
    {"alert_outbox", "invitation_id", "ALTER TABLE alert_outbox ADD COLUMN invitation_id INTEGER"},
};
// The highest user_version a release before migrations wrote.
constexpr std::int64_t lastUserVersion = 2;

bool hasTable(SetupConnection& setup, const char* name) {
  Statement table = setup.prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
  return table.bind(1, std::string(name)).step() == SQLITE_ROW;
}

bool hasColumn(SetupConnection& setup, const char* table, const char* column) {
  Statement query = setup.prepare(std::string("SELECT 1 FROM pragma_table_info('") + table + "') WHERE name = ?1");
  return query.bind(1, std::string(column)).step() == SQLITE_ROW;
}

// Each column is added only where its table is and it is missing, so a step
// met twice (a file another build changed) is harmless.
bool addColumnsOfEarlierReleases(SetupConnection& setup) {
  if (hasTable(setup, "schema_migrations")) return true;
  for (const ColumnAddedBeforeMigrations& added : columnsAddedBeforeMigrations) {
    if (hasTable(setup, added.table) && !hasColumn(setup, added.table, added.column) && !setup.execute(added.sql)) {
      return false;
    }
  }
  return true;
}

// "" when the file is ours or new; otherwise why it is not.
std::string checkOwnership(SetupConnection& setup, std::int64_t id, std::int64_t userVersion, std::int64_t objects) {
  const char* const foreign = "it is another program's SQLite database";
  if (id != 0 && id != applicationId) return foreign;
  if (userVersion > lastUserVersion) return "it was written by a newer version of this service";
  if (id == applicationId || (objects == 0 && userVersion == 0)) return "";
  // Its mark lost, or made before files were marked: the staff and
  // notification tables, at a known version or with recorded migrations.
  bool known = userVersion >= 1 || hasTable(setup, "schema_migrations");
  bool oursUnmarked = known && hasTable(setup, "staff") && hasTable(setup, "notification");
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
  std::string refused;
  {
    Statement version = setup.prepare("PRAGMA user_version");
    Statement objects = setup.prepare("SELECT count(*) FROM sqlite_master");
    if (version.step() != SQLITE_ROW || objects.step() != SQLITE_ROW) return setup.lastError();
    refused = checkOwnership(setup, id, version.integer(0), objects.integer(0));
  }
  return refused.empty() ? unknownMigrationRefusal(setup, SqlDialect::sqlite) : refused;
}

std::string configure() {
  SetupConnection setup;
  if (setup.readOnly()) return "the file is read-only";
  // Nothing is written before the file is known to be ours (or new).
  std::string refused = checkDatabaseFile(setup);
  if (!refused.empty()) return refused;
  std::string markFile = "PRAGMA application_id = " + std::to_string(applicationId);
  // Marked first: a start cut short mid-migration leaves a file that the
  // next start still knows as ours, and finishes.
  if (!setup.execute(connectionPragmas) || !setup.execute(markFile.c_str()) || !addColumnsOfEarlierReleases(setup)) {
    return setup.lastError();
  }
  return applyMigrations(setup, SqlDialect::sqlite);
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
  error = postgres ? configurePostgres() : configure();
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

// The migrations the database records, as "version name" in order.
bool listMigrations(sqlite3* connection, std::vector<std::string>& applied) {
  applied.clear();
  sqlite3_stmt* statement = nullptr;
  const char* sql = "SELECT version || ' ' || name FROM schema_migrations ORDER BY version";
  if (sqlite3_prepare_v2(connection, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
  int result;
  while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    applied.push_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
  }
  sqlite3_finalize(statement);
  return result == SQLITE_DONE;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text.empty() ? "none" : text;
}

}  // namespace

std::int64_t serviceSchemaVersion() { return latestMigration(); }

bool storedSchemaVersion(ReadSession& session, std::int64_t& version) {
  Statement query = session.prepare("SELECT coalesce(max(version), 0) FROM schema_migrations");
  if (query.step() != SQLITE_ROW) return false;
  version = query.integer(0);
  return true;
}

std::vector<std::string> serviceSchema() {
  static const std::vector<std::string> objects = [] {
    std::vector<std::string> listed;
    sqlite3* memory = nullptr;
    bool made = sqlite3_open_v2(":memory:", &memory, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                executeOn(memory, migrationTableSql(SqlDialect::sqlite));
    for (const Migration& migration : migrationsFor(SqlDialect::sqlite)) {
      made = made && executeOn(memory, std::string(migration.sql));
    }
    made = made && listSchema(memory, listed);
    sqlite3_close(memory);
    if (!made) listed.clear();
    return listed;
  }();
  return objects;
}

std::string schemaDifference(sqlite3* connection) {
  std::int64_t id = 0;
  std::vector<std::string> applied;
  std::vector<std::string> objects;
  if (!readPragma(connection, "PRAGMA application_id", id)) return sqlite3_errmsg(connection);
  if (id != applicationId) return "it is not a database of this service";
  if (!listMigrations(connection, applied) || !listSchema(connection, objects)) return sqlite3_errmsg(connection);
  std::vector<std::string> known;
  for (const Migration& migration : migrationsFor(SqlDialect::sqlite)) {
    known.push_back(std::to_string(migration.version) + " " + std::string(migration.name));
  }
  if (applied != known) {
    return "its migrations are not this service's: " + escapedControls(joined(applied).substr(0, 200)) +
           " where this service has " + joined(known);
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
