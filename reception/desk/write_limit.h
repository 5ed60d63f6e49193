// How fast one desk account may write (announce, withdraw, reassign, edit),
// and one host on their own page (invite, cancel, test, acknowledge): a
// token bucket per account or member. A script behind one session then
// cannot churn the board, the database and the mail server faster than a
// busy person ever does. The buckets are in the database, so instances on
// one database share them.
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
constexpr unsigned defaultHostWritesPerSecond = 2;
constexpr unsigned hostWriteBurstSeconds = 5;

// The pure rule: the bucket after a write was asked for at nowMs (stored:
// its level then, none for a full one), and the milliseconds until the
// write may go (0: it went, and was taken from the bucket).
struct BucketTake {
  BucketLevel level;
  std::int64_t waitMs = 0;
};
BucketTake takeFromBucket(std::optional<BucketLevel> stored, std::int64_t nowMs, unsigned perSecond,
                          unsigned burstSeconds = deskWriteBurstSeconds);

// Whose writes a limit counts: the buckets' names and size.
struct WriteAllowance {
  const char* kind;  // "desk-write", "host-write": part of each bucket's key
  unsigned burstSeconds;
  const char* refusal;  // the 429's message
};
extern const WriteAllowance deskWrites;
extern const WriteAllowance hostWrites;

class WriteLimit {
 public:
  explicit WriteLimit(const WriteAllowance& allowance, unsigned perSecond)
      : allowance_(allowance), perSecond_(perSecond) {}
  const WriteAllowance& allowance() const { return allowance_; }
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
  const WriteAllowance& allowance_;
  std::atomic<unsigned> perSecond_;
};

// 429 with Retry-After when the account (or member) writes too fast, 503
// when the database is busy, else nullopt.
std::optional<HttpResponse> writeRefusal(WriteLimit& limit, std::int64_t accountId, std::int64_t nowMs);
