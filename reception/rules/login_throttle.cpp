#include "rules/login_throttle.h"

#include <algorithm>
#include <cctype>

#include "store/login_failures.h"

namespace {

// Beyond this many keys, those with nothing left in the window are dropped,
// so failures from many addresses cannot grow the log without bound.
constexpr std::size_t pruneAboveKeys = 4096;

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Longer names match no account; cut, they cannot make the keys large.
constexpr std::size_t keptNameBytes = 65;

std::string accountKey(const std::string& name) { return "account:" + lowerCase(name.substr(0, keptNameBytes)); }
std::string addressKey(const std::string& address) { return "address:" + address; }
// An address holds no space, so the last space parts the pair unambiguously.
std::string pairKey(const std::string& name, const std::string& address) {
  return "pair:" + lowerCase(name.substr(0, keptNameBytes)) + " " + address;
}

// How many failures a key needs kept: no more than its rule reads.
std::size_t keptFor(const std::string& key) {
  return key.rfind("account:", 0) == 0 ? accountSlowdownFrom : addressFailureLimit;
}

const std::deque<std::int64_t>* timesOf(const FailureLog& log, const std::string& key) {
  auto found = log.find(key);
  return found == log.end() ? nullptr : &found->second;
}

// Milliseconds until fewer than addressFailureLimit of the key's failures are in the window.
std::int64_t waitFor(const FailureLog& log, const std::string& key, std::int64_t now) {
  const std::deque<std::int64_t>* times = timesOf(log, key);
  if (times == nullptr || times->size() < addressFailureLimit) return 0;
  // The limit-th newest failure decides: once it leaves the window fewer remain.
  std::int64_t decisive = (*times)[times->size() - addressFailureLimit];
  return std::max<std::int64_t>(0, decisive + loginWindowMs - now);
}

std::size_t inWindow(const FailureLog& log, const std::string& key, std::int64_t now) {
  const std::deque<std::int64_t>* times = timesOf(log, key);
  if (times == nullptr) return 0;
  return static_cast<std::size_t>(
      std::count_if(times->begin(), times->end(), [&](std::int64_t at) { return at + loginWindowMs > now; }));
}

void forgetOld(std::deque<std::int64_t>& times, std::size_t kept, std::int64_t now) {
  while (!times.empty() && times.front() + loginWindowMs <= now) times.pop_front();
  while (times.size() > kept) times.pop_front();
}

void prune(FailureLog& log, std::int64_t now) {
  for (auto entry = log.begin(); entry != log.end();) {
    forgetOld(entry->second, keptFor(entry->first), now);
    entry = entry->second.empty() ? log.erase(entry) : std::next(entry);
  }
}

}  // namespace

LoginJudgement judgeAttempt(const FailureLog& log, const std::string& name, const std::string& address,
                            std::int64_t now) {
  LoginJudgement judgement;
  judgement.retryAfterMs = std::max(waitFor(log, pairKey(name, address), now), waitFor(log, addressKey(address), now));
  judgement.slowed = inWindow(log, accountKey(name), now) >= accountSlowdownFrom;
  return judgement;
}

void noteFailure(FailureLog& log, const std::string& name, const std::string& address, std::int64_t now) {
  if (log.size() > pruneAboveKeys) prune(log, now);
  for (const std::string& key : {pairKey(name, address), addressKey(address), accountKey(name)}) {
    std::deque<std::int64_t>& times = log[key];
    times.push_back(now);
    forgetOld(times, keptFor(key), now);
  }
}

std::vector<std::string> throttleKeys(const std::string& name, const std::string& address) {
  return {pairKey(name, address), addressKey(address), accountKey(name)};
}

// Read from the database, so that a failure on any instance counts on all.
// A failed read judges by no failures: the throttle never locks anyone out.
LoginJudgement judgeLoginAttempt(const std::string& name, const std::string& address, std::int64_t now) {
  std::vector<std::string> keys = throttleKeys(name, address);
  std::vector<std::vector<std::int64_t>> times;
  FailureLog log;
  if (loginFailureTimes(keys, now - loginWindowMs, static_cast<int>(accountSlowdownFrom), times) == Outcome::ok) {
    for (std::size_t i = 0; i < keys.size(); ++i) log[keys[i]].assign(times[i].begin(), times[i].end());
  }
  return judgeAttempt(log, name, address, now);
}

void recordLoginFailure(const std::string& name, const std::string& address, std::int64_t now) {
  saveLoginFailure(throttleKeys(name, address), now, now - loginWindowMs);
}

void forgetLoginFailures() {
  if (databaseIsOpen()) forgetAllLoginFailures();
}
