// Which instance runs the background work that must run once across the
// instances sharing a database: the retention, scheduled directory syncs and
// the daily sign-out. On a SQLite file the one process leads. On PostgreSQL
// the leader is whoever holds a session-level advisory lock on a connection
// of its own (a transaction-level lock would end before the work does); the
// others try again every 2 s, so one of them takes over within seconds when
// the leader dies, and a leader whose heartbeat (every 2 s) goes unanswered
// for 3 s stops leading. A leader cut off from the server keeps its lock
// until the server drops the session (keepalives and a user timeout, about
// 8 s) or, when something in between keeps the socket open, until another
// instance finds the session idle for 12 s and ends it: another leads
// within about 20 s.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// "VSTB" and 1: the advisory lock's key, the same for every instance.
constexpr std::int64_t leaderLockKey = (std::int64_t{0x56535442} << 32) | 1;
constexpr int leaderRetryMs = 2000;

// The lock on one PostgreSQL database, tried by a thread of its own.
class LeaderLock {
 public:
  // uri: postgresql://...; password "" leaves it to libpq (the URI,
  // PGPASSFILE). changed is called on that thread whenever leading changes.
  LeaderLock(std::string uri, std::string password, std::function<void(bool)> changed);
  ~LeaderLock();
  LeaderLock(const LeaderLock&) = delete;
  LeaderLock& operator=(const LeaderLock&) = delete;

  bool leading() const { return leading_; }

 private:
  void run();
  bool holdOrTake();
  void connect();
  void disconnect();
  void setLeading(bool leading);

  std::string uri_;
  std::string password_;
  std::function<void(bool)> changed_;
  struct pg_conn* connection_ = nullptr;  // the lock's own session; only the thread uses it
  bool unreachableReported_ = false;
  std::atomic<bool> leading_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// The process's leadership, on the storage it has open: on PostgreSQL a
// LeaderLock on the same server (and password); on SQLite it always leads.
void startLeadership();
// Releases the lock (closing its connection), for another instance to take.
void stopLeadership();
// Whether this process leads: true for a SQLite file or before
// startLeadership; on PostgreSQL while the lock is held.
bool isLeader();
