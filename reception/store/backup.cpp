#include "store/backup.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "store/audit.h"
#include "store/database.h"
#include "store/schema.h"

namespace {

namespace fs = std::filesystem;

// How long the copy's reads wait for a checkpoint or recovery in progress.
constexpr int busyTimeoutMs = 5000;
constexpr int copyAttempts = 20;
constexpr auto copyRetryPause = std::chrono::milliseconds(100);

// A connection of the command's own, apart from the service's; closed with the object.
struct Connection {
  Connection() = default;
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  void close() {
    sqlite3_close(handle);
    handle = nullptr;
  }
  sqlite3* handle = nullptr;
};

std::string messageOf(sqlite3* connection) { return connection ? sqlite3_errmsg(connection) : "out of memory"; }

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string openConnection(const std::string& path, int flags, Connection& connection) {
  if (sqlite3_open_v2(path.c_str(), &connection.handle, flags, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(connection.handle, busyTimeoutMs);
    return "";
  }
  std::string error = messageOf(connection.handle);
  connection.close();
  return error;
}

bool execute(sqlite3* connection, const char* sql) {
  return sqlite3_exec(connection, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Calls read with the statement on its first row; false on an error or no row.
template <typename Read>
bool readFirstRow(sqlite3* connection, const char* sql, Read read) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(connection, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
  bool found = sqlite3_step(statement) == SQLITE_ROW;
  if (found) read(statement);
  sqlite3_finalize(statement);
  return found;
}

bool readInteger(sqlite3* connection, const char* sql, std::int64_t& value) {
  return readFirstRow(connection, sql, [&](sqlite3_stmt* row) { value = sqlite3_column_int64(row, 0); });
}

bool readText(sqlite3* connection, const char* sql, std::string& value) {
  return readFirstRow(connection, sql, [&](sqlite3_stmt* row) {
    const unsigned char* text = sqlite3_column_text(row, 0);
    value = text ? reinterpret_cast<const char*>(text) : "";
  });
}

std::string checkCopy(sqlite3* connection) {
  std::int64_t id = 0;
  std::string integrity;
  if (!readInteger(connection, "PRAGMA application_id", id)) return messageOf(connection);
  if (!readText(connection, "PRAGMA integrity_check", integrity)) return "it is damaged: " + messageOf(connection);
  return backupVerdict(id, integrity);
}

bool readCounts(sqlite3* connection, DatabaseCounts& counts) {
  return readInteger(connection, "SELECT count(*) FROM staff WHERE removed_at IS NULL", counts.staff) &&
         readInteger(connection, "SELECT count(*) FROM notification", counts.guests) &&
         readInteger(connection, "SELECT count(*) FROM desk_account", counts.accounts);
}

// Copies every page of source into destination. One step reads one snapshot,
// so the service's writers go on meanwhile (WAL); a copy in several steps
// would start over at each of their commits.
std::string copyPages(sqlite3* source, sqlite3* destination) {
  for (int attempt = 0; attempt < copyAttempts; ++attempt) {
    sqlite3_backup* backup = sqlite3_backup_init(destination, "main", source, "main");
    if (backup == nullptr) return messageOf(destination);
    int stepped = sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
    if (stepped == SQLITE_DONE) return "";
    if (stepped != SQLITE_BUSY && stepped != SQLITE_LOCKED) return sqlite3_errstr(stepped);
    std::this_thread::sleep_for(copyRetryPause);
  }
  return "the database stayed locked by another process";
}

// The file a rollback journal or WAL beside path would belong to; removed
// when path's content is replaced wholesale, since SQLite would otherwise
// apply an old log to the new file.
void removeLogs(const std::string& path) {
  for (const char* suffix : {"-journal", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
}

void syncDirectoryOf(const std::string& path) {
  fs::path directory = fs::path(path).parent_path();
  int descriptor = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return;
  ::fsync(descriptor);
  ::close(descriptor);
}

// Fills the empty file at path from source; with checked, the copy must
// pass checkCopy and its counts are read.
std::string fillCopy(sqlite3* source, const std::string& path, bool checked, DatabaseCounts& counts) {
  Connection copy;
  std::string error = openConnection(path, SQLITE_OPEN_READWRITE, copy);
  if (error.empty()) error = copyPages(source, copy.handle);
  // The copy stands alone: no -wal beside it that a move could leave behind.
  if (error.empty() && !execute(copy.handle, "PRAGMA journal_mode=DELETE")) error = messageOf(copy.handle);
  if (error.empty() && checked) {
    std::string verdict = checkCopy(copy.handle);
    if (!verdict.empty()) return "the copy failed its check: " + verdict;
    if (!readCounts(copy.handle, counts)) error = messageOf(copy.handle);
  }
  return error;
}

// Writes a copy of source to file atomically: a temporary file (0600, from
// mkstemp) beside it, filled, synced and renamed over file.
std::string writeCopy(sqlite3* source, const std::string& file, bool checked, DatabaseCounts& counts,
                      std::uintmax_t& bytes) {
  std::vector<char> name(file.begin(), file.end());
  for (char c : std::string(".XXXXXX")) name.push_back(c);
  name.push_back('\0');
  int descriptor = ::mkstemp(name.data());
  if (descriptor < 0) return systemError("cannot create a file beside " + file);
  std::string temporary = name.data();
  std::string error = fillCopy(source, temporary, checked, counts);
  if (error.empty() && ::fsync(descriptor) != 0) error = systemError("cannot write " + temporary);
  ::close(descriptor);
  if (error.empty()) {
    removeLogs(file);
    if (::rename(temporary.c_str(), file.c_str()) != 0) error = systemError("cannot rename " + temporary + " to " + file);
  }
  if (!error.empty()) {
    ::unlink(temporary.c_str());
    removeLogs(temporary);
    return error;
  }
  syncDirectoryOf(file);
  std::error_code ignored;
  bytes = fs::file_size(file, ignored);
  return "";
}

bool sameFile(const std::string& one, const std::string& other) {
  std::error_code ignored;
  return fs::exists(other, ignored) && fs::equivalent(one, other, ignored);
}

// Takes the database for this connection alone. In exclusive locking mode
// the lock stays after COMMIT until the connection closes, so no service can
// open the file meanwhile; any connection already open (a running service)
// makes this fail at once with SQLITE_BUSY.
int lockAlone(sqlite3* connection) {
  sqlite3_busy_timeout(connection, 0);
  if (!execute(connection, "PRAGMA locking_mode=EXCLUSIVE")) return sqlite3_errcode(connection) & 0xFF;
  if (!execute(connection, "BEGIN EXCLUSIVE")) return sqlite3_errcode(connection) & 0xFF;
  return execute(connection, "COMMIT") ? SQLITE_OK : sqlite3_errcode(connection) & 0xFF;
}

// Whether a running service holds the file (holdDatabaseForService). The
// descriptor stays open until this process ends, as closing it would drop
// any POSIX lock of SQLite's on the file in this process.
bool serviceHolds(const std::string& databasePath) {
  static int probe = -1;
  if (probe < 0) probe = ::open(databasePath.c_str(), O_RDONLY | O_CLOEXEC);
  return probe >= 0 && ::flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

// A file SQLite cannot even lock is no database a service could run on: it
// is moved aside as it is, with its WAL, which belongs to it.
std::string setAside(const std::string& databasePath, const std::string& previous) {
  for (const char* suffix : {"", "-wal"}) {
    std::string from = databasePath + suffix;
    if (::access(from.c_str(), F_OK) == 0 && ::rename(from.c_str(), (previous + suffix).c_str()) != 0) {
      return systemError("cannot move " + from + " aside");
    }
  }
  ::unlink((databasePath + "-shm").c_str());
  return "";
}

// Replaces the content of the database held by current with the backup's,
// in one transaction, after keeping a copy as previous.
std::string restoreInPlace(sqlite3* backup, sqlite3* current, const std::string& previous, DatabaseCounts& counts) {
  DatabaseCounts ignored;
  std::uintmax_t bytes = 0;
  std::string error = writeCopy(current, previous, false, ignored, bytes);
  if (!error.empty()) return "cannot keep the current database as " + previous + ": " + error;
  error = copyPages(backup, current);
  if (error.empty()) error = checkCopy(current);
  if (error.empty() && !readCounts(current, counts)) error = messageOf(current);
  return error;
}

void removeCopy(const std::string& path) {
  ::unlink(path.c_str());
  removeLogs(path);
}

// The prepared copy stands alone again: no WAL mode that would leave a -wal
// beside it or beside the database it is copied into.
std::string detachFromWal(const std::string& path) {
  Connection copy;
  std::string error = openConnection(path, SQLITE_OPEN_READWRITE, copy);
  if (error.empty() && !execute(copy.handle, "PRAGMA journal_mode=DELETE")) error = messageOf(copy.handle);
  return error;
}

std::string schemaOf(const std::string& path) {
  Connection copy;
  std::string error = openConnection(path, SQLITE_OPEN_READONLY, copy);
  return error.empty() ? schemaDifference(copy.handle) : error;
}

// Every session ends with a restore (one taken after the backup would come
// back, one kept in a crafted copy would stay), and the restore is recorded
// in the audit log it brings back.
std::string endSessionsAndAudit(const std::string& path, const std::string& file) {
  std::string error = openStorage(path);
  if (!error.empty()) return error;
  Outcome ended = Outcome::failed;
  {
    WriteTransaction transaction;
    if (transaction.begun() && transaction.execute("DELETE FROM desk_session")) ended = transaction.commit();
  }
  if (ended == Outcome::ok) ended = recordAudit("(command line)", "", "restore", "from " + file + "; every desk session ended");
  closeStorage();
  return ended == Outcome::ok ? "" : "its desk sessions could not be ended";
}

// A copy of the backup at path, beside the database, made into what the
// service will find, before anything in place is touched: the service's own
// start checks (and the steps that bring an older copy up to date) run on
// it; then its schema must be exactly the service's, every object compared
// with one made in memory, so no trigger, view or extra index comes along.
std::string prepareCopy(sqlite3* backup, const std::string& file, const std::string& path) {
  removeCopy(path);
  DatabaseCounts ignored;
  std::uintmax_t bytes = 0;
  std::string error = writeCopy(backup, path, false, ignored, bytes);
  if (error.empty()) {
    error = openStorage(path);
    if (error.empty()) {
      closeStorage();
    } else {
      // openStorage names the file: here a temporary one, of no use to the reader.
      std::size_t named = error.find(path + ": ");
      if (named != std::string::npos) error.erase(0, named + path.size() + 2);
      error = "the service would not start on it (" + error + ")";
    }
  }
  if (error.empty()) error = schemaOf(path);
  if (error.empty()) error = endSessionsAndAudit(path, file);
  if (error.empty()) error = detachFromWal(path);
  return error;
}

// Puts the checked copy in place of the database at databasePath.
void replaceDatabase(sqlite3* backup, const std::string& databasePath, RestoreResult& result) {
  std::error_code ignored;
  std::uintmax_t bytes = 0;
  if (!fs::exists(databasePath, ignored)) {
    result.error = writeCopy(backup, databasePath, true, result.counts, bytes);
    return;
  }
  const std::string inUse = "the database " + databasePath + " is in use: stop the service (and any desk-user command) first";
  if (serviceHolds(databasePath)) {
    result.inUse = true;
    result.error = inUse;
    return;
  }
  Connection current;
  std::string error = openConnection(databasePath, SQLITE_OPEN_READWRITE, current);
  int locked = error.empty() ? lockAlone(current.handle) : SQLITE_CANTOPEN;
  if (locked == SQLITE_BUSY || locked == SQLITE_LOCKED) {
    result.inUse = true;
    result.error = inUse;
    return;
  }
  result.previous = databasePath + ".before-restore";
  if (locked == SQLITE_OK) {
    result.error = restoreInPlace(backup, current.handle, result.previous, result.counts);
    return;
  }
  current.close();
  result.error = setAside(databasePath, result.previous);
  if (result.error.empty()) result.error = writeCopy(backup, databasePath, true, result.counts, bytes);
}

}  // namespace

std::string backupVerdict(std::int64_t applicationId, const std::string& integrityCheck) {
  if (applicationId != databaseApplicationId) return "it is not a database of this service";
  if (integrityCheck != "ok") return "it is damaged (integrity_check: " + integrityCheck + ")";
  return "";
}

BackupResult backupDatabase(const std::string& databasePath, const std::string& file) {
  BackupResult result;
  std::error_code ignored;
  if (!fs::exists(databasePath, ignored)) {
    result.error = "there is no database " + databasePath;
  } else if (sameFile(databasePath, file)) {
    result.error = file + " is the database itself";
  }
  if (!result.error.empty()) return result;
  Connection source;
  result.error = openConnection(databasePath, SQLITE_OPEN_READWRITE, source);
  if (!result.error.empty()) {
    result.error = "cannot open the database " + databasePath + ": " + result.error;
    return result;
  }
  result.error = writeCopy(source.handle, file, true, result.counts, result.bytes);
  if (!result.error.empty()) result.error = "cannot copy " + databasePath + ": " + result.error;
  return result;
}

RestoreResult restoreDatabase(const std::string& file, const std::string& databasePath) {
  RestoreResult result;
  if (sameFile(databasePath, file)) {
    result.error = file + " is the database itself";
    return result;
  }
  Connection original;
  std::string error = openConnection(file, SQLITE_OPEN_READONLY, original);
  if (error.empty()) error = checkCopy(original.handle);
  const std::string checkedPath = databasePath + ".restore-check";
  if (error.empty()) error = prepareCopy(original.handle, file, checkedPath);
  original.close();
  Connection backup;
  if (error.empty()) error = openConnection(checkedPath, SQLITE_OPEN_READONLY, backup);
  if (error.empty()) {
    replaceDatabase(backup.handle, databasePath, result);
  } else {
    result.error = file + " cannot be restored: " + error;
  }
  backup.close();
  removeCopy(checkedPath);
  return result;
}

int holdDatabaseForService(const std::string& databasePath) {
  int held = ::open(databasePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (held >= 0 && ::flock(held, LOCK_SH | LOCK_NB) != 0) {
    ::close(held);
    return -1;
  }
  return held;
}

void releaseDatabaseForService(int held) {
  if (held >= 0) ::close(held);
}
