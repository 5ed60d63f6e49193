#include "database.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <unordered_map>

sqlite3* database = nullptr;
std::mutex databaseMutex;
sqlite3* readDatabase = nullptr;
thread_local int writeWaitMs = writeBusyTimeoutMs;

namespace {

constexpr std::int64_t applicationId = databaseApplicationId;

std::mutex readDatabaseMutex;
std::unordered_map<std::string, sqlite3_stmt*> statements;
std::unordered_map<std::string, sqlite3_stmt*> readStatements;

void finalizeAll(std::unordered_map<std::string, sqlite3_stmt*>& cache) {
  for (auto& entry : cache) sqlite3_finalize(entry.second);
  cache.clear();
}

// A read left open keeps its snapshot, and with it every later page in the
// WAL: the checkpoint after COMMIT could then never restart the log.
void resetOpenStatements() {
  for (sqlite3_stmt* statement = sqlite3_next_stmt(database, nullptr); statement != nullptr;
       statement = sqlite3_next_stmt(database, statement)) {
    if (sqlite3_stmt_busy(statement) != 0) sqlite3_reset(statement);
  }
}

// SQLite's busy handler: retry every few milliseconds within this thread's budget.
int retryWithinBudget(void*, int retries) {
  constexpr int retryStepMs = 5;
  if (retries * retryStepMs >= writeWaitMs) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(retryStepMs));
  return 1;
}

bool hasTable(const char* name) {
  Use table("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
  return table.bind(1, std::string(name)).step() == SQLITE_ROW;
}

// "" when the file is ours or new; otherwise why it is not.
std::string checkOwnership(std::int64_t id, std::int64_t userVersion, std::int64_t objects, int newestSchemaVersion) {
  const char* const foreign = "it is another program's SQLite database";
  if (id != 0 && id != applicationId) return foreign;
  if (userVersion > newestSchemaVersion) return "it was written by a newer version of this service";
  if (id == applicationId || (objects == 0 && userVersion == 0)) return "";
  // Made before files were marked: the staff and notification tables at a known version.
  bool oursUnmarked = userVersion >= 1 && hasTable("staff") && hasTable("notification");
  return oursUnmarked ? "" : foreign;
}

}  // namespace

void reportError(const char* what, sqlite3* connection) {
  // NOLINTNEXTLINE(cert-err33-c): nowhere left to report to
  std::fprintf(stderr, "vestibra-reception: database %s: %s\n", what, connection ? sqlite3_errmsg(connection) : "closed");
}

bool execute(const char* sql) {
  char* message = nullptr;
  int result = sqlite3_exec(database, sql, nullptr, nullptr, &message);
  sqlite3_free(message);
  return result == SQLITE_OK;
}

void waitForLocksWithinBudget() { sqlite3_busy_handler(database, retryWithinBudget, nullptr); }

bool lastErrorWasBusy() {
  int code = sqlite3_errcode(database) & 0xFF;
  return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

std::string checkDatabaseFile(int newestSchemaVersion) {
  std::int64_t id = 0;
  {
    Use header("PRAGMA application_id");
    // The first read: a file that is not SQLite fails here.
    if (header.step() != SQLITE_ROW) return sqlite3_errmsg(database);
    id = header.integer(0);
  }
  {
    Use check("PRAGMA quick_check(1)");
    if (check.step() != SQLITE_ROW) return std::string("it is damaged: ") + sqlite3_errmsg(database);
    std::string verdict = check.text(0);
    if (verdict != "ok") return "it is damaged (quick_check: " + verdict + ")";
  }
  Use version("PRAGMA user_version");
  Use objects("SELECT count(*) FROM sqlite_master");
  if (version.step() != SQLITE_ROW || objects.step() != SQLITE_ROW) return sqlite3_errmsg(database);
  return checkOwnership(id, version.integer(0), objects.integer(0), newestSchemaVersion);
}

bool markDatabaseFile() { return execute(("PRAGMA application_id = " + std::to_string(applicationId)).c_str()); }

std::string openReadDatabase(const std::string& path) {
  // An in-memory database cannot be opened twice: reads share the one connection.
  if (path.empty() || path == ":memory:") {
    readDatabase = database;
    return "";
  }
  if (sqlite3_open_v2(path.c_str(), &readDatabase, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
    std::string error = readDatabase ? sqlite3_errmsg(readDatabase) : "out of memory";
    sqlite3_close(readDatabase);
    readDatabase = nullptr;
    return error;
  }
  sqlite3_busy_timeout(readDatabase, readBusyTimeoutMs);
  char* message = nullptr;
  int result = sqlite3_exec(readDatabase, "PRAGMA query_only = 1", nullptr, nullptr, &message);
  sqlite3_free(message);
  return result == SQLITE_OK ? "" : sqlite3_errmsg(readDatabase);
}

std::unique_lock<std::mutex> lockForReading() {
  return std::unique_lock<std::mutex>(readDatabase == database ? databaseMutex : readDatabaseMutex);
}

void closeDatabase() {
  {
    std::lock_guard<std::mutex> lock(readDatabaseMutex);
    finalizeAll(readStatements);
    if (readDatabase != database) sqlite3_close(readDatabase);
    readDatabase = nullptr;
  }
  finalizeAll(statements);
  sqlite3_close(database);
  database = nullptr;
}

Use::Use(const std::string& sql) : Use(database, sql) {}

Use::Use(sqlite3* connection, const std::string& sql) {
  auto& cache = connection == database ? statements : readStatements;
  auto found = cache.find(sql);
  if (found != cache.end()) {
    statement_ = found->second;
  } else if (sqlite3_prepare_v3(connection, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr) == SQLITE_OK) {
    cache.emplace(sql, statement_);
  } else {
    reportError("prepare", connection);
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

Transaction::Transaction() {
  Use begin("BEGIN IMMEDIATE");
  begun_ = begin.step() == SQLITE_DONE;
  if (!begun_) reportError("begin a transaction");
}

Transaction::~Transaction() {
  // A failed COMMIT may have ended the transaction itself: then there is
  // nothing to roll back, and trying only hides what failed.
  if (!begun_ || committed_ || sqlite3_get_autocommit(database) != 0) return;
  Use rollback("ROLLBACK");
  if (rollback.step() != SQLITE_DONE) reportError("rollback");
}

bool Transaction::commit() {
  if (!begun_) return false;
  resetOpenStatements();
  Use commit("COMMIT");
  committed_ = commit.step() == SQLITE_DONE;
  if (!committed_) reportError("commit");
  return committed_;
}
