#include "store/rate_buckets.h"

Outcome updateBucket(const std::string& key, std::int64_t forgetBefore,
                     const std::function<BucketLevel(std::optional<BucketLevel>)>& refill) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement forget = transaction.prepare("DELETE FROM rate_bucket WHERE level_at < ?1");
  if (!forget.bind(1, forgetBefore).run()) return transaction.fail("removal of full rate buckets");
  std::optional<BucketLevel> stored;
  {
    Statement read = transaction.prepare("SELECT milli_tokens, level_at FROM rate_bucket WHERE bucket_key = ?1");
    read.bind(1, key);
    int result = read.step();
    if (result == SQLITE_ROW) stored = BucketLevel{read.integer(0), read.integer(1)};
    if (result != SQLITE_ROW && result != SQLITE_DONE) return transaction.fail("read of a rate bucket");
  }
  BucketLevel level = refill(stored);
  Statement save = transaction.prepare(
      "INSERT INTO rate_bucket (bucket_key, milli_tokens, level_at) VALUES (?1, ?2, ?3) "
      "ON CONFLICT (bucket_key) DO UPDATE SET milli_tokens = excluded.milli_tokens, level_at = excluded.level_at");
  if (!save.bind(1, key).bind(2, level.milliTokens).bind(3, level.at).run()) return transaction.fail("write of a rate bucket");
  return transaction.commit();
}
