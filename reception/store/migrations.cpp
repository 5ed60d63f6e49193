#include "store/migrations.h"

#include <cstdio>

#include "store/clock.h"
#include "store/database.h"

namespace {

const char* const sqliteMigrationTable =
    "CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY, name TEXT NOT NULL, "
    "applied_at INTEGER NOT NULL)";
const char* const postgresMigrationTable =
    "CREATE TABLE IF NOT EXISTS schema_migrations (version BIGINT PRIMARY KEY, name TEXT NOT NULL, "
    "applied_at BIGINT NOT NULL)";

std::string numbered(const Migration& migration) {
  char digits[24];
  int written = std::snprintf(digits, sizeof digits, "%04lld_", static_cast<long long>(migration.version));
  return written > 0 ? digits + std::string(migration.name) : std::string(migration.name);
}

bool hasMigrationTable(SetupConnection& setup, SqlDialect dialect, bool& found) {
  Statement query = setup.prepare(dialect == SqlDialect::postgres
                                      ? "SELECT count(*) FROM information_schema.tables WHERE table_schema = "
                                        "current_schema() AND table_name = 'schema_migrations'"
                                      : "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_migrations'");
  if (query.step() != SQLITE_ROW) return false;
  found = query.integer(0) != 0;
  return true;
}

// Whether the migration is recorded; read again inside its transaction, so
// that of two processes starting at once on one SQLite file only the first
// applies it (PostgreSQL's instances wait for the advisory lock instead).
bool recorded(SetupConnection& setup, const Migration& migration, bool& found) {
  Statement query = setup.prepare("SELECT 1 FROM schema_migrations WHERE version = ?1");
  int result = query.bind(1, migration.version).step();
  found = result == SQLITE_ROW;
  return result == SQLITE_ROW || result == SQLITE_DONE;
}

bool record(SetupConnection& setup, const Migration& migration) {
  Statement insert = setup.prepare("INSERT INTO schema_migrations (version, name, applied_at) VALUES (?1, ?2, ?3)");
  return insert.bind(1, migration.version).bind(2, std::string(migration.name)).bind(3, currentTimeMs()).run();
}

std::string applyOne(SetupConnection& setup, SqlDialect dialect, const Migration& migration) {
  bool done = false;
  if (!recorded(setup, migration, done)) return setup.lastError();
  if (done) return "";
  // IMMEDIATE: the file's write lock before the second look, so that it holds.
  if (!setup.execute(dialect == SqlDialect::postgres ? "BEGIN" : "BEGIN IMMEDIATE")) return setup.lastError();
  bool ok = recorded(setup, migration, done);
  if (ok && !done) ok = setup.execute(std::string(migration.sql).c_str()) && record(setup, migration);
  if (ok && setup.execute("COMMIT")) return "";
  std::string error = setup.lastError();
  setup.execute("ROLLBACK");
  return "migration " + numbered(migration) + " failed: " + error;
}

}  // namespace

std::int64_t latestMigration() { return migrationsFor(SqlDialect::sqlite).back().version; }

const char* migrationTableSql(SqlDialect dialect) {
  return dialect == SqlDialect::postgres ? postgresMigrationTable : sqliteMigrationTable;
}

std::string unknownMigrationRefusal(SetupConnection& setup, SqlDialect dialect) {
  bool found = false;
  if (!hasMigrationTable(setup, dialect, found)) return setup.lastError();
  if (!found) return "";
  Statement highest = setup.prepare("SELECT coalesce(max(version), 0) FROM schema_migrations");
  if (highest.step() != SQLITE_ROW) return setup.lastError();
  std::int64_t stored = highest.integer(0);
  if (stored <= latestMigration()) return "";
  return "it was written by a newer version of this service: its schema is at migration " + std::to_string(stored) +
         ", this version knows migrations up to " + std::to_string(latestMigration()) + "; run the newer version";
}

// Migrations are added as files (see store/migrations.h), never here.
std::string applyMigrations(SetupConnection& setup, SqlDialect dialect) {
  std::string refused = unknownMigrationRefusal(setup, dialect);
  if (!refused.empty()) return refused;
  if (!setup.execute(migrationTableSql(dialect))) return setup.lastError();
  for (const Migration& migration : migrationsFor(dialect)) {
    std::string error = applyOne(setup, dialect, migration);
    if (!error.empty()) return error;
  }
  return "";
}
