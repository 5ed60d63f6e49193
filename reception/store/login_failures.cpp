#include "store/login_failures.h"

#include <algorithm>

Outcome loginFailureTimes(const std::vector<std::string>& keys, std::int64_t since, int limit,
                          std::vector<std::vector<std::int64_t>>& times) {
  times.assign(keys.size(), {});
  ReadSession session;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    Statement query = session.prepare(
        "SELECT failed_at FROM login_failure WHERE throttle_key = ?1 AND failed_at > ?2 "
        "ORDER BY failed_at DESC LIMIT ?3");
    query.bind(1, keys[i]).bind(2, since).bind(3, std::int64_t{limit});
    int result;
    while ((result = query.step()) == SQLITE_ROW) times[i].push_back(query.integer(0));
    if (result != SQLITE_DONE) {
      times.assign(keys.size(), {});
      return session.fail("read of the wrong passwords");
    }
    std::reverse(times[i].begin(), times[i].end());
  }
  return Outcome::ok;
}

Outcome saveLoginFailure(const std::vector<std::string>& keys, std::int64_t at, std::int64_t forgetUpTo) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement forget = transaction.prepare("DELETE FROM login_failure WHERE failed_at <= ?1");
  if (!forget.bind(1, forgetUpTo).run()) return transaction.fail("removal of old wrong passwords");
  for (const std::string& key : keys) {
    Statement insert = transaction.prepare("INSERT INTO login_failure (throttle_key, failed_at) VALUES (?1, ?2)");
    if (!insert.bind(1, key).bind(2, at).run()) return transaction.fail("write of a wrong password");
  }
  return transaction.commit();
}

Outcome forgetAllLoginFailures() {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement forget = transaction.prepare("DELETE FROM login_failure");
  if (!forget.run()) return transaction.fail("removal of the wrong passwords");
  return transaction.commit();
}
