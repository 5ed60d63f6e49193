// Restore's schema check (input: SQL run on a copy of the service's own
// schema in memory). The untouched schema passes; a copy whose objects are
// not the same set of types and names afterwards, or whose version changed,
// never does; nor one whose recorded migrations changed. Statements that
// could reach files (ATTACH, VACUUM INTO) and pragmas other than the
// version and the mark are refused by an authorizer.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "fuzz_check.h"
#include "store/database.h"
#include "store/migrations.h"
#include "store/schema.h"

namespace {

int allowOnlyTheDatabase(void*, int action, const char* name, const char*, const char*, const char*) {
  if (action == SQLITE_ATTACH || action == SQLITE_DETACH) return SQLITE_DENY;
  if (action == SQLITE_PRAGMA) {
    std::string pragma = name != nullptr ? name : "";
    return pragma == "user_version" || pragma == "application_id" ? SQLITE_OK : SQLITE_DENY;
  }
  return SQLITE_OK;
}

// Long statements (a recursive query without end) are cut short.
int tooLong(void* steps) { return ++*static_cast<int*>(steps) > 2000; }

bool run(sqlite3* connection, const std::string& sql) {
  return sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// The service's schema from its own listing: tables first, as indexes and
// triggers name them; sqlite_sequence comes by itself.
bool makeServiceSchema(sqlite3* connection) {
  std::vector<std::string> objects = serviceSchema();
  if (objects.empty()) return false;
  for (const char* type : {"table ", "index ", "trigger "}) {
    for (const std::string& object : objects) {
      if (object.rfind(type, 0) != 0 || object.find(" sqlite_") != std::string::npos) continue;
      if (!run(connection, object.substr(object.find(": ") + 2))) return false;
    }
  }
  for (const Migration& migration : migrationsFor(SqlDialect::sqlite)) {
    if (!run(connection, "INSERT INTO schema_migrations (version, name, applied_at) VALUES (" +
                             std::to_string(migration.version) + ", '" + std::string(migration.name) + "', 1)")) {
      return false;
    }
  }
  return run(connection, "PRAGMA application_id = " + std::to_string(databaseApplicationId));
}

std::set<std::string> typesAndNames(sqlite3* connection) {
  std::set<std::string> names;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(connection, "SELECT type || ' ' || name FROM sqlite_master", -1, &statement, nullptr) != SQLITE_OK) {
    return names;
  }
  while (sqlite3_step(statement) == SQLITE_ROW) names.insert(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
  sqlite3_finalize(statement);
  return names;
}

// The recorded migrations, as one text.
std::string migrations(sqlite3* connection) {
  sqlite3_stmt* statement = nullptr;
  std::string recorded = "(unreadable)";
  if (sqlite3_prepare_v2(connection, "SELECT group_concat(version || ' ' || name, ', ') FROM schema_migrations", -1,
                         &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr) {
    recorded = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  }
  sqlite3_finalize(statement);
  return recorded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string sql(fuzzBytes(data, size));
  std::string lower = sql;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower.find("vacuum") != std::string::npos) return 0;
  sqlite3* connection = nullptr;
  FUZZ_CHECK(sqlite3_open_v2(":memory:", &connection, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK);
  sqlite3_limit(connection, SQLITE_LIMIT_ATTACHED, 0);
  sqlite3_limit(connection, SQLITE_LIMIT_LENGTH, 1 << 20);
  FUZZ_CHECK(makeServiceSchema(connection));
  FUZZ_CHECK(schemaDifference(connection).empty());
  std::set<std::string> before = typesAndNames(connection);
  std::string recorded = migrations(connection);
  sqlite3_set_authorizer(connection, allowOnlyTheDatabase, nullptr);
  int steps = 0;
  sqlite3_progress_handler(connection, 1000, tooLong, &steps);
  run(connection, sql);
  sqlite3_progress_handler(connection, 0, nullptr, nullptr);
  sqlite3_set_authorizer(connection, nullptr, nullptr);
  std::string difference = schemaDifference(connection);
  if (typesAndNames(connection) != before || migrations(connection) != recorded) FUZZ_CHECK(!difference.empty());
  sqlite3_close(connection);
  return 0;
}
