#include "store/leadership.h"

#include <libpq-fe.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "metrics/metrics.h"
#include "store/postgres_breaker.h"
#include "store/postgres_connection.h"
#include "text/log_stamp.h"

namespace {

// A query that takes longer counts as a lost connection: a leader must not
// go on leading on a connection that may be dead. With a heartbeat every
// leaderRetryMs, a leader cut off stops within 5 s.
constexpr int queryTimeoutMs = 3000;

// The server notices a leader's machine gone silent within about 8 s
// (4 s idle, then two probes 2 s apart, and unacknowledged data given up
// after 8 s) and releases its lock; a process that dies closes its socket
// and releases it at once.
const char* const sessionSetup =
    "SET application_name = 'vestibra-reception leader'; SET tcp_keepalives_idle = 4; "
    "SET tcp_keepalives_interval = 2; SET tcp_keepalives_count = 2; SET tcp_user_timeout = 8000";

// Something between the server and a leader may keep the session's socket
// open and answer the server's probes while nothing reaches the leader (a
// proxy or relay whose far side is gone). The leader's heartbeat marks its
// session active every leaderRetryMs; a lock whose session has been idle for
// staleLeaderSeconds belongs to a leader that stopped leading long ago (its
// own heartbeat failed within 5 s), so a candidate ends that session.
constexpr int staleLeaderSeconds = 12;

std::string staleLeaderEnd() {
  return "SELECT count(pg_terminate_backend(a.pid)) FROM pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid "
         "WHERE l.locktype = 'advisory' AND l.granted AND l.classid = " +
         std::to_string(static_cast<std::uint32_t>(leaderLockKey >> 32)) +
         " AND l.objid = " + std::to_string(static_cast<std::uint32_t>(leaderLockKey & 0xffffffff)) +
         " AND l.objsubid = 1 AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database())"
         " AND a.pid <> pg_backend_pid() AND a.state = 'idle' AND a.state_change < now() - interval '" +
         std::to_string(staleLeaderSeconds) + " seconds'";
}

// Runs the query, with its first value if it has one; false when it failed
// or did not answer in time.
bool runQuery(PGconn* connection, const std::string& sql, std::string& value) {
  value.clear();
  if (PQsendQuery(connection, sql.c_str()) == 0) return false;
  bool ok = true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(queryTimeoutMs);
  for (;;) {
    while (PQisBusy(connection) == 0) {
      PGresult* result = PQgetResult(connection);
      if (result == nullptr) return ok;
      ExecStatusType status = PQresultStatus(result);
      if (status == PGRES_TUPLES_OK && PQntuples(result) > 0) value = PQgetvalue(result, 0, 0);
      if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) ok = false;
      PQclear(result);
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd socket{PQsocket(connection), POLLIN, 0};
    if (::poll(&socket, 1, static_cast<int>(left.count())) <= 0 || PQconsumeInput(connection) == 0) return false;
  }
}

}  // namespace

LeaderLock::LeaderLock(std::string uri, std::string password, std::function<void(bool)> changed)
    : uri_(std::move(uri)), password_(std::move(password)), changed_(std::move(changed)) {
  thread_ = std::thread(&LeaderLock::run, this);
}

LeaderLock::~LeaderLock() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void LeaderLock::connect() {
  // The URI's own settings come after the defaults here and so win over them.
  // Keepalives and the user timeout on this side too: a leader cut off learns it from its socket as well.
  std::vector<const char*> keys = {"connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
                                   "keepalives_count", "tcp_user_timeout", "dbname"};
  std::vector<const char*> values = {"3", "1", "4", "2", "2", "8000", uri_.c_str()};
  if (!password_.empty()) {
    keys.push_back("password");
    values.push_back(password_.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  connection_ = PQconnectdbParams(keys.data(), values.data(), 1);
  std::string none;
  bool connected = PQstatus(connection_) == CONNECTION_OK && runQuery(connection_, sessionSetup, none);
  // Said once per outage, not at every try.
  if (!connected && !unreachableReported_) {
    // NOLINTNEXTLINE(cert-err33-c): the service runs on whether or not its log is read
    std::fprintf(stderr, "%svestibra-reception: leadership: cannot connect to the database: %s", logStamp().c_str(),
                 PQerrorMessage(connection_));
  }
  unreachableReported_ = !connected;
  if (!connected) disconnect();
}

void LeaderLock::disconnect() {
  if (connection_ != nullptr) PQfinish(connection_);
  connection_ = nullptr;
}

// Keeps the lock while the connection answers, or tries to take it.
bool LeaderLock::holdOrTake() {
  if (connection_ == nullptr) connect();
  if (connection_ == nullptr) return false;
  std::string value;
  if (leading_) {
    if (runQuery(connection_, "SELECT 1", value) && value == "1") {
      postgresAnswered();
      return true;
    }
  } else {
    // Best effort: a session of another role may not be ended, and then only the server's own probes free the lock.
    runQuery(connection_, staleLeaderEnd(), value);
    if (runQuery(connection_, "SELECT pg_try_advisory_lock(" + std::to_string(leaderLockKey) + ")", value)) {
      postgresAnswered();
      return value == "t";
    }
  }
  // The session, and with it any lock it held, is gone or may be.
  disconnect();
  return false;
}

void LeaderLock::setLeading(bool leading) {
  if (leading_.exchange(leading) == leading) return;
  // NOLINTNEXTLINE(cert-err33-c): the service runs on whether or not its log is read
  std::fprintf(stderr, "%svestibra-reception: %s\n", logStamp().c_str(),
               leading ? "this instance now leads the background work" : "this instance no longer leads");
  if (changed_) changed_(leading);
}

void LeaderLock::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    bool holds = holdOrTake();
    lock.lock();
    setLeading(holds && !stopping_);
    wake_.wait_for(lock, std::chrono::milliseconds(leaderRetryMs), [this] { return stopping_; });
  }
  // Closing the session releases the lock at once.
  disconnect();
  setLeading(false);
}

namespace {

std::mutex processMutex;
std::unique_ptr<LeaderLock> processLock;

}  // namespace

void startLeadership() {
  PgLocation server = openPostgresLocation();
  std::lock_guard<std::mutex> lock(processMutex);
  if (processLock || server.uri.empty()) return;
  noteLeadership(false);
  processLock = std::make_unique<LeaderLock>(server.uri, server.password, [](bool leading) { noteLeadership(leading); });
}

void stopLeadership() {
  std::unique_ptr<LeaderLock> stopped;
  {
    std::lock_guard<std::mutex> lock(processMutex);
    stopped = std::move(processLock);
  }
  stopped.reset();
  noteLeadership(true);
}

bool isLeader() {
  std::lock_guard<std::mutex> lock(processMutex);
  return !processLock || processLock->leading();
}
