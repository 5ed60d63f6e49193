// Wrong passwords by throttle key, kept in the database so that every
// instance on it judges a login by the same failures (rules/login_throttle.h
// holds the policy and the keys).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/database.h"

// The newest failures of each key after since, at most limit per key,
// oldest first; times[i] for keys[i].
Outcome loginFailureTimes(const std::vector<std::string>& keys, std::int64_t since, int limit,
                          std::vector<std::vector<std::int64_t>>& times);
// Saves a failure at `at` under each key, and forgets every failure at or
// before forgetUpTo, so the table holds no more than one window.
Outcome saveLoginFailure(const std::vector<std::string>& keys, std::int64_t at, std::int64_t forgetUpTo);
Outcome forgetAllLoginFailures();
