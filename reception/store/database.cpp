#include "store/database.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "metrics/metrics.h"
#include "store/data_changes.h"
#include "store/database_location.h"
#include "store/postgres_breaker.h"
#include "store/postgres_connection.h"
#include "text/log_stamp.h"
#include "text/utf8.h"

namespace {

// One connection, its lock and its cache of prepared statements, keyed by
// the SQL text: a statement built at run time is prepared once per distinct
// text, not once per call.
struct Connection {
  sqlite3* handle = nullptr;
  FairMutex mutex;
  std::unordered_map<std::string, sqlite3_stmt*> statements;
  std::uint64_t id = 0;
  PgConnection pg;  // in place of handle, on PostgreSQL
};

Connection writeConnection;
// The backend, chosen by openConnections: SQLite unless the location is a postgresql:// URI.
bool onPostgres = false;
PgLocation postgresLocation;
// For an in-memory database, reads use the write connection and its lock.
bool readSharesWrite = false;
std::string databasePath;

// The read connections of every thread, so that closing the database closes
// them too; a thread's connection is opened again when the database it was
// opened on has been closed since (a new openGeneration).
std::mutex readersMutex;
std::vector<std::shared_ptr<Connection>> readers;
std::atomic<std::uint64_t> openGeneration{0};
std::atomic<std::uint64_t> lastConnectionId{0};

thread_local int writeWaitMs = writeBusyTimeoutMs;
thread_local int answerWaitMs = backgroundAnswerMs;
constexpr int setupAnswerMs = 30000;

// Whether the calling thread may ask the server now, with its deadline set
// on the connection; busy at once, without a word in the log (the outage was
// told once), when not.
bool mayAskServer(PgConnection& connection) {
  bool serverThread = writeWaitMs == 0;
  connection.deadlineMs = serverThread ? serverThreadAnswerMs : answerWaitMs;
  if (postgresMayTry(!serverThread)) return true;
  connection.timedOut = true;
  connection.lastState = "08006";
  connection.lastError = "the server does not answer";
  return false;
}

void finalizeAll(Connection& connection) {
  for (auto& entry : connection.statements) sqlite3_finalize(entry.second);
  connection.statements.clear();
}

sqlite3_stmt* cachedStatement(Connection& connection, const std::string& sql) {
  auto found = connection.statements.find(sql);
  if (found != connection.statements.end()) return found->second;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(connection.handle, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
    reportError("prepare", connection.handle);
    return nullptr;
  }
  connection.statements.emplace(sql, statement);
  return statement;
}

// A read left open keeps its snapshot, and with it every later page in the
// WAL: the checkpoint after COMMIT could then never restart the log.
void resetOpenStatements(sqlite3* connection) {
  for (sqlite3_stmt* statement = sqlite3_next_stmt(connection, nullptr); statement != nullptr;
       statement = sqlite3_next_stmt(connection, statement)) {
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

// A read waits at most readBusyTimeoutMs, and not at all on a thread that may not wait.
int retryReadWithinBudget(void*, int retries) {
  constexpr int retryStepMs = 5;
  if (writeWaitMs == 0 || retries * retryStepMs >= readBusyTimeoutMs) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(retryStepMs));
  return 1;
}

bool executeOn(sqlite3* connection, const char* sql) {
  char* message = nullptr;
  int result = sqlite3_exec(connection, sql, nullptr, nullptr, &message);
  sqlite3_free(message);
  return result == SQLITE_OK;
}

bool lastErrorWasBusy(sqlite3* connection) {
  int code = sqlite3_errcode(connection) & 0xFF;
  return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

std::string openFailure(sqlite3*& handle) {
  std::string error = handle ? sqlite3_errmsg(handle) : "out of memory";
  sqlite3_close(handle);
  handle = nullptr;
  return error;
}

void closeConnection(Connection& connection) {
  pgClose(connection.pg);
  finalizeAll(connection);
  sqlite3_close(connection.handle);
  connection.handle = nullptr;
}

// Opens a read connection on the database now open; its handle stays null when that fails (logged).
std::shared_ptr<Connection> openReader(const std::string& path) {
  auto reader = std::make_shared<Connection>();
  reader->id = ++lastConnectionId;
  if (path.empty() || onPostgres) return reader;  // closed, or connected on its first read
  // Only its own thread uses it, under its own lock: SQLite's mutexes would add nothing.
  if (sqlite3_open_v2(path.c_str(), &reader->handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK ||
      !executeOn(reader->handle, "PRAGMA query_only = 1")) {
    reportError("open of a read connection", reader->handle);
    sqlite3_close(reader->handle);
    reader->handle = nullptr;
    return reader;
  }
  sqlite3_busy_handler(reader->handle, retryReadWithinBudget, nullptr);
  return reader;
}

// The calling thread's read connection, closed with the thread.
struct ThreadReader {
  std::shared_ptr<Connection> connection;
  std::uint64_t generation = 0;
  ~ThreadReader() {
    if (!connection) return;
    std::lock_guard<std::mutex> lock(readersMutex);
    readers.erase(std::remove(readers.begin(), readers.end(), connection), readers.end());
    std::lock_guard<FairMutex> own(connection->mutex);
    closeConnection(*connection);
  }
};

Connection& threadReader() {
  thread_local ThreadReader reader;
  if (reader.connection && reader.generation == openGeneration) return *reader.connection;
  std::lock_guard<std::mutex> lock(readersMutex);
  if (reader.connection) readers.erase(std::remove(readers.begin(), readers.end(), reader.connection), readers.end());
  reader.connection = openReader(databasePath);
  reader.generation = openGeneration;
  readers.push_back(reader.connection);
  return *reader.connection;
}

Connection& readSide() { return readSharesWrite ? writeConnection : threadReader(); }

}  // namespace

AnswerDeadline::AnswerDeadline(int milliseconds) : saved_(answerWaitMs) { answerWaitMs = milliseconds; }
AnswerDeadline::~AnswerDeadline() { answerWaitMs = saved_; }

WriteWaitBudget::WriteWaitBudget(int milliseconds) : saved_(writeWaitMs) { writeWaitMs = milliseconds; }
WriteWaitBudget::~WriteWaitBudget() { writeWaitMs = saved_; }

bool mayWaitForDatabase() { return writeWaitMs > 0; }

void reportPgError(const char* what, const PgConnection& connection) {
  // NOLINTNEXTLINE(cert-err33-c): nowhere left to report to
  std::fprintf(stderr, "%svestibra-reception: database %s: %s\n", logStamp().c_str(), what,
               connection.lastError.empty() ? "the server cannot be reached" : connection.lastError.c_str());
}

Outcome pgFailure(const char* what, const PgConnection& connection) {
  // A server that did not answer is told once for the outage (store/postgres_breaker).
  if (!connection.timedOut) reportPgError(what, connection);
  if (!pgLastErrorWasBusy(connection)) return Outcome::failed;
  countEvent(Counter::databaseBusy);
  return pgLastErrorWasLostServer(connection) ? Outcome::unreachable : Outcome::busy;
}

void reportError(const char* what, sqlite3* connection) {
  // NOLINTNEXTLINE(cert-err33-c): nowhere left to report to
  std::fprintf(stderr, "%svestibra-reception: database %s: %s\n", logStamp().c_str(), what,
               connection ? sqlite3_errmsg(connection) : "closed");
}

std::string openConnections(const std::string& path, const std::string& password) {
  std::lock_guard<FairMutex> lock(writeConnection.mutex);
  onPostgres = isPostgresLocation(path);
  if (onPostgres) {
    postgresLocation = PgLocation{path, password};
    resetPostgresBreaker();
    writeConnection.pg.deadlineMs = setupAnswerMs;
    if (!pgConnect(writeConnection.pg, postgresLocation)) {
      std::string error = writeConnection.pg.lastError;
      pgClose(writeConnection.pg);
      onPostgres = false;
      return error;
    }
    writeConnection.id = ++lastConnectionId;
    std::lock_guard<std::mutex> readersLock(readersMutex);
    databasePath = path;
    ++openGeneration;
    return "";
  }
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &writeConnection.handle, flags, nullptr) != SQLITE_OK) {
    return openFailure(writeConnection.handle);
  }
  writeConnection.id = ++lastConnectionId;
  sqlite3_busy_handler(writeConnection.handle, retryWithinBudget, nullptr);
  // An in-memory database cannot be opened twice: reads share the one connection.
  readSharesWrite = path.empty() || path == ":memory:";
  std::lock_guard<std::mutex> readersLock(readersMutex);
  databasePath = path;
  ++openGeneration;
  return "";
}

void closeDatabase() {
  {
    std::lock_guard<std::mutex> lock(readersMutex);
    for (const std::shared_ptr<Connection>& reader : readers) {
      std::lock_guard<FairMutex> own(reader->mutex);
      closeConnection(*reader);
    }
    readers.clear();
    databasePath.clear();
    ++openGeneration;
  }
  std::lock_guard<FairMutex> lock(writeConnection.mutex);
  closeConnection(writeConnection);
  readSharesWrite = false;
  onPostgres = false;
  postgresLocation = PgLocation{};
}

bool databaseOnPostgres() { return onPostgres; }

PgLocation openPostgresLocation() {
  std::lock_guard<FairMutex> lock(writeConnection.mutex);
  return onPostgres ? postgresLocation : PgLocation{};
}

bool databaseIsOpen() {
  std::lock_guard<FairMutex> lock(writeConnection.mutex);
  return writeConnection.handle != nullptr || (onPostgres && !databasePath.empty());
}

// --- Statement ---------------------------------------------------------------

Statement::Statement(Statement&& other) noexcept
    : connection_(other.connection_), statement_(other.statement_), pg_(other.pg_) {
  other.statement_ = nullptr;
  other.pg_ = nullptr;
}

Statement::~Statement() {
  if (pg_ != nullptr) pgReset(*pg_);
  if (statement_ == nullptr) return;
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

Statement& Statement::bind(int index, std::int64_t value) {
  if (pg_ != nullptr) pgBind(*pg_, index, value);
  if (statement_ != nullptr) sqlite3_bind_int64(statement_, index, value);
  return *this;
}

Statement& Statement::bind(int index, const std::string& value) {
  if (pg_ != nullptr) pgBind(*pg_, index, value);
  if (statement_ != nullptr) sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::bindOptional(int index, const std::optional<std::string>& value) {
  if (!value) {
    if (pg_ != nullptr) pgBindNull(*pg_, index);
    if (statement_ != nullptr) sqlite3_bind_null(statement_, index);
    return *this;
  }
  return bind(index, *value);
}

int Statement::step() {
  if (statement_ != nullptr) return sqlite3_step(statement_);
  return pg_ != nullptr ? pgStep(*pg_) : SQLITE_ERROR;
}

bool Statement::run() { return step() == SQLITE_DONE; }

std::int64_t Statement::integer(int column) const {
  if (pg_ != nullptr) return pgInteger(*pg_, column);
  return sqlite3_column_int64(statement_, column);
}

std::optional<std::int64_t> Statement::optionalInteger(int column) const {
  if (pg_ != nullptr ? pgIsNull(*pg_, column) : sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
  return integer(column);
}

// The service writes only valid UTF-8, but a restored or edited file may
// hold anything: invalid bytes become U+FFFD here, where every text is read,
// so no name reaches a mail, a page or a notifier broken.
std::string Statement::text(int column) const {
  if (pg_ != nullptr) {
    std::size_t size = 0;
    const char* value = pgText(*pg_, column, size);
    return value == nullptr ? std::string() : withValidUtf8(std::string_view(value, size));
  }
  const unsigned char* value = sqlite3_column_text(statement_, column);
  if (value == nullptr) return std::string();
  return withValidUtf8(std::string_view(reinterpret_cast<const char*>(value),
                                        static_cast<std::size_t>(sqlite3_column_bytes(statement_, column))));
}

std::optional<std::string> Statement::optionalText(int column) const {
  if (pg_ != nullptr ? pgIsNull(*pg_, column) : sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
  return text(column);
}

// --- ReadSession ---------------------------------------------------------------

namespace {
thread_local int readSessionsOpen = 0;
}  // namespace

ReadSession::ReadSession() : lock_(readSide().mutex) { ++readSessionsOpen; }

ReadSession::~ReadSession() { --readSessionsOpen; }

bool ReadSession::openOnThisThread() { return readSessionsOpen > 0; }

Statement ReadSession::prepare(const std::string& sql) {
  Connection& connection = readSide();
  if (onPostgres) {
    // A connection lost is made again here, on the next read after the server is back.
    connection.pg.readsOnly = true;
    if (!mayAskServer(connection.pg)) return Statement(static_cast<PgStatement*>(nullptr));
    return Statement(pgReady(connection.pg, postgresLocation) ? pgStatement(connection.pg, sql) : nullptr);
  }
  return Statement(connection.handle, connection.handle ? cachedStatement(connection, sql) : nullptr);
}

Outcome ReadSession::fail(const char* what) {
  if (onPostgres) return pgFailure(what, readSide().pg);
  sqlite3* handle = readSide().handle;
  reportError(what, handle);
  if (handle == nullptr || !lastErrorWasBusy(handle)) return Outcome::failed;
  countEvent(Counter::databaseBusy);
  return Outcome::busy;
}

Outcome ReadSession::dataVersion(std::int64_t& version) {
  static const std::string sql = "PRAGMA data_version";  // made once: asked at every look of the watcher
  Statement query = prepare(sql);
  if (query.step() != SQLITE_ROW) return fail("read of the data version");
  version = query.integer(0);
  return Outcome::ok;
}

std::uint64_t ReadSession::connectionId() const { return readSide().id; }

// --- WriteTransaction ------------------------------------------------------------

namespace {

// While the server is known not to answer, a write does not even queue for
// the connection: whoever holds it may be waiting out its deadline.
bool refusedWhileAway() {
  if (!onPostgres || !postgresAway()) return false;
  countEvent(Counter::databaseBusy);
  return true;
}

}  // namespace

WriteTransaction::WriteTransaction() : lock_(writeConnection.mutex, std::defer_lock) {
  if (refusedWhileAway()) {
    beginOutcome_ = Outcome::busy;
    return;
  }
  if (writeWaitMs > 0) {
    lock_.lock();
  } else if (!lock_.try_lock()) {
    // Another write of this process holds the connection, and may itself be
    // waiting for another process: a thread that may not wait gives up now.
    countEvent(Counter::databaseBusy);
    beginOutcome_ = Outcome::busy;
    return;
  }
  begin();
}

WriteTransaction::WriteTransaction(IfFree) : lock_(writeConnection.mutex, std::defer_lock) {
  if (!refusedWhileAway()) lock_.try_lock();
  if (lock_.owns_lock()) {
    begin();
  } else {
    beginOutcome_ = Outcome::busy;
  }
}

namespace {

Outcome beginOnPostgres() {
  PgConnection& connection = writeConnection.pg;
  if (!mayAskServer(connection)) {
    countEvent(Counter::databaseBusy);
    return Outcome::busy;
  }
  if (!pgReady(connection, postgresLocation)) return pgFailure("begin a transaction", connection);
  switch (pgBeginWrite(connection, writeWaitMs, postgresWriteLockKey)) {
    case PgBegin::begun:
      return Outcome::ok;
    case PgBegin::lockTaken:  // by another instance, and this thread may not wait
      countEvent(Counter::databaseBusy);
      return Outcome::busy;
    case PgBegin::failed:
      break;
  }
  return pgFailure("begin a transaction", connection);
}

}  // namespace

void WriteTransaction::begin() {
  if (onPostgres) {
    beginOutcome_ = beginOnPostgres();
    begun_ = beginOutcome_ == Outcome::ok;
    return;
  }
  if (writeConnection.handle == nullptr) return;
  begun_ = prepare("BEGIN IMMEDIATE").step() == SQLITE_DONE;
  beginOutcome_ = begun_ ? Outcome::ok : fail("begin a transaction");
}

WriteTransaction::~WriteTransaction() {
  // A failed COMMIT may have ended the transaction itself: then there is
  // nothing to roll back, and trying only hides what failed.
  if (onPostgres) {
    if (begun_ && !committed_ && pgInTransaction(writeConnection.pg) && !pgExecute(writeConnection.pg, "ROLLBACK")) {
      reportPgError("rollback", writeConnection.pg);
    }
  } else if (begun_ && !committed_ && sqlite3_get_autocommit(writeConnection.handle) == 0 &&
             prepare("ROLLBACK").step() != SQLITE_DONE) {
    reportError("rollback", writeConnection.handle);
  }
  if (lock_.owns_lock()) lock_.unlock();
  // Free of the write connection, so that listeners may read, even where reads share it.
  if (committed_) dataChanged();
}

Statement WriteTransaction::prepare(const std::string& sql) {
  if (onPostgres) return Statement(lock_.owns_lock() && begun_ ? pgStatement(writeConnection.pg, sql) : nullptr);
  sqlite3* handle = lock_.owns_lock() ? writeConnection.handle : nullptr;
  return Statement(handle, handle ? cachedStatement(writeConnection, sql) : nullptr);
}

namespace {
thread_local CommitNote* pendingNote = nullptr;
}  // namespace

CommitNote::CommitNote(std::function<Outcome(WriteTransaction&)> write) : write_(std::move(write)), outer_(pendingNote) {
  pendingNote = this;
}

CommitNote::~CommitNote() {
  if (pendingNote == this) pendingNote = outer_;
}

Outcome WriteTransaction::writePendingNote() {
  CommitNote* note = pendingNote;
  if (note == nullptr || note->written_) return Outcome::ok;
  Outcome written = note->write_(*this);
  if (written == Outcome::ok) note->written_ = true;
  return written;
}

Outcome WriteTransaction::commit() {
  if (!begun_) return beginOutcome_;
  // The audit entry of the change goes in with it, or neither does.
  Outcome noted = writePendingNote();
  if (noted != Outcome::ok) return noted;
  if (onPostgres) {
    committed_ = pgCommit(writeConnection.pg);
    return committed_ ? Outcome::ok : fail("commit");
  }
  resetOpenStatements(writeConnection.handle);
  committed_ = prepare("COMMIT").step() == SQLITE_DONE;
  return committed_ ? Outcome::ok : fail("commit");
}

Outcome WriteTransaction::fail(const char* what) {
  if (onPostgres) return pgFailure(what, writeConnection.pg);
  sqlite3* handle = writeConnection.handle;
  if (handle == nullptr) {
    reportError(what, nullptr);
    return Outcome::failed;
  }
  reportError(what, handle);
  if (!lastErrorWasBusy(handle)) return Outcome::failed;
  countEvent(Counter::databaseBusy);
  return Outcome::busy;
}

std::int64_t WriteTransaction::lastInsertId() const {
  if (onPostgres) {
    std::optional<std::string> id = pgQueryValue(writeConnection.pg, "SELECT lastval()");
    return id ? std::strtoll(id->c_str(), nullptr, 10) : 0;
  }
  return sqlite3_last_insert_rowid(writeConnection.handle);
}

int WriteTransaction::changes() const {
  return onPostgres ? writeConnection.pg.lastChanges : sqlite3_changes(writeConnection.handle);
}

bool WriteTransaction::execute(const char* sql) {
  if (onPostgres) return begun_ && (std::strncmp(sql, "PRAGMA", 6) == 0 || pgExecute(writeConnection.pg, sql));
  return begun_ && executeOn(writeConnection.handle, sql);
}

// --- SetupConnection -----------------------------------------------------------

// The schema's statements may run as long as the server lets any statement run.
SetupConnection::SetupConnection() : lock_(writeConnection.mutex) { writeConnection.pg.deadlineMs = setupAnswerMs; }

Statement SetupConnection::prepare(const std::string& sql) {
  if (onPostgres) return Statement(pgStatement(writeConnection.pg, sql));
  sqlite3* handle = writeConnection.handle;
  return Statement(handle, handle ? cachedStatement(writeConnection, sql) : nullptr);
}

bool SetupConnection::execute(const char* sql) {
  if (onPostgres) return pgExecute(writeConnection.pg, sql);
  return writeConnection.handle && executeOn(writeConnection.handle, sql); }

bool SetupConnection::readOnly() const {
  if (onPostgres) return false;
  return sqlite3_db_readonly(writeConnection.handle, "main") == 1; }

std::string SetupConnection::lastError() const {
  if (onPostgres) return writeConnection.pg.lastError;
  return writeConnection.handle ? sqlite3_errmsg(writeConnection.handle) : "the database is closed";
}

Outcome checkpointWal() {
  std::lock_guard<FairMutex> lock(writeConnection.mutex);
  if (onPostgres) return Outcome::ok;  // the server keeps its own log
  if (writeConnection.handle == nullptr) return Outcome::failed;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(writeConnection.handle, "PRAGMA wal_checkpoint(TRUNCATE)", -1, &statement, nullptr) != SQLITE_OK) {
    reportError("checkpoint of the WAL", writeConnection.handle);
    return Outcome::failed;
  }
  // One row: busy (1 when a reader or writer kept it from finishing), log frames, frames checkpointed.
  int result = sqlite3_step(statement);
  bool finished = result == SQLITE_ROW && sqlite3_column_int(statement, 0) == 0;
  sqlite3_finalize(statement);
  if (result != SQLITE_ROW) {
    reportError("checkpoint of the WAL", writeConnection.handle);
    return Outcome::failed;
  }
  return finished ? Outcome::ok : Outcome::busy;
}
