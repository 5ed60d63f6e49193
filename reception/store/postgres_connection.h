// The PostgreSQL side of store/database: libpq connections, each with its
// own cache of prepared statements, and the few SQL differences translated
// once per statement text. Used only by store/database.cpp and the schema.
// The server is across a network that may stop answering without closing
// anything: every connect and statement waits at most the connection's
// deadline, and one that passes it closes the connection (its state is
// unknown) and tells store/postgres_breaker.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// A statement of one connection: its text for PostgreSQL, the values bound
// for its next run and the rows of its last run.
struct PgStatement {
  std::string sql;
  int parameters = 0;
  std::vector<std::optional<std::string>> values;
  std::vector<unsigned> types;  // INT8OID, TEXTOID or 0 (NULL)
  // Not a server statement: BEGIN, COMMIT and the like, run as they are.
  bool simple = false;
  // Server statement names by the parameter types they were prepared with.
  std::unordered_map<std::string, std::string> prepared;
  PGresult* result = nullptr;
  int row = -1;
  struct PgConnection* connection = nullptr;
};

struct PgLocation {
  std::string uri;
  std::string password;  // "" lets libpq find one (PGPASSFILE, ~/.pgpass)
};

// Locked by its owner (store/database's connection it belongs to).
struct PgConnection {
  PGconn* handle = nullptr;
  std::unordered_map<std::string, std::unique_ptr<PgStatement>> statements;
  int lastNamed = 0;
  std::string lastError;
  std::string lastState;  // SQLSTATE of the last error
  int lastChanges = 0;
  // A read connection runs a statement again on a connection made anew when
  // it finds the old one lost (a server restarted since its last use).
  bool readsOnly = false;
  PgLocation location;  // where it connects (again)
  // How long its next connect or statement may wait for the server, set by
  // its user for the calling thread.
  int deadlineMs = 30000;
  // The last use found nothing: the server did not answer in time, or was
  // not asked because it is known to be away.
  bool timedOut = false;
};

// The server the storage is open on, for connections of its own (the
// leader's lock); an empty uri when the storage is not on PostgreSQL.
PgLocation openPostgresLocation();

// Connects (again, when it was lost: every server statement is gone with it);
// false with lastError set when the server cannot be reached.
bool pgConnect(PgConnection& connection, const PgLocation& location);
void pgClose(PgConnection& connection);
// Connected and usable, reconnecting once if the connection was lost.
bool pgReady(PgConnection& connection, const PgLocation& location);
// Connects again to the same server, keeping the statement cache (whose
// server statements are prepared again on their next use).
bool pgReconnect(PgConnection& connection);

PgStatement* pgStatement(PgConnection& connection, const std::string& sqliteText);
void pgBind(PgStatement& statement, int index, std::int64_t value);
void pgBind(PgStatement& statement, int index, const std::string& value);
void pgBindNull(PgStatement& statement, int index);
// SQLITE_ROW, SQLITE_DONE, SQLITE_CONSTRAINT, SQLITE_BUSY or SQLITE_ERROR.
int pgStep(PgStatement& statement);
void pgReset(PgStatement& statement);
bool pgIsNull(const PgStatement& statement, int column);
std::int64_t pgInteger(const PgStatement& statement, int column);
const char* pgText(const PgStatement& statement, int column, std::size_t& size);

// BEGIN, with the write lock every instance takes (lockKey), waiting for it
// at most waitMs (0: not at all). A connection found lost is made again first.
enum class PgBegin { begun, lockTaken, failed };
PgBegin pgBeginWrite(PgConnection& connection, int waitMs, std::int64_t lockKey);
// COMMIT; false when the transaction failed (the server answers ROLLBACK)
// or the answer never came (it may or may not have been committed).
bool pgCommit(PgConnection& connection);

// Runs SQL text (several statements allowed) without results; false on any error.
bool pgExecute(PgConnection& connection, const std::string& sql);
// One row, one column, as text; nullopt on error or no row.
std::optional<std::string> pgQueryValue(PgConnection& connection, const std::string& sql);
// Whether the last error is worth a retry: the server gone, a lock or time
// limit reached, a serialization failure.
bool pgLastErrorWasBusy(const PgConnection& connection);
// Whether the last error was the server itself gone: no connection, or one
// lost or refused while the server shuts down or starts.
bool pgLastErrorWasLostServer(const PgConnection& connection);
bool pgInTransaction(const PgConnection& connection);

// The statement text for PostgreSQL: ?N placeholders, INSERT OR IGNORE,
// LIKE (case-insensitive in SQLite for ASCII) and the like.
std::string postgresSql(const std::string& sqliteText, int& parameters);
