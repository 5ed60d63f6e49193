#include "store/postgres_schema.h"

#include "store/database.h"
#include "store/migrations.h"

namespace {

// Held while one instance brings the schema up to date, so that two
// starting at once do not both apply a migration.
constexpr const char* schemaLockKey = "5653544253";

// A database is this service's when it records migrations, or the version
// that releases before migrations kept in schema_version (its tables are
// then those of the first migration, which runs over them unchanged); a
// database with other tables is refused before anything is written.
std::string ownershipRefusal(SetupConnection& setup) {
  Statement tables = setup.prepare(
      "SELECT count(*), count(*) FILTER (WHERE tablename IN ('schema_migrations', 'schema_version')) "
      "FROM pg_tables WHERE schemaname = current_schema()");
  if (tables.step() != SQLITE_ROW) return setup.lastError();
  if (tables.integer(0) == 0 || tables.integer(1) != 0) return "";
  return "it is another program's database (its tables are not this service's)";
}

}  // namespace

std::string configurePostgres() {
  SetupConnection setup;
  if (!setup.execute((std::string("SELECT pg_advisory_lock(") + schemaLockKey + ")").c_str())) return setup.lastError();
  std::string error = ownershipRefusal(setup);
  if (error.empty()) error = applyMigrations(setup, SqlDialect::postgres);
  setup.execute((std::string("SELECT pg_advisory_unlock(") + schemaLockKey + ")").c_str());
  return error;
}
