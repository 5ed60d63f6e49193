// The service's SQLite database: a write connection and a read connection,
// each with its own lock and statement cache. A query runs only through a
// ReadSession (the read connection, never waiting for the write lock) or a
// WriteTransaction (the write connection, within the wait budget of the
// thread's lane), so which connection and lock a query uses follows from
// its type, not from each caller's choice.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

// Every store operation ends in one of these. busy: another process held the
// database past the wait budget (worth a retry); failed: an error that was
// logged naming the operation.
enum class Outcome { ok, notFound, conflict, busy, failed };

// "VSTB" in the SQLite header: marks a file as this service's database.
constexpr std::int64_t databaseApplicationId = 0x56535442;

// The Retry-After of an answer refused because the database was busy.
constexpr int databaseRetryAfterSeconds = 2;

// How long a write may wait for another process's lock before it gives up.
// A lane sets its budget for its thread with WriteWaitBudget; the HTTP
// server's own threads use 0, since a write waiting there would hold up
// every connection the thread serves.
constexpr int writeBusyTimeoutMs = 2000;
constexpr int readBusyTimeoutMs = 1000;

// Sets the calling thread's write wait budget while it lives.
class WriteWaitBudget {
 public:
  explicit WriteWaitBudget(int milliseconds);
  ~WriteWaitBudget();
  WriteWaitBudget(const WriteWaitBudget&) = delete;
  WriteWaitBudget& operator=(const WriteWaitBudget&) = delete;

 private:
  int saved_;
};

// Opens the write and the read connection on the file (":memory:" shares
// one); "" or SQLite's message. Nothing is read or written yet.
std::string openConnections(const std::string& path);
// Finalizes every cached statement and closes both connections.
void closeDatabase();
bool databaseIsOpen();

// One line on stderr naming the operation and SQLite's message.
void reportError(const char* what, sqlite3* connection);

// A prepared statement from its connection's cache, reset and unbound when
// it goes out of scope. Made only by a ReadSession or a WriteTransaction.
class Statement {
 public:
  ~Statement();
  Statement(Statement&& other) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  Statement& operator=(Statement&&) = delete;

  bool ok() const { return statement_ != nullptr; }
  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, const std::string& value);
  Statement& bindOptional(int index, const std::optional<std::string>& value);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step();
  // Steps a statement without rows; false unless done.
  bool run();
  std::int64_t integer(int column) const;
  std::optional<std::int64_t> optionalInteger(int column) const;
  std::string text(int column) const;
  std::optional<std::string> optionalText(int column) const;

 private:
  friend class ReadSession;
  friend class WriteTransaction;
  friend class SetupConnection;
  Statement(sqlite3* connection, sqlite3_stmt* statement) : connection_(connection), statement_(statement) {}
  sqlite3* connection_;
  sqlite3_stmt* statement_;
};

// Reads on the read connection under its lock. In WAL mode it sees the last
// commit while a writer waits for the file, so reads never queue behind a
// write that another process holds up.
class ReadSession {
 public:
  ReadSession();
  ReadSession(const ReadSession&) = delete;
  ReadSession& operator=(const ReadSession&) = delete;
  Statement prepare(const std::string& sql);
  // Logs what failed and says so.
  Outcome fail(const char* what);

 private:
  std::unique_lock<std::mutex> lock_;
};

// BEGIN IMMEDIATE ... COMMIT on the write connection under its lock, rolled
// back unless committed. COMMIT first resets every statement still open, so
// that no read keeps the WAL from being checkpointed: read what you need
// from a Statement before committing.
class WriteTransaction {
 public:
  WriteTransaction();
  // Begins only if no other write of this process holds the connection;
  // otherwise begun() is false and nothing waits.
  struct IfFree {};
  explicit WriteTransaction(IfFree);
  ~WriteTransaction();
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;

  bool begun() const { return begun_; }
  // The outcome of beginning: ok, or busy/failed (logged).
  Outcome beginOutcome() const { return beginOutcome_; }
  Statement prepare(const std::string& sql);
  Outcome commit();
  // Logs what failed; busy when another process held the database.
  Outcome fail(const char* what);
  std::int64_t lastInsertId() const;
  int changes() const;
  // Runs SQL text without results (schema changes); false on any error.
  bool execute(const char* sql);

 private:
  void begin();
  Outcome writePendingNote();
  std::unique_lock<std::mutex> lock_;
  bool begun_ = false;
  bool committed_ = false;
  Outcome beginOutcome_ = Outcome::failed;
};

// What the next write transaction to commit on this thread writes first, in
// the same transaction, while this lives: the audit entry of the change the
// thread is making (see AuditedChange). Written once; should that commit
// fail, the note and the change are both undone.
class CommitNote {
 public:
  explicit CommitNote(std::function<Outcome(WriteTransaction&)> write);
  ~CommitNote();
  CommitNote(const CommitNote&) = delete;
  CommitNote& operator=(const CommitNote&) = delete;
  // Whether a transaction took the note in.
  bool written() const { return written_; }

 private:
  friend class WriteTransaction;
  std::function<Outcome(WriteTransaction&)> write_;
  CommitNote* outer_;
  bool written_ = false;
};

// Opened once at start: the write connection outside any transaction, for
// the pragmas and the schema, and the file checks before anything is
// written. Used only by the schema's code.
class SetupConnection {
 public:
  SetupConnection();
  SetupConnection(const SetupConnection&) = delete;
  SetupConnection& operator=(const SetupConnection&) = delete;
  Statement prepare(const std::string& sql);
  bool execute(const char* sql);
  bool readOnly() const;
  std::string lastError() const;

 private:
  std::unique_lock<std::mutex> lock_;
};
