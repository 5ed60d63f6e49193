// Throttling of wrong passwords that cannot lock the desk out: failures
// count per (account, address) and per address, and after
// addressFailureLimit of them within loginWindowMs that address waits until
// the oldest leaves the window. An account shared by the whole desk is
// never locked: from accountSlowdownFrom failures across all addresses,
// each attempt on it is only slowed (slowedAttemptMs before it is judged).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

constexpr std::size_t addressFailureLimit = 10;
constexpr std::size_t accountSlowdownFrom = 50;
constexpr std::int64_t loginWindowMs = 15LL * 60 * 1000;
constexpr std::int64_t slowedAttemptMs = 1000;

// Failure times per key ("pair:NAME ADDRESS", "address:ADDRESS" or
// "account:NAME"), oldest first.
using FailureLog = std::unordered_map<std::string, std::deque<std::int64_t>>;

struct LoginJudgement {
  std::int64_t retryAfterMs = 0;  // > 0: this address must wait that long
  bool slowed = false;            // the account is under attack: wait slowedAttemptMs first
};

// Pure policy for an attempt on name from address.
LoginJudgement judgeAttempt(const FailureLog& log, const std::string& name, const std::string& address,
                            std::int64_t now);
// Pure policy: records a failure, forgetting what left the window.
void noteFailure(FailureLog& log, const std::string& name, const std::string& address, std::int64_t now);

// The keys a failure of name from address counts under.
std::vector<std::string> throttleKeys(const std::string& name, const std::string& address);

// The failures of every instance, kept in the database (store/login_failures.h).
LoginJudgement judgeLoginAttempt(const std::string& name, const std::string& address, std::int64_t now);
void recordLoginFailure(const std::string& name, const std::string& address, std::int64_t now);
void forgetLoginFailures();
