// Token buckets kept in the database, so that every instance on it spends
// from the same allowance. What a bucket holds and how it fills are the
// caller's rule; here a bucket is read and replaced in one write.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "store/database.h"

struct BucketLevel {
  std::int64_t milliTokens = 0;  // thousandths of a token: integers on both databases
  std::int64_t at = 0;           // when the level was that, in ms
};

// Reads the bucket under key (nullopt when there is none, or it was
// forgotten), and saves the level refill gives; buckets last set before
// forgetBefore are dropped on the way, as the rule counts them full.
Outcome updateBucket(const std::string& key, std::int64_t forgetBefore,
                     const std::function<BucketLevel(std::optional<BucketLevel>)>& refill);
