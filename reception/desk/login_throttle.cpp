#include "desk/login_throttle.h"

#include <algorithm>
#include <cctype>
#include <mutex>

namespace {

// Beyond this many keys, those with nothing left in the window are dropped,
// so failures from many addresses cannot grow the log without bound.
constexpr std::size_t pruneAboveKeys = 4096;

std::mutex throttleMutex;
FailureLog failures;

std::int64_t waitFor(const FailureLog& log, const std::string& key, std::int64_t now) {
  auto found = log.find(key);
  if (found == log.end()) return 0;
  const std::deque<std::int64_t>& times = found->second;
  if (times.size() < loginFailureLimit) return 0;
  // The limit-th newest failure decides: once it leaves the window fewer remain.
  std::int64_t decisive = times[times.size() - loginFailureLimit];
  return std::max<std::int64_t>(0, decisive + loginWindowMs - now);
}

void forgetOld(std::deque<std::int64_t>& times, std::int64_t now) {
  while (!times.empty() && times.front() + loginWindowMs <= now) times.pop_front();
  while (times.size() > loginFailureLimit) times.pop_front();
}

void prune(FailureLog& log, std::int64_t now) {
  for (auto entry = log.begin(); entry != log.end();) {
    forgetOld(entry->second, now);
    entry = entry->second.empty() ? log.erase(entry) : std::next(entry);
  }
}

std::string accountKey(const std::string& name) {
  std::string key = "account:" + name;
  std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
  return key;
}

}  // namespace

std::int64_t retryAfterMs(const FailureLog& log, const std::string& accountKey, const std::string& addressKey,
                          std::int64_t now) {
  return std::max(waitFor(log, accountKey, now), waitFor(log, addressKey, now));
}

void noteFailure(FailureLog& log, const std::string& accountKey, const std::string& addressKey, std::int64_t now) {
  if (log.size() > pruneAboveKeys) prune(log, now);
  for (const std::string& key : {accountKey, addressKey}) {
    std::deque<std::int64_t>& times = log[key];
    times.push_back(now);
    forgetOld(times, now);
  }
}

std::int64_t loginRetryAfterMs(const std::string& name, const std::string& address, std::int64_t now) {
  std::lock_guard<std::mutex> lock(throttleMutex);
  return retryAfterMs(failures, accountKey(name), "address:" + address, now);
}

void recordLoginFailure(const std::string& name, const std::string& address, std::int64_t now) {
  std::lock_guard<std::mutex> lock(throttleMutex);
  noteFailure(failures, accountKey(name), "address:" + address, now);
}

void forgetLoginFailures() {
  std::lock_guard<std::mutex> lock(throttleMutex);
  failures.clear();
}
