// The schema's migrations: the two engines end with the same tables,
// columns, indexes and triggers; a database from the release before
// migrations keeps every row; one from a newer version is refused.
#include <sqlite3.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reception_test_support.h"
#include "store/migrations.h"
#include "store/schema.h"
#include "store/staff.h"

namespace {

std::string fixture(const std::string& name) {
  std::ifstream file(std::string(FIXTURE_DIR) + "/" + name, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> split;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty()) split.push_back(line);
  }
  return split;
}

// Every row of a SQLite query, its columns joined by '|', sorted.
std::vector<std::string> sqliteRows(sqlite3* connection, const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << sqlite3_errmsg(connection);
    return rows;
  }
  while (sqlite3_step(statement) == SQLITE_ROW) {
    std::string row;
    for (int column = 0; column < sqlite3_column_count(statement); ++column) {
      const unsigned char* text = sqlite3_column_text(statement, column);
      row += (column == 0 ? "" : "|") + std::string(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
    }
    rows.push_back(row);
  }
  sqlite3_finalize(statement);
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::string postgresValue(TestPostgresDatabase& database, const std::string& sql) {
  std::string value;
  std::string error = database.execute(sql, &value);
  EXPECT_EQ(error, "") << sql;
  return value;
}

// The schema as one line per table, column (name, a type common to both
// engines, whether it takes NULL), index made by CREATE INDEX (its table,
// columns, uniqueness, whether partial) and trigger (its table and event),
// sorted. Constraint indexes and each engine's own objects are left out.
const char* const sqliteDescription = R"sql(
SELECT 'table ' || name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\_%' ESCAPE '\'
UNION ALL
SELECT 'column ' || m.name || '.' || c.name || ' ' || (CASE lower(c.type) WHEN 'integer' THEN 'integer' ELSE lower(c.type) END) ||
       (CASE WHEN c."notnull" OR c.pk THEN ' not null' ELSE '' END)
  FROM sqlite_master m, pragma_table_info(m.name) c WHERE m.type = 'table' AND m.name NOT LIKE 'sqlite\_%' ESCAPE '\'
UNION ALL
SELECT 'index ' || i.name || ' on ' || m.name || (CASE WHEN i."unique" THEN ' unique' ELSE '' END) ||
       (CASE WHEN i.partial THEN ' partial' ELSE '' END) || ' (' ||
       (SELECT group_concat(coalesce(name, 'expression'), ', ') FROM (SELECT x.name FROM pragma_index_info(i.name) x ORDER BY x.seqno)) || ')'
  FROM sqlite_master m, pragma_index_list(m.name) i WHERE m.type = 'table' AND i.origin = 'c'
UNION ALL
SELECT 'trigger ' || name || ' on ' || tbl_name || ' ' ||
       (CASE WHEN sql LIKE '%AFTER INSERT%' THEN 'insert' WHEN sql LIKE '%AFTER UPDATE%' THEN 'update' ELSE 'delete' END)
  FROM sqlite_master WHERE type = 'trigger'
)sql";

const char* const postgresDescription = R"sql(
SELECT string_agg(line, E'\n' ORDER BY line) FROM (
SELECT 'table ' || table_name AS line FROM information_schema.tables
  WHERE table_schema = current_schema() AND table_type = 'BASE TABLE'
UNION ALL
SELECT 'column ' || table_name || '.' || column_name || ' ' || (CASE data_type WHEN 'bigint' THEN 'integer' ELSE data_type END) ||
       (CASE WHEN is_nullable = 'NO' THEN ' not null' ELSE '' END)
  FROM information_schema.columns WHERE table_schema = current_schema()
UNION ALL
SELECT 'index ' || c.relname || ' on ' || t.relname || (CASE WHEN i.indisunique THEN ' unique' ELSE '' END) ||
       (CASE WHEN i.indpred IS NOT NULL THEN ' partial' ELSE '' END) || ' (' ||
       (SELECT string_agg(coalesce(a.attname, 'expression'), ', ' ORDER BY k.n)
          FROM unnest(i.indkey::int2[]) WITH ORDINALITY AS k(attnum, n)
          LEFT JOIN pg_attribute a ON a.attrelid = t.oid AND a.attnum = k.attnum AND k.attnum <> 0) || ')'
  FROM pg_index i JOIN pg_class c ON c.oid = i.indexrelid JOIN pg_class t ON t.oid = i.indrelid
  JOIN pg_namespace s ON s.oid = t.relnamespace
  WHERE s.nspname = current_schema() AND NOT EXISTS (SELECT 1 FROM pg_constraint WHERE conindid = i.indexrelid)
UNION ALL
SELECT DISTINCT 'trigger ' || trigger_name || ' on ' || event_object_table || ' ' || lower(event_manipulation)
  FROM information_schema.triggers WHERE trigger_schema = current_schema()
) AS described
)sql";

std::vector<std::string> describedSqlite(const std::filesystem::path& file) {
  sqlite3* connection = nullptr;
  EXPECT_EQ(sqlite3_open_v2(file.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  std::vector<std::string> described = sqliteRows(connection, sqliteDescription);
  sqlite3_close(connection);
  return described;
}

std::vector<std::string> describedPostgres(TestPostgresDatabase& database) {
  return lines(postgresValue(database, postgresDescription));
}

std::string openAndClose(const std::string& database) {
  std::string error = openStorage(database);
  closeStorage();
  return error;
}

// Every row of every table, by the columns each table had before the
// upgrade: what the upgrade must keep (a later migration may add columns).
struct TableRows {
  std::string table;
  std::string columns;
  std::vector<std::string> rows;
};

std::vector<TableRows> sqliteRowsByTable(const std::filesystem::path& file, std::vector<TableRows> tables = {}) {
  sqlite3* connection = nullptr;
  EXPECT_EQ(sqlite3_open_v2(file.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  if (tables.empty()) {
    for (const std::string& table : sqliteRows(connection, "SELECT name FROM sqlite_master WHERE type = 'table'")) {
      std::vector<std::string> columns = sqliteRows(
          connection, "SELECT group_concat(name, ', ') FROM (SELECT name FROM pragma_table_info('" + table + "') ORDER BY cid)");
      tables.push_back({table, columns.at(0), {}});
    }
  }
  for (TableRows& table : tables) table.rows = sqliteRows(connection, "SELECT " + table.columns + " FROM " + table.table);
  sqlite3_close(connection);
  return tables;
}

std::vector<TableRows> postgresRowsByTable(TestPostgresDatabase& database, std::vector<TableRows> tables = {}) {
  if (tables.empty()) {
    std::string names = postgresValue(database, "SELECT string_agg(table_name, E'\\n' ORDER BY table_name) FROM "
                                                "information_schema.tables WHERE table_schema = current_schema()");
    for (const std::string& table : lines(names)) {
      std::string columns = postgresValue(database, "SELECT string_agg(quote_ident(column_name), ', ' ORDER BY ordinal_position) "
                                                    "FROM information_schema.columns WHERE table_schema = current_schema() "
                                                    "AND table_name = '" + table + "'");
      tables.push_back({table, columns, {}});
    }
  }
  for (TableRows& table : tables) {
    std::string row = "ROW(" + table.columns + ")::text";
    table.rows = lines(postgresValue(database, "SELECT string_agg(" + row + ", E'\\n' ORDER BY " + row + ") FROM " + table.table));
  }
  return tables;
}

void expectEveryRowKept(const std::vector<TableRows>& before, const std::vector<TableRows>& after) {
  ASSERT_EQ(before.size(), after.size());
  for (std::size_t table = 0; table < before.size(); ++table) {
    EXPECT_FALSE(before[table].rows.empty()) << before[table].table << ": the fixture has a row in every table";
    EXPECT_EQ(after[table].rows, before[table].rows) << before[table].table;
  }
}

std::string landedSqliteFile(const std::filesystem::path& file) {
  sqlite3* connection = nullptr;
  sqlite3_open(file.c_str(), &connection);
  char* message = nullptr;
  std::string sql = fixture("landed_sqlite.sql");
  std::string error = sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK ? "" : message;
  sqlite3_free(message);
  sqlite3_close(connection);
  return error;
}

}  // namespace

// Applied in full on each engine, the migrations give the same tables,
// columns, indexes and triggers, and record the same migrations.
TEST(MigrationSchemas, BothEnginesEndWithTheSameSchema) {
  if (!testsOnPostgres()) GTEST_SKIP() << "needs the server of the postgresql label";
  TemporaryDirectory directory;
  const std::filesystem::path file = directory.path / "reception.db";
  ASSERT_EQ(openAndClose(file.string()), "");
  TestPostgresDatabase postgres;
  std::string error;
  std::string uri = postgres.create(error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(openAndClose(uri), "");

  std::vector<std::string> onSqlite = describedSqlite(file);
  std::vector<std::string> onPostgres = describedPostgres(postgres);
  ASSERT_GT(onSqlite.size(), 100u);
  for (const std::string& line : onSqlite) {
    EXPECT_NE(std::find(onPostgres.begin(), onPostgres.end(), line), onPostgres.end()) << "only on SQLite: " << line;
  }
  // Announcing ended host sessions to other instances is PostgreSQL's alone:
  // processes on one SQLite file see every commit by the file's data version.
  const std::vector<std::string> announcementsOnlyOnPostgres = {"trigger host_session_ended on host_session delete"};
  for (const std::string& line : onPostgres) {
    bool announcement = std::find(announcementsOnlyOnPostgres.begin(), announcementsOnlyOnPostgres.end(), line) !=
                        announcementsOnlyOnPostgres.end();
    EXPECT_EQ(std::find(onSqlite.begin(), onSqlite.end(), line) != onSqlite.end(), !announcement)
        << (announcement ? "on SQLite too: " : "only on PostgreSQL: ") << line;
  }
  sqlite3* connection = nullptr;
  ASSERT_EQ(sqlite3_open_v2(file.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  std::vector<std::string> recorded = sqliteRows(connection, "SELECT version || ' ' || name FROM schema_migrations");
  sqlite3_close(connection);
  EXPECT_EQ(recorded.size(), static_cast<std::size_t>(latestMigration()));
  EXPECT_EQ(lines(postgresValue(postgres, "SELECT string_agg(version || ' ' || name, E'\\n' ORDER BY version::text) "
                                          "FROM schema_migrations")),
            recorded);
  postgres.drop();
}

// A database made by the release before migrations (a row in every table)
// opens on this one with every row kept, ends with exactly the schema a new
// database gets, and opens again unchanged.
TEST(MigrationUpgrade, ADatabaseOfTheReleaseBeforeMigrationsKeepsEveryRow) {
  TemporaryDirectory directory;
  if (testsOnPostgres()) {
    TestPostgresDatabase landed;
    TestPostgresDatabase fresh;
    std::string error;
    std::string uri = landed.create(error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(landed.execute(fixture("landed_postgres.sql") + fixture("landed_rows.sql")), "");
    std::vector<TableRows> before = postgresRowsByTable(landed);
    ASSERT_GE(before.size(), 20u);
    for (int opening = 0; opening < 2; ++opening) {
      ASSERT_EQ(openAndClose(uri), "") << opening;
      expectEveryRowKept(before, postgresRowsByTable(landed, before));
    }
    std::string freshUri = fresh.create(error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(openAndClose(freshUri), "");
    // schema_version stays for an instance of that release still running
    // during the upgrade; the rest is what a new database gets.
    std::vector<std::string> upgraded = describedPostgres(landed);
    upgraded.erase(std::remove_if(upgraded.begin(), upgraded.end(),
                                  [](const std::string& line) { return line.find(" schema_version") != std::string::npos; }),
                   upgraded.end());
    EXPECT_EQ(upgraded, describedPostgres(fresh));
    landed.drop();
    fresh.drop();
    return;
  }
  const std::filesystem::path file = directory.path / "reception.db";
  ASSERT_EQ(landedSqliteFile(file), "");
  std::vector<TableRows> before = sqliteRowsByTable(file);
  ASSERT_GE(before.size(), 20u);
  for (int opening = 0; opening < 2; ++opening) {
    ASSERT_EQ(openAndClose(file.string()), "") << opening;
    expectEveryRowKept(before, sqliteRowsByTable(file, before));
  }
  sqlite3* connection = nullptr;
  ASSERT_EQ(sqlite3_open_v2(file.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  EXPECT_EQ(schemaDifference(connection), "") << "the same schema as a new database, text and all";
  // Notifiers' lookups use the index only while its expression is the queries'.
  std::vector<std::string> lookupIndex = sqliteRows(connection, "SELECT sql FROM sqlite_master WHERE name = 'staff_lookup'");
  ASSERT_EQ(lookupIndex.size(), 1u);
  EXPECT_NE(lookupIndex[0].find(lookupNameSql), std::string::npos) << lookupIndex[0];
  sqlite3_close(connection);
}

// A database that records a migration this build does not know is refused
// at start, exit 1, naming its migration and the highest this build knows;
// nothing is written to it.
TEST(MigrationRefusal, AMigrationFromANewerVersionIsRefused) {
  TemporaryDirectory directory;
  TestPostgresDatabase postgres;
  std::string database = testDatabaseIn(directory.path, postgres);
  ASSERT_NE(database, "");
  ASSERT_EQ(openAndClose(database), "");
  const std::string future = std::to_string(latestMigration() + 7);
  const std::string record = "INSERT INTO schema_migrations (version, name, applied_at) VALUES (" + future + ", 'later', 1)";
  const std::filesystem::path file = directory.path / "reception.db";
  if (testsOnPostgres()) {
    ASSERT_EQ(postgres.execute(record), "");
  } else {
    sqlite3* connection = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &connection), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(connection, record.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(connection);
  }
  std::vector<std::string> before = testsOnPostgres() ? describedPostgres(postgres) : describedSqlite(file);
  std::string output;
  int status = runService({"--listen", "127.0.0.1:0", "--database", database}, directory.path, output);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
  EXPECT_NE(output.find("its schema is at migration " + future + ", this version knows migrations up to " +
                        std::to_string(latestMigration())),
            std::string::npos)
      << output;
  EXPECT_EQ(testsOnPostgres() ? describedPostgres(postgres) : describedSqlite(file), before);
  if (testsOnPostgres()) postgres.drop();
}
