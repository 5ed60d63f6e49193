// How fast one desk account may write (announce, withdraw, reassign, edit):
// a token bucket per account. A script behind one session then cannot
// churn the board and the database faster than a busy desk ever does.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "http/server.h"

constexpr unsigned defaultDeskWritesPerSecond = 5;
// The bucket holds this many seconds of writes: a receptionist's burst
// (a group of guests announced at once) goes through.
constexpr unsigned deskWriteBurstSeconds = 6;

class DeskWriteLimit {
 public:
  explicit DeskWriteLimit(unsigned perSecond = defaultDeskWritesPerSecond);
  // A new rate, every bucket full again.
  void configure(unsigned perSecond);
  // 0 when the account may write now (the write is counted), else the
  // milliseconds until it may.
  std::int64_t take(std::int64_t accountId, std::int64_t nowMs);

 private:
  struct Bucket {
    double tokens = 0;
    std::int64_t at = 0;
  };
  std::mutex mutex_;
  double perSecond_;
  double burst_;
  std::unordered_map<std::int64_t, Bucket> buckets_;  // one per desk account: few
};

// 429 with Retry-After when the account writes too fast, else nullopt.
std::optional<HttpResponse> deskWriteRefusal(DeskWriteLimit& limit, std::int64_t accountId, std::int64_t nowMs);
