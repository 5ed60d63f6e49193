// Throttling of wrong passwords: after loginFailureLimit failures for one
// account name or from one client address within loginWindowMs, every
// further attempt is refused until the oldest of them leaves the window.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

constexpr std::size_t loginFailureLimit = 10;
constexpr std::int64_t loginWindowMs = 15LL * 60 * 1000;

// Failure times per key ("account:NAME" or "address:ADDRESS"), oldest first.
using FailureLog = std::unordered_map<std::string, std::deque<std::int64_t>>;

// Pure policy: milliseconds until an attempt for these keys is allowed, 0 when it is now.
std::int64_t retryAfterMs(const FailureLog& log, const std::string& accountKey, const std::string& addressKey,
                          std::int64_t now);
// Pure policy: records a failure for both keys, forgetting what left the window.
void noteFailure(FailureLog& log, const std::string& accountKey, const std::string& addressKey, std::int64_t now);

// The process-wide log, under its own lock.
std::int64_t loginRetryAfterMs(const std::string& name, const std::string& address, std::int64_t now);
void recordLoginFailure(const std::string& name, const std::string& address, std::int64_t now);
void forgetLoginFailures();
