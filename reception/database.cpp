#include "database.h"

#include <cstdio>
#include <unordered_map>

sqlite3* database = nullptr;
std::mutex databaseMutex;

namespace {

std::unordered_map<std::string, sqlite3_stmt*> statements;

}  // namespace

void reportError(const char* what) {
  // NOLINTNEXTLINE(cert-err33-c): nowhere left to report to
  std::fprintf(stderr, "vestibra-reception: database %s: %s\n", what, database ? sqlite3_errmsg(database) : "closed");
}

bool execute(const char* sql) {
  char* message = nullptr;
  int result = sqlite3_exec(database, sql, nullptr, nullptr, &message);
  sqlite3_free(message);
  return result == SQLITE_OK;
}

void closeDatabase() {
  for (auto& entry : statements) sqlite3_finalize(entry.second);
  statements.clear();
  sqlite3_close(database);
  database = nullptr;
}

Use::Use(const std::string& sql) {
  auto found = statements.find(sql);
  if (found != statements.end()) {
    statement_ = found->second;
  } else if (sqlite3_prepare_v3(database, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr) == SQLITE_OK) {
    statements.emplace(sql, statement_);
  } else {
    reportError("prepare");
    statement_ = nullptr;
  }
}

Use::~Use() {
  if (statement_ == nullptr) return;
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

Use& Use::bind(int index, std::int64_t value) {
  if (ok()) sqlite3_bind_int64(statement_, index, value);
  return *this;
}

Use& Use::bind(int index, const std::string& value) {
  if (ok()) sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  return *this;
}

int Use::step() { return ok() ? sqlite3_step(statement_) : SQLITE_ERROR; }

bool Use::run() {
  int result = step();
  if (result != SQLITE_DONE) reportError("write");
  return result == SQLITE_DONE;
}

std::int64_t Use::integer(int column) const { return sqlite3_column_int64(statement_, column); }

std::optional<std::int64_t> Use::optionalInteger(int column) const {
  if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
  return integer(column);
}

std::string Use::text(int column) const {
  const unsigned char* value = sqlite3_column_text(statement_, column);
  return value ? std::string(reinterpret_cast<const char*>(value),
                             static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
               : std::string();
}

Transaction::Transaction() : begun_(Use("BEGIN IMMEDIATE").run()) {}

Transaction::~Transaction() {
  if (begun_ && !committed_) Use("ROLLBACK").run();
}

bool Transaction::commit() { return committed_ = begun_ && Use("COMMIT").run(); }
