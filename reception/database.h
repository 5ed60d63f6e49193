// The service's one SQLite connection and the few helpers every table's
// code shares: cached prepared statements, transactions and error lines.
// Each concern (staff and notifications, accounts, audit, ...) keeps its
// own queries in its own file and uses these under databaseMutex.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

// Open between openStorage and closeStorage; used only under databaseMutex.
// Every write goes through this connection.
extern sqlite3* database;
extern std::mutex databaseMutex;

// A second connection for reads that need no transaction with a write.
// In WAL mode it reads the last commit while a writer waits for the file,
// so lists and polls never queue behind a write held up by another process.
// Taken with lockForReading(); statements from Use::reading(). For an
// in-memory database it is the write connection itself (and its mutex).
extern sqlite3* readDatabase;
std::unique_lock<std::mutex> lockForReading();

// How long a write may wait for another process's lock before it gives up
// (and the request answers 503), per thread: writeBusyTimeoutMs unless the
// thread sets less. The HTTP server's own threads set 0, since a write
// waiting there would hold up every connection that thread serves.
constexpr int writeBusyTimeoutMs = 2000;
constexpr int readBusyTimeoutMs = 1000;
extern thread_local int writeWaitMs;
// Makes the write connection wait for locks within writeWaitMs.
void waitForLocksWithinBudget();

// One line on stderr naming the operation and SQLite's message.
void reportError(const char* what, sqlite3* connection = database);
// Runs SQL text without results; false on any error.
bool execute(const char* sql);
// Whether the last failure on the write connection was another process
// holding the database (as opposed to damage or a full disk).
bool lastErrorWasBusy();

// "VSTB" in the SQLite header: marks a file as this service's database.
constexpr std::int64_t databaseApplicationId = 0x56535442;

// Refuses a file that is not this service's database before anything is
// written to it: not SQLite, another program's SQLite file (by its
// application id), damaged (quick_check) or from a newer version. A new
// empty file, and one of ours from before application ids, are accepted.
// "" or why not.
std::string checkDatabaseFile(int newestSchemaVersion);
// Marks the file as this service's (after its schema is in place).
bool markDatabaseFile();
// Opens the read connection beside the open write connection.
std::string openReadDatabase(const std::string& path);
// Finalizes every cached statement and closes both connections.
void closeDatabase();

// A prepared statement from the cache, reset and unbound when the use ends.
// The cache is keyed by the SQL text, so a statement built at run time is
// prepared once per distinct text, not once per call.
class Use {
 public:
  explicit Use(const std::string& sql);
  // A statement on the read connection, used under lockForReading().
  static Use reading(const std::string& sql) { return Use(readDatabase, sql); }
  ~Use();
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  bool ok() const { return statement_ != nullptr; }
  Use& bind(int index, std::int64_t value);
  Use& bind(int index, const std::string& value);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step();
  // Steps a statement without rows; false (and an error line) unless done.
  bool run();
  std::int64_t integer(int column) const;
  std::optional<std::int64_t> optionalInteger(int column) const;
  std::string text(int column) const;

 private:
  Use(sqlite3* connection, const std::string& sql);
  sqlite3_stmt* statement_ = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT, rolled back unless committed. COMMIT first
// resets every statement still open on the connection (a Use still in
// scope included), so that no read keeps the WAL from being checkpointed:
// read what you need from a Use before committing.
class Transaction {
 public:
  Transaction();
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool begun() const { return begun_; }
  bool commit();

 private:
  bool begun_ = false;
  bool committed_ = false;
};
