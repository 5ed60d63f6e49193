// The schema as numbered migrations, one file per dialect under
// store/migrations/<dialect>/NNNN_name.sql, built into the program
// (embed_migrations.cmake). The database records each one applied in
// schema_migrations (version, name, applied_at).
//
// To change the schema, add the next number in both folders: the same
// number and name, each file in its dialect's own words. A migration only
// adds (a table, a nullable column, an index), never renames or drops, so
// that the previous version keeps running on the schema during a rolling
// upgrade. A file once released is never edited.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class SetupConnection;

enum class SqlDialect { sqlite, postgres };

struct Migration {
  std::int64_t version;
  std::string_view name;
  std::string_view sql;
};

// In order, numbered 1, 2, 3, ...; both dialects have the same numbers and names.
const std::vector<Migration>& migrationsFor(SqlDialect dialect);
// The highest migration this build knows.
std::int64_t latestMigration();

// The table that records the migrations applied, in the dialect's words.
const char* migrationTableSql(SqlDialect dialect);

// "" when the database records no migration above those this build knows;
// otherwise the refusal, naming both numbers. Reads only.
std::string unknownMigrationRefusal(SetupConnection& setup, SqlDialect dialect);

// Applies each migration not yet recorded, in order, each in a transaction
// of its own with its record; "" or what failed, naming the migration.
// On PostgreSQL the caller holds the schema's advisory lock.
std::string applyMigrations(SetupConnection& setup, SqlDialect dialect);
