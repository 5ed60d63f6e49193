// How fast one desk account may write (announce, withdraw, reassign, edit):
// a token bucket per account. A script behind one session then cannot
// churn the board and the database faster than a busy desk ever does. The
// buckets are in the database, so instances on one database share them.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "http/server.h"
#include "store/rate_buckets.h"

constexpr unsigned defaultDeskWritesPerSecond = 5;
// The bucket holds this many seconds of writes: a receptionist's burst
// (a group of guests announced at once) goes through.
constexpr unsigned deskWriteBurstSeconds = 6;

// The pure rule: the bucket after a write was asked for at nowMs (stored:
// its level then, none for a full one), and the milliseconds until the
// write may go (0: it went, and was taken from the bucket).
struct BucketTake {
  BucketLevel level;
  std::int64_t waitMs = 0;
};
BucketTake takeFromBucket(std::optional<BucketLevel> stored, std::int64_t nowMs, unsigned perSecond);

class DeskWriteLimit {
 public:
  explicit DeskWriteLimit(unsigned perSecond = defaultDeskWritesPerSecond) : perSecond_(perSecond) {}
  // A new rate: buckets of the old one are not read again (full again).
  void configure(unsigned perSecond) { perSecond_ = perSecond; }
  // The milliseconds until the account may write (0: now, and the write is
  // counted), with the store's outcome: busy when the database is, which
  // the write would meet too. Any other failure lets the write through, to
  // meet the same database itself.
  struct Taken {
    Outcome outcome = Outcome::ok;
    std::int64_t waitMs = 0;
  };
  Taken take(std::int64_t accountId, std::int64_t nowMs);

 private:
  std::atomic<unsigned> perSecond_;
};

// 429 with Retry-After when the account writes too fast, 503 when the
// database is busy, else nullopt.
std::optional<HttpResponse> deskWriteRefusal(DeskWriteLimit& limit, std::int64_t accountId, std::int64_t nowMs);
