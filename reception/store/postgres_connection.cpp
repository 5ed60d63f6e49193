#include "store/postgres_connection.h"

#include <poll.h>
#include <sqlite3.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "store/postgres_breaker.h"

namespace {

constexpr unsigned int8Oid = 20;
constexpr unsigned textOid = 25;

void noteError(PgConnection& connection, const PGresult* result) {
  // What abandon() said is what happened; libpq knows nothing more.
  if (connection.timedOut) return;
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  connection.lastState = state ? state : "";
  const char* message = result ? PQresultErrorMessage(result) : nullptr;
  connection.lastError = message && *message ? message : PQerrorMessage(connection.handle);
  // The first line says what failed; the rest repeats the statement.
  connection.lastError = connection.lastError.substr(0, connection.lastError.find('\n'));
  while (!connection.lastError.empty() && std::isspace(static_cast<unsigned char>(connection.lastError.back()))) {
    connection.lastError.pop_back();
  }
}

bool succeeded(ExecStatusType status) { return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK; }

// Not prepared on the server: transaction control, and what SQLite sets per
// connection (PostgreSQL has its own defaults for each).
bool isSimple(const std::string& sql) {
  return sql == "BEGIN" || sql == "COMMIT" || sql == "ROLLBACK" || sql.rfind("PRAGMA", 0) == 0;
}

std::string simpleSql(const std::string& sql) {
  // A read's BEGIN: the reads up to COMMIT see one snapshot, as SQLite's do.
  if (sql == "BEGIN") return "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY";
  if (sql.rfind("PRAGMA", 0) == 0) return "";
  return sql;
}

bool wordAt(const std::string& text, std::size_t at, const char* word) {
  std::size_t length = std::strlen(word);
  if (text.compare(at, length, word) != 0) return false;
  bool before = at == 0 || !std::isalnum(static_cast<unsigned char>(text[at - 1]));
  bool after = at + length >= text.size() || !std::isalnum(static_cast<unsigned char>(text[at + length]));
  return before && after;
}

}  // namespace

std::string postgresSql(const std::string& sqliteText, int& parameters) {
  std::string sql;
  sql.reserve(sqliteText.size() + 16);
  parameters = 0;
  bool quoted = false;
  bool ignoreConflicts = false;
  for (std::size_t at = 0; at < sqliteText.size(); ++at) {
    char c = sqliteText[at];
    if (c == '\'') quoted = !quoted;
    if (quoted) {
      sql += c;
      continue;
    }
    if (c == '?' && at + 1 < sqliteText.size() && std::isdigit(static_cast<unsigned char>(sqliteText[at + 1]))) {
      int number = 0;
      while (at + 1 < sqliteText.size() && std::isdigit(static_cast<unsigned char>(sqliteText[at + 1]))) {
        number = number * 10 + (sqliteText[++at] - '0');
      }
      if (number > parameters) parameters = number;
      sql += '$' + std::to_string(number);
    } else if (wordAt(sqliteText, at, "INSERT OR IGNORE")) {
      sql += "INSERT";
      at += std::strlen("INSERT OR IGNORE") - 1;
      ignoreConflicts = true;
    } else if (wordAt(sqliteText, at, "LIKE")) {
      sql += "ILIKE";
      at += 3;
    } else {
      sql += c;
    }
  }
  if (ignoreConflicts) sql += " ON CONFLICT DO NOTHING";
  return sql;
}

namespace {

using Clock = std::chrono::steady_clock;

// Gives up on the connection after its deadline: an answer may still come,
// out of step with whatever would be asked next, so it is closed.
void abandon(PgConnection& connection, const char* what) {
  if (connection.handle != nullptr) PQfinish(connection.handle);
  connection.handle = nullptr;
  for (auto& entry : connection.statements) entry.second->prepared.clear();
  connection.lastState = "08006";
  connection.lastError =
      std::string("the server did not answer ") + what + " within " + std::to_string(connection.deadlineMs) + " ms";
  connection.timedOut = true;
  postgresSilent(connection.lastError);
}

// Waits until libpq may go on reading (or writing); false when the deadline passed first.
bool waitForSocket(PGconn* handle, bool writing, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd socket{PQsocket(handle), static_cast<short>(writing ? POLLOUT : POLLIN), 0};
    int ready = ::poll(&socket, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return ready != 0;
  }
}

// Sends with send (one of libpq's PQsend functions) and collects the answer
// within the deadline, as PQexec would: the first error, or else the last
// result. Null when nothing came back (lastError says why).
template <typename Send>
PGresult* exchange(PgConnection& connection, const char* what, Send send) {
  // Abandoned: stays so (timedOut kept) until connected again.
  if (connection.handle == nullptr) return nullptr;
  connection.timedOut = false;
  if (send(connection.handle) == 0) return nullptr;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connection.deadlineMs);
  int unsent = 0;
  while ((unsent = PQflush(connection.handle)) == 1) {
    if (!waitForSocket(connection.handle, true, deadline)) {
      abandon(connection, what);
      return nullptr;
    }
  }
  if (unsent < 0) return nullptr;
  PGresult* kept = nullptr;
  for (;;) {
    while (PQisBusy(connection.handle) == 0) {
      PGresult* next = PQgetResult(connection.handle);
      if (next == nullptr) {
        postgresAnswered();
        return kept;
      }
      if (kept != nullptr && PQresultStatus(kept) == PGRES_FATAL_ERROR) {
        PQclear(next);
      } else {
        PQclear(kept);
        kept = next;
      }
    }
    if (!waitForSocket(connection.handle, false, deadline)) {
      PQclear(kept);
      abandon(connection, what);
      return nullptr;
    }
    if (PQconsumeInput(connection.handle) == 0) {  // lost: the server closed it, or the network did
      PQclear(kept);
      return nullptr;
    }
  }
}

void trimError(std::string& error) {
  while (!error.empty() && std::isspace(static_cast<unsigned char>(error.back()))) error.pop_back();
}

// Connects to connection.location within the deadline, keeping the statement cache.
bool openSession(PgConnection& connection) {
  connection.timedOut = false;
  const PgLocation& location = connection.location;
  // Keywords first, then the URI (which may set them again), then the password file's word.
  // Texts are UTF-8 whatever the database's own encoding.
  const char* keys[] = {"connect_timeout", "application_name", "client_encoding", "dbname", "password", nullptr};
  const char* values[] = {"5", "vestibra-reception", "UTF8", location.uri.c_str(),
                          location.password.empty() ? nullptr : location.password.c_str(), nullptr};
  if (location.password.empty()) keys[4] = nullptr;
  connection.handle = PQconnectStartParams(keys, values, 1);
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connection.deadlineMs);
  PostgresPollingStatusType status = PGRES_POLLING_WRITING;
  if (connection.handle == nullptr || PQstatus(connection.handle) == CONNECTION_BAD) status = PGRES_POLLING_FAILED;
  while (status != PGRES_POLLING_OK && status != PGRES_POLLING_FAILED) {
    if (!waitForSocket(connection.handle, status == PGRES_POLLING_WRITING, deadline)) {
      abandon(connection, "the connection");
      return false;
    }
    status = PQconnectPoll(connection.handle);
  }
  if (status == PGRES_POLLING_FAILED) {
    postgresAnswered();  // refused, not silent: asking again costs nothing
    connection.lastError = connection.handle ? PQerrorMessage(connection.handle) : "out of memory";
    trimError(connection.lastError);
    connection.lastState = "08006";
    if (connection.handle != nullptr) PQfinish(connection.handle);
    connection.handle = nullptr;
    return false;
  }
  // The schema's "already exists, skipping" and the like: nothing to act on.
  PQsetNoticeProcessor(connection.handle, [](void*, const char*) {}, nullptr);
  // A statement that runs longer than this is stuck, not busy: give the thread back.
  return pgExecute(connection, "SET statement_timeout = 30000");
}

}  // namespace

bool pgConnect(PgConnection& connection, const PgLocation& location) {
  pgClose(connection);
  connection.location = location;
  return openSession(connection);
}

void pgClose(PgConnection& connection) {
  for (auto& entry : connection.statements) pgReset(*entry.second);
  connection.statements.clear();
  if (connection.handle != nullptr) PQfinish(connection.handle);
  connection.handle = nullptr;
  connection.location = PgLocation{};
}

bool pgReady(PgConnection& connection, const PgLocation& location) {
  if (connection.handle != nullptr && PQstatus(connection.handle) == CONNECTION_OK) return true;
  // Connected before: statements of the cache may still be in use, so it is kept.
  if (!connection.location.uri.empty()) return pgReconnect(connection);
  return pgConnect(connection, location);
}

bool pgReconnect(PgConnection& connection) {
  if (connection.location.uri.empty()) return false;
  for (auto& entry : connection.statements) entry.second->prepared.clear();
  if (connection.handle != nullptr) PQfinish(connection.handle);
  connection.handle = nullptr;
  return openSession(connection);
}

PgStatement* pgStatement(PgConnection& connection, const std::string& sqliteText) {
  auto found = connection.statements.find(sqliteText);
  if (found != connection.statements.end()) return found->second.get();
  auto statement = std::make_unique<PgStatement>();
  statement->simple = isSimple(sqliteText);
  statement->sql = statement->simple ? simpleSql(sqliteText) : postgresSql(sqliteText, statement->parameters);
  statement->values.resize(static_cast<std::size_t>(statement->parameters));
  statement->types.assign(static_cast<std::size_t>(statement->parameters), 0);
  statement->connection = &connection;
  PgStatement* made = statement.get();
  connection.statements.emplace(sqliteText, std::move(statement));
  return made;
}

void pgBind(PgStatement& statement, int index, std::int64_t value) {
  if (index < 1 || index > statement.parameters) return;
  statement.values[static_cast<std::size_t>(index - 1)] = std::to_string(value);
  statement.types[static_cast<std::size_t>(index - 1)] = int8Oid;
}

void pgBind(PgStatement& statement, int index, const std::string& value) {
  if (index < 1 || index > statement.parameters) return;
  // PostgreSQL's text holds no NUL: what follows one is dropped, as a C string would.
  statement.values[static_cast<std::size_t>(index - 1)] = value.substr(0, value.find('\0'));
  statement.types[static_cast<std::size_t>(index - 1)] = textOid;
}

void pgBindNull(PgStatement& statement, int index) {
  if (index < 1 || index > statement.parameters) return;
  statement.values[static_cast<std::size_t>(index - 1)].reset();
  statement.types[static_cast<std::size_t>(index - 1)] = 0;
}

namespace {

int codeOfError(PgConnection& connection, const PGresult* result) {
  noteError(connection, result);
  if (connection.lastState.rfind("23", 0) == 0) return SQLITE_CONSTRAINT;
  return pgLastErrorWasBusy(connection) ? SQLITE_BUSY : SQLITE_ERROR;
}

// The server statement for the types bound now, prepared on first use.
const std::string* serverStatement(PgStatement& statement) {
  std::string signature(statement.types.begin(), statement.types.end());
  auto found = statement.prepared.find(signature);
  if (found != statement.prepared.end()) return &found->second;
  PgConnection& connection = *statement.connection;
  std::string name = "s" + std::to_string(++connection.lastNamed);
  PGresult* made = exchange(connection, "a statement", [&](PGconn* handle) {
    return PQsendPrepare(handle, name.c_str(), statement.sql.c_str(), statement.parameters, statement.types.data());
  });
  bool ok = made != nullptr && PQresultStatus(made) == PGRES_COMMAND_OK;
  if (!ok) noteError(connection, made);
  PQclear(made);
  if (!ok) return nullptr;
  return &statement.prepared.emplace(signature, name).first->second;
}

}  // namespace

namespace {

PGresult* execute(PgStatement& statement) {
  PgConnection& connection = *statement.connection;
  if (statement.simple) {
    const char* sql = statement.sql.empty() ? "SELECT 1 WHERE false" : statement.sql.c_str();
    return exchange(connection, "a statement", [sql](PGconn* handle) { return PQsendQuery(handle, sql); });
  }
  const std::string* name = serverStatement(statement);
  if (name == nullptr) return nullptr;
  std::vector<const char*> values(statement.values.size());
  for (std::size_t at = 0; at < values.size(); ++at) values[at] = statement.values[at] ? statement.values[at]->c_str() : nullptr;
  return exchange(connection, "a statement", [&](PGconn* handle) {
    return PQsendQueryPrepared(handle, name->c_str(), statement.parameters, values.data(), nullptr, nullptr, 0);
  });
}

bool lost(const PgConnection& connection) { return PQstatus(connection.handle) != CONNECTION_OK; }

}  // namespace

int pgStep(PgStatement& statement) {
  PgConnection& connection = *statement.connection;
  if (statement.result == nullptr) {
    if (connection.handle == nullptr) return SQLITE_BUSY;
    statement.result = execute(statement);
    if ((statement.result == nullptr || !succeeded(PQresultStatus(statement.result))) && connection.readsOnly &&
        lost(connection) && !connection.timedOut) {
      // The connection died while unused (the server restarted): a read is
      // safe to run again, on a new one.
      PQclear(statement.result);
      statement.result = pgReconnect(connection) ? execute(statement) : nullptr;
    }
    if (statement.result == nullptr || !succeeded(PQresultStatus(statement.result))) {
      int code = codeOfError(connection, statement.result);
      PQclear(statement.result);
      statement.result = nullptr;
      return code;
    }
    const char* changed = PQcmdTuples(statement.result);
    connection.lastChanges = changed && *changed ? static_cast<int>(std::strtol(changed, nullptr, 10)) : 0;
    statement.row = -1;
  }
  if (++statement.row < PQntuples(statement.result)) return SQLITE_ROW;
  statement.row = PQntuples(statement.result);
  return SQLITE_DONE;
}

void pgReset(PgStatement& statement) {
  PQclear(statement.result);
  statement.result = nullptr;
  statement.row = -1;
  for (std::size_t at = 0; at < statement.values.size(); ++at) {
    statement.values[at].reset();
    statement.types[at] = 0;
  }
}

bool pgIsNull(const PgStatement& statement, int column) {
  return statement.result == nullptr || statement.row < 0 || statement.row >= PQntuples(statement.result) ||
         column >= PQnfields(statement.result) || PQgetisnull(statement.result, statement.row, column) != 0;
}

std::int64_t pgInteger(const PgStatement& statement, int column) {
  if (pgIsNull(statement, column)) return 0;
  const char* value = PQgetvalue(statement.result, statement.row, column);
  // A condition read as a column is a boolean here, 0 or 1 in SQLite.
  if (value[0] == 't' && value[1] == '\0') return 1;
  if (value[0] == 'f' && value[1] == '\0') return 0;
  return std::strtoll(value, nullptr, 10);
}

const char* pgText(const PgStatement& statement, int column, std::size_t& size) {
  if (pgIsNull(statement, column)) {
    size = 0;
    return nullptr;
  }
  size = static_cast<std::size_t>(PQgetlength(statement.result, statement.row, column));
  return PQgetvalue(statement.result, statement.row, column);
}

namespace {

PGresult* runText(PgConnection& connection, const std::string& sql) {
  return exchange(connection, "a statement", [&sql](PGconn* handle) { return PQsendQuery(handle, sql.c_str()); });
}

}  // namespace

bool pgExecute(PgConnection& connection, const std::string& sql) {
  if (connection.handle == nullptr) return false;
  PGresult* result = runText(connection, sql);
  bool ok = result != nullptr && succeeded(PQresultStatus(result));
  if (!ok) noteError(connection, result);
  PQclear(result);
  return ok;
}

std::optional<std::string> pgQueryValue(PgConnection& connection, const std::string& sql) {
  if (connection.handle == nullptr) return std::nullopt;
  PGresult* result = runText(connection, sql);
  std::optional<std::string> value;
  if (result != nullptr && PQresultStatus(result) == PGRES_TUPLES_OK) {
    if (PQntuples(result) > 0 && PQgetisnull(result, 0, 0) == 0) value = PQgetvalue(result, 0, 0);
  } else {
    noteError(connection, result);
  }
  PQclear(result);
  return value;
}

bool pgLastErrorWasBusy(const PgConnection& connection) {
  if (connection.handle == nullptr || PQstatus(connection.handle) != CONNECTION_OK) return true;
  const std::string& state = connection.lastState;
  // 08: connection lost; 55P03: lock_timeout; 57014: statement_timeout;
  // 57P0x: the server shutting down or starting; 40001/40P01: retry the transaction.
  return state.rfind("08", 0) == 0 || state == "55P03" || state == "57014" || state.rfind("57P0", 0) == 0 ||
         state == "40001" || state == "40P01" || state == "53300";
}

bool pgLastErrorWasLostServer(const PgConnection& connection) {
  if (connection.handle == nullptr || PQstatus(connection.handle) != CONNECTION_OK) return true;
  const std::string& state = connection.lastState;
  return state.rfind("08", 0) == 0 || state.rfind("57P0", 0) == 0;
}

bool pgInTransaction(const PgConnection& connection) {
  if (connection.handle == nullptr) return false;
  PGTransactionStatusType status = PQtransactionStatus(connection.handle);
  return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
}

PgBegin pgBeginWrite(PgConnection& connection, int waitMs, std::int64_t lockKey) {
  // Row locks are not waited for longer than the write lock.
  std::string sql = "BEGIN; SET LOCAL lock_timeout = " + std::to_string(waitMs > 0 ? waitMs : 100) + "; SELECT " +
                    (waitMs > 0 ? "pg_advisory_xact_lock(" : "pg_try_advisory_xact_lock(") + std::to_string(lockKey) + ")";
  PGresult* result = runText(connection, sql);
  if (lost(connection) && !connection.timedOut) {
    // Lost while unused (the server restarted): nothing was begun, so begin on a new connection.
    PQclear(result);
    result = pgReconnect(connection) ? runText(connection, sql) : nullptr;
  }
  bool answered = result != nullptr && PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1;
  bool locked = answered && std::strcmp(PQgetvalue(result, 0, 0), "f") != 0;
  if (!answered) noteError(connection, result);
  PQclear(result);
  if (locked) return PgBegin::begun;
  if (pgInTransaction(connection)) {
    std::string lastError = connection.lastError;
    std::string lastState = connection.lastState;
    pgExecute(connection, "ROLLBACK");
    connection.lastError = lastError;
    connection.lastState = lastState;
  }
  return answered ? PgBegin::lockTaken : PgBegin::failed;
}

bool pgCommit(PgConnection& connection) {
  PGresult* result = runText(connection, "COMMIT");
  bool committed = result != nullptr && PQresultStatus(result) == PGRES_COMMAND_OK && std::strcmp(PQcmdStatus(result), "COMMIT") == 0;
  if (!committed) {
    noteError(connection, result);
    if (result != nullptr && PQresultStatus(result) == PGRES_COMMAND_OK) {
      connection.lastError = "the transaction was rolled back";
      connection.lastState = "";
    }
  }
  PQclear(result);
  return committed;
}
