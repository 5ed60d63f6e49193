#include "desk/write_limit.h"

#include <algorithm>

#include "desk/answers.h"

const WriteAllowance deskWrites{"desk-write", deskWriteBurstSeconds,
                                "This account is making changes faster than the desk allows. Please wait a moment."};
const WriteAllowance hostWrites{"host-write", hostWriteBurstSeconds,
                                "You are making changes faster than this page allows. Please wait a moment."};

BucketTake takeFromBucket(std::optional<BucketLevel> stored, std::int64_t nowMs, unsigned perSecond,
                          unsigned burstSeconds) {
  const std::int64_t rate = std::max(perSecond, 1u);
  const std::int64_t full = rate * burstSeconds * 1000;
  BucketLevel level = stored.value_or(BucketLevel{full, nowMs});
  if (nowMs > level.at) {
    // rate tokens a second are rate thousandths a millisecond
    level.milliTokens = std::min(full, level.milliTokens + (nowMs - level.at) * rate);
    level.at = nowMs;
  }
  if (level.milliTokens >= 1000) {
    level.milliTokens -= 1000;
    return {level, 0};
  }
  std::int64_t missing = 1000 - level.milliTokens;
  return {level, (missing + rate - 1) / rate};
}

WriteLimit::Taken WriteLimit::take(std::int64_t accountId, std::int64_t nowMs) {
  unsigned perSecond = perSecond_;
  unsigned burstSeconds = allowance_.burstSeconds;
  std::int64_t waitMs = 0;
  // The rate is part of the key, so a new rate starts from full buckets; a
  // bucket untouched for a whole burst's time is full and may be forgotten.
  std::string key = std::string(allowance_.kind) + " " + std::to_string(perSecond) + " " + std::to_string(accountId);
  Outcome saved = updateBucket(key, nowMs - std::int64_t{burstSeconds} * 1000,
                               [&](std::optional<BucketLevel> stored) {
                                 BucketTake taken = takeFromBucket(stored, nowMs, perSecond, burstSeconds);
                                 waitMs = taken.waitMs;
                                 return taken.level;
                               });
  return Taken{saved, saved == Outcome::ok ? waitMs : 0};
}

std::optional<HttpResponse> writeRefusal(WriteLimit& limit, std::int64_t accountId, std::int64_t nowMs) {
  WriteLimit::Taken taken = limit.take(accountId, nowMs);
  if (worthRetry(taken.outcome)) return storeFailure(taken.outcome);
  std::int64_t waitMs = taken.waitMs;
  if (waitMs == 0) return std::nullopt;
  HttpResponse answer = errorAnswer(429, limit.allowance().refusal);
  answer.headers.emplace_back("Retry-After", std::to_string((waitMs + 999) / 1000));
  return answer;
}
