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
extern sqlite3* database;
extern std::mutex databaseMutex;

// One line on stderr naming the operation and SQLite's message.
void reportError(const char* what);
// Runs SQL text without results; false on any error.
bool execute(const char* sql);
// Finalizes every cached statement and closes the connection.
void closeDatabase();

// A prepared statement from the cache, reset and unbound when the use ends.
// The cache is keyed by the SQL text, so a statement built at run time is
// prepared once per distinct text, not once per call.
class Use {
 public:
  explicit Use(const std::string& sql);
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
  sqlite3_stmt* statement_ = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT, rolled back unless committed.
class Transaction {
 public:
  Transaction();
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool begun() const { return begun_; }
  bool commit();

 private:
  bool begun_;
  bool committed_ = false;
};
