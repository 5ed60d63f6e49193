// The service's database, a SQLite file or a PostgreSQL server: one write
// connection, and a read connection for each thread that reads, each with
// its own lock and statement cache. A
// query runs only through a ReadSession (the thread's read connection, never
// waiting for the write lock nor for another thread's read) or a
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

#include "store/fair_mutex.h"

struct PgStatement;

// Every store operation ends in one of these. busy: another process held the
// database past the wait budget (worth a retry); failed: an error that was
// logged naming the operation; unreachable: the database server is gone
// (PostgreSQL; worth a retry too, but not to be called busy).
enum class Outcome { ok, notFound, conflict, busy, failed, unreachable };

// Whether the operation may succeed if tried again shortly.
inline bool worthRetry(Outcome outcome) { return outcome == Outcome::busy || outcome == Outcome::unreachable; }

// "VSTB" in the SQLite header: marks a file as this service's database.
constexpr std::int64_t databaseApplicationId = 0x56535442;

// PostgreSQL: the advisory lock every write transaction takes, on every
// instance, so that writes are one at a time as on SQLite.
constexpr std::int64_t postgresWriteLockKey = 5653544257;

// The Retry-After of an answer refused because the database was busy.
constexpr int databaseRetryAfterSeconds = 2;

// How long a write may wait for another process's lock before it gives up.
// A lane sets its budget for its thread with WriteWaitBudget; the HTTP
// server's own threads use 0, since a write waiting there would hold up
// every connection the thread serves. With 0 a thread waits for nothing:
// not for SQLite, not for a write of this process holding the write
// connection (the write is busy at once), and its reads do not wait either.
constexpr int writeBusyTimeoutMs = 2000;
constexpr int readBusyTimeoutMs = 1000;

// How long a thread waits for the PostgreSQL server to answer a connect or
// a statement before it gives up on the connection (busy). The HTTP
// server's own threads (wait budget 0) wait at most serverThreadAnswerMs
// and, while the server is known not to answer, do not ask it at all (see
// store/postgres_breaker); a lane sets requestAnswerMs with AnswerDeadline;
// other threads (background work) wait backgroundAnswerMs.
constexpr int serverThreadAnswerMs = 1000;
constexpr int requestAnswerMs = 4000;
constexpr int backgroundAnswerMs = 10000;

// Sets the calling thread's answer deadline (for threads whose budget is not 0) while it lives.
class AnswerDeadline {
 public:
  explicit AnswerDeadline(int milliseconds);
  ~AnswerDeadline();
  AnswerDeadline(const AnswerDeadline&) = delete;
  AnswerDeadline& operator=(const AnswerDeadline&) = delete;

 private:
  int saved_;
};

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

// Whether the calling thread may wait for the database (its budget is not 0).
bool mayWaitForDatabase();

// Opens the write and the read connection on the file (":memory:" shares
// one), or the write connection to the PostgreSQL server of a postgresql://
// URI (password: "" lets libpq find one); "" or the database's message.
// Nothing is read or written yet.
std::string openConnections(const std::string& path, const std::string& password = "");
// Finalizes every cached statement and closes both connections.
void closeDatabase();
bool databaseIsOpen();
// Whether the open storage is a PostgreSQL database rather than a SQLite file.
bool databaseOnPostgres();

// Copies the WAL into the database file and truncates it to nothing, so that
// no old version of a page stays in it; busy when a reader or another
// process kept it from finishing.
Outcome checkpointWal();

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

  bool ok() const { return statement_ != nullptr || pg_ != nullptr; }
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
  explicit Statement(PgStatement* statement) : connection_(nullptr), statement_(nullptr), pg_(statement) {}
  sqlite3* connection_;
  sqlite3_stmt* statement_;
  PgStatement* pg_ = nullptr;
};

// Reads on the read connection under its lock. In WAL mode it sees the last
// commit while a writer waits for the file, so reads never queue behind a
// write that another process holds up.
// Each thread reads on a connection of its own, opened on its first read.
class ReadSession {
 public:
  ReadSession();
  ~ReadSession();
  ReadSession(const ReadSession&) = delete;
  ReadSession& operator=(const ReadSession&) = delete;
  Statement prepare(const std::string& sql);
  // Logs what failed; busy when another process held the database.
  Outcome fail(const char* what);
  // SQLite's PRAGMA data_version on this connection: it changes whenever
  // another connection, of this process or another, has committed since.
  // SQLite only: PostgreSQL announces changes (store/postgres_changes).
  Outcome dataVersion(std::int64_t& version);
  // Which connection this is: a number never given to another one, so that a
  // data version is compared only with one of the same connection.
  std::uint64_t connectionId() const;
  // Whether the calling thread has a ReadSession open (which a second one
  // on the same thread would wait for).
  static bool openOnThisThread();

 private:
  std::unique_lock<FairMutex> lock_;
};

// BEGIN IMMEDIATE ... COMMIT on the write connection under its lock, rolled
// back unless committed; a commit is told to store/data_changes once the
// write connection is free again. COMMIT first resets every statement still open, so
// that no read keeps the WAL from being checkpointed: read what you need
// from a Statement before committing.
class WriteTransaction {
 public:
  WriteTransaction();
  // Begins only if no other write of this process holds the connection;
  // otherwise begun() is false and nothing waits. A thread whose wait budget
  // is 0 always begins this way (busy when the connection is taken).
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
  std::unique_lock<FairMutex> lock_;
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
  std::unique_lock<FairMutex> lock_;
};
